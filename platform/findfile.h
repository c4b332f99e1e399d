// Directory search: first, next and close over the entries of one directory that match a
// name pattern, with each entry's name, attributes, 64-bit size and last-write time.
// Patterns use "*" and "?" and match names without regard to (ASCII) case ("*.cor" finds
// COUNT.COR); "*" and "*.*" match every name, "*." every name without a dot. Dot-files count
// as hidden, only regular files are files, and there is no system attribute. Symbolic links
// inside the searched directory are not followed and never returned: the service runs as root
// over directories that other users write, and a planted link must not make it read what the
// link points to. Other entries (sockets, FIFOs, devices) and "." and ".." are never returned
// either.
#pragma once

#include <cstdint>
#include <string>

#include "common/datetime.h"
#include "platform/uniquefd.h"

constexpr int faReadOnly = 0x01;
constexpr int faHidden = 0x02;
constexpr int faSysFile = 0x04;
constexpr int faDirectory = 0x10;
constexpr int faArchive = 0x20;
constexpr int faAnyFile = 0x3F;

struct TSearchRec {
    std::string Name;         // entry name, no directory part
    int64_t Size = 0;         // bytes (0 for a directory)
    int Attr = 0;             // fa* bits; faReadOnly when the owner may not write
    FILETIME LastWriteTime{}; // UTC
};

// An open search; closes itself. Entries with hidden, system or directory attributes are
// returned only when those bits are in `attr` (read-only and archive entries always are).
class TFileSearch {
public:
    TFileSearch() = default;
    ~TFileSearch();
    TFileSearch(const TFileSearch&) = delete;
    TFileSearch& operator=(const TFileSearch&) = delete;

    // `path` is a directory, a "/" and a pattern ("/data/shop/*.arg"), or a plain file name.
    // A plain name (no "*" or "?") matches the entries equal to it without regard to case,
    // the exact name first (found without reading the directory). Returns false when nothing
    // matches (or the directory cannot be read).
    bool First(const std::string& path, int attr, TSearchRec& rec);
    // The same with the directory and the pattern apart; a "/" in `pattern` matches nothing.
    bool First(const std::string& directory, const std::string& pattern, int attr, TSearchRec& rec);
    // The same over the open directory `dirFd` (see OpenDirectoryBelow), which must stay open
    // until the search is closed: the entries are those of that very directory, whatever
    // happens to its path meanwhile.
    bool FirstIn(int dirFd, const std::string& pattern, int attr, TSearchRec& rec);
    bool Next(TSearchRec& rec);
    void Close();

private:
    bool Advance(TSearchRec& rec);
    bool Start(const std::string& pattern, int attr, TSearchRec& rec);
    void* dir_ = nullptr; // DIR*
    std::string directory_;
    int dirFd_ = -1; // the directory of FirstIn, not owned
    std::string pattern_;
    int attr_ = 0;
    bool active_ = false; // between First and the end of the search
};

// Case-insensitive match of `name` against a pattern of "*" and "?".
bool MatchesMask(const std::string& name, const std::string& pattern);

// The entry `name` of `directory`, by its exact name (no pattern, no case folding), when it
// passes the attribute rule of TFileSearch.
bool FindFileEntry(const std::string& directory, const std::string& name, int attr,
                   TSearchRec& rec);

// Opens the directory `path` for searches (TFileSearch::FirstIn) and for access relative to it
// (openat and the like), reached from `root` without following symbolic links: `root` is opened
// as it is given (a configured directory may well be a link), every component of `path` after
// it with O_NOFOLLOW | O_DIRECTORY relative to the one before. A component that has been
// swapped for a link, or that is "..", then fails instead of leading out of `root`. A `path`
// equal to `root`, or not below it, is opened as it is given. Throws EOSError with the system's
// text (ELOOP or ENOTDIR for a link, ENOENT for a missing directory).
TUniqueFd OpenDirectoryBelow(const std::string& root, const std::string& path);
