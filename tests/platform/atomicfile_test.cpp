#include "platform/atomicfile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <random>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/errors.h"
#include "tests/support/forked.h"
#include "tests/support/tempdir.h"

namespace {

std::set<std::string> DirectoryNames(const std::string& path) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.insert(entry.path().filename().string());
    return names;
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

// Two contents that cannot be mistaken for each other or for a cut piece of the other.
std::string BigContent(char fill, size_t size) {
    std::string text(size, fill);
    text.front() = '<';
    text.back() = '>';
    return text;
}

class ReplaceFileTest : public ::testing::Test {
protected:
    void SetUp() override { oldMask = umask(022); }
    void TearDown() override { umask(oldMask); }
    TempDir dir;
    mode_t oldMask = 0;
};

} // namespace

TEST_F(ReplaceFileTest, CreatesANewFileWithTheModeLessUmask) {
    ReplaceFileContents(dir.File("new.dst"), "abc\r\n", 0666);
    EXPECT_EQ(ReadTextFile(dir.File("new.dst")), "abc\r\n");
    EXPECT_EQ(ModeOf(dir.File("new.dst")), 0644u);
    ReplaceFileContents(dir.File("secret.ini"), "", 0600);
    EXPECT_EQ(ReadTextFile(dir.File("secret.ini")), "");
    EXPECT_EQ(ModeOf(dir.File("secret.ini")), 0600u);
    EXPECT_EQ(DirectoryNames(dir.Path()), (std::set<std::string>{"new.dst", "secret.ini"}));
}

TEST_F(ReplaceFileTest, AnExistingFileKeepsItsMode) {
    WriteTextFile(dir.File("a.ini"), "old content that is longer");
    ASSERT_EQ(chmod(dir.File("a.ini").c_str(), 0640), 0);
    ReplaceFileContents(dir.File("a.ini"), "new", 0600);
    EXPECT_EQ(ReadTextFile(dir.File("a.ini")), "new");
    EXPECT_EQ(ModeOf(dir.File("a.ini")), 0640u);
    // A read-only file is replaced all the same and stays read-only.
    ASSERT_EQ(chmod(dir.File("a.ini").c_str(), 0444), 0);
    ReplaceFileContents(dir.File("a.ini"), "newer");
    EXPECT_EQ(ReadTextFile(dir.File("a.ini")), "newer");
    EXPECT_EQ(ModeOf(dir.File("a.ini")), 0444u);
    EXPECT_EQ(DirectoryNames(dir.Path()), (std::set<std::string>{"a.ini"}));
}

TEST_F(ReplaceFileTest, AnExistingFileKeepsItsOwner) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give the file away";
    WriteTextFile(dir.File("owned"), "x");
    ASSERT_EQ(chown(dir.File("owned").c_str(), 65534, 65534), 0);
    ReplaceFileContents(dir.File("owned"), "y");
    struct stat st {};
    ASSERT_EQ(stat(dir.File("owned").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
}

TEST_F(ReplaceFileTest, ASymbolicLinkKeepsPointingAtTheNewContent) {
    ASSERT_EQ(mkdir(dir.File("real").c_str(), 0755), 0);
    WriteTextFile(dir.File("real/target.ini"), "old");
    ASSERT_EQ(symlink("real/target.ini", dir.File("link.ini").c_str()), 0);
    ReplaceFileContents(dir.File("link.ini"), "new");
    struct stat st {};
    ASSERT_EQ(lstat(dir.File("link.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadTextFile(dir.File("real/target.ini")), "new");
    EXPECT_EQ(DirectoryNames(dir.File("real")), (std::set<std::string>{"target.ini"}));
}

// A link planted where a file of a shared directory is written is replaced, not followed.
TEST_F(ReplaceFileTest, ReplaceLinkLeavesTheLinkTargetAlone) {
    ASSERT_EQ(mkdir(dir.File("real").c_str(), 0755), 0);
    WriteTextFile(dir.File("real/victim"), "precious");
    ASSERT_EQ(chmod(dir.File("real/victim").c_str(), 0600), 0);
    ASSERT_EQ(symlink("real/victim", dir.File("status.dst").c_str()), 0);
    ASSERT_EQ(symlink("real/none", dir.File("dangling.dst").c_str()), 0);
    ReplaceFileContents(dir.File("status.dst"), "new", 0644, TLinkRule::ReplaceLink);
    ReplaceFileContents(dir.File("dangling.dst"), "new too", 0644, TLinkRule::ReplaceLink);
    EXPECT_EQ(ReadTextFile(dir.File("real/victim")), "precious");
    EXPECT_EQ(DirectoryNames(dir.File("real")), (std::set<std::string>{"victim"}));
    struct stat st {};
    ASSERT_EQ(lstat(dir.File("status.dst").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0644u); // a new file: nothing of the target's mode
    EXPECT_EQ(ReadTextFile(dir.File("status.dst")), "new");
    ASSERT_EQ(lstat(dir.File("dangling.dst").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(ReadTextFile(dir.File("dangling.dst")), "new too");

    // A plain file keeps its mode under either rule.
    ASSERT_EQ(chmod(dir.File("status.dst").c_str(), 0640), 0);
    ReplaceFileContents(dir.File("status.dst"), "again", 0644, TLinkRule::ReplaceLink);
    EXPECT_EQ(ModeOf(dir.File("status.dst")), 0640u);
    EXPECT_EQ(ReadTextFile(dir.File("status.dst")), "again");
}

TEST_F(ReplaceFileTest, FailuresCarryTheSystemError) {
    try {
        ReplaceFileContents(dir.File("missing/x.dst"), "x");
        FAIL() << "no error";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Code, ENOENT);
        EXPECT_EQ(std::string(e.what()), SysErrorMessage(ENOENT));
    }
    ASSERT_EQ(mkdir(dir.File("adir").c_str(), 0755), 0);
    try {
        ReplaceFileContents(dir.File("adir"), "x");
        FAIL() << "no error";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Code, EISDIR);
    }
    EXPECT_EQ(DirectoryNames(dir.Path()), (std::set<std::string>{"adir"}));
}

TEST_F(ReplaceFileTest, AFullDiskKeepsTheOldFile) {
    WriteTextFile(dir.File("status.dst"), "old whole content");
    int result = RunForked([&] {
        // The file size limit makes write fail with EFBIG as a full disk fails with ENOSPC.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {
            64 * 1024, 64 * 1024
        };
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 2;
        try {
            ReplaceFileContents(dir.File("status.dst"), BigContent('n', 1 << 20));
        } catch (const EOSError& e) {
            return e.Code == EFBIG ? 0 : 3;
        }
        return 1;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadTextFile(dir.File("status.dst")), "old whole content");
    EXPECT_EQ(DirectoryNames(dir.Path()), (std::set<std::string>{"status.dst"}));
}

TEST_F(ReplaceFileTest, AReadOnlyDirectoryKeepsTheOldFile) {
    ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
    WriteTextFile(dir.File("status.dst"), "old");
    ASSERT_EQ(chmod(dir.File("status.dst").c_str(), 0666), 0);
    ASSERT_EQ(chmod(dir.Path().c_str(), 0555), 0);
    int result = RunForked([&] {
        if (!DropRootRights())
            return 2;
        try {
            ReplaceFileContents(dir.File("status.dst"), "new");
        } catch (const EOSError& e) {
            return e.Code == EACCES ? 0 : 3;
        }
        return 1;
    });
    ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadTextFile(dir.File("status.dst")), "old");
    EXPECT_EQ(DirectoryNames(dir.Path()), (std::set<std::string>{"status.dst"}));
}

// A writer killed at any moment leaves the old or the new content, never a mixture or a cut.
TEST_F(ReplaceFileTest, AKilledWriterLeavesOneWholeContent) {
    const std::string first = BigContent('a', 3 << 20);
    const std::string second = BigContent('b', 2 << 20);
    const std::string path = dir.File("status.dst");
    auto started = std::chrono::steady_clock::now();
    ReplaceFileContents(path, first);
    // Kills land anywhere within about three replacements after the first one.
    const auto writeMicros = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::steady_clock::now() - started)
                                 .count();
    std::mt19937 random(12345);
    std::set<std::string> seen;
    for (int round = 0; round < 25; ++round) {
        ChildNotice firstWrite;
        pid_t writer = StartForked([&] {
            for (int i = 0;; ++i) {
                ReplaceFileContents(path, i % 2 == 0 ? second : first);
                if (i == 0)
                    firstWrite.Notify();
            }
        });
        bool wrote = firstWrite.Wait(20000);
        usleep(static_cast<useconds_t>(random() % (3 * writeMicros + 1)));
        KillAndReap(writer);
        ASSERT_TRUE(wrote);
        std::string content = ReadTextFile(path);
        ASSERT_TRUE(content == first || content == second)
            << "round " << round << ": " << content.size() << " bytes";
        seen.insert(content.substr(0, 2));
    }
    EXPECT_EQ(seen.size(), 2u);
    // What a kill leaves behind is a hidden temporary file, never the target's name.
    for (const std::string& name : DirectoryNames(dir.Path()))
        EXPECT_TRUE(name == "status.dst" || name.rfind(".status.dst.", 0) == 0) << name;
}
