// The statistics request of the 500 ms tick and its display.
#include <QLabel>
#include <array>
#include <chrono>
#include <cstring>

#include "common/Comserv.h"
#include "common/langtext.h"
#include "common/strutil.h"
#include "console/framework/basesvc_acess.h"
#include "console/framework/basesvc_format.h"
#include "platform/errors.h"
#include "platform/namedpipe.h"
#include "ui_basesvc_acess.h"

namespace {

// Bounds one transaction with a service that accepted the connection but does not answer.
constexpr int PipeTimeoutMs = 5000;

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

// A packed record's field copied out (taken by value: a reference to it could be misaligned),
// so that it can be passed on by reference.
template <class T> T Field(T field) {
    return field;
}

std::string TimeText(const SYSTEMTIME& time) {
    return SystemTimeToText(time);
}

} // namespace

size_t TSvcWndBase::Transact(const std::string& PipeName, size_t RequestLength) {
    return CallNamedPipe(PipeRoot() + PipeName, RequestBuffer.data(), RequestLength,
                         AnswerBuffer.data(), AnswerBuffer.size(), PipeTimeoutMs);
}

void TSvcWndBase::QueryStatistics() {
    TServicePoll poll = NewPoll();
    CallStatistics(poll, PollTimeoutMs);
    ShowStatisticsAnswer(poll);
}

void TSvcWndBase::CallStatistics(TServicePoll& Poll, int TimeoutMs) {
    std::array<uint8_t, PipeHeaderSize> request{};
    std::strcpy(reinterpret_cast<char*>(request.data()), CmdReqGetStats);
    Poll.StatsAsked = true;
    Poll.StatsAnswer.resize(PipeBufferSize);
    try {
        Poll.StatsAnswer.resize(CallNamedPipe(Poll.InfoPipePath, request.data(), request.size(),
                                              Poll.StatsAnswer.data(), Poll.StatsAnswer.size(),
                                              TimeoutMs));
    } catch (const EOSError& e) {
        Poll.StatsAnswer.clear();
        Poll.StatsError = e.what();
    }
}

void TSvcWndBase::ShowStatisticsAnswer(const TServicePoll& Poll) {
    if (!Poll.StatsError.empty()) {
        SetStatusText(Poll.StatsError);
        return;
    }
    const uint8_t* answer = Poll.StatsAnswer.data();
    const size_t received = Poll.StatsAnswer.size();
    TPipeMessageHeader header{};
    if (!ReadPipeHeader(answer, received, header)) {
        SetStatusText(langtext::LengthError);
        return;
    }
    if (PipeCommandText(header) != CmdAnsGetStats)
        return;
    if (received < StatsAnswerLength) {
        SetStatusText(langtext::LengthError);
        return;
    }
    std::memcpy(&LastCounters, answer + StatsOffsetCounters, sizeof LastCounters);
    std::memcpy(&LastState, answer + StatsOffsetState, sizeof LastState);
    ShowStatistics();
    SetStatusText("");
}

void TSvcWndBase::ShowStatistics() {
    const TPipeStatistics counters = LastCounters;
    const TServiceStateRecord& state = LastState;
    Form->LabVersionVal->setText(Q(VersionText(Field(state.VersionMajor), Field(state.VersionMinor),
                                               Field(state.VersionRelease))));
    Form->LabSartedVal->setText(Q(TimeText(Field(counters.StartTime))));
    Form->LabConnsVal->setText(Q(FormatCounter(counters.Connections)));
    Form->LabConErrorsVal->setText(Q(FormatCounter(counters.ConnectionErrors)));
    Form->LabReqVal->setText(Q(FormatCounter(counters.Requests)));
    Form->LabReqBytesVal->setText(
        Q(FormatCounter(static_cast<double>(static_cast<int64_t>(counters.BytesRead)))));
    Form->LabAnsVal->setText(Q(FormatCounter(counters.Answers)));
    Form->LabAnsBytesVal->setText(
        Q(FormatCounter(static_cast<double>(static_cast<int64_t>(counters.BytesWritten)))));
    Form->LabWriteErrVal->setText(Q(FormatCounter(counters.WriteErrors)));
    SetBusy(state.Busy);
    ShowRecordLabels();
}

// The labels of the last files, the last group, the next check and the last event and error;
// a label whose field is empty keeps what it showed.
void TSvcWndBase::ShowRecordLabels() {
    const TServiceStateRecord& state = LastState;
    std::string okFile = RecordText(state.LastOkFile, sizeof state.LastOkFile);
    if (!okFile.empty()) {
        Form->LabLastFileOkVal->setText(Q(okFile));
        Form->LabLastFileOkAtVal->setText(Q(TimeText(Field(state.LastOkTime))));
    }
    std::string badFile = RecordText(state.LastBadFile, sizeof state.LastBadFile);
    if (!badFile.empty()) {
        Form->LabLastFileBadVal->setText(Q(badFile));
        Form->LabLastFileBadAtVal->setText(Q(TimeText(Field(state.LastBadTime))));
    }
    const uint32_t filesOk = Field(state.FilesOk);
    const uint32_t filesBad = Field(state.FilesBad);
    if (filesOk != 0 || filesBad != 0) {
        Form->LabLastGroupVal->setText(
            Q(Format(langtext::GroupResult, static_cast<int>(filesOk), static_cast<int>(filesBad)) +
              FormatGroupDuration(Field(state.ElapsedMs))));
        Form->LabLastGroupAtVal->setText(Q(TimeText(Field(state.ReportTime))));
    }
    const SYSTEMTIME next = Field(state.NextActionTime);
    if (next.wYear != 0) {
        const int64_t seconds = SecondsBetweenLocal(next, std::chrono::system_clock::now());
        Form->LabNextFileCheckAtVal->setText(
            Q(Format(langtext::NextCheckIn, TimeText(next).c_str(), static_cast<int>(seconds))));
    }
    std::string event = RecordText(state.LastEventText, sizeof state.LastEventText);
    if (!event.empty()) {
        Form->LabLastEvtTimeVal->setText(Q(TimeText(Field(state.LastEventTime))));
        Form->LabLastEvtTextVal->setText(Q(event));
    }
    std::string error = RecordText(state.LastErrorText, sizeof state.LastErrorText);
    if (!error.empty()) {
        Form->LabLastErrTimeVal->setText(Q(TimeText(Field(state.LastErrorTime))));
        Form->LabLastErrTextVal->setText(Q(error));
    }
}
