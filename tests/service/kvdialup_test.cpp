// The dial-up connection of the transfer service, against a stand-in for nmcli that answers
// from state files and records every call.
#include "service/kvdialup.h"

#include <chrono>
#include <cstdlib>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "common/langtext.h"
#include "common/rasserv.h"
#include "service/kvtransfer.h"
#include "tests/service/kvtransfer_fixture.h"
#include "tests/support/fake_nmcli.h"
#include "tests/support/servers.h"

namespace {

using namespace std::chrono_literals;

const std::string kListEntries = "[-t][-f][NAME,TYPE][connection][show]";
const std::string kListActive = "[-t][-f][NAME,UUID,TYPE,DEVICE][connection][show][--active]";
const std::string kDialModem = "[connection][up][id][Modem]";
const std::string kHangUpModem = "[connection][down][uuid][uuid-m]";
const std::string kModemActive = "Modem:uuid-m:gsm:ttyUSB0\n";

std::string Quoted(const char* pattern, const std::string& name) {
    std::string text = pattern;
    return text.replace(text.find("%s"), 2, name);
}

class DialUpTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetHangUpSettleTime(0ms);
        nmcli_.SetState("profiles", "Wired connection 1:802-3-ethernet\nModem:gsm\nOffice:vpn\n");
        nmcli_.SetState("up_leaves", kModemActive);
        config_.Transport = ttFtp;
        config_.Connection = "Modem";
    }
    void TearDown() override { SetHangUpSettleTime(3000ms); }
    std::vector<LoggedLine> TakeLog() { return std::exchange(log_, {}); }

    TempDir dir_;
    FakeNmcli nmcli_{dir_.Path()};
    TTransportConfig config_;
    std::vector<LoggedLine> log_;
    TDialUp dialUp_{[this](int level, const std::string& text) { log_.push_back({level, text}); }};
};

} // namespace

TEST_F(DialUpTest, DialledOnceThenKeptWhileActive) {
    dialUp_.CheckDialUp(config_);
    EXPECT_EQ(nmcli_.TakeCalls(), (std::vector<std::string>{kListEntries, kDialModem}));
    EXPECT_EQ(TakeLog(), (std::vector<LoggedLine>{{0, Quoted(langtext::DialConnected, "Modem")}}));
    EXPECT_EQ(dialUp_.DialledEntry(), "Modem");

    dialUp_.CheckDialUp(config_);
    dialUp_.CheckDialUp(config_);
    EXPECT_EQ(nmcli_.TakeCalls(), (std::vector<std::string>{kListActive, kListActive}));
    EXPECT_TRUE(TakeLog().empty());
}

TEST_F(DialUpTest, DialledAgainAfterTheConnectionDropped) {
    dialUp_.CheckDialUp(config_);
    nmcli_.TakeCalls();
    TakeLog();
    nmcli_.SetState("active", "");
    dialUp_.CheckDialUp(config_);
    EXPECT_EQ(nmcli_.TakeCalls(),
              (std::vector<std::string>{kListActive, kListEntries, kDialModem}));
    EXPECT_EQ(TakeLog(), (std::vector<LoggedLine>{{0, Quoted(langtext::DialConnected, "Modem")}}));
    EXPECT_EQ(dialUp_.DialledEntry(), "Modem");
}

TEST_F(DialUpTest, HungUpAtStopAtOnceWhateverTheDelay) {
    config_.DisconnDelay = 30;
    dialUp_.CheckDialUp(config_);
    nmcli_.TakeCalls();
    TakeLog();
    auto start = std::chrono::steady_clock::now();
    dialUp_.Disconnect(config_);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(nmcli_.TakeCalls(), (std::vector<std::string>{kListActive, kHangUpModem}));
    EXPECT_EQ(TakeLog(), (std::vector<LoggedLine>{{0, Quoted(langtext::DialHungUp, "Modem")}}));
    EXPECT_EQ(dialUp_.DialledEntry(), "");

    // Nothing dialled any more: nothing to hang up.
    dialUp_.Disconnect(config_);
    EXPECT_TRUE(nmcli_.TakeCalls().empty());
    EXPECT_TRUE(TakeLog().empty());
}

TEST_F(DialUpTest, HangUpOfAConnectionThatAlreadyDropped) {
    dialUp_.CheckDialUp(config_);
    TakeLog();
    nmcli_.SetState("active", "Office:uuid-o:vpn:tun0\n");
    dialUp_.HangUp();
    EXPECT_EQ(TakeLog(), (std::vector<LoggedLine>{{3, "Erreur de d\xc3\xa9"
                                                      "connexion de \"Modem\": "}}));
    EXPECT_EQ(dialUp_.DialledEntry(), "");
    EXPECT_EQ(nmcli_.StateOf("active"), "Office:uuid-o:vpn:tun0\n");
}

// A connection that is up already but was not dialled by the service is dialled all the
// same, and then hung up at stop like its own.
TEST_F(DialUpTest, ConnectionUpBeforeIsDialledAndThenHungUp) {
    nmcli_.SetState("active", kModemActive);
    nmcli_.SetState("up_leaves", "");
    dialUp_.CheckDialUp(config_);
    EXPECT_EQ(nmcli_.TakeCalls(), (std::vector<std::string>{kListEntries, kDialModem}));
    dialUp_.Disconnect(config_);
    EXPECT_EQ(nmcli_.StateOf("active"), "");
}

TEST_F(DialUpTest, EntryFoundWithoutRegardToCase) {
    config_.Connection = "MODEM";
    dialUp_.CheckDialUp(config_);
    // nmcli knows the profile by its own spelling only.
    EXPECT_EQ(nmcli_.TakeCalls(), (std::vector<std::string>{kListEntries, kDialModem}));
    EXPECT_EQ(TakeLog(), (std::vector<LoggedLine>{{0, Quoted(langtext::DialConnected, "MODEM")}}));
    EXPECT_EQ(dialUp_.DialledEntry(), "MODEM");
    dialUp_.CheckDialUp(config_);
    EXPECT_EQ(nmcli_.TakeCalls(), (std::vector<std::string>{kListActive}));
    dialUp_.Disconnect(config_);
    EXPECT_EQ(TakeLog(), (std::vector<LoggedLine>{{0, Quoted(langtext::DialHungUp, "MODEM")}}));
}

TEST_F(DialUpTest, PhonebookProblemsAreLoggedAndNothingIsDialled) {
    config_.Connection = "Modem 2";
    dialUp_.CheckDialUp(config_);
    EXPECT_EQ(TakeLog(), (std::vector<LoggedLine>{
                             {3, "Il n'y a pas de liason de mOdem \"Modem 2\" dans l'phonebook "
                                 "par d\xc3\xa9"
                                 "faut"}}));
    nmcli_.SetState("profiles", "Wired connection 1:802-3-ethernet\n");
    dialUp_.CheckDialUp(config_);
    EXPECT_EQ(TakeLog(),
              (std::vector<LoggedLine>{{3, "Dans l'phonebook il n'y a pas de liaisons de modem"}}));
    EXPECT_EQ(nmcli_.TakeCalls(), (std::vector<std::string>{kListEntries, kListEntries}));

    setenv("PATH", "/nonexistent", 1);
    dialUp_.CheckDialUp(config_);
    EXPECT_EQ(TakeLog(), (std::vector<LoggedLine>{
                             {3, "Erreur \xc3\xa0 la r\xc3\xa9"
                                 "ception du liste des liaisons de modem de l'phonebook par "
                                 "d\xc3\xa9"
                                 "faut: " +
                                     std::string(langtext::RasErrCannotOpenPhonebook)}}));
    EXPECT_EQ(dialUp_.DialledEntry(), "");
}

TEST_F(DialUpTest, FailedDialIsLoggedAndTriedAgainForTheNextFile) {
    nmcli_.SetState("up_rc", "4");
    nmcli_.SetState("up_leaves", "");
    dialUp_.CheckDialUp(config_);
    dialUp_.CheckDialUp(config_);
    const LoggedLine failed{3, "Erreur de connexion de \"Modem\": " +
                                   std::string(langtext::RasErrFromDevice)};
    EXPECT_EQ(TakeLog(), (std::vector<LoggedLine>{failed, failed}));
    EXPECT_EQ(dialUp_.DialledEntry(), "");
}

TEST_F(DialUpTest, ListingFailureTakesTheConnectionAsGone) {
    dialUp_.CheckDialUp(config_);
    TakeLog();
    nmcli_.SetState("exit_all", "8");
    dialUp_.CheckDialUp(config_);
    std::string text = langtext::RasErrManagerNotRunning;
    EXPECT_EQ(TakeLog(), (std::vector<LoggedLine>{
                             {3, "Erreur \xc3\xa0 la r\xc3\xa9"
                                 "ception du liste des connexions actif de modem: " +
                                     text},
                             {3, "Erreur \xc3\xa0 la r\xc3\xa9"
                                 "ception du liste des liaisons de modem de l'phonebook par "
                                 "d\xc3\xa9"
                                 "faut: " +
                                     text}}));
    EXPECT_EQ(dialUp_.DialledEntry(), "");
}

TEST_F(DialUpTest, CopyOrNoEntryNeverDialsNorHangsUp) {
    config_.Transport = ttCopy;
    dialUp_.CheckDialUp(config_);
    dialUp_.Disconnect(config_);
    config_.Transport = ttSftp;
    config_.Connection.clear();
    dialUp_.CheckDialUp(config_);
    dialUp_.Disconnect(config_);
    EXPECT_TRUE(nmcli_.TakeCalls().empty());
    EXPECT_TRUE(TakeLog().empty());

    // A COPY destination with a dial-up entry configured sends without a call to nmcli.
    ShopTree tree;
    TempDir dest;
    config_.Transport = ttCopy;
    config_.Connection = "Modem";
    config_.Destination[0] = dest.Path();
    TTransferHooks hooks;
    hooks.CheckDialUp = [this] { dialUp_.CheckDialUp(config_); };
    TDestinationTransfer transfer(hooks);
    transfer.Prepare(config_, 0);
    for (const auto& file : tree.Files())
        transfer.Transfer(tree.Path(file));
    EXPECT_TRUE(nmcli_.TakeCalls().empty());
}

// Through the transfer: the check runs before every file; an entry missing from the
// phonebook is logged once per file and the files go all the same.
TEST_F(DialUpTest, UploadsCheckTheConnectionBeforeEachFile) {
    std::string reason = FtpServer::UnavailableReason();
    if (!reason.empty())
        GTEST_SKIP() << reason;
    FtpServer server;
    ShopTree tree;
    config_.Destination[0] = server.Host();
    config_.Port = server.Port();
    config_.Username = server.User();
    config_.Password = server.Password();
    TransferProbe probe;
    TTransferHooks hooks = probe.Hooks();
    hooks.CheckDialUp = [this] { dialUp_.CheckDialUp(config_); };
    TDestinationTransfer transfer(hooks);
    transfer.Prepare(config_, 0);
    for (const auto& file : tree.Files())
        transfer.Transfer(tree.Path(file));
    std::vector<std::string> expected{kListEntries, kDialModem};
    expected.insert(expected.end(), tree.Files().size() - 1, kListActive);
    EXPECT_EQ(nmcli_.TakeCalls(), expected);
    EXPECT_EQ(TakeLog(), (std::vector<LoggedLine>{{0, Quoted(langtext::DialConnected, "Modem")}}));

    dialUp_.Disconnect(config_);
    TakeLog();
    nmcli_.SetState("profiles", "Office:vpn\n");
    transfer.Prepare(config_, 0);
    for (const auto& file : tree.Files())
        transfer.Transfer(tree.Path(file));
    const LoggedLine missing{3, Quoted(langtext::DialEntryMissing, "Modem")};
    EXPECT_EQ(TakeLog(), std::vector<LoggedLine>(tree.Files().size(), missing));
    for (const auto& file : tree.Files())
        EXPECT_EQ(ReadTextFile(server.RootDir() + "/" + file.destination), file.content);
    EXPECT_TRUE(probe.Errors().empty());
}

// A stop queued while a file is about to go: no nmcli run starts, the connection dialled
// earlier stays known so that the stop hangs it up, and the wait after hanging up what a
// failed dial left behind ends at once.
TEST_F(DialUpTest, StopQueuedGivesUpTheDialButKeepsTheConnectionKnown) {
    // The stop is seen at once while `stopNow` is set, or, with `stopAfterHangUp`, once the
    // leftover of a failed dial has been hung up (so the dial itself runs to its end).
    std::atomic<bool> stopNow{false};
    bool stopAfterHangUp = false;
    TDialUp dialUp(
        [this](int level, const std::string& text) {
            log_.push_back({level, text});
        },
        [&] {
            return stopNow ||
                   (stopAfterHangUp && nmcli_.StateOf("calls").find("[down]") != std::string::npos);
        });
    dialUp.CheckDialUp(config_);
    EXPECT_EQ(dialUp.DialledEntry(), "Modem");
    nmcli_.TakeCalls();
    TakeLog();

    stopNow = true;
    dialUp.CheckDialUp(config_);
    EXPECT_TRUE(nmcli_.TakeCalls().empty());
    EXPECT_TRUE(TakeLog().empty());
    EXPECT_EQ(dialUp.DialledEntry(), "Modem");
    dialUp.Disconnect(config_); // the stop itself runs without the check
    EXPECT_EQ(nmcli_.TakeCalls(), (std::vector<std::string>{kListActive, kHangUpModem}));
    EXPECT_EQ(dialUp.DialledEntry(), "");

    // The check turns true once the failed dial's leftover is hung up: the settle wait is
    // cut short.
    SetHangUpSettleTime(5000ms);
    nmcli_.SetState("up_rc", "4");
    stopNow = false;
    stopAfterHangUp = true;
    const auto start = std::chrono::steady_clock::now();
    dialUp.CheckDialUp(config_);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    EXPECT_EQ(nmcli_.TakeCalls(),
              (std::vector<std::string>{kListEntries, kDialModem, kListActive, kHangUpModem}));
    EXPECT_EQ(dialUp.DialledEntry(), "");

    // A dial cut short by the stop may still come up in the network manager: the stop hangs
    // the entry up all the same.
    SetHangUpSettleTime(0ms);
    nmcli_.SetState("up_rc", "0");
    nmcli_.SetState("up_sleep", "30");
    stopAfterHangUp = false;
    std::thread stopper([&] {
        std::this_thread::sleep_for(300ms);
        stopNow = true;
    });
    dialUp.CheckDialUp(config_);
    stopper.join();
    EXPECT_EQ(dialUp.DialledEntry(), "Modem");
    nmcli_.SetState("active", kModemActive);
    nmcli_.TakeCalls();
    dialUp.Disconnect(config_);
    EXPECT_EQ(nmcli_.TakeCalls(), (std::vector<std::string>{kListActive, kHangUpModem}));
}
