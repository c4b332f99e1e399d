// One job of the service, run on the service thread after a real start: the walk over
// tracked directories, destinations and chain entries, the check points, the counters and
// the progress and summary lines.
#include <algorithm>

#include "common/langtext.h"
#include "common/strutil.h"
#include "platform/errors.h"
#include "tests/service/framework/ftsrvbase_fixture.h"

namespace {

const std::string Canceled = langtext::ServiceTaskCanceled;

class FtJobTest : public FtServiceTest {
protected:
    FtJobTest() : service_(ProgramDirPath()) { service_.SetClock(&clock_); }

    // Saves the configuration so that the start step loads it, starts the service, runs
    // `body` on its service thread and stops the service.
    std::vector<TServiceStatus> Run(const std::function<void()>& body) {
        service_.Cfg().SaveToFile(IniPath());
        return RunInService(service_, [&] {
            body();
            service_.ServiceThread()->PostRequest(SERVICE_CONTROL_STOP);
        });
    }
    // Runs one job with the given status names (destinations).
    std::vector<TServiceStatus> RunJob(std::vector<std::string> statusNames = {"t0.dst"}) {
        return Run([&] {
            service_.StatusNames = statusNames;
            service_.ClearEvents();
            const size_t logStart = LogMessages().size();
            service_.DoWork();
            std::vector<std::string> all = LogMessages();
            jobLog_.assign(all.begin() + static_cast<long>(logStart), all.end());
            jobRecord_ = service_.Record();
        });
    }
    // Log messages written during the last job run by RunJob, or after the start for a job
    // that a stop ended.
    std::vector<std::string> JobLog() const { return jobLog_; }
    std::vector<std::string> JobLogWithout(const std::string& prefix) const {
        std::vector<std::string> lines = JobLog();
        std::erase_if(lines, [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
        return lines;
    }
    int Count(const std::vector<std::string>& lines, const std::string& line) const {
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
    void Files(const std::string& dir, std::initializer_list<const char*> names) {
        for (const char* name : names)
            WriteTextFile(dir + "/" + name, std::string("content of ") + name);
    }
    // Names recorded in a status file.
    std::vector<std::string> Recorded(const std::string& path) const {
        std::vector<std::string> names;
        if (!FileExists(path))
            return names;
        std::string text = ReadTextFile(path);
        size_t start = 0;
        for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
            std::string line = text.substr(start, end - start);
            if (!line.empty() && line[0] != '#')
                names.push_back(line.substr(0, line.find('\t')));
        }
        return names;
    }
    void Chain(std::vector<std::string> entries) {
        service_.OnBuildChain = [entries](const std::string&, std::vector<std::string>& chain) {
            chain.insert(chain.end(), entries.begin(), entries.end());
        };
    }

    FakeClock clock_;
    TestFtService service_;
    std::vector<std::string> jobLog_;
    TServiceStateRecord jobRecord_{}; // right after the job
};

std::vector<std::string> Sends(const std::vector<std::string>& events) {
    std::vector<std::string> sends;
    for (const auto& e : events)
        if (e.rfind("send ", 0) == 0)
            sends.push_back(e);
    return sends;
}

} // namespace

// --- walks ---

TEST_F(FtJobTest, AllTrackedDirectoriesEmptyOnlyTrimsTheLog) {
    bool trimmed = false;
    Run([&] {
        WriteTextFile(LogPath(), std::string(140000, 'x'));
        service_.ClearEvents();
        service_.DoWork();
        trimmed = !FileExists(LogPath());
    });
    EXPECT_TRUE(trimmed);
    EXPECT_TRUE(service_.Events().empty());
}

TEST_F(FtJobTest, EmptyChainPreparesAndFinishesEveryDestination) {
    service_.Cfg().LogDetailed = true;
    service_.Cfg().TrackDirectory[5] = DataDir();
    Chain({});
    RunJob({"t0.dst", "t1.dst"});
    EXPECT_EQ(service_.Events(), (std::vector<std::string>{"chain " + DataDir(), "prepare 0",
                                                           "finish 0", "prepare 1", "finish 1"}));
    EXPECT_EQ(JobLog(), (std::vector<std::string>{"Processing chain " + DataDir()}));
    EXPECT_EQ(+service_.Record().Busy, 0);
}

TEST_F(FtJobTest, BaseChainScansTheTrackedDirectoryForAllFiles) {
    service_.Cfg().TrackDirectory[0] = DataDir();
    Files(DataDir(), {"a.txt", "b.dat", "noext", "old.DST"});
    RunJob();
    // Descending name order; status files are never sent.
    EXPECT_EQ(Sends(service_.Events()),
              (std::vector<std::string>{"send 0 noext", "send 0 b.dat", "send 0 a.txt"}));
    EXPECT_EQ(Recorded(DataDir() + "/t0.dst"),
              (std::vector<std::string>{"a.txt", "b.dat", "noext"}));
}

TEST_F(FtJobTest, EntryWithoutSemicolonMeansAllFilesOfTheDirectory) {
    service_.Cfg().TrackDirectory[0] = DataDir();
    std::string shop = MakeDir("shop");
    Files(shop, {"a.arg", "b.txt"});
    Chain({shop, shop + ";"});
    RunJob();
    // The second entry (empty extension) finds both files already sent by the first.
    EXPECT_EQ(Sends(service_.Events()), (std::vector<std::string>{"send 0 b.txt", "send 0 a.arg"}));
}

// A directory may hold ";" and be longer than 255 characters: the extension is what follows
// the last ";".
TEST_F(FtJobTest, ChainEntriesSplitAtTheLastSemicolonWithoutLengthLimit) {
    service_.Cfg().TrackDirectory[0] = DataDir();
    std::string odd = MakeDir("x;y");
    std::string deep =
        MakeDir(std::string(100, 'l') + "/" + std::string(100, 'm') + "/" + std::string(100, 'n'));
    ASSERT_GT(deep.size(), 300u);
    Files(odd, {"a.txt", "b.dat"});
    Files(deep, {"c.txt", "d.dat"});
    Chain({odd + ";txt", deep + ";dat"});
    RunJob();
    EXPECT_EQ(Sends(service_.Events()), (std::vector<std::string>{"send 0 a.txt", "send 0 d.dat"}));
    EXPECT_EQ(Recorded(odd + "/t0.dst"), (std::vector<std::string>{"a.txt"}));
    EXPECT_EQ(Recorded(deep + "/t0.dst"), (std::vector<std::string>{"d.dat"}));
    EXPECT_TRUE(JobLogWithout("processed").empty());
}

TEST(FtChainEntry, Split) {
    std::string dir, ext;
    SplitChainEntry("/d/shop;txt", dir, ext);
    EXPECT_EQ(dir, "/d/shop");
    EXPECT_EQ(ext, "txt");
    SplitChainEntry("/d/a;b;fif", dir, ext);
    EXPECT_EQ(dir, "/d/a;b");
    EXPECT_EQ(ext, "fif");
    SplitChainEntry("/d/shop", dir, ext);
    EXPECT_EQ(dir, "/d/shop");
    EXPECT_EQ(ext, "*");
    SplitChainEntry("/d/shop;", dir, ext);
    EXPECT_EQ(dir, "/d/shop");
    EXPECT_EQ(ext, "*");
    SplitChainEntry("", dir, ext);
    EXPECT_EQ(dir, "");
    EXPECT_EQ(ext, "*");
}

TEST_F(FtJobTest, MissingSourceDirectoryEndsTheChainOfThatDestinationOnly) {
    service_.Cfg().TrackDirectory[0] = DataDir();
    std::string a = MakeDir("a"), c = MakeDir("c");
    std::string missing = DataDir() + "/missing";
    Files(a, {"a1.txt"});
    Files(c, {"c1.txt"});
    Chain({a + ";txt", missing + ";txt", c + ";txt"});
    RunJob({"t0.dst", "t1.dst"});
    EXPECT_EQ(
        service_.Events(),
        (std::vector<std::string>{"chain " + DataDir(), "prepare 0", "send 0 a1.txt", "after",
                                  "finish 0", "prepare 1", "send 1 a1.txt", "after", "finish 1"}));
    const std::string error = Format(langtext::DirectoryDoesNotExist, missing.c_str());
    EXPECT_EQ(JobLog(), (std::vector<std::string>{error, error,
                                                  "processed 2 files OK, 0 files bad, elapsed "
                                                  "0:00:00:000"}));
    EXPECT_EQ(Recorded(a + "/t0.dst"), (std::vector<std::string>{"a1.txt"}));
    EXPECT_EQ(Recorded(a + "/t1.dst"), (std::vector<std::string>{"a1.txt"}));
    EXPECT_FALSE(FileExists(c + "/t0.dst"));
    EXPECT_EQ(std::string(service_.Record().LastErrorText), error);
}

TEST_F(FtJobTest, FailingHooksAreLoggedAndTheJobGoesOn) {
    for (int i : {0, 1, 2})
        service_.Cfg().TrackDirectory[static_cast<size_t>(i)] = MakeDir("t" + std::to_string(i));
    Files(DataDir() + "/t1", {"f.txt"});
    Files(DataDir() + "/t2", {"g.txt"});
    service_.OnBuildChain = [&](const std::string& dir, std::vector<std::string>& chain) {
        if (dir == DataDir() + "/t0") {
            chain.push_back("left behind");
            throw Exception("bad shop");
        }
        chain.push_back(dir + ";txt");
    };
    service_.OnPrepare = [&] {
        if (service_.DirIndex == 1 && service_.DestIndex == 0)
            throw Exception("no connection");
    };
    service_.OnFinish = [&] {
        if (service_.DirIndex == 2 && service_.DestIndex == 1)
            throw Exception("close failed");
    };
    RunJob({"t0.dst", "t1.dst"});
    EXPECT_EQ(service_.Events(),
              (std::vector<std::string>{"chain " + DataDir() + "/t0",
                                        // t1: destination 0 fails before its chain
                                        "chain " + DataDir() + "/t1", "prepare 0", "finish 0",
                                        "prepare 1", "send 1 f.txt", "after", "finish 1",
                                        // t2: both destinations send, the last close fails
                                        "chain " + DataDir() + "/t2", "prepare 0", "send 0 g.txt",
                                        "after", "finish 0", "prepare 1", "send 1 g.txt", "after",
                                        "finish 1"}));
    EXPECT_EQ(JobLog(),
              (std::vector<std::string>{"bad shop", "no connection",
                                        "processed 1 files OK, 0 files bad, elapsed 0:00:00:000",
                                        "close failed",
                                        "processed 2 files OK, 0 files bad, elapsed 0:00:00:000"}));
    EXPECT_TRUE(service_.IsIdle());
}

// --- cancellation ---

TEST_F(FtJobTest, QueuedStopCancelsTheJobAtItsFirstCheckPoint) {
    service_.Cfg().TrackDirectory[0] = DataDir();
    std::string message;
    bool logKept = false;
    Run([&] {
        WriteTextFile(LogPath(), std::string(140000, 'x'));
        service_.ClearEvents();
        service_.ServiceThread()->PostRequest(SERVICE_CONTROL_STOP);
        try {
            service_.DoWork();
        } catch (const Exception& e) {
            message = e.what();
        }
        logKept = FileExists(LogPath()); // no trim after a cancelled job
    });
    EXPECT_EQ(message, Canceled);
    EXPECT_TRUE(logKept);
    EXPECT_TRUE(service_.Events().empty());
}

TEST_F(FtJobTest, PendingInterrogationIsAnsweredAndDoesNotCancel) {
    service_.Cfg().TrackDirectory[0] = DataDir();
    Files(DataDir(), {"a.txt"});
    std::vector<TServiceStatus> reports = Run([&] {
        service_.StatusNames = {"t0.dst"};
        service_.ServiceThread()->PostRequest(SERVICE_CONTROL_INTERROGATE);
        service_.DoWork();
    });
    EXPECT_EQ(Sends(service_.Events()), (std::vector<std::string>{"send 0 a.txt"}));
    // The running report of the start, and the interrogation's answer at least.
    long running = std::count_if(reports.begin(), reports.end(), [](const TServiceStatus& s) {
        return s.CurrentState == SERVICE_RUNNING;
    });
    EXPECT_GE(running, 2);
}

TEST_F(FtJobTest, InterrogationQueuedBeforeAStopDoesNotHideTheStop) {
    service_.Cfg().TrackDirectory[0] = DataDir();
    Files(DataDir(), {"a.txt"});
    bool stillRunning = false;
    Run([&] {
        service_.StatusNames = {"t0.dst"};
        service_.ServiceThread()->PostRequest(SERVICE_CONTROL_INTERROGATE);
        service_.ServiceThread()->PostRequest(SERVICE_CONTROL_STOP);
        service_.DoWork();
        stillRunning = !service_.ServiceThread()->Terminated();
    });
    // The stop goes before the waiting interrogation: the job ends without sending.
    EXPECT_FALSE(stillRunning);
    EXPECT_TRUE(Sends(service_.Events()).empty());
}

TEST_F(FtJobTest, StopQueuedDuringADestinationSkipsTheRest) {
    service_.Cfg().TrackDirectory[0] = MakeDir("t0");
    service_.Cfg().TrackDirectory[1] = MakeDir("t1");
    Files(DataDir() + "/t0", {"a.txt"});
    service_.OnPrepare = [&] {
        if (service_.DirIndex == 0 && service_.DestIndex == 0)
            service_.ServiceThread()->PostRequest(SERVICE_CONTROL_STOP);
    };
    RunJob({"t0.dst", "t1.dst"});
    // Destination 0 is closed, destination 1 is never prepared; the next tracked directory
    // stops at its first destination. The stop itself is processed after the job.
    EXPECT_EQ(service_.Events(),
              (std::vector<std::string>{"chain " + DataDir() + "/t0", "prepare 0", "finish 0",
                                        "chain " + DataDir() + "/t1"}));
    EXPECT_EQ(JobLog(), (std::vector<std::string>{Canceled, Canceled}));
}

// --- counters, progress and summary lines ---

class FtJobCountersTest : public FtJobTest {
protected:
    // One shop with a data kind: a.txt, b.txt and c.txt, b failing; 250 ms per file.
    void Prepare(bool detailed) {
        service_.Cfg().LogDetailed = detailed;
        service_.Cfg().TrackDirectory[0] = DataDir();
        caisse_ = MakeDir("shop1/caisse");
        Files(caisse_, {"a.txt", "b.txt", "c.txt"});
        Chain({caisse_ + ";txt"});
        service_.OnTransfer = [&](const std::string& path, const std::string& entry, bool&) {
            EXPECT_EQ(entry, caisse_ + ";txt");
            EXPECT_EQ(+service_.Record().Busy, 1);
            clock_.AdvanceMs(250);
            bool ok = path.find("b.txt") == std::string::npos;
            service_.SetLastFile(path, ok, 2);
            return ok;
        };
    }
    std::string caisse_;
};

TEST_F(FtJobCountersTest, DetailedLogShowsEachStepWithItsElapsedTime) {
    Prepare(true);
    RunJob();
    EXPECT_EQ(Sends(service_.Events()),
              (std::vector<std::string>{"send 0 c.txt", "send 0 b.txt", "send 0 a.txt"}));
    EXPECT_EQ(JobLog(), (std::vector<std::string>{
                            "Processing chain " + DataDir(),
                            "processed directory " + caisse_ + ", elasped 0:00:00:750",
                            "postprocessing after 2 source files finished, elapsed 0:00:00:000",
                            "processed 2 files OK, 1 files bad, elapsed 0:00:00:750"}));
    const TServiceStateRecord& r = jobRecord_;
    EXPECT_EQ(+r.Busy, 0);
    EXPECT_EQ(+r.FilesOk, 2u);
    EXPECT_EQ(+r.FilesBad, 1u);
    EXPECT_EQ(+r.ElapsedMs, 750u);
    EXPECT_STREQ(r.LastOkFile, "shop1/caisse/a.txt");
    EXPECT_STREQ(r.LastBadFile, "shop1/caisse/b.txt");
    EXPECT_EQ(+r.LastBadTime.wMilliseconds, 500);
    EXPECT_EQ(+r.ReportTime.wMilliseconds, 750);
    EXPECT_STREQ(r.LastEventText, "processed 2 files OK, 1 files bad, elapsed 0:00:00:750");
    // The failed file stays unrecorded, so the next job tries it again.
    EXPECT_EQ(Recorded(caisse_ + "/t0.dst"), (std::vector<std::string>{"a.txt", "c.txt"}));
}

TEST_F(FtJobCountersTest, PlainLogShowsOnlyTheSummary) {
    Prepare(false);
    RunJob();
    EXPECT_EQ(JobLog(),
              (std::vector<std::string>{"processed 2 files OK, 1 files bad, elapsed 0:00:00:750"}));
    // The next job sends only the file that failed.
    service_.ClearEvents();
    RunJob();
    EXPECT_EQ(Sends(service_.Events()), (std::vector<std::string>{"send 0 b.txt"}));
}

TEST_F(FtJobTest, PostprocessingLineCarriesTheRunningTotalOverDestinations) {
    service_.Cfg().LogDetailed = true;
    service_.Cfg().TrackDirectory[0] = DataDir();
    std::string kind = MakeDir("s/k");
    Files(kind, {"a.txt", "b.txt", "c.txt"});
    Chain({kind + ";txt"});
    RunJob({"t1.dst"}); // the second destination has everything already
    service_.OnFinish = [&] { clock_.AdvanceMs(40); };
    RunJob({"t0.dst", "t1.dst"});
    EXPECT_EQ(Sends(service_.Events()),
              (std::vector<std::string>{"send 0 c.txt", "send 0 b.txt", "send 0 a.txt"}));
    EXPECT_EQ(Count(JobLog(), "postprocessing after 3 source files finished, elapsed 0:00:00:040"),
              2);
    EXPECT_EQ(JobLog().back(), "processed 3 files OK, 0 files bad, elapsed 0:00:00:080");
}

TEST_F(FtJobTest, ElapsedTimeCountsFromTheStartOfTheJob) {
    for (int i : {0, 1, 2}) {
        std::string dir = MakeDir("d" + std::to_string(i));
        service_.Cfg().TrackDirectory[static_cast<size_t>(i) * 10] = dir;
        Files(dir, {"f.txt"});
    }
    service_.OnTransfer = [&](const std::string&, const std::string&, bool&) {
        clock_.AdvanceMs(1000);
        return true;
    };
    RunJob();
    EXPECT_EQ(JobLog(),
              (std::vector<std::string>{"processed 1 files OK, 0 files bad, elapsed 0:00:01:000",
                                        "processed 1 files OK, 0 files bad, elapsed 0:00:02:000",
                                        "processed 1 files OK, 0 files bad, elapsed 0:00:03:000"}));
    TServiceStateRecord r = service_.Record();
    EXPECT_EQ(+r.FilesOk, 1u);
    EXPECT_EQ(+r.ElapsedMs, 3000u);
}

TEST(FtLastFile, ShownWithItsNearestParentDirectories) {
    TempDir dir;
    TestFtService service(dir.Path());
    auto shown = [&](const std::string& path, int depth) {
        service.SetLastFile(path, true, depth);
        return std::string(service.Record().LastOkFile);
    };
    EXPECT_EQ(shown("/data/shop1/caisse/a.txt", 2), "shop1/caisse/a.txt");
    EXPECT_EQ(shown("/data/shop1/caisse/a.txt", 0), "a.txt");
    EXPECT_EQ(shown("/data/shop1/caisse/a.txt", -1), "/data/shop1/caisse/a.txt");
    EXPECT_EQ(shown("/caisse/a.txt", 2), "caisse/a.txt");
    EXPECT_EQ(shown("caisse/a.txt", 5), "caisse/a.txt");
    EXPECT_EQ(shown("a.txt", 2), "a.txt");
    // The record holds at most 64 bytes and never half a character.
    service.SetLastFile("/d/" + std::string(63, 'x') + "é.txt", false, 0);
    EXPECT_EQ(std::string(service.Record().LastBadFile), std::string(63, 'x'));
}
