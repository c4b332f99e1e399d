// Status files are read from the source directories, where anyone who may drop files may also
// damage them. The reader must take any bytes: every line it hands on has a name without TAB,
// CR or LF and a finite time, the only error is the one that ends the reading, and a list
// built over a damaged status file still lists every file of the directory.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "platform/errors.h"
#include "service/framework/dirdesc.h"

namespace {

// A source directory made once per process: three files and the status file of each input.
class SourceDirectory {
public:
    SourceDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kvfuzz.XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        path_ = pattern;
        for (const char* name : {"a.txt", "B.TXT", "c"})
            std::ofstream(path_ + "/" + name) << name;
    }
    ~SourceDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

void CheckRecords(const std::string& text) {
    std::istringstream in(text);
    try {
        ReadStatusRecords(in, -60, [](const TStatusRecord& record) {
            if (record.Name.find_first_of("\t\r\n") != std::string::npos)
                std::abort();
            if (record.Name.size() > 255 || !std::isfinite(record.Time))
                std::abort();
        });
    } catch (const EConvertError&) {
        // An impossible date or time ends the reading.
    }
}

void CheckList(const std::string& text) {
    static SourceDirectory dir;
    std::ofstream(dir.Path() + "/trlist0.dst", std::ios::binary | std::ios::trunc) << text;
    TDirectoryList list(dir.Path(), "*", "", 0, "trlist0.dst");
    if (list.Files.size() != 3)
        std::abort();
    for (const TFileItem& item : list.Files)
        if (item.Entry.Size != static_cast<int64_t>(item.Name.size()))
            std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CheckRecords(text);
    CheckList(text);
    return 0;
}
