#include "platform/filecopy.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "platform/atomicfile.h"
#include "platform/errors.h"
#include "platform/uniquefd.h"

namespace {

// Pieces of the plain read/write copy.
constexpr size_t kCopyChunk = 1 << 20;
// At most this much per kernel copy, and between two checks for a stop: even on a slow disk a
// piece takes a fraction of a second.
constexpr int64_t kRangeChunk = 8 << 20;

[[noreturn]] void ThrowErrno(int code) {
    throw OSErrorFromErrno(code);
}

// The copy of one file's content into the temporary file. Only the data of the source is
// copied: its holes (SEEK_DATA/SEEK_HOLE) stay holes in the copy, whose size is set at the
// end, so that a sparse file takes no more room at the destination than it does at home.
class TContentCopy {
public:
    TContentCopy(int in, int out, const std::function<void()>& checkpoint)
        : in_(in), out_(out), checkpoint_(checkpoint) {}

    // Copies from the current position of `in` to its end (its size when the copy starts).
    void Run() {
        start_ = lseek(in_, 0, SEEK_CUR);
        struct stat st {};
        if (start_ < 0 || fstat(in_, &st) != 0)
            ThrowErrno(errno);
        end_ = std::max<int64_t>(start_, st.st_size);
        for (int64_t pos = start_; pos < end_;) {
            const auto [data, hole] = NextData(pos);
            if (data >= end_)
                break;
            if (!CopyRange(data, hole))
                break; // the source became shorter: the copy ends where it does
            pos = hole;
        }
        // A source cut meanwhile ends the copy where it ends now, as a plain read would.
        if (fstat(in_, &st) != 0)
            ThrowErrno(errno);
        end_ = std::max<int64_t>(start_, std::min<int64_t>(end_, st.st_size));
        if (ftruncate(out_, end_ - start_) != 0)
            ThrowErrno(errno);
    }

private:
    // The next stretch of data at or after `pos`: its start and its end, both at most end_.
    std::pair<int64_t, int64_t> NextData(int64_t pos) {
        if (!seekData_)
            return {pos, end_};
        const off_t data = lseek(in_, pos, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) // no data after pos: the rest is a hole
                return {end_, end_};
            if (errno != EINVAL && errno != EOPNOTSUPP)
                ThrowErrno(errno);
            seekData_ = false; // a file system that cannot tell holes: all of it is data
            return {pos, end_};
        }
        const off_t hole = lseek(in_, data, SEEK_HOLE);
        if (hole < 0)
            ThrowErrno(errno);
        return {std::min<int64_t>(data, end_), std::min<int64_t>(hole, end_)};
    }

    // Copies [from, to) of the source to the same place in the copy, piece by piece, with a
    // check for a stop before each. False when the source ended before `to`.
    bool CopyRange(int64_t from, int64_t to) {
        while (from < to) {
            if (checkpoint_)
                checkpoint_();
            const int64_t want = std::min<int64_t>(to - from, kRangeChunk);
            const int64_t got = CopyPiece(from, static_cast<size_t>(want));
            if (got == 0) {
                end_ = from;
                return false;
            }
            from += got;
        }
        return true;
    }

    // Copies up to `size` bytes at `offset`: in the kernel where it can, else through a buffer.
    int64_t CopyPiece(int64_t offset, size_t size) {
        for (;;) {
            if (kernelCopy_) {
                loff_t inOff = offset, outOff = offset - start_;
                const ssize_t got = copy_file_range(in_, &inOff, out_, &outOff, size, 0);
                if (got >= 0) {
                    copied_ = copied_ || got > 0;
                    return got;
                }
                if (errno == EINTR)
                    continue;
                const bool unsupported = errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP ||
                                         errno == EINVAL || errno == EBADF;
                if (!unsupported || copied_)
                    ThrowErrno(errno);
                kernelCopy_ = false;
            }
            return CopyByBuffer(offset, std::min(size, kCopyChunk));
        }
    }

    int64_t CopyByBuffer(int64_t offset, size_t size) {
        buffer_.resize(kCopyChunk);
        ssize_t got;
        do {
            got = pread(in_, buffer_.data(), size, offset);
        } while (got < 0 && errno == EINTR);
        if (got < 0)
            ThrowErrno(errno);
        for (ssize_t done = 0; done < got;) {
            const ssize_t written = pwrite(out_, buffer_.data() + done,
                                           static_cast<size_t>(got - done), offset - start_ + done);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                ThrowErrno(written < 0 ? errno : EIO);
            done += written;
        }
        return got;
    }

    const int in_;
    const int out_;
    const std::function<void()>& checkpoint_;
    int64_t start_ = 0;
    int64_t end_ = 0;
    bool seekData_ = true;
    bool kernelCopy_ = true;
    bool copied_ = false;
    std::vector<char> buffer_;
};

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

namespace {

void CopyInto(TReadFile& source, TAtomicFile& temp, TFlush flush,
              const std::function<void()>& checkpoint) {
    const struct stat& st = source.Stat();
    TContentCopy(source.Fd(), temp.Fd(), checkpoint).Run();
    // The permission bits only: set-user-ID and set-group-ID bits would turn the copy, owned by
    // this process (root for the service), into a program that runs with its rights.
    if (fchmod(temp.Fd(), st.st_mode & 0777) != 0)
        ThrowErrno(errno);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (futimens(temp.Fd(), times) != 0)
        ThrowErrno(errno);
    temp.Commit(flush);
}

// The directory `name` of `parent`, made when missing, never through a link.
TUniqueFd EnterOrMake(int parent, const std::string& name) {
    if (name == "..")
        ThrowErrno(EACCES);
    if (mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST)
        ThrowErrno(errno);
    TUniqueFd dir(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir)
        return dir;
    int code = errno;
    // With O_DIRECTORY a link gives ENOTDIR: a link is told apart from a file.
    struct stat st {};
    if (code == ENOTDIR && fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode))
        code = ELOOP;
    ThrowErrno(code);
}

} // namespace

void CopyFileReplacing(TReadFile& source, const std::string& target, bool allowUnnamedTemp,
                       TFlush flush) {
    TAtomicFile temp(target, 0600, allowUnnamedTemp);
    CopyInto(source, temp, flush, {});
}

void CopyFileReplacing(TReadFile& source, int dirFd, const std::string& name, TFlush flush,
                       const std::function<void()>& checkpoint) {
    TAtomicFile temp(dirFd, name, 0600, true);
    CopyInto(source, temp, flush, checkpoint);
}

TUniqueFd ForceDirectoriesBelow(const std::string& root, const std::string& subPath) {
    if (int code = ForceDirectories(root); code != 0)
        ThrowErrno(code);
    TUniqueFd dir(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir)
        ThrowErrno(errno);
    size_t start = 0;
    while (start < subPath.size()) {
        size_t end = subPath.find('/', start);
        if (end == std::string::npos)
            end = subPath.size();
        const std::string part = subPath.substr(start, end - start);
        start = end + 1;
        if (!part.empty() && part != ".")
            dir = EnterOrMake(dir.Get(), part);
    }
    return dir;
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
