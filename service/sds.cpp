#include "service/sds.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <fcntl.h>
#include <set>
#include <string_view>

#include "common/debuglog.h"
#include "common/langtext.h"
#include "common/strutil.h"
#include "platform/errors.h"
#include "platform/findfile.h"
#include "platform/uniquefd.h"

namespace {

constexpr const char* kReservedShopDirs[] = {"Inconnu", "Unknown", "Registration",
                                             "Depart",  "www",     "scripts"};

// Data-kind sub-directories of a shop, in chain order, with the extension taken from each.
// Counting files arrive as ".cor" and are sent as ".scb" (renameCor).
struct DataKind {
    const char* dir;
    const char* ext;
    bool renameCor;
};
constexpr DataKind kDataKinds[] = {
    {"tallix", "scb", true}, {"caisse", "txt", false}, {"filters", "fif", false}};

// `dir` + "/" + `name`, without doubling a separator that the directory already ends with.
std::string JoinPath(const std::string& dir, const std::string& name) {
    if (!dir.empty() && dir.back() == '/')
        return dir + name;
    return dir + "/" + name;
}

// Number of bytes of the well-formed UTF-8 sequence that starts at `pos`, or 1 when the byte
// there does not start one (a stray byte is then quoted alone).
size_t Utf8SequenceLength(const std::string& s, size_t pos) {
    const auto lead = static_cast<unsigned char>(s[pos]);
    size_t len = 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        len = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        len = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        len = 4;
    if (len == 1 || pos + len > s.size())
        return 1;
    for (size_t i = 1; i < len; ++i) {
        const auto c = static_cast<unsigned char>(s[pos + i]);
        if (c < 0x80 || c > 0xBF)
            return 1;
    }
    return len;
}

bool IsBadShopNameByte(unsigned char c) {
    // ";" is allowed by the printable range but ends the directory field of a chain entry.
    return c < 33 || c > 126 || c == ';';
}

// Lower case by the rules of the current locale (LC_CTYPE); bytes that are not characters
// of the locale's encoding are kept, ASCII letters among them folded.
std::string LocaleLowerCase(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    std::mbstate_t in{};
    size_t pos = 0;
    while (pos < s.size()) {
        wchar_t wc = 0;
        const size_t n = std::mbrtowc(&wc, s.data() + pos, s.size() - pos, &in);
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2) || n == 0) {
            const auto c = static_cast<unsigned char>(s[pos]);
            out += (c < 0x80) ? static_cast<char>(std::tolower(c)) : static_cast<char>(c);
            in = std::mbstate_t{};
            ++pos;
            continue;
        }
        char buf[MB_LEN_MAX];
        std::mbstate_t outState{};
        const size_t m = std::wcrtomb(buf, static_cast<wchar_t>(std::towlower(wc)), &outState);
        if (m == static_cast<size_t>(-1))
            out.append(s, pos, n);
        else
            out.append(buf, m);
        pos += n;
    }
    return out;
}

// The counting file's transfer name: extension ".scb", whole name in lower case.
std::string ScbNameOf(const std::string& corName) {
    const size_t dot = corName.rfind('.');
    const std::string base = (dot == std::string::npos) ? corName : corName.substr(0, dot);
    return LocaleLowerCase(base + ".scb");
}

// Name order without regard to ASCII case, ties broken by the bytes, so that a job walks the
// shops in the same order every time.
bool NameLess(const std::string& a, const std::string& b) {
    const std::string ua = UpperCaseAscii(a);
    const std::string ub = UpperCaseAscii(b);
    return ua != ub ? ua < ub : a < b;
}

// A sub-directory of the open directory `parentFd`, never through a symbolic link; invalid
// when it cannot be opened (gone, or swapped for a link since it was listed).
TUniqueFd OpenSubDir(int parentFd, const std::string& name) {
    return TUniqueFd(
        openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// The shop candidates of a tracked directory: visible sub-directories that are not reserved.
// The search is closed before any shop is looked at.
std::vector<std::string> ListShopDirs(int trackFd) {
    std::vector<std::string> shops;
    TFileSearch search;
    TSearchRec rec;
    for (bool ok = search.FirstIn(trackFd, "*.*", faDirectory, rec); ok; ok = search.Next(rec)) {
        if ((rec.Attr & faDirectory) == 0 || rec.Name == "." || rec.Name == "..")
            continue;
        if (!IsReservedShopDir(rec.Name))
            shops.push_back(rec.Name);
    }
    std::sort(shops.begin(), shops.end(), NameLess);
    return shops;
}

// On-disk name of the sub-directory `name` of `dir`, matched without regard to case (an exact
// match wins); empty when there is no such directory. A plain file of that name does not count.
std::string FindSubDir(int dirFd, const std::string& name) {
    std::string found;
    TFileSearch search;
    TSearchRec rec;
    for (bool ok = search.FirstIn(dirFd, name, faDirectory, rec); ok; ok = search.Next(rec)) {
        if ((rec.Attr & faDirectory) == 0 || !SameText(rec.Name, name))
            continue;
        if (rec.Name == name)
            return rec.Name;
        if (found.empty() || rec.Name < found)
            found = rec.Name;
    }
    return found;
}

// `dirFd` is the open directory `dir` (its path serves the log lines).
void RenameCorFilesIn(int dirFd, const std::string& dir, const ChainLogProc& log) {
    std::vector<std::string> names;
    {
        TFileSearch search;
        TSearchRec rec;
        for (bool ok = search.FirstIn(dirFd, "*.cor", 0, rec); ok; ok = search.Next(rec)) {
            if ((rec.Attr & (faDirectory | faHidden | faSysFile)) == 0)
                names.push_back(rec.Name);
        }
    }
    std::sort(names.begin(), names.end());

    // Names that differ only in case map to one target; renaming both in one pass would let
    // the second overwrite the first before it was sent. The later one waits for the next pass.
    std::set<std::string> targets;
    for (const std::string& name : names) {
        const std::string target = ScbNameOf(name);
        if (!targets.insert(target).second)
            continue;
        // renameat() replaces an existing target in one step.
        if (renameat(dirFd, name.c_str(), dirFd, target.c_str()) != 0 && log) {
            const int err = errno;
            log(LogError, Format(langtext::CorRenameFailed, JoinPath(dir, name).c_str(),
                                 target.c_str(), SysErrorMessage(err).c_str()));
        }
    }
}

// The shop's entries; `shopFd` is its open directory, through which the data-kind directories
// are found and the counting files renamed, so that a data-kind directory swapped for a link
// is never entered.
void AddShopEntries(int shopFd, const std::string& shopDir, std::vector<std::string>& entries,
                    const ChainLogProc& log) {
    entries.push_back(shopDir + ";arg");
    if (shopFd < 0)
        return;
    for (const DataKind& kind : kDataKinds) {
        const std::string sub = FindSubDir(shopFd, kind.dir);
        if (sub.empty())
            continue;
        const std::string dir = JoinPath(shopDir, sub);
        entries.push_back(dir + ";" + kind.ext);
        if (kind.renameCor) {
            if (TUniqueFd kindFd = OpenSubDir(shopFd, sub))
                RenameCorFilesIn(kindFd.Get(), dir, log);
        }
    }
}

} // namespace

bool IsReservedShopDir(const std::string& name) {
    return std::any_of(std::begin(kReservedShopDirs), std::end(kReservedShopDirs),
                       [&](const char* reserved) { return SameText(name, reserved); });
}

void CheckShopName(const std::string& name) {
    std::string compact;
    std::copy_if(name.begin(), name.end(), std::back_inserter(compact),
                 [](char c) { return c != ' '; });
    if (compact.empty())
        throw Exception(langtext::ShopNameMissing);
    for (size_t i = 0; i < compact.size(); ++i) {
        if (!IsBadShopNameByte(static_cast<unsigned char>(compact[i])))
            continue;
        const std::string bad = compact.substr(i, Utf8SequenceLength(compact, i));
        throw Exception(Format(langtext::ShopNameBadChar, bad.c_str(), compact.c_str()));
    }
}

void RenameCorFiles(const std::string& dir, const ChainLogProc& log) {
    if (TUniqueFd dirFd{open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)})
        RenameCorFilesIn(dirFd.Get(), dir, log);
}

bool ChainEntryForward(const std::string& chainEntry) {
    // The extension is what follows the last ";", as the job splits the entry: a tracked
    // directory may itself hold a ";".
    const size_t semicolon = chainEntry.rfind(';');
    return semicolon != std::string::npos &&
           std::string_view(chainEntry).substr(semicolon + 1) == "fif";
}

std::string DataKindDirOf(const std::string& chainEntry) {
    const size_t semicolon = chainEntry.rfind(';');
    if (semicolon == std::string::npos)
        return {};
    const std::string_view ext = std::string_view(chainEntry).substr(semicolon + 1);
    const std::string dir = chainEntry.substr(0, semicolon);
    const size_t slash = dir.rfind('/');
    const std::string name = slash == std::string::npos ? dir : dir.substr(slash + 1);
    for (const DataKind& kind : kDataKinds)
        if (ext == kind.ext && SameText(name, kind.dir))
            return kind.dir;
    return {};
}

void BuildShopChain(const std::string& trackDir, std::vector<std::string>& chain,
                    const ChainCancelProc& cancelRequested, const ChainLogProc& log) {
    if (trackDir.empty())
        return;
    // The tracked directory is taken as configured; below it nothing is followed.
    TUniqueFd trackFd(open(trackDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!trackFd)
        return;
    std::vector<std::string> entries;
    for (const std::string& shop : ListShopDirs(trackFd.Get())) {
        if (cancelRequested && cancelRequested())
            throw Exception(langtext::ServiceTaskCanceled);
        CheckShopName(shop);
        // A shop that cannot be opened any more keeps its "arg" entry, whose listing then
        // fails and is logged.
        TUniqueFd shopFd = OpenSubDir(trackFd.Get(), shop);
        AddShopEntries(shopFd.Get(), JoinPath(trackDir, shop), entries, log);
    }
    chain.insert(chain.end(), entries.begin(), entries.end());
}
