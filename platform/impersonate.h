// Acting as another user for file access, on one thread only: the file-system user and group
// and the supplementary groups of the calling thread become the user's, while the process keeps
// its own identity (and every other thread its own file access). Linux keeps these per thread;
// the switch goes through the system calls directly, since the C library's set-ID wrappers
// apply a change to every thread of the process.
//
// Changing to another user needs root's CAP_SETUID and CAP_SETGID. While the switch is in force
// the thread has none of root's file-access privileges (the kernel drops them with a file-system
// user id other than 0); they come back with the revert.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Who a user is for file access: user id, primary group and every group the user belongs to.
struct TUserIdentity {
    std::string Name;
    uid_t Uid = 0;
    gid_t Gid = 0;
    std::vector<gid_t> Groups; // the primary group included
};

// The identity of the user `name` from the system's user and group databases. Throws EOSError
// when there is no such user (code ENOENT) or the databases cannot be read.
TUserIdentity LookUpUser(const std::string& name);

// The file-system identity of the calling thread.
TUserIdentity CurrentThreadIdentity();

// While it lives, the calling thread reads, writes and creates files as `user`. It must be
// destroyed on the thread that made it; the destructor reverts to what the thread had before.
class TImpersonation {
public:
    // Throws EOSError (EPERM without the privileges) when the switch cannot be made; the
    // thread's identity is then unchanged.
    explicit TImpersonation(const TUserIdentity& user);
    ~TImpersonation();
    TImpersonation(const TImpersonation&) = delete;
    TImpersonation& operator=(const TImpersonation&) = delete;

private:
    uid_t savedUid_;
    gid_t savedGid_;
    std::vector<gid_t> savedGroups_;
};
