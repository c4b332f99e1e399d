#include "service/framework/dirdesc.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <istream>
#include <string_view>

#include "common/Comserv.h"
#include "common/langtext.h"
#include "common/strutil.h"
#include "platform/atomicfile.h"
#include "platform/errors.h"
#include "platform/findfile.h"
#include "platform/regularfile.h"

namespace {

constexpr const char* LineEnd = "\r\n";
// Entries of the listing: plain and read-only files; no hidden files, no directories.
constexpr int ListedAttributes = faReadOnly | faArchive;
// A file name has at most 255 bytes; a longer first field can never name a listed file.
constexpr size_t MaxNameLength = 255;
// File lines are short; longer lines are garbage and are skipped without being kept whole.
constexpr size_t MaxLineLength = 4096;

std::string JoinPath(const std::string& directory, const std::string& name) {
    if (!directory.empty() && directory.back() == '/')
        return directory + name;
    return directory + "/" + name;
}

// A collation key of the name folded to lower case: keys compare (as byte strings) like the
// locale compares the folded names.
std::string CollationKey(const std::string& name) {
    std::string folded = LowerCaseAscii(name);
    size_t length = strxfrm(nullptr, folded.c_str(), 0);
    if (length == static_cast<size_t>(-1) || length > 64 * folded.size() + 64)
        return folded;
    std::vector<char> key(length + 1);
    strxfrm(key.data(), folded.c_str(), key.size());
    return std::string(key.data(), length);
}

bool KeyLess(const TFileItem& a, const TFileItem& b) {
    if (a.SortKey != b.SortKey)
        return a.SortKey < b.SortKey;
    return a.Name < b.Name; // names equal without regard to case: a fixed order all the same
}

bool HasStatusExtension(const std::string& name) {
    size_t dot = name.rfind('.');
    return dot != std::string::npos && SameText(std::string_view(name).substr(dot), ".dst");
}

// A decimal integer: an optional sign and at least one digit, nothing else, within int64.
bool ParseDecimal(std::string_view text, int64_t& value) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    if (i == text.size())
        return false;
    uint64_t magnitude = 0;
    const uint64_t limit = negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX);
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (magnitude > (limit - digit) / 10)
            return false;
        magnitude = magnitude * 10 + digit;
    }
    value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

// The number at 1-based character positions [first, first + count) of `text`, or `fallback`
// when that part is missing or not a decimal integer.
int TimePart(const std::string& text, size_t first, size_t count, int fallback) {
    if (first - 1 >= text.size())
        return fallback;
    int64_t value = 0;
    if (!ParseDecimal(std::string_view(text).substr(first - 1, count), value) || value < INT_MIN ||
        value > INT_MAX)
        return fallback;
    return static_cast<int>(value);
}

// The time text of a file line, by character positions; throws EConvertError when the parts
// do not form a valid date and time.
TDateTime DecodeStatusTime(const std::string& text, int bias) {
    TDateTime date =
        EncodeDate(TimePart(text, 1, 4, 2000), TimePart(text, 6, 2, 1), TimePart(text, 9, 2, 1));
    TDateTime time = EncodeTime(TimePart(text, 12, 2, 0), TimePart(text, 15, 2, 0),
                                TimePart(text, 18, 2, 0), TimePart(text, 21, 3, 1));
    TDateTime result = ComposeDateTime(date, time);
    if (text.find(langtext::StatusFileUtc) == std::string::npos)
        result = (result * 1440.0 + bias) / 1440.0; // local time: to UTC
    return result;
}

// One line of a status file; false for a line that is no file line.
bool DecodeStatusLine(std::string line, int bias, TStatusRecord& record) {
    while (!line.empty() && static_cast<unsigned char>(line.back()) <= ' ')
        line.pop_back();
    size_t tab = line.find('\t');
    if (tab == std::string::npos || tab > MaxNameLength)
        return false;
    record.Name = line.substr(0, tab);
    int64_t size = 0;
    record.Size = ParseDecimal(ExtractField(line, '\t', 1), size) ? size : 0;
    record.Time = DecodeStatusTime(ExtractField(line, '\t', 2), bias);
    return true;
}

// Splits a stream into lines at CR, LF or CR LF; overlong lines are dropped.
class StatusLineReader {
public:
    explicit StatusLineReader(std::istream& in) : in_(in) {}

    bool ReadLine(std::string& line) {
        line.clear();
        bool overlong = false;
        for (;;) {
            bool atEnd = pos_ == end_ && !Fill();
            char c = atEnd ? '\n' : buffer_[pos_++];
            if (c == '\r' || c == '\n') {
                bool haveLine = !atEnd || !line.empty() || overlong;
                if (overlong)
                    line.clear();
                return haveLine; // the empty line between CR and LF is skipped by the caller
            }
            if (line.size() < MaxLineLength)
                line.push_back(c);
            else
                overlong = true;
        }
    }

private:
    bool Fill() {
        if (!in_)
            return false;
        in_.read(buffer_, sizeof buffer_);
        pos_ = 0;
        end_ = static_cast<size_t>(in_.gcount());
        return end_ > 0;
    }

    std::istream& in_;
    char buffer_[65536];
    size_t pos_ = 0;
    size_t end_ = 0;
};

} // namespace

int64_t WholeSecondsBetween(TDateTime a, TDateTime b) {
    double seconds = std::fabs(a - b) * SecsPerDay;
    if (!(seconds < 9.2e18)) // also NaN
        return INT64_MAX;
    return static_cast<int64_t>(seconds);
}

bool IsFileChanged(const TFileEntry& entry, const TStatusRecord& line, TDateTime referenceTime) {
    bool sameFile = entry.Size == line.Size && WholeSecondsBetween(entry.Time, line.Time) <= 2;
    bool newerThanReference = referenceTime > 0 && entry.Time > referenceTime &&
                              WholeSecondsBetween(entry.Time, referenceTime) > 2;
    return !(sameFile && !newerThanReference);
}

bool IsRecordableName(const std::string& name) {
    return !name.empty() && name.size() <= MaxNameLength &&
           name.find_first_of("\t\r\n") == std::string::npos;
}

void ReadStatusRecords(std::istream& in, int bias,
                       const std::function<void(const TStatusRecord&)>& apply) {
    StatusLineReader reader(in);
    std::string line;
    TStatusRecord record;
    while (reader.ReadLine(line)) {
        if (DecodeStatusLine(line, bias, record))
            apply(record);
    }
}

TDirectoryList::TDirectoryList(const std::string& directory, const std::string& extension,
                               const std::string& tag, TDateTime referenceTime,
                               const std::string& statusFileName, const std::string& root)
    : Directory(directory), Extension(extension), Tag(tag), ReferenceTime(referenceTime),
      StatusFileName(statusFileName.empty() ? DefaultStatusFileName : statusFileName) {
    // One trailing "/" goes; the root directory keeps its "/".
    if (Directory.size() > 1 && Directory.back() == '/')
        Directory.pop_back();
    try {
        if (!Directory.empty())
            dirFd_ = OpenDirectoryBelow(root, Directory);
    } catch (const EOSError&) {
    }
    if (!dirFd_)
        throw Exception(Format(langtext::DirectoryDoesNotExist, Directory.c_str()));
    Scan();
}

TDirectoryList::~TDirectoryList() {
    ClearEntries();
}

void TDirectoryList::ClearEntries() {
    Files.clear();
}

std::string TDirectoryList::StatusFilePath() const {
    return JoinPath(Directory, StatusFileName);
}

void TDirectoryList::Scan() {
    ClearEntries();
    int bias = TimeZoneBias();
    ListDirectory();
    std::sort(Files.begin(), Files.end(), KeyLess);
    ReadStatusFile(bias);
}

void TDirectoryList::ListDirectory() {
    TFileSearch search;
    TSearchRec rec;
    bool found = search.FirstIn(dirFd_.Get(), "*." + Extension, ListedAttributes, rec);
    for (; found; found = search.Next(rec)) {
        if (HasStatusExtension(rec.Name))
            continue;
        TFileItem item;
        item.Name = rec.Name;
        item.Entry.Size = rec.Size;
        item.Entry.Time = FileTimeToDateTime(rec.LastWriteTime);
        item.Entry.Changed = true;
        item.SortKey = CollationKey(rec.Name);
        Files.push_back(std::move(item));
    }
}

void TDirectoryList::ReadStatusFile(int bias) {
    // Whatever goes wrong ends the reading quietly: the lines applied so far stand, every
    // other file stays changed and is sent again.
    try {
        // Only a regular file is read: a FIFO in its place would block the scan for good.
        TRegularFileBuf file;
        if (!file.OpenAt(dirFd_.Get(), StatusFileName))
            return;
        std::istream in(&file);
        ReadStatusRecords(in, bias, [this](const TStatusRecord& line) {
            if (TFileEntry* entry = Find(line.Name))
                entry->Changed = IsFileChanged(*entry, line, ReferenceTime);
        });
    } catch (...) {
    }
}

TFileEntry* TDirectoryList::Find(const std::string& name) {
    TFileItem probe;
    probe.SortKey = CollationKey(name);
    auto [first, last] = std::equal_range(
        Files.begin(), Files.end(), probe,
        [](const TFileItem& a, const TFileItem& b) { return a.SortKey < b.SortKey; });
    for (auto it = first; it != last; ++it)
        if (it->Name == name)
            return &it->Entry;
    for (auto it = first; it != last; ++it)
        if (SameText(it->Name, name))
            return &it->Entry;
    return nullptr;
}

void TDirectoryList::ProcessFiles(bool forward, const TProcessFileEvent& callback) {
    bool cont = true;
    const size_t count = Files.size();
    for (size_t k = 0; k < count && k < Files.size(); ++k) {
        size_t index = forward ? k : Files.size() - 1 - k;
        if (!Files[index].Entry.Changed)
            continue;
        try {
            bool sent = callback(JoinPath(Directory, Files[index].Name), Tag, cont);
            Files[index].Entry.Changed = !sent;
            if (sent)
                ++OkCount;
            else
                ++BadCount;
            if (!cont)
                break;
        } catch (...) {
            // The transfer logs its own failure; the file stays changed for the next job.
        }
    }
}

void TDirectoryList::Save() {
    const int bias = TimeZoneBias();
    const TFormatSettings fs = LocaleFormatSettings();
    std::string text;
    text.append(langtext::StatusFileTitle).append(LineEnd);
    text.append(langtext::StatusFileDirectory).append(Directory).append(LineEnd);
    text.append(langtext::StatusFileMask).append(Extension).append(LineEnd);
    text.append(langtext::StatusFileLastUpdate)
        .append(FormatDateTime(langtext::StatusFileUpdateFormat, Now(), fs))
        .append(" ")
        .append(FormatUtcBias(bias))
        .append(LineEnd);
    // Each file is recorded with the size and time it had when it was listed, that is before
    // it was sent: a file that changes after its transfer then differs from its line and goes
    // again with the next job.
    for (const TFileItem& item : Files) {
        if (item.Entry.Changed || !IsRecordableName(item.Name))
            continue;
        text.append(item.Name)
            .append("\t")
            .append(std::to_string(item.Entry.Size))
            .append("\t")
            .append(FormatDateTime(langtext::StatusFileTimeFormat, item.Entry.Time, fs))
            .append(" ")
            .append(langtext::StatusFileUtc)
            .append(LineEnd);
    }
    // The directory may be writable by the users who drop files into it: a link planted in
    // the status file's place is replaced, never followed, and the file goes into the
    // directory that was listed (its descriptor's path in /proc), even when the directory's
    // path has been turned into a link meanwhile. The file is not flushed to disk: a status
    // file that a crash takes back only makes files go again, while two flushes for every
    // directory of every job would cost several times the scan itself.
    const std::string listed = "/proc/self/fd/" + std::to_string(dirFd_.Get());
    ReplaceFileContents(JoinPath(listed, StatusFileName), text, 0644, TLinkRule::ReplaceLink,
                        TFlush::WriteBack);
}
