// Directory status list: which files of one source directory are new or changed since they
// were last sent to one destination, and the status file (".dst") in that directory that
// records what was sent.
//
// Status file (UTF-8 text, CR LF line ends):
//   # directory status file
//   # directory: <directory>
//   # file mask: *.<extension>
//   # last update: yyyy/mm/dd hh:nn:ss:zzz (UTC +01:00)      (local time of writing)
//   <name> TAB <size> TAB yyyy/mm/dd hh:nn:ss.zzz UTC        (one line per sent file)
// "/" and ":" are the locale's date and time separators; the reader takes the time parts by
// position, so any single-character separators read back.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <string>
#include <vector>

#include "common/datetime.h"
#include "platform/uniquefd.h"

// One listed file.
struct TFileEntry {
    int64_t Size = 0;    // bytes, the whole 64-bit size
    TDateTime Time = 0;  // last-write time, UTC, milliseconds kept
    bool Changed = true; // to be handed to the callback (new, changed, or its transfer failed)
};

struct TFileItem {
    std::string Name;
    TFileEntry Entry;
    std::string SortKey; // collation key of the case-folded name
};

// Per-file operation of ProcessFiles: sends `path`; true when it was sent. Setting `cont` to
// false ends the walk after this file.
using TProcessFileEvent =
    std::function<bool(const std::string& path, const std::string& tag, bool& cont)>;

class TDirectoryList {
public:
    // Opens `directory` (OpenDirectoryBelow: below `root`, no component is followed when it
    // is a symbolic link) and scans it. Throws Exception "Directory does not exist"<directory>""
    // when it cannot be opened as a directory. The listing, the status file and its rewrite all
    // go through the directory opened here: a directory swapped for a link afterwards changes
    // nothing; the files are handed over by path, to be opened below `root` the same way.
    TDirectoryList(const std::string& directory, const std::string& extension,
                   const std::string& tag, TDateTime referenceTime,
                   const std::string& statusFileName, const std::string& root = {});
    ~TDirectoryList();
    TDirectoryList(const TDirectoryList&) = delete;
    TDirectoryList& operator=(const TDirectoryList&) = delete;

    // Builds Files from the directory and the status file.
    void Scan();
    // Hands every changed file to `callback`, in ascending name order when `forward`, else
    // descending. An exception from the callback leaves the file changed and the walk goes on.
    void ProcessFiles(bool forward, const TProcessFileEvent& callback);
    // Rewrites the status file with every file that is not changed; the old file stays whole
    // when this fails (EOSError).
    void Save();
    void ClearEntries();

    // The entry of `name`: the exact name, else one equal to it without regard to case.
    TFileEntry* Find(const std::string& name);
    // Full path of the status file.
    std::string StatusFilePath() const;

    std::string Directory;
    std::string Extension;
    std::string Tag;
    TDateTime ReferenceTime = 0;
    std::string StatusFileName;
    std::vector<TFileItem> Files; // sorted by name without regard to case after Scan
    int32_t OkCount = 0;
    int32_t BadCount = 0;

private:
    void ListDirectory();
    void ReadStatusFile(int bias);

    TUniqueFd dirFd_; // the directory that was opened
};

// One file line of a status file.
struct TStatusRecord {
    std::string Name;
    int64_t Size = 0;
    TDateTime Time = 0; // UTC
};

// Reads the file lines of a status file from `in` and hands each to `apply`, in file order.
// `bias` (minutes, UTC = local + bias) converts times written without "UTC". Lines without a
// TAB (the header, comments, empty lines) are skipped. Stops by throwing EConvertError at
// the first time that is not a valid date and time; earlier lines have been applied.
void ReadStatusRecords(std::istream& in, int bias,
                       const std::function<void(const TStatusRecord&)>& apply);

// Whole seconds in |a - b| (day values), fraction dropped.
int64_t WholeSecondsBetween(TDateTime a, TDateTime b);
// Whether a listed file counts as changed against its status line.
bool IsFileChanged(const TFileEntry& entry, const TStatusRecord& line, TDateTime referenceTime);
// Whether a file name can be written as a status line and read back unchanged.
bool IsRecordableName(const std::string& name);

inline constexpr const char* DefaultStatusFileName = "dirlist.dst";
