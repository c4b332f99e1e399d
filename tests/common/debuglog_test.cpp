#include "common/debuglog.h"

#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/datetime.h"
#include "platform/eventlog.h"
#include "tests/support/tempdir.h"

namespace {

// Records what would go to the system log.
class RecordingLogger : public TEventLogger {
public:
    RecordingLogger() : TEventLogger("kvtest") {}
    void LogMessage(const std::string& message, int eventType) override {
        std::lock_guard lock(mutex_);
        entries.emplace_back(message, eventType);
    }
    std::vector<std::pair<std::string, int>> entries;

private:
    std::mutex mutex_;
};

class ThrowingLogger : public TEventLogger {
public:
    ThrowingLogger() : TEventLogger("kvtest") {}
    void LogMessage(const std::string&, int) override { throw std::runtime_error("gone"); }
};

std::vector<std::string> LinesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "text does not end with CR LF";
    return lines;
}

// Each test logs into a file of its own temporary directory.
class DebugLogTest : public ::testing::Test {
protected:
    void SetUp() override { SetDebugTarget(nullptr, logFile); }
    void TearDown() override { ClearDebugTarget(); }
    std::string Content() const { return ReadTextFile(logFile); }

    TempDir dir;
    const std::string logFile = dir.File("kelvardsvc.log");
};

TEST_F(DebugLogTest, LineIsDateTimeTabMessage) {
    const TDateTime before = Now();
    DebugLog(LogInfo, "service started");
    const TDateTime after = Now();
    const std::string text = Content();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        text, m, std::regex(R"((\d\d)/(\d\d)/(\d{4}) (\d\d):(\d\d):(\d\d)\tservice started\r\n)")))
        << text;
    const TDateTime stamp =
        ComposeDateTime(EncodeDate(std::stoi(m[3]), std::stoi(m[2]), std::stoi(m[1])),
                        EncodeTime(std::stoi(m[4]), std::stoi(m[5]), std::stoi(m[6]), 0));
    // The stamp shows whole seconds of a moment between `before` and `after`.
    EXPECT_LE(MilliSecondsBetween(stamp, before), MilliSecondsBetween(after, before) + 1000);
}

TEST_F(DebugLogTest, CrLfPairsBecomeOneSpaceLoneBreaksStay) {
    WriteDebugLine("a\r\nb");
    WriteDebugLine("c\rd\ne");
    WriteDebugLine("\r\n\r\n");
    WriteDebugLine("f\r\r\ng\n\r");
    WriteDebugLine("");
    EXPECT_EQ(Content(), "a b\r\nc\rd\ne\r\n  \r\nf\r g\n\r\r\n\r\n");
}

TEST_F(DebugLogTest, LinesAreAppendedToAnExistingFile) {
    WriteTextFile(logFile, "earlier\r\n");
    DebugLog(LogError, "x");
    const std::vector<std::string> lines = LinesOf(Content());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "earlier");
    EXPECT_EQ(lines[1].substr(19), "\tx");
}

// Detailed logging writes the transfer passwords into the log: the log file is readable by
// its owner only, also when it was made readable by others by hand; its owner stays.
TEST_F(DebugLogTest, LogFileIsPrivateWhateverModeItHad) {
    DebugLog(LogInfo, "first");
    struct stat st {};
    ASSERT_EQ(stat(logFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    ASSERT_EQ(chmod(logFile.c_str(), 0644), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(logFile.c_str(), 65534, 65534), 0);
    }
    DebugLog(LogInfo, "second");
    ASSERT_EQ(stat(logFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    if (root) {
        EXPECT_EQ(st.st_uid, 65534u);
    }
    EXPECT_EQ(LinesOf(Content()).size(), 2u);
}

TEST_F(DebugLogTest, EventLogGetsTheRawMessageWithItsType) {
    RecordingLogger events;
    SetDebugTarget(&events, logFile);
    DebugLog(0, "zero");
    DebugLog(2, "two\r\nlines");
    DebugLog(3, "three");
    DebugLog(-1, "minus");
    ClearDebugTarget();
    DebugLog(0, "after clear");
    const std::vector<std::pair<std::string, int>> expected = {
        {"zero", EVENTLOG_INFORMATION_TYPE},
        {"two\r\nlines", EVENTLOG_INFORMATION_TYPE},
        {"three", EVENTLOG_ERROR_TYPE},
        {"minus", EVENTLOG_ERROR_TYPE}};
    EXPECT_EQ(events.entries, expected);
    // The file got every line, the one after ClearDebugTarget too.
    const std::vector<std::string> lines = LinesOf(Content());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[1].substr(19), "\ttwo lines");
    EXPECT_EQ(lines[4].substr(19), "\tafter clear");
    EXPECT_EQ(DebugFileName(), logFile);
}

TEST_F(DebugLogTest, FailingEventLogDoesNotStopTheCaller) {
    ThrowingLogger events;
    SetDebugTarget(&events, logFile);
    EXPECT_NO_THROW(DebugLog(3, "still logged"));
    EXPECT_EQ(LinesOf(Content()).size(), 1u);
}

TEST_F(DebugLogTest, UnwritableTargetsAreSilentlyIgnored) {
    const std::string targets[] = {dir.File("missing/kelvardsvc.log"), // no such directory
                                   dir.File("plain/kelvardsvc.log"),   // parent is a file
                                   dir.Path(),                         // a directory
                                   "/proc/kelvardsvc.log", ""};
    WriteTextFile(dir.File("plain"), "x");
    for (const std::string& target : targets) {
        SetDebugTarget(nullptr, target);
        EXPECT_NO_THROW(DebugLog(LogInfo, "lost"));
        EXPECT_NO_THROW(TrimDebugFile());
    }
    EXPECT_FALSE(FileExists(dir.File("missing")));
    EXPECT_EQ(ReadTextFile(dir.File("plain")), "x");
}

TEST_F(DebugLogTest, ReadOnlyDirectoryGetsNothing) {
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    const std::string ro = dir.File("ro");
    std::filesystem::create_directory(ro);
    chmod(ro.c_str(), 0555);
    SetDebugTarget(nullptr, ro + "/kelvardsvc.log");
    EXPECT_NO_THROW(DebugLog(LogInfo, "lost"));
    chmod(ro.c_str(), 0755);
    EXPECT_FALSE(FileExists(ro + "/kelvardsvc.log"));
}

TEST_F(DebugLogTest, TrimDeletesOnlyFilesLargerThan131072Bytes) {
    WriteTextFile(logFile, std::string(131072, 'x'));
    TrimDebugFile();
    EXPECT_TRUE(FileExists(logFile));
    WriteTextFile(logFile, std::string(131073, 'x'));
    TrimDebugFile();
    EXPECT_FALSE(FileExists(logFile));
    // The next line starts a new file.
    DebugLog(LogInfo, "fresh");
    EXPECT_EQ(LinesOf(Content()).size(), 1u);
    TrimDebugFile(); // missing file: nothing happens
    std::filesystem::remove(logFile);
    EXPECT_NO_THROW(TrimDebugFile());
}

TEST_F(DebugLogTest, ConcurrentLinesNeverInterleave) {
    constexpr int Threads = 8;
    constexpr int LinesPerThread = 2000;
    std::vector<std::thread> workers;
    std::atomic<int> ready{0};
    for (int t = 0; t < Threads; ++t) {
        workers.emplace_back([t, &ready] {
            ++ready;
            while (ready < Threads) {
            }
            for (int i = 0; i < LinesPerThread; ++i) {
                // Some lines exceed the stream buffer, so one line takes several writes.
                const size_t pad = (i % 10 == 0) ? 9000 : static_cast<size_t>(i % 97);
                DebugLog(LogInfo, "t" + std::to_string(t) + " n" + std::to_string(i) + " " +
                                      std::string(pad, static_cast<char>('a' + t)));
            }
        });
    }
    for (std::thread& w : workers)
        w.join();

    const std::vector<std::string> lines = LinesOf(Content());
    ASSERT_EQ(lines.size(), size_t{Threads * LinesPerThread});
    const std::regex shape(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\tt(\d) n(\d+) ([a-h]*))");
    std::map<int, int> nextOfThread;
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line.substr(0, 80);
        const int t = std::stoi(m[1]);
        const int i = std::stoi(m[2]);
        const size_t pad = (i % 10 == 0) ? 9000 : static_cast<size_t>(i % 97);
        ASSERT_EQ(m[3].str(), std::string(pad, static_cast<char>('a' + t)));
        ASSERT_EQ(i, nextOfThread[t]++) << "lines of one thread out of order";
    }
}

// In a fresh process nothing has set a target: lines go to "debug.txt" in the current
// directory. The check runs in a re-executed child so that the other tests' targets do not
// count.
TEST(DebugLogDefaultTest, LinesGoToDebugTxtInTheCurrentDirectory) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            int code = 2;
            {
                TempDir cwd;
                if (chdir(cwd.Path().c_str()) == 0 && DebugFileName() == "debug.txt") {
                    DebugLog(LogInfo, "console line");
                    const std::string text = ReadTextFile(cwd.File("debug.txt"));
                    code = std::regex_match(text, std::regex(R"(\d\d/\d\d/\d{4} )"
                                                             R"(\d\d:\d\d:\d\d\tconsole line\r\n)"))
                               ? 0
                               : 1;
                }
                code |= chdir("/");
            }
            std::_Exit(code);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
