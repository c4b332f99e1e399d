// The program directory of a service that runs under a user account. The service writes its
// configuration and logs beside its program, and replaces its configuration through a new file
// renamed over the old one, so the account needs to create files there; the programs in the
// directory must stay root's and out of its reach. So, before the account's service runs:
// - the directory gets the sticky bit and an access ACL entry that lets the account create
//   files: in a sticky directory it can rename or remove only the files it owns;
// - the files the program declares (platform/svcfiles.h) become the account's, mode 0600;
//   nothing else in the directory changes hands.
// Before a service runs as root again, the ACL entry goes and those files are root's again:
// as new files with the same bytes when the account could still reach the old ones (open, or
// through another link), and a link or other non-file at a declared name is removed.
// Only a program that declares files, in a directory of its own that root (or the manager's
// own user) owns and others may not write, is prepared, never a system program directory; a
// link at a declared name is never followed, nor handed to the account.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// The file names and the pipe names the program file declares; empty when it declares none.
std::vector<std::string> DeclaredServiceFiles(const std::string& binaryPath);
std::vector<std::string> DeclaredServicePipes(const std::string& binaryPath);

// Prepares the directory of `binaryPath` for account `uid`/`gid`; the manager's own user (root)
// takes the directory back. False with the reason in `why` when it cannot be done.
bool PrepareProgramDirectory(const std::string& binaryPath, uid_t uid, gid_t gid, std::string& why);
