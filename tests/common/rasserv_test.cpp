#include "common/rasserv.h"

#include "common/langtext.h"

#include "tests/support/fake_nmcli.h"
#include "tests/support/tempdir.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

#include <chrono>
#include <cstdlib>

namespace {

using namespace std::chrono_literals;

class RasServ : public ::testing::Test {
protected:
    void SetUp() override { SetHangUpSettleTime(0ms); }
    void TearDown() override {
        SetHangUpSettleTime(3000ms);
        SetDialUpTimeouts(0ms, 0ms);
    }

    TempDir dir_;
    FakeNmcli nmcli_{dir_.Path()};
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
    nmcli_.SetState("profiles", "");
    std::vector<std::string> list{"stale"};
    LastRasError = 999;
    EXPECT_TRUE(ListDialUpEntries(list));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(LastRasError, 0u);
    EXPECT_EQ(LastRasErrorText(), "");
}

TEST_F(RasServ, EntriesInOrderWithEscapesAndOnlyDialUpTypes) {
    nmcli_.SetState("profiles", "Wired connection 1:802-3-ethernet\n"
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
    nmcli_.SetState("profiles", Profiles(16, 5));
    ASSERT_TRUE(ListDialUpEntries(list));
    EXPECT_EQ(list.size(), 16u);

    nmcli_.SetState("profiles", Profiles(17, 0));
    EXPECT_FALSE(ListDialUpEntries(list));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(LastRasError, RAS_ERROR_BUFFER_TOO_SMALL);
    EXPECT_EQ(LastRasErrorText(), langtext::RasErrBufferTooSmall);

    nmcli_.SetState("profiles", "");
    std::string active;
    for (int i = 0; i < 17; ++i)
        active += "Link " + std::to_string(i) + ":uuid-" + std::to_string(i) + ":vpn:tun0\n";
    nmcli_.SetState("active", active);
    TRasConnList connections;
    EXPECT_FALSE(ListActiveConnections(connections));
    EXPECT_TRUE(connections.empty());
    EXPECT_EQ(LastRasError, 603u);
}

TEST_F(RasServ, ActiveConnectionsWithHandles) {
    nmcli_.SetState("active", "Wired connection 1:uuid-w:802-3-ethernet:eth0\n"
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
    nmcli_.SetState("active", "Office:uuid-o:vpn:tun0\nModem:uuid-m:gsm:ttyUSB0\n");
    EXPECT_TRUE(HangUpEntry("MODEM"));
    EXPECT_EQ(LastRasError, 0u);
    EXPECT_EQ(nmcli_.StateOf("active"), "Office:uuid-o:vpn:tun0\n");
    EXPECT_NE(nmcli_.StateOf("calls").find("[connection][down][uuid][uuid-m]"), std::string::npos);
}

TEST_F(RasServ, HangUpOfAnEntryNotConnected) {
    nmcli_.SetState("active", "Office:uuid-o:vpn:tun0\n");
    LastRasError = 651;
    EXPECT_FALSE(HangUpEntry("Modem"));
    EXPECT_EQ(LastRasError, 0u);
    EXPECT_EQ(LastRasErrorText(), "");
    EXPECT_EQ(nmcli_.StateOf("calls").find("[down]"), std::string::npos);

    EXPECT_FALSE(HangUpConnection("uuid-gone"));
    EXPECT_EQ(LastRasError, RAS_ERROR_NO_CONNECTION);
    EXPECT_EQ(LastRasErrorText(), langtext::RasErrNoConnection);
}

TEST_F(RasServ, HangUpWaitsAfterSuccessOnly) {
    EXPECT_EQ(SetHangUpSettleTime(400ms), 0ms);
    nmcli_.SetState("active", "Modem:uuid-m:gsm:ttyUSB0\n");
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
    EXPECT_EQ(nmcli_.StateOf("calls"), "[connection][up][id][" + name + "]\n");
}

TEST_F(RasServ, FailedDialThatLeftAConnectionHangsItUp) {
    nmcli_.SetState("up_rc", "4");
    nmcli_.SetState("up_leaves", "Modem:uuid-7:gsm:ttyUSB0\n");
    nmcli_.SetState("active", "Office:uuid-o:vpn:tun0\n");
    EXPECT_FALSE(DialEntry("Modem"));
    EXPECT_EQ(LastRasError, RAS_ERROR_FROM_DEVICE);
    EXPECT_EQ(LastRasErrorText(), langtext::RasErrFromDevice);
    EXPECT_EQ(nmcli_.StateOf("active"), "Office:uuid-o:vpn:tun0\n");
    EXPECT_NE(nmcli_.StateOf("calls").find("[connection][down][uuid][uuid-7]"), std::string::npos);
}

TEST_F(RasServ, FailedDialKeepsItsCodeWhenTheHangUpFailsToo) {
    nmcli_.SetState("up_rc", "3");
    nmcli_.SetState("up_leaves", "Modem:uuid-7:gsm:ttyUSB0\n");
    nmcli_.SetState("down_rc", "5");
    EXPECT_FALSE(DialEntry("Modem"));
    EXPECT_EQ(LastRasError, RAS_ERROR_REQUEST_TIMEOUT);
    EXPECT_NE(nmcli_.StateOf("calls").find("[down]"), std::string::npos);
}

TEST_F(RasServ, FailedDialWithoutConnection) {
    nmcli_.SetState("up_rc", "10");
    EXPECT_FALSE(DialEntry("Nowhere"));
    EXPECT_EQ(LastRasError, RAS_ERROR_CANNOT_FIND_PHONEBOOK_ENTRY);
    EXPECT_EQ(nmcli_.StateOf("calls").find("[down]"), std::string::npos);
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
    nmcli_.SetState("exit_all", "8");
    EXPECT_FALSE(ListDialUpEntries(entries));
    EXPECT_EQ(LastRasError, RAS_ERROR_RASMAN_CANNOT_INITIALIZE);
    EXPECT_EQ(LastRasErrorText(), langtext::RasErrManagerNotRunning);
    nmcli_.SetState("exit_all", "1");
    EXPECT_FALSE(ListDialUpEntries(entries));
    EXPECT_EQ(LastRasError, RAS_ERROR_CANNOT_LOAD_PHONEBOOK);
}

TEST_F(RasServ, HungNmcliIsStoppedAtTheDeadline) {
    SetDialUpTimeouts(300ms, 300ms);
    nmcli_.SetState("sleep", "30");
    std::vector<std::string> entries;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ListDialUpEntries(entries));
    EXPECT_EQ(LastRasError, RAS_ERROR_REQUEST_TIMEOUT);
    EXPECT_FALSE(DialEntry("Modem"));
    EXPECT_EQ(LastRasError, RAS_ERROR_REQUEST_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST_F(RasServ, StopEndsADialUnderWay) {
    // Every nmcli call hangs; only the listing after the dial has a short limit, so the time
    // taken is the stop's.
    SetDialUpTimeouts(300ms, 60s);
    nmcli_.SetState("sleep", "30");
    std::atomic<bool> stop{false};
    SetRasStopCheck([&] { return stop.load(); });
    std::thread stopper([&] {
        std::this_thread::sleep_for(300ms);
        stop = true;
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(DialEntry("Modem"));
    const auto took = std::chrono::steady_clock::now() - start;
    stopper.join();
    SetRasStopCheck(nullptr);
    EXPECT_EQ(LastRasError, RAS_ERROR_USER_DISCONNECTION);
    EXPECT_LT(took, 2s);
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
