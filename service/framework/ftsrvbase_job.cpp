// One job of the file-tracking service: the walk over the tracked directories, their
// destinations and chain entries, with the check points at which a pending control request
// ends the job, the counters and the progress and summary lines.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>

#include "common/debuglog.h"
#include "common/langtext.h"
#include "common/strutil.h"
#include "platform/errors.h"
#include "service/framework/dirdesc.h"
#include "service/framework/ftsrvbase.h"

// Marks the service thread as busy with a job for its lifetime. A stop processed between
// two files of the job (the transfer lets the framework process requests) leaves the lists
// and the version information in place; they are released here, once the job has ended.
class TBaseFtrackerService::TJobScope {
public:
    explicit TJobScope(TBaseFtrackerService& Service) : FService(Service) { ++FService.FJobDepth; }
    ~TJobScope() {
        if (--FService.FJobDepth == 0) {
            try {
                FService.JobEnded();
            } catch (...) {
                // Releasing plain containers and the log target does not fail in practice;
                // a destructor must not throw either way.
            }
        }
    }
    TJobScope(const TJobScope&) = delete;
    TJobScope& operator=(const TJobScope&) = delete;

private:
    TBaseFtrackerService& FService;
};

namespace {

[[noreturn]] void RaiseCanceled() {
    throw Exception(langtext::ServiceTaskCanceled);
}

// Whole milliseconds from `T0` to `Now`. A span that does not fit the 32-bit counter (the
// clock was corrected by weeks or years while the job ran) shows as its largest value
// rather than as a wrapped, possibly negative one.
int32_t ElapsedMsBetween(TDateTime Now, TDateTime T0) {
    return static_cast<int32_t>(
        std::min<int64_t>(MilliSecondsBetween(Now, T0), std::numeric_limits<int32_t>::max()));
}

} // namespace

void SplitChainEntry(const std::string& ChainEntry, std::string& Directory,
                     std::string& Extension) {
    const size_t semicolon = ChainEntry.rfind(';');
    if (semicolon == std::string::npos) {
        Directory = ChainEntry;
        Extension.clear();
    } else {
        Directory = ChainEntry.substr(0, semicolon);
        Extension = ChainEntry.substr(semicolon + 1);
    }
    if (Extension.empty())
        Extension = "*";
}

std::string ElapsedText(TDateTime Span) {
    return FormatDateTime(langtext::ElapsedFormat, Span);
}

void TBaseFtrackerService::DoWork() {
    TJobScope job(*this);
    const TDateTime T0 = CurrentTime();
    if (CancelRequested())
        RaiseCanceled();
    JobStarting();
    const TBaseFtConfig& config = Cfg();
    for (int i = 0; i < MaxTrackDirectories; ++i) {
        DirIndex = i;
        const std::string trackDirectory = config.TrackDirectory[static_cast<size_t>(i)];
        if (trackDirectory.empty())
            continue;
        try {
            ProcessTrackedDirectory(trackDirectory, T0);
        } catch (const std::exception& e) {
            Log(LogError, e.what());
        }
    }
    TrimDebugFile();
}

void TBaseFtrackerService::ProcessTrackedDirectory(const std::string& TrackDirectory,
                                                   TDateTime T0) {
    if (LogDetailed())
        Log(LogInfo, langtext::ProcessingChain + TrackDirectory);
    {
        std::lock_guard lock(ServiceLock);
        Idle = false;
        FilesOk = FilesBad = ElapsedMs = 0;
    }
    int32_t ok = 0, bad = 0, elapsed = 0;
    try {
        Chain.clear();
        BuildChain(TrackDirectory, Chain);
        for (size_t k = 0; k < StatusNames.size(); ++k) {
            DestIndex = static_cast<int32_t>(k);
            if (CancelRequested())
                RaiseCanceled();
            if (ProcessDestination(T0))
                break;
        }
    } catch (...) {
        FinishTrackedDirectory(T0, ok, bad, elapsed);
        throw;
    }
    FinishTrackedDirectory(T0, ok, bad, elapsed);
    if (ok != 0 || bad != 0) {
        Log(LogInfo,
            Format(langtext::ProcessedFiles, ok, bad) + ElapsedText(elapsed / MSecsPerDay));
        ReportProgress(ok, bad, elapsed);
    }
}

void TBaseFtrackerService::FinishTrackedDirectory(TDateTime T0, int32_t& Ok, int32_t& Bad,
                                                  int32_t& Elapsed) {
    const int32_t ms = ElapsedMsBetween(CurrentTime(), T0);
    std::lock_guard lock(ServiceLock);
    Idle = true;
    ElapsedMs = ms;
    Ok = FilesOk;
    Bad = FilesBad;
    Elapsed = ElapsedMs;
}

// One destination of the current tracked directory; true when a pending cancellation must
// end the destination loop.
bool TBaseFtrackerService::ProcessDestination(TDateTime T0) {
    try {
        std::exception_ptr failure;
        try {
            PrepareDestination();
            ProcessChain(T0);
        } catch (...) {
            failure = std::current_exception();
        }
        // The destination is closed also when its preparation or a chain entry failed.
        CloseDestination();
        if (failure)
            std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        Log(LogError, e.what());
        return CancelRequested();
    }
    return false;
}

void TBaseFtrackerService::CloseDestination() {
    const TDateTime T1 = CurrentTime();
    FinishDestination();
    // FilesOk is the tracked directory's total over the destinations so far; only this
    // thread writes it.
    if (FilesOk >= 1 && LogDetailed())
        Log(LogInfo,
            Format(langtext::PostprocessingFinished, FilesOk) + ElapsedText(CurrentTime() - T1));
}

void TBaseFtrackerService::ProcessChain(TDateTime T0) {
    for (size_t j = 0; j < Chain.size(); ++j) {
        if (CancelRequested())
            RaiseCanceled();
        const std::string entry = Chain[j];
        ProcessChainEntry(entry, T0);
        // A stop or shutdown accepted while files were sent ends the chain here.
        if (ServiceThread() != nullptr && ServiceThread()->Terminated())
            break;
    }
}

void TBaseFtrackerService::ProcessChainEntry(const std::string& Entry, TDateTime T0) {
    std::string directory, extension;
    SplitChainEntry(Entry, directory, extension);
    std::string statusName;
    StatusFileName(StatusNames.at(static_cast<size_t>(DestIndex)), -1, statusName);
    const TDateTime T1 = CurrentTime();
    // Below the tracked directory nothing is followed: a directory of the chain swapped for a
    // link since the chain was built fails here and is tried again by the next job.
    TDirectoryList list(directory, extension, Entry, 0, statusName,
                        Cfg().GetTrackDirectory(DirIndex));
    try {
        bool forward = false;
        GetDirection(Entry, forward);
        list.ProcessFiles(forward, [this](const std::string& path, const std::string& tag,
                                          bool& cont) { return TransferFile(path, tag, cont); });
        list.Save();
        int32_t ok, bad, elapsed;
        {
            const int32_t ms = ElapsedMsBetween(CurrentTime(), T0);
            std::lock_guard lock(ServiceLock);
            FilesOk += list.OkCount;
            FilesBad += list.BadCount;
            ElapsedMs = ms;
            ok = FilesOk;
            bad = FilesBad;
            elapsed = ElapsedMs;
        }
        if (LogDetailed() && (list.OkCount != 0 || list.BadCount != 0))
            Log(LogInfo, Format(langtext::ProcessedDirectory, directory.c_str()) +
                             ElapsedText(CurrentTime() - T1));
        if (ok != 0 || bad != 0)
            ReportProgress(ok, bad, elapsed);
    } catch (...) {
        AfterDirectory();
        throw;
    }
    AfterDirectory();
}

bool TBaseFtrackerService::CancelRequested() {
    TServiceThread* thread = ServiceThread();
    if (thread == nullptr)
        return false;
    if (thread->Terminated())
        return true;
    uint32_t code = 0;
    if (!thread->PeekFirstRequest(code))
        return false;
    if (code == SERVICE_CONTROL_INTERROGATE) {
        // Answered now; the request stays queued for the main loop.
        ReportStatus();
        return false;
    }
    return true;
}

bool TBaseFtrackerService::StopQueued() const {
    TServiceThread* thread = ServiceThread();
    if (thread == nullptr)
        return false;
    if (thread->Terminated())
        return true;
    // Anywhere in the queue: an interrogation in front must not keep a transfer going.
    return thread->IsQueued(SERVICE_CONTROL_STOP) || thread->IsQueued(SERVICE_CONTROL_SHUTDOWN);
}

void TBaseFtrackerService::SetLastFile(const std::string& Path, bool Ok, int32_t Depth) {
    std::string shown = Path;
    if (Depth >= 0) {
        // The name and up to Depth parent directory names: everything after the
        // (Depth + 1)-th "/" from the end, or the whole relative path when it has fewer.
        size_t start = 0;
        size_t end = Path.size();
        for (int32_t n = 0; n <= Depth && end > 0; ++n) {
            const size_t slash = Path.rfind('/', end - 1);
            if (slash == std::string::npos) {
                start = 0;
                break;
            }
            start = slash + 1;
            end = slash;
        }
        shown = Path.substr(start);
    }
    const SYSTEMTIME now = LocalTimeST();
    std::lock_guard lock(ServiceLock);
    if (Ok) {
        LastOkFile = shown;
        LastOkTime = now;
    } else {
        LastBadFile = shown;
        LastBadTime = now;
    }
}

void TBaseFtrackerService::ReportProgress(int32_t Ok, int32_t Bad, int32_t Elapsed) {
    const SYSTEMTIME now = LocalTimeST();
    std::lock_guard lock(ServiceLock);
    ReportedOk = Ok;
    ReportedBad = Bad;
    ReportedElapsedMs = Elapsed;
    ReportedTime = now;
}
