// Copies are published whole (a temporary file renamed onto the target) but not flushed to
// disk one by one, as a plain copy: under a filter that makes every flush call fail, a whole
// shop is copied, over new and existing targets alike.
#include "service/kvtransfer.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/service/kvtransfer_fixture.h"
#include "tests/support/flushguard.h"
#include "tests/support/forked.h"

namespace {

struct CopyTo : TTransportConfig {
    explicit CopyTo(const std::string& dest) {
        Transport = ttCopy;
        Destination[0] = dest;
    }
};

} // namespace

TEST(CopyWriteBackTest, CopiesMakeNoFlushCall) {
    ShopTree tree;
    TempDir dest;
    CopyTo config(dest.Path());
    // The second pass replaces every file that the first one made.
    for (int pass = 0; pass < 2; ++pass) {
        int result = RunForked([&] {
            if (!RefuseFlushCalls())
                return 10;
            TDestinationTransfer transfer({});
            try {
                transfer.Prepare(config, 0);
                for (const auto& file : tree.Files())
                    transfer.Transfer(tree.Path(file));
            } catch (const std::exception&) {
                return 11; // a flush call would have failed with EPERM
            }
            transfer.Finish();
            return 0;
        });
        ASSERT_NE(result, 10) << "no seccomp filter here";
        EXPECT_EQ(result, 0) << "pass " << pass;
    }
    size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dest.Path()))
        files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, tree.Files().size()); // nothing left beside the copies
    for (const auto& file : tree.Files())
        EXPECT_EQ(ReadTextFile(dest.File(file.destination)), file.content) << file.destination;
}
