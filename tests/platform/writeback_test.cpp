// Replacements and copies left to the system's write-back (TFlush::WriteBack): the same files,
// names and modes as flushed ones, the same failures, and no flush call of their own; and how
// a copy takes its name (a new one linked in place, a replaced one renamed onto).
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/atomicfile.h"
#include "platform/errors.h"
#include "platform/filecopy.h"
#include "platform/uniquefd.h"
#include "tests/support/flushguard.h"
#include "tests/support/forked.h"
#include "tests/support/tempdir.h"

namespace {

std::set<std::string> Names(const std::string& path) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.insert(entry.path().filename().string());
    return names;
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

// The errno of the EOSError that `action` raised; 0 when it raised nothing.
template <typename F> int ErrorOf(F action) {
    try {
        action();
    } catch (const EOSError& e) {
        return e.Code;
    }
    return 0;
}

class WriteBackTest : public ::testing::Test {
protected:
    void SetUp() override { oldMask = umask(022); }
    void TearDown() override { umask(oldMask); }
    TempDir dir;
    mode_t oldMask = 0;
};

} // namespace

TEST_F(WriteBackTest, ReplacementGivesWhatAFlushedOneGives) {
    ReplaceFileContents(dir.File("new.dst"), "abc\r\n", 0666, TLinkRule::ReplaceTarget,
                        TFlush::WriteBack);
    EXPECT_EQ(ReadTextFile(dir.File("new.dst")), "abc\r\n");
    EXPECT_EQ(ModeOf(dir.File("new.dst")), 0644u);

    ASSERT_EQ(chmod(dir.File("new.dst").c_str(), 0640), 0);
    ReplaceFileContents(dir.File("new.dst"), "def", 0644, TLinkRule::ReplaceLink,
                        TFlush::WriteBack);
    EXPECT_EQ(ReadTextFile(dir.File("new.dst")), "def");
    EXPECT_EQ(ModeOf(dir.File("new.dst")), 0640u);

    // A planted link is replaced, its target left alone, as with a flushed replacement.
    WriteTextFile(dir.File("victim"), "precious");
    ASSERT_EQ(symlink("victim", dir.File("link.dst").c_str()), 0);
    ReplaceFileContents(dir.File("link.dst"), "status", 0644, TLinkRule::ReplaceLink,
                        TFlush::WriteBack);
    EXPECT_EQ(ReadTextFile(dir.File("victim")), "precious");
    EXPECT_EQ(ReadTextFile(dir.File("link.dst")), "status");
    EXPECT_EQ(Names(dir.Path()), (std::set<std::string>{"new.dst", "link.dst", "victim"}));
}

TEST_F(WriteBackTest, FailuresKeepTheOldFileAndCarryTheSystemError) {
    EXPECT_EQ(ErrorOf([&] {
                  ReplaceFileContents(dir.File("missing/x.dst"), "x", 0644,
                                      TLinkRule::ReplaceTarget, TFlush::WriteBack);
              }),
              ENOENT);
    ASSERT_EQ(mkdir(dir.File("adir").c_str(), 0755), 0);
    EXPECT_EQ(ErrorOf([&] {
                  ReplaceFileContents(dir.File("adir"), "x", 0644, TLinkRule::ReplaceTarget,
                                      TFlush::WriteBack);
              }),
              EISDIR);
    WriteTextFile(dir.File("old.txt"), "old");
    EXPECT_EQ(ErrorOf([&] {
                  CopyFileReplacing(dir.File("none.txt"), dir.File("old.txt"), true,
                                    TFlush::WriteBack);
              }),
              ENOENT);
    EXPECT_EQ(ReadTextFile(dir.File("old.txt")), "old");
    EXPECT_EQ(Names(dir.Path()), (std::set<std::string>{"adir", "old.txt"}));
}

TEST_F(WriteBackTest, CopyKeepsContentModeAndDate) {
    for (bool unnamed : {true, false}) {
        const std::string target = dir.File(unnamed ? "to1.txt" : "to2.txt");
        WriteTextFile(dir.File("from.txt"), "payload");
        ASSERT_EQ(chmod(dir.File("from.txt").c_str(), 0604), 0);
        const timespec times[2] = {{1000, 0}, {1600000000, 500000000}};
        ASSERT_EQ(utimensat(AT_FDCWD, dir.File("from.txt").c_str(), times, 0), 0);
        WriteTextFile(target, "old");
        CopyFileReplacing(dir.File("from.txt"), target, unnamed, TFlush::WriteBack);
        EXPECT_EQ(ReadTextFile(target), "payload");
        EXPECT_EQ(ModeOf(target), 0604u);
        struct stat st {};
        ASSERT_EQ(stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
        EXPECT_EQ(st.st_mtim.tv_nsec, 500000000);
    }
    EXPECT_EQ(Names(dir.Path()), (std::set<std::string>{"from.txt", "to1.txt", "to2.txt"}));
}

// Under a filter that makes every flush call fail: write-back replacements and copies make
// none, flushed ones do.
TEST_F(WriteBackTest, OnlyFlushedWritesCallTheFlush) {
    WriteTextFile(dir.File("src.txt"), "data");
    int result = RunForked([&] {
        if (!RefuseFlushCalls())
            return 10;
        try {
            ReplaceFileContents(dir.File("a.dst"), "a", 0644, TLinkRule::ReplaceTarget,
                                TFlush::WriteBack);
            CopyFileReplacing(dir.File("src.txt"), dir.File("copy.txt"), true, TFlush::WriteBack);
            CopyFileReplacing(dir.File("src.txt"), dir.File("copy2.txt"), false, TFlush::WriteBack);
        } catch (const std::exception&) {
            return 11;
        }
        if (ErrorOf([&] { ReplaceFileContents(dir.File("b.dst"), "b"); }) != EPERM)
            return 12;
        if (ErrorOf([&] { CopyFileReplacing(dir.File("src.txt"), dir.File("c.txt")); }) != EPERM)
            return 13;
        return 0;
    });
    ASSERT_NE(result, 10) << "no seccomp filter here";
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadTextFile(dir.File("a.dst")), "a");
    EXPECT_EQ(ReadTextFile(dir.File("copy.txt")), "data");
    EXPECT_EQ(ReadTextFile(dir.File("copy2.txt")), "data");
    // The flushed writes that failed left nothing behind.
    EXPECT_EQ(Names(dir.Path()),
              (std::set<std::string>{"src.txt", "a.dst", "copy.txt", "copy2.txt"}));
}

// What a watcher of the target's directory sees: a new target appears by one link under its
// own name, never under a hidden one; a replaced one by a rename of the hidden name.
TEST_F(WriteBackTest, ANewTargetIsLinkedInPlaceAReplacedOneRenamed) {
    WriteTextFile(dir.File("src.txt"), "data");
    ASSERT_EQ(mkdir(dir.File("out").c_str(), 0755), 0);
    TUniqueFd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_TRUE(watch.Valid());
    ASSERT_GE(inotify_add_watch(watch.Get(), dir.File("out").c_str(),
                                IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO),
              0);
    auto events = [&] {
        std::vector<std::string> seen;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t got; (got = read(watch.Get(), buffer, sizeof buffer)) > 0;) {
            for (char* p = buffer; p < buffer + got;) {
                auto* event = reinterpret_cast<inotify_event*>(p);
                const std::string name = event->len ? event->name : "";
                const bool hidden = !name.empty() && name[0] == '.';
                const char* kind = (event->mask & IN_CREATE)       ? "create "
                                   : (event->mask & IN_MOVED_FROM) ? "from "
                                                                   : "to ";
                seen.push_back(kind + (hidden ? std::string("(hidden)") : name));
                p += sizeof(inotify_event) + event->len;
            }
        }
        return seen;
    };
    for (bool unnamed : {true, false}) {
        const std::string target = dir.File(unnamed ? "out/new1.txt" : "out/new2.txt");
        CopyFileReplacing(dir.File("src.txt"), target, unnamed, TFlush::WriteBack);
        CopyFileReplacing(dir.File("src.txt"), target, unnamed, TFlush::WriteBack);
        const std::string name = unnamed ? "new1.txt" : "new2.txt";
        if (unnamed)
            EXPECT_EQ(events(), (std::vector<std::string>{"create " + name, "create (hidden)",
                                                          "from (hidden)", "to " + name}));
        else
            EXPECT_EQ(events(),
                      (std::vector<std::string>{"create (hidden)", "from (hidden)", "to " + name,
                                                "create (hidden)", "from (hidden)", "to " + name}));
        EXPECT_EQ(ReadTextFile(target), "data");
    }
}
