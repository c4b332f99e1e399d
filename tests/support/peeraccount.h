// The system account that the test servers (FTP, SFTP) let clients log into.
//
// FTP and SSH servers authenticate system users, so the tests need one: `kvtestpeer`, created on
// first use (as root) with `useradd --system`, no login shell (nologin) and a home directory in
// the state directory below. Its password is random per machine, set with chpasswd and kept in a
// root-only file of the state directory, so no account with a published password is ever left on
// a machine. An existing account is reused; a missing home directory or a password that no longer
// matches the kept one is repaired. Test programs running in parallel serialise this set-up with
// a lock file.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct PeerAccount {
    std::string user;
    std::string password;
    std::string home;
    uid_t uid = 0;
    gid_t gid = 0;
};

// Root-owned directory (mode 0755, on a path that only root can write) for the account's state and
// for server directories that must be root-owned, such as an SFTP chroot.
std::string PeerStateDir();

// A new directory in PeerStateDir(), root-owned with mode 0755, removed with its contents by the
// destructor.
class RootOwnedTempDir {
public:
    explicit RootOwnedTempDir(const std::string& prefix);
    ~RootOwnedTempDir();
    RootOwnedTempDir(const RootOwnedTempDir&) = delete;
    RootOwnedTempDir& operator=(const RootOwnedTempDir&) = delete;

    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// The account, set up on the first call of the process. Throws when it cannot be set up.
const PeerAccount& TestPeerAccount();

// Why test servers cannot run here: not root, or one of `programs` not installed. Empty when they
// can.
std::string PeerUnavailableReason(const std::vector<std::string>& programs);
