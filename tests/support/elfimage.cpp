#include "tests/support/elfimage.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

size_t Align(size_t n, size_t a) {
    return (n + a - 1) / a * a;
}

} // namespace

size_t ElfImage::HeaderField(const std::string& field) const {
    const size_t w = Options.Is64 ? 8 : 4;
    const size_t shoff = 24 + 2 * w;
    const size_t shentsize = shoff + w + 4 + 2 + 2 + 2;
    if (field == "shoff")
        return shoff;
    if (field == "shentsize")
        return shentsize;
    if (field == "shnum")
        return shentsize + 2;
    if (field == "shstrndx")
        return shentsize + 4;
    throw std::invalid_argument("unknown header field " + field);
}

size_t ElfImage::SectionField(size_t index, const std::string& field) const {
    const size_t base = SectionHeaders + index * SectionHeaderSize;
    if (field == "name")
        return base;
    if (field == "type")
        return base + 4;
    if (field == "offset")
        return base + (Options.Is64 ? 24 : 16);
    if (field == "size")
        return base + (Options.Is64 ? 32 : 20);
    if (field == "link")
        return base + (Options.Is64 ? 40 : 24);
    throw std::invalid_argument("unknown section field " + field);
}

size_t ElfImage::FieldWidth(const std::string& field) const {
    if (field == "shoff" || field == "offset" || field == "size")
        return Options.Is64 ? 8 : 4;
    if (field == "shentsize" || field == "shnum" || field == "shstrndx")
        return 2;
    return 4;
}

void ElfImage::Put(size_t offset, size_t width, uint64_t value) {
    for (size_t i = 0; i < width; ++i) {
        const size_t at = Options.BigEndian ? offset + width - 1 - i : offset + i;
        Bytes.at(at) = static_cast<uint8_t>(value >> (8 * i));
    }
}

ElfImage MakeElfImage(const std::vector<uint8_t>& contents, const ElfImageOptions& options) {
    ElfImage img;
    img.Options = options;
    const size_t ehsize = options.Is64 ? 64 : 52;
    img.SectionHeaderSize = options.Is64 ? 64 : 40;
    const std::string names = std::string("\0.shstrtab\0", 11) + options.SectionName + '\0';
    img.Names = ehsize;
    img.Data = Align(img.Names + names.size(), 8);
    img.SectionHeaders = Align(img.Data + contents.size(), 8);
    img.Bytes.assign(img.SectionHeaders + 3 * img.SectionHeaderSize, 0);

    auto& b = img.Bytes;
    b[0] = 0x7F, b[1] = 'E', b[2] = 'L', b[3] = 'F';
    b[4] = options.Is64 ? 2 : 1;
    b[5] = options.BigEndian ? 2 : 1;
    b[6] = 1;                                   // EI_VERSION
    img.Put(16, 2, 1);                          // e_type ET_REL
    img.Put(18, 2, 62);                         // e_machine
    img.Put(20, 4, 1);                          // e_version
    img.Put(options.Is64 ? 52 : 40, 2, ehsize); // e_ehsize
    img.Put(img.HeaderField("shoff"), img.FieldWidth("shoff"), img.SectionHeaders);
    img.Put(img.HeaderField("shentsize"), 2, img.SectionHeaderSize);
    img.Put(img.HeaderField("shnum"), 2, options.ExtendedNumbering ? 0 : 3);
    img.Put(img.HeaderField("shstrndx"), 2, options.ExtendedNumbering ? 0xFFFF : 1);

    std::copy(names.begin(), names.end(), b.begin() + static_cast<long>(img.Names));
    std::copy(contents.begin(), contents.end(), b.begin() + static_cast<long>(img.Data));

    if (options.ExtendedNumbering) {
        img.Put(img.SectionField(0, "size"), img.FieldWidth("size"), 3);
        img.Put(img.SectionField(0, "link"), 4, 1);
    }
    img.Put(img.SectionField(1, "name"), 4, 1);
    img.Put(img.SectionField(1, "type"), 4, 3); // SHT_STRTAB
    img.Put(img.SectionField(1, "offset"), img.FieldWidth("offset"), img.Names);
    img.Put(img.SectionField(1, "size"), img.FieldWidth("size"), names.size());
    img.Put(img.SectionField(2, "name"), 4, 11);
    img.Put(img.SectionField(2, "type"), 4, options.SectionType);
    img.Put(img.SectionField(2, "offset"), img.FieldWidth("offset"), img.Data);
    img.Put(img.SectionField(2, "size"), img.FieldWidth("size"), contents.size());
    return img;
}

void WriteBinaryFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> ReadBinaryFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}
