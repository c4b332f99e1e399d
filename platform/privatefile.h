// Opening files that may hold credentials (the service log holds the transfer passwords while
// detailed logging is on): a file opened here has mode 0600, so that only its owner and root
// can read it, whatever mode it had; its owner stays.
#pragma once

#include <cstdio>
#include <string>

// Opens `path` for appending (created when missing, close-on-exec); nullptr on failure with
// errno set. A symbolic link at `path` is not followed and anything but a regular file is
// refused. An existing file is made 0600.
std::FILE* OpenPrivateForAppend(const std::string& path);
// The same for writing the file anew: emptied (once it is known to be a regular file) or
// created, mode 0600.
std::FILE* OpenPrivateForWriting(const std::string& path);

// Makes `path` a regular file that only its owner may read and write, for a file that another
// opener then rewrites: created empty with mode 0600 when missing, its group and other
// permissions taken away when it exists; its content is left alone. False (errno set) when
// that failed or `path` is no regular file (a FIFO or device is never waited on).
bool MakeFilePrivate(const std::string& path);
