#include "common/strutil.h"

#include <gtest/gtest.h>

TEST(StrUtil, FormatGrowsPastAnyFixedBuffer) {
    const std::string long_text(5000, 'x');
    EXPECT_EQ(Format("<%s>", long_text.c_str()).size(), 5002u);
    EXPECT_EQ(Format("%2.2d:%2.2d", 7, 5), "07:05");
    EXPECT_EQ(Format("%s", ""), "");
}

TEST(StrUtil, TrimRemovesControlCharactersAndSpacesOnly) {
    EXPECT_EQ(Trim("\t  a b \r\n"), "a b");
    EXPECT_EQ(Trim("   "), "");
    EXPECT_EQ(Trim("\xc3\xa9"), "\xc3\xa9"); // UTF-8 bytes are above 32 and stay
}

TEST(StrUtil, CaseFoldingLeavesUtf8Alone) {
    EXPECT_TRUE(SameText("Count.COR", "count.cor"));
    EXPECT_FALSE(SameText("caf\xc3\xa9", "CAF\xc3\x89"));
    EXPECT_EQ(LowerCaseAscii("SOCKS5H"), "socks5h");
    EXPECT_EQ(UpperCaseAscii("ftp\xc3\xa9"), "FTP\xc3\xa9");
}

TEST(StrUtil, CutUtf8DropsASplitCharacterWholeButNeverEmptiesNonUtf8Text) {
    std::string text = "ab\xc3\xa9";
    CutUtf8(text, 3);
    EXPECT_EQ(text, "ab");
    std::string emoji = "a\xf0\x9f\x98\x80";
    CutUtf8(emoji, 4);
    EXPECT_EQ(emoji, "a");
    std::string bytes(300, '\xa9'); // continuation bytes only: not UTF-8
    CutUtf8(bytes, 255);
    EXPECT_EQ(bytes.size(), 255u);
    std::string short_text = "\xc3\xa9";
    CutUtf8(short_text, 10);
    EXPECT_EQ(short_text, "\xc3\xa9");
}
