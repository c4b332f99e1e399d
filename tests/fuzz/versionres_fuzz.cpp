// The version reader over arbitrary files: the input is the file (held in a memory file), and
// every query runs over whatever block is found; the input is also queried as a block itself.
#include "platform/dialup.h"
#include "platform/versionres.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

void QueryAll(std::span<const uint8_t> block) {
    std::span<const uint8_t> v;
    for (const char* path :
         {"\\", "\\VarFileInfo\\Translation", "\\StringFileInfo\\040904b0\\FileDescription",
          "\\StringFileInfo\\040904b0\\LegalCopyright", "\\StringFileInfo\\040904b0\\Comments"}) {
        if (QueryVersionValue(block, path, v) &&
            (v.data() < block.data() || v.data() + v.size() > block.data() + block.size()))
            __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QueryAll(std::span(data, size));
    // nmcli's terse lines come from outside too.
    (void)SplitTerseLine(std::string_view(reinterpret_cast<const char*>(data), size));

    static const int fd = memfd_create("kvfuzz", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size))
        return 0;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    std::vector<uint8_t> block(VersionBlockSize(path));
    if (!block.empty() && ReadVersionBlock(path, block))
        QueryAll(block);
    return 0;
}
