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

// A temporary file being written; removed unless committed.
class TempFile {
public:
    TempFile(const std::string& directory, const std::string& baseName, mode_t mode) {
        // The name is kept short enough for NAME_MAX whatever the target's name length.
        std::string stem = "." + baseName.substr(0, 200);
        for (int attempt = 0; attempt < 100; ++attempt) {
            char tag[24];
            std::snprintf(tag, sizeof tag, ".%016llx.tmp",
                          static_cast<unsigned long long>(RandomTag()));
            std::string candidate = directory + "/" + stem + tag;
            fd_ = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            if (fd_ >= 0) {
                path_ = candidate;
                return;
            }
            if (errno != EEXIST)
                ThrowErrno(errno);
        }
        ThrowErrno(EEXIST);
    }
    ~TempFile() {
        CloseQuietly();
        if (!path_.empty())
            unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int Fd() const { return fd_; }
    const std::string& Path() const { return path_; }

    void Close() {
        int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0)
            ThrowErrno(errno);
    }
    // The temporary file has been renamed: nothing left to remove.
    void Committed() { path_.clear(); }

private:
    void CloseQuietly() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    int fd_ = -1;
    std::string path_;
};

void WriteAll(int fd, const std::string& content) {
    const char* data = content.data();
    size_t left = content.size();
    while (left > 0) {
        ssize_t written = write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            ThrowErrno(errno);
        }
        if (written == 0)
            ThrowErrno(EIO);
        data += written;
        left -= static_cast<size_t>(written);
    }
}

void SyncDirectory(const std::string& directory) {
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        ThrowErrno(errno);
    int result = fsync(fd);
    int code = errno;
    close(fd);
    // Some file systems cannot sync a directory; the rename is done all the same.
    if (result != 0 && code != EINVAL)
        ThrowErrno(code);
}

} // namespace

void ReplaceFileContents(const std::string& path, const std::string& content, mode_t newFileMode) {
    std::string target = ResolveTarget(path);
    std::string directory = DirectoryOf(target);

    struct stat old;
    bool exists = stat(target.c_str(), &old) == 0;
    if (exists && S_ISDIR(old.st_mode))
        ThrowErrno(EISDIR);

    TempFile temp(directory, BaseNameOf(target), exists ? S_IRUSR | S_IWUSR : newFileMode);
    WriteAll(temp.Fd(), content);
    if (exists) {
        // Keeps the owner when the process may (root rewriting another user's file); before
        // the mode, since a change of owner clears set-id bits.
        if (old.st_uid != geteuid() || old.st_gid != getegid())
            (void)!fchown(temp.Fd(), old.st_uid, old.st_gid);
        if (fchmod(temp.Fd(), old.st_mode & 07777) != 0)
            ThrowErrno(errno);
    }
    if (fsync(temp.Fd()) != 0)
        ThrowErrno(errno);
    temp.Close();
    if (rename(temp.Path().c_str(), target.c_str()) != 0)
        ThrowErrno(errno);
    temp.Committed();
    SyncDirectory(directory);
}
