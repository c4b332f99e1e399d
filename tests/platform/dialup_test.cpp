#include "platform/dialup.h"

#include <gtest/gtest.h>

using Fields = std::vector<std::string>;

TEST(NmcliTerse, FieldsAndEscapes) {
    EXPECT_EQ(SplitTerseLine("Modem:gsm"), (Fields{"Modem", "gsm"}));
    EXPECT_EQ(SplitTerseLine("Office\\: VPN:vpn"), (Fields{"Office: VPN", "vpn"}));
    EXPECT_EQ(SplitTerseLine("back\\\\:pppoe"), (Fields{"back\\", "pppoe"}));
    EXPECT_EQ(SplitTerseLine("a\\\\\\:b:c"), (Fields{"a\\:b", "c"}));
    EXPECT_EQ(SplitTerseLine(""), (Fields{""}));
    EXPECT_EQ(SplitTerseLine("::"), (Fields{"", "", ""}));
    EXPECT_EQ(SplitTerseLine("end\\"), (Fields{"end\\"}));      // lone backslash at the end
    EXPECT_EQ(SplitTerseLine("a\\x:b"), (Fields{"a\\x", "b"})); // no escape: kept
}

TEST(NmcliTerse, DialUpTypes) {
    for (const char* t : {"gsm", "cdma", "pppoe", "adsl", "bluetooth", "vpn", "wireguard"})
        EXPECT_TRUE(IsDialUpType(t)) << t;
    for (const char* t :
         {"802-3-ethernet", "802-11-wireless", "ethernet", "bridge", "loopback", "GSM", "", "vpnx"})
        EXPECT_FALSE(IsDialUpType(t)) << t;
}
