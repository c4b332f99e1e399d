#include "tests/support/peeraccount.h"

#include "tests/support/childprocess.h"

#include <crypt.h>
#include <fcntl.h>
#include <pwd.h>
#include <shadow.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>

namespace {

constexpr const char* kUser = "kvtestpeer";
constexpr const char* kStateDir = "/var/lib/kv-testsupport";

std::string PasswordFile() {
    return std::string(kStateDir) + "/password";
}
std::string SetupLog() {
    return std::string(kStateDir) + "/setup.log";
}

void MakeRootDir(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    if (chown(path.c_str(), 0, 0) != 0 || chmod(path.c_str(), 0755) != 0)
        throw std::runtime_error("cannot secure " + path + ": " + std::strerror(errno));
}

// Exclusive lock on a file of the state directory, held for the object's life.
class StateLock {
public:
    StateLock() {
        std::string path = std::string(kStateDir) + "/lock";
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0)
            throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
        while (flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                close(fd_);
                throw std::runtime_error("cannot lock " + path + ": " + std::strerror(errno));
            }
        }
    }
    ~StateLock() { close(fd_); }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

private:
    int fd_ = -1;
};

// Hex digits only: safe in chpasswd input, in user:password pairs and in addresses.
std::string RandomPassword() {
    std::random_device device;
    std::string password;
    const char* digits = "0123456789abcdef";
    for (int i = 0; i < 24; ++i)
        password += digits[device() % 16];
    return password;
}

std::string ReadKeptPassword() {
    std::ifstream in(PasswordFile());
    std::string password;
    std::getline(in, password);
    return password;
}

void KeepPassword(const std::string& password) {
    std::string temp = PasswordFile() + ".new";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error("cannot write " + temp + ": " + std::strerror(errno));
    std::string line = password + "\n";
    bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(fd);
    if (!written || rename(temp.c_str(), PasswordFile().c_str()) != 0)
        throw std::runtime_error("cannot write " + PasswordFile());
}

bool PasswordMatches(const std::string& password) {
    struct spwd* entry = getspnam(kUser);
    if (!entry || !entry->sp_pwdp || password.empty())
        return false;
    auto data = std::make_unique<crypt_data>();
    const char* hashed = crypt_r(password.c_str(), entry->sp_pwdp, data.get());
    return hashed && std::strcmp(hashed, entry->sp_pwdp) == 0;
}

std::string NoLoginShell() {
    std::string shell = FindProgram("nologin");
    return shell.empty() ? "/bin/false" : shell;
}

bool IsDirectory(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_directory(path, ec);
}

PeerAccount SetUpAccount() {
    MakeRootDir(kStateDir);
    StateLock lock;
    PeerAccount account;
    account.user = kUser;
    account.home = std::string(kStateDir) + "/home";
    MakeRootDir(account.home);

    if (!getpwnam(kUser)) {
        RunCommandOrThrow({FindProgram("useradd"), "--system", "--user-group", "--no-create-home",
                           "--home-dir", account.home, "--shell", NoLoginShell(), kUser},
                          SetupLog());
    }
    struct passwd* entry = getpwnam(kUser);
    if (!entry)
        throw std::runtime_error(std::string("user ") + kUser + " missing after useradd");
    if (!IsDirectory(entry->pw_dir)) {
        // FTP servers refuse a login whose home directory does not exist.
        RunCommandOrThrow({FindProgram("usermod"), "--home", account.home, kUser}, SetupLog());
        entry = getpwnam(kUser);
    }
    account.uid = entry->pw_uid;
    account.gid = entry->pw_gid;

    account.password = ReadKeptPassword();
    if (!PasswordMatches(account.password)) {
        account.password = RandomPassword();
        RunCommandOrThrow({FindProgram("chpasswd")}, SetupLog(),
                          std::string(kUser) + ":" + account.password + "\n");
        KeepPassword(account.password);
    }
    return account;
}

} // namespace

std::string PeerStateDir() {
    return kStateDir;
}

RootOwnedTempDir::RootOwnedTempDir(const std::string& prefix) {
    MakeRootDir(kStateDir);
    std::string pattern = std::string(kStateDir) + "/" + prefix + ".XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
    path_ = pattern;
    if (chmod(path_.c_str(), 0755) != 0) {
        int error = errno;
        rmdir(path_.c_str());
        throw std::runtime_error("chmod " + path_ + ": " + std::strerror(error));
    }
}

RootOwnedTempDir::~RootOwnedTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

const PeerAccount& TestPeerAccount() {
    static std::mutex mutex;
    static std::unique_ptr<PeerAccount> account;
    std::lock_guard<std::mutex> guard(mutex);
    if (!account)
        account = std::make_unique<PeerAccount>(SetUpAccount());
    return *account;
}

std::string PeerUnavailableReason(const std::vector<std::string>& programs) {
    if (geteuid() != 0)
        return "test servers need root (system test account, privileged server start-up)";
    for (const std::string& program :
         {std::string("useradd"), std::string("usermod"), std::string("chpasswd")}) {
        if (FindProgram(program).empty())
            return program + " is not installed";
    }
    for (const std::string& program : programs) {
        if (FindProgram(program).empty())
            return program + " is not installed";
    }
    return "";
}
