// Shared pieces of the file-tracking service tests: a clock the test sets, a service whose
// hooks the test scripts and records, and a fixture that runs it under a manager's end of the
// private channel, on its own service thread with a real request queue.
#pragma once

#include <chrono>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "common/datetime.h"
#include "common/debuglog.h"
#include "service/framework/ftsrvbase.h"
#include "tests/support/manager_end.h"
#include "tests/support/tempdir.h"

// Polls `condition` every 5 ms for at most `timeoutMs`; returns its last value.
inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A clock that moves only when the test moves it. `OnNow` (when set) runs on every reading,
// outside the clock's own lock.
class FakeClock : public TServiceClock {
public:
    explicit FakeClock(TDateTime start = EncodeDate(2024, 5, 3) + EncodeTime(12, 0, 0, 0))
        : now_(start) {}
    TDateTime Now() const override {
        std::function<void()> hook;
        {
            std::lock_guard lock(mutex_);
            hook = OnNow;
        }
        if (hook)
            hook();
        std::lock_guard lock(mutex_);
        return now_;
    }
    void Set(TDateTime t) {
        std::lock_guard lock(mutex_);
        now_ = t;
    }
    void AdvanceMs(int ms) {
        std::lock_guard lock(mutex_);
        now_ += ms / MSecsPerDay;
    }
    void SetHook(std::function<void()> hook) {
        std::lock_guard lock(mutex_);
        OnNow = std::move(hook);
    }

private:
    mutable std::mutex mutex_;
    TDateTime now_;
    std::function<void()> OnNow;
};

// The wall clock shifted by an offset that the test changes.
class ShiftedClock : public TServiceClock {
public:
    TDateTime Now() const override {
        std::lock_guard lock(mutex_);
        return ::Now() + offset_;
    }
    void ShiftSeconds(double s) {
        std::lock_guard lock(mutex_);
        offset_ += s / SecsPerDay;
    }

private:
    mutable std::mutex mutex_;
    TDateTime offset_ = 0;
};

// A service whose hooks do what the test scripts and note what was called.
class TestFtService : public TBaseFtrackerService {
public:
    explicit TestFtService(const std::string& programDir) {
        Name = "FtTestSvc";
        IniFileName = "ftsvc.ini";
        LogFileName = "ftsvc.log";
        InfoPipeName = "FtTestInfo";
        ControlPipeName = "FtTestControl";
        ProgramDirectory = programDir;
        config_ = std::make_unique<TBaseFtConfig>();
        Config = config_.get();
    }
    TServiceController GetServiceController() override { return nullptr; }

    TBaseFtConfig& Cfg() { return *config_; }

    // Hook scripts; empty ones do the base's (or nothing).
    std::function<void(const std::string&, std::vector<std::string>&)> OnBuildChain;
    std::function<bool(const std::string&, const std::string&, bool&)> OnTransfer;
    std::function<void()> OnPrepare;
    std::function<void()> OnFinish;
    std::function<void()> OnAfterDirectory;

    void BuildChain(const std::string& dir, std::vector<std::string>& chain) override {
        Note("chain " + dir);
        if (OnBuildChain)
            OnBuildChain(dir, chain);
        else
            TBaseFtrackerService::BuildChain(dir, chain);
    }
    void PrepareDestination() override {
        Note("prepare " + std::to_string(DestIndex));
        if (OnPrepare)
            OnPrepare();
    }
    void FinishDestination() override {
        Note("finish " + std::to_string(DestIndex));
        if (OnFinish)
            OnFinish();
    }
    void AfterDirectory() override {
        Note("after");
        if (OnAfterDirectory)
            OnAfterDirectory();
    }
    bool TransferFile(const std::string& path, const std::string& entry, bool& cont) override {
        Note("send " + std::to_string(DestIndex) + " " + path.substr(path.rfind('/') + 1));
        if (OnTransfer)
            return OnTransfer(path, entry, cont);
        return true;
    }

    void Note(const std::string& event) {
        std::lock_guard lock(eventsMutex_);
        events_.push_back(event);
    }
    std::vector<std::string> Events() {
        std::lock_guard lock(eventsMutex_);
        return events_;
    }
    void ClearEvents() {
        std::lock_guard lock(eventsMutex_);
        events_.clear();
    }

    TServiceStateRecord Record() {
        TServiceStateRecord record{};
        FillStateRecord(record);
        return record;
    }
    bool IsIdle() {
        std::lock_guard lock(ServiceLock);
        return Idle;
    }
    int32_t CurrentFilesOk() const { return FilesOk; }

private:
    std::unique_ptr<TBaseFtConfig> config_;
    std::mutex eventsMutex_;
    std::vector<std::string> events_;
};

// A temporary program directory and pipe namespace for one test.
class FtServiceTest : public ::testing::Test {
protected:
    FtServiceTest() {
        ::setenv("SVCMGR_ROOT", root_.Path().c_str(), 1);
        mkdir(ProgramDirPath().c_str(), 0755);
        mkdir(DataDir().c_str(), 0755);
    }
    ~FtServiceTest() override {
        ClearDebugTarget();
        ::unsetenv("SVCMGR_ROOT");
    }

    std::string ProgramDirPath() const { return root_.File("prog"); }
    std::string DataDir() const { return root_.File("data"); }
    std::string LogPath() const { return ProgramDirPath() + "/ftsvc.log"; }
    std::string IniPath() const { return ProgramDirPath() + "/ftsvc.ini"; }

    // A directory below the data directory, made with its parents.
    std::string MakeDir(const std::string& relative) {
        std::string path = DataDir();
        size_t start = 0;
        while (start <= relative.size()) {
            size_t slash = relative.find('/', start);
            if (slash == std::string::npos)
                slash = relative.size();
            path += "/" + relative.substr(start, slash - start);
            mkdir(path.c_str(), 0755);
            start = slash + 1;
        }
        return path;
    }

    // The messages of the log file, without their date and time prefix.
    std::vector<std::string> LogMessages() const {
        std::vector<std::string> lines;
        if (!FileExists(LogPath()))
            return lines;
        const std::string text = ReadTextFile(LogPath());
        size_t start = 0;
        for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
            const std::string line = text.substr(start, end - start);
            const size_t tab = line.find('\t');
            lines.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
        }
        return lines;
    }

    // Runs `body` as the service's OnExecute: on the service thread, after the service's own
    // start step (which must succeed). Returns once the service has ended.
    // The status reports the service sent, in order.
    std::vector<TServiceStatus> RunInService(TestFtService& service,
                                             const std::function<void()>& body) {
        bool ran = false;
        service.OnExecute = [&](TService*) {
            ran = true;
            body();
        };
        std::vector<TServiceStatus> reports;
        {
            ManagerEnd manager(service);
            EXPECT_TRUE(manager.Finished(10000));
            reports = manager.Reports();
        }
        EXPECT_TRUE(ran) << "the start step failed";
        return reports;
    }

    TempDir root_;
};
