// Life cycle, schedule, log and status record of the generic file-tracking service.
#include "service/framework/ftsrvbase.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/Comserv.h"
#include "common/debuglog.h"
#include "common/langtext.h"
#include "common/strutil.h"
#include "platform/errors.h"
#include "service/framework/dirdesc.h"

namespace {

const TSystemClock SystemClock;

constexpr int InfoPipeInstances = 4;
constexpr int ControlPipeInstances = 1;
constexpr TDateTime FirstActionDelay = 5.0 / SecsPerDay;
// A step back of the clock smaller than this is jitter, not a set-back.
constexpr TDateTime ClockSetBackMin = 1.0 / SecsPerDay;
constexpr auto IdleSleep = std::chrono::milliseconds(100);

// Copies at most `Max` bytes of `Text` into `Dest` (Max + 1 bytes) without cutting a UTF-8
// character, NUL-terminated.
void CopyText(char* Dest, size_t Max, const std::string& Text) {
    std::string cut = Text;
    CutUtf8(cut, Max);
    std::memcpy(Dest, cut.data(), cut.size());
    Dest[cut.size()] = '\0';
}

// Runs `Step` as one step of the start: a failure is logged and makes the start fail, and
// the start goes on with its next step.
template <class F> void StartStep(TBaseFtrackerService& Service, bool& Result, F&& Step) {
    try {
        Step();
    } catch (const std::exception& e) {
        Service.Log(LogError, e.what());
        Result = false;
    }
}

} // namespace

TBaseFtrackerService::TBaseFtrackerService()
    : ProgramDirectory(ProgramDir()), FClock(&SystemClock) {
    DisplayName = langtext::FtServiceDisplayName;
    AllowPause = false;
    WaitHint = 10000;
    OnStart = [this](TService* Sender, bool& Started) { ServiceStart(Sender, Started); };
    OnStop = [this](TService* Sender, bool& Stopped) { ServiceStop(Sender, Stopped); };
    OnShutdown = [this](TService* Sender) { ServiceShutdown(Sender); };
    OnExecute = [this](TService* Sender) { ServiceExecute(Sender); };
}

TBaseFtrackerService::~TBaseFtrackerService() {
    // The pipe threads call back into this object: they end before anything else goes.
    StopPipeServers();
    // A service that never got its stop notification (its start failed) must not leave the
    // log pointing at its event logger, which goes with it.
    if (FDebugTargetSet)
        ClearDebugTarget();
}

void TBaseFtrackerService::SetClock(const TServiceClock* Clock) {
    FClock = Clock != nullptr ? Clock : &SystemClock;
}

TBaseFtConfig& TBaseFtrackerService::Cfg() const {
    if (Config == nullptr)
        throw Exception(langtext::NoServiceConfiguration);
    return *Config;
}

// --- log ---

void TBaseFtrackerService::Log(int Level, const std::string& Message) {
    Log(Level, Message, Message);
}

void TBaseFtrackerService::Log(int Level, const std::string& Message,
                               const std::string& PublicText) {
    const SYSTEMTIME now = LocalTimeST();
    {
        std::lock_guard lock(ServiceLock);
        if (static_cast<unsigned>(Level) > 2) {
            LastErrorTime = now;
            LastErrorText = PublicText;
        } else {
            LastInfoTime = now;
            LastInfoText = PublicText;
        }
    }
    DebugLog(Level, Message, PublicText);
}

// --- framework events ---

void TBaseFtrackerService::ServiceStart(TService*, bool& Started) {
    // The lock is a member of the object, so there is nothing to create that could fail.
    SetDebugTarget(EventLogger(), ProgramDirectory + "/" + LogFileName);
    FDebugTargetSet = true;
    TrimDebugFile();
    Log(LogInfo, Name + " " + langtext::ServiceStartedText);
    Started = StartService();
}

void TBaseFtrackerService::ServiceStop(TService*, bool& Stopped) {
    StopNotification(langtext::ServiceStoppedText);
    Stopped = true;
}

void TBaseFtrackerService::ServiceShutdown(TService*) {
    StopNotification(langtext::ServiceStoppedAtShutdown);
}

void TBaseFtrackerService::StopNotification(const char* Text) {
    // A stop is always accepted, also when a concrete stop step fails.
    try {
        StopService();
    } catch (const std::exception& e) {
        Log(LogError, e.what());
    }
    Log(LogInfo, Name + " " + Text);
    // A job that goes on after a stop between two of its files still writes its last lines
    // to the system log; the target is cleared when it has ended.
    if (JobRunning()) {
        FClearTargetPending = true;
    } else {
        ClearDebugTarget();
        FDebugTargetSet = false;
    }
}

void TBaseFtrackerService::ServiceExecute(TService*) {
    ScheduleFirstAction();
    PublishNextActionTime();
    TServiceThread* thread = ServiceThread();
    while (!thread->Terminated()) {
        FollowClockSetBack();
        if (IsActionDue()) {
            try {
                DoWork();
            } catch (const std::exception& e) {
                Log(LogError, e.what());
            }
            ScheduleNextAction();
            PublishNextActionTime();
        } else {
            std::this_thread::sleep_for(IdleSleep);
        }
        thread->ProcessRequests(false);
    }
}

// --- start and stop steps ---

bool TBaseFtrackerService::StartService() {
    bool Result = true;
    {
        std::lock_guard lock(ServiceLock);
        Idle = false;
        FilesOk = FilesBad = ElapsedMs = 0;
        LastOkFile.clear();
        LastBadFile.clear();
        LastInfoText.clear();
        LastErrorText.clear();
        LastOkTime = LastBadTime = LastInfoTime = LastErrorTime = SYSTEMTIME{};
    }
    try {
        if (LogDetailed())
            Log(LogInfo, langtext::StartingService);
        auto version = std::make_unique<TVersionInfo>();
        {
            std::lock_guard lock(ServiceLock); // the status record reads it
            Version = std::move(version);
        }
        StartStep(*this, Result, [this] {
            Chain.clear();
            StatusNames.clear();
            StatusNames.push_back(DefaultStatusFileName);
            DestIndex = 0;
        });
        StartStep(*this, Result, [this] {
            Cfg().LoadFromFile(ProgramDirectory + "/" + IniFileName);
            if (LogDetailed())
                Log(LogInfo, Format(langtext::ConfigurationLoaded, IniFileName.c_str()));
            LogMonitoredDirectories();
        });
        StartStep(*this, Result, [this] {
            InfoPipe = std::make_unique<TFtrackerSrvInfo>(InfoPipeName, InfoPipeInstances);
            InfoPipe->SetOnGetStats([this](TFtrackerSrvInfo& Sender, TServiceStateRecord& Record) {
                GetStatistics(Sender, Record);
            });
            if (LogDetailed())
                Log(LogInfo, Format(langtext::PipeServerStarted, InfoPipeName.c_str()));
        });
        StartStep(*this, Result, [this] {
            ControlPipe = std::make_unique<TFtrackerSrvControl>(
                ControlPipeName, ControlPipeInstances, IniFileName, ProgramDirectory);
            ControlPipe->SetOnConfigRetrieved(
                [this](TFtrackerSrvControl& Sender) { ConfigRetrieved(Sender); });
            ControlPipe->SetOnConfigUpdated(
                [this](TFtrackerSrvControl& Sender) { ConfigUpdated(Sender); });
            if (LogDetailed())
                Log(LogInfo, Format(langtext::PipeServerStarted, ControlPipeName.c_str()));
        });
        std::lock_guard lock(ServiceLock);
        Idle = true;
        FilesOk = FilesBad = ElapsedMs = 0;
    } catch (const std::exception& e) {
        Log(LogError, e.what());
        Result = false;
    }
    return Result;
}

void TBaseFtrackerService::LogMonitoredDirectories() {
    for (int i = 0; i < MaxTrackDirectories; ++i) {
        const std::string& dir = Cfg().TrackDirectory[static_cast<size_t>(i)];
        if (!dir.empty())
            Log(LogInfo, langtext::MonitorDirectory + dir);
    }
}

bool TBaseFtrackerService::StopService() {
    if (LogDetailed())
        Log(LogInfo, langtext::StoppingService);
    try {
        if (ControlPipe) {
            ControlPipe->SetOnConfigUpdated(nullptr);
            ControlPipe->SetOnConfigRetrieved(nullptr);
            ControlPipe.reset(); // ends the thread and closes the instances
            if (LogDetailed())
                Log(LogInfo, Format(langtext::PipeServerStopped, ControlPipeName.c_str()));
        }
        if (InfoPipe) {
            InfoPipe->SetOnGetStats(nullptr);
            InfoPipe.reset();
            if (LogDetailed())
                Log(LogInfo, Format(langtext::PipeServerStopped, InfoPipeName.c_str()));
        }
        ReleaseServiceObjects();
    } catch (const std::exception& e) {
        Log(LogError, e.what());
    }
    return true;
}

void TBaseFtrackerService::StopPipeServers() {
    try {
        if (ControlPipe) {
            ControlPipe->SetOnConfigUpdated(nullptr);
            ControlPipe->SetOnConfigRetrieved(nullptr);
            ControlPipe.reset();
        }
        if (InfoPipe) {
            InfoPipe->SetOnGetStats(nullptr);
            InfoPipe.reset();
        }
    } catch (...) {
        // Nothing is left to report to at this point.
    }
}

void TBaseFtrackerService::ReleaseServiceObjects() {
    if (JobRunning()) {
        FReleasePending = true;
        return;
    }
    StatusNames.clear();
    Chain.clear();
    std::unique_ptr<TVersionInfo> version;
    {
        std::lock_guard lock(ServiceLock);
        version = std::move(Version);
    }
}

void TBaseFtrackerService::JobEnded() {
    if (FReleasePending) {
        FReleasePending = false;
        ReleaseServiceObjects();
    }
    if (FClearTargetPending) {
        FClearTargetPending = false;
        ClearDebugTarget();
        FDebugTargetSet = false;
    }
}

// --- schedule ---

bool TBaseFtrackerService::IsActionDue() const {
    return CurrentTime() > NextAction;
}

void TBaseFtrackerService::ScheduleFirstAction() {
    const TDateTime now = CurrentTime();
    const TDateTime candidate = now + FirstActionDelay;
    NextAction = candidate;
    FNextIsDelay = true;
    FLastClockReading = now;
    const TBaseFtConfig& config = Cfg();
    if (config.ExactTimeMode) {
        const TDateTime listed = DateOf(now) + config.ExactTime.NearestTime(now);
        if (listed > candidate) {
            NextAction = listed;
            FNextIsDelay = false;
        }
    }
}

void TBaseFtrackerService::ScheduleNextAction() {
    const TDateTime now = CurrentTime();
    FLastClockReading = now;
    const TBaseFtConfig& config = Cfg();
    if (config.ExactTimeMode && config.ExactTime.Count() > 0) {
        const TDateTime t = config.ExactTime.NextTime(now);
        if (t >= 0)
            NextAction = DateOf(now) + t;
        else
            NextAction = DateOf(now) + 1 + config.ExactTime.NearestTime(0);
        FNextIsDelay = false;
    } else {
        NextAction = now + config.TimeBetweenActions / SecsPerDay;
        FNextIsDelay = true;
    }
}

void TBaseFtrackerService::FollowClockSetBack() {
    const TDateTime now = CurrentTime();
    const TDateTime back = FLastClockReading - now;
    FLastClockReading = now;
    if (back < ClockSetBackMin)
        return;
    if (FNextIsDelay) {
        // The delay is kept in real time: without this an interval would grow by the hour
        // that the end of daylight saving time repeats, or by however far the clock was
        // set back.
        NextAction -= back;
    } else {
        // A listed time that still comes within a day stays: the repeated stretch of the
        // clock has had its jobs. One further ahead is stale.
        const TBaseFtConfig& config = Cfg();
        if (NextAction > DateOf(now) + 1 + config.ExactTime.NearestTime(0))
            ScheduleNextAction();
    }
    PublishNextActionTime();
}

void TBaseFtrackerService::PublishNextActionTime() {
    const SYSTEMTIME next = DateTimeToSystemTime(NextAction);
    std::lock_guard lock(ServiceLock);
    NextActionTime = next;
}

// --- status record and pipe notifications ---

void TBaseFtrackerService::GetStatistics(TFtrackerSrvInfo&, TServiceStateRecord& Record) {
    FillStateRecord(Record);
}

void TBaseFtrackerService::FillStateRecord(TServiceStateRecord& Record) {
    std::lock_guard lock(ServiceLock);
    Record = TServiceStateRecord{};
    Record.Size = sizeof(TServiceStateRecord);
    if (Version) {
        Record.VersionMajor = Version->Major();
        Record.VersionMinor = Version->Minor();
        Record.VersionRelease = Version->Release();
    }
    Record.Busy = Idle ? 0 : 1;
    Record.LastEventTime = LastInfoTime;
    Record.LastErrorTime = LastErrorTime;
    CopyText(Record.LastEventText, sizeof Record.LastEventText - 1, LastInfoText);
    CopyText(Record.LastErrorText, sizeof Record.LastErrorText - 1, LastErrorText);
    CopyText(Record.LastOkFile, sizeof Record.LastOkFile - 1, LastOkFile);
    Record.LastOkTime = LastOkTime;
    CopyText(Record.LastBadFile, sizeof Record.LastBadFile - 1, LastBadFile);
    Record.LastBadTime = LastBadTime;
    Record.FilesOk = static_cast<uint32_t>(ReportedOk);
    Record.FilesBad = static_cast<uint32_t>(ReportedBad);
    Record.ElapsedMs = static_cast<uint32_t>(ReportedElapsedMs);
    Record.ReportTime = ReportedTime;
    Record.NextActionTime = NextActionTime;
}

void TBaseFtrackerService::ConfigRetrieved(TFtrackerSrvControl&) {
    Log(LogInfo, langtext::ConfigRetrievedByClient);
}

void TBaseFtrackerService::ConfigUpdated(TFtrackerSrvControl&) {
    Log(LogInfo, langtext::ConfigUpdatedByClient);
}

// --- base hooks ---

void TBaseFtrackerService::GetDirection(const std::string&, bool& Forward) {
    Forward = false;
}

void TBaseFtrackerService::BuildChain(const std::string& TrackDirectory,
                                      std::vector<std::string>& Chain) {
    Chain.push_back(TrackDirectory + ";*");
}

void TBaseFtrackerService::StatusFileName(const std::string& ListEntry, int32_t,
                                          std::string& Result) {
    Result = ListEntry;
}

bool TBaseFtrackerService::TransferFile(const std::string&, const std::string&, bool&) {
    return true;
}
