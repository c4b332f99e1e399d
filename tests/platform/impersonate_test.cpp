// Acting as another user on one thread: files are created and refused as that user's, other
// threads keep root's access, and the revert gives everything back.
#include "platform/impersonate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "tests/support/forked.h"
#include "tests/support/peeraccount.h"

namespace {

// 0 when `path` could be created, else the errno value.
int CreateFile(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    close(fd);
    return 0;
}

struct stat StatOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

bool SameIdentity(const TUserIdentity& a, const TUserIdentity& b) {
    return a.Uid == b.Uid && a.Gid == b.Gid && a.Groups == b.Groups;
}

} // namespace

TEST(ImpersonationTest, OnlyTheCallingThreadActsAsTheUserUntilTheRevert) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const PeerAccount& account = TestPeerAccount();
    const TUserIdentity user = LookUpUser(account.user);
    EXPECT_EQ(user.Uid, account.uid);
    EXPECT_EQ(user.Gid, account.gid);
    EXPECT_EQ(user.Groups, std::vector<gid_t>{account.gid});

    RootOwnedTempDir dir("impersonate");
    const std::string usersDir = dir.Path() + "/users";
    ASSERT_EQ(mkdir(usersDir.c_str(), 0755), 0);
    ASSERT_EQ(chown(usersDir.c_str(), user.Uid, user.Gid), 0);
    // Open to root's group only: reachable through a group id or supplementary group of root.
    const std::string groupDir = dir.Path() + "/group";
    ASSERT_EQ(mkdir(groupDir.c_str(), 0770), 0);

    const TUserIdentity before = CurrentThreadIdentity();
    // A thread that runs already keeps root's identity while this one acts as the user (a
    // thread started by an impersonating thread would inherit the user's).
    std::promise<void> go;
    TUserIdentity other;
    int otherCreate = -1;
    std::thread thread([&, started = go.get_future()]() mutable {
        started.wait();
        other = CurrentThreadIdentity();
        otherCreate = CreateFile(dir.Path() + "/by-other-thread");
    });
    {
        TImpersonation asUser(user);
        EXPECT_EQ(CreateFile(usersDir + "/mine"), 0);
        EXPECT_EQ(StatOf(usersDir + "/mine").st_uid, user.Uid);
        EXPECT_EQ(StatOf(usersDir + "/mine").st_gid, user.Gid);
        EXPECT_EQ(CreateFile(dir.Path() + "/refused"), EACCES);
        EXPECT_EQ(CreateFile(groupDir + "/refused"), EACCES);

        go.set_value();
        thread.join();
        EXPECT_TRUE(SameIdentity(other, before));
        EXPECT_EQ(otherCreate, 0);
        EXPECT_EQ(StatOf(dir.Path() + "/by-other-thread").st_uid, 0u);
    }
    EXPECT_TRUE(SameIdentity(CurrentThreadIdentity(), before));
    EXPECT_EQ(CreateFile(dir.Path() + "/root-again"), 0);
    EXPECT_EQ(StatOf(dir.Path() + "/root-again").st_uid, 0u);
    EXPECT_EQ(CreateFile(groupDir + "/root-again"), 0);
}

TEST(ImpersonationTest, RefusalsLeaveTheThreadAsItWas) {
    try {
        LookUpUser("kv-no-such-user");
        ADD_FAILURE() << "an unknown user was found";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Code, ENOENT);
    }
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const TUserIdentity user = LookUpUser(TestPeerAccount().user);
    // Without root's privileges the switch is refused and nothing of it stays.
    int status = RunForked([&] {
        if (!DropRootRights())
            return 10;
        const TUserIdentity before = CurrentThreadIdentity();
        try {
            TImpersonation asUser(user);
            return 11;
        } catch (const EOSError& e) {
            if (e.Code != EPERM)
                return 12;
        }
        if (!SameIdentity(CurrentThreadIdentity(), before))
            return 13;
        return 0;
    });
    EXPECT_EQ(status, 0);
}
