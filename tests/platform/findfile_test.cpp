#include "platform/findfile.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/forked.h"
#include "tests/support/tempdir.h"

namespace {

std::set<std::string> SearchNames(const std::string& path, int attr) {
    std::set<std::string> names;
    TFileSearch search;
    TSearchRec rec;
    for (bool found = search.First(path, attr, rec); found; found = search.Next(rec))
        EXPECT_TRUE(names.insert(rec.Name).second) << "twice: " << rec.Name;
    return names;
}

uint64_t Ticks(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void SetMTime(const std::string& path, time_t seconds, long nanoseconds) {
    struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

int OpenFdCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

// A directory with every kind of entry the search must sort out.
class FindFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteTextFile(dir.File("COUNT.COR"), "12345");
        WriteTextFile(dir.File("a.cor"), "1");
        WriteTextFile(dir.File("b.txt"), "22");
        WriteTextFile(dir.File("noext"), "");
        WriteTextFile(dir.File(".hidden.cor"), "h");
        ASSERT_EQ(mkdir(dir.File("sub.cor").c_str(), 0755), 0);
        ASSERT_EQ(mkfifo(dir.File("pipe.cor").c_str(), 0644), 0);
    }
    TempDir dir;
};

} // namespace

TEST(MatchesMask, CaseAndWildcards) {
    EXPECT_TRUE(MatchesMask("COUNT.COR", "*.cor"));
    EXPECT_TRUE(MatchesMask("count.cor", "*.COR"));
    EXPECT_TRUE(MatchesMask("abc", "a?c"));
    EXPECT_TRUE(MatchesMask("abc", "ABC"));
    EXPECT_TRUE(MatchesMask("a.b.cor", "*.cor"));
    EXPECT_TRUE(MatchesMask(".cor", "*.cor"));
    EXPECT_FALSE(MatchesMask("ac", "a?c"));
    EXPECT_FALSE(MatchesMask("x.corx", "*.cor"));
    EXPECT_FALSE(MatchesMask("x.cor.bak", "*.cor"));
    EXPECT_FALSE(MatchesMask("cor", "*.cor"));
    EXPECT_FALSE(MatchesMask("", "?"));
    // "?" stands for one whole character, also a multi-byte one.
    EXPECT_TRUE(MatchesMask("\xC3\xA9.txt", "?.txt"));
    EXPECT_FALSE(MatchesMask("\xC3\xA9.txt", "??.txt"));
}

TEST(MatchesMask, MatchAllPatterns) {
    for (const char* name : {"noext", "a.txt", ".hidden", "a.b.c", ""}) {
        EXPECT_TRUE(MatchesMask(name, "*")) << name;
        EXPECT_TRUE(MatchesMask(name, "*.*")) << name;
    }
    EXPECT_TRUE(MatchesMask("noext", "*."));
    EXPECT_FALSE(MatchesMask("a.txt", "*."));
}

TEST(MatchesMask, ManyStarsStayFast) {
    std::string name(5000, 'a');
    EXPECT_FALSE(MatchesMask(name + "b", "*a*a*a*a*a*a*a*a*c"));
    EXPECT_TRUE(MatchesMask(name + "c", "*a*a*a*a*a*a*a*a*c"));
}

TEST_F(FindFileTest, PatternFindsPlainFilesWithoutRegardToCase) {
    EXPECT_EQ(SearchNames(dir.File("*.cor"), faReadOnly | faArchive),
              (std::set<std::string>{"COUNT.COR", "a.cor"}));
    EXPECT_EQ(SearchNames(dir.File("*.COR"), faReadOnly | faArchive),
              (std::set<std::string>{"COUNT.COR", "a.cor"}));
}

TEST_F(FindFileTest, MatchAllSkipsHiddenDirectoriesAndSpecialFiles) {
    std::set<std::string> all{"COUNT.COR", "a.cor", "b.txt", "noext"};
    EXPECT_EQ(SearchNames(dir.File("*.*"), faReadOnly | faArchive), all);
    EXPECT_EQ(SearchNames(dir.File("*"), 0), all);
}

TEST_F(FindFileTest, AttributesLetHiddenEntriesAndDirectoriesThrough) {
    EXPECT_EQ(SearchNames(dir.File("*.cor"), faAnyFile),
              (std::set<std::string>{"COUNT.COR", "a.cor", ".hidden.cor", "sub.cor"}));
    EXPECT_EQ(SearchNames(dir.File("*.cor"), faHidden),
              (std::set<std::string>{"COUNT.COR", "a.cor", ".hidden.cor"}));
    // "." and ".." are never entries, nor is the FIFO.
    std::set<std::string> any = SearchNames(dir.File("*"), faAnyFile);
    EXPECT_EQ(any.count("."), 0u);
    EXPECT_EQ(any.count(".."), 0u);
    EXPECT_EQ(any.count("pipe.cor"), 0u);
}

TEST_F(FindFileTest, EntryCarriesSizeAttributesAndTime) {
    SetMTime(dir.File("COUNT.COR"), 1714558830, 456789012);
    ASSERT_EQ(chmod(dir.File("COUNT.COR").c_str(), 0444), 0);
    TFileSearch search;
    TSearchRec rec;
    ASSERT_TRUE(search.First(dir.File("count.cor"), faAnyFile, rec));
    EXPECT_EQ(rec.Name, "COUNT.COR");
    EXPECT_EQ(rec.Size, 5);
    EXPECT_EQ(rec.Attr, faReadOnly);
    EXPECT_EQ(Ticks(rec.LastWriteTime), (1714558830ULL + 11644473600ULL) * 10000000ULL + 4567890);
}

TEST_F(FindFileTest, PlainNameFindsOneEntry) {
    TFileSearch search;
    TSearchRec rec;
    ASSERT_TRUE(search.First(dir.File("a.cor"), faReadOnly | faArchive, rec));
    EXPECT_EQ(rec.Name, "a.cor");
    EXPECT_EQ(rec.Size, 1);
    EXPECT_FALSE(search.Next(rec));
    EXPECT_FALSE(search.First(dir.File("missing.cor"), faAnyFile, rec));
    // Hidden by name: found only when hidden entries are asked for.
    EXPECT_FALSE(search.First(dir.File(".hidden.cor"), faReadOnly, rec));
    EXPECT_TRUE(search.First(dir.File(".hidden.cor"), faAnyFile, rec));
    EXPECT_EQ(rec.Attr & faHidden, faHidden);
}

TEST_F(FindFileTest, PlainNamePrefersTheExactName) {
    WriteTextFile(dir.File("A.COR"), "upper case");
    TFileSearch search;
    TSearchRec rec;
    ASSERT_TRUE(search.First(dir.File("a.cor"), faAnyFile, rec));
    EXPECT_EQ(rec.Name, "a.cor");
    ASSERT_TRUE(search.Next(rec));
    EXPECT_EQ(rec.Name, "A.COR");
    EXPECT_FALSE(search.Next(rec));
    ASSERT_TRUE(search.First(dir.File("A.COR"), faAnyFile, rec));
    EXPECT_EQ(rec.Name, "A.COR");
    ASSERT_TRUE(search.First(dir.File("Count.Cor"), faAnyFile, rec));
    EXPECT_EQ(rec.Name, "COUNT.COR");
    EXPECT_FALSE(search.Next(rec));
    // The exact entry that the filter refuses does not hide a matching one.
    ASSERT_EQ(mkdir(dir.File("Sub").c_str(), 0755), 0);
    WriteTextFile(dir.File("sub"), "a file");
    ASSERT_TRUE(search.First(dir.File("sub"), faDirectory, rec));
    EXPECT_EQ(rec.Name, "sub");
    ASSERT_TRUE(search.Next(rec));
    EXPECT_EQ(rec.Name, "Sub");
    EXPECT_EQ(rec.Attr & faDirectory, faDirectory);
}

TEST_F(FindFileTest, PlainNameOfADirectory) {
    TFileSearch search;
    TSearchRec rec;
    ASSERT_TRUE(search.First(dir.File("sub.cor"), faAnyFile, rec));
    EXPECT_EQ(rec.Attr & faDirectory, faDirectory);
    EXPECT_EQ(rec.Size, 0);
    EXPECT_FALSE(search.First(dir.File("sub.cor"), faReadOnly | faArchive, rec));
    // The directory of the search itself, named as a plain name.
    ASSERT_TRUE(search.First(dir.Path(), faAnyFile, rec));
    EXPECT_EQ(rec.Attr & faDirectory, faDirectory);
}

TEST_F(FindFileTest, SymbolicLinksAreNeitherFilesNorDirectories) {
    // A user who can write to a tracked directory must not make the root service send
    // /etc/shadow by leaving a link to it among the data files.
    ASSERT_EQ(symlink("COUNT.COR", dir.File("link.cor").c_str()), 0);
    ASSERT_EQ(symlink("sub.cor", dir.File("dirlink.cor").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", dir.File("dangling.cor").c_str()), 0);
    ASSERT_EQ(symlink("/etc/passwd", dir.File("passwd.cor").c_str()), 0);
    EXPECT_EQ(SearchNames(dir.File("*.cor"), faReadOnly),
              (std::set<std::string>{"COUNT.COR", "a.cor"}));
    EXPECT_EQ(SearchNames(dir.File("*link.cor"), faDirectory), std::set<std::string>{});
    TFileSearch search;
    TSearchRec rec;
    EXPECT_FALSE(search.First(dir.File("link.cor"), 0, rec));
}

TEST_F(FindFileTest, BadDirectoriesFindNothing) {
    TFileSearch search;
    TSearchRec rec;
    EXPECT_FALSE(search.First(dir.File("missing/*"), faAnyFile, rec));
    EXPECT_FALSE(search.First(dir.File("b.txt/*"), faAnyFile, rec)); // not a directory
    EXPECT_FALSE(search.First(dir.Path() + "/", faAnyFile, rec));    // no pattern
    EXPECT_FALSE(search.First(dir.Path(), "a/*", faAnyFile, rec));
    EXPECT_FALSE(search.Next(rec));
}

TEST_F(FindFileTest, UnreadableDirectoryFindsNothing) {
    ASSERT_EQ(chmod(dir.Path().c_str(), 0711), 0);
    ASSERT_EQ(mkdir(dir.File("locked").c_str(), 0700), 0);
    WriteTextFile(dir.File("locked/x.cor"), "x");
    ASSERT_EQ(chmod(dir.File("locked").c_str(), 0), 0);
    int result = RunForked([&] {
        if (!DropRootRights())
            return 2;
        TFileSearch search;
        TSearchRec rec;
        return search.First(dir.File("locked/*.cor"), faAnyFile, rec) ? 1 : 0;
    });
    EXPECT_EQ(result, 0);
    chmod(dir.File("locked").c_str(), 0700);
}

TEST_F(FindFileTest, SizesBeyondFourGiB) {
    const int64_t size = 5LL * 1024 * 1024 * 1024 + 7;
    ASSERT_EQ(truncate(dir.File("b.txt").c_str(), size), 0);
    TFileSearch search;
    TSearchRec rec;
    ASSERT_TRUE(search.First(dir.File("b.txt"), 0, rec));
    EXPECT_EQ(rec.Size, size);
}

TEST_F(FindFileTest, SearchesReleaseTheirDirectory) {
    int before = OpenFdCount();
    for (int i = 0; i < 50; ++i) {
        TFileSearch search;
        TSearchRec rec;
        ASSERT_TRUE(search.First(dir.File("*"), 0, rec)); // left open: the destructor closes
    }
    {
        TFileSearch search;
        TSearchRec rec;
        ASSERT_TRUE(search.First(dir.File("*"), 0, rec));
        search.Close();
        EXPECT_FALSE(search.Next(rec));
    }
    EXPECT_EQ(OpenFdCount(), before);
}

TEST_F(FindFileTest, FindFileEntryTakesTheNameLiterally) {
    WriteTextFile(dir.File("a*"), "star");
    TSearchRec rec;
    ASSERT_TRUE(FindFileEntry(dir.Path(), "a*", 0, rec));
    EXPECT_EQ(rec.Size, 4);
    EXPECT_FALSE(FindFileEntry(dir.Path(), "A.COR", 0, rec)); // no case folding
    EXPECT_FALSE(FindFileEntry(dir.Path(), "sub.cor/x", faAnyFile, rec));
}
