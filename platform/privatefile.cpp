#include "platform/privatefile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Opens `path` for writing with `flags` added, through no symbolic link, as a regular file of
// mode 0600 (its owner kept); a FIFO or device is never waited on. nullptr with errno set.
std::FILE* OpenPrivate(const std::string& path, int flags, const char* streamMode) {
    const int fd =
        ::open(path.c_str(),
               O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | flags, 0600);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    // Only a regular file of one name: another link to it (made by whoever could write the
    // directory) would have that file written through this name.
    if (ok && (!S_ISREG(st.st_mode) || st.st_nlink != 1)) {
        errno = EINVAL;
        ok = false;
    }
    // A file made readable by others by hand (or by an earlier version) is private again
    // before anything more is written to it.
    if (ok && (st.st_mode & 07777) != 0600)
        ok = ::fchmod(fd, 0600) == 0;
    if (ok && (flags & O_TRUNC) == 0 && (flags & O_APPEND) == 0)
        ok = ::ftruncate(fd, 0) == 0;
    std::FILE* file = ok ? ::fdopen(fd, streamMode) : nullptr;
    if (file == nullptr) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
    }
    return file;
}

} // namespace

std::FILE* OpenPrivateForAppend(const std::string& path) {
    // A root program appends here (the console's log lies in its current directory): a link
    // planted at that name is not followed, and only a regular file is written.
    return OpenPrivate(path, O_APPEND, "a");
}

std::FILE* OpenPrivateForWriting(const std::string& path) {
    // Truncated only once the file is known to be a regular one.
    return OpenPrivate(path, 0, "wb");
}

bool MakeFilePrivate(const std::string& path) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        ok = false;
    }
    if (ok && (st.st_mode & 077) != 0)
        ok = ::fchmod(fd, st.st_mode & 07700) == 0;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}
