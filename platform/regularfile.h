// Reading a file that must be a regular file: the check and the open are one step, so that a
// FIFO or device put in the file's place between a look and the open can never block the
// reader or feed it endless data.
#pragma once

#include <streambuf>
#include <string>

#include "platform/uniquefd.h"

// A read-only stream buffer over one regular file; use it with std::istream.
class TRegularFileBuf : public std::streambuf {
public:
    TRegularFileBuf() = default;
    TRegularFileBuf(const TRegularFileBuf&) = delete;
    TRegularFileBuf& operator=(const TRegularFileBuf&) = delete;

    // Opens `path` (following symbolic links) without waiting on it; false when it cannot be
    // opened or is not a regular file. A read error later ends the stream like its end.
    bool Open(const std::string& path);
    // The same for the entry `name` of the open directory `dirFd`, which is not followed when
    // it is a symbolic link (false then).
    bool OpenAt(int dirFd, const std::string& name);

protected:
    int_type underflow() override;

private:
    bool OpenWith(int dirFd, const std::string& path, int extraFlags);

    TUniqueFd fd_;
    char buffer_[65536];
};
