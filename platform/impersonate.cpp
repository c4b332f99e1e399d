#include "platform/impersonate.h"

#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/errors.h"

namespace {

// The system calls that take 32-bit ids; on 64-bit systems they carry the plain names.
#ifdef SYS_setfsuid32
constexpr long kSetFsUid = SYS_setfsuid32;
constexpr long kSetFsGid = SYS_setfsgid32;
constexpr long kGetGroups = SYS_getgroups32;
constexpr long kSetGroups = SYS_setgroups32;
#else
constexpr long kSetFsUid = SYS_setfsuid;
constexpr long kSetFsGid = SYS_setfsgid;
constexpr long kGetGroups = SYS_getgroups;
constexpr long kSetGroups = SYS_setgroups;
#endif

// setfsuid and setfsgid always answer with the id in force before the call and change nothing
// for an invalid id, so -1 reads the current one and a read-back shows whether a change took.
uid_t ThreadFsUid() {
    return static_cast<uid_t>(syscall(kSetFsUid, static_cast<uid_t>(-1)));
}

gid_t ThreadFsGid() {
    return static_cast<gid_t>(syscall(kSetFsGid, static_cast<gid_t>(-1)));
}

bool SetThreadFsUid(uid_t uid) {
    syscall(kSetFsUid, uid);
    return ThreadFsUid() == uid;
}

bool SetThreadFsGid(gid_t gid) {
    syscall(kSetFsGid, gid);
    return ThreadFsGid() == gid;
}

std::vector<gid_t> ThreadGroups() {
    for (;;) {
        long count = syscall(kGetGroups, 0, nullptr);
        if (count < 0)
            throw OSErrorFromErrno(errno);
        std::vector<gid_t> groups(static_cast<size_t>(count));
        long got = syscall(kGetGroups, count, groups.data());
        if (got >= 0) {
            groups.resize(static_cast<size_t>(got));
            return groups;
        }
        // EINVAL: the list grew in between; ask again.
        if (errno != EINVAL)
            throw OSErrorFromErrno(errno);
    }
}

// 0 or the errno value of the failure.
int SetThreadGroups(const std::vector<gid_t>& groups) {
    return syscall(kSetGroups, groups.size(), groups.data()) == 0 ? 0 : errno;
}

} // namespace

TUserIdentity LookUpUser(const std::string& name) {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    int code;
    while ((code = getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found)) ==
           ERANGE)
        buffer.resize(buffer.size() * 2);
    if (code != 0)
        throw OSErrorFromErrno(code);
    if (!found)
        throw EOSError(ENOENT, "no such user");

    TUserIdentity user;
    user.Name = name;
    user.Uid = entry.pw_uid;
    user.Gid = entry.pw_gid;
    int count = 16;
    for (;;) {
        user.Groups.resize(static_cast<size_t>(count));
        int wanted = count;
        if (getgrouplist(name.c_str(), user.Gid, user.Groups.data(), &wanted) >= 0) {
            user.Groups.resize(static_cast<size_t>(wanted));
            return user;
        }
        // The list is longer: `wanted` says how long (some versions leave it as it was).
        count = wanted > count ? wanted : count * 2;
    }
}

TUserIdentity CurrentThreadIdentity() {
    TUserIdentity identity;
    identity.Uid = ThreadFsUid();
    identity.Gid = ThreadFsGid();
    identity.Groups = ThreadGroups();
    return identity;
}

TImpersonation::TImpersonation(const TUserIdentity& user)
    : savedUid_(ThreadFsUid()), savedGid_(ThreadFsGid()), savedGroups_(ThreadGroups()) {
    // Groups and group first: once the user id is no longer root's, the thread may not change
    // them any more.
    int code = SetThreadGroups(user.Groups);
    if (code == 0 && !SetThreadFsGid(user.Gid))
        code = EPERM;
    if (code == 0 && !SetThreadFsUid(user.Uid))
        code = EPERM;
    if (code != 0) {
        SetThreadFsUid(savedUid_);
        SetThreadFsGid(savedGid_);
        SetThreadGroups(savedGroups_);
        throw OSErrorFromErrno(code);
    }
}

TImpersonation::~TImpersonation() {
    // The user id first: it gives back the privileges that the other two need.
    SetThreadFsUid(savedUid_);
    SetThreadFsGid(savedGid_);
    SetThreadGroups(savedGroups_);
}
