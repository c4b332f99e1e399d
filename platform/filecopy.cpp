#include "platform/filecopy.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

// A hidden name in `directory`, after `baseName`, kept short enough for NAME_MAX.
std::string TempName(const std::string& directory, const std::string& baseName) {
    char tag[24];
    std::snprintf(tag, sizeof tag, ".%016llx.tmp", static_cast<unsigned long long>(RandomTag()));
    return directory + "/." + baseName.substr(0, 200) + tag;
}

void WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, size);
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

void CopyByBuffer(int in, int out) {
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
        WriteAll(out, buffer.data(), static_cast<size_t>(got));
    }
}

// Copies from the current positions to the end of `in`: in the kernel where it can, else
// through a buffer.
void CopyContent(int in, int out) {
    bool copied = false;
    for (;;) {
        ssize_t got = copy_file_range(in, nullptr, out, nullptr, kRangeChunk, 0);
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

// The file that receives the copy before it takes the target's name.
class TempTarget {
public:
    TempTarget(const std::string& target, bool allowUnnamed)
        : target_(target), directory_(DirectoryOf(target)), baseName_(BaseNameOf(target)) {
        if (allowUnnamed) {
            fd_.Reset(open(directory_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
            if (fd_)
                return;
            // Only a file system without unnamed files falls back to a named one.
            if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
                ThrowErrno(errno);
        }
        OpenNamed();
    }
    ~TempTarget() {
        if (!tempPath_.empty())
            unlink(tempPath_.c_str());
    }
    TempTarget(const TempTarget&) = delete;
    TempTarget& operator=(const TempTarget&) = delete;

    int Fd() const { return fd_.Get(); }

    // Closes the file and gives it the target's name, replacing the old file at once.
    void Commit() {
        if (tempPath_.empty())
            LinkUnnamed();
        int fd = fd_.Release();
        if (close(fd) != 0)
            ThrowErrno(errno);
        if (rename(tempPath_.c_str(), target_.c_str()) != 0)
            ThrowErrno(errno);
        tempPath_.clear();
    }

private:
    void OpenNamed() {
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string candidate = TempName(directory_, baseName_);
            fd_.Reset(open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
            if (fd_) {
                tempPath_ = candidate;
                return;
            }
            if (errno != EEXIST)
                ThrowErrno(errno);
        }
        ThrowErrno(EEXIST);
    }
    // An unnamed file cannot replace another by itself: it gets a hidden name first, which
    // the rename then moves onto the target.
    void LinkUnnamed() {
        std::string self = "/proc/self/fd/" + std::to_string(fd_.Get());
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string candidate = TempName(directory_, baseName_);
            if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) ==
                0) {
                tempPath_ = candidate;
                return;
            }
            if (errno != EEXIST)
                ThrowErrno(errno);
        }
        ThrowErrno(EEXIST);
    }

    std::string target_;
    std::string directory_;
    std::string baseName_;
    std::string tempPath_; // named temporary file; empty while unnamed or after the commit
    TUniqueFd fd_;
};

TUniqueFd OpenForReading(const std::string& path, struct stat& st) {
    TUniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        ThrowErrno(errno);
    if (fstat(fd.Get(), &st) != 0)
        ThrowErrno(errno);
    if (S_ISDIR(st.st_mode))
        ThrowErrno(EISDIR);
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

void CopyFileReplacing(const std::string& source, const std::string& target,
                       bool allowUnnamedTemp) {
    struct stat st;
    TUniqueFd in = OpenForReading(source, st);
    TempTarget temp(target, allowUnnamedTemp);
    CopyContent(in.Get(), temp.Fd());
    if (fchmod(temp.Fd(), st.st_mode & 07777) != 0)
        ThrowErrno(errno);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (futimens(temp.Fd(), times) != 0)
        ThrowErrno(errno);
    if (fsync(temp.Fd()) != 0)
        ThrowErrno(errno);
    temp.Commit();
}

TReadFile::TReadFile(const std::string& path) {
    struct stat st;
    fd_ = OpenForReading(path, st).Release();
    size_ = static_cast<int64_t>(st.st_size);
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
