// Opening files that may hold credentials (the service log holds the transfer passwords while
// detailed logging is on): a file created here gets mode 0600, so that only its owner and
// root can read it. An existing file keeps its mode.
#pragma once

#include <cstdio>
#include <string>

// Opens `path` for appending (created when missing, close-on-exec); nullptr on failure with
// errno set.
std::FILE* OpenPrivateForAppend(const std::string& path);
