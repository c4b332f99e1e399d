// The connectivity test dialog, offscreen, against real directories as the test account and
// real FTP, FTPS and SFTP servers on 127.0.0.1.
#include "console/transsvc_conntest.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QKeyEvent>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <filesystem>

#include <gtest/gtest.h>

#include "common/Comserv.h"
#include "tests/console/support/consoletest.h"
#include "tests/support/servers.h"

namespace fs = std::filesystem;

namespace {

// The report's lines; bold ones start with "B|", red ones with "R|".
std::vector<std::string> Report(QWidget* dialog) {
    std::vector<std::string> lines;
    QTextDocument* document = Child<QTextEdit>(dialog, "ReResult")->document();
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        QTextCharFormat format =
            block.begin().atEnd() ? block.charFormat() : block.begin().fragment().charFormat();
        std::string style = format.foreground().color() == QColor(255, 0, 0) ? "R|"
                            : format.fontWeight() == QFont::Bold             ? "B|"
                                                                             : "";
        lines.push_back(style + block.text().toStdString());
    }
    return lines;
}

std::string Title(QWidget* dialog) {
    return dialog->windowTitle().toStdString();
}

bool Finished(QWidget* dialog) {
    std::string title = Title(dialog);
    return title.ends_with(": no errors found") || title.ends_with(": ERRORS FOUND");
}

const std::string Sample = "smaple.dat";

struct stat StatOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

class ConnTestTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root";
        savedDir_ = fs::current_path();
        fs::current_path(work_.Path());
        config_.TrackDirectory[0] = "/data/export";
        config_.DestinationDirectory = "SHOP1";
    }
    void TearDown() override {
        if (!savedDir_.empty())
            fs::current_path(savedDir_);
    }

    // Shows the dialog and waits for the run that it starts by itself.
    std::unique_ptr<TConnectionTestDlg> Run(bool continueMode = false) {
        auto dialog = std::make_unique<TConnectionTestDlg>(nullptr, ui_);
        dialog->Config = &config_;
        dialog->SetContinueMode(continueMode);
        dialog->show();
        EXPECT_TRUE(ProcessEventsUntil([&] { return Finished(dialog.get()); }));
        return dialog;
    }
    // A new run through the Test button; it is done when the click returns.
    void Rerun(QWidget* dialog) {
        QTest::mouseClick(Child<QPushButton>(dialog, "BtnTest"), Qt::LeftButton);
        EXPECT_TRUE(Finished(dialog)) << Title(dialog);
    }
    // A destination directory below a root-owned directory, owned by `owner`.
    std::string DestinationDir(const std::string& name, uid_t owner, gid_t group) {
        std::string path = dests_.Path() + "/" + name;
        fs::create_directory(path);
        EXPECT_EQ(chown(path.c_str(), owner, group), 0);
        return path;
    }

    TempDir work_;
    RootOwnedTempDir dests_{"conntest"};
    TScriptedUi ui_;
    TTransportConfig config_;
    fs::path savedDir_;
};

TEST_F(ConnTestTest, CopyAsTheConfiguredUser) {
    const PeerAccount& account = TestPeerAccount();
    const std::string writable = DestinationDir("writable", account.uid, account.gid);
    const std::string rootOnly = DestinationDir("root", 0, 0);
    // A link planted where the copy goes is replaced, not followed.
    fs::create_directory(writable + "/SHOP1");
    chown((writable + "/SHOP1").c_str(), account.uid, account.gid);
    WriteTextFile(dests_.Path() + "/precious", "keep");
    fs::create_symlink(dests_.Path() + "/precious", writable + "/SHOP1/" + Sample);
    config_.Destination = {writable, rootOnly};
    config_.Username = ".\\" + account.user;
    config_.Password = account.password;

    auto dialog = Run(true);
    std::vector<std::string> report = Report(dialog.get());
    const std::string bytes =
        "    Transferring " + std::to_string(fs::file_size(Sample)) + " bytes...";
    std::vector<std::string> expected = {
        "B|Transport parameters:",
        "    Service tracks content of /data/export",
        "    transfer mode   - COPY",
        "    destination     - " + writable,
        "    2nd destination - " + rootOnly,
        "    for the shop    - SHOP1",
        "    for the user    - .\\" + account.user,
        "    with password   - " + account.password,
        "",
        "B|Check destination " + writable + ":",
        "",
        "",
        "B|Checking file transfer to " + writable + ": ",
        bytes + "     Ok.",
        "",
        "B|Check destination " + rootOnly + ":",
        "",
        "R|    Création de dossier impossible: " + rootOnly + "/SHOP1 : Permission denied",
        "",
        "B|Checking file transfer to " + rootOnly + ": ",
        bytes,
        "R|    System Error.  Code: 2.",
        "R|No such file or directory",
    };
    EXPECT_EQ(report, expected);
    EXPECT_EQ(Title(dialog.get()), "Connectivity test: " + rootOnly + ": ERRORS FOUND");
    EXPECT_FALSE(Child<QPushButton>(dialog.get(), "BtnTest")->isVisible());
    auto* exit = Child<QPushButton>(dialog.get(), "BtnExit");
    EXPECT_TRUE(exit->isVisible() && exit->isEnabled());
    EXPECT_EQ(exit->text().toStdString(), "Continue with errors");

    // The copy was made and removed as the user; the sample stays the console's own.
    EXPECT_FALSE(fs::exists(fs::symlink_status(writable + "/SHOP1/" + Sample)));
    EXPECT_EQ(ReadTextFile(dests_.Path() + "/precious"), "keep");
    EXPECT_TRUE(fs::is_empty(writable + "/SHOP1"));
    EXPECT_EQ(StatOf(Sample).st_uid, 0u);
    EXPECT_TRUE(ReadTextFile(Sample).starts_with(
        "This is a sample file.\r\n\r\nIt is only used to test connectivity\r\n"
        "between Transport Service and destination host.\r\n"
        "The file was transferred by TS ver. "));
    EXPECT_FALSE(fs::exists(rootOnly + "/SHOP1"));

    QTest::mouseClick(exit, Qt::LeftButton);
    EXPECT_EQ(dialog->result(), TConnectionTestDlg::ResultOk);
    dialog.reset();
    EXPECT_FALSE(fs::exists(Sample));
}

TEST_F(ConnTestTest, WrongPasswordThenRightOne) {
    const PeerAccount& account = TestPeerAccount();
    config_.Destination = {DestinationDir("one", account.uid, account.gid),
                           DestinationDir("two", account.uid, account.gid)};
    config_.Username = account.user;
    config_.Password = account.password + "x";

    auto dialog = Run();
    std::vector<std::string> report = Report(dialog.get());
    const std::string refused =
        "R|    Failed to login as user " + account.user + ": Authentication failure";
    EXPECT_EQ(std::count(report.begin(), report.end(), refused), 2);
    EXPECT_EQ(report.back(), refused);
    for (const std::string& line : report)
        EXPECT_FALSE(line.starts_with("B|Checking file transfer")) << line;
    EXPECT_EQ(Title(dialog.get()),
              "Connectivity test: " + config_.Destination[1] + ": ERRORS FOUND");
    EXPECT_TRUE(Child<QPushButton>(dialog.get(), "BtnTest")->isVisible());
    EXPECT_FALSE(Child<QPushButton>(dialog.get(), "BtnExit")->isVisible());

    // A new run starts from a clear report and a clear verdict.
    config_.Password = account.password;
    Rerun(dialog.get());
    report = Report(dialog.get());
    EXPECT_EQ(report.front(), "B|Transport parameters:");
    EXPECT_TRUE(report.back().ends_with("bytes...     Ok.")) << report.back();
    for (const std::string& line : report)
        EXPECT_FALSE(line.starts_with("R|")) << line;
    EXPECT_EQ(Title(dialog.get()),
              "Connectivity test: " + config_.Destination[1] + ": no errors found");
    EXPECT_EQ(StatOf(config_.Destination[0] + "/SHOP1").st_uid, account.uid);
    EXPECT_EQ(Child<QPushButton>(dialog.get(), "BtnExit")->text().toStdString(), "Continue");

    // A target directory that the user may not write to: the copy is refused.
    ASSERT_EQ(chown((config_.Destination[1] + "/SHOP1").c_str(), 0, 0), 0);
    Rerun(dialog.get());
    report = Report(dialog.get());
    ASSERT_GE(report.size(), 2u);
    EXPECT_EQ(report[report.size() - 2], "R|    System Error.  Code: 13.");
    EXPECT_EQ(report.back(), "R|Permission denied");

    // Back to the configuration: the result is No.
    QTest::mouseClick(Child<QPushButton>(dialog.get(), "BtnBack"), Qt::LeftButton);
    EXPECT_EQ(dialog->result(), TConnectionTestDlg::ResultNo);
}

TEST_F(ConnTestTest, FtpUploadToTheSecondDestinationOnly) {
    if (std::string why = FtpServer::UnavailableReason(); !why.empty())
        GTEST_SKIP() << why;
    FtpServer server;
    const std::string logPath = ProgramDir() + "/ftp_test_detailed_log.txt";
    fs::remove(logPath);
    config_.Transport = ttFtp;
    config_.Destination = {"", server.Host()};
    config_.Port = server.Port();
    config_.Username = server.User();
    config_.Password = server.Password();

    // While the test runs, Escape and the window's close are ignored.
    auto dialog = std::make_unique<TConnectionTestDlg>(nullptr, ui_);
    dialog->Config = &config_;
    int tries = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (!Title(dialog.get()).ends_with(": in porgress"))
            return;
        ++tries;
        QTest::keyClick(dialog.get(), Qt::Key_Escape);
        dialog->close();
    });
    closer.start(1);
    dialog->show();
    ASSERT_TRUE(ProcessEventsUntil([&] { return Finished(dialog.get()); }));
    closer.stop();
    EXPECT_GT(tries, 0);
    EXPECT_TRUE(dialog->isVisible());

    std::vector<std::string> report = Report(dialog.get());
    ASSERT_GT(report.size(), 11u);
    EXPECT_EQ(report[3], "    destination     - ");
    EXPECT_EQ(report[4], "    2nd destination - 127.0.0.1");
    std::vector<std::string> ftpLines(report.begin() + 8, report.begin() + 11);
    EXPECT_EQ(ftpLines,
              (std::vector<std::string>{"    FTP mode        - active",
                                        "    FTP port        - " + std::to_string(server.Port()),
                                        "    FTP proxy type  - none"}));
    // No heading for an upload destination; the verbose log follows the size line.
    auto transferring = std::find_if(report.begin(), report.end(), [](const std::string& line) {
        return line.starts_with("    Transferring ");
    });
    ASSERT_NE(transferring, report.end());
    EXPECT_EQ(*(transferring - 1), "B|Checking file transfer to 127.0.0.1: ");
    EXPECT_TRUE(transferring->ends_with("bytes...")) << *transferring;
    ASSERT_GT(report.end() - transferring, 3);
    for (auto line = transferring + 1; line != report.end(); ++line)
        EXPECT_TRUE(line->starts_with("        ")) << *line;
    EXPECT_TRUE(report.back().ends_with("     Ok.")) << report.back();
    EXPECT_EQ(Title(dialog.get()), "Connectivity test: 127.0.0.1: no errors found");
    EXPECT_EQ(ReadTextFile(server.RootDir() + "/" + Sample), ReadTextFile(Sample));
    // The verbose log holds the password: it is the owner's only.
    EXPECT_EQ(StatOf(logPath).st_mode & 0777, 0600u);

    // A refused login.
    config_.Password = "wrong";
    Rerun(dialog.get());
    report = Report(dialog.get());
    EXPECT_EQ(report.back(), "R|    smaple.dat: Login denied");
    EXPECT_EQ(Title(dialog.get()), "Connectivity test: 127.0.0.1: ERRORS FOUND");

    // Idle, Escape goes back to the configuration.
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), TConnectionTestDlg::ResultNo);
}

TEST_F(ConnTestTest, FtpsAndSftpUploads) {
    if (std::string why = FtpServer::UnavailableReason() + SftpServer::UnavailableReason();
        !why.empty())
        GTEST_SKIP() << why;
    FtpServer ftps(FtpOptions{.tls = true});
    SftpServer sftp;
    // The SFTP login directory: the account's home inside the server's root.
    const PeerAccount& account = TestPeerAccount();
    const std::string home = sftp.RootDir() + account.home;
    fs::create_directories(home);
    ASSERT_EQ(chown(home.c_str(), account.uid, account.gid), 0);

    // The FTP proxy's settings are shown in full (the transfer itself does not use them).
    config_.Transport = ttFtps;
    config_.Destination = {ftps.Host(), ""};
    config_.Port = ftps.Port();
    config_.PassiveMode = true;
    config_.Username = ftps.User();
    config_.Password = ftps.Password();
    config_.ProxyType = ptUserPass;
    config_.ProxyHost = "proxy.example";
    config_.ProxyPort = 8021;
    config_.ProxyUser = "pu";
    config_.ProxyPassword = "pp";
    auto dialog = Run();
    std::vector<std::string> report = Report(dialog.get());
    ASSERT_GT(report.size(), 16u);
    std::vector<std::string> proxy(report.begin() + 7, report.begin() + 14);
    std::vector<std::string> expected = {
        "    FTP mode        - passive",
        "    FTP port        - " + std::to_string(ftps.Port()),
        "    FTP proxy host  - proxy.example",
        "    FTP proxy port  - 8021",
        "    FTP proxy type  - USER-PASS",
        "    FTP proxy user  - pu",
        "    FTP proxy password  - pp",
    };
    EXPECT_EQ(proxy, expected);
    EXPECT_TRUE(report.back().ends_with("     Ok.")) << report.back();
    EXPECT_EQ(Title(dialog.get()), "Connectivity test: 127.0.0.1: no errors found");
    EXPECT_TRUE(FileExists(ftps.RootDir() + "/" + Sample));

    config_.Transport = ttSftp;
    config_.Destination = {sftp.Host(), ""};
    config_.Port = sftp.Port();
    config_.Username = sftp.User();
    config_.Password = sftp.Password();
    Rerun(dialog.get());
    report = Report(dialog.get());
    EXPECT_TRUE(report.back().ends_with("     Ok.")) << report.back();
    EXPECT_EQ(ReadTextFile(home + "/" + Sample), ReadTextFile(Sample));

    config_.Password = "wrong";
    Rerun(dialog.get());
    EXPECT_EQ(Report(dialog.get()).back(), "R|    smaple.dat: Login denied");
}

TEST_F(ConnTestTest, SampleFileIsNeverFollowedNorTakenFromOthers) {
    // The local system account, in any letter case: the copy runs as the console itself.
    config_.Destination = {DestinationDir("root", 0, 0), ""};
    config_.Username = ".\\LOCALSYSTEM";
    WriteTextFile(work_.File("elsewhere"), "untouched");
    fs::create_symlink(work_.File("elsewhere"), Sample);

    auto dialog = Run();
    EXPECT_EQ(Report(dialog.get()).back(), "R|    smaple.dat: Too many levels of symbolic links");
    EXPECT_EQ(Title(dialog.get()),
              "Connectivity test: " + config_.Destination[0] + ": ERRORS FOUND");
    dialog.reset();
    EXPECT_TRUE(fs::is_symlink(Sample));
    EXPECT_EQ(ReadTextFile(work_.File("elsewhere")), "untouched");

    // Written here, then replaced by another file before the dialog closes: that one stays.
    fs::remove(Sample);
    dialog = Run();
    EXPECT_TRUE(Report(dialog.get()).back().ends_with("     Ok."));
    EXPECT_EQ(StatOf(config_.Destination[0] + "/SHOP1").st_uid, 0u);
    WriteTextFile(work_.File("other"), "other");
    fs::rename(work_.File("other"), Sample);
    dialog.reset();
    EXPECT_EQ(ReadTextFile(Sample), "other");

    // The shop's directory at the destination swapped for a link: nothing goes through it.
    const std::string elsewhere = DestinationDir("elsewhere", 0, 0);
    fs::remove_all(config_.Destination[0] + "/SHOP1");
    fs::create_directory_symlink(elsewhere, config_.Destination[0] + "/SHOP1");
    dialog = Run();
    EXPECT_EQ(Title(dialog.get()),
              "Connectivity test: " + config_.Destination[0] + ": ERRORS FOUND");
    dialog.reset();
    EXPECT_TRUE(fs::is_empty(elsewhere));

    // Without a configuration no run starts: the error goes to a message box.
    dialog = std::make_unique<TConnectionTestDlg>(nullptr, ui_);
    dialog->show();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !ui_.Boxes.empty(); }));
    EXPECT_EQ(ui_.Texts("error"),
              std::vector<std::string>{"Transport Service configuration udefined"});
}

} // namespace
