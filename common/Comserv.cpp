#include "common/Comserv.h"

#include <cstdlib>

#include "common/strutil.h"
#include "platform/findfile.h"
#include "platform/procpath.h"

namespace {

constexpr size_t MaxFieldLength = 255;

// Runs once per process, before main: fixes the program directory and sends the temporary
// files of this process and of the libraries it loads there.
struct ComservStartup {
    ComservStartup() {
        const std::string& dir = ProgramDir();
        if (dir.empty())
            return;
        for (const char* name : {"TEMP", "TMP", "TMPDIR"})
            SetProcessEnvironment(name, dir);
    }
};
const ComservStartup startup;

} // namespace

std::string ProgramDirOf(const std::string& programPath) {
    const size_t slash = programPath.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    std::string dir = programPath.substr(0, slash);
    while (!dir.empty() && dir.back() == '/')
        dir.pop_back();
    return dir.empty() ? std::string("/") : dir;
}

std::string GetProgramDir() {
    return ProgramDirOf(ProgramFilePath());
}

const std::string& ProgramDir() {
    static const std::string dir = GetProgramDir();
    return dir;
}

std::string ExtractField(const std::string& s, char sep, int index) {
    std::string result;
    int field = 0;
    for (char c : s) {
        if (c == sep)
            ++field;
        else if (field == index)
            result += c;
        else if (field > index)
            break;
    }
    CutUtf8(result, MaxFieldLength);
    return result;
}

int64_t GetFileSize64(const std::string& fileName) {
    // The name is a search pattern. Without wildcards it names one file: the search matches
    // without regard to case, so the entry whose name is exactly the one asked for is taken.
    const size_t slash = fileName.rfind('/');
    const std::string wanted = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
    const bool pattern = wanted.find_first_of("*?") != std::string::npos;
    TFileSearch search;
    TSearchRec rec;
    bool found = search.First(fileName, faAnyFile, rec);
    while (found && !pattern && rec.Name != wanted)
        found = search.Next(rec);
    search.Close();
    if (!found || (rec.Attr & faDirectory) != 0)
        return 0;
    return rec.Size;
}

TDateTime FileTimeToDateTime(const FILETIME& fileTime) {
    SYSTEMTIME st;
    // Times beyond the year 9999 (a file stamped far into the future) give the last
    // millisecond of 9999 rather than an error that would stop a directory scan.
    if (!FileTimeToSystemTime(fileTime, st) || st.wYear > 9999)
        return EncodeDate(9999, 12, 31) + EncodeTime(23, 59, 59, 999);
    return SystemTimeToDateTime(st);
}

std::string FormatUtcBias(int bias) {
    const char* sign = bias > 0 ? "-" : "+";
    const long long a = std::llabs(static_cast<long long>(bias));
    return Format("(UTC %s%2.2lld:%2.2lld)", sign, a / 60, a % 60);
}

std::string SystemTimeToText(const SYSTEMTIME& st) {
    return Format("%2.2u.%2.2u.%4.4u %2.2u:%2.2u:%2.2u", unsigned{st.wDay}, unsigned{st.wMonth},
                  unsigned{st.wYear}, unsigned{st.wHour}, unsigned{st.wMinute},
                  unsigned{st.wSecond});
}

void SplitDomainUser(const std::string& account, std::string& domain, std::string& user) {
    const std::string source = account; // the account may be one of the outputs
    domain.clear();
    user.clear();
    const size_t p = source.find('\\');
    if (p == std::string::npos) {
        user = source;
        return;
    }
    domain = source.substr(0, p);
    user = source.substr(p + 1);
}
