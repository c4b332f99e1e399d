#include "platform/regularfile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool TRegularFileBuf::Open(const std::string& path) {
    return OpenWith(AT_FDCWD, path, 0);
}

bool TRegularFileBuf::OpenAt(int dirFd, const std::string& name) {
    return name.find('/') == std::string::npos && OpenWith(dirFd, name, O_NOFOLLOW);
}

bool TRegularFileBuf::OpenWith(int dirFd, const std::string& path, int extraFlags) {
    setg(buffer_, buffer_, buffer_);
    // O_NONBLOCK: opening a FIFO returns at once instead of waiting for a writer.
    fd_.Reset(openat(dirFd, path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | extraFlags));
    struct stat st {};
    if (!fd_ || fstat(fd_.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        fd_.Reset();
        return false;
    }
    return true;
}

TRegularFileBuf::int_type TRegularFileBuf::underflow() {
    if (gptr() < egptr())
        return traits_type::to_int_type(*gptr());
    if (!fd_)
        return traits_type::eof();
    ssize_t n;
    do {
        n = read(fd_.Get(), buffer_, sizeof buffer_);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return traits_type::eof();
    setg(buffer_, buffer_, buffer_ + n);
    return traits_type::to_int_type(*gptr());
}
