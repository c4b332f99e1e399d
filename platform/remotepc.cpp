#include "platform/remotepc.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/langtext.h"
#include "platform/errors.h"
#include "platform/namedpipe.h"
#include "platform/svcmgr/svcmgr_bridge.h"
#include "platform/svcmgr/svcmgr_proto.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* DefaultRemoteProgram = "/opt/kelvard/svcmgr";
// ssh's own bound on the TCP connection, and ours on the whole login up to the bridge's hello.
constexpr int SshConnectTimeoutS = 8;
constexpr auto LoginBound = std::chrono::seconds(20);
// An answer may take the time-out the bridge applies on that PC plus the way back.
constexpr auto AnswerMargin = std::chrono::seconds(5);
// ssh's messages kept for the error text.
constexpr size_t StderrKept = 4096;

EOSError NetPathError(const char* format, const std::string& pc, const std::string& why = {}) {
    return EOSError(ERROR_BAD_NETPATH, svcproto::Format(format, pc.c_str(), why.c_str()));
}

std::string EnvOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

// The program path as one word of a POSIX shell command: the login shell on the other PC runs
// the command line ssh sends.
std::string ShellQuoted(const std::string& word) {
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

void CloseFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// The ssh process of one PC, with its standard input (a socket, so that writes to a process
// that died fail with EPIPE instead of raising SIGPIPE), output and error.
class TSshLink {
public:
    explicit TSshLink(std::string pc) : pc_(std::move(pc)) {}
    ~TSshLink() { Close(); }
    TSshLink(const TSshLink&) = delete;
    TSshLink& operator=(const TSshLink&) = delete;

    bool IsOpen() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }

    // Starts ssh and waits for the bridge's hello; gives up when `cancelFd` becomes readable.
    void Open(int cancelFd);
    // False when the process has ended or its output holds something unasked for.
    bool StillUsable();
    // Sends one request frame and returns the answer's payload, or raises the failure.
    std::string Call(uint32_t kind, int timeoutMs, const std::string& payload);
    void Close();

private:
    void Spawn();
    // Reads exactly `length` bytes of output; false at its end, when cancelled or at the
    // deadline (`timedOut`).
    bool ReadOutput(char* buffer, size_t length, Clock::time_point deadline, bool& timedOut);
    void DrainStderr();
    // ssh's last message line, or how the process ended; Close() first.
    std::string Why();
    [[noreturn]] void Fail(const char* format);

    std::string pc_;
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    int cancel_ = -1; // not owned; set while opening
    int exitStatus_ = -1;
    std::string stderr_;
};

void TSshLink::Spawn() {
    int inPair[2], outPipe[2], errPipe[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, inPair) != 0)
        throw OSErrorFromErrno(errno);
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        int code = errno;
        ::close(inPair[0]);
        ::close(inPair[1]);
        throw OSErrorFromErrno(code);
    }
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        int code = errno;
        for (int fd : {inPair[0], inPair[1], outPipe[0], outPipe[1]})
            ::close(fd);
        throw OSErrorFromErrno(code);
    }
    std::vector<std::string> args = {"ssh", "-T", "-x", "-a", "-e", "none"};
    if (const char* config = std::getenv("SVCMGR_SSH_CONFIG"); config && *config)
        args.insert(args.end(), {"-F", config});
    for (const std::string& option :
         {std::string("BatchMode=yes"), "ConnectTimeout=" + std::to_string(SshConnectTimeoutS),
          std::string("ServerAliveInterval=15"), std::string("ServerAliveCountMax=3"),
          std::string("ClearAllForwardings=yes")})
        args.insert(args.end(), {"-o", option});
    args.insert(
        args.end(),
        {"--", pc_, ShellQuoted(EnvOr("SVCMGR_REMOTE_PROGRAM", DefaultRemoteProgram)) + " bridge"});
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPair[1], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawnattr_init(&attributes);
    // A session of its own: no controlling terminal that ssh could prompt on, and no signal
    // of the console's terminal.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int code = ::posix_spawnp(&pid, "ssh", &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(inPair[1]);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (code != 0) {
        ::close(inPair[0]);
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        throw NetPathError(langtext::RemotePcNoSsh, pc_, SysErrorMessage(code));
    }
    pid_ = pid;
    in_ = inPair[0];
    out_ = outPipe[0];
    err_ = errPipe[0];
    exitStatus_ = -1;
    stderr_.clear();
}

void TSshLink::Open(int cancelFd) {
    cancel_ = cancelFd;
    struct TForgetCancel {
        int& Fd;
        ~TForgetCancel() { Fd = -1; }
    } forget{cancel_};
    Spawn();
    const auto deadline = Clock::now() + LoginBound;
    // A start-up file of the login shell on the other PC may print something before the bridge
    // runs: everything up to the magic of the bridge's first frame is skipped.
    const std::string magic = svcbridge::EncodeFrame(0, 0, {}).substr(0, 4);
    char raw[svcbridge::HeaderSize];
    size_t matched = 0;
    bool timedOut = false;
    while (matched < magic.size()) {
        if (!ReadOutput(raw + matched, 1, deadline, timedOut))
            Fail(timedOut ? langtext::RemotePcNoLogin : langtext::RemotePcUnreachable);
        ++matched;
        // Keep the longest tail of what was read that still begins the magic.
        size_t start = 0;
        while (start < matched && magic.compare(0, matched - start, raw + start, matched - start))
            ++start;
        std::memmove(raw, raw + start, matched - start);
        matched -= start;
    }
    if (!ReadOutput(raw + matched, sizeof raw - matched, deadline, timedOut))
        Fail(timedOut ? langtext::RemotePcNoLogin : langtext::RemotePcUnreachable);
    svcbridge::TFrameHeader header;
    std::string version(svcbridge::MaxPayload, '\0');
    if (!svcbridge::DecodeHeader(reinterpret_cast<unsigned char*>(raw), header) ||
        header.Kind != svcbridge::KindHello ||
        !ReadOutput(version.data(), header.Length, deadline, timedOut))
        Fail(langtext::RemotePcNoBridge);
}

bool TSshLink::StillUsable() {
    if (!IsOpen())
        return false;
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, 0) != 0)
        return false; // end of output, or bytes nobody asked for
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == 0)
        return true;
    exitStatus_ = status;
    pid_ = -1;
    return false;
}

void TSshLink::DrainStderr() {
    char chunk[1024];
    for (;;) {
        pollfd p{err_, POLLIN, 0};
        if (err_ < 0 || ::poll(&p, 1, 0) <= 0)
            return;
        ssize_t n = ::read(err_, chunk, sizeof chunk);
        if (n <= 0) {
            CloseFd(err_);
            return;
        }
        stderr_.append(chunk, static_cast<size_t>(n));
        if (stderr_.size() > StderrKept)
            stderr_.erase(0, stderr_.size() - StderrKept);
    }
}

bool TSshLink::ReadOutput(char* buffer, size_t length, Clock::time_point deadline, bool& timedOut) {
    size_t done = 0;
    timedOut = false;
    while (done < length) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            return false;
        }
        // poll skips the entries whose descriptor is negative.
        pollfd p[3] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}, {cancel_, POLLIN, 0}};
        int ready = ::poll(p, 3, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready <= 0)
            continue;
        if (p[2].revents != 0)
            return false;
        if (err_ >= 0 && p[1].revents != 0)
            DrainStderr();
        if (p[0].revents == 0)
            continue;
        ssize_t n = ::read(out_, buffer + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string TSshLink::Call(uint32_t kind, int timeoutMs, const std::string& payload) {
    std::string frame =
        svcbridge::EncodeFrame(kind, static_cast<uint32_t>(std::max(timeoutMs, 1)), payload);
    size_t sent = 0;
    while (sent < frame.size()) {
        ssize_t n = ::send(in_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            Fail(langtext::RemotePcLost);
        sent += static_cast<size_t>(n);
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs) + AnswerMargin;
    char raw[svcbridge::HeaderSize];
    bool timedOut = false;
    svcbridge::TFrameHeader header;
    if (!ReadOutput(raw, sizeof raw, deadline, timedOut))
        Fail(timedOut ? langtext::RemotePcNoAnswer : langtext::RemotePcLost);
    if (!svcbridge::DecodeHeader(reinterpret_cast<unsigned char*>(raw), header) ||
        header.Kind != kind)
        Fail(langtext::RemotePcNoBridge);
    std::string answer(header.Length, '\0');
    if (!ReadOutput(answer.data(), answer.size(), deadline, timedOut))
        Fail(timedOut ? langtext::RemotePcNoAnswer : langtext::RemotePcLost);
    if (header.Value != 0) // the bridge's text, printed and shown as it comes otherwise
        throw EOSError(static_cast<int>(header.Value), PrintableRemoteText(answer));
    return answer;
}

void TSshLink::Close() {
    CloseFd(in_);
    CloseFd(out_);
    if (pid_ > 0) {
        // Without its input ssh ends by itself; a link dropped part way may wait on the
        // network, so it is told to end, then killed.
        if (::waitpid(pid_, &exitStatus_, WNOHANG) == 0) {
            ::kill(pid_, SIGTERM);
            auto deadline = Clock::now() + std::chrono::seconds(2);
            while (::waitpid(pid_, &exitStatus_, WNOHANG) == 0) {
                if (Clock::now() > deadline) {
                    ::kill(pid_, SIGKILL);
                    ::waitpid(pid_, &exitStatus_, 0);
                    break;
                }
                ::usleep(2000);
            }
        }
        pid_ = -1;
    }
    DrainStderr();
    CloseFd(err_);
}

std::string TSshLink::Why() {
    // ssh's last line tells the cause (host key, authentication, name, connection).
    std::string text = stderr_;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    size_t start = text.find_last_of("\r\n");
    text = start == std::string::npos ? text : text.substr(start + 1);
    if (!text.empty()) // what the other PC's login wrote goes to a terminal or a window
        return PrintableRemoteText(text);
    if (exitStatus_ >= 0 && WIFEXITED(exitStatus_))
        return svcproto::Format(langtext::RemotePcSshExit, WEXITSTATUS(exitStatus_));
    return langtext::RemotePcSshEnded;
}

void TSshLink::Fail(const char* format) {
    // Waiting for ssh's end first lets its last message reach the error text.
    CloseFd(in_);
    if (pid_ > 0 && err_ >= 0) {
        auto deadline = Clock::now() + std::chrono::milliseconds(500);
        while (err_ >= 0 && Clock::now() < deadline) {
            pollfd p{err_, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0)
                DrainStderr();
            else if (::waitpid(pid_, &exitStatus_, WNOHANG) != 0) {
                pid_ = -1;
                DrainStderr();
                break;
            }
        }
    }
    Close();
    throw NetPathError(format, pc_, Why());
}

// Every PC's link, by name without regard to case. A link is opened by a connector thread of
// its PC, so that a caller that must not block (a window's timer) need not wait for the login.
// A failure is kept, and given at once, until RemotePcRetryDelay after a caller first got it:
// a failure found in the background is seen by at least one caller before the PC is tried again.
struct TPcEntry {
    std::mutex Mutex;
    std::condition_variable OpenEnded;
    std::unique_ptr<TSshLink> Link;
    bool Opening = false;
    std::thread Connector;
    int CancelFd = -1; // an eventfd that makes the connector give up
    Clock::time_point RetryAt{};
    std::optional<EOSError> LastFailure;
    bool FailureSeen = false;

    // Ends the connector (cancelled when `cancel`) and the link; Mutex not held.
    void Stop(bool cancel) {
        std::thread connector;
        {
            std::lock_guard lock(Mutex);
            if (cancel && CancelFd >= 0)
                (void)::eventfd_write(CancelFd, 1);
            connector.swap(Connector);
        }
        if (connector.joinable())
            connector.join();
        std::lock_guard lock(Mutex);
        Link.reset();
        CloseFd(CancelFd);
    }
};

std::atomic<bool> OpenInBackground{false};

std::mutex TableMutex;
std::map<std::string, std::shared_ptr<TPcEntry>>& Table() {
    static auto* table = new std::map<std::string, std::shared_ptr<TPcEntry>>();
    return *table;
}

std::string LowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::shared_ptr<TPcEntry> EntryFor(const std::string& pc) {
    std::lock_guard lock(TableMutex);
    auto& entry = Table()[LowerAscii(pc)];
    if (!entry)
        entry = std::make_shared<TPcEntry>();
    return entry;
}

// The connector of one opening: it outlives no entry, since an entry is dropped only after
// Stop() has joined it.
void OpenLink(TPcEntry& entry, const std::string& pc, int cancelFd) {
    auto link = std::make_unique<TSshLink>(pc);
    std::optional<EOSError> failure;
    try {
        link->Open(cancelFd);
    } catch (const EOSError& e) {
        failure = e;
    } catch (const std::exception& e) {
        failure = EOSError(ERROR_BAD_NETPATH,
                           svcproto::Format(langtext::RemotePcUnreachable, pc.c_str(), e.what()));
    }
    if (failure)
        link.reset();
    std::lock_guard lock(entry.Mutex);
    if (failure) {
        entry.LastFailure = std::move(failure);
        entry.FailureSeen = false;
    } else {
        entry.LastFailure.reset();
        entry.Link = std::move(link);
    }
    entry.Opening = false;
    entry.OpenEnded.notify_all();
}

// Starts the connector of `pc`; entry.Mutex held, no link, none being opened.
void StartOpening(TPcEntry& entry, const std::string& pc) {
    // The previous connector has left its last lock already: the join is at once.
    if (entry.Connector.joinable())
        entry.Connector.join();
    CloseFd(entry.CancelFd);
    int cancelFd = ::eventfd(0, EFD_CLOEXEC);
    if (cancelFd < 0)
        throw OSErrorFromErrno(errno);
    try {
        entry.Connector = std::thread(OpenLink, std::ref(entry), pc, cancelFd);
    } catch (...) {
        ::close(cancelFd);
        throw;
    }
    entry.CancelFd = cancelFd;
    entry.Opening = true;
}

// The failure of the last opening, whose retry delay starts with its first caller.
EOSError GiveFailure(TPcEntry& entry, const std::string& pc) {
    if (!entry.LastFailure)
        return NetPathError(langtext::RemotePcLost, pc, langtext::RemotePcSshEnded);
    if (!entry.FailureSeen) {
        entry.FailureSeen = true;
        entry.RetryAt = Clock::now() + RemotePcRetryDelay;
    }
    return *entry.LastFailure;
}

std::string Transact(const std::string& machineName, uint32_t kind, int timeoutMs,
                     const std::string& payload) {
    std::string pc = CheckedRemotePcName(machineName);
    std::shared_ptr<TPcEntry> entry = EntryFor(pc);
    std::unique_lock lock(entry->Mutex);
    if (entry->Link && !entry->Link->StillUsable())
        entry->Link.reset();
    if (!entry->Link) {
        const bool retryDue =
            !entry->LastFailure || (entry->FailureSeen && Clock::now() >= entry->RetryAt);
        if (!entry->Opening && retryDue)
            StartOpening(*entry, pc);
        if (OpenInBackground) {
            // While a PC that failed is tried again, its last failure stays the answer.
            if (entry->Opening && !entry->LastFailure)
                throw NetPathError(langtext::RemotePcOpening, pc);
            if (entry->Opening || !entry->Link)
                throw GiveFailure(*entry, pc);
        } else {
            entry->OpenEnded.wait(lock, [&] { return !entry->Opening; });
            if (!entry->Link)
                throw GiveFailure(*entry, pc);
        }
    }
    try {
        return entry->Link->Call(kind, timeoutMs, payload);
    } catch (const EOSError& e) {
        // A lost link is opened again by the next call; an answer from the PC keeps it.
        if (!entry->Link->IsOpen())
            entry->Link.reset();
        throw;
    }
}

bool PcNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_' || c == '@' || c == ':';
}

} // namespace

std::string CheckedRemotePcName(const std::string& machineName) {
    size_t start = 0;
    while (start < machineName.size() && start < 2 && machineName[start] == '\\')
        ++start;
    std::string pc = machineName.substr(start);
    bool valid = !pc.empty() && pc.size() <= 255 && pc[0] != '-' && pc[0] != '@';
    for (char c : pc)
        valid = valid && PcNameChar(c);
    if (!valid)
        throw EOSError(ERROR_INVALID_NETNAME,
                       svcproto::Format(langtext::RemotePcBadName, machineName.c_str()));
    return pc;
}

bool SplitRemotePipePath(const std::string& pipePath, std::string& pc, std::string& pipeName) {
    if (pipePath.size() < 3 || pipePath[0] != '\\' || pipePath[1] != '\\')
        return false;
    size_t serverEnd = pipePath.find('\\', 2);
    if (serverEnd == std::string::npos || serverEnd == 2)
        return false;
    size_t kindEnd = pipePath.find('\\', serverEnd + 1);
    if (kindEnd != serverEnd + 5 || ::strncasecmp(pipePath.c_str() + serverEnd + 1, "pipe", 4) != 0)
        return false;
    std::string server = pipePath.substr(2, serverEnd - 2);
    if (server == ".")
        return false;
    pc = server;
    pipeName = pipePath.substr(kindEnd + 1);
    return true;
}

std::string RemotePcManagerTransact(const std::string& pc, const std::string& request,
                                    int timeoutMs) {
    return Transact(pc, svcbridge::KindManager, timeoutMs, request);
}

size_t RemotePcCallPipe(const std::string& pc, const std::string& pipeName, const void* request,
                        size_t requestLength, void* answer, size_t answerCapacity, int timeoutMs) {
    std::string reply = Transact(pc, svcbridge::KindPipe, timeoutMs,
                                 svcbridge::EncodePipeRequest(pipeName, request, requestLength));
    if (reply.size() > answerCapacity)
        throw OSErrorFromErrno(EMSGSIZE);
    std::memcpy(answer, reply.data(), reply.size());
    return reply.size();
}

void SetRemotePcOpenInBackground(bool inBackground) {
    OpenInBackground = inBackground;
}

pid_t RemotePcProcessId(const std::string& pc) {
    std::shared_ptr<TPcEntry> entry;
    {
        std::lock_guard lock(TableMutex);
        auto found = Table().find(LowerAscii(CheckedRemotePcName(pc)));
        if (found == Table().end())
            return -1;
        entry = found->second;
    }
    std::lock_guard lock(entry->Mutex);
    return entry->Link ? entry->Link->Pid() : -1;
}

void CloseRemotePcConnections() {
    std::map<std::string, std::shared_ptr<TPcEntry>> entries;
    {
        std::lock_guard lock(TableMutex);
        entries.swap(Table());
    }
    for (auto& [name, entry] : entries)
        entry->Stop(true);
}

namespace {

// Length of the well-formed UTF-8 sequence at the start of `s` (2 to 4), or 0.
size_t Utf8SequenceLength(std::string_view s) {
    auto byte = [&](size_t i) { return i < s.size() ? static_cast<unsigned char>(s[i]) : 0u; };
    const unsigned lead = byte(0);
    const size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                         : 0;
    // The second byte's range rules out overlong forms, surrogates and code points past 0x10FFFF.
    const unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    for (size_t i = 1; i < length; ++i)
        if (byte(i) < (i == 1 ? low : 0x80u) || byte(i) > (i == 1 ? high : 0xBFu))
            return 0;
    return length;
}

} // namespace

std::string PrintableRemoteText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
            ++i;
            continue;
        }
        const size_t length = Utf8SequenceLength(text.substr(i));
        // U+0080 to U+009F (0xC2 0x80 to 0xC2 0x9F) are the C1 controls.
        const bool c1 = length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (length == 0 || c1) {
            out += '?';
            i += c1 ? 2 : 1;
            continue;
        }
        out.append(text.substr(i, length));
        i += length;
    }
    return out;
}
