// Real transfer peers for tests and benchmarks: an FTP/FTPS server (vsftpd), an SFTP server
// (OpenSSH sshd) and a SOCKS5 proxy (microsocks), each started on 127.0.0.1 on a free port with
// its configuration, keys and log in a temporary directory, and stopped by its own process id when
// the object is destroyed.
//
// FTP and SFTP logins use the system account of peeraccount.h (root only). Each class has a static
// UnavailableReason(): tests GTEST_SKIP with it when it is not empty (not root, program missing).
// Constructors throw, with the server's log, when a server does not come up.
#pragma once

#include "tests/support/childprocess.h"
#include "tests/support/peeraccount.h"
#include "tests/support/tempdir.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Host, port and log of one running peer.
class PeerServer {
public:
    PeerServer(const PeerServer&) = delete;
    PeerServer& operator=(const PeerServer&) = delete;

    const std::string& Host() const { return host_; }
    int Port() const { return port_; }
    // Everything the server wrote (start-up errors, connections, commands), for failing tests.
    std::string LogPath() const { return dir_.File("server.log"); }
    // From starting the process to its listening socket being up (collisions retried included).
    std::chrono::microseconds StartupTime() const { return startupTime_; }

protected:
    PeerServer() = default;
    ~PeerServer();
    // Starts the program that `argvForPort(port)` gives, on free ports until one is listening.
    void Launch(const std::function<std::vector<std::string>(int port)>& argvForPort);
    // Stops the server; derived classes call it before removing what the server uses.
    void StopServer();
    const TempDir& Dir() const { return dir_; }

private:
    bool TryLaunch(const std::vector<std::string>& argv, int port);

    TempDir dir_;
    std::string host_ = "127.0.0.1";
    int port_ = 0;
    std::unique_ptr<ChildProcess> process_;
    std::chrono::microseconds startupTime_{0};
};

struct FtpOptions {
    // Explicit TLS (AUTH TLS) with a self-signed certificate; logins and data must use it.
    bool tls = false;
    // Data connections must resume the control connection's TLS session (the server's default).
    bool requireSslReuse = true;
};

// vsftpd, standalone, one local user. A login lands in RootDir() without a chroot, so
// ftp://host:port/a/b.txt is RootDir()/a/b.txt and uploads may create any sub-directory.
// Passive data connections on ports that the kernel picks.
class FtpServer : public PeerServer {
public:
    static std::string UnavailableReason();
    explicit FtpServer(FtpOptions options = FtpOptions());
    ~FtpServer();

    const std::string& User() const;
    const std::string& Password() const;
    const std::string& RootDir() const { return rootDir_; }
    // "ftp://127.0.0.1:<port>/" + path (path without a leading "/").
    std::string Url(const std::string& path) const;

private:
    std::string WriteConfig(int port) const;
    void MakeCertificate() const;

    FtpOptions options_;
    std::string rootDir_;
};

// OpenSSH sshd in the foreground with internal-sftp, password logins only. The user is chrooted
// into RootDir(), so sftp://host:port/a/b.txt is RootDir()/a/b.txt. sshd requires the chroot
// directory to be root-owned and not writable by the user: the user cannot create entries directly
// in it, only below the directories that AddUploadDir creates.
class SftpServer : public PeerServer {
public:
    static std::string UnavailableReason();
    SftpServer();
    ~SftpServer();

    const std::string& User() const;
    const std::string& Password() const;
    const std::string& RootDir() const { return rootDir_; }
    // Creates RootDir()/name (one level) owned by the user; uploads create what lies below.
    void AddUploadDir(const std::string& name) const;
    // "sftp://127.0.0.1:<port>/" + path (path without a leading "/").
    std::string Url(const std::string& path) const;

private:
    std::string WriteConfig(int port) const;

    RootOwnedTempDir root_;
    std::string rootDir_;
};

// microsocks with user/password authentication.
class Socks5Proxy : public PeerServer {
public:
    static std::string UnavailableReason();
    Socks5Proxy();
    ~Socks5Proxy();

    const std::string& User() const { return user_; }
    const std::string& Password() const { return password_; }
    // "socks5://127.0.0.1:<port>".
    std::string Url() const;

private:
    std::string user_ = "kvproxy";
    std::string password_;
};
