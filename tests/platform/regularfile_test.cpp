#include "platform/regularfile.h"

#include <gtest/gtest.h>

#include <istream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/forked.h"
#include "tests/support/tempdir.h"

namespace {

std::string ReadAll(TRegularFileBuf& buf) {
    std::istream in(&buf);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

TEST(RegularFileBuf, ReadsAWholeFileAcrossItsBuffer) {
    TempDir dir;
    std::string content;
    for (int i = 0; content.size() < 200000; ++i)
        content += std::to_string(i) + "\r\n";
    WriteTextFile(dir.File("big"), content);
    WriteTextFile(dir.File("empty"), "");
    ASSERT_EQ(symlink(dir.File("big").c_str(), dir.File("link").c_str()), 0);

    TRegularFileBuf big, empty, link;
    ASSERT_TRUE(big.Open(dir.File("big")));
    EXPECT_EQ(ReadAll(big), content);
    ASSERT_TRUE(empty.Open(dir.File("empty")));
    EXPECT_EQ(ReadAll(empty), "");
    ASSERT_TRUE(link.Open(dir.File("link")));
    EXPECT_EQ(ReadAll(link), content);
}

TEST(RegularFileBuf, RefusesEverythingButARegularFile) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink(dir.File("fifo").c_str(), dir.File("to-fifo").c_str()), 0);
    // A FIFO without a writer would block an ordinary open for good.
    const int status = RunForked([&] {
        alarm(10);
        int refused = 0;
        for (const std::string& path : {dir.File("sub"), dir.File("fifo"), dir.File("to-fifo"),
                                        dir.File("none"), std::string("/dev/zero")}) {
            TRegularFileBuf buf;
            refused += !buf.Open(path) && ReadAll(buf).empty();
        }
        return refused == 5 ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}
