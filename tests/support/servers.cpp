#include "tests/support/servers.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

constexpr int kLaunchAttempts = 8;
constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr const char* kFtpPamService = "kv-testsupport-ftp";

std::string SysError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// A port that is free on 127.0.0.1 now: bound to port 0, read back, released. Another process
// may take it before the server binds it; Launch then retries with another one.
int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(SysError("socket"));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
              getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    int error = errno;
    close(fd);
    if (!ok) {
        errno = error;
        throw std::runtime_error(SysError("bind 127.0.0.1:0"));
    }
    return ntohs(address.sin_port);
}

// Inodes of the TCP sockets listening on `port` (IPv4, any local address), asked of the kernel's
// socket diagnostics: it walks only the listening sockets, where /proc/net/tcp walks the whole
// connection table and takes milliseconds.
std::set<unsigned> ListeningInodes(int port) {
    std::set<unsigned> inodes;
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        throw std::runtime_error(SysError("netlink socket"));
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query{};
    query.header.nlmsg_len = sizeof(query);
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    query.request.sdiag_family = AF_INET;
    query.request.sdiag_protocol = IPPROTO_TCP;
    query.request.idiag_states = 1u << 10; // TCP_LISTEN
    bool done = send(fd, &query, sizeof(query), 0) != static_cast<ssize_t>(sizeof(query));
    alignas(nlmsghdr) char buffer[16384];
    while (!done) {
        ssize_t length = recv(fd, buffer, sizeof(buffer), 0);
        if (length <= 0)
            break;
        for (auto* message = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(message, length);
             message = NLMSG_NEXT(message, length)) {
            if (message->nlmsg_type == NLMSG_DONE || message->nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            auto* socketInfo = static_cast<inet_diag_msg*>(NLMSG_DATA(message));
            if (ntohs(socketInfo->id.idiag_sport) == port)
                inodes.insert(socketInfo->idiag_inode);
        }
    }
    close(fd);
    return inodes;
}

// True when process `pid` itself holds a socket listening on `port`. A bare connect would also
// succeed on a port that another program took meanwhile, while our server is about to fail.
bool ProcessListensOn(pid_t pid, int port) {
    std::set<unsigned> inodes = ListeningInodes(port);
    if (inodes.empty())
        return false;
    std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(fdDir.c_str());
    if (!dir)
        return false;
    bool found = false;
    while (dirent* entry = readdir(dir)) {
        char target[64] = {};
        std::string link = fdDir + "/" + entry->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
        unsigned inode = 0;
        if (n > 0 && std::sscanf(target, "socket:[%u]", &inode) == 1 && inodes.count(inode)) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

void MakeDir(const std::string& path, mode_t mode, uid_t uid = 0, gid_t gid = 0) {
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        throw std::runtime_error(SysError("mkdir " + path));
    if (chown(path.c_str(), uid, gid) != 0 || chmod(path.c_str(), mode) != 0)
        throw std::runtime_error(SysError("chown/chmod " + path));
}

// Writes `content` to `path` through a temporary file and a rename, unless it is already there,
// so that test programs running in parallel never see a half-written file.
void WriteFileOnce(const std::string& path, const std::string& content) {
    if (ReadTextFile(path) == content)
        return;
    std::string temp = path + ".tmp" + std::to_string(getpid());
    WriteTextFile(temp, content);
    if (rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        throw std::runtime_error(SysError("rename " + temp));
    }
}

// vsftpd authenticates through PAM. Its packaged service also requires a shell listed in
// /etc/shells, which the test account deliberately lacks; this service checks the password and
// the account only.
void EnsureFtpPamService() {
    WriteFileOnce(std::string("/etc/pam.d/") + kFtpPamService,
                  "# FTP logins of the test account, for servers that tests start on 127.0.0.1.\n"
                  "auth     required  pam_unix.so nodelay\n"
                  "account  required  pam_unix.so\n"
                  "session  required  pam_permit.so\n");
}

std::string RandomHex(int digits) {
    std::random_device device;
    std::string text;
    for (int i = 0; i < digits; ++i)
        text += "0123456789abcdef"[device() % 16];
    return text;
}

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// PeerServer

PeerServer::~PeerServer() {
    StopServer();
}

void PeerServer::StopServer() {
    process_.reset();
}

void PeerServer::Launch(const std::function<std::vector<std::string>(int port)>& argvForPort) {
    auto start = std::chrono::steady_clock::now();
    for (int attempt = 0; attempt < kLaunchAttempts; ++attempt) {
        int port = FreePort();
        if (TryLaunch(argvForPort(port), port)) {
            port_ = port;
            startupTime_ = std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::steady_clock::now() - start);
            return;
        }
    }
    throw std::runtime_error("test server did not start after " + std::to_string(kLaunchAttempts) +
                             " attempts:\n" + LogTail(LogPath()));
}

// False when the server ended before listening (port taken meanwhile, or a start-up error that
// the next attempt shows again); throws when it neither listens nor ends in time.
bool PeerServer::TryLaunch(const std::vector<std::string>& argv, int port) {
    std::ofstream(LogPath(), std::ios::app)
        << "--- starting " << argv[0] << " on port " << port << "\n";
    process_ = std::make_unique<ChildProcess>(argv, LogPath());
    auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ProcessListensOn(process_->Pid(), port))
            return true;
        if (process_->HasExited()) {
            process_.reset();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    process_.reset();
    throw std::runtime_error(argv[0] + " did not listen on port " + std::to_string(port) +
                             " in time:\n" + LogTail(LogPath()));
}

// ---------------------------------------------------------------------------------------------
// FtpServer

std::string FtpServer::UnavailableReason() {
    return PeerUnavailableReason({"vsftpd", "openssl"});
}

FtpServer::FtpServer(FtpOptions options) : options_(options) {
    const PeerAccount& account = TestPeerAccount();
    // The session runs as the account after login: it must be able to reach its root.
    if (chmod(Dir().Path().c_str(), 0711) != 0)
        throw std::runtime_error(SysError("chmod " + Dir().Path()));
    rootDir_ = Dir().File("root");
    MakeDir(rootDir_, 0755, account.uid, account.gid);
    MakeDir(Dir().File("empty"), 0555);
    EnsureFtpPamService();
    if (options_.tls)
        MakeCertificate();
    std::string vsftpd = FindProgram("vsftpd");
    std::string config = Dir().File("vsftpd.conf");
    Launch([&](int port) {
        WriteTextFile(config, WriteConfig(port));
        return std::vector<std::string>{vsftpd, config};
    });
}

FtpServer::~FtpServer() {
    StopServer();
}

const std::string& FtpServer::User() const {
    return TestPeerAccount().user;
}
const std::string& FtpServer::Password() const {
    return TestPeerAccount().password;
}

std::string FtpServer::Url(const std::string& path) const {
    return "ftp://" + Host() + ":" + std::to_string(Port()) + "/" + path;
}

// An EC key: made in milliseconds, where an RSA key takes a good part of a second.
void FtpServer::MakeCertificate() const {
    RunCommandOrThrow({FindProgram("openssl"), "req", "-x509", "-newkey", "ec", "-pkeyopt",
                       "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                       "/CN=127.0.0.1", "-keyout", Dir().File("key.pem"), "-out",
                       Dir().File("cert.pem")},
                      LogPath());
}

std::string FtpServer::WriteConfig(int port) const {
    std::vector<std::string> lines = {
        "listen=YES",
        "listen_ipv6=NO",
        "listen_address=127.0.0.1",
        "listen_port=" + std::to_string(port),
        "background=NO",
        "anonymous_enable=NO",
        "local_enable=YES",
        "write_enable=YES",
        "local_umask=022",
        "local_root=" + rootDir_,
        "chroot_local_user=NO",
        "userlist_enable=NO",
        "pam_service_name=" + std::string(kFtpPamService),
        "secure_chroot_dir=" + Dir().File("empty"),
        // The sandbox kills sessions on system calls that newer C libraries make.
        "seccomp_sandbox=NO",
        "max_clients=0",
        "max_per_ip=0",
        "delay_failed_login=0",
        "dirmessage_enable=NO",
        "connect_from_port_20=NO",
        "vsftpd_log_file=" + LogPath(),
        "xferlog_enable=YES",
        "xferlog_std_format=NO",
        "log_ftp_protocol=YES",
    };
    if (options_.tls) {
        std::vector<std::string> tls = {
            "ssl_enable=YES",
            "allow_anon_ssl=NO",
            "force_local_logins_ssl=YES",
            "force_local_data_ssl=YES",
            std::string("require_ssl_reuse=") + (options_.requireSslReuse ? "YES" : "NO"),
            // The built-in default (DES-CBC3-SHA) is refused by current TLS libraries.
            "ssl_ciphers=HIGH:!aNULL:!MD5",
            "ssl_request_cert=NO",
            "rsa_cert_file=" + Dir().File("cert.pem"),
            "rsa_private_key_file=" + Dir().File("key.pem"),
        };
        lines.insert(lines.end(), tls.begin(), tls.end());
    }
    return JoinLines(lines);
}

// ---------------------------------------------------------------------------------------------
// SftpServer

std::string SftpServer::UnavailableReason() {
    return PeerUnavailableReason({"sshd", "ssh-keygen"});
}

// The chroot must be root-owned on every component of its path and not group- or other-writable,
// so it cannot live under /tmp (mode 1777); it lives in the root-owned state directory.
SftpServer::SftpServer() : root_("sftp"), rootDir_(root_.Path()) {
    TestPeerAccount();
    // Privilege separation directory that sshd insists on.
    MakeDir("/run/sshd", 0755);
    RunCommandOrThrow({FindProgram("ssh-keygen"), "-q", "-t", "ed25519", "-N", "", "-C",
                       "test-host-key", "-f", Dir().File("host_ed25519")},
                      LogPath());
    std::string sshd = FindProgram("sshd");
    std::string config = Dir().File("sshd_config");
    Launch([&](int port) {
        WriteTextFile(config, WriteConfig(port));
        return std::vector<std::string>{sshd, "-D", "-e", "-f", config};
    });
}

SftpServer::~SftpServer() {
    StopServer();
}

const std::string& SftpServer::User() const {
    return TestPeerAccount().user;
}
const std::string& SftpServer::Password() const {
    return TestPeerAccount().password;
}

void SftpServer::AddUploadDir(const std::string& name) const {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        throw std::invalid_argument("not a single directory name: " + name);
    const PeerAccount& account = TestPeerAccount();
    MakeDir(rootDir_ + "/" + name, 0755, account.uid, account.gid);
}

std::string SftpServer::Url(const std::string& path) const {
    return "sftp://" + Host() + ":" + std::to_string(Port()) + "/" + path;
}

std::string SftpServer::WriteConfig(int port) const {
    return JoinLines({
        "ListenAddress 127.0.0.1",
        "Port " + std::to_string(port),
        "HostKey " + Dir().File("host_ed25519"),
        "PidFile none",
        // Passwords are checked against the shadow file directly: no PAM session per login.
        "UsePAM no",
        "PasswordAuthentication yes",
        "PermitEmptyPasswords no",
        "KbdInteractiveAuthentication no",
        "PubkeyAuthentication no",
        "AuthorizedKeysFile none",
        "PermitRootLogin no",
        "AllowUsers " + TestPeerAccount().user,
        "AllowTcpForwarding no",
        "AllowAgentForwarding no",
        "AllowStreamLocalForwarding no",
        "X11Forwarding no",
        "PermitTTY no",
        "PrintMotd no",
        "UseDNS no",
        // In-process SFTP: no login shell is started per connection.
        "Subsystem sftp internal-sftp",
        "ForceCommand internal-sftp",
        "ChrootDirectory " + rootDir_,
        // Benchmarks open many connections at once.
        "MaxStartups 200",
        "MaxSessions 50",
        "LoginGraceTime 30",
        "LogLevel VERBOSE",
    });
}

// ---------------------------------------------------------------------------------------------
// Socks5Proxy

std::string Socks5Proxy::UnavailableReason() {
    return FindProgram("microsocks").empty() ? "microsocks is not installed" : "";
}

Socks5Proxy::Socks5Proxy() : password_(RandomHex(16)) {
    std::string microsocks = FindProgram("microsocks");
    Launch([&](int port) {
        return std::vector<std::string>{
            microsocks, "-i",  "127.0.0.1", "-p",     std::to_string(port),
            "-u",       user_, "-P",        password_};
    });
}

Socks5Proxy::~Socks5Proxy() {
    StopServer();
}

std::string Socks5Proxy::Url() const {
    return "socks5://" + Host() + ":" + std::to_string(Port());
}
