// The configuration exchange: fetch the service's file, edit it in the dialog, send it back and
// restart the service with its logon account.
#include <QLabel>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/inifile.h"
#include "common/langtext.h"
#include "common/strutil.h"
#include "console/framework/basesvc_acess.h"
#include "console/framework/oserror.h"
#include "console/framework/statusbar.h"
#include "console/framework/svcctrl.h"
#include "console/framework/uifacade.h"
#include "platform/atomicfile.h"
#include "platform/uniquefd.h"
#include "ui_basesvc_acess.h"

namespace {

// The working copy holds the transfer passwords.
constexpr mode_t WorkingCopyMode = 0600;
// Rights that a restart needs: query and change the configuration, query, start and stop.
constexpr uint32_t RestartRights = SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG |
                                   SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP;

void WriteRequestHeader(uint8_t* buffer, const char* command) {
    std::memset(buffer, 0, PipeHeaderSize);
    std::strcpy(reinterpret_cast<char*>(buffer), command);
}

} // namespace

void TSvcWndBase::EditConfiguration() {
    try {
        ReceiveConfiguration();
        std::unique_ptr<TBaseSvcConfigDlg> dialog =
            ConfigDlgClass(this, Ui, RemotePc, LocalConfigPath(), ConfigClass);
        if (dialog->exec() != QDialog::Accepted)
            return;
        dialog.reset();
        THourglass hourglass(Ui);
        // An account that the PC refuses stops everything before the file is sent: the
        // service keeps its configuration and its account.
        if (IsConnected())
            CheckServiceAccount(ScmHandle);
        bool sent = SendConfiguration();
        SetBusy(0);
        ApplyServiceConfig(sent);
        ClearNextCheckAndError();
    } catch (const std::exception& e) {
        SetStatusText(e.what());
        throw;
    }
}

void TSvcWndBase::ReceiveConfiguration() {
    SetStatusText(Format(langtext::ReceivingConfig, PcDisplayName().c_str()));
    Ui.RepaintNow(Form->SbMain);
    RequestConfiguration();
}

void TSvcWndBase::RequestConfiguration() {
    WriteRequestHeader(RequestBuffer.data(), CmdReqGetConfig);
    size_t received;
    try {
        received = Transact(ControlPipeName, PipeHeaderSize);
    } catch (const EOSError& e) {
        throw Exception(e.what());
    }
    TPipeMessageHeader header{};
    if (!ReadPipeHeader(AnswerBuffer.data(), received, header))
        throw Exception(langtext::LengthError);
    // Any other answer would leave an older working copy (maybe another PC's) to be edited
    // and sent here.
    if (PipeCommandText(header) != CmdAnsGetConfig)
        throw Exception(langtext::WrongQuittance);
    const int64_t length = header.PayloadLength;
    if (length < 0 || length + PipeHeaderSize > static_cast<int64_t>(received))
        throw Exception(langtext::LengthError);
    // A file larger than one message came cut: editing and sending it would cut the
    // service's file.
    if (header.Status == ConfigStatusCut)
        throw Exception(Format(langtext::ConfigTooLargeToEdit, PcDisplayName().c_str(),
                               static_cast<int>(PipePayloadMax)));
    WriteLocalConfig(AnswerBuffer.data() + PipeHeaderSize, static_cast<int32_t>(length));
}

void TSvcWndBase::WriteLocalConfig(const uint8_t* Data, int32_t Size) {
    const std::string path = LocalConfigPath();
    ReplaceFileContents(path,
                        std::string(reinterpret_cast<const char*>(Data), static_cast<size_t>(Size)),
                        WorkingCopyMode, TLinkRule::ReplaceLink);
    // A working copy left by an older run with looser rights is made private too.
    ::chmod(path.c_str(), WorkingCopyMode);
}

bool TSvcWndBase::SendConfiguration() {
    try {
        SetStatusText(Format(langtext::SendingConfig, PcDisplayName().c_str()));
        Ui.RepaintNow(Form->SbMain);
        PostConfiguration();
        return true;
    } catch (const std::exception& e) {
        SetStatusText(e.what());
        Ui.ShowError(this, e.what());
        return false;
    }
}

void TSvcWndBase::PostConfiguration() {
    WriteRequestHeader(RequestBuffer.data(), CmdReqSetConfig);
    int32_t size = 0;
    ReadLocalConfig(RequestBuffer.data() + PipeHeaderSize, PipePayloadMax, size);
    std::memcpy(RequestBuffer.data() + offsetof(TPipeMessageHeader, PayloadLength), &size,
                sizeof size);
    size_t received;
    try {
        received = Transact(ControlPipeName, PipeHeaderSize + static_cast<size_t>(size));
    } catch (const EOSError& e) {
        throw Exception(e.what());
    }
    TPipeMessageHeader header{};
    if (!ReadPipeHeader(AnswerBuffer.data(), received, header))
        throw Exception(langtext::LengthError);
    // Any status but 0 means the service did not take the file.
    if (PipeCommandText(header) != CmdAnsSetConfig || header.Status != ConfigStatusOk)
        throw Exception(langtext::WrongQuittance);
}

void TSvcWndBase::ReadLocalConfig(uint8_t* Buffer, int32_t MaxSize, int32_t& Size) {
    const std::string path = LocalConfigPath();
    if (TimeOverride > 0) {
        try {
            TIniFile ini(path);
            ini.WriteInteger(ftconfigkeys::General, ftconfigkeys::TimeBetweenActions, TimeOverride);
            ini.UpdateFile();
        } catch (...) {
            // The file is sent as the dialog saved it.
        }
    }
    TUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd)
        throw Exception(path + ": " + SysErrorMessage(errno));
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        throw Exception(path + ": " + SysErrorMessage(EINVAL));
    // Only a whole file is sent: a cut one would replace the service's file with its start.
    if (st.st_size > MaxSize)
        throw Exception(Format(langtext::ConfigTooLargeToSend, static_cast<long long>(st.st_size),
                               static_cast<int>(MaxSize)));
    Size = 0;
    while (Size < MaxSize) {
        ssize_t got = ::read(fd.Get(), Buffer + Size, static_cast<size_t>(MaxSize - Size));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw Exception(path + ": " + SysErrorMessage(errno));
        if (got == 0)
            break;
        Size += static_cast<int32_t>(got);
    }
    char beyond;
    if (::read(fd.Get(), &beyond, 1) > 0)
        throw Exception(Format(langtext::ConfigTooLargeToSend, static_cast<long long>(Size) + 1,
                               static_cast<int>(MaxSize)));
}

void TSvcWndBase::ApplyServiceConfig(bool ChangeAccount) {
    if (!IsConnected())
        return;
    // Only the check that this user may restart and reconfigure the service, before anything
    // is stopped.
    OSCall([&] { return ScmHandle.OpenService(ServiceName, RestartRights); });
    TServiceStatus status = OSCall([&] { return ServiceHandle.QueryStatus(); });
    auto changeAccount = [&] {
        SetStatusText(langtext::ChangingServiceConfig);
        Ui.RepaintNow(Form->SbMain);
        if (ChangeAccount)
            ChangeServiceAccount(ScmHandle);
    };
    auto start = [&] {
        SetStatusText(ServiceStateText(SERVICE_START_PENDING));
        Ui.RepaintNow(Form->SbMain);
        StartServiceAndWait(ScmHandle, ServiceName);
        SetStatusText(ServiceStateText(SERVICE_RUNNING));
    };
    if (status.CurrentState == SERVICE_STOPPED) {
        if (!Ui.AskYesNo(this, langtext::AskStartService))
            return;
        THourglass hourglass(Ui);
        changeAccount();
        start();
        return;
    }
    THourglass hourglass(Ui);
    SetStatusText(ServiceStateText(SERVICE_STOP_PENDING));
    Ui.RepaintNow(Form->SbMain);
    StopServiceAndWait(ScmHandle, ServiceName);
    changeAccount();
    start();
}
