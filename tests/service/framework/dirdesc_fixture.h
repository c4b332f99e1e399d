// Shared set-up of the directory status list tests: a source directory with files of known
// sizes and times, a fixed time zone, and status files written line by line.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "service/framework/dirdesc.h"
#include "tests/support/tempdir.h"

// 2024-05-01 10:20:30 UTC.
constexpr time_t BaseUnixTime = 1714558830;

inline void SetTimeZone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
}

inline void SetMTime(const std::string& path, time_t seconds, long milliseconds) {
    struct timespec times[2] = {{seconds, milliseconds * 1000000L},
                                {seconds, milliseconds * 1000000L}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

inline std::vector<std::string> SplitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "the text does not end with CR LF";
    return lines;
}

class DirListTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        savedTz = tz ? tz : "";
        hadTz = tz != nullptr;
        SetTimeZone("UTC0");
    }
    void TearDown() override {
        if (hadTz)
            setenv("TZ", savedTz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    // A file of `size` bytes written at BaseUnixTime + `secondsAfter` s + `ms` ms.
    void AddFile(const std::string& name, size_t size, long secondsAfter = 0, long ms = 456) {
        WriteTextFile(dir.File(name), std::string(size, 'x'));
        SetMTime(dir.File(name), BaseUnixTime + secondsAfter, ms);
    }
    // The status file: the usual header, then `lines`, each ended by CR LF.
    void WriteStatus(const std::vector<std::string>& lines,
                     const std::string& name = "trlist0.dst") {
        std::string text = "# directory status file \r\n# directory: " + dir.Path() +
                           "\r\n# file mask: *.*\r\n# last update: 2024/05/01 12:00:00:000 "
                           "(UTC +00:00)\r\n";
        for (const std::string& line : lines)
            text += line + "\r\n";
        WriteTextFile(dir.File(name), text);
    }
    void WriteRawStatus(const std::string& text) { WriteTextFile(dir.File("trlist0.dst"), text); }

    std::unique_ptr<TDirectoryList> List(const std::string& extension = "*") {
        return std::make_unique<TDirectoryList>(dir.Path(), extension, "tag", 0.0, "trlist0.dst");
    }
    // Names of the listed files that are marked changed, in list order.
    static std::vector<std::string> ChangedNames(const TDirectoryList& list) {
        std::vector<std::string> names;
        for (const TFileItem& item : list.Files)
            if (item.Entry.Changed)
                names.push_back(item.Name);
        return names;
    }
    static std::vector<std::string> ListedNames(const TDirectoryList& list) {
        std::vector<std::string> names;
        for (const TFileItem& item : list.Files)
            names.push_back(item.Name);
        return names;
    }
    // Marks every listed file as sent.
    static void SendAll(TDirectoryList& list) {
        list.ProcessFiles(true, [](const std::string&, const std::string&, bool&) { return true; });
    }

    TempDir dir;
    std::string savedTz;
    bool hadTz = false;
};

using Names = std::vector<std::string>;
