// The transfer service uploading whole shop trees to real servers on 127.0.0.1: SFTP, FTPS with
// session reuse required, FTP through a SOCKS5 proxy with a login; a server that is down and
// comes up, a wrong password, and stops while a job uploads thousands of files or while every
// file fails slowly.
#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>

#include "common/curl_easy_helper.h"
#include "common/langtext.h"
#include "common/strutil.h"
#include "tests/service/kvsrv_fixture.h"
#include "tests/support/childprocess.h"
#include "tests/support/servers.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class KvUpload : public KvServiceTest {
protected:
    // Uploads of `type` to `server` (or to `port` in front of it) with the server's login.
    template <class Server> void UploadTo(TTransferType type, const Server& server, int port = 0) {
        Cfg.Transport = type;
        Cfg.Destination[0] = server.Host();
        Cfg.Port = port != 0 ? port : server.Port();
        Cfg.Username = server.User();
        Cfg.Password = server.Password();
    }
    // The error lines of the log.
    std::vector<std::string> CopyErrors() const {
        std::vector<std::string> errors;
        for (const std::string& line : LogMessages())
            if (line.rfind("Copie impossible de ", 0) == 0)
                errors.push_back(line);
        return errors;
    }
    // "Copie impossible de <name> vers <sub-path> : <name>: <libcurl's text>" for a file.
    static std::string UploadError(const TreeFile& file, CURLcode code) {
        const fs::path dest(file.dest);
        const std::string name = dest.filename().string();
        return "Copie impossible de " + name + " vers " + dest.parent_path().string() + " : " +
               name + ": " + CurlErrorText(code);
    }
};

} // namespace

TEST_F(KvUpload, SftpShopTreeArrivesWholeAndIsRecorded) {
    KV_SKIP_UNLESS_AVAILABLE(SftpServer);
    SftpServer server;
    TrackedTree tree(Root(), "export");
    tree.AddShop("SHOP1");
    tree.AddShop("Shop 2");
    for (const char* top : {"SHOP1", "Shop 2", "export"})
        server.AddUploadDir(top);
    Cfg.TrackDirectory[0] = tree.Dir();
    UploadTo(ttSftp, server);
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(RunJob());
    StopService();
    ExpectArrived(tree, server.RootDir());
    ExpectRecorded(tree, "trlist0.dst");
    EXPECT_STREQ(Record().LastErrorText, "") << LogTail(server.LogPath());
}

TEST_F(KvUpload, FtpsShopTreeWithSessionReuseRequiredArrivesWhole) {
    KV_SKIP_UNLESS_AVAILABLE(FtpServer);
    FtpServer server(FtpOptions{.tls = true, .requireSslReuse = true});
    TrackedTree tree(Root(), "export");
    tree.AddShop("SHOP1");
    tree.AddShop("SHOP2");
    // Enough files on one handle for a dropped data connection to show.
    for (int i = 0; i < 60; ++i)
        tree.Add(Format("SHOP2/caisse/z%02d.txt", i), Format("ticket %d", i),
                 Format("SHOP2/caisse/z%02d.txt", i));
    Cfg.TrackDirectory[0] = tree.Dir();
    UploadTo(ttFtps, server);
    ASSERT_TRUE(StartService());
    // On a loaded machine libcurl can wait up to a second per file for the data connection.
    ASSERT_TRUE(RunJob(120000));
    StopService();
    EXPECT_TRUE(CopyErrors().empty()) << CopyErrors().front();
    ExpectArrived(tree, server.RootDir());
    ExpectRecorded(tree, "trlist0.dst");
}

// The proxy is in the path: with a wrong proxy password nothing goes; with the right one
// everything does.
TEST_F(KvUpload, FtpThroughSocks5ProxyWithUserAndPassword) {
    KV_SKIP_UNLESS_AVAILABLE(FtpServer);
    KV_SKIP_UNLESS_AVAILABLE(Socks5Proxy);
    FtpServer server;
    Socks5Proxy proxy;
    TrackedTree tree(Root(), "export");
    tree.AddShop("SHOP1");
    Cfg.TrackDirectory[0] = tree.Dir();
    UploadTo(ttFtp, server);
    Cfg.CurlProxy = "SOCKS5";
    Cfg.ProxyHost = proxy.Host();
    Cfg.ProxyPort = proxy.Port();
    Cfg.ProxyUser = proxy.User();
    Cfg.ProxyPassword = "not the proxy's";
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(RunJob());
    StopService();
    EXPECT_EQ(CopyErrors().size(), tree.Sent().size());
    ExpectNothingRecorded(tree, "trlist0.dst");
    EXPECT_FALSE(FileExists(server.RootDir() + "/SHOP1"));

    Cfg.ProxyPassword = proxy.Password();
    const size_t errorsBefore = CopyErrors().size();
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(RunJob());
    StopService();
    EXPECT_EQ(CopyErrors().size(), errorsBefore);
    ExpectArrived(tree, server.RootDir());
    ExpectRecorded(tree, "trlist0.dst");
}

TEST_F(KvUpload, ServerDownLeavesTheFilesUnsentAndTheNextJobSendsThem) {
    KV_SKIP_UNLESS_AVAILABLE(FtpServer);
    FtpServer server;
    PortGate gate(server.Port());
    TrackedTree tree(Root(), "export");
    tree.AddShop("SHOP1");
    Cfg.TrackDirectory[0] = tree.Dir();
    UploadTo(ttFtp, server, gate.Port());
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(RunJob());
    std::vector<std::string> errors = CopyErrors();
    EXPECT_EQ(errors.size(), tree.Sent().size());
    for (const TreeFile& file : tree.Sent())
        EXPECT_NE(std::find(errors.begin(), errors.end(), UploadError(file, CURLE_COULDNT_CONNECT)),
                  errors.end())
            << UploadError(file, CURLE_COULDNT_CONNECT);
    ExpectNothingRecorded(tree, "trlist0.dst");
    // The record names the last file tried (filters go last, in ascending order) and its error.
    TServiceStateRecord record = Record();
    EXPECT_STREQ(record.LastBadFile, "SHOP1/filters/f2.fif");
    EXPECT_STREQ(record.LastOkFile, "");
    EXPECT_EQ(std::string(record.LastErrorText),
              UploadError(tree.Sent().back(), CURLE_COULDNT_CONNECT).substr(0, 127));

    gate.Open();
    ASSERT_TRUE(RunJob());
    StopService();
    EXPECT_EQ(CopyErrors().size(), errors.size()) << "new errors once the server was up";
    ExpectArrived(tree, server.RootDir());
    ExpectRecorded(tree, "trlist0.dst");
    EXPECT_GT(gate.Accepted(), 0);
}

TEST_F(KvUpload, WrongPasswordNamesTheFileFirstAndSendsNothing) {
    KV_SKIP_UNLESS_AVAILABLE(FtpServer);
    FtpServer server;
    TrackedTree tree(Root(), "export");
    tree.AddShop("SHOP1");
    Cfg.TrackDirectory[0] = tree.Dir();
    UploadTo(ttFtp, server);
    Cfg.Password = "wrong";
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(RunJob());
    StopService();
    std::vector<std::string> errors = CopyErrors();
    ASSERT_EQ(errors.size(), tree.Sent().size());
    // Sent in the order of the chain: the shop's ".arg" files in descending name order first.
    EXPECT_EQ(errors[0], "Copie impossible de shopinfo.arg vers SHOP1 : shopinfo.arg: " +
                             CurlErrorText(CURLE_LOGIN_DENIED));
    EXPECT_EQ(errors[1], "Copie impossible de info2.arg vers export/SHOP1 : info2.arg: " +
                             CurlErrorText(CURLE_LOGIN_DENIED));
    for (const TreeFile& file : tree.Sent())
        EXPECT_NE(std::find(errors.begin(), errors.end(), UploadError(file, CURLE_LOGIN_DENIED)),
                  errors.end())
            << UploadError(file, CURLE_LOGIN_DENIED);
    ExpectNothingRecorded(tree, "trlist0.dst");
    EXPECT_FALSE(FileExists(server.RootDir() + "/SHOP1"));
    // No credentials in the log without detailed logging.
    for (const std::string& line : LogMessages())
        EXPECT_EQ(line.find("wrong"), std::string::npos) << line;
}

// A stop while thousands of small files are uploaded ends the service within seconds, and
// every file that the status file records is on the server whole.
TEST_F(KvUpload, StopInTheMiddleOfALongFtpJob) {
    KV_SKIP_UNLESS_AVAILABLE(FtpServer);
    constexpr int Count = 3000;
    FtpServer server;
    TrackedTree tree(Root(), "export");
    for (int i = 0; i < Count; ++i)
        tree.Add(Format("SHOP1/caisse/t%04d.txt", i),
                 Format("ticket %d\n", i) + std::string(static_cast<size_t>(i % 151), 'x'),
                 Format("SHOP1/caisse/t%04d.txt", i));
    Cfg.TrackDirectory[0] = tree.Dir();
    UploadTo(ttFtp, server);
    ASSERT_TRUE(StartService());
    TriggerJob();
    ASSERT_TRUE(WaitFor([&] { return Record().LastOkFile[0] != '\0'; }, 20000));
    EXPECT_LT(StopService(), 5000ms);

    size_t recorded = CheckRecordedArrivedWhole(tree.Dir() + "/SHOP1/caisse", "trlist0.dst",
                                                server.RootDir() + "/SHOP1/caisse");
    EXPECT_GT(recorded, 0u);
    EXPECT_LT(recorded, static_cast<size_t>(Count)) << "the job was not stopped";
}

// Every file fails only after a while (the server drops each connection unanswered): a stop is
// still carried out after the file under way, not after the whole directory.
TEST_F(KvUpload, StopWhileEveryFileFailsSlowly) {
    KV_SKIP_UNLESS_AVAILABLE(FtpServer);
    FtpServer server;
    PortGate gate(server.Port());
    gate.OpenDropping(300ms);
    TrackedTree tree(Root(), "export");
    for (int i = 0; i < 40; ++i)
        tree.Add(Format("SHOP1/caisse/t%02d.txt", i), "t", Format("SHOP1/caisse/t%02d.txt", i));
    Cfg.TrackDirectory[0] = tree.Dir();
    UploadTo(ttFtp, server, gate.Port());
    ASSERT_TRUE(StartService());
    TriggerJob();
    ASSERT_TRUE(WaitFor([&] { return Record().LastBadFile[0] != '\0'; }, 10000));
    EXPECT_LT(StopService(), 2000ms);
    EXPECT_LT(gate.Accepted(), 10);
    EXPECT_LT(CopyErrors().size(), 10u);
    ExpectNothingRecorded(tree, "trlist0.dst");
}
