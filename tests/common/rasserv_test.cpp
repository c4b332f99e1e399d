#include "common/rasserv.h"

#include "common/langtext.h"

#include "tests/support/tempdir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;

// A stand-in for nmcli: answers the calls the dial-up layer makes from state files in
// $FAKE_NM_DIR and records each call's arguments, one "[arg]" per argument.
constexpr const char* kFakeNmcli = R"SH(#!/bin/sh
d="$FAKE_NM_DIR"
for a in "$@"; do printf '[%s]' "$a"; done >> "$d/calls"
echo >> "$d/calls"
[ -f "$d/sleep" ] && sleep "$(cat "$d/sleep")"
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
    exit "$(cat "$d/down_rc" 2>/dev/null || echo 0)"
fi
exit 2
)SH";

class RasServ : public ::testing::Test {
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
    }
    void TearDown() override {
        setenv("PATH", savedPath_.c_str(), 1);
        SetHangUpSettleTime(3000ms);
        SetDialUpTimeouts(0ms, 0ms);
    }
    void State(const std::string& name, const std::string& content) {
        WriteTextFile(state_ + "/" + name, content);
    }
    std::string StateOf(const std::string& name) { return ReadTextFile(state_ + "/" + name); }

    TempDir dir_;
    std::string bin_, state_, savedPath_;
};

std::string Profiles(int dialUp, int others) {
    std::string s;
    for (int i = 0; i < dialUp; ++i)
        s += "Entry " + std::to_string(i) + (i % 2 ? ":gsm\n" : ":vpn\n");
    for (int i = 0; i < others; ++i)
        s += "Wired " + std::to_string(i) + ":802-3-ethernet\n";
    return s;
}

} // namespace

TEST_F(RasServ, EmptyPhonebook) {
    State("profiles", "");
    std::vector<std::string> list{"stale"};
    LastRasError = 999;
    EXPECT_TRUE(ListDialUpEntries(list));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(LastRasError, 0u);
    EXPECT_EQ(LastRasErrorText(), "");
}

TEST_F(RasServ, EntriesInOrderWithEscapesAndOnlyDialUpTypes) {
    State("profiles", "Wired connection 1:802-3-ethernet\n"
                      "Modem:gsm\n"
                      "Office\\: VPN:vpn\n"
                      "home-wifi:802-11-wireless\n"
                      "C\\:\\\\dsl:pppoe\n"
                      "wg0:wireguard\n");
    std::vector<std::string> list;
    ASSERT_TRUE(ListDialUpEntries(list));
    EXPECT_EQ(list, (std::vector<std::string>{"Modem", "Office: VPN", "C:\\dsl", "wg0"}));
}

TEST_F(RasServ, SixteenEntriesAtMost) {
    std::vector<std::string> list;
    State("profiles", Profiles(16, 5));
    ASSERT_TRUE(ListDialUpEntries(list));
    EXPECT_EQ(list.size(), 16u);

    State("profiles", Profiles(17, 0));
    EXPECT_FALSE(ListDialUpEntries(list));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(LastRasError, RAS_ERROR_BUFFER_TOO_SMALL);
    EXPECT_EQ(LastRasErrorText(), langtext::RasErrBufferTooSmall);

    State("profiles", "");
    std::string active;
    for (int i = 0; i < 17; ++i)
        active += "Link " + std::to_string(i) + ":uuid-" + std::to_string(i) + ":vpn:tun0\n";
    State("active", active);
    TRasConnList connections;
    EXPECT_FALSE(ListActiveConnections(connections));
    EXPECT_TRUE(connections.empty());
    EXPECT_EQ(LastRasError, 603u);
}

TEST_F(RasServ, ActiveConnectionsWithHandles) {
    State("active", "Wired connection 1:uuid-w:802-3-ethernet:eth0\n"
                    "Modem:uuid-m:gsm:ttyUSB0\n"
                    "A\\:B:uuid-ab:vpn:\n");
    TRasConnList list;
    ASSERT_TRUE(ListActiveConnections(list));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].Name, "Modem");
    EXPECT_EQ(list[0].Handle, "uuid-m");
    EXPECT_EQ(list[1].Name, "A:B");
    EXPECT_EQ(list[1].Handle, "uuid-ab");
}

TEST_F(RasServ, HangUpEntryWhateverTheCase) {
    State("active", "Office:uuid-o:vpn:tun0\nModem:uuid-m:gsm:ttyUSB0\n");
    EXPECT_TRUE(HangUpEntry("MODEM"));
    EXPECT_EQ(LastRasError, 0u);
    EXPECT_EQ(StateOf("active"), "Office:uuid-o:vpn:tun0\n");
    EXPECT_NE(StateOf("calls").find("[connection][down][uuid][uuid-m]"), std::string::npos);
}

TEST_F(RasServ, HangUpOfAnEntryNotConnected) {
    State("active", "Office:uuid-o:vpn:tun0\n");
    LastRasError = 651;
    EXPECT_FALSE(HangUpEntry("Modem"));
    EXPECT_EQ(LastRasError, 0u);
    EXPECT_EQ(LastRasErrorText(), "");
    EXPECT_EQ(StateOf("calls").find("[down]"), std::string::npos);

    EXPECT_FALSE(HangUpConnection("uuid-gone"));
    EXPECT_EQ(LastRasError, RAS_ERROR_NO_CONNECTION);
    EXPECT_EQ(LastRasErrorText(), langtext::RasErrNoConnection);
}

TEST_F(RasServ, HangUpWaitsAfterSuccessOnly) {
    EXPECT_EQ(SetHangUpSettleTime(400ms), 0ms);
    State("active", "Modem:uuid-m:gsm:ttyUSB0\n");
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(HangUpConnection("uuid-m"));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms);

    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(HangUpConnection("uuid-m"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 400ms);
}

TEST_F(RasServ, DialPassesTheNameUnchanged) {
    const std::string name = "My \"VPN\" : $HOME 'x'";
    EXPECT_TRUE(DialEntry(name));
    EXPECT_EQ(LastRasError, 0u);
    EXPECT_EQ(StateOf("calls"), "[connection][up][id][" + name + "]\n");
}

TEST_F(RasServ, FailedDialThatLeftAConnectionHangsItUp) {
    State("up_rc", "4");
    State("up_leaves", "Modem:uuid-7:gsm:ttyUSB0\n");
    State("active", "Office:uuid-o:vpn:tun0\n");
    EXPECT_FALSE(DialEntry("Modem"));
    EXPECT_EQ(LastRasError, RAS_ERROR_FROM_DEVICE);
    EXPECT_EQ(LastRasErrorText(), langtext::RasErrFromDevice);
    EXPECT_EQ(StateOf("active"), "Office:uuid-o:vpn:tun0\n");
    EXPECT_NE(StateOf("calls").find("[connection][down][uuid][uuid-7]"), std::string::npos);
}

TEST_F(RasServ, FailedDialKeepsItsCodeWhenTheHangUpFailsToo) {
    State("up_rc", "3");
    State("up_leaves", "Modem:uuid-7:gsm:ttyUSB0\n");
    State("down_rc", "5");
    EXPECT_FALSE(DialEntry("Modem"));
    EXPECT_EQ(LastRasError, RAS_ERROR_REQUEST_TIMEOUT);
    EXPECT_NE(StateOf("calls").find("[down]"), std::string::npos);
}

TEST_F(RasServ, FailedDialWithoutConnection) {
    State("up_rc", "10");
    EXPECT_FALSE(DialEntry("Nowhere"));
    EXPECT_EQ(LastRasError, RAS_ERROR_CANNOT_FIND_PHONEBOOK_ENTRY);
    EXPECT_EQ(StateOf("calls").find("[down]"), std::string::npos);
}

TEST_F(RasServ, WithoutNmcliEveryRoutineFails) {
    setenv("PATH", dir_.File("empty").c_str(), 1);
    std::vector<std::string> entries;
    TRasConnList active;
    EXPECT_FALSE(ListDialUpEntries(entries));
    EXPECT_EQ(LastRasError, RAS_ERROR_CANNOT_OPEN_PHONEBOOK);
    EXPECT_EQ(LastRasErrorText(), langtext::RasErrCannotOpenPhonebook);
    LastRasError = 0;
    EXPECT_FALSE(ListActiveConnections(active));
    EXPECT_EQ(LastRasError, 621u);
    LastRasError = 0;
    EXPECT_FALSE(HangUpEntry("Modem"));
    EXPECT_EQ(LastRasError, 621u);
    LastRasError = 0;
    EXPECT_FALSE(HangUpConnection("uuid-m"));
    EXPECT_EQ(LastRasError, 621u);
    LastRasError = 0;
    EXPECT_FALSE(DialEntry("Modem"));
    EXPECT_EQ(LastRasError, 621u);
}

TEST_F(RasServ, ManagerFailures) {
    std::vector<std::string> entries;
    State("exit_all", "8");
    EXPECT_FALSE(ListDialUpEntries(entries));
    EXPECT_EQ(LastRasError, RAS_ERROR_RASMAN_CANNOT_INITIALIZE);
    EXPECT_EQ(LastRasErrorText(), langtext::RasErrManagerNotRunning);
    State("exit_all", "1");
    EXPECT_FALSE(ListDialUpEntries(entries));
    EXPECT_EQ(LastRasError, RAS_ERROR_CANNOT_LOAD_PHONEBOOK);
}

TEST_F(RasServ, HungNmcliIsStoppedAtTheDeadline) {
    SetDialUpTimeouts(300ms, 300ms);
    State("sleep", "30");
    std::vector<std::string> entries;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ListDialUpEntries(entries));
    EXPECT_EQ(LastRasError, RAS_ERROR_REQUEST_TIMEOUT);
    EXPECT_FALSE(DialEntry("Modem"));
    EXPECT_EQ(LastRasError, RAS_ERROR_REQUEST_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(RasHangUp, SettlesForThreeSecondsByDefault) {
    EXPECT_EQ(SetHangUpSettleTime(3000ms), 3000ms);
}

TEST(RasErrorText, CodesWithoutText) {
    LastRasError = 12345;
    EXPECT_EQ(LastRasErrorText(), "Unknown RAS error (code 12345)");
    LastRasError = 600;
    EXPECT_EQ(LastRasErrorText(), "Unknown RAS error (code 600)");
    LastRasError = 0;
    EXPECT_EQ(LastRasErrorText(), "");
}
