#include "platform/filecopy.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/atomicfile.h"
#include "platform/errors.h"
#include "platform/uniquefd.h"

namespace {

// Pieces of the plain read/write copy.
constexpr size_t kCopyChunk = 1 << 20;
// At most this much per copy_file_range call, so that a huge file is copied in steps.
constexpr size_t kRangeChunk = 64u << 20;

[[noreturn]] void ThrowErrno(int code) {
    throw OSErrorFromErrno(code);
}

void CopyByBuffer(int in, TAtomicFile& out) {
    std::vector<char> buffer(kCopyChunk);
    for (;;) {
        ssize_t got = read(in, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            ThrowErrno(errno);
        }
        if (got == 0)
            return;
        out.Write(buffer.data(), static_cast<size_t>(got));
    }
}

// Copies from the current positions to the end of `in`: in the kernel where it can, else
// through a buffer.
void CopyContent(int in, TAtomicFile& out) {
    bool copied = false;
    for (;;) {
        ssize_t got = copy_file_range(in, nullptr, out.Fd(), nullptr, kRangeChunk, 0);
        if (got > 0) {
            copied = true;
            continue;
        }
        if (got == 0)
            return;
        if (errno == EINTR)
            continue;
        bool unsupported = errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP ||
                           errno == EINVAL || errno == EBADF;
        if (!unsupported || copied)
            ThrowErrno(errno);
        CopyByBuffer(in, out);
        return;
    }
}

// Opens a regular file for reading. O_NONBLOCK: a FIFO put in the file's place after the
// directory was searched is refused at once instead of blocking the open or the reads (the
// flag changes nothing for a regular file); a device is refused as well.
TUniqueFd OpenForReading(int dirFd, const std::string& path, int extraFlags, struct stat& st) {
    TUniqueFd fd(
        openat(dirFd, path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | extraFlags));
    if (!fd)
        ThrowErrno(errno);
    if (fstat(fd.Get(), &st) != 0)
        ThrowErrno(errno);
    if (S_ISDIR(st.st_mode))
        ThrowErrno(EISDIR);
    if (!S_ISREG(st.st_mode))
        ThrowErrno(EINVAL);
    return fd;
}

} // namespace

int ForceDirectories(const std::string& directory) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (!ec)
        return 0;
    return ec.value() != 0 ? ec.value() : EIO;
}

void CopyFileReplacing(const std::string& source, const std::string& target, bool allowUnnamedTemp,
                       TFlush flush) {
    TReadFile in(source);
    CopyFileReplacing(in, target, allowUnnamedTemp, flush);
}

void CopyFileReplacing(TReadFile& source, const std::string& target, bool allowUnnamedTemp,
                       TFlush flush) {
    const struct stat& st = source.Stat();
    TAtomicFile temp(target, 0600, allowUnnamedTemp);
    CopyContent(source.Fd(), temp);
    // The permission bits only: set-user-ID and set-group-ID bits would turn the copy, owned by
    // this process (root for the service), into a program that runs with its rights.
    if (fchmod(temp.Fd(), st.st_mode & 0777) != 0)
        ThrowErrno(errno);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (futimens(temp.Fd(), times) != 0)
        ThrowErrno(errno);
    temp.Commit(flush);
}

TReadFile::TReadFile(const std::string& path) {
    fd_ = OpenForReading(AT_FDCWD, path, 0, stat_).Release();
}

TReadFile::TReadFile(int dirFd, const std::string& name) {
    // A name with a "/" would pass through directories that were not checked.
    if (name.empty() || name.find('/') != std::string::npos)
        ThrowErrno(EINVAL);
    fd_ = OpenForReading(dirFd, name, O_NOFOLLOW, stat_).Release();
}

TReadFile::~TReadFile() {
    if (fd_ >= 0)
        close(fd_);
}

size_t TReadFile::Read(char* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t got = read(fd_, buffer + done, count - done);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            ThrowErrno(errno);
        }
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    return done;
}
