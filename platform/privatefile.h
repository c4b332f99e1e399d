// Opening files that may hold credentials (the service log holds the transfer passwords while
// detailed logging is on): a file created here gets mode 0600, so that only its owner and
// root can read it. An existing file keeps its mode.
#pragma once

#include <cstdio>
#include <string>

// Opens `path` for appending (created when missing, close-on-exec); nullptr on failure with
// errno set. A symbolic link at `path` is not followed and anything but a regular file is
// refused.
std::FILE* OpenPrivateForAppend(const std::string& path);

// Makes `path` a regular file that only its owner may read and write, for a file that another
// opener then rewrites: created empty with mode 0600 when missing, its group and other
// permissions taken away when it exists; its content is left alone. False (errno set) when
// that failed or `path` is no regular file (a FIFO or device is never waited on).
bool MakeFilePrivate(const std::string& path);
