#include "common/verinfo.h"

#include "common/strutil.h"
#include "platform/procpath.h"
#include "platform/versionres.h"

#include <cstring>
#include <span>
#include <vector>

namespace {

uint32_t U32At(std::span<const uint8_t> bytes, size_t offset) {
    return bytes[offset] | (uint32_t{bytes[offset + 1]} << 8) |
           (uint32_t{bytes[offset + 2]} << 16) | (uint32_t{bytes[offset + 3]} << 24);
}

// The text of a string value, up to its NUL (or the end of the value when it has none).
std::string TextOf(std::span<const uint8_t> value) {
    const auto* begin = reinterpret_cast<const char*>(value.data());
    const void* nul = std::memchr(begin, '\0', value.size());
    const size_t len =
        nul ? static_cast<size_t>(static_cast<const char*>(nul) - begin) : value.size();
    return std::string(begin, len);
}

} // namespace

TVersionInfo::TVersionInfo(const std::string& FileName, const std::string& Translation)
    : FFileName(FileName), FTranslation(Translation) {
    try {
        // The running program is read through /proc/self/exe, so that a program file
        // replaced on disk since the start still reports the version that runs.
        if (FFileName.empty())
            FFileName = ProgramFilePath();
        ReadVersion(FileName);
    } catch (...) {
        // Keeps whatever was read before the failure.
    }
}

void TVersionInfo::ReadVersion(const std::string& source) {
    const uint32_t size = VersionBlockSize(source);
    if (size == 0)
        return;
    std::vector<uint8_t> block(size);
    if (!ReadVersionBlock(source, block))
        return;

    std::span<const uint8_t> value;
    if (QueryVersionValue(block, "\\", value) && value.size() >= 16) {
        const uint32_t ms = U32At(value, 0);
        const uint32_t ls = U32At(value, 4);
        const uint32_t flags = U32At(value, 12); // the mask at offset 8 is not applied
        FMajor = static_cast<uint16_t>(ms >> 16);
        FMinor = static_cast<uint16_t>(ms & 0xFFFF);
        FRelease = static_cast<uint16_t>(ls >> 16);
        FBuild = static_cast<uint16_t>(ls & 0xFFFF);
        FDebug = (flags & 0x1) != 0;
        FPreRelease = (flags & 0x2) != 0;
    }
    if (FTranslation.empty() && QueryVersionValue(block, "\\VarFileInfo\\Translation", value) &&
        value.size() >= 4) {
        const uint32_t first = U32At(value, 0);
        FTranslation = Format("%4.4x%4.4x", first & 0xFFFF, first >> 16);
    }
    const std::string prefix = "\\StringFileInfo\\" + FTranslation;
    if (QueryVersionValue(block, prefix + "\\FileDescription", value))
        FFileDescription = TextOf(value);
    if (QueryVersionValue(block, prefix + "\\LegalCopyright", value))
        FLegalCopyright = TextOf(value);
    if (QueryVersionValue(block, prefix + "\\Comments", value))
        FComments = TextOf(value);
}
