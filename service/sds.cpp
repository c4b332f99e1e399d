#include "service/sds.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <set>
#include <string_view>

#include "common/debuglog.h"
#include "common/langtext.h"
#include "common/strutil.h"
#include "platform/errors.h"
#include "platform/findfile.h"

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

// The shop candidates of a tracked directory: visible sub-directories that are not reserved.
// The search is closed before any shop is looked at.
std::vector<std::string> ListShopDirs(const std::string& trackDir) {
    std::vector<std::string> shops;
    TFileSearch search;
    TSearchRec rec;
    for (bool ok = search.First(JoinPath(trackDir, "*.*"), faDirectory, rec); ok;
         ok = search.Next(rec)) {
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
std::string FindSubDir(const std::string& dir, const std::string& name) {
    std::string found;
    TFileSearch search;
    TSearchRec rec;
    for (bool ok = search.First(JoinPath(dir, name), faDirectory, rec); ok; ok = search.Next(rec)) {
        if ((rec.Attr & faDirectory) == 0 || !SameText(rec.Name, name))
            continue;
        if (rec.Name == name)
            return rec.Name;
        if (found.empty() || rec.Name < found)
            found = rec.Name;
    }
    return found;
}

void AddShopEntries(const std::string& shopDir, std::vector<std::string>& entries,
                    const ChainLogProc& log) {
    entries.push_back(shopDir + ";arg");
    for (const DataKind& kind : kDataKinds) {
        const std::string sub = FindSubDir(shopDir, kind.dir);
        if (sub.empty())
            continue;
        const std::string dir = JoinPath(shopDir, sub);
        entries.push_back(dir + ";" + kind.ext);
        if (kind.renameCor)
            RenameCorFiles(dir, log);
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
    std::vector<std::string> names;
    {
        TFileSearch search;
        TSearchRec rec;
        for (bool ok = search.First(JoinPath(dir, "*.cor"), 0, rec); ok; ok = search.Next(rec)) {
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
        const std::string from = JoinPath(dir, name);
        const std::string to = JoinPath(dir, target);
        // rename() replaces an existing target in one step.
        if (std::rename(from.c_str(), to.c_str()) != 0 && log) {
            const int err = errno;
            log(LogError, Format(langtext::CorRenameFailed, from.c_str(), target.c_str(),
                                 SysErrorMessage(err).c_str()));
        }
    }
}

bool ChainEntryForward(const std::string& chainEntry) {
    // The extension is what follows the last ";", as the job splits the entry: a tracked
    // directory may itself hold a ";".
    const size_t semicolon = chainEntry.rfind(';');
    return semicolon != std::string::npos &&
           std::string_view(chainEntry).substr(semicolon + 1) == "fif";
}

void BuildShopChain(const std::string& trackDir, std::vector<std::string>& chain,
                    const ChainCancelProc& cancelRequested, const ChainLogProc& log) {
    if (trackDir.empty())
        return;
    std::vector<std::string> entries;
    for (const std::string& shop : ListShopDirs(trackDir)) {
        if (cancelRequested && cancelRequested())
            throw Exception(langtext::ServiceTaskCanceled);
        CheckShopName(shop);
        AddShopEntries(JoinPath(trackDir, shop), entries, log);
    }
    chain.insert(chain.end(), entries.begin(), entries.end());
}
