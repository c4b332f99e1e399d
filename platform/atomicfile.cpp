#include "platform/atomicfile.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/errors.h"

namespace {

[[noreturn]] void ThrowErrno(int code) {
    throw OSErrorFromErrno(code);
}

// The file that is really replaced: the target of a symbolic link, else the path itself.
std::string ResolveTarget(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
    return resolved ? std::string(resolved.get()) : path;
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

uint64_t RandomTag() {
    uint64_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof value))
        return value;
    static uint64_t counter = 0;
    auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return static_cast<uint64_t>(now) ^ (static_cast<uint64_t>(getpid()) << 32) ^ ++counter;
}

// A hidden name in `directory`, after `baseName`, kept short enough for NAME_MAX whatever the
// target's name length.
std::string TempName(const std::string& directory, const std::string& baseName) {
    char tag[24];
    std::snprintf(tag, sizeof tag, ".%016llx.tmp", static_cast<unsigned long long>(RandomTag()));
    return directory + "/." + baseName.substr(0, 200) + tag;
}

// Tries fresh hidden names until `create` makes one (true) or fails otherwise than with
// EEXIST; returns the name made.
template <typename Create>
std::string CreateUnderTempName(const std::string& directory, const std::string& baseName,
                                Create create) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = TempName(directory, baseName);
        if (create(candidate))
            return candidate;
        if (errno != EEXIST)
            ThrowErrno(errno);
    }
    ThrowErrno(EEXIST);
}

void SyncDirectory(int dirFd, const std::string& directory) {
    TUniqueFd fd(openat(dirFd, directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        ThrowErrno(errno);
    // Some file systems cannot sync a directory; the rename is done all the same.
    if (fsync(fd.Get()) != 0 && errno != EINVAL)
        ThrowErrno(errno);
}

} // namespace

TAtomicFile::TAtomicFile(const std::string& target, mode_t mode, bool allowUnnamed)
    : target_(target), directory_(DirectoryOf(target)), baseName_(BaseNameOf(target)) {
    Open(mode, allowUnnamed);
}

TAtomicFile::TAtomicFile(int dirFd, const std::string& name, mode_t mode, bool allowUnnamed)
    : target_(name), directory_("."), baseName_(name) {
    // A name with a "/" would lead through directories that the caller did not open.
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        ThrowErrno(EINVAL);
    ownedDir_.Reset(fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    if (!ownedDir_)
        ThrowErrno(errno);
    dirFd_ = ownedDir_.Get();
    // A directory removed since it was opened takes no new file (and could not keep it).
    struct stat st {};
    if (fstat(dirFd_, &st) != 0)
        ThrowErrno(errno);
    if (st.st_nlink == 0)
        ThrowErrno(ENOENT);
    Open(mode, allowUnnamed);
}

TAtomicFile::~TAtomicFile() {
    if (!tempPath_.empty())
        unlinkat(dirFd_, tempPath_.c_str(), 0);
}

void TAtomicFile::Open(mode_t mode, bool allowUnnamed) {
    if (allowUnnamed) {
        fd_.Reset(openat(dirFd_, directory_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
        if (fd_)
            return;
        // Only a file system without unnamed files falls back to a named one.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            ThrowErrno(errno);
    }
    OpenNamed(mode);
}

void TAtomicFile::Write(const char* data, size_t size) {
    while (size > 0) {
        ssize_t written = write(fd_.Get(), data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            ThrowErrno(errno);
        }
        if (written == 0)
            ThrowErrno(EIO);
        data += written;
        size -= static_cast<size_t>(written);
    }
}

void TAtomicFile::Commit(TFlush flush) {
    const bool toDisk = flush == TFlush::ToDisk;
    if (toDisk && fsync(fd_.Get()) != 0)
        ThrowErrno(errno);
    if (tempPath_.empty() && LinkUnnamedAsTarget()) {
        // The file took the target's name, which nobody had: a failing close takes it away
        // again, so that a failed commit leaves the target as it was.
        if (close(fd_.Release()) != 0) {
            const int code = errno;
            unlinkat(dirFd_, target_.c_str(), 0);
            ThrowErrno(code);
        }
    } else {
        if (tempPath_.empty())
            LinkUnnamed();
        if (close(fd_.Release()) != 0)
            ThrowErrno(errno);
        if (renameat(dirFd_, tempPath_.c_str(), dirFd_, target_.c_str()) != 0)
            ThrowErrno(errno);
        tempPath_.clear();
    }
    if (toDisk)
        SyncDirectory(dirFd_, directory_);
}

void TAtomicFile::OpenNamed(mode_t mode) {
    tempPath_ = CreateUnderTempName(directory_, baseName_, [&](const std::string& candidate) {
        fd_.Reset(openat(dirFd_, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        return fd_.Valid();
    });
}

// An unnamed file whose target does not exist yet takes the target's name at once: one step
// less than a hidden name and a rename. False when an entry of that name exists, since a link
// never replaces anything.
bool TAtomicFile::LinkUnnamedAsTarget() {
    const std::string self = "/proc/self/fd/" + std::to_string(fd_.Get());
    if (linkat(AT_FDCWD, self.c_str(), dirFd_, target_.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return true;
    if (errno != EEXIST)
        ThrowErrno(errno);
    return false;
}

// An unnamed file cannot replace another by itself: it gets a hidden name first, which the
// rename then moves onto the target.
void TAtomicFile::LinkUnnamed() {
    std::string self = "/proc/self/fd/" + std::to_string(fd_.Get());
    tempPath_ = CreateUnderTempName(directory_, baseName_, [&](const std::string& candidate) {
        return linkat(AT_FDCWD, self.c_str(), dirFd_, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0;
    });
}

namespace {

// ReplaceFileContents with, when `forcedMode` is not negative, that mode for the new file
// whatever the old one had.
void Replace(const std::string& path, const std::string& content, mode_t newFileMode,
             int forcedMode, TLinkRule links, TFlush flush) {
    const bool followLink = links == TLinkRule::ReplaceTarget;
    std::string target = followLink ? ResolveTarget(path) : path;

    // A link that is itself replaced passes nothing (mode, owner) of its target on.
    struct stat old;
    bool exists = (followLink ? stat(target.c_str(), &old) : lstat(target.c_str(), &old)) == 0 &&
                  !S_ISLNK(old.st_mode);
    if (exists && S_ISDIR(old.st_mode))
        ThrowErrno(EISDIR);

    TAtomicFile temp(target, exists || forcedMode >= 0 ? S_IRUSR | S_IWUSR : newFileMode);
    temp.Write(content.data(), content.size());
    if (exists) {
        // Keeps the owner when the process may (root rewriting another user's file); before
        // the mode, since a change of owner clears set-id bits.
        if (old.st_uid != geteuid() || old.st_gid != getegid())
            (void)!fchown(temp.Fd(), old.st_uid, old.st_gid);
    }
    if (exists || forcedMode >= 0) {
        const mode_t mode = forcedMode >= 0 ? static_cast<mode_t>(forcedMode) : old.st_mode & 07777;
        if (fchmod(temp.Fd(), mode) != 0)
            ThrowErrno(errno);
    }
    temp.Commit(flush);
}

} // namespace

void ReplaceFileContents(const std::string& path, const std::string& content, mode_t newFileMode,
                         TLinkRule links, TFlush flush) {
    Replace(path, content, newFileMode, -1, links, flush);
}

void ReplacePrivateFileContents(const std::string& path, const std::string& content,
                                TLinkRule links, TFlush flush) {
    Replace(path, content, 0600, 0600, links, flush);
}
