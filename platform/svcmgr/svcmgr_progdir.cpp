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
    if (!fd) {
        if (errno == ENOENT || errno == ELOOP)
            return true;
        why = name + ": " + SysErrorMessage(errno);
        return false;
    }
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

std::string RandomTag() {
    unsigned char bytes[8] = {};
    if (getentropy(bytes, sizeof bytes) != 0)
        return std::to_string(getpid());
    std::string tag;
    for (unsigned char b : bytes)
        tag += "0123456789abcdef"[b >> 4], tag += "0123456789abcdef"[b & 15];
    return tag;
}

// A copy of regular file `from` that root owns, in a new file that no other process has open,
// renamed over `name`. False when it could not be made.
bool CopyAsNewFile(int dirFd, const std::string& name, int from, uid_t uid, gid_t gid) {
    const std::string temporary = "." + name + "." + RandomTag() + ".tmp";
    TUniqueFd to(openat(dirFd, temporary.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!to)
        return false;
    bool ok = fchown(to.Get(), uid, gid) == 0;
    char buffer[65536];
    for (ssize_t got; ok && (got = read(from, buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno == EINTR)
            continue;
        ok = got > 0 && write(to.Get(), buffer, static_cast<size_t>(got)) == got;
    }
    ok = ok && fsync(to.Get()) == 0 && renameat(dirFd, temporary.c_str(), dirFd, name.c_str()) == 0;
    if (!ok)
        unlinkat(dirFd, temporary.c_str(), 0);
    return ok;
}

// Takes one declared file back for root. The account may still hold it open, or have made
// another link to it, so a file that was not root's alone becomes a new file with the same
// bytes; anything else than a regular file at that name (a link the account put there) goes.
void TakeBack(int dirFd, const std::string& name, uid_t uid, gid_t gid) {
    struct stat st {};
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode))
        return;
    if (!S_ISREG(st.st_mode)) {
        unlinkat(dirFd, name.c_str(), 0);
        return;
    }
    TUniqueFd fd(openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd || fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    if (st.st_uid == uid && st.st_nlink == 1) {
        fchmod(fd.Get(), 0600);
        return;
    }
    if (!CopyAsNewFile(dirFd, name, fd.Get(), uid, gid))
        unlinkat(dirFd, name.c_str(), 0); // never left for root to read as the account's
}

// Directories whose programs root runs by name: never opened to an account.
bool IsSystemProgramDirectory(const std::string& dir) {
    for (const char* system : {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin",
                               "/sbin", "/bin", "/usr/lib", "/usr/libexec", "/lib"})
        if (dir == system)
            return true;
    return false;
}

bool IsSafeName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

} // namespace

namespace {

std::vector<std::string> DeclaredNames(const std::string& binaryPath, const char* sectionName) {
    std::vector<std::string> names;
    std::string section;
    if (!ReadElfSection(binaryPath, sectionName, section))
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

} // namespace

std::vector<std::string> DeclaredServiceFiles(const std::string& binaryPath) {
    return DeclaredNames(binaryPath, ServiceFilesSection);
}

std::vector<std::string> DeclaredServicePipes(const std::string& binaryPath) {
    return DeclaredNames(binaryPath, ServicePipesSection);
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
    // Only a program that declares the files it writes gets its directory prepared, and
    // only a directory of its own: not one that others own or may write, nor one of the
    // system's program directories.
    std::vector<std::string> files = DeclaredServiceFiles(binaryPath);
    if (files.empty() || (st.st_uid != 0 && st.st_uid != geteuid()) || (st.st_mode & S_IWOTH) ||
        dir == "/" || IsSystemProgramDirectory(dir))
        return true;
    if (uid == geteuid()) {
        CloseDirectoryToAccounts(dirFd.Get(), st);
        for (const std::string& name : files)
            TakeBack(dirFd.Get(), name, uid, gid);
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
