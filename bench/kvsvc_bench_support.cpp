#include "bench/kvsvc_bench_support.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <memory>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "common/langtext.h"
#include "platform/svcmgr/svcmgr_types.h"
#include "platform/uniquefd.h"
#include "service/framework/dirdesc.h"
#include "service/kvsrv.h"

extern char** environ;

namespace fs = std::filesystem;

namespace kvbench {

namespace {

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void MakeDir(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        Fail("mkdir " + path);
}

void WriteFile(const std::string& path, const char* data, size_t size) {
    TUniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd)
        Fail("create " + path);
    while (size > 0) {
        ssize_t written = write(fd.Get(), data, size);
        if (written <= 0)
            Fail("write " + path);
        data += written;
        size -= static_cast<size_t>(written);
    }
}

std::string Numbered(const char* format, int number) {
    char text[64];
    std::snprintf(text, sizeof text, format, number);
    return text;
}

// Name of the file number `index` of a directory with extension `ext`.
std::string DataFileName(const std::string& ext, int index) {
    if (ext == "arg") {
        if (index == 0)
            return "shopinfo.arg";
        if (index == 1)
            return "x.arg";
        return Numbered("x%03d.arg", index - 1);
    }
    return Numbered("d%04d.", index) + ext;
}

} // namespace

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

Tree MakeTree(const std::string& root, const TreeLayout& layout, uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<char> noise(layout.maxSize * 2 + 1);
    for (char& byte : noise)
        byte = static_cast<char>(generator() & 0xff);
    std::uniform_int_distribution<size_t> sizes(layout.minSize, layout.maxSize);
    std::uniform_int_distribution<size_t> offsets(0, layout.maxSize);

    Tree tree;
    MakeDir(root);
    for (int t = 1; t <= layout.trackedDirs; ++t) {
        const std::string tracked = root + Numbered("/export%02d", t);
        MakeDir(tracked);
        tree.trackedDirs.push_back(tracked);
        for (int s = 0; s < layout.shops; ++s) {
            const std::string shop = tracked + Numbered("/SHOP%03d", s + 1);
            MakeDir(shop);
            for (const DirLayout& dir : layout.shopDirs(s)) {
                const std::string path = dir.sub.empty() ? shop : shop + "/" + dir.sub;
                MakeDir(path);
                tree.dataDirs.emplace_back(path, dir.ext);
                for (int f = 0; f < dir.files; ++f) {
                    const std::string file = path + "/" + DataFileName(dir.ext, f);
                    const size_t size = sizes(generator);
                    WriteFile(file, noise.data() + offsets(generator), size);
                    tree.files.push_back(file);
                    tree.bytes += static_cast<int64_t>(size);
                }
            }
        }
    }
    return tree;
}

void PrimeStatusFiles(const Tree& tree, const std::string& statusName) {
    for (const auto& [dir, ext] : tree.dataDirs) {
        TDirectoryList list(dir, ext, dir + ";" + ext, 0, statusName);
        list.ProcessFiles(true, [](const std::string&, const std::string&, bool&) { return true; });
        list.Save();
    }
}

void RemoveStatusFiles(const Tree& tree, const std::string& statusName) {
    for (const auto& entry : tree.dataDirs)
        unlink((entry.first + "/" + statusName).c_str());
}

// ---- floor ----

FloorWalk::FloorWalk(std::vector<std::string> roots, std::string statusName)
    : roots_(std::move(roots)), statusName_(std::move(statusName)) {
    for (const std::string& root : roots_) {
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (entry.is_regular_file() && entry.path().filename() == statusName_) {
                std::FILE* in = std::fopen(entry.path().c_str(), "rb");
                if (!in)
                    Fail("open " + entry.path().string());
                std::string text;
                char buffer[4096];
                while (size_t got = std::fread(buffer, 1, sizeof buffer, in))
                    text.append(buffer, got);
                std::fclose(in);
                contents_.emplace_back(entry.path().parent_path().string(), std::move(text));
            }
        }
    }
    std::sort(contents_.begin(), contents_.end());
}

double FloorWalk::Run(bool durable, int64_t& entries, int64_t& rewrites) {
    entries = rewrites = 0;
    const auto start = Clock::now();
    for (const std::string& root : roots_)
        Walk(root, durable, entries, rewrites);
    return SecondsSince(start);
}

void FloorWalk::Walk(const std::string& dir, bool durable, int64_t& entries, int64_t& rewrites) {
    std::unique_ptr<DIR, int (*)(DIR*)> handle(opendir(dir.c_str()), &closedir);
    if (!handle)
        Fail("opendir " + dir);
    std::vector<std::string> subDirs;
    bool hasStatus = false;
    while (dirent* entry = readdir(handle.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        struct stat st;
        if (fstatat(dirfd(handle.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            Fail("stat " + dir + "/" + entry->d_name);
        ++entries;
        if (S_ISDIR(st.st_mode))
            subDirs.push_back(dir + "/" + entry->d_name);
        else if (statusName_ == entry->d_name)
            hasStatus = true;
    }
    handle.reset();
    if (hasStatus) {
        auto found = std::lower_bound(contents_.begin(), contents_.end(),
                                      std::make_pair(dir, std::string()));
        if (found == contents_.end() || found->first != dir)
            throw std::runtime_error("no status text kept for " + dir);
        const std::string target = dir + "/" + statusName_;
        const std::string temp = dir + "/." + statusName_ + ".tmp";
        {
            TUniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
            if (!fd)
                Fail("create " + temp);
            const std::string& text = found->second;
            if (write(fd.Get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
                Fail("write " + temp);
            if (durable && fsync(fd.Get()) != 0)
                Fail("fsync " + temp);
        }
        if (rename(temp.c_str(), target.c_str()) != 0)
            Fail("rename " + temp);
        if (durable) {
            TUniqueFd dirFd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!dirFd || fsync(dirFd.Get()) != 0)
                Fail("fsync " + dir);
        }
        ++rewrites;
    }
    for (const std::string& sub : subDirs)
        Walk(sub, durable, entries, rewrites);
}

// ---- processes ----

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& errorLog,
                         bool captureOutput) {
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    int out[2] = {-1, -1};
    if (captureOutput && pipe2(out, O_CLOEXEC) != 0)
        Fail("pipe");
    TUniqueFd readEnd(out[0]), writeEnd(out[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (captureOutput)
        posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errorLog.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    ProcessResult result;
    const auto start = Clock::now();
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        errno = rc;
        Fail("cannot start " + argv[0]);
    }
    writeEnd.Reset();
    if (captureOutput) {
        char buffer[4096];
        for (ssize_t got; (got = read(readEnd.Get(), buffer, sizeof buffer)) != 0;) {
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                break;
            result.output.append(buffer, static_cast<size_t>(got));
        }
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    result.seconds = SecondsSince(start);
    result.maxRssKiB = usage.ru_maxrss;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

namespace {

constexpr const char* LauncherLine = "launcher: exit ";

} // namespace

ProcessResult RunMeasured(const std::vector<std::string>& argv, const std::string& errorLog,
                          bool captureOutput) {
    std::vector<std::string> launched = {fs::read_symlink("/proc/self/exe").string(),
                                         LauncherSwitch};
    launched.insert(launched.end(), argv.begin(), argv.end());
    ProcessResult result = RunProcess(launched, errorLog, true);
    const size_t line = result.output.rfind(LauncherLine);
    int status = 0;
    long peak = 0;
    if (line == std::string::npos || std::sscanf(result.output.c_str() + line,
                                                 "launcher: exit %d peak %ld", &status, &peak) != 2)
        throw std::runtime_error("no report from the launcher of " + argv[0]);
    result.output.resize(line);
    if (!captureOutput)
        result.output.clear();
    result.status = status;
    result.maxRssKiB = peak;
    return result;
}

int RunLauncher(char** argv) {
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv, environ);
    if (rc != 0) {
        std::printf("%s%d peak 0\n", LauncherLine, 127);
        return 127;
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("%s%d peak %ld\n", LauncherLine, exitStatus, usage.ru_maxrss);
    return exitStatus;
}

// ---- files ----

int64_t CountFiles(const std::string& dir, int64_t* bytes) {
    int64_t count = 0, total = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        if (it->is_regular_file()) {
            ++count;
            total += static_cast<int64_t>(it->file_size());
        }
    }
    if (bytes)
        *bytes = total;
    return count;
}

void SetAside(const std::string& dir, const std::string& keep) {
    static int serial = 0;
    const fs::path target = fs::path(keep) / std::to_string(++serial);
    fs::create_directories(target);
    for (const auto& entry : fs::directory_iterator(dir))
        fs::rename(entry.path(), target / entry.path().filename());
}

uint64_t FreeBytes(const std::string& path) {
    struct statvfs info;
    if (statvfs(path.c_str(), &info) != 0)
        Fail("statvfs " + path);
    return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

// ---- the service in-process ----

void RunInService(const std::string& programDir, const TTransportConfig& config,
                  const std::function<void(TKelvardSvc&)>& body) {
    config.SaveToFile(programDir + "/" + langtext::KvIniFileName);
    TKelvardSvc service;
    service.ProgramDirectory = programDir;
    bool ran = false;
    std::exception_ptr failure;
    service.OnExecute = [&](TService*) {
        ran = true;
        try {
            body(service);
        } catch (...) {
            failure = std::current_exception();
        }
        service.ServiceThread()->PostRequest(SERVICE_CONTROL_STOP);
    };
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        Fail("socketpair");
    TUniqueFd manager(pair[0]);
    const int serviceFd = pair[1];
    auto done = std::async(std::launch::async,
                           [&service, serviceFd] { return service.RunService(serviceFd); });
    // The manager's end: status reports are read and dropped until the service has ended.
    while (done.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        pollfd p{manager.Get(), POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            char buffer[256];
            if (recv(manager.Get(), buffer, sizeof buffer, 0) <= 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    done.get();
    if (!ran)
        throw std::runtime_error("the service did not start; see " + programDir + "/" +
                                 langtext::KvLogFileName);
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace kvbench
