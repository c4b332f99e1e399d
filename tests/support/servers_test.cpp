// Uploads through libcurl to each test server, the way the transfer service does, and checks that
// the files arrive whole in sub-directories created on the fly.
#include "tests/support/servers.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

namespace {

#define SKIP_UNLESS_AVAILABLE(Server)                                                              \
    do {                                                                                           \
        std::string reason = Server::UnavailableReason();                                          \
        if (!reason.empty())                                                                       \
            GTEST_SKIP() << reason;                                                                \
    } while (0)

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(generator() & 0xff);
    return bytes;
}

struct UploadSource {
    const std::string* data;
    size_t offset = 0;
};

size_t ReadSource(char* buffer, size_t size, size_t count, void* stream) {
    auto* source = static_cast<UploadSource*>(stream);
    size_t n = std::min(size * count, source->data->size() - source->offset);
    std::memcpy(buffer, source->data->data() + source->offset, n);
    source->offset += n;
    return n;
}

struct ProxySettings {
    std::string url;
    std::string userPassword;
};

// One libcurl handle, set up like a destination of the transfer service; reused for every upload.
class Uploader {
public:
    Uploader(const std::string& user, const std::string& password, bool tls,
             const ProxySettings* proxy = nullptr)
        : curl_(curl_easy_init(), &curl_easy_cleanup) {
        userPassword_ = user + ":" + password;
        CURL* curl = curl_.get();
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 10L);
        curl_easy_setopt(curl, CURLOPT_USERPWD, userPassword_.c_str());
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(curl, CURLOPT_FTP_USE_EPSV, 0L);
        curl_easy_setopt(curl, CURLOPT_SSH_AUTH_TYPES, static_cast<long>(CURLSSH_AUTH_PASSWORD));
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_FTP_CREATE_MISSING_DIRS, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, &ReadSource);
        if (tls) {
            curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
            // TLS 1.3 loses session tickets between data connections; vsftpd then drops them.
            curl_easy_setopt(curl, CURLOPT_SSLVERSION,
                             static_cast<long>(CURL_SSLVERSION_TLSv1_2) |
                                 static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_2));
        }
        if (proxy) {
            proxyUserPassword_ = proxy->userPassword;
            curl_easy_setopt(curl, CURLOPT_PROXY, proxy->url.c_str());
            curl_easy_setopt(curl, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
            curl_easy_setopt(curl, CURLOPT_PROXYUSERPWD, proxyUserPassword_.c_str());
        }
    }

    CURLcode Upload(const std::string& url, const std::string& data) {
        UploadSource source{&data};
        CURL* curl = curl_.get();
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_INFILESIZE, static_cast<long>(data.size()));
        curl_easy_setopt(curl, CURLOPT_READDATA, &source);
        return curl_easy_perform(curl);
    }

private:
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl_;
    std::string userPassword_;
    std::string proxyUserPassword_;
};

// Uploads `count` files of different sizes (empty and several buffers long included) below
// `dir` and checks each arrived byte for byte under `rootDir`.
void UploadAndCheck(Uploader& uploader, const std::string& urlBase, const std::string& rootDir,
                    const std::string& dir, int count, const std::string& log) {
    for (int i = 0; i < count; ++i) {
        std::string name = "f" + std::to_string(i) + ".bin";
        std::string data = RandomBytes(i == 0 ? 0 : 70000 * i + 13, i + 1);
        ASSERT_EQ(CURLE_OK, uploader.Upload(urlBase + dir + "/" + name, data)) << name << "\n"
                                                                               << LogTail(log);
        std::string path = rootDir + "/" + dir + "/" + name;
        ASSERT_TRUE(FileExists(path)) << path;
        EXPECT_TRUE(ReadTextFile(path) == data) << path << " differs from what was sent";
    }
}

bool PortAccepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool accepted = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return accepted;
}

void ReportStartup(const char* what, const PeerServer& server) {
    std::printf("%s started in %.1f ms\n", what, server.StartupTime().count() / 1000.0);
}

} // namespace

TEST(FtpServerTest, PlainUploadsCreateSubDirectories) {
    SKIP_UNLESS_AVAILABLE(FtpServer);
    FtpServer server;
    ReportStartup("vsftpd", server);
    Uploader uploader(server.User(), server.Password(), false);
    UploadAndCheck(uploader, server.Url(""), server.RootDir(), "SHOP1/caisse", 4, server.LogPath());
    UploadAndCheck(uploader, server.Url(""), server.RootDir(), "export/SHOP1", 1, server.LogPath());
}

TEST(FtpServerTest, WrongPasswordIsRefused) {
    SKIP_UNLESS_AVAILABLE(FtpServer);
    FtpServer server;
    Uploader uploader(server.User(), server.Password() + "x", false);
    EXPECT_EQ(CURLE_LOGIN_DENIED, uploader.Upload(server.Url("a/x.txt"), "x"));
    EXPECT_FALSE(FileExists(server.RootDir() + "/a/x.txt"));
}

TEST(FtpServerTest, TlsServerRefusesPlainLogin) {
    SKIP_UNLESS_AVAILABLE(FtpServer);
    FtpServer server(FtpOptions{.tls = true});
    Uploader uploader(server.User(), server.Password(), false);
    EXPECT_NE(CURLE_OK, uploader.Upload(server.Url("a/x.txt"), "x"));
    EXPECT_FALSE(FileExists(server.RootDir() + "/a/x.txt"));
}

// Several files on one handle: each data connection must resume the control connection's session.
TEST(FtpServerTest, TlsUploadsWithSessionReuseRequired) {
    SKIP_UNLESS_AVAILABLE(FtpServer);
    FtpServer server(FtpOptions{.tls = true, .requireSslReuse = true});
    ReportStartup("vsftpd with TLS", server);
    Uploader uploader(server.User(), server.Password(), true);
    UploadAndCheck(uploader, server.Url(""), server.RootDir(), "SHOP1/tallix", 6, server.LogPath());
}

TEST(FtpServerTest, TlsUploadsWithoutSessionReuse) {
    SKIP_UNLESS_AVAILABLE(FtpServer);
    FtpServer server(FtpOptions{.tls = true, .requireSslReuse = false});
    Uploader uploader(server.User(), server.Password(), true);
    UploadAndCheck(uploader, server.Url(""), server.RootDir(), "SHOP2/filters", 3,
                   server.LogPath());
}

TEST(FtpServerTest, ParallelServersAreSeparate) {
    SKIP_UNLESS_AVAILABLE(FtpServer);
    FtpServer first;
    FtpServer second;
    EXPECT_NE(first.Port(), second.Port());
    EXPECT_NE(first.RootDir(), second.RootDir());
    Uploader uploader(second.User(), second.Password(), false);
    ASSERT_EQ(CURLE_OK, uploader.Upload(second.Url("d/x.txt"), "second"));
    EXPECT_EQ("second", ReadTextFile(second.RootDir() + "/d/x.txt"));
    EXPECT_FALSE(FileExists(first.RootDir() + "/d/x.txt"));
}

TEST(FtpServerTest, DestructorStopsTheServer) {
    SKIP_UNLESS_AVAILABLE(FtpServer);
    int port = 0;
    std::string root;
    {
        FtpServer server;
        port = server.Port();
        root = server.RootDir();
        EXPECT_TRUE(PortAccepts(port));
    }
    EXPECT_FALSE(PortAccepts(port));
    EXPECT_FALSE(FileExists(root));
}

TEST(SftpServerTest, UploadsCreateSubDirectoriesBelowUploadDirs) {
    SKIP_UNLESS_AVAILABLE(SftpServer);
    SftpServer server;
    ReportStartup("sshd", server);
    server.AddUploadDir("SHOP1");
    Uploader uploader(server.User(), server.Password(), false);
    UploadAndCheck(uploader, server.Url(""), server.RootDir(), "SHOP1/caisse", 4, server.LogPath());
    UploadAndCheck(uploader, server.Url(""), server.RootDir(), "SHOP1/a/b/c", 1, server.LogPath());
}

// The chroot itself belongs to root: a directory directly in it must come from AddUploadDir.
TEST(SftpServerTest, ChrootTopLevelIsNotWritable) {
    SKIP_UNLESS_AVAILABLE(SftpServer);
    SftpServer server;
    Uploader uploader(server.User(), server.Password(), false);
    EXPECT_NE(CURLE_OK, uploader.Upload(server.Url("SHOP9/x.txt"), "x"));
    EXPECT_NE(CURLE_OK, uploader.Upload(server.Url("x.txt"), "x"));
    EXPECT_THROW(server.AddUploadDir("a/b"), std::invalid_argument);
    EXPECT_THROW(server.AddUploadDir(".."), std::invalid_argument);
}

TEST(SftpServerTest, WrongPasswordIsRefused) {
    SKIP_UNLESS_AVAILABLE(SftpServer);
    SftpServer server;
    server.AddUploadDir("a");
    Uploader uploader(server.User(), "not-" + server.Password(), false);
    EXPECT_EQ(CURLE_LOGIN_DENIED, uploader.Upload(server.Url("a/x.txt"), "x"));
    EXPECT_FALSE(FileExists(server.RootDir() + "/a/x.txt"));
}

TEST(Socks5ProxyTest, FtpsAndSftpThroughTheProxy) {
    SKIP_UNLESS_AVAILABLE(FtpServer);
    SKIP_UNLESS_AVAILABLE(SftpServer);
    SKIP_UNLESS_AVAILABLE(Socks5Proxy);
    Socks5Proxy proxy;
    ReportStartup("microsocks", proxy);
    ProxySettings settings{proxy.Url(), proxy.User() + ":" + proxy.Password()};

    FtpServer ftp(FtpOptions{.tls = true});
    Uploader ftpUploader(ftp.User(), ftp.Password(), true, &settings);
    UploadAndCheck(ftpUploader, ftp.Url(""), ftp.RootDir(), "SHOP1/caisse", 3, ftp.LogPath());

    SftpServer sftp;
    sftp.AddUploadDir("SHOP1");
    Uploader sftpUploader(sftp.User(), sftp.Password(), false, &settings);
    UploadAndCheck(sftpUploader, sftp.Url(""), sftp.RootDir(), "SHOP1/caisse", 2, sftp.LogPath());
}

TEST(Socks5ProxyTest, WrongProxyPasswordIsRefused) {
    SKIP_UNLESS_AVAILABLE(FtpServer);
    SKIP_UNLESS_AVAILABLE(Socks5Proxy);
    Socks5Proxy proxy;
    FtpServer ftp;
    ProxySettings settings{proxy.Url(), proxy.User() + ":wrong"};
    Uploader uploader(ftp.User(), ftp.Password(), false, &settings);
    EXPECT_NE(CURLE_OK, uploader.Upload(ftp.Url("a/x.txt"), "x"));
    EXPECT_FALSE(FileExists(ftp.RootDir() + "/a/x.txt"));
}
