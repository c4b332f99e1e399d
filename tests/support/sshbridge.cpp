#include "tests/support/sshbridge.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "platform/remotepc.h"
#include "tests/support/svcmgr_fixture.h"

namespace {

constexpr const char* kLoginUser = "kvtestssh";
constexpr const char* kHostKeyAlias = "kvpc-testhost";

std::string KeyGen(const std::string& file, const std::string& log) {
    RunCommandOrThrow({FindProgram("ssh-keygen"), "-q", "-t", "ed25519", "-N", "", "-C",
                       "svcmgr-bridge-test", "-f", file},
                      log);
    std::string pub = ReadTextFile(file + ".pub");
    while (!pub.empty() && pub.back() == '\n')
        pub.pop_back();
    return pub;
}

// The public key's type and base64 part, without the comment.
std::string KeyTypeAndBlob(const std::string& pub) {
    size_t second = pub.find(' ', pub.find(' ') + 1);
    return pub.substr(0, second);
}

void SaveEnv(const char* name, std::optional<std::string>& saved, const std::string& value) {
    if (const char* old = std::getenv(name))
        saved = old;
    setenv(name, value.c_str(), 1);
}

void RestoreEnv(const char* name, const std::optional<std::string>& saved) {
    saved ? (void)setenv(name, saved->c_str(), 1) : (void)unsetenv(name);
}

} // namespace

std::string SshBridgeHost::UnavailableReason() {
    return PeerUnavailableReason({"sshd", "ssh", "ssh-keygen", "useradd"});
}

const std::string& SshBridgeHost::LoginUser() {
    // A system account with a shell (ssh runs the bridge through it) and no password: "*" is
    // not a locked account to sshd, so a key logs it in. Test programs running in parallel
    // serialise the creation with a lock file.
    static const std::string user = [] {
        std::string lockPath = PeerStateDir() + "/sshuser.lock";
        int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0)
            throw std::runtime_error("cannot lock " + lockPath);
        if (!::getpwnam(kLoginUser)) {
            std::string home = PeerStateDir() + "/" + kLoginUser;
            RunCommandOrThrow({FindProgram("useradd"), "--system", "--shell", "/bin/sh",
                               "--home-dir", home, "--create-home", "--password", "*", kLoginUser},
                              PeerStateDir() + "/sshuser.log");
        }
        ::close(fd);
        return std::string(kLoginUser);
    }();
    return user;
}

SshBridgeHost::SshBridgeHost(const std::string& svcmgrRoot) : svcmgrRoot_(svcmgrRoot) {
    LoginUser();
    TestPeerAccount(); // sets up the state directory that sshd's privilege separation needs
    ::mkdir("/run/sshd", 0755);
    // The login account reads the authorized keys as itself.
    ::chmod(Dir().Path().c_str(), 0755);
    std::string log = LogPath();
    std::string hostKey = KeyGen(Dir().File("host_ed25519"), log);
    std::string otherHostKey = KeyGen(Dir().File("other_host_ed25519"), log);
    std::string clientKey = KeyGen(Dir().File("client_key"), log);
    KeyGen(Dir().File("refused_key"), log);
    WriteTextFile(Dir().File("authorized_keys"), clientKey + "\n");
    ::chmod(Dir().File("authorized_keys").c_str(), 0644);
    WriteTextFile(Dir().File("known_hosts"),
                  std::string(kHostKeyAlias) + " " + KeyTypeAndBlob(hostKey) + "\n");
    WriteTextFile(Dir().File("wrong_known_hosts"),
                  std::string(kHostKeyAlias) + " " + KeyTypeAndBlob(otherHostKey) + "\n");
    std::string sshd = FindProgram("sshd");
    std::string config = Dir().File("sshd_config");
    Launch([&](int port) {
        WriteTextFile(config, ServerConfig(port));
        return std::vector<std::string>{sshd, "-D", "-e", "-f", config};
    });
    WriteTextFile(ConfigPath(), ClientConfig());
    SaveEnv("SVCMGR_SSH_CONFIG", savedConfig_, ConfigPath());
    SaveEnv("SVCMGR_REMOTE_PROGRAM", savedProgram_, SvcMgrProgram());
}

SshBridgeHost::~SshBridgeHost() {
    CloseRemotePcConnections();
    RestoreEnv("SVCMGR_SSH_CONFIG", savedConfig_);
    RestoreEnv("SVCMGR_REMOTE_PROGRAM", savedProgram_);
    StopServer();
}

int SshBridgeHost::CountLogLines(const std::string& text) const {
    std::ifstream in(LogPath());
    int count = 0;
    for (std::string line; std::getline(in, line);)
        count += line.find(text) != std::string::npos ? 1 : 0;
    return count;
}

std::string SshBridgeHost::ServerConfig(int port) const {
    std::string text;
    for (const std::string& line : std::vector<std::string>{
             "ListenAddress 127.0.0.1",
             "Port " + std::to_string(port),
             "HostKey " + Dir().File("host_ed25519"),
             std::string("PidFile none"),
             std::string("UsePAM no"),
             std::string("PasswordAuthentication no"),
             std::string("KbdInteractiveAuthentication no"),
             std::string("PubkeyAuthentication yes"),
             "AuthorizedKeysFile " + Dir().File("authorized_keys"),
             // The keys live in a temporary directory below /tmp.
             std::string("StrictModes no"),
             std::string("PermitRootLogin prohibit-password"),
             "AllowUsers root " + LoginUser(),
             std::string("AcceptEnv SVCMGR_ROOT"),
             std::string("AllowTcpForwarding no"),
             std::string("X11Forwarding no"),
             std::string("PermitTTY no"),
             std::string("PrintMotd no"),
             std::string("UseDNS no"),
             std::string("LogLevel VERBOSE"),
         })
        text += line + "\n";
    return text;
}

std::string SshBridgeHost::ClientConfig() const {
    // The first value found wins: the aliases' own lines come before the common ones.
    return std::string("Host ") + RootAlias + "\n  User root\n" + "Host " + UserAlias +
           "\n  User " + LoginUser() + "\n" + "Host " + WrongHostKeyAlias +
           "\n  User root\n  UserKnownHostsFile " + Dir().File("wrong_known_hosts") + "\n" +
           "Host " + RefusedKeyAlias + "\n  User root\n  IdentityFile " +
           Dir().File("refused_key") + "\n" +
           // IdentityFile adds up: the refused alias must not get the known key too.
           "Host " + RootAlias + " " + UserAlias + " " + WrongHostKeyAlias + "\n  IdentityFile " +
           Dir().File("client_key") + "\n" + "Host *\n  HostName " + Host() + "\n  Port " +
           std::to_string(Port()) + "\n  HostKeyAlias " + kHostKeyAlias +
           "\n  IdentitiesOnly yes\n  UserKnownHostsFile " + Dir().File("known_hosts") +
           "\n  GlobalKnownHostsFile /dev/null\n  StrictHostKeyChecking yes\n"
           "  SetEnv SVCMGR_ROOT=" +
           svcmgrRoot_ + "\n";
}
