// A file of more than 2 GiB goes up whole, read from disk piece by piece: the upload neither
// holds the file in memory nor cuts it at a 32-bit size.
#include "service/kvtransfer.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include <gtest/gtest.h>

#include "tests/service/kvtransfer_fixture.h"
#include "tests/support/servers.h"

namespace {

// Past the largest 32-bit signed size by 64 MiB and a bit; mostly a hole.
constexpr int64_t kSize = (1LL << 31) + (64LL << 20) + 12345;

// Marks at the start, across the 2 GiB line and at the end; the rest reads as zeros.
const std::vector<std::pair<int64_t, std::string>> kMarks = {
    {0, "start"}, {(1LL << 31) - 3, "across-2GiB"}, {kSize - 3, "end"}};

void WriteAt(int fd, int64_t offset, const std::string& text) {
    ASSERT_EQ(pwrite(fd, text.data(), text.size(), offset), static_cast<ssize_t>(text.size()));
}

std::string ReadAt(const std::string& path, int64_t offset, size_t size) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::string text(size, '\0');
    ssize_t got = pread(fd, text.data(), size, offset);
    close(fd);
    text.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return text;
}

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

TEST(LargeUploadTest, SparseFileBeyondTwoGiBOverFtp) {
    std::string reason = FtpServer::UnavailableReason();
    if (!reason.empty())
        GTEST_SKIP() << reason;
    FtpServer server;
    TempDir dir;
    std::string shopDir = dir.File("export/SHOP1/caisse");
    std::filesystem::create_directories(shopDir);
    std::string path = shopDir + "/big.txt";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, kSize), 0);
    for (const auto& [offset, text] : kMarks)
        WriteAt(fd, offset, text);
    close(fd);

    TTransportConfig config;
    config.Transport = ttFtp;
    config.Destination[0] = server.Host();
    config.Port = server.Port();
    config.Username = server.User();
    config.Password = server.Password();
    TransferProbe probe;
    TDestinationTransfer transfer(probe.Hooks());
    transfer.Prepare(config, 0);
    long rssBefore = PeakRssKiB();
    auto start = std::chrono::steady_clock::now();
    transfer.Transfer(path);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    long rssGrowth = PeakRssKiB() - rssBefore;
    transfer.Finish();
    std::printf("uploaded %lld bytes in %.2f s, peak memory grew by %ld KiB\n",
                static_cast<long long>(kSize), seconds, rssGrowth);

    EXPECT_LT(rssGrowth, 64 * 1024);
    EXPECT_TRUE(probe.log.empty());
    std::string arrived = server.RootDir() + "/SHOP1/caisse/big.txt";
    ASSERT_EQ(static_cast<int64_t>(std::filesystem::file_size(arrived)), kSize);
    for (const auto& [offset, text] : kMarks)
        EXPECT_EQ(ReadAt(arrived, offset, text.size()), text) << "at " << offset;
    EXPECT_EQ(ReadAt(arrived, 1LL << 30, 4), std::string(4, '\0'));
}
