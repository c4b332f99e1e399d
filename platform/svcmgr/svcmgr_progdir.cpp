#include "platform/svcmgr/svcmgr_progdir.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/svcfiles.h"
#include "platform/uniquefd.h"
#include "platform/versionres.h"

namespace {

// The kernel's form of an access ACL: a version, then entries of tag, permissions and id.
constexpr const char* AccessAclAttribute = "system.posix_acl_access";
constexpr uint32_t AclVersion = 2;
constexpr uint16_t TagUserObj = 0x01, TagUser = 0x02, TagGroupObj = 0x04, TagMask = 0x10,
                   TagOther = 0x20;
constexpr uint32_t NoId = 0xFFFFFFFF;

void AppendLe(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void AppendEntry(std::string& acl, uint16_t tag, unsigned perm, uint32_t id) {
    AppendLe(acl, tag, 2);
    AppendLe(acl, perm & 7, 2);
    AppendLe(acl, id, 4);
}

// The group owner's permissions that an access ACL of `fd` keeps (the mode shows the mask
// instead); -1 when the directory has no ACL.
int AclGroupPermissions(int fd) {
    char buffer[1024];
    ssize_t size = fgetxattr(fd, AccessAclAttribute, buffer, sizeof buffer);
    if (size < 4)
        return -1;
    for (ssize_t at = 4; at + 8 <= size; at += 8) {
        auto byte = [&](ssize_t i) {
            return static_cast<unsigned>(static_cast<uint8_t>(buffer[i]));
        };
        unsigned tag = byte(at) | byte(at + 1) << 8;
        if (tag == TagGroupObj)
            return static_cast<int>(byte(at + 2) & 7);
    }
    return -1;
}

// The account may create files in the directory; in a sticky directory it can rename or
// remove only its own.
bool OpenDirectoryToAccount(int dirFd, const struct stat& st, uid_t uid, std::string& why) {
    int group = AclGroupPermissions(dirFd);
    unsigned groupPerm = group >= 0 ? static_cast<unsigned>(group) : (st.st_mode >> 3) & 7;
    std::string acl;
    AppendLe(acl, AclVersion, 4);
    AppendEntry(acl, TagUserObj, (st.st_mode >> 6) & 7, NoId);
    AppendEntry(acl, TagUser, 7, uid);
    AppendEntry(acl, TagGroupObj, groupPerm, NoId);
    AppendEntry(acl, TagMask, 7, NoId);
    AppendEntry(acl, TagOther, st.st_mode & 7, NoId);
    if (fchmod(dirFd, (st.st_mode & 07777) | S_ISVTX) != 0 ||
        fsetxattr(dirFd, AccessAclAttribute, acl.data(), acl.size(), 0) != 0) {
        why = SysErrorMessage(errno);
        return false;
    }
    return true;
}

// Drops the account's ACL entry; the group owner keeps the permissions it had.
void CloseDirectoryToAccounts(int dirFd, const struct stat& st) {
    int group = AclGroupPermissions(dirFd);
    if (group < 0)
        return;
    fremovexattr(dirFd, AccessAclAttribute);
    fchmod(dirFd, (st.st_mode & ~static_cast<mode_t>(070)) | (static_cast<mode_t>(group) << 3));
}

// Gives one declared file to the account: a regular file with one link, not followed
// through a link; a missing file is created by the service itself.
bool HandOver(int dirFd, const std::string& name, uid_t uid, gid_t gid, std::string& why) {
    TUniqueFd fd(openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return errno == ENOENT || errno == ELOOP;
    struct stat st {};
    if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)
        return true;
    if ((st.st_uid != uid || st.st_gid != gid) && fchown(fd.Get(), uid, gid) != 0) {
        why = name + ": " + SysErrorMessage(errno);
        return false;
    }
    fchmod(fd.Get(), 0600);
    return true;
}

bool IsSafeName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

} // namespace

std::vector<std::string> DeclaredServiceFiles(const std::string& binaryPath) {
    std::vector<std::string> names;
    std::string section;
    if (!ReadElfSection(binaryPath, ServiceFilesSection, section))
        return names;
    size_t start = 0;
    while (start < section.size()) {
        size_t end = section.find('\0', start);
        if (end == std::string::npos)
            end = section.size();
        std::string name = section.substr(start, end - start);
        if (IsSafeName(name))
            names.push_back(name);
        start = end + 1;
    }
    return names;
}

bool PrepareProgramDirectory(const std::string& binaryPath, uid_t uid, gid_t gid,
                             std::string& why) {
    size_t slash = binaryPath.rfind('/');
    std::string dir = slash == 0 ? "/" : binaryPath.substr(0, slash);
    TUniqueFd dirFd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (!dirFd || fstat(dirFd.Get(), &st) != 0) {
        why = dir + ": " + SysErrorMessage(errno);
        return false;
    }
    // A directory that others own or may write is no program directory of the manager's:
    // its files are not handed to anybody, and its rights stay as they are.
    if ((st.st_uid != 0 && st.st_uid != geteuid()) || (st.st_mode & S_IWOTH) || dir == "/")
        return true;
    std::vector<std::string> files = DeclaredServiceFiles(binaryPath);
    if (uid == geteuid()) {
        CloseDirectoryToAccounts(dirFd.Get(), st);
        for (const std::string& name : files)
            HandOver(dirFd.Get(), name, uid, gid, why);
        return true;
    }
    if (!OpenDirectoryToAccount(dirFd.Get(), st, uid, why)) {
        why = dir + ": " + why;
        return false;
    }
    for (const std::string& name : files)
        if (!HandOver(dirFd.Get(), name, uid, gid, why))
            return false;
    return true;
}
