// What the tests of the transfer service share: the service object run on its own service
// thread with a clock the test moves (so that a job starts at once), tracked directories with
// shops of every data kind and where each file must land, checks of the status files against
// the destination, and a TCP port that the test opens and closes in front of a server.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/trconfig.h"
#include "service/kvsrv.h"
#include "tests/service/framework/ftsrvbase_fixture.h"
#include "tests/support/tempdir.h"

// One file of a tracked directory: its path, its content and where it lands below a
// destination (for a file that the service must leave alone: where it would land).
struct TreeFile {
    std::string source;
    std::string content;
    std::string dest;
    bool sent = true;
};

// A tracked directory <parent>/<name> with shop directories.
class TrackedTree {
public:
    TrackedTree(const std::string& parent, const std::string& name);

    const std::string& Dir() const { return dir_; }
    const std::string& Name() const { return name_; }

    // A shop with files of every kind: shopinfo.arg and info2.arg, tallix/count.scb (binary),
    // caisse/a.txt (200 kB) and b.txt, filters/f1.fif and f2.fif (empty); beside them files that
    // no chain entry takes (a ".txt" in the shop directory, a ".doc" in caisse).
    void AddShop(const std::string& shop);
    // A file sent to `dest` (relative to the destination root).
    void Add(const std::string& relative, const std::string& content, const std::string& dest);
    // A file that no job may send; it would land at `dest`.
    void AddUnsent(const std::string& relative, const std::string& content,
                   const std::string& dest);

    // The files that are sent, and those that are not.
    std::vector<TreeFile> Sent() const;
    std::vector<TreeFile> Unsent() const;
    // The source directories of the sent files.
    std::vector<std::string> SourceDirs() const;

private:
    std::string dir_;
    std::string name_;
    std::vector<TreeFile> files_;
};

// The due time of the next job in a status record (a field of a packed record, copied out).
SYSTEMTIME NextActionOf(const TServiceStateRecord& record);

// Name and size of every file line of a status file; empty when the file does not exist.
std::map<std::string, int64_t> RecordedFiles(const std::string& statusFile);

// Every sent file of `tree` is at `destRoot`/dest with its content, and no unsent one is.
void ExpectArrived(const TrackedTree& tree, const std::string& destRoot);
// Each source directory's status file `statusName` lists exactly the sent files of that
// directory, with their sizes.
void ExpectRecorded(const TrackedTree& tree, const std::string& statusName);
// No status file `statusName` of the tree lists any file.
void ExpectNothingRecorded(const TrackedTree& tree, const std::string& statusName);
// Checks that every file listed in `sourceDir`/`statusName` is at `destDir` byte for byte
// with the recorded size; returns how many are listed.
size_t CheckRecordedArrivedWhole(const std::string& sourceDir, const std::string& statusName,
                                 const std::string& destDir);

// A TCP port on 127.0.0.1 in front of a server. Closed at first: the port is bound but not
// listening, so connections are refused. Open relays every connection to the target port;
// OpenDropping accepts each connection and closes it, unanswered, after `hold`.
class PortGate {
public:
    explicit PortGate(int targetPort);
    ~PortGate();
    PortGate(const PortGate&) = delete;
    PortGate& operator=(const PortGate&) = delete;

    int Port() const { return port_; }
    void Open();
    void OpenDropping(std::chrono::milliseconds hold);
    // Connections accepted so far.
    int Accepted() const { return accepted_.load(); }

private:
    void Listen();
    void AcceptLoop();
    void Relay(int client);
    bool WaitWake(int timeoutMs) const;

    int targetPort_;
    int port_ = 0;
    int listenFd_ = -1;
    int wake_[2] = {-1, -1};
    bool dropping_ = false;
    std::chrono::milliseconds hold_{0};
    std::atomic<int> accepted_{0};
    std::thread acceptThread_;
    std::mutex relaysMutex_;
    std::vector<std::thread> relays_;
};

// A transfer service in a temporary program directory, with its own pipe namespace. The
// test fills `Cfg`, which StartService writes as the service's configuration file.
class KvServiceTest : public ::testing::Test {
protected:
    KvServiceTest();
    ~KvServiceTest() override;

    std::string ProgramDirPath() const { return root_.File("prog"); }
    std::string IniPath() const { return ProgramDirPath() + "/kelvardsvc.ini"; }
    std::string LogPath() const { return ProgramDirPath() + "/kelvardsvc.log"; }
    // A new directory below the test's root.
    std::string NewDir(const std::string& name) const;
    const std::string& Root() const { return root_.Path(); }

    // Writes Cfg as the configuration file and runs a new service object under a manager of
    // the test; true once it runs (its first job is due 5 s later on its clock).
    bool StartService();
    // Moves the service's clock past the due time and waits until the job has ended.
    bool RunJob(int timeoutMs = 30000);
    // Moves the clock past the due time without waiting.
    void TriggerJob();
    // Waits until the job that TriggerJob started has ended.
    bool WaitJobEnded(int timeoutMs = 30000);
    // Asks the running service to stop; returns how long it took to end (fails the test when
    // it did not end within `timeoutMs`).
    std::chrono::milliseconds StopService(int timeoutMs = 20000);
    bool Running() const { return manager_ != nullptr; }

    TServiceStateRecord Record();
    // The log's messages without their time stamps.
    std::vector<std::string> LogMessages() const;
    // The messages from index `from` on.
    std::vector<std::string> LogMessagesFrom(size_t from) const;
    // How many messages equal `message`.
    size_t CountLogged(const std::string& message) const;

    TTransportConfig Cfg;
    std::unique_ptr<TKelvardSvc> Service;

private:
    TempDir root_;
    ShiftedClock clock_;
    std::unique_ptr<ManagerEnd> manager_;
    SYSTEMTIME dueBefore_{};
};

#define KV_SKIP_UNLESS_AVAILABLE(Server)                                                           \
    do {                                                                                           \
        std::string reason = Server::UnavailableReason();                                          \
        if (!reason.empty())                                                                       \
            GTEST_SKIP() << reason;                                                                \
    } while (0)
