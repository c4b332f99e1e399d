// The transfer service object run in-process on its own service thread: destinations and
// status files, the start line, whole jobs by COPY into the destination layout, shop names
// that stop a tracked directory, counting files, a stop in the middle of a long job, and the
// dial-up connection against a stand-in for nmcli.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "common/langtext.h"
#include "common/rasserv.h"
#include "common/strutil.h"
#include "platform/errors.h"
#include "tests/service/kvsrv_fixture.h"
#include "tests/support/fake_nmcli.h"
#include "tests/support/servers.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string CopyingTo = langtext::KvCopyingTo;

std::string Formatted(const char* pattern, const std::string& a) {
    return Format(pattern, a.c_str());
}

std::vector<std::string> Matching(const std::vector<std::string>& lines,
                                  const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : lines)
        if (line.rfind(prefix, 0) == 0)
            found.push_back(line);
    return found;
}

class KvService : public KvServiceTest {};

} // namespace

TEST_F(KvService, OneDestinationNamesOnlyTheFirstStatusFile) {
    Cfg.Destination[0] = NewDir("dest0");
    ASSERT_TRUE(StartService());
    EXPECT_EQ(Service->StatusNames, (std::vector<std::string>{"trlist0.dst"}));
    StopService();
    EXPECT_EQ(CountLogged(CopyingTo + Root() + "/dest0"), 1u);

    Cfg.Destination[1] = NewDir("dest1");
    ASSERT_TRUE(StartService());
    EXPECT_EQ(Service->StatusNames, (std::vector<std::string>{"trlist0.dst", "trlist1.dst"}));
    StopService();
    EXPECT_EQ(CountLogged(CopyingTo + Root() + "/dest0, et aussi vers " + Root() + "/dest1"), 1u);
    // The service's names and the last line of its stop.
    EXPECT_EQ(Service->Name, "KelvardSvc");
    EXPECT_EQ(Service->DisplayName, "VANTORIX Transport Service KV Edition");
    EXPECT_EQ(LogMessages().back(), "KelvardSvc service stopped");
}

TEST_F(KvService, StartLineOfTheUploadKindsNamesEachHostWithTheUser) {
    Cfg.Username = "shop42";
    for (TTransferType type : {ttFtp, ttFtps, ttSftp}) {
        Cfg.Transport = type;
        Cfg.Destination[0] = "files.example";
        Cfg.Destination[1] = "";
        ASSERT_TRUE(StartService());
        StopService();
        EXPECT_EQ(LogMessages().back(), "KelvardSvc service stopped");
        Cfg.Destination[1] = "backup.example";
        ASSERT_TRUE(StartService());
        EXPECT_EQ(Service->StatusNames.size(), 2u);
        StopService();
    }
    EXPECT_EQ(CountLogged(CopyingTo + "files.example/shop42"), 3u);
    EXPECT_EQ(CountLogged(CopyingTo + "files.example/shop42, et aussi vers backup.example/shop42"),
              3u);
}

// The empty first destination still counts, but a COPY to it would write below "/": nothing is
// sent there, the reason is logged, and the second destination is served as usual.
TEST_F(KvService, EmptyFirstDestinationGivesTwoDestinationsAndReceivesNothing) {
    const std::string shop = "KVTESTSHOP" + std::to_string(getpid());
    TrackedTree tree(Root(), "export");
    tree.AddShop(shop);
    Cfg.TrackDirectory[0] = tree.Dir();
    Cfg.Destination[1] = NewDir("dest1");
    ASSERT_TRUE(StartService());
    EXPECT_EQ(Service->StatusNames, (std::vector<std::string>{"trlist0.dst", "trlist1.dst"}));
    EXPECT_EQ(CountLogged(CopyingTo + ", et aussi vers " + Root() + "/dest1"), 1u);
    ASSERT_TRUE(RunJob());
    StopService();
    const bool strayed = FileExists("/" + shop);
    std::error_code ignored;
    fs::remove_all("/" + shop, ignored);
    fs::remove_all("/export", ignored);
    EXPECT_FALSE(strayed) << "files were copied below /";

    ExpectArrived(tree, Root() + "/dest1");
    ExpectRecorded(tree, "trlist1.dst");
    ExpectNothingRecorded(tree, "trlist0.dst");
    EXPECT_EQ(CountLogged("Destination0 non spécifiée: aucun fichier n'y est envoyé"), 1u);
}

TEST_F(KvService, CopyOfTrackedDirectoriesIntoTheLayoutOfTwoDestinations) {
    TrackedTree first(Root(), "export");
    for (const char* shop : {"SHOP1", "Shop 2", "shop3"})
        first.AddShop(shop);
    // Reserved names are no shops, whatever their case.
    first.AddUnsent("Inconnu/shopinfo.arg", "unknown shop", "Inconnu/shopinfo.arg");
    first.AddUnsent("WWW/caisse/w.txt", "web", "WWW/caisse/w.txt");
    first.AddUnsent("Registration/filters/r.fif", "registration", "Registration/filters/r.fif");
    TrackedTree second(Root(), "more");
    second.AddShop("SHOP9");
    Cfg.TrackDirectory[0] = first.Dir();
    Cfg.TrackDirectory[5] = second.Dir();
    Cfg.Destination[0] = NewDir("dest0");
    Cfg.Destination[1] = NewDir("dest1");
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(RunJob());

    for (const char* dest : {"/dest0", "/dest1"}) {
        ExpectArrived(first, Root() + dest);
        ExpectArrived(second, Root() + dest);
    }
    for (const char* status : {"trlist0.dst", "trlist1.dst"}) {
        ExpectRecorded(first, status);
        ExpectRecorded(second, status);
    }
    EXPECT_FALSE(FileExists(first.Dir() + "/Inconnu/trlist0.dst"));
    // The record shows the last tracked directory's totals over both destinations, and its
    // last file: the last filter of SHOP9 (filters go in ascending order).
    TServiceStateRecord record = Record();
    EXPECT_EQ(+record.FilesOk, 2 * second.Sent().size());
    EXPECT_EQ(+record.FilesBad, 0u);
    EXPECT_STREQ(record.LastOkFile, "SHOP9/filters/f2.fif");
    EXPECT_STREQ(record.LastErrorText, "");
    std::vector<std::string> summaries = Matching(LogMessages(), "processed ");
    ASSERT_EQ(summaries.size(), 2u);
    EXPECT_EQ(summaries[0].rfind(Format("processed %d files OK, 0 files bad, elapsed ",
                                        static_cast<int>(2 * first.Sent().size())),
                                 0),
              0u)
        << summaries[0];

    // Nothing new: nothing is sent again.
    const size_t before = LogMessages().size();
    ASSERT_TRUE(RunJob());
    EXPECT_TRUE(Matching(LogMessagesFrom(before), "processed ").empty());

    // A changed and a new file go again, to both destinations, and only they.
    WriteTextFile(first.Dir() + "/SHOP1/caisse/b.txt", "changed ticket, longer than before\n");
    WriteTextFile(first.Dir() + "/shop3/caisse/c.txt", "new ticket");
    fs::remove(Root() + "/dest0/SHOP1/caisse/a.txt");
    ASSERT_TRUE(RunJob());
    StopService();
    std::vector<std::string> again = Matching(LogMessagesFrom(before), "processed ");
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].rfind("processed 4 files OK, 0 files bad", 0), 0u) << again[0];
    for (const char* dest : {"/dest0", "/dest1"}) {
        EXPECT_EQ(ReadTextFile(Root() + dest + "/SHOP1/caisse/b.txt"),
                  "changed ticket, longer than before\n");
        EXPECT_EQ(ReadTextFile(Root() + dest + "/shop3/caisse/c.txt"), "new ticket");
    }
    // A file removed at the destination is not sent again: the status file says it was sent.
    EXPECT_FALSE(FileExists(Root() + "/dest0/SHOP1/caisse/a.txt"));
}

TEST_F(KvService, ShopNameWithAnAccentSkipsItsTrackedDirectoryOnly) {
    TrackedTree bad(Root(), "export");
    bad.AddShop("SHOP1");
    bad.AddShop("Caf\xc3\xa9");
    TrackedTree good(Root(), "more");
    good.AddShop("SHOP2");
    Cfg.TrackDirectory[0] = bad.Dir();
    Cfg.TrackDirectory[1] = good.Dir();
    Cfg.Destination[0] = NewDir("dest");
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(RunJob());
    ASSERT_TRUE(RunJob());

    const std::string error =
        "Mauvais charact\xc3\xa8re '\xc3\xa9' dans le nom du magasin Caf\xc3\xa9";
    EXPECT_EQ(CountLogged(error), 2u) << "once per job";
    EXPECT_STREQ(Record().LastErrorText, error.c_str());
    ExpectArrived(good, Root() + "/dest");
    ExpectRecorded(good, "trlist0.dst");
    EXPECT_FALSE(FileExists(Root() + "/dest/SHOP1"));
    EXPECT_FALSE(FileExists(Root() + "/dest/export"));
    for (const std::string& dir : bad.SourceDirs())
        EXPECT_FALSE(FileExists(dir + "/trlist0.dst")) << dir;

    // Once the shop has an acceptable name the tracked directory goes out.
    fs::rename(bad.Dir() + "/Caf\xc3\xa9", bad.Dir() + "/Cafe");
    ASSERT_TRUE(RunJob());
    StopService();
    EXPECT_EQ(CountLogged(error), 2u);
    EXPECT_EQ(ReadTextFile(Root() + "/dest/SHOP1/caisse/b.txt"), "ticket b of SHOP1\n");
    EXPECT_EQ(ReadTextFile(Root() + "/dest/Cafe/shopinfo.arg"), "[Shop]\r\nName=Caf\xc3\xa9\r\n");
}

TEST_F(KvService, CountingFileIsRenamedAndSent) {
    TrackedTree tree(Root(), "export");
    tree.Add("SHOP1/shopinfo.arg", "info", "SHOP1/shopinfo.arg");
    fs::create_directories(tree.Dir() + "/SHOP1/tallix");
    WriteTextFile(tree.Dir() + "/SHOP1/tallix/COUNT.COR", "visitors 123");
    WriteTextFile(tree.Dir() + "/SHOP1/tallix/count.scb", "an older count, replaced");
    WriteTextFile(tree.Dir() + "/SHOP1/tallix/Day.Two.cor", "visitors 45");
    Cfg.TrackDirectory[0] = tree.Dir();
    Cfg.Destination[0] = NewDir("dest");
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(RunJob());
    StopService();

    const std::string tallix = tree.Dir() + "/SHOP1/tallix";
    EXPECT_FALSE(FileExists(tallix + "/COUNT.COR"));
    EXPECT_FALSE(FileExists(tallix + "/Day.Two.cor"));
    EXPECT_EQ(ReadTextFile(tallix + "/count.scb"), "visitors 123");
    EXPECT_EQ(ReadTextFile(Root() + "/dest/SHOP1/tallix/count.scb"), "visitors 123");
    EXPECT_EQ(ReadTextFile(Root() + "/dest/SHOP1/tallix/day.two.scb"), "visitors 45");
    EXPECT_EQ(RecordedFiles(tallix + "/trlist0.dst"),
              (std::map<std::string, int64_t>{{"count.scb", 12}, {"day.two.scb", 11}}));
}

// A stop while thousands of files go out ends the service within seconds; what the status file
// records arrived whole, and the next run sends the rest.
TEST_F(KvService, StopInTheMiddleOfALongCopyJob) {
    constexpr int Count = 2000;
    TrackedTree tree(Root(), "export");
    tree.Add("SHOP1/shopinfo.arg", "info", "SHOP1/shopinfo.arg");
    for (int i = 0; i < Count; ++i)
        tree.Add(Format("SHOP1/caisse/t%04d.txt", i),
                 Format("ticket %d\n", i) + std::string(i % 97, 'x'),
                 Format("SHOP1/caisse/t%04d.txt", i));
    Cfg.TrackDirectory[0] = tree.Dir();
    Cfg.Destination[0] = NewDir("dest");
    ASSERT_TRUE(StartService());
    TriggerJob();
    ASSERT_TRUE(WaitFor([&] { return Record().LastOkFile[0] == 'S'; }, 20000));
    EXPECT_LT(StopService(), 5000ms);

    const std::string caisse = tree.Dir() + "/SHOP1/caisse";
    const std::string destCaisse = Root() + "/dest/SHOP1/caisse";
    size_t recorded = CheckRecordedArrivedWhole(caisse, "trlist0.dst", destCaisse);
    EXPECT_GT(recorded, 0u);
    EXPECT_LT(recorded, static_cast<size_t>(Count)) << "the job was not stopped";
    size_t arrived = static_cast<size_t>(std::distance(fs::directory_iterator(destCaisse), {}));
    EXPECT_EQ(arrived, recorded) << "a file was copied but not recorded";
    std::vector<std::string> log = LogMessages();
    EXPECT_NE(std::find(log.begin(), log.end(), "KelvardSvc service stopped"), log.end());

    ASSERT_TRUE(StartService());
    ASSERT_TRUE(RunJob(40000));
    StopService();
    EXPECT_EQ(CheckRecordedArrivedWhole(caisse, "trlist0.dst", destCaisse),
              static_cast<size_t>(Count));
    ExpectArrived(tree, Root() + "/dest");
}

namespace {

// Whether this process has a file open in `dir` that has no name there (an unnamed temporary
// file, or one whose name is gone).
bool HoldsUnnamedFileIn(const std::string& dir) {
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const std::string target = fs::read_symlink(entry.path(), ec).string();
        if (!ec && target.starts_with(dir + "/") && target.ends_with(" (deleted)"))
            return true;
    }
    return false;
}

} // namespace

// A stop during the copy of a 4 GiB file (512 MiB of it data, the rest holes) ends the service
// within a second or two: the file is neither sent nor failed, and nothing of it is left at
// the destination.
TEST_F(KvService, StopDuringTheCopyOfABigFile) {
    TrackedTree tree(Root(), "export");
    tree.Add("SHOP1/shopinfo.arg", "info", "SHOP1/shopinfo.arg");
    const std::string big = tree.Dir() + "/SHOP1/caisse/big.txt";
    fs::create_directories(tree.Dir() + "/SHOP1/caisse");
    {
        const std::string piece(1 << 20, 'd');
        std::ofstream out(big, std::ios::binary);
        for (int64_t offset = 0; offset < (4LL << 30); offset += 8 << 20) {
            out.seekp(offset);
            out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
        }
    }
    fs::resize_file(big, 4ULL << 30);
    Cfg.TrackDirectory[0] = tree.Dir();
    Cfg.Destination[0] = NewDir("dest");
    const std::string destCaisse = Root() + "/dest/SHOP1/caisse";
    ASSERT_TRUE(StartService());
    TriggerJob();
    ASSERT_TRUE(
        WaitFor([&] { return fs::exists(destCaisse) && HoldsUnnamedFileIn(destCaisse); }, 20000));
    const auto took = StopService();
    std::printf("stopped %lld ms after the request, during the copy\n",
                static_cast<long long>(took.count()));
    EXPECT_LT(took, 2000ms);
    EXPECT_FALSE(HoldsUnnamedFileIn(destCaisse));
    EXPECT_TRUE(fs::is_empty(destCaisse)) << "a temporary file or the file itself was left";
    EXPECT_EQ(RecordedFiles(tree.Dir() + "/SHOP1/caisse/trlist0.dst").count("big.txt"), 0u);
    EXPECT_STREQ(Record().LastBadFile, "");
    EXPECT_EQ(ReadTextFile(Root() + "/dest/SHOP1/shopinfo.arg"), "info");
}

// Registers spell the data-kind directories as they like: at the destination they are under
// their lower-case names, beside a shop that uses those, while the log and the last file keep
// the source's spelling.
TEST_F(KvService, DataKindDirectoriesInAnotherCaseArriveUnderTheLowerCaseNames) {
    TrackedTree tree(Root(), "export");
    tree.AddShop("SHOP1");
    tree.Add("SHOP2/shopinfo.arg", "info", "SHOP2/shopinfo.arg");
    tree.Add("SHOP2/Caisse/t1.txt", "ticket 1", "SHOP2/caisse/t1.txt");
    tree.Add("SHOP2/Caisse/T2.TXT", std::string("ticket\0\xff 2", 10), "SHOP2/caisse/T2.TXT");
    tree.Add("SHOP2/Filters/F1.fif", "filter", "SHOP2/filters/F1.fif");
    fs::create_directories(tree.Dir() + "/SHOP2/TALLIX");
    WriteTextFile(tree.Dir() + "/SHOP2/TALLIX/COUNT.COR", "visitors 7");
    Cfg.TrackDirectory[0] = tree.Dir();
    Cfg.Destination[0] = NewDir("dest");
    Cfg.LogDetailed = true;
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(RunJob());
    StopService();

    const std::string dest = Root() + "/dest/SHOP2";
    ExpectArrived(tree, Root() + "/dest");
    EXPECT_EQ(ReadTextFile(dest + "/tallix/count.scb"), "visitors 7");
    for (const char* onDisk : {"Caisse", "TALLIX", "Filters"})
        EXPECT_FALSE(fs::exists(dest + "/" + onDisk)) << onDisk;
    ExpectRecorded(tree, "trlist0.dst");
    EXPECT_EQ(RecordedFiles(tree.Dir() + "/SHOP2/TALLIX/trlist0.dst"),
              (std::map<std::string, int64_t>{{"count.scb", 10}}));
    const std::vector<std::string> log = LogMessages();
    const std::string sent = langtext::TransmittingFile + tree.Dir() + "/SHOP2/Caisse/t1.txt";
    EXPECT_NE(std::find(log.begin(), log.end(), sent), log.end());
    EXPECT_STREQ(Record().LastOkFile, "SHOP2/Filters/F1.fif");
}

// A user who writes into the shops swaps directories and files for links to root's while a
// long job runs. Nothing behind a link reaches the destination or gets a status file; what
// the swaps held back goes with a later job once they are undone.
TEST_F(KvService, DirectoriesAndFilesSwappedForLinksDuringAJobAreNotFollowed) {
    constexpr int Count = 3000;
    TrackedTree tree(Root(), "export");
    for (int i = 0; i < Count; ++i)
        tree.Add(Format("SHOP1/caisse/t%04d.txt", i), Format("ticket %d", i),
                 Format("SHOP1/caisse/t%04d.txt", i));
    tree.AddShop("SHOP2");
    const std::string secret = NewDir("secret");
    ASSERT_EQ(chmod(secret.c_str(), 0700), 0);
    for (const char* name : {"a.txt", "b.txt", "t0000.txt", "t0001.txt"})
        WriteTextFile(secret + "/" + name, "root only");
    const std::string caisse1 = tree.Dir() + "/SHOP1/caisse";
    const std::string caisse2 = tree.Dir() + "/SHOP2/caisse";
    const std::string dest = Root() + "/dest";
    Cfg.TrackDirectory[0] = tree.Dir();
    Cfg.Destination[0] = dest;
    auto nothingSecretSent = [&] {
        for (const auto& entry : fs::recursive_directory_iterator(dest))
            EXPECT_FALSE(entry.is_regular_file() && ReadTextFile(entry.path()) == "root only")
                << entry.path();
        EXPECT_EQ(std::distance(fs::directory_iterator(secret), {}), 4) << "written into";
    };
    auto swapDir = [](const std::string& dir, const std::string& target) {
        fs::rename(dir, dir + ".moved");
        fs::create_symlink(target, dir);
    };
    auto undoDir = [](const std::string& dir) {
        fs::remove(dir);
        fs::rename(dir + ".moved", dir);
    };

    // Job 1: SHOP1/caisse while its files go, SHOP2/caisse before it is listed.
    ASSERT_TRUE(StartService());
    TriggerJob();
    ASSERT_TRUE(WaitFor([&] { return Record().LastOkFile[0] == 'S'; }, 20000));
    swapDir(caisse1, secret);
    swapDir(caisse2, secret);
    ASSERT_TRUE(WaitJobEnded(60000));
    nothingSecretSent();
    const size_t recorded =
        CheckRecordedArrivedWhole(caisse1 + ".moved", "trlist0.dst", dest + "/SHOP1/caisse");
    EXPECT_GT(recorded, 0u);
    EXPECT_LT(recorded, static_cast<size_t>(Count)) << "the swap came too late";
    EXPECT_EQ(
        static_cast<size_t>(std::distance(fs::directory_iterator(dest + "/SHOP1/caisse"), {})),
        recorded);
    EXPECT_FALSE(fs::exists(dest + "/SHOP2/caisse"));
    // The last error of the job (the log itself, long with the files that failed after the
    // swap, has been trimmed away).
    const TServiceStateRecord record = Record();
    EXPECT_EQ(std::string(record.LastErrorText), Formatted(langtext::DirectoryDoesNotExist, caisse2)
                                                     .substr(0, sizeof record.LastErrorText - 1));
    undoDir(caisse1);
    undoDir(caisse2);

    // Job 2: a listed file that has not gone yet (the last in descending order).
    TriggerJob();
    ASSERT_TRUE(
        WaitFor([&] { return std::string(Record().LastOkFile).starts_with("SHOP1/"); }, 20000));
    fs::rename(caisse1 + "/t0000.txt", caisse1 + "/t0000.moved");
    fs::create_symlink(secret + "/t0000.txt", caisse1 + "/t0000.txt");
    ASSERT_TRUE(WaitJobEnded(60000));
    nothingSecretSent();
    EXPECT_FALSE(fs::exists(dest + "/SHOP1/caisse/t0000.txt"));
    EXPECT_EQ(
        CountLogged("Copie impossible de t0000.txt vers SHOP1/caisse : " + SysErrorMessage(ELOOP)),
        1u);
    EXPECT_EQ(RecordedFiles(caisse1 + "/trlist0.dst").size(), static_cast<size_t>(Count - 1));
    fs::remove(caisse1 + "/t0000.txt");
    fs::rename(caisse1 + "/t0000.moved", caisse1 + "/t0000.txt");

    ASSERT_TRUE(RunJob(60000));
    StopService();
    ExpectArrived(tree, dest);
    ExpectRecorded(tree, "trlist0.dst");
    nothingSecretSent();
}

// ---- dial-up through the service ----

namespace {

const std::string ListEntries = "[-t][-f][NAME,TYPE][connection][show]";
const std::string ListActive = "[-t][-f][NAME,UUID,TYPE,DEVICE][connection][show][--active]";
const std::string DialModem = "[connection][up][id][Modem]";
const std::string HangUpModem = "[connection][down][uuid][uuid-m]";

// The service against a stand-in for nmcli (first on PATH while the test runs) that knows the
// phonebook entry "Modem"; dialling it makes it active with the UUID "uuid-m".
class KvDialUp : public KvServiceTest {
protected:
    void SetUp() override {
        nmcli_ = std::make_unique<FakeNmcli>(NewDir("nm"));
        savedSettle_ = SetHangUpSettleTime(0ms);
        nmcli_->SetState("profiles", "Wired connection 1:802-3-ethernet\nModem:gsm\nOffice:vpn\n");
        nmcli_->SetState("up_leaves", "Modem:uuid-m:gsm:ttyUSB0\n");
    }
    void TearDown() override {
        if (Running())
            StopService();
        nmcli_.reset();
        SetHangUpSettleTime(savedSettle_);
    }
    void State(const std::string& name, const std::string& content) {
        nmcli_->SetState(name, content);
    }
    std::vector<std::string> TakeCalls() { return nmcli_->TakeCalls(); }

    std::unique_ptr<FakeNmcli> nmcli_;
    std::chrono::milliseconds savedSettle_{3000};
};

} // namespace

TEST_F(KvDialUp, CopyServiceNeitherDialsNorHangsUpWhateverConnectionHolds) {
    State("active", "Modem:uuid-m:gsm:ttyUSB0\n");
    TrackedTree tree(Root(), "export");
    tree.AddShop("SHOP1");
    Cfg.TrackDirectory[0] = tree.Dir();
    Cfg.Destination[0] = NewDir("dest");
    Cfg.Connection = "Modem";
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(RunJob());
    StopService();
    ExpectArrived(tree, Root() + "/dest");
    EXPECT_TRUE(TakeCalls().empty());
    EXPECT_TRUE(Matching(LogMessages(), "Connexion de").empty());
    EXPECT_EQ(nmcli_->StateOf("active"), "Modem:uuid-m:gsm:ttyUSB0\n");
}

TEST_F(KvDialUp, DialledOnceKeptAcrossFilesAndJobsDialledAgainAfterADropHungUpAtStop) {
    KV_SKIP_UNLESS_AVAILABLE(FtpServer);
    FtpServer server;
    TrackedTree tree(Root(), "export");
    tree.Add("SHOP1/caisse/a.txt", "a", "SHOP1/caisse/a.txt");
    tree.Add("SHOP1/caisse/b.txt", "b", "SHOP1/caisse/b.txt");
    tree.Add("SHOP1/caisse/c.txt", "c", "SHOP1/caisse/c.txt");
    Cfg.TrackDirectory[0] = tree.Dir();
    Cfg.Transport = ttFtp;
    Cfg.Destination[0] = server.Host();
    Cfg.Port = server.Port();
    Cfg.Username = server.User();
    Cfg.Password = server.Password();
    Cfg.Connection = "modem"; // the phonebook spells it "Modem"
    Cfg.DisconnDelay = 600;
    ASSERT_TRUE(StartService());
    EXPECT_TRUE(TakeCalls().empty()) << "nothing is dialled before a file goes";

    ASSERT_TRUE(RunJob());
    ExpectArrived(tree, server.RootDir());
    // The first file dials, the two others find the connection up.
    EXPECT_EQ(TakeCalls(),
              (std::vector<std::string>{ListEntries, DialModem, ListActive, ListActive}));
    const std::string connected = Formatted(langtext::DialConnected, "modem");
    EXPECT_EQ(CountLogged(connected), 1u);

    // The next job finds it still up.
    tree.Add("SHOP1/caisse/d.txt", "d", "SHOP1/caisse/d.txt");
    ASSERT_TRUE(RunJob());
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{ListActive}));
    EXPECT_EQ(Service->DialledEntry(), "modem");

    // It dropped: dialled again before the next file.
    State("active", "");
    tree.Add("SHOP1/caisse/e.txt", "e", "SHOP1/caisse/e.txt");
    ASSERT_TRUE(RunJob());
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{ListActive, ListEntries, DialModem}));
    EXPECT_EQ(CountLogged(connected), 2u);
    ExpectArrived(tree, server.RootDir());
    ExpectRecorded(tree, "trlist0.dst");

    // At stop, at once whatever DisconnDelay says.
    EXPECT_LT(StopService(), 3000ms);
    EXPECT_EQ(TakeCalls(), (std::vector<std::string>{ListActive, HangUpModem}));
    std::vector<std::string> log = LogMessages();
    auto hungUp = std::find(log.begin(), log.end(), Formatted(langtext::DialHungUp, "modem"));
    ASSERT_NE(hungUp, log.end());
    EXPECT_LT(hungUp - log.begin(),
              std::find(log.begin(), log.end(), "KelvardSvc service stopped") - log.begin());
    EXPECT_EQ(nmcli_->StateOf("active"), "");
    EXPECT_EQ(Service->DialledEntry(), "");
}

TEST_F(KvDialUp, MissingPhonebookEntryIsLoggedOncePerFileAndTheFilesStillGo) {
    KV_SKIP_UNLESS_AVAILABLE(FtpServer);
    FtpServer server;
    TrackedTree tree(Root(), "export");
    tree.AddShop("SHOP1");
    Cfg.TrackDirectory[0] = tree.Dir();
    Cfg.Transport = ttFtp;
    Cfg.Destination[0] = server.Host();
    Cfg.Port = server.Port();
    Cfg.Username = server.User();
    Cfg.Password = server.Password();
    Cfg.Connection = "Nowhere";
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(RunJob());
    StopService();
    ExpectArrived(tree, server.RootDir());
    ExpectRecorded(tree, "trlist0.dst");
    EXPECT_EQ(CountLogged(Formatted(langtext::DialEntryMissing, "Nowhere")), tree.Sent().size());
    // Nothing was dialled, so nothing is hung up.
    for (const std::string& call : TakeCalls())
        EXPECT_EQ(call, ListEntries);
    EXPECT_TRUE(Matching(LogMessages(), "Connexion de").empty());
}
