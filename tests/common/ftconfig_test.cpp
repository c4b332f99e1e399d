#include "common/ftconfigbase.h"
#include "common/trcnst.h"
#include "common/trconfig.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "common/debuglog.h"
#include "common/strutil.h"
#include "platform/errors.h"
#include "tests/support/tempdir.h"

namespace {

std::string FreshTransportFile() {
    std::string s = "[General]\nLogDetailed=0\nTimeBetweenActions=60\nExactTimeMode=0\n"
                    "ExactTime=18:00\n";
    for (int i = 0; i < 64; ++i) {
        s += "[Directory" + std::to_string(i) + "]\nTrackDirectory=\n";
    }
    s += "[Transport]\nConnection=\nDisconnDelay=0\nDestination0=\nDestination1=\n"
         "DestinationDirectory=\nUsername=\nPassword=\nTransport=COPY\nPort=21\n"
         "PassiveMode=0\nProxyType=None\nProxyHost=192.168.1.1\nProxyPort=8021\nProxyUser=\n"
         "ProxyPassword=\nCurlProxy=\n";
    s += "[Transfer]\nScb=1\nCaisse=1\nFilters=1\nHeatmap=0\nMessages=1\nMeteo=1\nEvents=1\n"
         "Footfall=1\n";
    return s;
}

// Each test runs in its own temporary directory, where the log ("debug.txt") is written.
class FtConfig : public ::testing::Test {
protected:
    void SetUp() override {
        char buf[4096];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        oldDir_ = buf;
        ASSERT_EQ(chdir(dir_.Path().c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(oldDir_.c_str()), 0); }

    std::string File(const std::string& name) const { return dir_.File(name); }
    std::string Log() const {
        return FileExists(DebugFileName()) ? ReadTextFile(DebugFileName()) : "";
    }
    // The file that `c` saves, as text: every field of the configuration.
    std::string Saved(const TBaseFtConfig& c) {
        const std::string path = File("saved" + std::to_string(++saves_) + ".ini");
        c.SaveToFile(path);
        return ReadTextFile(path);
    }
    void ExpectDefaults(const TTransportConfig& c) { EXPECT_EQ(Saved(c), FreshTransportFile()); }
    std::string WriteIni(const std::string& content) const {
        WriteTextFile(File("cfg.ini"), content);
        return File("cfg.ini");
    }

    TempDir dir_;
    std::string oldDir_;
    int saves_ = 0;
};

void FillTransport(TTransportConfig& c) {
    c.LogDetailed = true;
    c.TimeBetweenActions = 300;
    c.ExactTimeMode = true;
    c.ExactTime.SetText("07:00 19:30");
    c.SetTrackDirectory(0, "/data/shops");
    c.SetTrackDirectory(63, "/data/last dir");
    c.Connection = "mobile";
    c.DisconnDelay = 5;
    c.SetDestination(0, "ftp.example.test");
    c.SetDestination(1, "backup.example.test");
    c.DestinationDirectory = "shop12";
    c.Username = "user";
    c.Password = " p\"w; =[x] ";
    c.Scb = false;
    c.Caisse = false;
    c.Filters = false;
    c.Messages = false;
    c.Meteo = false;
    c.Heatmap = true;
    c.Events = false;
    c.Footfall = false;
    c.Transport = ttSftp;
    c.Port = 2222;
    c.PassiveMode = true;
    c.ProxyType = ptUserPass;
    c.ProxyHost = "proxy.example.test";
    c.ProxyPort = 3128;
    c.ProxyUser = "pu";
    c.ProxyPassword = "pp";
    c.CurlProxy = "SOCKS5";
}

std::string CopyError(const std::function<void()>& copy) {
    try {
        copy();
    } catch (const EConvertError& e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST_F(FtConfig, MissingFileGivesTheDefaultsAndNoLogLine) {
    TTransportConfig c;
    ExpectDefaults(c);
    c.LoadFromFile(File("absent.ini"));
    ExpectDefaults(c);
    EXPECT_EQ(Log(), "");
    EXPECT_FALSE(FileExists(File("absent.ini")));
}

TEST_F(FtConfig, FreshSaveWritesEveryKeyInOrderWithMode0600) {
    TTransportConfig c;
    c.SaveToFile(File("fresh.ini"));
    EXPECT_EQ(ReadTextFile(File("fresh.ini")), FreshTransportFile());
    struct stat st {};
    ASSERT_EQ(stat(File("fresh.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(Log(), "");

    TTransportConfig reread;
    FillTransport(reread);
    reread.LoadFromFile(File("fresh.ini"));
    ExpectDefaults(reread);
}

TEST_F(FtConfig, BaseValuesFollowTheIniRules) {
    TBaseFtConfig c;
    c.LoadFromFile(WriteIni("[General]\nTimeBetweenActions=abc\nLogDetailed=yes\n"));
    EXPECT_EQ(c.TimeBetweenActions, 60);
    EXPECT_FALSE(c.LogDetailed);
    c.LoadFromFile(WriteIni("[general]\ntimebetweenactions=0x1E\nlogdetailed=2\nExactTime=\n"
                            "[DIRECTORY5]\nTrackDirectory=/srv/in\n[Directory05]\n"
                            "TrackDirectory=/wrong\n"));
    EXPECT_EQ(c.TimeBetweenActions, 30);
    EXPECT_TRUE(c.LogDetailed);
    EXPECT_EQ(c.ExactTime.GetText(), "18:00"); // present but empty
    EXPECT_EQ(c.GetTrackDirectory(5), "/srv/in");
    c.LoadFromFile(WriteIni("[General]\nExactTime=07:00   19:30\n"));
    EXPECT_EQ(c.ExactTime.GetText(), "07:00 19:30");
    EXPECT_EQ(c.GetTrackDirectory(5), "");
    EXPECT_EQ(Log(), "");
    EXPECT_THROW(c.GetTrackDirectory(64), std::out_of_range);
}

TEST_F(FtConfig, BadExactTimeLogsAndStopsTheLoad) {
    const std::string path = WriteIni("[General]\nLogDetailed=1\nTimeBetweenActions=120\n"
                                      "ExactTimeMode=1\nExactTime=09:00 7h00 08:00\n"
                                      "[Directory0]\nTrackDirectory=/data\n"
                                      "[Transport]\nTransport=SFTP\nDestination0=host\n");
    TTransportConfig c;
    c.SetTrackDirectory(1, "/before");
    c.LoadFromFile(path);
    EXPECT_TRUE(c.LogDetailed);
    EXPECT_EQ(c.TimeBetweenActions, 120);
    EXPECT_TRUE(c.ExactTimeMode);
    EXPECT_EQ(c.ExactTime.GetText(), "09:00"); // the token before the bad one
    EXPECT_EQ(c.GetTrackDirectory(0), "");
    EXPECT_EQ(c.GetTrackDirectory(1), "/before");
    EXPECT_EQ(c.Transport, ttCopy);
    EXPECT_EQ(c.GetDestination(0), "");
    const std::string expected = "Error reading data from " + path + " : Wrong time value \"7h00\"";
    EXPECT_NE(Log().find(expected), std::string::npos) << Log();
}

TEST_F(FtConfig, SavingKeepsForeignSectionsAndUsesFtpHostAsFallback) {
    const std::string path =
        WriteIni("; written by hand\n[FTP]\nHost=old.example.test\nUser=legacy\n"
                 "[General]\nTimeBetweenActions=90\nCustom=kept\n");
    TTransportConfig c;
    c.LoadFromFile(path);
    EXPECT_EQ(c.GetDestination(0), "old.example.test");
    EXPECT_EQ(c.TimeBetweenActions, 90);
    c.SaveToFile(path);
    const std::string text = ReadTextFile(path);
    EXPECT_EQ(text.rfind("; written by hand\n[FTP]\nHost=old.example.test\nUser=legacy\n"
                         "[General]\nTimeBetweenActions=90\nCustom=kept\nLogDetailed=0\n",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find("Destination0=old.example.test\n"), std::string::npos);

    // An explicit destination wins over the old host.
    WriteIni("[FTP]\nHost=old\n[Transport]\nDestination0=new\n");
    c.LoadFromFile(path);
    EXPECT_EQ(c.GetDestination(0), "new");
    WriteIni("[FTP]\nHost=old\n[Transport]\nDestination0=\n");
    c.LoadFromFile(path);
    EXPECT_EQ(c.GetDestination(0), "old");
}

TEST_F(FtConfig, TransferAndProxyTypesAreStoredByName) {
    TTransportConfig c;
    c.LoadFromFile(WriteIni("[Transport]\nTransport=sftp\nProxyType=user-pass\n"));
    EXPECT_EQ(c.Transport, ttSftp);
    EXPECT_EQ(c.ProxyType, ptUserPass);
    c.SaveToFile(File("cfg.ini"));
    const std::string text = ReadTextFile(File("cfg.ini"));
    EXPECT_NE(text.find("Transport=SFTP\n"), std::string::npos);
    EXPECT_NE(text.find("ProxyType=USER-PASS\n"), std::string::npos);

    const struct {
        const char* line;
        TTransferType expected;
    } transports[] = {{"Transport=\n", ttFtp},
                      {"Transport=XYZ\n", ttFtp},
                      {"Transport=ftps\n", ttFtps},
                      {"Transport=Copy\n", ttCopy},
                      {"", ttCopy}};
    for (const auto& t : transports) {
        c.LoadFromFile(WriteIni(std::string("[Transport]\n") + t.line));
        EXPECT_EQ(c.Transport, t.expected) << t.line;
    }
    c.LoadFromFile(WriteIni("[Transport]\nProxyType=HTTPFTP\n"));
    EXPECT_EQ(c.ProxyType, ptHttpFtp);
    c.LoadFromFile(WriteIni("[Transport]\nProxyType=None\n"));
    EXPECT_EQ(c.ProxyType, ptNone);
    c.LoadFromFile(WriteIni("[Transport]\nProxyType=4\n"));
    EXPECT_EQ(c.ProxyType, ptNone); // stored by name, not by number
}

TEST(TransferNames, NamesSchemesAndFallbacks) {
    EXPECT_EQ(TransferTypeToName(ttCopy), "COPY");
    EXPECT_EQ(TransferTypeToName(ttFtp), "FTP");
    EXPECT_EQ(TransferTypeToName(ttFtps), "FTPS");
    EXPECT_EQ(TransferTypeToName(ttSftp), "SFTP");
    EXPECT_EQ(TransferTypeToName(200), "FTP");
    EXPECT_EQ(TransferTypeFromName("sFtP"), ttSftp);
    EXPECT_EQ(TransferTypeFromName(""), ttFtp);
    EXPECT_EQ(TransferTypeFromName("COPY "), ttFtp);
    EXPECT_EQ(TransferTypeToUrlScheme(ttCopy), "");
    EXPECT_EQ(TransferTypeToUrlScheme(ttFtp), "ftp://");
    EXPECT_EQ(TransferTypeToUrlScheme(ttFtps), "ftp://");
    EXPECT_EQ(TransferTypeToUrlScheme(ttSftp), "sftp://");
    EXPECT_EQ(TransferTypeToUrlScheme(9), "");

    const char* names[] = {"None",      "User@Site",           "SITE",   "OPEN",
                           "USER-PASS", "USER-PASS-USER-PASS", "HTTPFTP"};
    for (TProxyType t = 0; t <= ptLast; ++t) {
        EXPECT_EQ(ProxyTypeToName(t), names[t]);
        EXPECT_EQ(ProxyTypeFromName(names[t]), t);
        EXPECT_EQ(ProxyTypeFromName(LowerCaseAscii(names[t])), t);
    }
    EXPECT_EQ(ProxyTypeToName(7), "None");
    EXPECT_EQ(ProxyTypeFromName("USER"), ptNone);
    EXPECT_EQ(MakeUrlScheme("SOCKS5"), "socks5://");
    EXPECT_EQ(MakeUrlScheme("Socks4A"), "socks4a://");
    EXPECT_EQ(MakeUrlScheme(""), "://");
}

TEST_F(FtConfig, EveryFieldSurvivesASaveAndALoad) {
    TTransportConfig saved;
    FillTransport(saved);
    saved.SaveToFile(File("round.ini"));
    TTransportConfig loaded;
    loaded.LoadFromFile(File("round.ini"));
    EXPECT_EQ(Saved(loaded), Saved(saved));
    EXPECT_EQ(Log(), "");
}

TEST_F(FtConfig, CopyingBetweenClasses) {
    TTransportConfig source;
    FillTransport(source);
    source.ExactTime.SetText("10:20:30 06:00");

    TTransportConfig copy;
    copy.CopyConfigFrom(&source);
    EXPECT_EQ(copy.ExactTime.Items(), (std::vector<int32_t>{6 * 3600, 10 * 3600 + 20 * 60}));
    source.ExactTime.SetText("06:00 10:20");
    EXPECT_EQ(Saved(copy), Saved(source));

    TTransportConfig copy2;
    source.CopyConfigTo(&copy2);
    EXPECT_EQ(Saved(copy2), Saved(source));

    // Wrong classes: nothing changes.
    TBaseFtConfig base;
    base.TimeBetweenActions = 1;
    TPersistent other;
    TTransportConfig untouched;
    const std::string message = "Attemp to assign wront object to TBaseFtConfig.";
    EXPECT_EQ(CopyError([&] { untouched.CopyConfigFrom(&base); }), message);
    EXPECT_EQ(CopyError([&] { untouched.CopyConfigFrom(nullptr); }), message);
    EXPECT_EQ(CopyError([&] { untouched.CopyConfigFrom(&other); }), message);
    EXPECT_EQ(CopyError([&] { base.CopyConfigFrom(&other); }), message);
    EXPECT_EQ(CopyError([&] { base.CopyConfigTo(nullptr); }), message);
    ExpectDefaults(untouched);
    EXPECT_EQ(base.TimeBetweenActions, 1);

    // Into a plain base configuration: the base fields arrive, then the error is raised.
    EXPECT_EQ(CopyError([&] { source.CopyConfigTo(&base); }), message);
    EXPECT_EQ(base.TimeBetweenActions, 300);
    EXPECT_EQ(base.GetTrackDirectory(63), "/data/last dir");
    base.CopyConfigFrom(&source); // a base accepts any configuration
    EXPECT_EQ(base.ExactTime.GetText(), "06:00 10:20");

    // From a plain base into a transfer configuration: the transfer fields keep their values.
    TTransportConfig target;
    FillTransport(target);
    base.TimeBetweenActions = 42;
    base.CopyConfigTo(&target);
    EXPECT_EQ(target.TimeBetweenActions, 42);
    EXPECT_EQ(target.Password, " p\"w; =[x] ");
    EXPECT_EQ(target.Transport, ttSftp);
}

TEST_F(FtConfig, ClassReferenceMakesTheChosenClass) {
    TBaseFtConfigClass cls = NewFtConfig<TTransportConfig>;
    std::unique_ptr<TBaseFtConfig> config = cls();
    ASSERT_NE(dynamic_cast<TTransportConfig*>(config.get()), nullptr);
    config->LoadFromFile(WriteIni("[Transport]\nPort=990\n"));
    EXPECT_EQ(dynamic_cast<TTransportConfig&>(*config).Port, 990);
}

TEST_F(FtConfig, SaveFailuresAreLoggedNotRaised) {
    const std::string path = File("no/such/dir/cfg.ini");
    TTransportConfig c;
    EXPECT_NO_THROW(c.SaveToFile(path));
    EXPECT_NE(Log().find("Error writing data to " + path + " : Unable to write to " + path),
              std::string::npos)
        << Log();
}

TEST_F(FtConfig, UnreadableAndMalformedFilesNeverCrashTheLoad) {
    TTransportConfig c;
    c.LoadFromFile(dir_.Path()); // a directory
    ExpectDefaults(c);
    EXPECT_NE(Log().find("Error reading data from " + dir_.Path() + " : "), std::string::npos);

    std::string garbage;
    for (int i = 0; i < 4096; ++i) {
        garbage += static_cast<char>((i * 7919) & 0xff);
    }
    c.LoadFromFile(WriteIni(garbage + "\n[Transport]\nPort=" + std::string(5000, '9') +
                            "\nPassword=" + std::string(5000, 'p') + "\n"));
    EXPECT_EQ(c.Port, 21);
    EXPECT_EQ(c.Password, std::string(2047, 'p'));
    c.SaveToFile(File("cfg.ini"));
    EXPECT_EQ(ReadTextFile(File("cfg.ini")).rfind(garbage, 0), 0u); // the garbage is kept
}
