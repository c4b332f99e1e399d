// The generic file-tracking service: life cycle under the service manager, the schedule of
// jobs (every TimeBetweenActions seconds or at listed times of day), the job that walks the
// tracked directories, their destinations and directory chains, the counters and status
// record that the information pipe reports, and the cancellation of a job by a pending
// control request.
//
// A concrete service derives from TBaseFtrackerService, sets the names (service, pipes,
// configuration and log file), points Config at its own configuration object and overrides
// the hooks (PrepareDestination, FinishDestination, BuildChain, TransferFile, ...).
//
// Everything but GetStatistics and the configuration notifications runs on the service
// thread. The pipe threads share only the fields guarded by ServiceLock and the log.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/datetime.h"
#include "common/ftconfigbase.h"
#include "common/verinfo.h"
#include "platform/svcapp.h"
#include "service/framework/ft_control.h"

// Source of the current local time for the schedule, the elapsed times and the time stamps
// of the status fields. Tests give the service a clock of their own.
class TServiceClock {
public:
    virtual ~TServiceClock() = default;
    virtual TDateTime Now() const = 0;
};

// The wall clock (local time).
class TSystemClock final : public TServiceClock {
public:
    TDateTime Now() const override { return ::Now(); }
};

// A chain entry "<directory>;<extension>" split at its last ";": the extension is what follows
// it, "*" when it is empty or when the entry has no ";" at all (then the whole entry is the
// directory). A directory may itself hold ";".
void SplitChainEntry(const std::string& ChainEntry, std::string& Directory, std::string& Extension);

// "h:nn:ss:zzz" of a span of time given as a fraction of a day, with the locale's time
// separator.
std::string ElapsedText(TDateTime Span);

class TBaseFtrackerService : public TService {
public:
    TBaseFtrackerService();
    ~TBaseFtrackerService() override;

    // Names set by the concrete service before the start.
    std::string InfoPipeName;
    std::string ControlPipeName;
    std::string IniFileName; // bare name; the file lies in ProgramDirectory
    std::string LogFileName; // likewise
    // Directory of the configuration and log files: the program directory, unless a test
    // or test program points it elsewhere before the start.
    std::string ProgramDirectory;
    // The configuration; created, owned and freed by the concrete service.
    TBaseFtConfig* Config = nullptr;

    int32_t DirIndex = 0;                 // tracked directory being processed (0..63)
    std::vector<std::string> Chain;       // chain entries of the current tracked directory
    std::vector<std::string> StatusNames; // one status-file name per destination
    int32_t DestIndex = 0;                // index into StatusNames of the current destination
    std::unique_ptr<TFtrackerSrvInfo> InfoPipe;
    std::unique_ptr<TFtrackerSrvControl> ControlPipe;
    TDateTime NextAction = 0; // due time of the next job (local time)
    std::unique_ptr<TVersionInfo> Version;

    // Handlers of the framework events, bound in the constructor.
    void ServiceStart(TService* Sender, bool& Started);
    void ServiceStop(TService* Sender, bool& Stopped);
    void ServiceShutdown(TService* Sender);
    void ServiceExecute(TService* Sender);

    // The clock of the schedule and the time stamps; the wall clock unless set. The clock
    // must outlive the service's use of it and be safe to call from the pipe threads.
    void SetClock(const TServiceClock* Clock);
    TDateTime CurrentTime() const { return FClock->Now(); }

    void Lock() { ServiceLock.lock(); }
    void Unlock() { ServiceLock.unlock(); }
    // Remembers the message as the last information (levels 0 to 2) or the last error (any
    // other level) and writes it to the log.
    void Log(int Level, const std::string& Message);
    // The same for a line that shows a secret (a password): the log file, private to the
    // service's account, gets `Message`; the status record, which every local user may read
    // through the information pipe, and the system log get `PublicText`, the secret hidden.
    void Log(int Level, const std::string& Message, const std::string& PublicText);

    bool IsActionDue() const;
    void ScheduleFirstAction();
    void ScheduleNextAction();
    void PublishNextActionTime();
    // Keeps the due time sound when the local clock has gone back (the end of daylight
    // saving time, a corrected clock) since the last reading: a due time that lies a delay
    // after the moment it was set moves back with the clock; a listed time of day is kept,
    // unless it now lies further ahead than any fresh schedule would put it.
    void FollowClockSetBack();

    // One job over every tracked directory. Raises only the cancellation of its first check
    // point; every later failure is logged and the job goes on.
    void DoWork();
    // True when a pending control request other than an interrogation must end the job; an
    // interrogation in front of the queue is answered at once and stays queued.
    bool CancelRequested();
    // True once a stop or shutdown is the first queued request or has been carried out: a
    // transfer or a dial under way gives up for it. Cheap enough to be asked many times a
    // second; answers no request.
    bool StopQueued() const;
    // Records the last file sent (Ok) or failed, shown with `Depth` parent directory names in
    // front of its name (the whole path for a negative depth).
    void SetLastFile(const std::string& Path, bool Ok, int32_t Depth);
    void ReportProgress(int32_t Ok, int32_t Bad, int32_t ElapsedMs);

    // Handlers of the pipe servers; run on the pipe threads.
    void GetStatistics(TFtrackerSrvInfo& Sender, TServiceStateRecord& Record);
    // The status record of the information pipe, filled under the lock.
    void FillStateRecord(TServiceStateRecord& Record);
    void ConfigRetrieved(TFtrackerSrvControl& Sender);
    void ConfigUpdated(TFtrackerSrvControl& Sender);

    // Hooks of the concrete service, all called on the service thread.
    // Logs "Monitor directory <dir>" for every configured tracked directory.
    virtual void LogMonitoredDirectories();
    // The start step: counters, version information, StatusNames = {"dirlist.dst"}, the
    // configuration loaded once, both pipe servers started. False: the service stops.
    virtual bool StartService();
    // The stop step: both pipe servers stopped at once; the lists and the version
    // information released, after the running job when the stop came between two files.
    virtual bool StopService();
    // After every chain entry.
    virtual void AfterDirectory() {}
    // At the start of every job, before the first tracked directory.
    virtual void JobStarting() {}
    // After the chain entries of destination DestIndex, also when one of them failed.
    virtual void FinishDestination() = 0;
    // The order in which the files of a chain entry are sent; the base: descending names.
    virtual void GetDirection(const std::string& ChainEntry, bool& Forward);
    // Before the chain entries of destination DestIndex.
    virtual void PrepareDestination() = 0;
    // Fills the (cleared) chain of a tracked directory; the base adds "<dir>;*".
    virtual void BuildChain(const std::string& TrackDirectory, std::vector<std::string>& Chain);
    // The status-file name of a destination's StatusNames entry; the base keeps it.
    virtual void StatusFileName(const std::string& ListEntry, int32_t Index, std::string& Result);
    // Sends one file; true when it was sent. Continue = false ends the chain entry after
    // this file. An override that lets the service thread process requests must refuse
    // every file once the thread is terminated, by raising: a file that was not tried
    // because of a stop counts neither as sent nor as failed.
    virtual bool TransferFile(const std::string& FilePath, const std::string& ChainEntry,
                              bool& Continue);

protected:
    // Guards every field below; lives as long as the service object, so that a job that
    // goes on after a stop was processed between two of its files still has it.
    std::mutex ServiceLock;
    bool Idle = false;
    int32_t FilesOk = 0;
    int32_t FilesBad = 0;
    int32_t ElapsedMs = 0;
    std::string LastOkFile;
    SYSTEMTIME LastOkTime{};
    std::string LastBadFile;
    SYSTEMTIME LastBadTime{};
    int32_t ReportedOk = 0;
    int32_t ReportedBad = 0;
    int32_t ReportedElapsedMs = 0;
    SYSTEMTIME ReportedTime{};
    SYSTEMTIME NextActionTime{};
    SYSTEMTIME LastInfoTime{};
    SYSTEMTIME LastErrorTime{};
    std::string LastInfoText;
    std::string LastErrorText;

    bool LogDetailed() const { return Config != nullptr && Config->LogDetailed; }
    SYSTEMTIME LocalTimeST() const { return DateTimeToSystemTime(CurrentTime()); }
    // Whether a job is running on the service thread.
    bool JobRunning() const { return FJobDepth > 0; }

private:
    class TJobScope;
    friend class TJobScope;

    void StopNotification(const char* Text);
    void StopPipeServers();
    // Frees the lists and the version information; while a job runs, the job frees them
    // when it has ended (JobEnded), since a stop can be processed between two of its files.
    void ReleaseServiceObjects();
    void JobEnded();
    TBaseFtConfig& Cfg() const;

    // Parts of the job.
    void ProcessTrackedDirectory(const std::string& TrackDirectory, TDateTime T0);
    void FinishTrackedDirectory(TDateTime T0, int32_t& Ok, int32_t& Bad, int32_t& Elapsed);
    bool ProcessDestination(TDateTime T0);
    void CloseDestination();
    void ProcessChain(TDateTime T0);
    void ProcessChainEntry(const std::string& Entry, TDateTime T0);

    const TServiceClock* FClock;
    // The main loop's latest reading of the clock, and whether NextAction is that reading
    // plus a fixed delay (the start delay or the interval) rather than a listed time of day.
    TDateTime FLastClockReading = 0;
    bool FNextIsDelay = true;
    int FJobDepth = 0;
    bool FReleasePending = false;
    bool FClearTargetPending = false;
    bool FDebugTargetSet = false;
};
