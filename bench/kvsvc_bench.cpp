// Benchmarks of the transfer service, each beside its anchor measured in the same run:
//
//   1. a job that finds nothing new over a generated tree (8 tracked directories, 50 shops each,
//      32,000 files in 1,600 data directories) against its floor: a stat walk of the same tree
//      plus one small-file rewrite (temporary file and rename) per scanned directory, which is
//      what the status files cost; also against `find -printf '%s %T@'` (the bare walk);
//   2. a first job that copies 2,000 new files of 1 to 8 KiB in 50 directories against `cp -r`
//      of the same files to the same disk;
//   3. a first job that uploads the same files over FTP, FTPS and SFTP to local servers against
//      one curl process uploading them over one connection to a fresh server of the same kind;
//   4. the peak memory of a service process while it uploads a 1 GiB file over FTP.
//
// The service is a real TKelvardSvc started in this process on its own service thread, as the
// service manager would run it (configuration file, pipes, log); each job is one DoWork call on
// that thread, timed there. Anchors run as child processes, timed from start to end. Every
// figure is the median of several repetitions; the page cache is flushed (sync) before each
// timed run so that one run's write-back does not land in the next.
//
// Usage: kvsvc_bench [--smoke] [--reps N] [--only 1,2,3,4] [--dir DIR] [--jobs-only]
//   --smoke  tiny trees, one repetition, goals not judged: checks that every benchmark runs.
//   --dir DIR    work in DIR (default: the program's directory, as its temporary directory).
//   --jobs-only  benchmarks 1 and 2 without their anchors (for profiling the jobs alone).
// Benchmarks 3 and 4 need the test peers (root, vsftpd, sshd); they are skipped otherwise.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/kvsvc_bench_support.h"
#include "common/langtext.h"
#include "service/kvsrv.h"
#include "service/kvtransfer.h"
#include "tests/support/servers.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
using namespace kvbench;

namespace {

const std::string StatusName = langtext::KvStatusFile0;
constexpr int64_t GiB = int64_t(1) << 30;

struct Options {
    bool smoke = false;
    int reps = 5;
    std::set<int> only;
    bool jobsOnly = false; // the jobs of benchmarks 1 and 2 without anchors, for profiling
    std::string dir;       // where the trees and copies go; empty: the temporary directory
    bool Wants(int bench) const { return only.empty() || only.count(bench) > 0; }
};

// ---- result table ----

struct Row {
    std::string what;
    std::string project; // the project's figure
    std::string anchor;  // which anchor
    std::string anchorFigure;
    double ratio = 0; // project / anchor; 0: none
    std::string goal;
    std::string verdict; // "met", "MISSED", "" (not judged)
};

std::map<int, std::vector<Row>> Table; // by benchmark number
bool GoalMissed = false;

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", s);
    return text;
}

std::string MiB(double kib) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", kib / 1024.0);
    return text;
}

void AddRow(int bench, Row row, const Options& options, std::optional<bool> met) {
    if (met && !options.smoke) {
        row.verdict = *met ? "met" : "MISSED";
        if (!*met)
            GoalMissed = true;
    }
    Table[bench].push_back(std::move(row));
}

void PrintTable() {
    std::printf("\n%-40s %-12s %-34s %-12s %-7s %-9s %s\n", "benchmark", "project", "anchor",
                "anchor fig.", "ratio", "goal", "goal met");
    for (const auto& [bench, rows] : Table) {
        for (const Row& row : rows) {
            char ratio[16] = "";
            if (row.ratio > 0)
                std::snprintf(ratio, sizeof ratio, "%.2f", row.ratio);
            std::printf("%-40s %-12s %-34s %-12s %-7s %-9s %s\n", row.what.c_str(),
                        row.project.c_str(), row.anchor.c_str(), row.anchorFigure.c_str(), ratio,
                        row.goal.c_str(), row.verdict.c_str());
        }
    }
    std::fflush(stdout);
}

void Check(bool condition, const std::string& what) {
    if (!condition)
        throw std::runtime_error(what);
}

// The last error the service logged, for a failed check.
std::string LastError(TKelvardSvc& service) {
    TServiceStateRecord record{};
    service.FillStateRecord(record);
    return record.LastErrorText;
}

void SyncDisk() {
    sync();
}

// Times of the project's run (index 0) and of its anchors' runs over the repetitions. Every
// run starts with the page cache written out. The project runs first in even repetitions and
// last in odd ones, and each ratio is taken between runs of the same repetition: the state of
// the disk drifts (inodes freed in the last minutes make every file creation slower here, by
// an amount that depends on what ran before), and the drift then weighs on both sides alike.
struct Timings {
    std::vector<std::vector<double>> times; // [run][repetition], seconds

    double Of(size_t run) const { return Median(times[run]); }
    // The median over the repetitions of project / anchor `run`.
    double Ratio(size_t run) const {
        std::vector<double> ratios;
        for (size_t rep = 0; rep < times[0].size(); ++rep)
            ratios.push_back(times[0][rep] / times[run][rep]);
        return Median(ratios);
    }
};

// Runs the runs as said above; `names` (one for each run) label the times printed.
Timings Interleave(int reps, const std::vector<std::function<double()>>& runs,
                   const std::vector<std::string>& names) {
    Timings timings;
    timings.times.resize(runs.size());
    for (int rep = 0; rep < reps; ++rep) {
        for (size_t k = 0; k < runs.size(); ++k) {
            const size_t run = rep % 2 == 0 ? k : (k + 1) % runs.size();
            SyncDisk();
            timings.times[run].push_back(runs[run]());
        }
    }
    for (size_t run = 0; run < runs.size(); ++run) {
        std::printf("   %-30s", names[run].c_str());
        for (double seconds : timings.times[run])
            std::printf(" %7.3f", seconds);
        std::printf("  s\n");
    }
    std::fflush(stdout);
    return timings;
}

// Seconds that `action` takes.
double Timed(const std::function<void()>& action) {
    const auto start = Clock::now();
    action();
    return SecondsSince(start);
}

// A configuration that tracks the directories of `tree` and copies to `dest`.
void SetCopyConfig(TTransportConfig& config, const Tree& tree, const std::string& dest) {
    config.Transport = ttCopy;
    config.Destination[0] = dest;
    for (size_t i = 0; i < tree.trackedDirs.size(); ++i)
        config.TrackDirectory[i] = tree.trackedDirs[i];
}

// A shop of the copy and upload trees: its own directory and one data directory, the kind
// changing from shop to shop.
std::vector<DirLayout> TwoDirShop(int shop, int filesPerDir) {
    static const DirLayout kinds[] = {
        {"tallix", "scb", 0}, {"caisse", "txt", 0}, {"filters", "fif", 0}};
    DirLayout data = kinds[shop % 3];
    data.files = filesPerDir;
    return {{"", "arg", filesPerDir}, data};
}

// ---- 1. a job that finds nothing new ----

void BenchNoNews(const Options& options, const std::string& work) {
    TreeLayout layout;
    layout.trackedDirs = options.smoke ? 2 : 8;
    layout.shops = options.smoke ? 3 : 50;
    const int perKind = options.smoke ? 4 : 26;
    layout.shopDirs = [perKind](int) {
        return std::vector<DirLayout>{{"", "arg", 2},
                                      {"tallix", "scb", perKind},
                                      {"caisse", "txt", perKind},
                                      {"filters", "fif", perKind}};
    };
    layout.minSize = 100;
    layout.maxSize = 2000;
    std::printf("1. job finding nothing new: generating the tree...\n");
    std::fflush(stdout);
    const std::string root = work + "/scan";
    const Tree tree = MakeTree(root, layout, 1);
    PrimeStatusFiles(tree, StatusName);
    const std::string dest = work + "/scan-dest";
    fs::create_directories(dest);
    std::printf("   %zu files in %zu data directories, %zu tracked directories\n",
                tree.files.size(), tree.dataDirs.size(), tree.trackedDirs.size());

    FloorWalk floor(tree.trackedDirs, StatusName);
    int64_t entries = 0, rewrites = 0;
    const std::string prog = work + "/prog-scan";
    fs::create_directories(prog);
    TTransportConfig config;
    SetCopyConfig(config, tree, dest);
    Timings t;
    RunInService(prog, config, [&](TKelvardSvc& service) {
        service.DoWork(); // warms the caches as the later runs find them
        std::vector<std::function<double()>> runs = {[&] {
            const double seconds = Timed([&] { service.DoWork(); });
            Check(CountFiles(dest) == 0, "the job sent files: " + LastError(service));
            return seconds;
        }};
        if (!options.jobsOnly) {
            runs.push_back([&] { return floor.Run(false, entries, rewrites); });
            runs.push_back([&] { return floor.Run(true, entries, rewrites); });
            runs.push_back([&] {
                ProcessResult found =
                    RunProcess({"find", root, "-printf", "%s %T@\n"}, work + "/anchors.log");
                Check(found.status == 0, "find failed");
                return found.seconds;
            });
        }
        t = Interleave(options.reps, runs, {"job", "floor", "floor, flushed", "find"});
    });
    if (options.jobsOnly) {
        std::printf("   job: %s (median of %d)\n", Seconds(t.Of(0)).c_str(), options.reps);
        return;
    }
    Check(rewrites == static_cast<int64_t>(tree.dataDirs.size()),
          "the floor rewrote " + std::to_string(rewrites) + " status files");
    char what[64];
    std::snprintf(what, sizeof what, "1 no-news job, %zu files", tree.files.size());
    AddRow(1,
           {what, Seconds(t.Of(0)), "floor: stat walk + rewrite/dir", Seconds(t.Of(1)), t.Ratio(1),
            "<= 1.5", ""},
           options, t.Ratio(1) <= 1.5);
    AddRow(1,
           {"", "", "floor, rewrite flushed (fsync)", Seconds(t.Of(2)), t.Ratio(2), "(info)", ""},
           options, std::nullopt);
    AddRow(1, {"", "", "find -printf '%s %T@'", Seconds(t.Of(3)), t.Ratio(3), "(info)", ""},
           options, std::nullopt);
    // The tree stays until the end: removing 32,000 files now would slow down the creations
    // of the next benchmarks for minutes.
}

// ---- 2. a first job that copies new files ----

TreeLayout SmallFilesLayout(const Options& options) {
    TreeLayout layout;
    layout.trackedDirs = 1;
    layout.shops = options.smoke ? 2 : 25; // two directories each: 50 directories
    const int perDir = options.smoke ? 5 : 40;
    layout.shopDirs = [perDir](int shop) { return TwoDirShop(shop, perDir); };
    layout.minSize = 1024;
    layout.maxSize = 8192;
    return layout;
}

void BenchCopy(const Options& options, const std::string& work, const Tree& tree) {
    std::printf("2. first job copying new files\n");
    const auto count = static_cast<int64_t>(tree.files.size());
    // Each run copies into a directory of its own, all removed at the end: removing thousands
    // of files between runs would slow down the creations of the next run. The job's and cp's
    // directories share one parent, so that the file system places them alike (new files of a
    // file system without journal cost more in a place where many were removed lately).
    const std::string dest = work + "/copies";
    fs::create_directories(dest);
    const std::string prog = work + "/prog-copy";
    fs::create_directories(prog);
    TTransportConfig config;
    SetCopyConfig(config, tree, dest);
    Timings t;
    RunInService(prog, config, [&](TKelvardSvc& service) {
        int jobRun = 0, cpRun = 0;
        const auto job = [&] {
            const std::string to = dest + "/job" + std::to_string(jobRun++);
            RemoveStatusFiles(tree, StatusName);
            service.TransportConfig().Destination[0] = to;
            SyncDisk();
            const double seconds = Timed([&] { service.DoWork(); });
            int64_t bytes = 0;
            Check(CountFiles(to, &bytes) == count && bytes == tree.bytes,
                  "the job did not copy every file: " + LastError(service));
            return seconds;
        };
        const auto cp = [&] {
            const std::string to = dest + "/cp" + std::to_string(cpRun++);
            // cp copies what the tree holds: the same files, without the job's status files.
            RemoveStatusFiles(tree, StatusName);
            SyncDisk();
            ProcessResult copied =
                RunProcess({"cp", "-r", tree.trackedDirs[0], to}, work + "/anchors.log");
            Check(copied.status == 0 && CountFiles(to) == count, "cp -r failed");
            return copied.seconds;
        };
        if (options.jobsOnly)
            t = Interleave(options.reps, {job}, {"job"});
        else
            t = Interleave(options.reps, {job, cp}, {"job", "cp -r"});
    });
    if (options.jobsOnly)
        return;
    char what[64];
    std::snprintf(what, sizeof what, "2 first job, COPY %lld files", static_cast<long long>(count));
    AddRow(2, {what, Seconds(t.Of(0)), "cp -r", Seconds(t.Of(1)), t.Ratio(1), "<= 2", ""}, options,
           t.Ratio(1) <= 2.0);
}

// ---- 3. a first job that uploads new files ----

// One fresh server of a kind, ready for the uploads of `tree`.
class Peer {
public:
    Peer(TTransferType type, const Tree& tree) : type_(type) {
        if (type == ttSftp) {
            sftp_.emplace();
            // The chroot directory is not writable by the account: every top-level directory
            // of the destination layout is made beforehand.
            std::set<std::string> top;
            for (const std::string& file : tree.files)
                top.insert(TopDirectory(file));
            for (const std::string& dir : top)
                sftp_->AddUploadDir(dir);
        } else {
            ftp_.emplace(FtpOptions{.tls = type == ttFtps, .requireSslReuse = true});
        }
    }
    const PeerServer& Server() const {
        return sftp_ ? static_cast<const PeerServer&>(*sftp_) : *ftp_;
    }
    std::string User() const { return sftp_ ? sftp_->User() : ftp_->User(); }
    std::string Password() const { return sftp_ ? sftp_->Password() : ftp_->Password(); }
    std::string RootDir() const { return sftp_ ? sftp_->RootDir() : ftp_->RootDir(); }
    // The address the service uploads `file` to.
    std::string UrlOf(const std::string& file) const {
        const std::string sub = DestinationSubPath(file, "/");
        return UploadAddress(TransferTypeToUrlScheme(type_), Server().Host(), Server().Port(),
                             "/" + sub, fs::path(file).filename().string());
    }
    static std::string TopDirectory(const std::string& file) {
        const std::string sub = DestinationSubPath(file, "/");
        return sub.substr(0, sub.find('/'));
    }

private:
    TTransferType type_;
    std::optional<FtpServer> ftp_;
    std::optional<SftpServer> sftp_;
};

// A curl configuration file: every file of `files` uploaded, in this order, by one process
// over one connection, with the service's transfer options.
std::string WriteCurlConfig(const std::string& path, TTransferType type, const Peer& peer,
                            const std::vector<std::string>& files) {
    std::ofstream out(path, std::ios::trunc);
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    out << "silent\nshow-error\nuser = \"" << peer.User() << ":" << peer.Password() << "\"\n";
    out << "ftp-create-dirs\ninsecure\n";
    if (type != ttSftp)
        out << "disable-epsv\n";
    if (type == ttFtps)
        out << "ssl-reqd\ntlsv1.2\ntls-max = 1.2\n";
    for (const std::string& file : files)
        out << "upload-file = \"" << file << "\"\nurl = \"" << peer.UrlOf(file) << "\"\n";
    if (!out)
        throw std::runtime_error("cannot write " + path);
    return path;
}

void BenchUpload(const Options& options, const std::string& work, const Tree& tree) {
    const auto count = static_cast<int64_t>(tree.files.size());
    const std::string prog = work + "/prog-upload";
    fs::create_directories(prog);
    const std::vector<TTransferType> types = {ttFtp, ttFtps, ttSftp};
    const std::string keep = work + "/uploaded";
    fs::create_directories(keep);
    std::vector<Timings> t(types.size());
    TTransportConfig initial;
    SetCopyConfig(initial, tree, work);
    RunInService(prog, initial, [&](TKelvardSvc& service) {
        TTransportConfig& config = service.TransportConfig();
        for (size_t k = 0; k < types.size(); ++k) {
            const std::string name = TransferTypeToName(types[k]);
            const auto job = [&] {
                Peer peer(types[k], tree);
                RemoveStatusFiles(tree, StatusName);
                config.Transport = types[k];
                config.Destination[0] = peer.Server().Host();
                config.Port = peer.Server().Port();
                config.Username = peer.User();
                config.Password = peer.Password();
                SyncDisk();
                const double seconds = Timed([&] { service.DoWork(); });
                int64_t bytes = 0;
                Check(CountFiles(peer.RootDir(), &bytes) == count && bytes == tree.bytes,
                      name + ": the job did not upload every file: " + LastError(service));
                SetAside(peer.RootDir(), keep);
                return seconds;
            };
            const auto curl = [&] {
                Peer peer(types[k], tree);
                const std::string curlConfig =
                    WriteCurlConfig(work + "/curl.cfg", types[k], peer, tree.files);
                SyncDisk();
                ProcessResult sent = RunProcess({"curl", "-K", curlConfig}, work + "/anchors.log");
                int64_t bytes = 0;
                Check(sent.status == 0 && CountFiles(peer.RootDir(), &bytes) == count &&
                          bytes == tree.bytes,
                      name + ": curl did not upload every file (exit " +
                          std::to_string(sent.status) + ")");
                SetAside(peer.RootDir(), keep);
                return sent.seconds;
            };
            std::printf("3. %s uploads\n", name.c_str());
            t[k] = Interleave(options.reps, {job, curl}, {"job", "curl"});
        }
    });
    for (size_t k = 0; k < types.size(); ++k) {
        char what[64];
        std::snprintf(what, sizeof what, "3 first job, %s %lld files",
                      TransferTypeToName(types[k]).c_str(), static_cast<long long>(count));
        AddRow(3,
               {what, Seconds(t[k].Of(0)), "curl, one process, one connection", Seconds(t[k].Of(1)),
                t[k].Ratio(1), "<= 1.2", ""},
               options, t[k].Ratio(1) <= 1.2);
    }
}

// ---- 4. peak memory of a large upload ----

std::string SelfPath() {
    return fs::read_symlink("/proc/self/exe").string();
}

// The child process of benchmark 4: one job of a service configured in `prog`. Prints the
// counts of the job and the process's peak resident set.
int MemoryChild(const std::string& prog) {
    TTransportConfig config;
    config.LoadFromFile(prog + "/" + langtext::KvIniFileName);
    TServiceStateRecord record{};
    RunInService(prog, config, [&](TKelvardSvc& service) {
        service.DoWork();
        service.FillStateRecord(record);
    });
    std::ifstream status("/proc/self/status");
    std::string line, hwm;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            hwm = line;
    std::printf("sent %u failed %u error \"%s\" %s\n", record.FilesOk, record.FilesBad,
                record.LastErrorText, hwm.c_str());
    return record.FilesOk == 1 && record.FilesBad == 0 ? 0 : 1;
}

void BenchMemory(const Options& options, const std::string& work) {
    const int64_t size = options.smoke ? 16 << 20 : GiB;
    if (FreeBytes(work) < static_cast<uint64_t>(size) * 3) {
        std::printf("4. peak memory: skipped, less than %lld MiB free on %s\n",
                    static_cast<long long>(size * 3 >> 20), work.c_str());
        return;
    }
    const std::string tracked = work + "/big/export01";
    const std::string caisse = tracked + "/SHOP001/caisse";
    fs::create_directories(caisse);
    const std::string big = caisse + "/big.txt";
    { std::ofstream create(big); }
    fs::resize_file(big, static_cast<uintmax_t>(size)); // sparse: read back as zeros
    const std::string prog = work + "/prog-big";
    fs::create_directories(prog);

    long serviceKiB = 0, curlKiB = 0;
    std::string childLine;
    {
        FtpServer server;
        TTransportConfig config;
        config.Transport = ttFtp;
        config.Destination[0] = server.Host();
        config.Port = server.Port();
        config.Username = server.User();
        config.Password = server.Password();
        config.TrackDirectory[0] = tracked;
        config.SaveToFile(prog + "/" + langtext::KvIniFileName);
        fs::permissions(prog + "/" + langtext::KvIniFileName,
                        fs::perms::owner_read | fs::perms::owner_write);
        ProcessResult child =
            RunMeasured({SelfPath(), "--memory-child", prog}, work + "/child.log", true);
        childLine = child.output;
        const std::string arrived = server.RootDir() + "/SHOP001/caisse/big.txt";
        Check(child.status == 0 && fs::file_size(arrived) == static_cast<uintmax_t>(size),
              "the service's upload of the large file failed: " + child.output);
        fs::remove(arrived);
        serviceKiB = child.maxRssKiB;
    }
    {
        FtpServer server;
        const std::string config = work + "/curl-big.cfg";
        {
            std::ofstream out(config, std::ios::trunc);
            fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write);
            out << "silent\nshow-error\nftp-create-dirs\ndisable-epsv\nuser = \"" << server.User()
                << ":" << server.Password() << "\"\nupload-file = \"" << big << "\"\nurl = \""
                << server.Url("SHOP001/caisse/big.txt") << "\"\n";
        }
        ProcessResult sent = RunMeasured({"curl", "-K", config}, work + "/anchors.log");
        const std::string arrived = server.RootDir() + "/SHOP001/caisse/big.txt";
        Check(sent.status == 0 && fs::file_size(arrived) == static_cast<uintmax_t>(size),
              "curl's upload of the large file failed");
        fs::remove(arrived);
        curlKiB = sent.maxRssKiB;
    }
    fs::remove_all(work + "/big");
    std::printf("4. service child: %s", childLine.c_str());
    char what[64];
    std::snprintf(what, sizeof what, "4 peak memory, FTP upload of %lld MiB",
                  static_cast<long long>(size >> 20));
    AddRow(4,
           {what, MiB(static_cast<double>(serviceKiB)), "curl, same upload (peak memory)",
            MiB(static_cast<double>(curlKiB)),
            static_cast<double>(serviceKiB) / static_cast<double>(curlKiB), "< 64 MiB", ""},
           options, serviceKiB < 64 * 1024);
    // What the launcher itself passes on to any program it starts: the least figure possible.
    const long floorKiB = RunMeasured({"true"}, work + "/anchors.log").maxRssKiB;
    AddRow(4,
           {"", "", "measuring floor: the program true", MiB(static_cast<double>(floorKiB)), 0,
            "(info)", ""},
           options, std::nullopt);
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--smoke") {
            options.smoke = true;
            options.reps = 1;
        } else if (arg == "--dir" && i + 1 < argc) {
            options.dir = argv[++i];
        } else if (arg == "--jobs-only") {
            options.jobsOnly = true;
        } else if (arg == "--reps" && i + 1 < argc) {
            options.reps = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--only" && i + 1 < argc) {
            for (const char* p = argv[++i]; *p; ++p)
                if (*p >= '1' && *p <= '4')
                    options.only.insert(*p - '0');
        } else {
            throw std::invalid_argument("usage: kvsvc_bench [--smoke] [--reps N] [--only 1,2,3,4] "
                                        "[--dir DIR] [--jobs-only]");
        }
    }
    return options;
}

int RunBenchmarks(const Options& options) {
    // The program's start-up points TMPDIR at the program's directory; --dir moves the trees,
    // the copies and the FTP server's files (not the SFTP chroot, which must be root-owned).
    if (!options.dir.empty())
        ::setenv("TMPDIR", options.dir.c_str(), 1);
    TempDir work;
    const std::string root = work.File("svcroot");
    fs::create_directories(root);
    ::setenv("SVCMGR_ROOT", root.c_str(), 1);
    // The scan of benchmark 1 replaces thousands of status files, and every replaced file
    // makes new files slower to create for a few minutes on this kind of file system: the
    // copies and uploads run first.
    if (options.Wants(2) || options.Wants(3)) {
        std::printf("2/3. generating the tree of new files...\n");
        std::fflush(stdout);
        const Tree tree = MakeTree(work.File("new"), SmallFilesLayout(options), 2);
        std::printf("   %zu files, %lld bytes, %zu directories\n", tree.files.size(),
                    static_cast<long long>(tree.bytes), tree.dataDirs.size());
        if (options.Wants(2))
            BenchCopy(options, work.Path(), tree);
        if (options.Wants(3)) {
            std::string reason = FtpServer::UnavailableReason();
            if (reason.empty())
                reason = SftpServer::UnavailableReason();
            if (reason.empty())
                BenchUpload(options, work.Path(), tree);
            else
                std::printf("3. uploads: skipped: %s\n", reason.c_str());
        }
    }
    if (options.Wants(1))
        BenchNoNews(options, work.Path());
    if (options.Wants(4)) {
        const std::string reason = FtpServer::UnavailableReason();
        if (reason.empty())
            BenchMemory(options, work.Path());
        else
            std::printf("4. peak memory: skipped: %s\n", reason.c_str());
    }
    PrintTable();
    if (options.smoke)
        return 0;
    std::printf("%s\n", GoalMissed ? "at least one goal MISSED" : "every goal met");
    return GoalMissed ? 2 : 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc >= 3 && std::strcmp(argv[1], LauncherSwitch) == 0)
            return RunLauncher(argv + 2);
        if (argc == 3 && std::strcmp(argv[1], "--memory-child") == 0)
            return MemoryChild(argv[2]);
        return RunBenchmarks(ParseOptions(argc, argv));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kvsvc_bench: %s\n", e.what());
        return 1;
    }
}
