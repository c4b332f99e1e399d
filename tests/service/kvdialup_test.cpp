// The dial-up connection of the transfer service, against a stand-in for nmcli that answers
// from state files and records every call.
#include "service/kvdialup.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>

#include <gtest/gtest.h>

#include "common/langtext.h"
#include "common/rasserv.h"
#include "service/kvtransfer.h"
#include "tests/service/kvtransfer_fixture.h"
#include "tests/support/servers.h"

namespace {

using namespace std::chrono_literals;

// Profiles from "$FAKE_NM_DIR/profiles", active connections from ".../active"; "connection up"
// appends ".../up_leaves" to the active ones and exits with ".../up_rc"; "connection down"
// removes the connection of that UUID; ".../exit_all" makes every call fail with its code.
constexpr const char* kFakeNmcli = R"SH(#!/bin/sh
d="$FAKE_NM_DIR"
for a in "$@"; do printf '[%s]' "$a"; done >> "$d/calls"
echo >> "$d/calls"
[ -f "$d/exit_all" ] && exit "$(cat "$d/exit_all")"
case "$1 $2 $3 $4 $5 $6" in
"-t -f NAME,TYPE connection show ") cat "$d/profiles" 2>/dev/null; exit 0 ;;
"-t -f NAME,UUID,TYPE,DEVICE connection show --active") cat "$d/active" 2>/dev/null; exit 0 ;;
esac
if [ "$1 $2 $3" = "connection up id" ]; then
    [ -f "$d/up_leaves" ] && cat "$d/up_leaves" >> "$d/active"
    exit "$(cat "$d/up_rc" 2>/dev/null || echo 0)"
fi
if [ "$1 $2 $3" = "connection down uuid" ]; then
    grep -q -F ":$4:" "$d/active" 2>/dev/null || exit 10
    grep -v -F ":$4:" "$d/active" > "$d/active.new"
    mv "$d/active.new" "$d/active"
    exit 0
fi
exit 2
)SH";

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
        savedPath_ = getenv("PATH") ? getenv("PATH") : "";
        bin_ = dir_.File("bin");
        state_ = dir_.File("state");
        ASSERT_EQ(mkdir(bin_.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(state_.c_str(), 0700), 0);
        WriteTextFile(bin_ + "/nmcli", kFakeNmcli);
        ASSERT_EQ(chmod((bin_ + "/nmcli").c_str(), 0755), 0);
        setenv("PATH", (bin_ + ":" + savedPath_).c_str(), 1);
        setenv("FAKE_NM_DIR", state_.c_str(), 1);
        SetHangUpSettleTime(0ms);
        State("profiles", "Wired connection 1:802-3-ethernet\nModem:gsm\nOffice:vpn\n");
        State("up_leaves", kModemActive);
        config_.Transport = ttFtp;
        config_.Connection = "Modem";
    }
    void TearDown() override {
        setenv("PATH", savedPath_.c_str(), 1);
        SetHangUpSettleTime(3000ms);
    }
    void State(const std::string& name, const std::string& content) {
        WriteTextFile(state_ + "/" + name, content);
    }
    // The nmcli calls made since the last look, one line each.
    std::vector<std::string> TakeCalls() {
        std::string all = ReadTextFile(state_ + "/calls");
        WriteTextFile(state_ + "/calls", "");
        std::vector<std::string> calls;
        for (size_t start = 0; start < all.size();) {
            size_t end = all.find('\n', start);
            calls.push_back(all.substr(start, end - start));
            start = end + 1;
        }
        return calls;
    }
    std::vector<LoggedLine> TakeLog() { return std::exchange(log_, {}); }

    TempDir dir_;
    std::string bin_, state_, savedPath_;
    TTransportConfig config_;
    std::vector<LoggedLine> log_;
    TDialUp dialUp_{[this](int level, const std::string& text) { log_.push_back({level, text}); }};
};

} // namespace

TEST_F(DialUpTest, DialledOnceThenKeptWhileActive) {
    dialUp_.CheckDialUp(config_);
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{kListEntries, kDialModem}));
    EXPECT_EQ(TakeLog(), (std::vector<LoggedLine>{{0, Quoted(langtext::DialConnected, "Modem")}}));
    EXPECT_EQ(dialUp_.DialledEntry(), "Modem");

    dialUp_.CheckDialUp(config_);
    dialUp_.CheckDialUp(config_);
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{kListActive, kListActive}));
    EXPECT_TRUE(TakeLog().empty());
}

TEST_F(DialUpTest, DialledAgainAfterTheConnectionDropped) {
    dialUp_.CheckDialUp(config_);
    TakeCalls();
    TakeLog();
    State("active", "");
    dialUp_.CheckDialUp(config_);
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{kListActive, kListEntries, kDialModem}));
    EXPECT_EQ(TakeLog(), (std::vector<LoggedLine>{{0, Quoted(langtext::DialConnected, "Modem")}}));
    EXPECT_EQ(dialUp_.DialledEntry(), "Modem");
}

TEST_F(DialUpTest, HungUpAtStopAtOnceWhateverTheDelay) {
    config_.DisconnDelay = 30;
    dialUp_.CheckDialUp(config_);
    TakeCalls();
    TakeLog();
    auto start = std::chrono::steady_clock::now();
    dialUp_.Disconnect(config_);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{kListActive, kHangUpModem}));
    EXPECT_EQ(TakeLog(), (std::vector<LoggedLine>{{0, Quoted(langtext::DialHungUp, "Modem")}}));
    EXPECT_EQ(dialUp_.DialledEntry(), "");

    // Nothing dialled any more: nothing to hang up.
    dialUp_.Disconnect(config_);
    EXPECT_TRUE(TakeCalls().empty());
    EXPECT_TRUE(TakeLog().empty());
}

TEST_F(DialUpTest, HangUpOfAConnectionThatAlreadyDropped) {
    dialUp_.CheckDialUp(config_);
    TakeLog();
    State("active", "Office:uuid-o:vpn:tun0\n");
    dialUp_.HangUp();
    EXPECT_EQ(TakeLog(), (std::vector<LoggedLine>{{3, "Erreur de d\xc3\xa9"
                                                      "connexion de \"Modem\": "}}));
    EXPECT_EQ(dialUp_.DialledEntry(), "");
    EXPECT_EQ(ReadTextFile(state_ + "/active"), "Office:uuid-o:vpn:tun0\n");
}

// A connection that is up already but was not dialled by the service is dialled all the
// same, and then hung up at stop like its own.
TEST_F(DialUpTest, ConnectionUpBeforeIsDialledAndThenHungUp) {
    State("active", kModemActive);
    State("up_leaves", "");
    dialUp_.CheckDialUp(config_);
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{kListEntries, kDialModem}));
    dialUp_.Disconnect(config_);
    EXPECT_EQ(ReadTextFile(state_ + "/active"), "");
}

TEST_F(DialUpTest, EntryFoundWithoutRegardToCase) {
    config_.Connection = "MODEM";
    dialUp_.CheckDialUp(config_);
    // nmcli knows the profile by its own spelling only.
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{kListEntries, kDialModem}));
    EXPECT_EQ(TakeLog(), (std::vector<LoggedLine>{{0, Quoted(langtext::DialConnected, "MODEM")}}));
    EXPECT_EQ(dialUp_.DialledEntry(), "MODEM");
    dialUp_.CheckDialUp(config_);
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{kListActive}));
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
    State("profiles", "Wired connection 1:802-3-ethernet\n");
    dialUp_.CheckDialUp(config_);
    EXPECT_EQ(TakeLog(),
              (std::vector<LoggedLine>{{3, "Dans l'phonebook il n'y a pas de liaisons de modem"}}));
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{kListEntries, kListEntries}));

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
    State("up_rc", "4");
    State("up_leaves", "");
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
    State("exit_all", "8");
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
    EXPECT_TRUE(TakeCalls().empty());
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
    EXPECT_TRUE(TakeCalls().empty());
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
    EXPECT_EQ(TakeCalls(), expected);
    EXPECT_EQ(TakeLog(), (std::vector<LoggedLine>{{0, Quoted(langtext::DialConnected, "Modem")}}));

    dialUp_.Disconnect(config_);
    TakeLog();
    State("profiles", "Office:vpn\n");
    transfer.Prepare(config_, 0);
    for (const auto& file : tree.Files())
        transfer.Transfer(tree.Path(file));
    const LoggedLine missing{3, Quoted(langtext::DialEntryMissing, "Modem")};
    EXPECT_EQ(TakeLog(), std::vector<LoggedLine>(tree.Files().size(), missing));
    for (const auto& file : tree.Files())
        EXPECT_EQ(ReadTextFile(server.RootDir() + "/" + file.destination), file.content);
    EXPECT_TRUE(probe.Errors().empty());
}
