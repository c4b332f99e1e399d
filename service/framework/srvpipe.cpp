#include "service/framework/srvpipe.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "common/debuglog.h"
#include "common/langtext.h"
#include "common/strutil.h"
#include "platform/errors.h"

namespace {

void LogWithError(const char* text, int error) {
    DebugLog(LogError, std::string(text) + SysErrorMessage(error));
}

} // namespace

TPipeServer::TPipeServer(const std::string& name, int instances, mode_t mode)
    : FName(name), FPipePath("\\\\.\\pipe\\" + name),
      FInstanceCount(std::clamp(instances, 0, PipeMaxInstances)), FMode(mode),
      Instances(static_cast<size_t>(FInstanceCount)) {}

TPipeServer::~TPipeServer() {
    Destroy();
}

void TPipeServer::Start() {
    if (!FThread.joinable() && !FFinished.load())
        FThread = std::thread([this] { Run(); });
}

void TPipeServer::Run() {
    try {
        Execute();
        return;
    } catch (const std::exception& e) {
        // Only an unforeseen failure such as a shortage of memory gets here: this pipe is no
        // longer served, but the service goes on.
        DebugLog(LogError, e.what());
    } catch (...) {
    }
    try {
        CloseInstances();
    } catch (...) {
    }
    FFinished = true;
}

void TPipeServer::Stop() {
    FTerminated = true;
    if (!StopEvent.IsSet())
        StopEvent.Set();
}

void TPipeServer::Destroy() {
    Stop();
    if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id())
        FThread.join();
}

void TPipeServer::ProcessRequest(const uint8_t*, uint32_t, uint8_t*, int32_t, uint32_t&, bool&) {}

void TPipeServer::Execute() {
    if (Verbosity > 0)
        DebugLog(LogInfo, langtext::PipeThreadStarted);
    if (CreateInstances()) {
        while (!FTerminated) {
            int error = 0;
            int result = 0;
            if (FPipe)
                result = FPipe->Wait(StopEvent, error);
            else
                StopEvent.WaitFor(); // no instance: nothing to serve but the stop request
            if (result == 0)
                break;
            if (result >= 1 && result <= PipeMaxInstances) {
                int i = result - 1;
                if (i >= FInstanceCount)
                    DebugLog(LogError, langtext::PipeWrongIndex);
                else if (CompleteIo(i))
                    ContinueIo(i);
            } else {
                DebugLog(LogError, langtext::PipeWaitError);
                // The wait fails only when the system is short of memory: give it a moment
                // instead of filling the log.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    }
    CloseInstances();
    if (Verbosity > 0)
        DebugLog(LogInfo, langtext::PipeThreadFinished);
    FFinished = true;
}

bool TPipeServer::CreateInstances() {
    Statistics = TPipeStatistics{};
    Statistics.StartTime = GetLocalTimeST();
    if (FInstanceCount == 0)
        return true;
    try {
        FPipe = std::make_unique<TNamedPipeServer>(FName, FInstanceCount, FMode);
    } catch (const std::exception& e) {
        DebugLog(LogError, std::string(langtext::PipeCreateInstanceFailed) + e.what());
        return false;
    }
    for (int i = 0; i < FInstanceCount; ++i)
        ListenInstance(i);
    return true;
}

void TPipeServer::ListenInstance(int i) {
    TPipeInstance& inst = Instances[i];
    int error = 0;
    switch (FPipe->Connect(i, error)) {
    case TPipeStart::Connected: // the client came before the instance listened
        ++Statistics.Connections;
        FPipe->SetEvent(i);
        inst.Pending = false;
        break;
    case TPipeStart::Pending:
        inst.Pending = true;
        break;
    case TPipeStart::Completed:
        ++Statistics.ConnectionErrors;
        DebugLog(LogError, langtext::PipeListenFailed);
        inst.Pending = false;
        break;
    case TPipeStart::Failed:
        ++Statistics.ConnectionErrors;
        if (Verbosity > 0)
            LogWithError(langtext::PipeListenFailed, error);
        inst.Pending = false;
        break;
    }
    inst.State = inst.Pending ? PipeConnecting : PipeReading;
}

bool TPipeServer::CompleteIo(int i) {
    TPipeInstance& inst = Instances[i];
    if (!inst.Pending)
        return true;
    uint32_t bytes = 0;
    int error = 0;
    bool ok = FPipe->GetResult(i, bytes, error);
    switch (inst.State) {
    case PipeConnecting:
        if (ok) {
            ++Statistics.Connections;
            inst.State = PipeReading;
            return true;
        }
        if (Verbosity > 0)
            LogWithError(langtext::PipeOverlappedError, error);
        ++Statistics.ConnectionErrors;
        ResetInstance(i);
        return false;
    case PipeReading:
        if (ok && bytes > 0) {
            ++Statistics.Requests;
            Statistics.BytesRead += bytes;
            inst.RequestLength = bytes;
            inst.State = PipeWriting;
            return true;
        }
        // An empty or overlong message, a failed read or a client that left.
        ResetInstance(i);
        return false;
    case PipeWriting:
        if (ok && bytes == inst.AnswerLength) {
            ++Statistics.Answers;
            Statistics.BytesWritten += bytes;
            inst.State = PipeReading;
            return true;
        }
        ++Statistics.WriteErrors;
        ResetInstance(i);
        return false;
    default:
        return true;
    }
}

void TPipeServer::ContinueIo(int i) {
    switch (Instances[i].State) {
    case PipeReading:
        ContinueReading(i);
        break;
    case PipeWriting:
        ContinueWriting(i);
        break;
    default:
        DebugLog(LogError, langtext::PipeWrongState);
        break;
    }
}

void TPipeServer::ContinueReading(int i) {
    TPipeInstance& inst = Instances[i];
    inst.RequestLength = 0;
    inst.Request.fill(0);
    uint32_t bytes = 0;
    int error = 0;
    switch (FPipe->Read(i, inst.Request.data(), PipeBufferSize, bytes, error)) {
    case TPipeStart::Completed:
        if (bytes == 0)
            break;
        inst.RequestLength = bytes;
        ++Statistics.Requests;
        Statistics.BytesRead += bytes;
        inst.Pending = false;
        inst.State = PipeWriting; // the completed read left the event signaled
        return;
    case TPipeStart::Pending:
        inst.Pending = true;
        return;
    default:
        break;
    }
    ResetInstance(i);
}

void TPipeServer::ContinueWriting(int i) {
    TPipeInstance& inst = Instances[i];
    if (!BuildAnswer(i)) {
        ResetInstance(i);
        return;
    }
    uint32_t bytes = 0;
    int error = 0;
    switch (FPipe->Write(i, inst.Answer.data(), inst.AnswerLength, bytes, error)) {
    case TPipeStart::Completed:
        if (bytes != inst.AnswerLength)
            break;
        ++Statistics.Answers;
        Statistics.BytesWritten += bytes;
        inst.Pending = false;
        inst.State = PipeReading;
        return;
    case TPipeStart::Pending:
        inst.Pending = true;
        return;
    default:
        break;
    }
    ++Statistics.WriteErrors;
    ResetInstance(i);
}

void TPipeServer::ResetInstance(int i) {
    int error = 0;
    if (!FPipe->Disconnect(i, error) && Verbosity > 0)
        LogWithError(langtext::PipeDisconnectError, error);
    if (Verbosity > 0)
        DebugLog(LogError, langtext::PipeListeningAgain);
    ListenInstance(i);
}

bool TPipeServer::BuildAnswer(int i) {
    TPipeInstance& inst = Instances[i];
    bool useDefault = true;
    try {
        ProcessRequest(inst.Request.data(), inst.RequestLength, inst.Answer.data(),
                       static_cast<int32_t>(PipeBufferSize), inst.AnswerLength, useDefault);
    } catch (const std::exception& e) {
        // The client is dropped without an answer; the server goes on serving.
        DebugLog(LogError, std::string(langtext::PipeRequestFailed) + e.what());
        return false;
    } catch (...) {
        DebugLog(LogError, langtext::PipeRequestFailed);
        return false;
    }
    if (useDefault) {
        std::string text =
            Format(langtext::PipeDefaultAnswer, static_cast<int>(inst.RequestLength)) +
            FormatDateTime(langtext::PipeDefaultAnswerTime, Now());
        size_t length = std::min<size_t>(text.size(), PipeBufferSize - 1);
        std::memcpy(inst.Answer.data(), text.data(), length);
        inst.Answer[length] = 0;
        inst.AnswerLength = static_cast<uint32_t>(length);
    }
    inst.AnswerLength = std::min(inst.AnswerLength, PipeBufferSize);
    return true;
}

void TPipeServer::CloseInstances() {
    if (!FPipe)
        return;
    for (int i = FInstanceCount - 1; i >= 0; --i) {
        int error = 0;
        FPipe->CancelIo(i);
        FPipe->Disconnect(i, error);
    }
    FPipe.reset();
}
