// Pieces of the transfer-service benchmarks: generated shop trees, the anchors' programs run as
// child processes with their wall time and peak memory, the floor of a job (a stat walk plus one
// small-file rewrite per scanned directory), and a TKelvardSvc run in-process on its own service
// thread, as under the service manager, so that a job (DoWork) can be timed on that thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/trconfig.h"

class TKelvardSvc;

namespace kvbench {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start);
double Median(std::vector<double> values);

// One directory of a shop: its sub-directory ("" for the shop directory itself), the extension
// of its files and how many there are. The shop directory's files are "shopinfo.arg", "x.arg",
// then "x001.arg" and on.
struct DirLayout {
    std::string sub;
    std::string ext;
    int files = 0;
};

struct TreeLayout {
    int trackedDirs = 1;
    int shops = 1;
    // The directories of shop number `shop` (0-based).
    std::function<std::vector<DirLayout>(int shop)> shopDirs;
    size_t minSize = 1;
    size_t maxSize = 1;
};

struct Tree {
    std::vector<std::string> trackedDirs;
    // Every directory that holds data files, with the extension of its chain entry.
    std::vector<std::pair<std::string, std::string>> dataDirs;
    std::vector<std::string> files;
    int64_t bytes = 0;
};

// Creates `root`/export01 ... with `layout.shops` shops ("SHOP001" ...) each; file contents are
// random, sizes uniform in [minSize, maxSize].
Tree MakeTree(const std::string& root, const TreeLayout& layout, uint32_t seed);

// Writes the status file `statusName` of every data directory as a job that sent every file
// would leave it (the service's own status-list code), so that the next job finds nothing new.
void PrimeStatusFiles(const Tree& tree, const std::string& statusName);
// Removes the status file `statusName` of every data directory: the next job is a first job.
void RemoveStatusFiles(const Tree& tree, const std::string& statusName);

// The floor of a job that finds nothing new: walks `roots` with one stat per entry and
// rewrites, in each directory that holds a status file `statusName`, that file with its own
// content through a temporary file and a rename (`durable`: also flushes file and directory
// to disk, as a crash-safe rewrite does). The contents are read before the timed walk.
class FloorWalk {
public:
    FloorWalk(std::vector<std::string> roots, std::string statusName);
    // Seconds of one walk; `entries` and `rewrites` count what it did.
    double Run(bool durable, int64_t& entries, int64_t& rewrites);

private:
    void Walk(const std::string& dir, bool durable, int64_t& entries, int64_t& rewrites);

    std::vector<std::string> roots_;
    std::string statusName_;
    std::vector<std::pair<std::string, std::string>> contents_; // directory, status text
    size_t next_ = 0;
};

struct ProcessResult {
    int status = 0;     // exit status, 128 + signal for a signal
    double seconds = 0; // from the start to the end of the process
    long maxRssKiB = 0; // peak resident set of the process (getrusage of the child)
    std::string output; // standard output, when captured
};

// Runs argv (argv[0] looked up in PATH) to its end with standard input from /dev/null and
// standard error to `errorLog`; standard output is captured when `captureOutput`, else
// discarded.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& errorLog,
                         bool captureOutput = false);

// RunProcess with the peak memory of the program itself: the program is started by a small
// launcher (this benchmark program with LauncherSwitch), since a child started straight from
// this process inherits this process's peak in its own peak figure (the kernel carries the
// peak of the address space it replaces at exec over to the new program).
ProcessResult RunMeasured(const std::vector<std::string>& argv, const std::string& errorLog,
                          bool captureOutput = false);
inline constexpr const char* LauncherSwitch = "--peak-rss";
// The launcher's main: runs argv[0] ... to its end and prints its exit status and peak memory
// on the last line of standard output. Returns the program's exit status.
int RunLauncher(char** argv);

// Number of regular files below `dir` and their total size.
int64_t CountFiles(const std::string& dir, int64_t* bytes = nullptr);
// Moves everything inside `dir` into a new directory below `keep` (on the same file system),
// to be removed at the end: removing files now would slow down the file creations of the next
// minutes.
void SetAside(const std::string& dir, const std::string& keep);
// Free bytes of the file system that holds `path`.
uint64_t FreeBytes(const std::string& path);

// Starts a TKelvardSvc with `config` saved as its configuration file in `programDir`, runs
// `body` on its service thread once it has started (as its OnExecute), then stops it. The
// service's pipes live below $SVCMGR_ROOT. Throws when the service does not start, or what
// `body` threw.
void RunInService(const std::string& programDir, const TTransportConfig& config,
                  const std::function<void(TKelvardSvc&)>& body);

} // namespace kvbench
