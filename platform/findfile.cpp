#include "platform/findfile.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/errors.h"

namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr int64_t FileTimeEpochOffset = 11644473600LL;
constexpr int64_t FileTimeTicksPerSecond = 10000000LL;

char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsContinuationByte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Position after the character that starts at `i` (a whole UTF-8 sequence).
size_t NextCharacter(const std::string& s, size_t i) {
    ++i;
    while (i < s.size() && IsContinuationByte(s[i]))
        ++i;
    return i;
}

bool HasWildcard(const std::string& pattern) {
    return pattern.find_first_of("*?") != std::string::npos;
}

FILETIME FileTimeOf(const struct timespec& ts) {
    // Times before 1601 cannot be expressed; they are clamped to its start.
    int64_t seconds = static_cast<int64_t>(ts.tv_sec) + FileTimeEpochOffset;
    uint64_t ticks = 0;
    if (seconds >= 0)
        ticks = static_cast<uint64_t>(seconds) * FileTimeTicksPerSecond +
                static_cast<uint64_t>(ts.tv_nsec / 100);
    FILETIME ft;
    ft.dwLowDateTime = static_cast<uint32_t>(ticks & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<uint32_t>(ticks >> 32);
    return ft;
}

// Fills `rec` from the entry `name` of the open directory `dirFd` when it is a file or a
// directory that the attribute filter lets through.
bool StatEntry(int dirFd, const std::string& name, int attr, TSearchRec& rec) {
    if (name.empty() || name == "." || name == "..")
        return false;
    struct stat st;
    // Symbolic links are neither files nor directories: the service runs as root and the
    // tracked directories are written by other users, so a link must not make it send or
    // scan whatever the link points to.
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    int entryAttr = 0;
    if (S_ISDIR(st.st_mode))
        entryAttr |= faDirectory;
    else if (!S_ISREG(st.st_mode))
        return false;
    if (name[0] == '.')
        entryAttr |= faHidden;
    if ((st.st_mode & S_IWUSR) == 0)
        entryAttr |= faReadOnly;
    constexpr int filtered = faHidden | faSysFile | faDirectory;
    if ((entryAttr & filtered & ~attr) != 0)
        return false;
    rec.Name = name;
    rec.Attr = entryAttr;
    rec.Size = S_ISDIR(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size);
    rec.LastWriteTime = FileTimeOf(st.st_mtim);
    return true;
}

class DirFd {
public:
    explicit DirFd(const std::string& directory)
        : fd_(open(directory.empty() ? "/" : directory.c_str(),
                   O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
    ~DirFd() {
        if (fd_ >= 0)
            close(fd_);
    }
    DirFd(const DirFd&) = delete;
    DirFd& operator=(const DirFd&) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};

} // namespace

bool MatchesMask(const std::string& name, const std::string& pattern) {
    if (pattern == "*" || pattern == "*.*")
        return true;
    if (pattern == "*.")
        return name.find('.') == std::string::npos;
    // Iterative glob with one backtrack point: linear in practice, no recursion.
    size_t n = 0, p = 0;
    size_t starP = std::string::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && pattern[p] == '?') {
            ++p;
            n = NextCharacter(name, n);
        } else if (p < pattern.size() && FoldAscii(pattern[p]) == FoldAscii(name[n])) {
            ++p;
            ++n;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            starN = NextCharacter(name, starN);
            n = starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool FindFileEntry(const std::string& directory, const std::string& name, int attr,
                   TSearchRec& rec) {
    if (name.find('/') != std::string::npos)
        return false;
    DirFd dir(directory);
    if (dir.Get() < 0)
        return false;
    return StatEntry(dir.Get(), name, attr, rec);
}

TFileSearch::~TFileSearch() {
    Close();
}

void TFileSearch::Close() {
    if (dir_) {
        closedir(static_cast<DIR*>(dir_));
        dir_ = nullptr;
    }
    active_ = false;
}

bool TFileSearch::First(const std::string& path, int attr, TSearchRec& rec) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return First(".", path, attr, rec);
    return First(slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(slash + 1),
                 attr, rec);
}

bool TFileSearch::First(const std::string& directory, const std::string& pattern, int attr,
                        TSearchRec& rec) {
    Close();
    directory_ = directory.empty() ? std::string("/") : directory;
    dirFd_ = -1;
    return Start(pattern, attr, rec);
}

bool TFileSearch::FirstIn(int dirFd, const std::string& pattern, int attr, TSearchRec& rec) {
    Close();
    directory_.clear();
    dirFd_ = dirFd;
    return Start(pattern, attr, rec);
}

bool TFileSearch::Start(const std::string& pattern, int attr, TSearchRec& rec) {
    if (pattern.empty() || pattern.find('/') != std::string::npos)
        return false;
    pattern_ = pattern;
    attr_ = attr;
    active_ = true;
    // A plain name: the exact entry first, without reading the directory.
    if (!HasWildcard(pattern_)) {
        bool found = dirFd_ >= 0 ? StatEntry(dirFd_, pattern_, attr_, rec)
                                 : FindFileEntry(directory_, pattern_, attr_, rec);
        if (found)
            return true;
    }
    return Next(rec);
}

bool TFileSearch::Next(TSearchRec& rec) {
    if (!active_)
        return false;
    if (!dir_ && dirFd_ >= 0) {
        // A descriptor of its own: reading the directory moves its position, which a dup()
        // would share with the caller's descriptor.
        int fd = openat(dirFd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0 && !(dir_ = fdopendir(fd)))
            close(fd);
    } else if (!dir_) {
        dir_ = opendir(directory_.c_str());
    }
    if (dir_ && Advance(rec))
        return true;
    Close();
    return false;
}

bool TFileSearch::Advance(TSearchRec& rec) {
    DIR* dir = static_cast<DIR*>(dir_);
    int fd = dirfd(dir);
    // For a plain name the exact entry has been looked at already: the others equal to it
    // without regard to case follow.
    bool plainName = !HasWildcard(pattern_);
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(dir);
        if (!entry)
            return false; // end of the directory or a read error
        std::string name = entry->d_name;
        if (plainName && name == pattern_)
            continue;
        if (MatchesMask(name, pattern_) && StatEntry(fd, name, attr_, rec))
            return true;
    }
}

TUniqueFd OpenDirectoryBelow(const std::string& root, const std::string& path) {
    std::string base = root;
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    const std::string prefix = base == "/" ? base : base + "/";
    const bool below = !base.empty() && path.size() > prefix.size() && path.starts_with(prefix);
    // Another path than the root or one below it is refused rather than opened as it is, so
    // that no caller gets a followed link by passing a path spelled otherwise.
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    if (!base.empty() && !below && trimmed != base)
        throw OSErrorFromErrno(EACCES);
    TUniqueFd dir(open(below ? base.c_str() : (path.empty() ? "/" : path.c_str()),
                       O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir)
        throw OSErrorFromErrno(errno);
    size_t start = below ? prefix.size() : path.size();
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..")
            throw OSErrorFromErrno(EACCES);
        TUniqueFd next(
            openat(dir.Get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next)
            throw OSErrorFromErrno(errno);
        dir = std::move(next);
    }
    return dir;
}
