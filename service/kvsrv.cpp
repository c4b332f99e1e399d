#include "service/kvsrv.h"

#include "common/debuglog.h"
#include "common/langtext.h"
#include "common/strutil.h"
#include "platform/errors.h"
#include "service/sds.h"

TKelvardSvc* KelvardSvc = nullptr;

void ServiceController(uint32_t CtrlCode) {
    if (KelvardSvc != nullptr)
        KelvardSvc->Controller(CtrlCode);
}

TKelvardSvc::TKelvardSvc()
    : FConfig(std::make_unique<TTransportConfig>()),
      FDialUp([this](int level, const std::string& text) { Log(level, text); },
              [this] { return StopQueued(); }),
      FTransfer(MakeTransferHooks()) {
    Name = langtext::KvServiceName;
    DisplayName = langtext::KvServiceDisplayName;
    IniFileName = langtext::KvIniFileName;
    InfoPipeName = langtext::KvInfoPipeName;
    ControlPipeName = langtext::KvControlPipeName;
    LogFileName = langtext::KvLogFileName;
    Config = FConfig.get();
}

TKelvardSvc::~TKelvardSvc() {
    Config = nullptr;
}

TServiceController TKelvardSvc::GetServiceController() {
    return &ServiceController;
}

TTransferHooks TKelvardSvc::MakeTransferHooks() {
    TTransferHooks hooks;
    hooks.Log = [this](int level, const std::string& text) { Log(level, text); };
    hooks.LogSecret = [this](int level, const std::string& text, const std::string& publicText) {
        Log(level, text, publicText);
    };
    hooks.StopRequested = [this] { return StopQueued(); };
    hooks.SetLastFile = [this](const std::string& path, bool ok, int parents) {
        SetLastFile(path, ok, parents);
    };
    hooks.CheckDialUp = [this] { FDialUp.CheckDialUp(*FConfig); };
    return hooks;
}

bool TKelvardSvc::StartService() {
    if (!TBaseFtrackerService::StartService())
        return false;
    try {
        StatusNames.clear();
        StatusNames.push_back(langtext::KvStatusFile0);
        if (!FConfig->GetDestination(1).empty())
            StatusNames.push_back(langtext::KvStatusFile1);
        FTransfer.DetailedLogPath = ProgramDirectory + "/" + langtext::DetailedLogFileName;
        Log(LogInfo, langtext::KvCopyingTo + DestinationText());
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool TKelvardSvc::StopService() {
    try {
        Disconnect();
    } catch (const std::exception&) {
        // The framework's stop must run whatever the hang-up did.
    }
    return TBaseFtrackerService::StopService();
}

void TKelvardSvc::Disconnect() {
    FDialUp.Disconnect(*FConfig);
}

std::string TKelvardSvc::DestinationText() const {
    const bool upload = IsUploadType(FConfig->Transport);
    auto named = [&](int index) {
        std::string text = FConfig->GetDestination(index);
        if (upload)
            text += "/" + FConfig->Username;
        return text;
    };
    std::string text = named(0);
    if (!FConfig->GetDestination(1).empty())
        text += langtext::KvAndAlsoTo + named(1);
    return text;
}

void TKelvardSvc::JobStarting() {
    if (FConfig->GetDestination(0).empty() && FConfig->GetDestination(1).empty())
        Log(LogError,
            Format(langtext::KvNoDestination, (ProgramDirectory + "/" + IniFileName).c_str()));
}

void TKelvardSvc::PrepareDestination() {
    // An empty destination would put a COPY's files below the file system's root (and give
    // an upload no host): the destination is served with no file sent, and says why.
    if (FConfig->GetDestination(DestIndex).empty())
        throw Exception(Format(langtext::KvDestinationEmpty, static_cast<int>(DestIndex)));
    // The tracked directory is as the administrator configured it; below it, the sources
    // are reached without following links.
    FTransfer.SourceRoot = FConfig->GetTrackDirectory(DirIndex);
    FTransfer.Prepare(*FConfig, DestIndex);
}

void TKelvardSvc::FinishDestination() {
    FTransfer.Finish();
}

void TKelvardSvc::BuildChain(const std::string& TrackDirectory, std::vector<std::string>& Chain) {
    BuildShopChain(
        TrackDirectory, Chain, [this] { return CancelRequested(); },
        [this](int level, const std::string& text) { Log(level, text); });
}

void TKelvardSvc::GetDirection(const std::string& ChainEntry, bool& Forward) {
    Forward = ChainEntryForward(ChainEntry);
}

bool TKelvardSvc::TransferFile(const std::string& FilePath, const std::string& ChainEntry,
                               bool& Continue) {
    // Once a stop or shutdown has been accepted, no further file is sent; the files left
    // count neither as sent nor as failed and go with the next job.
    if (ServiceThread() == nullptr || ServiceThread()->Terminated()) {
        Continue = false;
        throw ETransferStopped();
    }
    if (LogDetailed())
        Log(LogInfo, langtext::TransmittingFile + FilePath);
    // A stop or shutdown requested during the job is carried out here, between two files:
    // after a failed file too, or a destination whose every file waits for a time-out could
    // not be stopped before the whole directory had failed. A stop queued while the file is
    // under way ends its transfer (ETransferStopped) and is carried out here at once.
    try {
        FTransfer.Transfer(FilePath, DataKindDirOf(ChainEntry));
    } catch (...) {
        ServiceThread()->ProcessRequests(false);
        throw;
    }
    ServiceThread()->ProcessRequests(false);
    return true;
}
