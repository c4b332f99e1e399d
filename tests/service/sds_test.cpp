#include "service/sds.h"

#include <clocale>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;

namespace {

// The message CheckShopName raises for `name`, or "" when it accepts the name.
std::string ShopNameError(const std::string& name) {
    try {
        CheckShopName(name);
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}

std::string BadChar(const std::string& ch, const std::string& compact) {
    return "Mauvais charact\xc3\xa8re '" + ch + "' dans le nom du magasin " + compact;
}

const std::string kNoName =
    "Nom du magasin non sp\xc3\xa9\x63ifi\xc3\xa9! Vous devez indiquer le nom du magasin.";
const std::string kCanceled = "Current service task canceled due to urgent control request.";

void MakeDir(const std::string& path) {
    fs::create_directories(path);
}

struct LogLine {
    int level;
    std::string text;
};

// Collects the log lines and cancel checks of one chain build.
struct ChainProbe {
    std::vector<LogLine> lines;
    int cancelChecks = 0;
    int cancelAt = 0; // the check (1-based) that reports a pending cancel; 0: never

    ChainLogProc Log() {
        return [this](int level, const std::string& text) { lines.push_back({level, text}); };
    }
    ChainCancelProc Cancel() {
        return [this] { return ++cancelChecks == cancelAt; };
    }
};

std::vector<std::string> Build(const std::string& trackDir, ChainProbe& probe) {
    std::vector<std::string> chain;
    BuildShopChain(trackDir, chain, probe.Cancel(), probe.Log());
    return chain;
}

std::vector<std::string> Build(const std::string& trackDir) {
    ChainProbe probe;
    return Build(trackDir, probe);
}

} // namespace

// --- shop-name rules ---

TEST(ShopName, PrintableAsciiAndSpacesPass) {
    EXPECT_EQ(ShopNameError("Shop1"), "");
    EXPECT_EQ(ShopNameError("Shop 1"), "");
    EXPECT_EQ(ShopNameError("  Paris - Rivoli  "), "");
    std::string printable;
    for (int c = 33; c <= 126; ++c)
        if (c != ';')
            printable += static_cast<char>(c);
    EXPECT_EQ(ShopNameError(printable), "");
}

TEST(ShopName, EmptyOrOnlySpacesIsMissing) {
    EXPECT_EQ(ShopNameError(""), kNoName);
    EXPECT_EQ(ShopNameError("    "), kNoName);
}

TEST(ShopName, AccentedLetterIsQuotedWholeWithTheNameWithoutSpaces) {
    EXPECT_EQ(ShopNameError("Caf\xc3\xa9"), BadChar("\xc3\xa9", "Caf\xc3\xa9"));
    EXPECT_EQ(ShopNameError("Ca f\xc3\xa9 2"), BadChar("\xc3\xa9", "Caf\xc3\xa9\x32"));
    // Three- and four-byte characters are quoted whole too.
    EXPECT_EQ(ShopNameError("A\xe2\x82\xac"), BadChar("\xe2\x82\xac", "A\xe2\x82\xac"));
    EXPECT_EQ(ShopNameError("\xf0\x9f\x8f\xaa"), BadChar("\xf0\x9f\x8f\xaa", "\xf0\x9f\x8f\xaa"));
}

TEST(ShopName, StrayOrCutUtf8BytesAreQuotedAlone) {
    EXPECT_EQ(ShopNameError("Caf\xe9"), BadChar("\xe9", "Caf\xe9")); // Latin-1 byte
    EXPECT_EQ(ShopNameError("Caf\xc3"), BadChar("\xc3", "Caf\xc3")); // sequence cut at the end
    EXPECT_EQ(ShopNameError("A\xc3Z"), BadChar("\xc3", "A\xc3Z"));   // lead byte, no follower
    EXPECT_EQ(ShopNameError("A\x80Z"), BadChar("\x80", "A\x80Z"));   // lone continuation byte
    EXPECT_EQ(ShopNameError("A\xc0\xafZ"), BadChar("\xc0", "A\xc0\xafZ")); // overlong lead
}

TEST(ShopName, ControlCharactersAndDelAreRefused) {
    EXPECT_EQ(ShopNameError("Shop\t1"), BadChar("\t", "Shop\t1"));
    EXPECT_EQ(ShopNameError("Shop\x1f"), BadChar("\x1f", "Shop\x1f"));
    EXPECT_EQ(ShopNameError("Shop\x7f"), BadChar("\x7f", "Shop\x7f"));
    EXPECT_EQ(ShopNameError("\n"), BadChar("\n", "\n")); // not a space, so not removed
}

TEST(ShopName, FirstOffendingCharacterIsReported) {
    EXPECT_EQ(ShopNameError("a\x01\xc3\xa9"), BadChar("\x01", "a\x01\xc3\xa9"));
    EXPECT_EQ(ShopNameError("\xc3\xa9\x01"), BadChar("\xc3\xa9", "\xc3\xa9\x01"));
}

TEST(ShopName, SemicolonWouldSplitTheChainEntryAndIsRefused) {
    EXPECT_EQ(ShopNameError("a;b"), BadChar(";", "a;b"));
}

TEST(ShopName, PercentSignsInTheNameAreNotFormatDirectives) {
    EXPECT_EQ(ShopNameError("%s%n\xc3\xa9"), BadChar("\xc3\xa9", "%s%n\xc3\xa9"));
}

TEST(ReservedShopDir, SixNamesInAnyCase) {
    for (const char* name : {"Inconnu", "Unknown", "Registration", "Depart", "www", "scripts",
                             "INCONNU", "WWW", "unknown", "REGISTRATION", "dePART", "Scripts"})
        EXPECT_TRUE(IsReservedShopDir(name)) << name;
    for (const char* name : {"Inconnu2", "www.", " www", "D\xc3\xa9part", "script", "", "Shop1"})
        EXPECT_FALSE(IsReservedShopDir(name)) << name;
}

TEST(ChainDirection, OnlyExactlyFifIsAscending) {
    EXPECT_TRUE(ChainEntryForward("/t/s/filters;fif"));
    // The extension follows the last ";", where the job splits the entry.
    EXPECT_TRUE(ChainEntryForward("/t;x/s/filters;fif"));
    EXPECT_FALSE(ChainEntryForward("/t/s/filters;fif;more"));
    EXPECT_FALSE(ChainEntryForward("/t/s/filters;FIF"));
    EXPECT_FALSE(ChainEntryForward("/t/s/filters;fifx"));
    EXPECT_FALSE(ChainEntryForward("/t/s;arg"));
    EXPECT_FALSE(ChainEntryForward("/t/s/caisse;txt"));
    EXPECT_FALSE(ChainEntryForward("/t/s/filters"));
    EXPECT_FALSE(ChainEntryForward("/t/s/filters;"));
    EXPECT_TRUE(ChainEntryForward("/t/s/filters;;fif")); // the directory "/t/s/filters;"
    EXPECT_FALSE(ChainEntryForward(""));
}

// --- counting files ---

class RenameCor : public ::testing::Test {
protected:
    TempDir tmp;
    ChainProbe probe;
    std::string Dir() const { return tmp.Path(); }
    void Rename() { RenameCorFiles(Dir(), probe.Log()); }
};

TEST_F(RenameCor, WholeNameLowerCasedWithScbExtension) {
    WriteTextFile(tmp.File("COUNT.COR"), "c1");
    WriteTextFile(tmp.File("Shop.Day.cor"), "c2");
    WriteTextFile(tmp.File("mixed.Cor"), "c3");
    Rename();
    EXPECT_EQ(ReadTextFile(tmp.File("count.scb")), "c1");
    EXPECT_EQ(ReadTextFile(tmp.File("shop.day.scb")), "c2");
    EXPECT_EQ(ReadTextFile(tmp.File("mixed.scb")), "c3");
    EXPECT_FALSE(FileExists(tmp.File("COUNT.COR")));
    EXPECT_FALSE(FileExists(tmp.File("Shop.Day.cor")));
    EXPECT_TRUE(probe.lines.empty());
}

TEST_F(RenameCor, ExistingScbIsReplaced) {
    WriteTextFile(tmp.File("count.scb"), "old, already sent");
    WriteTextFile(tmp.File("COUNT.COR"), "new");
    Rename();
    EXPECT_EQ(ReadTextFile(tmp.File("count.scb")), "new");
    EXPECT_FALSE(FileExists(tmp.File("COUNT.COR")));
}

TEST_F(RenameCor, OtherFilesHiddenFilesAndDirectoriesAreLeftAlone) {
    WriteTextFile(tmp.File(".hidden.cor"), "h");
    WriteTextFile(tmp.File("a.cor.bak"), "b");
    WriteTextFile(tmp.File("a.txt"), "t");
    WriteTextFile(tmp.File("acor"), "n");
    MakeDir(tmp.File("dir.cor"));
    Rename();
    EXPECT_TRUE(FileExists(tmp.File(".hidden.cor")));
    EXPECT_TRUE(FileExists(tmp.File("a.cor.bak")));
    EXPECT_TRUE(FileExists(tmp.File("a.txt")));
    EXPECT_TRUE(FileExists(tmp.File("acor")));
    EXPECT_TRUE(fs::is_directory(tmp.File("dir.cor")));
    EXPECT_FALSE(FileExists(tmp.File("dir.scb")));
    EXPECT_FALSE(FileExists(tmp.File(".hidden.scb")));
}

TEST_F(RenameCor, ReadOnlyFileIsRenamed) {
    WriteTextFile(tmp.File("RO.COR"), "r");
    chmod(tmp.File("RO.COR").c_str(), 0444);
    Rename();
    EXPECT_EQ(ReadTextFile(tmp.File("ro.scb")), "r");
}

TEST_F(RenameCor, NamesDifferingOnlyInCaseDoNotOverwriteEachOtherInOnePass) {
    WriteTextFile(tmp.File("COUNT.COR"), "upper");
    WriteTextFile(tmp.File("count.cor"), "lower");
    Rename();
    EXPECT_EQ(ReadTextFile(tmp.File("count.scb")), "upper");
    EXPECT_EQ(ReadTextFile(tmp.File("count.cor")), "lower");
    Rename(); // the next chain build takes the other one
    EXPECT_EQ(ReadTextFile(tmp.File("count.scb")), "lower");
    EXPECT_FALSE(FileExists(tmp.File("count.cor")));
}

TEST_F(RenameCor, FailedRenameKeepsTheFileAndIsLogged) {
    MakeDir(tmp.File("busy.scb/inside")); // a non-empty directory cannot be replaced
    WriteTextFile(tmp.File("BUSY.COR"), "b");
    WriteTextFile(tmp.File("ok.cor"), "o");
    Rename();
    EXPECT_EQ(ReadTextFile(tmp.File("BUSY.COR")), "b");
    EXPECT_EQ(ReadTextFile(tmp.File("ok.scb")), "o"); // one failure does not stop the others
    ASSERT_EQ(probe.lines.size(), 1u);
    EXPECT_EQ(probe.lines[0].level, 3);
    EXPECT_EQ(probe.lines[0].text.rfind(
                  "Renommage impossible de " + tmp.File("BUSY.COR") + " vers busy.scb : ", 0),
              0u)
        << probe.lines[0].text;
}

TEST_F(RenameCor, MissingDirectoryOrNoLoggerIsHarmless) {
    RenameCorFiles(tmp.File("absent"), probe.Log());
    MakeDir(tmp.File("x.scb/inside"));
    WriteTextFile(tmp.File("X.COR"), "x");
    RenameCorFiles(Dir(), ChainLogProc{});
    EXPECT_TRUE(FileExists(tmp.File("X.COR")));
    EXPECT_TRUE(probe.lines.empty());
}

TEST_F(RenameCor, NonAsciiLettersFollowTheLocale) {
    const std::string saved = std::setlocale(LC_CTYPE, nullptr);
    if (!std::setlocale(LC_CTYPE, "C.UTF-8"))
        GTEST_SKIP() << "no C.UTF-8 locale";
    WriteTextFile(tmp.File("\xc3\x89T\xc3\x89.COR"), "e"); // ÉTÉ.COR
    Rename();
    std::setlocale(LC_CTYPE, saved.c_str());
    EXPECT_EQ(ReadTextFile(tmp.File("\xc3\xa9t\xc3\xa9.scb")), "e"); // été.scb
}

// --- chain building ---

class ShopChain : public ::testing::Test {
protected:
    TempDir tmp;
    std::string Track() const { return tmp.Path(); }
    std::string Shop(const std::string& name) const { return tmp.File(name); }
};

TEST_F(ShopChain, EmptyTrackedDirectoryAddsNothingAndChecksNothing) {
    ChainProbe probe;
    probe.cancelAt = 1;
    EXPECT_TRUE(Build("", probe).empty());
    EXPECT_EQ(probe.cancelChecks, 0);
}

TEST_F(ShopChain, MissingTrackedDirectoryAddsNothing) {
    EXPECT_TRUE(Build(tmp.File("absent")).empty());
    EXPECT_TRUE(Build(Track()).empty()); // exists, but holds no shop
}

TEST_F(ShopChain, EmptyShopGivesItsArgEntryOnly) {
    MakeDir(Shop("S1"));
    EXPECT_EQ(Build(Track()), std::vector<std::string>{Shop("S1") + ";arg"});
}

TEST_F(ShopChain, DataKindsFollowTheShopInFixedOrder) {
    MakeDir(Shop("S1/filters"));
    MakeDir(Shop("S1/caisse"));
    MakeDir(Shop("S1/tallix"));
    MakeDir(Shop("S1/other"));
    const std::vector<std::string> expected = {Shop("S1") + ";arg", Shop("S1/tallix") + ";scb",
                                               Shop("S1/caisse") + ";txt",
                                               Shop("S1/filters") + ";fif"};
    EXPECT_EQ(Build(Track()), expected);
}

TEST_F(ShopChain, OnlyExistingDataKindsAreAdded) {
    MakeDir(Shop("S1/caisse"));
    const std::vector<std::string> expected = {Shop("S1") + ";arg", Shop("S1/caisse") + ";txt"};
    EXPECT_EQ(Build(Track()), expected);
}

TEST_F(ShopChain, FilesNamedLikeDataKindsAreNoDirectories) {
    MakeDir(Shop("S1"));
    WriteTextFile(Shop("S1/tallix"), "");
    WriteTextFile(Shop("S1/caisse"), "");
    WriteTextFile(Shop("S1/filters"), "");
    WriteTextFile(Shop("NotAShop"), ""); // a file beside the shops
    EXPECT_EQ(Build(Track()), std::vector<std::string>{Shop("S1") + ";arg"});
}

TEST_F(ShopChain, DataKindDirectoryIsFoundWithoutRegardToCase) {
    MakeDir(Shop("S1/Caisse"));
    MakeDir(Shop("S1/TALLIX"));
    WriteTextFile(Shop("S1/TALLIX/A.COR"), "a");
    const std::vector<std::string> expected = {Shop("S1") + ";arg", Shop("S1/TALLIX") + ";scb",
                                               Shop("S1/Caisse") + ";txt"};
    EXPECT_EQ(Build(Track()), expected);
    EXPECT_TRUE(FileExists(Shop("S1/TALLIX/a.scb")));
    // At the destination the data kinds keep their own lower-case names; a shop named like a
    // data kind, and the "arg" entry, keep theirs.
    EXPECT_EQ(DataKindDirOf(Shop("S1/TALLIX") + ";scb"), "tallix");
    EXPECT_EQ(DataKindDirOf(Shop("S1/Caisse") + ";txt"), "caisse");
    EXPECT_EQ(DataKindDirOf(Shop("FILTERS/Filters") + ";fif"), "filters");
    EXPECT_EQ(DataKindDirOf(Shop("Caisse") + ";arg"), "");
    EXPECT_EQ(DataKindDirOf(Shop("S1/Caisse") + ";scb"), "");
}

TEST_F(ShopChain, ReservedHiddenAndSpacedNames) {
    for (const char* dir : {"Shop 1", "Inconnu", "INCONNU2", "WWW", "scripts", "Registration",
                            "unknown", "depart", ".git", ".Shop"})
        MakeDir(Shop(dir));
    // The name with a space passes the rules as Shop1 and keeps its space in the entry.
    const std::vector<std::string> expected = {Shop("INCONNU2") + ";arg", Shop("Shop 1") + ";arg"};
    EXPECT_EQ(Build(Track()), expected);
}

TEST_F(ShopChain, ShopsComeInNameOrderWithoutRegardToCase) {
    for (const char* dir : {"b", "C", "a", "B2"})
        MakeDir(Shop(dir));
    const std::vector<std::string> expected = {Shop("a") + ";arg", Shop("b") + ";arg",
                                               Shop("B2") + ";arg", Shop("C") + ";arg"};
    EXPECT_EQ(Build(Track()), expected);
}

TEST_F(ShopChain, TrailingSeparatorOfTheTrackedDirectoryIsNotDoubled) {
    MakeDir(Shop("S1/caisse"));
    const std::vector<std::string> expected = {Shop("S1") + ";arg", Shop("S1/caisse") + ";txt"};
    EXPECT_EQ(Build(Track() + "/"), expected);
}

TEST_F(ShopChain, EntriesAreAppendedToWhatTheChainHolds) {
    MakeDir(Shop("S1"));
    std::vector<std::string> chain = {"keep;me"};
    BuildShopChain(Track(), chain, ChainCancelProc{}, ChainLogProc{});
    EXPECT_EQ(chain, (std::vector<std::string>{"keep;me", Shop("S1") + ";arg"}));
}

TEST_F(ShopChain, BadShopNameStopsTheWholeTrackedDirectory) {
    MakeDir(Shop("A1/caisse"));
    MakeDir(Shop("Caf\xc3\xa9"));
    MakeDir(Shop("Z9"));
    std::vector<std::string> chain = {"before"};
    try {
        BuildShopChain(Track(), chain, ChainCancelProc{}, ChainLogProc{});
        FAIL() << "bad shop name accepted";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()), BadChar("\xc3\xa9", "Caf\xc3\xa9"));
    }
    EXPECT_EQ(chain, std::vector<std::string>{"before"}); // no shop of it is sent
}

TEST_F(ShopChain, CancelIsCheckedOncePerShopAndLeavesTheChainAlone) {
    for (const char* dir : {"A", "B", "C", "Inconnu", ".hidden"})
        MakeDir(Shop(dir));
    WriteTextFile(Shop("file"), "");

    ChainProbe full;
    EXPECT_EQ(Build(Track(), full).size(), 3u);
    EXPECT_EQ(full.cancelChecks, 3); // reserved, hidden and plain files are no check points

    ChainProbe probe;
    probe.cancelAt = 2;
    std::vector<std::string> chain;
    try {
        BuildShopChain(Track(), chain, probe.Cancel(), probe.Log());
        FAIL() << "cancel ignored";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()), kCanceled);
    }
    EXPECT_EQ(probe.cancelChecks, 2);
    EXPECT_TRUE(chain.empty());
}

TEST_F(ShopChain, CancelComesBeforeTheShopNameCheck) {
    MakeDir(Shop("Caf\xc3\xa9"));
    ChainProbe probe;
    probe.cancelAt = 1;
    std::vector<std::string> chain;
    try {
        BuildShopChain(Track(), chain, probe.Cancel(), probe.Log());
        FAIL() << "nothing raised";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()), kCanceled);
    }
}

TEST_F(ShopChain, CountingFilesAreRenamedWhileTheChainIsBuilt) {
    MakeDir(Shop("S1/tallix"));
    MakeDir(Shop("S2/caisse"));
    WriteTextFile(Shop("S1/tallix/COUNT.COR"), "new");
    WriteTextFile(Shop("S1/tallix/count.scb"), "old");
    WriteTextFile(Shop("S2/caisse/X.COR"), "not a counting directory");
    WriteTextFile(Shop("S1/Y.COR"), "shop directory itself");
    const std::vector<std::string> chain = Build(Track());
    EXPECT_EQ(chain.size(), 4u);
    EXPECT_EQ(ReadTextFile(Shop("S1/tallix/count.scb")), "new");
    EXPECT_FALSE(FileExists(Shop("S1/tallix/COUNT.COR")));
    EXPECT_TRUE(FileExists(Shop("S2/caisse/X.COR")));
    EXPECT_TRUE(FileExists(Shop("S1/Y.COR")));
}

TEST_F(ShopChain, OnlyTheFiltersEntryOfABuiltChainIsAscending) {
    // A ";" in the tracked directory's own path changes nothing.
    for (const std::string& track : {Track(), Track() + "/ex;port"}) {
        MakeDir(track + "/S1/tallix");
        MakeDir(track + "/S1/caisse");
        MakeDir(track + "/S1/filters");
        std::vector<bool> forward;
        for (const std::string& entry : Build(track))
            forward.push_back(ChainEntryForward(entry));
        EXPECT_EQ(forward, (std::vector<bool>{false, false, false, true})) << track;
    }
}
