// The status file is rewritten after every chain entry of every job: it is left to the
// system's write-back, never flushed, and reads back as any other status file.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/service/framework/dirdesc_fixture.h"
#include "tests/support/flushguard.h"
#include "tests/support/forked.h"

TEST_F(DirListTest, SaveMakesNoFlushCallAndReadsBack) {
    AddFile("a.txt", 10);
    AddFile("b.txt", 20, 5);
    WriteStatus({"a.txt\t10\t2024/05/01 10:20:30.456 UTC"});
    int result = RunForked([&] {
        if (!RefuseFlushCalls())
            return 10;
        try {
            auto list = List("txt");
            SendAll(*list);
            list->Save();
        } catch (const std::exception&) {
            return 11; // a flush call would have failed with EPERM
        }
        return 0;
    });
    ASSERT_NE(result, 10) << "no seccomp filter here";
    EXPECT_EQ(result, 0);

    auto again = List("txt");
    EXPECT_EQ(ChangedNames(*again), Names{});
    EXPECT_EQ(ListedNames(*again), (Names{"a.txt", "b.txt"}));
    // The replacement left no temporary file beside the status file.
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 3);
}
