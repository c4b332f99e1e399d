#include "common/inifile.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

#include "platform/errors.h"
#include "tests/support/tempdir.h"

namespace {

mode_t FileMode(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// The message of the exception that `write` raises, or "" when it raises none.
template <class F> std::string WriteError(F write) {
    try {
        write();
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(IniRead, MissingKeyGivesDefaultButEmptyValueGivesEmptyText) {
    TIniDocument doc("[General]\nEmpty=\nBlank=   \nValue = some text \n");
    EXPECT_EQ(doc.ReadString("General", "Empty", "def"), "");
    EXPECT_EQ(doc.ReadString("General", "Blank", "def"), "");
    EXPECT_EQ(doc.ReadString("General", "Value", "def"), "some text");
    EXPECT_EQ(doc.ReadString("General", "Missing", "def"), "def");
    EXPECT_EQ(doc.ReadString("Other", "Empty", "def"), "def");
    EXPECT_TRUE(doc.HasKey("General", "Empty"));
    EXPECT_FALSE(doc.HasKey("General", "Missing"));
}

TEST(IniRead, SectionAndKeyNamesIgnoreCaseAndFirstMatchWins) {
    TIniDocument doc("Orphan=1\n[transport]\nHOST=a\nhost=b\n[Transport]\nHost=c\nPort=5\n");
    EXPECT_EQ(doc.ReadString("TRANSPORT", "host", ""), "a");
    // Only the first section of a name counts, as with the platform's profile functions.
    EXPECT_EQ(doc.ReadString("Transport", "Port", "none"), "none");
    // Keys in front of the first section belong to none.
    EXPECT_EQ(doc.ReadString("", "Orphan", "none"), "none");
}

TEST(IniRead, CommentsSectionsWithoutBracketAndQuotes) {
    TIniDocument doc(";Key=commented\n[S]\n  ; Key=also comment\nnot a key line\n"
                     "Quoted=\"  padded  \"\nSingle='x'\nHalf=\"open\nKey=1\n[Open\nK=v\n");
    EXPECT_EQ(doc.ReadString("S", "Key", ""), "1");
    EXPECT_EQ(doc.ReadString("S", "Quoted", ""), "  padded  ");
    EXPECT_EQ(doc.ReadString("S", "Single", ""), "x");
    EXPECT_EQ(doc.ReadString("S", "Half", ""), "\"open");
    EXPECT_EQ(doc.ReadString("Open", "K", ""), "v");
}

TEST(IniRead, StringValuesAreCappedAt2047BytesOnCharacterBoundaries) {
    const std::string longValue(3000, 'a');
    TIniDocument doc("[S]\nLong=" + longValue + "\n");
    EXPECT_EQ(doc.ReadString("S", "Long", ""), std::string(2047, 'a'));

    // A two-byte character across the limit is left out whole.
    const std::string accented = std::string(2046, 'a') + "\xc3\xa9" + "tail";
    doc.Parse("[S]\nLong=" + accented + "\n");
    EXPECT_EQ(doc.ReadString("S", "Long", ""), std::string(2046, 'a'));

    // A NUL byte ends the value, as it ends a C string.
    doc.Parse(std::string("[S]\nNul=ab\0cd\n", 14));
    EXPECT_EQ(doc.ReadString("S", "Nul", ""), "ab");
}

TEST(IniRead, IntegersAreDecimalOrLongerThanTwoCharacterHex) {
    TIniDocument doc("[N]\nDec=30\nHex=0x1E\nHexUpper=0X1e\nAbc=abc\nBare0x=0x\nNeg=-12\n"
                     "Plus=+7\nPadded=  42  \nTrailing=12abc\nEmpty=\nTooBig=2147483648\n"
                     "Min=-2147483648\nAllOnes=0xFFFFFFFF\nHexTooBig=0x100000000\n"
                     "NegHex=-0x10\nDollar=$10\nSpaceInside=1 2\n");
    struct Case {
        const char* key;
        int32_t expected;
    };
    const Case cases[] = {
        {"Dec", 30},    {"Hex", 30},         {"HexUpper", 30}, {"Abc", -5},       {"Bare0x", -5},
        {"Neg", -12},   {"Plus", 7},         {"Padded", 42},   {"Trailing", -5},  {"Empty", -5},
        {"TooBig", -5}, {"Min", INT32_MIN},  {"AllOnes", -1},  {"HexTooBig", -5}, {"NegHex", -5},
        {"Dollar", -5}, {"SpaceInside", -5}, {"Missing", -5}};
    for (const Case& c : cases) {
        EXPECT_EQ(doc.ReadInteger("N", c.key, -5), c.expected) << c.key;
    }
}

TEST(IniRead, BooleansAreIntegersAndNonZeroIsTrue) {
    TIniDocument doc("[B]\nOne=1\nZero=0\nTwo=2\nYes=yes\nEmpty=\nHexZero=0x0\nMinus=-1\n");
    EXPECT_TRUE(doc.ReadBool("B", "One", false));
    EXPECT_FALSE(doc.ReadBool("B", "Zero", true));
    EXPECT_TRUE(doc.ReadBool("B", "Two", false));
    EXPECT_FALSE(doc.ReadBool("B", "Yes", false));
    EXPECT_TRUE(doc.ReadBool("B", "Yes", true));
    EXPECT_FALSE(doc.ReadBool("B", "Empty", false));
    EXPECT_TRUE(doc.ReadBool("B", "Empty", true));
    EXPECT_FALSE(doc.ReadBool("B", "HexZero", true));
    EXPECT_TRUE(doc.ReadBool("B", "Minus", false));
    EXPECT_TRUE(doc.ReadBool("B", "Missing", true));
}

TEST(IniWrite, UnchangedTextIsKeptByteForByte) {
    const std::string texts[] = {
        "",
        "no line end",
        "[S]\r\nA=1\r\n",
        "[S]\nA=1\r\nB=2\n\n\n; c\r",
        std::string("\0\xff\r\r\n[\x01]\n=\n", 11),
    };
    for (const std::string& text : texts) {
        EXPECT_EQ(TIniDocument(text).Text(), text);
    }
}

TEST(IniWrite, ReplacesInPlaceAndKeepsEverythingElse) {
    const std::string before = "; settings of the shop\r\n"
                               "[General]\r\n"
                               "  logdetailed = 0 ; note\r\n"
                               "Other=keep me\r\n"
                               "\r\n"
                               "[FTP]\r\n"
                               "Host=ftp.example.test\r\n";
    TIniDocument doc(before);
    ASSERT_TRUE(doc.WriteString("GENERAL", "LogDetailed", "1"));
    EXPECT_EQ(doc.Text(), "; settings of the shop\r\n"
                          "[General]\r\n"
                          "logdetailed=1\r\n"
                          "Other=keep me\r\n"
                          "\r\n"
                          "[FTP]\r\n"
                          "Host=ftp.example.test\r\n");
}

TEST(IniWrite, NewKeyGoesAfterTheLastKeyOfItsSection) {
    TIniDocument doc("[A]\nX=1\n; trailing comment\n\n[B]\nY=2\n");
    ASSERT_TRUE(doc.WriteString("a", "Z", "3"));
    ASSERT_TRUE(doc.WriteString("B", "W", "4"));
    EXPECT_EQ(doc.Text(), "[A]\nX=1\nZ=3\n; trailing comment\n\n[B]\nY=2\nW=4\n");

    TIniDocument empty("[A]\n\n[B]\n");
    ASSERT_TRUE(empty.WriteString("A", "K", "v"));
    EXPECT_EQ(empty.Text(), "[A]\nK=v\n\n[B]\n");
}

TEST(IniWrite, MissingSectionIsAppendedWithTheFilesLineEnds) {
    TIniDocument crlf("[A]\r\nX=1"); // last line without a line end
    ASSERT_TRUE(crlf.WriteString("B", "Y", "2"));
    EXPECT_EQ(crlf.Text(), "[A]\r\nX=1\r\n[B]\r\nY=2\r\n");

    TIniDocument header("[A]");
    ASSERT_TRUE(header.WriteString("A", "K", "v"));
    EXPECT_EQ(header.Text(), "[A]\nK=v\n");

    TIniDocument fresh;
    ASSERT_TRUE(fresh.WriteString("General", "K", ""));
    EXPECT_EQ(fresh.Text(), "[General]\nK=\n");
}

TEST(IniWrite, ValuesReadBackAsWritten) {
    const std::string values[] = {" lead",   "trail\t", "\"quoted\"", "'single'", "\"",
                                  "a\"b\"c", "=;[]",    "",           "x"};
    TIniDocument doc;
    for (const std::string& v : values) {
        ASSERT_TRUE(doc.WriteString("S", "K", v));
        TIniDocument reread(doc.Text());
        EXPECT_EQ(reread.ReadString("S", "K", "def"), v) << doc.Text();
    }
    // A value cannot span lines: its line breaks become spaces and nothing else is injected.
    ASSERT_TRUE(doc.WriteString("S", "K", "a\r\n[Evil]\nK=1"));
    TIniDocument reread(doc.Text());
    EXPECT_EQ(reread.ReadString("S", "K", ""), "a  [Evil] K=1");
    EXPECT_FALSE(reread.HasKey("Evil", "K"));
}

TEST(IniWrite, NamesThatCannotBeStoredAreRefused) {
    TIniDocument doc("[S]\nK=1\n");
    const std::string before = doc.Text();
    EXPECT_FALSE(doc.WriteString("", "K", "v"));
    EXPECT_FALSE(doc.WriteString("S]", "K", "v"));
    EXPECT_FALSE(doc.WriteString(" S", "K", "v"));
    EXPECT_FALSE(doc.WriteString("S", "", "v"));
    EXPECT_FALSE(doc.WriteString("S", "A=B", "v"));
    EXPECT_FALSE(doc.WriteString("S", ";K", "v"));
    EXPECT_FALSE(doc.WriteString("S", "[K", "v"));
    EXPECT_FALSE(doc.WriteString("S", "K\n", "v"));
    EXPECT_FALSE(doc.WriteString(std::string("S\0", 2), "K", "v"));
    EXPECT_EQ(doc.Text(), before);
}

TEST(IniFileDisk, MissingFileReadsEmptyAndIsCreatedWithMode0600) {
    TempDir dir;
    const std::string path = dir.File("new.ini");
    {
        TIniFile ini(path);
        EXPECT_EQ(ini.ReadString("General", "Key", "def"), "def");
        EXPECT_EQ(ini.ReadError(), "");
        ini.WriteString("General", "Key", "value");
        ini.WriteInteger("General", "Num", -42);
        ini.WriteBool("General", "Flag", true);
        EXPECT_FALSE(FileExists(path)); // kept in memory until the update
        ini.UpdateFile();
    }
    EXPECT_EQ(ReadTextFile(path), "[General]\nKey=value\nNum=-42\nFlag=1\n");
    EXPECT_EQ(FileMode(path), 0600u);

    TIniFile reread(path);
    EXPECT_EQ(reread.ReadInteger("General", "Num", 0), -42);
    EXPECT_TRUE(reread.ReadBool("General", "Flag", false));
}

TEST(IniFileDisk, RewriteKeepsModeOtherSectionsAndComments) {
    TempDir dir;
    const std::string path = dir.File("cfg.ini");
    WriteTextFile(path, "[FTP]\r\nHost=h\r\n; comment\r\n[General]\r\nA=1\r\n");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    {
        TIniFile ini(path);
        ini.WriteString("General", "A", "2");
        ini.WriteString("Transport", "B", "3");
    } // the destructor writes pending changes
    EXPECT_EQ(ReadTextFile(path),
              "[FTP]\r\nHost=h\r\n; comment\r\n[General]\r\nA=2\r\n[Transport]\r\nB=3\r\n");
    EXPECT_EQ(FileMode(path), 0640u);
}

TEST(IniFileDisk, WriteGoesThroughASymbolicLink) {
    TempDir dir;
    const std::string real = dir.File("real.ini");
    const std::string link = dir.File("link.ini");
    WriteTextFile(real, "[S]\nK=1\n");
    std::filesystem::create_symlink(real, link);
    TIniFile ini(link);
    ini.WriteString("S", "K", "2");
    ini.UpdateFile();
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadTextFile(real), "[S]\nK=2\n");
}

TEST(IniFileDisk, FailedWritesRaiseUnableToWrite) {
    TempDir dir;
    WriteTextFile(dir.File("plain"), "x");
    const std::string paths[] = {dir.File("missing/dir/cfg.ini"), dir.File("plain/cfg.ini")};
    for (const std::string& path : paths) {
        TIniFile ini(path);
        EXPECT_EQ(ini.ReadString("S", "K", "def"), "def");
        ini.WriteString("S", "K", "v");
        EXPECT_EQ(WriteError([&] { ini.UpdateFile(); }), "Unable to write to " + path);
        // Still pending: a second try reports the same.
        EXPECT_EQ(WriteError([&] { ini.UpdateFile(); }), "Unable to write to " + path);
    }
    TIniFile ini(dir.File("ok.ini"));
    EXPECT_EQ(WriteError([&] { ini.WriteString("S", "Bad=Key", "v"); }),
              "Unable to write to " + dir.File("ok.ini"));
}

TEST(IniFileDisk, UnreadableFilesReadAsEmptyAndAreNeverOverwritten) {
    TempDir dir;
    // A directory given as the file name.
    TIniFile asDir(dir.Path());
    EXPECT_EQ(asDir.ReadString("S", "K", "def"), "def");
    EXPECT_NE(asDir.ReadError(), "");
    EXPECT_EQ(WriteError([&] { asDir.WriteString("S", "K", "v"); }),
              "Unable to write to " + dir.Path());

    // A file too large to be a configuration file: its content is not replaced.
    const std::string big = dir.File("big.ini");
    const std::string content = "[S]\nK=" + std::string(TIniFile::MaxFileSize, 'x') + "\n";
    WriteTextFile(big, content);
    {
        TIniFile ini(big);
        EXPECT_EQ(ini.ReadString("S", "K", "def"), "def");
        EXPECT_NE(ini.ReadError(), "");
        EXPECT_NE(WriteError([&] { ini.WriteString("S", "K", "v"); }), "");
    }
    EXPECT_EQ(std::filesystem::file_size(big), content.size());

    // A FIFO would block a reader forever.
    const std::string fifo = dir.File("fifo.ini");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    TIniFile ini(fifo);
    EXPECT_EQ(ini.ReadString("S", "K", "def"), "def");
    EXPECT_NE(ini.ReadError(), "");
}

TEST(IniFileDisk, BinaryGarbageAndHugeLinesAreReadAndKept) {
    TempDir dir;
    const std::string path = dir.File("garbage.ini");
    std::string garbage;
    uint32_t seed = 12345;
    for (int i = 0; i < 20000; ++i) {
        seed = seed * 1103515245u + 12345u;
        garbage += static_cast<char>(seed >> 24);
    }
    const std::string content = garbage + "\n[S]\nHuge=" + std::string(200000, 'h') + "\n";
    WriteTextFile(path, content);
    {
        TIniFile ini(path);
        EXPECT_EQ(ini.ReadString("S", "Huge", "").size(), 2047u);
        ini.WriteString("New", "K", "v");
        ini.UpdateFile();
    }
    EXPECT_EQ(ReadTextFile(path), content + "[New]\nK=v\n");
}
