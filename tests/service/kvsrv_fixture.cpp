#include "tests/service/kvsrv_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>

#include "common/debuglog.h"
#include "service/framework/dirdesc.h"

namespace fs = std::filesystem;

// ---- TrackedTree ----

TrackedTree::TrackedTree(const std::string& parent, const std::string& name)
    : dir_(parent + "/" + name), name_(name) {
    fs::create_directories(dir_);
}

void TrackedTree::AddShop(const std::string& shop) {
    Add(shop + "/shopinfo.arg", "[Shop]\r\nName=" + shop + "\r\n", shop + "/shopinfo.arg");
    Add(shop + "/info2.arg", "info 2 of " + shop + "\r\n", name_ + "/" + shop + "/info2.arg");
    Add(shop + "/tallix/count.scb", std::string("\x00\x01\xff\r\n", 5) + shop,
        shop + "/tallix/count.scb");
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + (i * 7 + shop.size()) % 26);
    Add(shop + "/caisse/a.txt", big, shop + "/caisse/a.txt");
    Add(shop + "/caisse/b.txt", "ticket b of " + shop + "\n", shop + "/caisse/b.txt");
    Add(shop + "/filters/f1.fif", "", shop + "/filters/f1.fif");
    Add(shop + "/filters/f2.fif", "filter 2 of " + shop, shop + "/filters/f2.fif");
    AddUnsent(shop + "/notes.txt", "not an arg file", name_ + "/" + shop + "/notes.txt");
    AddUnsent(shop + "/caisse/notes.doc", "not a ticket", shop + "/caisse/notes.doc");
}

void TrackedTree::Add(const std::string& relative, const std::string& content,
                      const std::string& dest) {
    std::string path = dir_ + "/" + relative;
    fs::create_directories(fs::path(path).parent_path());
    WriteTextFile(path, content);
    files_.push_back({path, content, dest, true});
}

void TrackedTree::AddUnsent(const std::string& relative, const std::string& content,
                            const std::string& dest) {
    Add(relative, content, dest);
    files_.back().sent = false;
}

std::vector<TreeFile> TrackedTree::Sent() const {
    std::vector<TreeFile> sent;
    for (const TreeFile& file : files_)
        if (file.sent)
            sent.push_back(file);
    return sent;
}

std::vector<TreeFile> TrackedTree::Unsent() const {
    std::vector<TreeFile> unsent;
    for (const TreeFile& file : files_)
        if (!file.sent)
            unsent.push_back(file);
    return unsent;
}

std::vector<std::string> TrackedTree::SourceDirs() const {
    std::vector<std::string> dirs;
    for (const TreeFile& file : Sent()) {
        std::string dir = fs::path(file.source).parent_path().string();
        if (std::find(dirs.begin(), dirs.end(), dir) == dirs.end())
            dirs.push_back(dir);
    }
    return dirs;
}

// ---- status files and destinations ----

SYSTEMTIME NextActionOf(const TServiceStateRecord& record) {
    SYSTEMTIME due;
    std::memcpy(&due,
                reinterpret_cast<const char*>(&record) +
                    offsetof(TServiceStateRecord, NextActionTime),
                sizeof due);
    return due;
}

std::map<std::string, int64_t> RecordedFiles(const std::string& statusFile) {
    std::map<std::string, int64_t> files;
    std::ifstream in(statusFile, std::ios::binary);
    if (!in)
        return files;
    ReadStatusRecords(in, 0, [&](const TStatusRecord& record) {
        EXPECT_EQ(files.count(record.Name), 0u) << record.Name << " twice in " << statusFile;
        files[record.Name] = record.Size;
    });
    return files;
}

void ExpectArrived(const TrackedTree& tree, const std::string& destRoot) {
    for (const TreeFile& file : tree.Sent()) {
        std::string path = destRoot + "/" + file.dest;
        ASSERT_TRUE(FileExists(path)) << file.source << " is not at " << path;
        EXPECT_TRUE(ReadTextFile(path) == file.content) << path << " differs from " << file.source;
    }
    for (const TreeFile& file : tree.Unsent())
        EXPECT_FALSE(FileExists(destRoot + "/" + file.dest)) << file.source << " was sent";
}

void ExpectRecorded(const TrackedTree& tree, const std::string& statusName) {
    for (const std::string& dir : tree.SourceDirs()) {
        std::map<std::string, int64_t> expected;
        for (const TreeFile& file : tree.Sent())
            if (fs::path(file.source).parent_path() == dir)
                expected[fs::path(file.source).filename().string()] =
                    static_cast<int64_t>(file.content.size());
        EXPECT_EQ(RecordedFiles(dir + "/" + statusName), expected) << dir << "/" << statusName;
    }
}

void ExpectNothingRecorded(const TrackedTree& tree, const std::string& statusName) {
    for (const std::string& dir : tree.SourceDirs())
        EXPECT_TRUE(RecordedFiles(dir + "/" + statusName).empty()) << dir << "/" << statusName;
}

size_t CheckRecordedArrivedWhole(const std::string& sourceDir, const std::string& statusName,
                                 const std::string& destDir) {
    std::map<std::string, int64_t> recorded = RecordedFiles(sourceDir + "/" + statusName);
    for (const auto& [name, size] : recorded) {
        const std::string source = ReadTextFile(sourceDir + "/" + name);
        const std::string target = destDir + "/" + name;
        if (!FileExists(target)) {
            ADD_FAILURE() << name << " is recorded as sent but is not at " << destDir;
            continue;
        }
        EXPECT_EQ(size, static_cast<int64_t>(source.size())) << name;
        EXPECT_TRUE(ReadTextFile(target) == source) << name << " did not arrive whole";
    }
    return recorded.size();
}

// ---- PortGate ----

namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

PortGate::PortGate(int targetPort) : targetPort_(targetPort) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        pipe2(wake_, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("PortGate: ") + std::strerror(errno));
    port_ = ntohs(address.sin_port);
}

PortGate::~PortGate() {
    char one = 1;
    if (write(wake_[1], &one, 1) != 1)
        std::abort();
    if (acceptThread_.joinable())
        acceptThread_.join();
    {
        std::lock_guard lock(relaysMutex_);
        for (std::thread& relay : relays_)
            relay.join();
    }
    close(listenFd_);
    close(wake_[0]);
    close(wake_[1]);
}

void PortGate::Open() {
    dropping_ = false;
    Listen();
}

void PortGate::OpenDropping(std::chrono::milliseconds hold) {
    dropping_ = true;
    hold_ = hold;
    Listen();
}

void PortGate::Listen() {
    if (listen(listenFd_, 64) != 0)
        throw std::runtime_error(std::string("PortGate listen: ") + std::strerror(errno));
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

bool PortGate::WaitWake(int timeoutMs) const {
    pollfd p{wake_[0], POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0;
}

void PortGate::AcceptLoop() {
    for (;;) {
        pollfd fds[2] = {{wake_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[0].revents)
            return;
        if (!fds[1].revents)
            continue;
        int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        ++accepted_;
        if (dropping_) {
            bool stopping = WaitWake(static_cast<int>(hold_.count()));
            close(client);
            if (stopping)
                return;
            continue;
        }
        std::lock_guard lock(relaysMutex_);
        relays_.emplace_back([this, client] { Relay(client); });
    }
}

void PortGate::Relay(int client) {
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(targetPort_);
    if (server < 0 || connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(client);
        if (server >= 0)
            close(server);
        return;
    }
    char buffer[16384];
    for (bool open = true; open;) {
        pollfd fds[3] = {{wake_[0], POLLIN, 0}, {client, POLLIN, 0}, {server, POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents)
            break;
        for (int i = 1; i <= 2 && open; ++i) {
            if (!fds[i].revents)
                continue;
            ssize_t n = recv(fds[i].fd, buffer, sizeof buffer, 0);
            open = n > 0 && WriteAll(i == 1 ? server : client, buffer, static_cast<size_t>(n));
        }
    }
    close(client);
    close(server);
}

// ---- KvServiceTest ----

namespace {

constexpr double kJobShiftSeconds = 2 * 3600;

} // namespace

KvServiceTest::KvServiceTest() {
    ::setenv("SVCMGR_ROOT", root_.Path().c_str(), 1);
    fs::create_directories(ProgramDirPath());
    // One job per test step: the test moves the clock past the due time.
    Cfg.TimeBetweenActions = 3600;
}

KvServiceTest::~KvServiceTest() {
    if (manager_)
        StopService();
    Service.reset();
    ClearDebugTarget();
    ::unsetenv("SVCMGR_ROOT");
}

std::string KvServiceTest::NewDir(const std::string& name) const {
    std::string dir = root_.File(name);
    fs::create_directories(dir);
    return dir;
}

bool KvServiceTest::StartService() {
    if (manager_)
        StopService();
    Cfg.SaveToFile(IniPath());
    Service = std::make_unique<TKelvardSvc>();
    Service->ProgramDirectory = ProgramDirPath();
    Service->SetClock(&clock_);
    KelvardSvc = Service.get();
    manager_ = std::make_unique<ManagerEnd>(*Service);
    // The main loop publishes the first due time once the start has succeeded.
    bool running =
        WaitFor([&] { return Record().NextActionTime.wYear != 0 || manager_->Finished(0); });
    if (!running || manager_->Finished(0)) {
        manager_.reset();
        KelvardSvc = nullptr;
        return false;
    }
    return true;
}

void KvServiceTest::TriggerJob() {
    dueBefore_ = NextActionOf(Record());
    clock_.ShiftSeconds(kJobShiftSeconds);
}

bool KvServiceTest::WaitJobEnded(int timeoutMs) {
    return WaitFor(
        [&] {
            SYSTEMTIME due = NextActionOf(Record());
            return std::memcmp(&due, &dueBefore_, sizeof due) != 0 || manager_->Finished(0);
        },
        timeoutMs);
}

bool KvServiceTest::RunJob(int timeoutMs) {
    TriggerJob();
    return WaitJobEnded(timeoutMs);
}

std::chrono::milliseconds KvServiceTest::StopService(int timeoutMs) {
    auto start = std::chrono::steady_clock::now();
    manager_->Send(SERVICE_CONTROL_STOP);
    EXPECT_TRUE(manager_->Finished(timeoutMs)) << "the service did not stop";
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    manager_.reset();
    KelvardSvc = nullptr;
    return took;
}

TServiceStateRecord KvServiceTest::Record() {
    TServiceStateRecord record{};
    Service->FillStateRecord(record);
    return record;
}

std::vector<std::string> KvServiceTest::LogMessages() const {
    std::vector<std::string> lines;
    const std::string text = FileExists(LogPath()) ? ReadTextFile(LogPath()) : "";
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        const std::string line = text.substr(start, end - start);
        const size_t tab = line.find('\t');
        lines.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
    }
    return lines;
}

std::vector<std::string> KvServiceTest::LogMessagesFrom(size_t from) const {
    std::vector<std::string> lines = LogMessages();
    if (from >= lines.size())
        return {};
    return std::vector<std::string>(lines.begin() + static_cast<long>(from), lines.end());
}

size_t KvServiceTest::CountLogged(const std::string& message) const {
    std::vector<std::string> lines = LogMessages();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), message));
}
