// The directory status list: listing, the walk over changed files, and the status file that
// Save writes.
#include <chrono>
#include <clocale>
#include <csignal>
#include <filesystem>
#include <random>
#include <regex>
#include <unistd.h>

#include "common/langtext.h"
#include "platform/errors.h"
#include "tests/service/framework/dirdesc_fixture.h"
#include "tests/support/forked.h"

namespace {

struct Visit {
    std::string path;
    std::string tag;
};

const char* const TimeText = "2024/05/01 10:20:30.456 UTC";

} // namespace

TEST_F(DirListTest, AMissingDirectoryRaisesItsMessage) {
    for (const auto& [given, shown] : {std::pair{dir.File("none"), dir.File("none")},
                                       std::pair{dir.File("none/"), dir.File("none")},
                                       std::pair{std::string(), std::string()}}) {
        try {
            TDirectoryList list(given, "*", "", 0, "");
            FAIL() << given;
        } catch (const Exception& e) {
            EXPECT_EQ(std::string(e.what()), "Directory does not exist\"" + shown + "\"");
        }
    }
    AddFile("file.txt", 1);
    EXPECT_THROW(TDirectoryList(dir.File("file.txt"), "*", "", 0, ""), Exception);
}

TEST_F(DirListTest, OneTrailingSlashIsRemoved) {
    EXPECT_EQ(TDirectoryList(dir.Path() + "/", "*", "", 0, "").Directory, dir.Path());
    EXPECT_EQ(TDirectoryList(dir.Path() + "//", "*", "", 0, "").Directory, dir.Path() + "/");
    EXPECT_EQ(TDirectoryList("/", "no-such-extension", "", 0, "").Directory, "/");
}

TEST_F(DirListTest, ListingFollowsTheExtensionAndSkipsStatusHiddenAndDirectoryEntries) {
    AddFile("COUNT.COR", 1);
    AddFile("a.cor", 1);
    AddFile("b.txt", 1);
    AddFile("noext", 1);
    AddFile(".hidden.cor", 1);
    AddFile("old.DST", 1);
    AddFile("trlist0.dst", 1);
    AddFile("readonly.cor", 1);
    ASSERT_EQ(chmod(dir.File("readonly.cor").c_str(), 0444), 0);
    ASSERT_EQ(mkdir(dir.File("sub.cor").c_str(), 0755), 0);
    EXPECT_EQ(ListedNames(*List("cor")), (Names{"a.cor", "COUNT.COR", "readonly.cor"}));
    EXPECT_EQ(ListedNames(*List("COR")), (Names{"a.cor", "COUNT.COR", "readonly.cor"}));
    EXPECT_EQ(ListedNames(*List("*")),
              (Names{"a.cor", "b.txt", "COUNT.COR", "noext", "readonly.cor"}));
    EXPECT_TRUE(List("dst")->Files.empty());
    EXPECT_TRUE(List("txt2")->Files.empty());
}

TEST_F(DirListTest, EntriesCarrySizeAndUtcTime) {
    AddFile("a.txt", 7, 0, 456);
    auto list = List();
    ASSERT_EQ(list->Files.size(), 1u);
    const TFileEntry& entry = list->Files[0].Entry;
    EXPECT_EQ(entry.Size, 7);
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", entry.Time), "2024-05-01 10:20:30.456");
    EXPECT_TRUE(entry.Changed);
    EXPECT_EQ(list->Find("A.TXT"), &entry);
    EXPECT_EQ(list->Find("b.txt"), nullptr);
}

TEST_F(DirListTest, ProcessFilesWalksBothWaysWithoutRegardToCase) {
    for (const char* name : {"b.txt", "A.txt", "C.txt", "a2.txt", "B1.txt"})
        AddFile(name, 1);
    const Names ascending{"A.txt", "a2.txt", "b.txt", "B1.txt", "C.txt"};
    for (bool forward : {true, false}) {
        auto list = List();
        std::vector<Visit> visits;
        list->ProcessFiles(forward, [&](const std::string& path, const std::string& tag, bool&) {
            visits.push_back({path, tag});
            return true;
        });
        Names expected = ascending;
        if (!forward)
            std::reverse(expected.begin(), expected.end());
        ASSERT_EQ(visits.size(), expected.size());
        for (size_t i = 0; i < visits.size(); ++i) {
            EXPECT_EQ(visits[i].path, dir.File(expected[i]));
            EXPECT_EQ(visits[i].tag, "tag");
        }
        EXPECT_EQ(list->OkCount, 5);
        EXPECT_TRUE(ChangedNames(*list).empty());
    }
}

TEST_F(DirListTest, ProcessFilesHandsOverOnlyChangedFiles) {
    AddFile("sent.txt", 5);
    AddFile("new.txt", 5);
    WriteStatus({std::string("sent.txt\t5\t") + TimeText});
    auto list = List();
    Names seen;
    list->ProcessFiles(true, [&](const std::string& path, const std::string&, bool&) {
        seen.push_back(path);
        return true;
    });
    EXPECT_EQ(seen, (Names{dir.File("new.txt")}));
}

TEST_F(DirListTest, ContinueFalseStopsAfterThatFileAndItsResultCounts) {
    for (const char* name : {"a", "b", "c", "d"})
        AddFile(name, 1);
    for (bool result : {true, false}) {
        auto list = List();
        int calls = 0;
        list->ProcessFiles(false, [&](const std::string&, const std::string&, bool& cont) {
            if (++calls == 2)
                cont = false;
            return result;
        });
        EXPECT_EQ(calls, 2);
        EXPECT_EQ(list->OkCount, result ? 2 : 0);
        EXPECT_EQ(list->BadCount, result ? 0 : 2);
        EXPECT_EQ(ChangedNames(*list), result ? (Names{"a", "b"}) : (Names{"a", "b", "c", "d"}));
    }
}

TEST_F(DirListTest, FailedAndThrowingTransfersStayChanged) {
    for (const char* name : {"bad", "good", "throws", "throws2"})
        AddFile(name, 1);
    auto list = List();
    Names visited;
    list->ProcessFiles(true, [&](const std::string& path, const std::string&, bool&) -> bool {
        std::string name = path.substr(path.rfind('/') + 1);
        visited.push_back(name);
        if (name == "throws")
            throw EOSError(5, "I/O error");
        if (name == "throws2")
            throw 42;
        return name == "good";
    });
    EXPECT_EQ(visited, (Names{"bad", "good", "throws", "throws2"}));
    EXPECT_EQ(list->OkCount, 1);
    EXPECT_EQ(list->BadCount, 1);
    EXPECT_EQ(ChangedNames(*list), (Names{"bad", "throws", "throws2"}));
}

TEST_F(DirListTest, SaveWritesTheHeaderAndTheSentFiles) {
    SetTimeZone("XST-1"); // standard bias -60 minutes
    AddFile("b.txt", 12, 0, 456);
    AddFile("A.txt", 0, -3600 * 24 * 400, 7);
    AddFile("unsent.txt", 3);
    auto list = List();
    list->ProcessFiles(true, [](const std::string& path, const std::string&, bool&) {
        return path.find("unsent") == std::string::npos;
    });
    list->Save();
    std::vector<std::string> lines = SplitCrLf(ReadTextFile(dir.File("trlist0.dst")));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "# directory status file ");
    EXPECT_EQ(lines[1], "# directory: " + dir.Path());
    EXPECT_EQ(lines[2], "# file mask: *.*");
    EXPECT_TRUE(std::regex_match(
        lines[3],
        std::regex(R"(# last update: \d{4}/\d\d/\d\d \d\d:\d\d:\d\d:\d{3} \(UTC \+01:00\))")))
        << lines[3];
    EXPECT_EQ(lines[4], "A.txt\t0\t2023/03/28 10:20:30.007 UTC");
    EXPECT_EQ(lines[5], "b.txt\t12\t2024/05/01 10:20:30.456 UTC");
}

TEST_F(DirListTest, AnEmptyDirectorySavesTheHeaderAlone) {
    TDirectoryList list(dir.Path() + "/", "arg", "", 0, "");
    list.Save();
    std::vector<std::string> lines = SplitCrLf(ReadTextFile(dir.File("dirlist.dst")));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], "# directory: " + dir.Path());
    EXPECT_EQ(lines[2], "# file mask: *.arg");
    EXPECT_TRUE(lines[3].ends_with(" (UTC +00:00)"));
}

TEST_F(DirListTest, SavedFilesAreNotSentAgain) {
    for (int i = 0; i < 20; ++i)
        AddFile("f" + std::to_string(i) + ".txt", i, i * 3, i * 37);
    auto first = List();
    SendAll(*first);
    first->Save();
    auto second = List();
    EXPECT_TRUE(ChangedNames(*second).empty());
    // A change after the save is seen by the next list.
    AddFile("f3.txt", 4, 1000);
    AddFile("f4.txt", 4, 4 * 3, 4 * 37 + 1); // 1 ms later: the same file
    AddFile("f5.txt", 6);
    EXPECT_EQ(ChangedNames(*List()), (Names{"f3.txt", "f5.txt"}));
}

TEST_F(DirListTest, SaveRecordsTheStateThatWasSent) {
    AddFile("growing.txt", 10);
    auto list = List();
    SendAll(*list);
    AddFile("growing.txt", 20, 10); // written again after its transfer
    list->Save();
    EXPECT_EQ(ChangedNames(*List()), (Names{"growing.txt"}));
}

TEST_F(DirListTest, FilesThatVanishedDropOutAtTheNextSave) {
    AddFile("a.txt", 1);
    AddFile("b.txt", 1);
    auto list = List();
    SendAll(*list);
    list->Save();
    ASSERT_EQ(unlink(dir.File("a.txt").c_str()), 0);
    auto next = List();
    next->Save();
    std::vector<std::string> lines = SplitCrLf(ReadTextFile(dir.File("trlist0.dst")));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_TRUE(lines[4].starts_with("b.txt\t"));
}

TEST_F(DirListTest, NamesThatTheFormatCannotCarryAreSentAgain) {
    AddFile("#notes#", 1);
    AddFile(" lead.txt", 1);
    AddFile("lead.txt", 1);
    // A name that would put a forged line for victim.txt into the status file (a file name
    // has no "/", the reader does not look at the separators).
    const std::string forged = "x\nvictim.txt\t9\t2024-05-01 10:20:30.456 UTC";
    AddFile(forged, 1);
    AddFile("tab\tname", 1);
    AddFile("victim.txt", 9);
    auto list = List();
    list->ProcessFiles(true, [](const std::string& path, const std::string&, bool&) {
        return path.find("victim.txt", path.size() - 10) == std::string::npos;
    });
    list->Save();
    EXPECT_EQ(ChangedNames(*List()), (Names{"tab\tname", "victim.txt", forged}));
}

TEST_F(DirListTest, AFileOfThreeGiBKeepsItsRealSize) {
    const int64_t size = 3LL << 30;
    WriteTextFile(dir.File("big.bin"), "");
    ASSERT_EQ(truncate(dir.File("big.bin").c_str(), size), 0); // sparse
    SetMTime(dir.File("big.bin"), BaseUnixTime, 456);
    auto list = List();
    ASSERT_EQ(list->Files.size(), 1u);
    EXPECT_EQ(list->Files[0].Entry.Size, size);
    SendAll(*list);
    list->Save();
    EXPECT_EQ(SplitCrLf(ReadTextFile(dir.File("trlist0.dst")))[4],
              std::string("big.bin\t3221225472\t") + TimeText);
    EXPECT_TRUE(ChangedNames(*List()).empty());
}

TEST_F(DirListTest, AReadOnlyStatusFileIsRewritten) {
    AddFile("a.txt", 1);
    WriteStatus({});
    ASSERT_EQ(chmod(dir.File("trlist0.dst").c_str(), 0444), 0);
    auto list = List();
    SendAll(*list);
    list->Save();
    EXPECT_EQ(SplitCrLf(ReadTextFile(dir.File("trlist0.dst"))).size(), 5u);
    EXPECT_TRUE(ChangedNames(*List()).empty());
}

// Source directories are often writable by the users who drop files there: a status file
// name turned into a link must not make the service overwrite the file it points to.
TEST_F(DirListTest, AStatusFileLinkIsReplacedNotFollowed) {
    TempDir elsewhere;
    WriteTextFile(elsewhere.File("victim"), "precious");
    AddFile("a.txt", 1);
    ASSERT_EQ(symlink(elsewhere.File("victim").c_str(), dir.File("trlist0.dst").c_str()), 0);
    auto list = List();
    SendAll(*list);
    list->Save();
    EXPECT_EQ(ReadTextFile(elsewhere.File("victim")), "precious");
    struct stat st {};
    ASSERT_EQ(lstat(dir.File("trlist0.dst").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(SplitCrLf(ReadTextFile(dir.File("trlist0.dst"))).size(), 5u);
    EXPECT_TRUE(ChangedNames(*List()).empty());
}

// Below the tracked directory the list never passes a link: a directory that is one fails,
// and one swapped for a link after the listing still gets its status file, not the link's
// target. A status file that is a link is not read either. The root itself may be a link.
TEST_F(DirListTest, LinksBelowTheRootAreNeverFollowed) {
    namespace fs = std::filesystem;
    TempDir elsewhere;
    WriteTextFile(elsewhere.File("b.txt"), "root's");
    const std::string shop = dir.File("SHOP1");
    fs::create_directories(shop + "/caisse");
    AddFile("SHOP1/caisse/b.txt", 5);
    fs::create_symlink(elsewhere.Path(), shop + "/filters");
    fs::create_symlink(dir.Path(), elsewhere.File("root"));
    EXPECT_THROW(TDirectoryList(shop + "/filters", "*", "tag", 0, "trlist0.dst", dir.Path()),
                 Exception);

    // A status line that would mark b.txt as sent, behind a link.
    WriteTextFile(elsewhere.File("old.dst"), "b.txt\t5\t2024/05/01 10:20:30.456 UTC\r\n");
    fs::create_symlink(elsewhere.File("old.dst"), shop + "/caisse/trlist0.dst");
    TDirectoryList list(elsewhere.File("root/SHOP1/caisse"), "txt", "tag", 0, "trlist0.dst",
                        elsewhere.File("root"));
    ASSERT_EQ(ChangedNames(list), (Names{"b.txt"}));
    fs::rename(shop + "/caisse", shop + "/moved");
    fs::create_symlink(elsewhere.Path(), shop + "/caisse");
    list.Scan();
    EXPECT_EQ(ChangedNames(list), (Names{"b.txt"}));
    SendAll(list);
    list.Save();
    EXPECT_FALSE(fs::exists(elsewhere.File("trlist0.dst")));
    EXPECT_NE(ReadTextFile(shop + "/moved/trlist0.dst").find("b.txt\t5\t"), std::string::npos);
}

TEST_F(DirListTest, AFailingSaveKeepsTheOldStatusFile) {
    AddFile("a.txt", 1);
    AddFile("b.txt", 1);
    auto first = List();
    first->ProcessFiles(true, [](const std::string& path, const std::string&, bool&) {
        return path.ends_with("a.txt");
    });
    first->Save();
    const std::string saved = ReadTextFile(dir.File("trlist0.dst"));
    ASSERT_EQ(chmod(dir.Path().c_str(), 0555), 0);
    int result = RunForked([&] {
        if (!DropRootRights())
            return 2;
        auto list = List();
        SendAll(*list);
        try {
            list->Save();
        } catch (const EOSError& e) {
            return e.Code == EACCES ? 0 : 3;
        }
        return 1;
    });
    ASSERT_EQ(chmod(dir.Path().c_str(), 0700), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadTextFile(dir.File("trlist0.dst")), saved);
    EXPECT_EQ(ChangedNames(*List()), (Names{"b.txt"}));
}

// A service killed while it saves leaves the previous or the new status file, each whole.
TEST_F(DirListTest, AKilledSaveLeavesAWholeStatusFile) {
    const int count = 3000;
    for (int i = 0; i < count; ++i)
        AddFile("file-with-a-longer-name-" + std::to_string(i) + ".txt", i % 100, i);
    auto started = std::chrono::steady_clock::now();
    {
        auto list = List();
        SendAll(*list);
        list->Save();
    }
    // Kills land anywhere within about three saves after the first one.
    const auto saveMicros = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::steady_clock::now() - started)
                                .count();
    std::mt19937 random(4711);
    std::set<size_t> lineCounts;
    for (int round = 0; round < 15; ++round) {
        ChildNotice firstSave;
        pid_t saver = StartForked([&] {
            auto list = List();
            for (int i = 0;; ++i) {
                // Alternately every other file and all files recorded.
                for (size_t k = 0; k < list->Files.size(); ++k)
                    list->Files[k].Entry.Changed = i % 2 == 0 && k % 2 == 1;
                list->Save();
                if (i == 0)
                    firstSave.Notify();
            }
        });
        bool saved = firstSave.Wait(20000);
        usleep(static_cast<useconds_t>(random() % (3 * saveMicros + 1)));
        KillAndReap(saver);
        ASSERT_TRUE(saved);
        std::vector<std::string> lines = SplitCrLf(ReadTextFile(dir.File("trlist0.dst")));
        ASSERT_TRUE(lines.size() == 4 + count || lines.size() == 4 + count / 2)
            << "round " << round << ": " << lines.size() << " lines";
        lineCounts.insert(lines.size());
        EXPECT_EQ(lines[0], "# directory status file ");
        EXPECT_TRUE(lines.back().ends_with(" UTC"));
    }
    EXPECT_EQ(lineCounts.size(), 2u);
    // Whatever the kill left behind is not listed.
    auto list = List();
    EXPECT_EQ(list->Files.size(), static_cast<size_t>(count));
    size_t changed = ChangedNames(*list).size();
    EXPECT_TRUE(changed == 0 || changed == count / 2) << changed;
}

TEST_F(DirListTest, NamesThatAreNotValidUtf8SortAndMatchUnderAUtf8Locale) {
    std::string saved = setlocale(LC_COLLATE, nullptr);
    if (!setlocale(LC_COLLATE, "C.UTF-8"))
        GTEST_SKIP() << "no C.UTF-8 locale";
    const Names names{"b\xff.txt", "\xc3\xa9t\xc3\xa9.txt", "A\x80.txt", "a.txt", "\xe2\x82"};
    for (const std::string& name : names)
        AddFile(name, 3);
    auto list = List();
    SendAll(*list);
    list->Save();
    auto next = List();
    setlocale(LC_COLLATE, saved.c_str());
    EXPECT_EQ(next->Files.size(), names.size());
    EXPECT_TRUE(ChangedNames(*next).empty());
    for (const std::string& name : names)
        EXPECT_NE(next->Find(name), nullptr);
}

// The locale's date separator goes into the file lines; the reader never looks at it.
TEST_F(DirListTest, LocaleSeparatorsReadBack) {
    TempDir locales;
    const std::string command =
        "localedef -i de_DE -f UTF-8 " + locales.File("de_DE.UTF-8") + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
        GTEST_SKIP() << "localedef cannot build de_DE here";
    AddFile("a.txt", 5);
    setenv("LOCPATH", locales.Path().c_str(), 1);
    const bool switched = setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    if (switched) {
        auto list = List();
        SendAll(*list);
        list->Save();
    }
    auto next = List();
    setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
    ASSERT_TRUE(switched);
    std::vector<std::string> lines = SplitCrLf(ReadTextFile(dir.File("trlist0.dst")));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_TRUE(std::regex_match(
        lines[3],
        std::regex(R"(# last update: \d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d:\d{3} \(UTC \+00:00\))")))
        << lines[3];
    EXPECT_EQ(lines[4], "a.txt\t5\t2024.05.01 10:20:30.456 UTC");
    EXPECT_TRUE(ChangedNames(*next).empty());
}
