// Sending by copy into a destination directory, the destination layout, and the helpers that
// turn a source file into its destination sub-path and upload address.
#include "service/kvtransfer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/filecopy.h"
#include "platform/privatefile.h"
#include "tests/service/kvtransfer_fixture.h"
#include "tests/support/forked.h"

namespace fs = std::filesystem;

namespace {

// A COPY configuration to one or two destination directories.
struct CopyConfig : TTransportConfig {
    explicit CopyConfig(const std::string& dest0, const std::string& dest1 = "") {
        Transport = ttCopy;
        Destination[0] = dest0;
        Destination[1] = dest1;
    }
};

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937_64 generator(seed);
    std::string bytes(size, '\0');
    for (size_t i = 0; i + 8 <= size; i += 8) {
        uint64_t value = generator();
        std::memcpy(&bytes[i], &value, 8);
    }
    return bytes;
}

// Every entry of `dir`, hidden ones included.
std::set<std::string> Entries(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

// Runs `transfer.Transfer(path)` and gives the message it raised ("" when none).
std::string TransferError(TDestinationTransfer& transfer, const std::string& path) {
    try {
        transfer.Transfer(path);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(TransferPaths, SubPathOfEachKindOfFile) {
    EXPECT_EQ(DestinationSubPath("/d/export/SHOP1/shopinfo.arg", "/"), "SHOP1");
    EXPECT_EQ(DestinationSubPath("/d/export/SHOP1/SHOPINFO.ARG", "/"), "SHOP1");
    EXPECT_EQ(DestinationSubPath("/d/export/SHOP1/info2.arg", "/"), "export/SHOP1");
    EXPECT_EQ(DestinationSubPath("/d/export/SHOP1/shopinfo.arg.bak", "/"), "export/SHOP1");
    EXPECT_EQ(DestinationSubPath("/d/export/SHOP1/tallix/c.scb", "/"), "SHOP1/tallix");
    EXPECT_EQ(DestinationSubPath("/d/export/SHOP1/caisse/a.txt", "/"), "SHOP1/caisse");
    EXPECT_EQ(DestinationSubPath("/d/export/Shop 1/filters/f.fif", "/"), "Shop 1/filters");
    for (TTransferType type : {ttCopy, ttFtp, ttFtps, ttSftp})
        EXPECT_EQ(PathSeparator(type), "/");
}

TEST(TransferPaths, UploadAddressEncodesEachSegmentAndTheName) {
    EXPECT_EQ(UploadPathPart("//SHOP1/caisse"), "/SHOP1/caisse/");
    EXPECT_EQ(UploadPathPart("/SHOP1"), "/SHOP1/");
    EXPECT_EQ(UploadPathPart(""), "/");
    EXPECT_EQ(UploadAddress("ftp://", "host", 21, "/SHOP1/caisse", "a.txt"),
              "ftp://host:21/SHOP1/caisse/a.txt");
    EXPECT_EQ(UploadAddress("sftp://", "host", 21, "/SHOP1/caisse", "a.txt"),
              "sftp://host:21/SHOP1/caisse/a.txt");
    EXPECT_EQ(UploadAddress("ftp://", "10.0.0.5", 2121, "/SHOP1", "SHOPINFO.ARG"),
              "ftp://10.0.0.5:2121/SHOP1/SHOPINFO.ARG");
    EXPECT_EQ(UploadAddress("ftp://", "h", 21, "/Shop 1/ca#sse", "a b?c%d\xc3\xa9.txt"),
              "ftp://h:21/Shop%201/ca%23sse/a%20b%3Fc%25d%C3%A9.txt");
    EXPECT_EQ(EncodeUrlSegment("AZaz09-._~/:@+"), "AZaz09-._~%2F%3A%40%2B");
    // An IPv6 host goes in brackets, the "%" of its zone encoded.
    EXPECT_EQ(UploadAddress("ftp://", "::1", 21, "/S", "a"), "ftp://[::1]:21/S/a");
    EXPECT_EQ(UploadAddress("sftp://", "[fe80::2]", 22, "/S", "a"), "sftp://[fe80::2]:22/S/a");
    EXPECT_EQ(UploadAddress("ftp://", "fe80::1%eth0", 21, "/S", "a"),
              "ftp://[fe80::1%25eth0]:21/S/a");
}

TEST(TransferPaths, HostsOfAnAddress) {
    for (const char* host :
         {"host", "ftp.example.com", "10.0.0.5", "my_host-2.", "::1", "[::1]", "2001:db8::7",
          "::ffff:10.0.0.5", "fe80::1%eth0", "caf\xc3\xa9.example"})
        EXPECT_TRUE(IsValidUrlHost(host)) << host;
    // Each of these would change what the address means (another directory, user, port or
    // server), or is no host at all.
    for (const char* host :
         {"", "host/upload", "user@host", "host:2121", "a b", "host ", "host?x", "host#x", "h\\x",
          "[host]", "[::1", "::g", "1:2", "host%20", "fe80::1%", "\thost"})
        EXPECT_FALSE(IsValidUrlHost(host)) << host;
    EXPECT_EQ(UrlHost("host"), "host");
    EXPECT_EQ(UrlHost("::1"), "[::1]");
    EXPECT_EQ(UrlHost("[::1]"), "[::1]");
    EXPECT_EQ(UrlHost("10.0.0.5"), "10.0.0.5");
}

// An upload destination that is no host is refused before libcurl starts: no file goes
// anywhere. The proxy's IPv6 address goes in brackets.
TEST(TransferPaths, UploadDestinationMustBeAHost) {
    TransferProbe probe;
    TDestinationTransfer transfer(probe.Hooks());
    TTransportConfig config;
    config.Transport = ttFtp;
    config.Destination[1] = "files.example/incoming";
    try {
        transfer.Prepare(config, 1);
        FAIL() << "a destination with a path was taken as a host";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Destination1 \"files.example/incoming\" n'est pas un nom d'h\xc3\xb4te ou une "
                  "adresse valide: aucun fichier n'y est envoy\xc3\xa9");
    }
    EXPECT_FALSE(transfer.HasCurlHandle());
    EXPECT_TRUE(probe.options.empty());
    transfer.Finish();

    config.Transport = ttSftp;
    config.Destination[0] = "::1";
    config.CurlProxy = "SOCKS5";
    config.ProxyHost = "::1";
    config.ProxyPort = 1080;
    transfer.Prepare(config, 0);
    EXPECT_TRUE(transfer.HasCurlHandle());
    bool proxySeen = false;
    for (const auto& [option, value] : probe.options)
        if (option == CURLOPT_PROXY) {
            EXPECT_EQ(value, "socks5://[::1]:1080");
            proxySeen = true;
        }
    EXPECT_TRUE(proxySeen);
    EXPECT_TRUE(probe.Errors().empty());
    transfer.Finish();
}

TEST(CopyTest, ShopTreeLandsInTheDestinationLayout) {
    ShopTree tree;
    TempDir dest;
    CopyConfig config(dest.Path());
    config.LogDetailed = true; // copies log nothing of their own, even then
    TransferProbe probe;
    TDestinationTransfer transfer(probe.Hooks());
    transfer.Prepare(config, 0);
    EXPECT_FALSE(transfer.HasCurlHandle());
    for (const auto& file : tree.Files())
        transfer.Transfer(tree.Path(file));
    transfer.Finish();

    for (const auto& file : tree.Files()) {
        std::string target = dest.File(file.destination);
        ASSERT_TRUE(FileExists(target)) << target;
        EXPECT_EQ(ReadTextFile(target), file.content) << target;
    }
    EXPECT_EQ(Entries(dest.Path()), (std::set<std::string>{"SHOP1", "export"}));
    EXPECT_EQ(Entries(dest.File("SHOP1/caisse")), (std::set<std::string>{"a.txt", "b.txt"}));
    EXPECT_TRUE(probe.log.empty());
    EXPECT_TRUE(probe.options.empty());
    EXPECT_EQ(probe.dialChecks, static_cast<int>(tree.Files().size()));
    ASSERT_EQ(probe.lastFiles.size(), tree.Files().size());
    for (size_t i = 0; i < tree.Files().size(); ++i)
        EXPECT_EQ(probe.lastFiles[i], (LastFile{tree.Path(tree.Files()[i]), true, 2}));
}

TEST(CopyTest, SecondDestinationAndUpperCaseShopInfo) {
    ShopTree tree;
    tree.Add("SHOP1/SHOPINFO.ARG", "upper", "SHOP1/SHOPINFO.ARG");
    TempDir dest0, dest1;
    CopyConfig config(dest0.Path(), dest1.Path());
    TDestinationTransfer transfer({});
    transfer.Prepare(config, 1);
    transfer.Transfer(tree.Path(tree.Files().back()));
    transfer.Finish();
    EXPECT_EQ(ReadTextFile(dest1.File("SHOP1/SHOPINFO.ARG")), "upper");
    EXPECT_TRUE(Entries(dest0.Path()).empty());
}

TEST(CopyTest, ExistingTargetIsReplacedAndTakesTheSourceDateAndMode) {
    ShopTree tree;
    const auto& file = tree.Files()[3]; // caisse/b.txt
    std::string source = tree.Path(file);
    TempDir dest;
    fs::create_directories(dest.File("SHOP1/caisse"));
    std::string target = dest.File("SHOP1/caisse/b.txt");
    WriteTextFile(target, std::string(100000, 'o')); // longer than the new content
    ASSERT_EQ(chmod(source.c_str(), 0640), 0);
    const timespec times[2] = {{1500000000, 0}, {1600000000, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, source.c_str(), times, 0), 0);

    CopyConfig config(dest.Path());
    TDestinationTransfer transfer({});
    transfer.Prepare(config, 0);
    transfer.Transfer(source);
    EXPECT_EQ(ReadTextFile(target), file.content);
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
    EXPECT_EQ(Entries(dest.File("SHOP1/caisse")), std::set<std::string>{"b.txt"});

    // Set-ID bits stay behind: the copy belongs to the service, not to the source's owner.
    ASSERT_EQ(chmod(source.c_str(), 06751), 0);
    ASSERT_EQ(stat(source.c_str(), &st), 0);
    ASSERT_EQ(st.st_mode & 07777, 06751u);
    transfer.Transfer(source);
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0751u);
}

// The directory of a sub-path is made for the first file of that sub-path only: when it goes
// away in between, the next file of the sub-path fails, and the next job makes it again.
TEST(CopyTest, DirectoryGoneBetweenFilesFailsThenNextJobMakesItAgain) {
    ShopTree tree;
    const std::string b = tree.Path(tree.Files()[3]);
    const std::string a = tree.Path(tree.Files()[4]);
    TempDir dest;
    CopyConfig config(dest.Path());
    TransferProbe probe;
    TDestinationTransfer transfer(probe.Hooks());
    transfer.Prepare(config, 0);
    transfer.Transfer(b);
    EXPECT_EQ(transfer.LastSubPath(), "SHOP1/caisse");
    fs::remove_all(dest.File("SHOP1"));

    EXPECT_EQ(TransferError(transfer, a), SysErrorMessage(ENOENT));
    EXPECT_EQ(probe.Errors(), std::vector<std::string>{"Copie impossible de a.txt vers "
                                                       "SHOP1/caisse : " +
                                                       SysErrorMessage(ENOENT)});
    EXPECT_EQ(probe.lastFiles.back(), (LastFile{a, false, 2}));
    EXPECT_FALSE(FileExists(dest.File("SHOP1")));
    transfer.Finish();

    transfer.Prepare(config, 0);
    EXPECT_EQ(transfer.LastSubPath(), "");
    transfer.Transfer(a);
    EXPECT_EQ(ReadTextFile(dest.File("SHOP1/caisse/a.txt")), tree.Files()[4].content);
    EXPECT_EQ(probe.lastFiles.back(), (LastFile{a, true, 2}));
}

TEST(CopyTest, FailuresAreLoggedWithNameAndSubPathAndRaisedAgain) {
    ShopTree tree;
    TempDir dest;
    WriteTextFile(dest.File("SHOP1"), "a file where the shop directory should be");
    CopyConfig config(dest.Path());
    TransferProbe probe;
    TDestinationTransfer transfer(probe.Hooks());
    transfer.Prepare(config, 0);

    const std::string a = tree.Path(tree.Files()[4]);
    std::string error = TransferError(transfer, a);
    std::string dir = dest.File("SHOP1/caisse");
    EXPECT_TRUE(error == "Cr\xc3\xa9"
                         "ation de dossier impossible: " +
                             dir + " : " + SysErrorMessage(ENOTDIR) ||
                error == "Cr\xc3\xa9"
                         "ation de dossier impossible: " +
                             dir + " : " + SysErrorMessage(EEXIST))
        << error;
    EXPECT_EQ(probe.Errors(),
              std::vector<std::string>{"Copie impossible de a.txt vers SHOP1/caisse : " + error});
    // The directory is tried again for the next file, since it was never made.
    EXPECT_EQ(transfer.LastSubPath(), "");

    const std::string missing = tree.Root() + "/SHOP2/caisse/gone.txt";
    probe.Clear();
    fs::remove(dest.File("SHOP1"));
    try {
        transfer.Transfer(missing);
        FAIL() << "a missing source file was sent";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Code, ENOENT);
    }
    EXPECT_EQ(probe.Errors(), std::vector<std::string>{"Copie impossible de gone.txt vers "
                                                       "SHOP2/caisse : " +
                                                       SysErrorMessage(ENOENT)});
    EXPECT_EQ(probe.lastFiles, (std::vector<LastFile>{{missing, false, 2}}));
    EXPECT_FALSE(FileExists(dest.File("SHOP2/caisse/gone.txt")));
}

TEST(CopyTest, LargeFileArrivesByteForByteWithNothingLeftBeside) {
    TempDir dir;
    // More than one piece of each copy method (64 MiB kernel copies, 1 MiB buffers).
    std::string content = RandomBytes((70u << 20) + 5, 7);
    std::string source = dir.File("big.bin");
    WriteTextFile(source, content);
    for (bool unnamed : {true, false}) {
        std::string target = dir.File(unnamed ? "copy1.bin" : "copy2.bin");
        WriteTextFile(target, "old");
        CopyFileReplacing(source, target, unnamed);
        EXPECT_TRUE(ReadTextFile(target) == content) << target;
    }
    EXPECT_EQ(Entries(dir.Path()), (std::set<std::string>{"big.bin", "copy1.bin", "copy2.bin"}));
}

namespace {

constexpr size_t kCopyLimit = 1 << 20;

// Runs `copy` in a child whose files may grow to kCopyLimit bytes only: the copy of a larger
// file is killed (SIGXFSZ) in its middle, with that much written, every time.
void KillCopyHalfway(const std::function<void()>& copy) {
    int status = RunForked([&] {
        const rlimit limit{kCopyLimit, kCopyLimit};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 1;
        copy();
        return 0;
    });
    EXPECT_EQ(status, 128 + SIGXFSZ);
}

} // namespace

TEST(CopyTest, CopyKilledHalfwayLeavesTheOldTargetWholeAndNothingElse) {
    ShopTree tree;
    tree.Add("SHOP1/caisse/big.txt", RandomBytes(3 * kCopyLimit, 3), "SHOP1/caisse/big.txt");
    const std::string source = tree.Path(tree.Files().back());
    TempDir dest;
    std::string targetDir = dest.File("SHOP1/caisse");
    fs::create_directories(targetDir);
    WriteTextFile(targetDir + "/big.txt", "old whole content");

    CopyConfig config(dest.Path());
    KillCopyHalfway([&] {
        TDestinationTransfer transfer({});
        transfer.Prepare(config, 0);
        transfer.Transfer(source);
    });
    EXPECT_EQ(ReadTextFile(targetDir + "/big.txt"), "old whole content");
    EXPECT_EQ(Entries(targetDir), std::set<std::string>{"big.txt"});
}

// Where a file system has no unnamed files, a killed copy leaves its hidden temporary file
// behind, and the target stays whole all the same.
TEST(CopyTest, CopyKilledHalfwayWithNamedTemporaryFile) {
    TempDir dir;
    std::string source = dir.File("source");
    WriteTextFile(source, RandomBytes(3 * kCopyLimit, 5));
    std::string targetDir = dir.File("out");
    fs::create_directories(targetDir);
    WriteTextFile(targetDir + "/new.txt", "old");

    KillCopyHalfway([&] { CopyFileReplacing(source, targetDir + "/new.txt", false); });
    EXPECT_EQ(ReadTextFile(targetDir + "/new.txt"), "old");
    std::set<std::string> entries = Entries(targetDir);
    ASSERT_EQ(entries.size(), 2u);
    std::string leftover = *entries.begin();
    EXPECT_EQ(leftover.rfind(".new.txt.", 0), 0u) << leftover;
    EXPECT_EQ(fs::file_size(targetDir + "/" + leftover), kCopyLimit);
    EXPECT_EQ(*entries.rbegin(), "new.txt");
    // A copy to a target that does not exist yet: no file of the final name while it runs.
    std::string other = dir.File("out2");
    fs::create_directories(other);
    KillCopyHalfway([&] { CopyFileReplacing(source, other + "/fresh.txt", false); });
    EXPECT_FALSE(FileExists(other + "/fresh.txt"));
}

// A FIFO or device put in a source file's place after the directory search is refused at once:
// it could block the service thread for good or feed it endless data.
TEST(CopyTest, SourceThatIsNoRegularFileIsRefusedAtOnce) {
    ShopTree tree;
    const std::string fifo = tree.Root() + "/SHOP1/caisse/c.txt";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A device of its own (the tests run as root), and a link to one: a link is refused
    // before anything looks at what it points to.
    const std::string device = tree.Root() + "/SHOP1/caisse/d.txt";
    ASSERT_EQ(mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 5)), 0) << "needs root";
    const std::string link = tree.Root() + "/SHOP1/caisse/e.txt";
    fs::create_symlink("/dev/zero", link);
    TempDir dest;
    CopyConfig config(dest.Path());
    // In a child with an alarm, so that a copy that waits on the FIFO cannot hang the test.
    int status = RunForked([&] {
        alarm(5);
        TDestinationTransfer transfer({});
        transfer.Prepare(config, 0);
        for (const auto& [path, code] :
             {std::pair{fifo, EINVAL}, {device, EINVAL}, {link, ELOOP}}) {
            try {
                transfer.Transfer(path);
                return 1;
            } catch (const EOSError& e) {
                if (e.Code != code)
                    return 2;
            }
        }
        return 0;
    });
    EXPECT_EQ(status, 0);
    for (const char* name : {"c.txt", "d.txt", "e.txt"})
        EXPECT_FALSE(FileExists(dest.File(std::string("SHOP1/caisse/") + name))) << name;
}

// Shop directories are written by other users while the service, as root, sends from them: a
// file, a data-kind directory or a shop swapped for a link after the listing fails and sends
// nothing of what the link points to. The tracked directory itself may be a link.
TEST(CopyTest, SourcesSwappedForLinksFailAndNothingBehindThemIsSent) {
    ShopTree tree;
    TempDir secret;
    fs::create_directories(secret.File("caisse"));
    fs::create_directories(secret.File("tallix"));
    for (const char* name : {"b.txt", "caisse/a.txt", "tallix/count.scb"})
        WriteTextFile(secret.File(name), std::string("secret ") + name);
    TempDir links;
    const std::string root = links.File("tracked");
    fs::create_symlink(tree.Root(), root);
    TempDir dest;
    CopyConfig config(dest.Path());
    TransferProbe probe;
    TDestinationTransfer transfer(probe.Hooks());
    transfer.SourceRoot = root;
    transfer.Prepare(config, 0);

    const std::string shop = tree.Root() + "/SHOP1";
    fs::remove(shop + "/caisse/b.txt");
    fs::create_symlink(secret.File("b.txt"), shop + "/caisse/b.txt");
    fs::rename(shop + "/tallix", shop + "/tallix.moved");
    fs::create_symlink(secret.File("tallix"), shop + "/tallix");
    EXPECT_NE(TransferError(transfer, root + "/SHOP1/caisse/b.txt"), "");
    EXPECT_NE(TransferError(transfer, root + "/SHOP1/tallix/count.scb"), "");
    EXPECT_EQ(TransferError(transfer, root + "/SHOP1/caisse/a.txt"), "");
    fs::rename(shop, tree.Root() + "/SHOP1.moved");
    fs::create_symlink(secret.Path(), shop);
    EXPECT_NE(TransferError(transfer, root + "/SHOP1/caisse/a.txt"), "");
    transfer.Finish();

    EXPECT_EQ(ReadTextFile(dest.File("SHOP1/caisse/a.txt")), tree.Files()[4].content);
    EXPECT_FALSE(FileExists(dest.File("SHOP1/caisse/b.txt")));
    EXPECT_FALSE(FileExists(dest.File("SHOP1/tallix/count.scb")));
    // A file that is a link: ELOOP; a directory that is one: ENOTDIR.
    const std::string loop = SysErrorMessage(ELOOP), notDir = SysErrorMessage(ENOTDIR);
    EXPECT_EQ(probe.Errors(), (std::vector<std::string>{
                                  "Copie impossible de b.txt vers SHOP1/caisse : " + loop,
                                  "Copie impossible de count.scb vers SHOP1/tallix : " + notDir,
                                  "Copie impossible de a.txt vers SHOP1/caisse : " + notDir}));
    ASSERT_EQ(probe.lastFiles.size(), 4u);
    EXPECT_EQ(probe.lastFiles[0], (LastFile{root + "/SHOP1/caisse/b.txt", false, 2}));
}

namespace {

// Whether the files `a` and `b` hold the same bytes, read piece by piece.
bool SameContent(const std::string& a, const std::string& b) {
    std::ifstream inA(a, std::ios::binary), inB(b, std::ios::binary);
    std::vector<char> bufA(1 << 20), bufB(1 << 20);
    while (inA && inB) {
        inA.read(bufA.data(), static_cast<std::streamsize>(bufA.size()));
        inB.read(bufB.data(), static_cast<std::streamsize>(bufB.size()));
        if (inA.gcount() != inB.gcount() ||
            !std::equal(bufA.begin(), bufA.begin() + inA.gcount(), bufB.begin()))
            return false;
    }
    return inA.eof() && inB.eof();
}

int64_t AllocatedKiB(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_blocks) / 2 : -1;
}

} // namespace

// A 200 MB file that is mostly holes arrives byte for byte and takes about the room it takes
// at home; a dense file checks for a stop between pieces of a few megabytes, and a stop ends
// the copy with nothing left at the destination, the file neither sent nor failed.
TEST(CopyTest, SparseFileKeepsItsHolesAndAStopEndsALongCopy) {
    ShopTree tree;
    const std::string sparse = tree.Root() + "/SHOP1/caisse/sparse.txt";
    {
        std::ofstream out(sparse, std::ios::binary);
        for (const auto& [offset, size] :
             {std::pair{0LL, 5000}, {(90LL << 20) + 77, 1 << 20}, {(200LL << 20) - 10, 10}}) {
            out.seekp(offset);
            out << RandomBytes(static_cast<size_t>(size), static_cast<unsigned>(size));
        }
    }
    const std::string dense = tree.Root() + "/SHOP1/caisse/dense.txt";
    WriteTextFile(dense, RandomBytes(48u << 20, 9));
    TempDir dest;
    CopyConfig config(dest.Path());
    TransferProbe probe;
    int checks = 0, stopAt = 0;
    TTransferHooks hooks = probe.Hooks();
    hooks.StopRequested = [&] { return ++checks == stopAt; };
    TDestinationTransfer transfer(hooks);
    transfer.Prepare(config, 0);

    transfer.Transfer(sparse);
    const std::string copy = dest.File("SHOP1/caisse/sparse.txt");
    EXPECT_EQ(fs::file_size(copy), 200u << 20);
    EXPECT_TRUE(SameContent(sparse, copy));
    std::printf("sparse source %lld KiB allocated, copy %lld KiB\n",
                static_cast<long long>(AllocatedKiB(sparse)),
                static_cast<long long>(AllocatedKiB(copy)));
    EXPECT_LE(AllocatedKiB(copy), AllocatedKiB(sparse) + 64);

    checks = 0;
    transfer.Transfer(dense);
    EXPECT_TRUE(SameContent(dense, dest.File("SHOP1/caisse/dense.txt")));
    EXPECT_GE(checks, 2 + 48 / 8) << "a check before each piece of at most 8 MiB";
    fs::remove(dest.File("SHOP1/caisse/dense.txt"));
    probe.Clear();
    checks = 0;
    stopAt = 4; // two before the copy, then after its second piece
    EXPECT_THROW(transfer.Transfer(dense), ETransferStopped);
    EXPECT_EQ(checks, 4);
    EXPECT_EQ(Entries(dest.File("SHOP1/caisse")), std::set<std::string>{"sparse.txt"});
    EXPECT_TRUE(probe.log.empty());
    EXPECT_TRUE(probe.lastFiles.empty());
    transfer.Finish();
}

// A user who may write into the destination plants links in the sub-paths: below the
// destination (itself a link here, as configured), no level is followed; the files of those
// sub-paths fail with ELOOP, nothing lands behind the links, and once they are gone the next
// try sends the files.
TEST(CopyTest, LinksInTheDestinationSubPathAreNotFollowed) {
    ShopTree tree({"SHOP1", "SHOP2"});
    TempDir dest, secret, links;
    const std::string destLink = links.File("dest");
    fs::create_symlink(dest.Path(), destLink);
    fs::create_symlink(secret.Path(), dest.File("SHOP1"));
    fs::create_directories(dest.File("export"));
    fs::create_symlink(secret.Path(), dest.File("export/SHOP2"));
    fs::create_directories(dest.File("SHOP2"));
    fs::create_symlink(secret.Path(), dest.File("SHOP2/caisse"));
    CopyConfig config(destLink);
    TransferProbe probe;
    TDestinationTransfer transfer(probe.Hooks());
    transfer.Prepare(config, 0);
    std::set<std::string> failed;
    for (const auto& file : tree.Files())
        if (!TransferError(transfer, tree.Path(file)).empty())
            failed.insert(file.relative);
    EXPECT_EQ(failed, (std::set<std::string>{"SHOP1/shopinfo.arg", "SHOP1/tallix/count.scb",
                                             "SHOP1/caisse/b.txt", "SHOP1/caisse/a.txt",
                                             "SHOP1/filters/f1.fif", "SHOP2/info2.arg",
                                             "SHOP2/caisse/b.txt", "SHOP2/caisse/a.txt"}));
    EXPECT_TRUE(Entries(secret.Path()).empty());
    const std::string loop = SysErrorMessage(ELOOP);
    EXPECT_EQ(probe.Errors()[0], "Copie impossible de shopinfo.arg vers SHOP1 : Cr\xc3\xa9"
                                 "ation de dossier impossible: " +
                                     destLink + "/SHOP1 : " + loop);
    EXPECT_EQ(probe.Errors().back(), "Copie impossible de a.txt vers SHOP2/caisse : Cr\xc3\xa9"
                                     "ation de dossier impossible: " +
                                         destLink + "/SHOP2/caisse : " + loop);
    EXPECT_EQ(ReadTextFile(dest.File("SHOP2/shopinfo.arg")), tree.Files()[6].content);

    for (const char* link : {"SHOP1", "export/SHOP2", "SHOP2/caisse"})
        fs::remove(dest.File(link));
    transfer.Prepare(config, 0);
    for (const auto& file : tree.Files())
        transfer.Transfer(tree.Path(file));
    for (const auto& file : tree.Files())
        EXPECT_EQ(ReadTextFile(dest.File(file.destination)), file.content) << file.destination;
    EXPECT_TRUE(Entries(secret.Path()).empty());
}

TEST(TransferLogTest, LogFileLinesCopiesEachLine) {
    TempDir dir;
    TransferProbe probe;
    TDestinationTransfer transfer(probe.Hooks());
    std::string file = dir.File("ftp_detailed_log.txt");
    WriteTextFile(file, "* one\r\n> two\n< three\r\rfive");
    transfer.LogFileLines(file);
    std::vector<LoggedLine> expected{
        {0, "* one"}, {0, "> two"}, {0, "< three"}, {0, ""}, {0, "five"}};
    EXPECT_EQ(probe.log, expected);

    probe.Clear();
    WriteTextFile(file, "");
    transfer.LogFileLines(file);
    EXPECT_TRUE(probe.log.empty());

    transfer.LogFileLines(dir.File("none.txt"));
    EXPECT_EQ(probe.log, (std::vector<LoggedLine>{{3, "none.txt: " + SysErrorMessage(ENOENT)}}));
}

// The detailed log shows the FTP password: before each upload its file is made private, and
// a file that is no regular file is never waited on.
TEST(TransferLogTest, DetailedLogFileIsMadePrivateFirst) {
    TempDir dir;
    struct stat st;
    const std::string fresh = dir.File("new.txt");
    ASSERT_TRUE(MakeFilePrivate(fresh));
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    const std::string old = dir.File("old.txt");
    WriteTextFile(old, "kept");
    ASSERT_EQ(chmod(old.c_str(), 0664), 0);
    ASSERT_TRUE(MakeFilePrivate(old));
    ASSERT_EQ(stat(old.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(ReadTextFile(old), "kept");

    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_EQ(RunForked([&] {
                  alarm(5);
                  return MakeFilePrivate(fifo) ? 1 : 0;
              }),
              0);
    EXPECT_FALSE(MakeFilePrivate(dir.Path()));
    EXPECT_FALSE(MakeFilePrivate(dir.File("missing/log.txt")));
}
