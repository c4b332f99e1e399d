#include "common/inifile.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <limits>
#include <utility>

#include "common/langtext.h"
#include "common/strutil.h"
#include "platform/atomicfile.h"
#include "platform/errors.h"

namespace {

constexpr size_t npos = std::string::npos;

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

bool IsLineBreakOrNul(char c) {
    return c == '\r' || c == '\n' || c == '\0';
}

bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

bool EnclosedInQuotes(std::string_view v) {
    return v.size() >= 2 && IsQuote(v.front()) && v.back() == v.front();
}

// The value as it is stored on one line: cut at NUL, line breaks as spaces, quoted when the
// reader would otherwise strip blanks or quotes from it.
std::string EncodeValue(std::string_view value) {
    std::string v(value.substr(0, value.find('\0')));
    for (char& c : v) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    if (!v.empty() && (IsBlank(v.front()) || IsBlank(v.back()) || EnclosedInQuotes(v))) {
        return '"' + v + '"';
    }
    return v;
}

bool ValidName(std::string_view name) {
    if (name.empty() || IsBlank(name.front()) || IsBlank(name.back())) {
        return false;
    }
    for (char c : name) {
        if (IsLineBreakOrNul(c)) {
            return false;
        }
    }
    return true;
}

bool ValidSectionName(std::string_view name) {
    return ValidName(name) && name.find(']') == npos;
}

bool ValidKeyName(std::string_view name) {
    return ValidName(name) && name.find('=') == npos && name.front() != ';' && name.front() != '[';
}

bool ParseUnsigned(std::string_view digits, int base, uint64_t limit, uint64_t& value) {
    if (digits.empty()) {
        return false;
    }
    value = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return false;
        }
        value = value * base + d;
        if (value > limit) {
            return false;
        }
    }
    return true;
}

} // namespace

bool IniTextToInt(std::string_view text, int32_t& value) {
    uint64_t v = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (!ParseUnsigned(text.substr(2), 16, 0xFFFFFFFFu, v)) {
            return false;
        }
        value = static_cast<int32_t>(static_cast<uint32_t>(v));
        return true;
    }
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    const uint64_t maxPositive = std::numeric_limits<int32_t>::max();
    if (!ParseUnsigned(text, 10, maxPositive + (negative ? 1 : 0), v)) {
        return false;
    }
    value = negative ? static_cast<int32_t>(-static_cast<int64_t>(v)) : static_cast<int32_t>(v);
    return true;
}

// --- TIniDocument ---

void TIniDocument::Parse(std::string_view text) {
    lines_.clear();
    size_t pos = 0;
    while (pos < text.size()) {
        Line line;
        size_t nl = text.find('\n', pos);
        if (nl == npos) {
            line.raw.assign(text.substr(pos));
            line.terminated = false;
            pos = text.size();
        } else {
            size_t end = nl;
            if (end > pos && text[end - 1] == '\r') {
                line.crlf = true;
                --end;
            }
            line.raw.assign(text.substr(pos, end - pos));
            pos = nl + 1;
        }
        Classify(line);
        lines_.push_back(std::move(line));
    }
    newLinesCrLf_ = !lines_.empty() && lines_.front().terminated && lines_.front().crlf;
}

std::string TIniDocument::Text() const {
    std::string out;
    for (const Line& line : lines_) {
        out += line.raw;
        if (line.terminated) {
            out += line.crlf ? "\r\n" : "\n";
        }
    }
    return out;
}

void TIniDocument::Classify(Line& line) {
    const std::string& raw = line.raw;
    line.kind = LineKind::Other;
    line.name.clear();
    size_t first = 0;
    while (first < raw.size() && IsBlank(raw[first])) {
        ++first;
    }
    if (first == raw.size() || raw[first] == ';') {
        return; // blank line or comment
    }
    if (raw[first] == '[') {
        size_t close = raw.find(']', first + 1);
        size_t len = close == npos ? npos : close - first - 1;
        line.kind = LineKind::Section;
        line.name = Trim(std::string_view(raw).substr(first + 1, len));
        return;
    }
    size_t eq = raw.find('=', first);
    if (eq != npos) {
        line.kind = LineKind::Key;
        line.name = Trim(std::string_view(raw).substr(0, eq));
        line.valuePos = eq + 1;
    }
}

size_t TIniDocument::FindSection(std::string_view section) const {
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind == LineKind::Section && SameText(lines_[i].name, section)) {
            return i;
        }
    }
    return npos;
}

size_t TIniDocument::SectionEnd(size_t header) const {
    size_t i = header + 1;
    while (i < lines_.size() && lines_[i].kind != LineKind::Section) {
        ++i;
    }
    return i;
}

size_t TIniDocument::FindKey(size_t header, std::string_view ident) const {
    size_t end = SectionEnd(header);
    for (size_t i = header + 1; i < end; ++i) {
        if (lines_[i].kind == LineKind::Key && SameText(lines_[i].name, ident)) {
            return i;
        }
    }
    return npos;
}

bool TIniDocument::HasKey(std::string_view section, std::string_view ident) const {
    size_t header = FindSection(section);
    return header != npos && FindKey(header, ident) != npos;
}

std::string TIniDocument::ReadString(std::string_view section, std::string_view ident,
                                     std::string_view def) const {
    size_t header = FindSection(section);
    size_t key = header == npos ? npos : FindKey(header, ident);
    if (key == npos) {
        return std::string(def);
    }
    std::string_view rest = std::string_view(lines_[key].raw).substr(lines_[key].valuePos);
    std::string value = Trim(rest.substr(0, rest.find('\0')));
    if (EnclosedInQuotes(value)) {
        value = value.substr(1, value.size() - 2);
    }
    CutUtf8(value, MaxValueLength);
    return value;
}

int32_t TIniDocument::ReadInteger(std::string_view section, std::string_view ident,
                                  int32_t def) const {
    int32_t value;
    return IniTextToInt(ReadString(section, ident, ""), value) ? value : def;
}

bool TIniDocument::ReadBool(std::string_view section, std::string_view ident, bool def) const {
    return ReadInteger(section, ident, def ? 1 : 0) != 0;
}

void TIniDocument::InsertLine(size_t index, std::string raw) {
    if (index == lines_.size() && !lines_.empty() && !lines_.back().terminated) {
        lines_.back().terminated = true;
        lines_.back().crlf = newLinesCrLf_;
    }
    Line line;
    line.raw = std::move(raw);
    line.crlf = newLinesCrLf_;
    Classify(line);
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(index), std::move(line));
}

bool TIniDocument::WriteString(std::string_view section, std::string_view ident,
                               std::string_view value) {
    if (!ValidSectionName(section) || !ValidKeyName(ident)) {
        return false;
    }
    const std::string encoded = EncodeValue(value);
    size_t header = FindSection(section);
    if (header == npos) {
        InsertLine(lines_.size(), "[" + std::string(section) + "]");
        InsertLine(lines_.size(), std::string(ident) + "=" + encoded);
        return true;
    }
    size_t key = FindKey(header, ident);
    if (key != npos) {
        Line& line = lines_[key];
        line.raw = line.name + "=" + encoded;
        Classify(line);
        return true;
    }
    size_t insertAt = header + 1;
    for (size_t i = header + 1, end = SectionEnd(header); i < end; ++i) {
        if (lines_[i].kind == LineKind::Key) {
            insertAt = i + 1;
        }
    }
    InsertLine(insertAt, std::string(ident) + "=" + encoded);
    return true;
}

// --- TIniFile ---

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

TIniFile::~TIniFile() {
    try {
        UpdateFile();
    } catch (...) {
        // Nothing can be reported from here; UpdateFile raised to callers that asked.
    }
}

void TIniFile::RaiseWriteError() const {
    throw Exception(Format(langtext::UnableToWrite, fileName_.c_str()));
}

void TIniFile::SetUnreadable(std::string reason) {
    state_ = LoadState::Unreadable;
    readError_ = std::move(reason);
    doc_.Parse("");
}

void TIniFile::Load() {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::file_status st = fs::status(fileName_, ec);
    if (st.type() == fs::file_type::not_found) {
        doc_.Parse("");
        state_ = LoadState::Loaded;
        return;
    }
    if (ec) {
        return SetUnreadable(ec.message());
    }
    if (st.type() == fs::file_type::directory) {
        return SetUnreadable(SysErrorMessage(EISDIR));
    }
    if (st.type() != fs::file_type::regular) {
        return SetUnreadable(SysErrorMessage(EINVAL)); // a device or pipe would block or never end
    }
    errno = 0;
    std::ifstream in(fileName_, std::ios::binary);
    if (!in) {
        return SetUnreadable(SysErrorMessage(errno != 0 ? errno : EIO));
    }
    std::string text;
    char buf[65536];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        text.append(buf, static_cast<size_t>(in.gcount()));
        if (text.size() > MaxFileSize) {
            return SetUnreadable(SysErrorMessage(EFBIG));
        }
    }
    if (in.bad()) {
        return SetUnreadable(SysErrorMessage(EIO));
    }
    doc_.Parse(text);
    state_ = LoadState::Loaded;
}

void TIniFile::EnsureLoaded() {
    if (state_ == LoadState::NotLoaded) {
        Load();
    }
}

const std::string& TIniFile::ReadError() {
    EnsureLoaded();
    return readError_;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view ident,
                                 std::string_view def) {
    EnsureLoaded();
    return doc_.ReadString(section, ident, def);
}

int32_t TIniFile::ReadInteger(std::string_view section, std::string_view ident, int32_t def) {
    EnsureLoaded();
    return doc_.ReadInteger(section, ident, def);
}

bool TIniFile::ReadBool(std::string_view section, std::string_view ident, bool def) {
    return ReadInteger(section, ident, def ? 1 : 0) != 0;
}

bool TIniFile::ValueExists(std::string_view section, std::string_view ident) {
    EnsureLoaded();
    return doc_.HasKey(section, ident);
}

void TIniFile::WriteString(std::string_view section, std::string_view ident,
                           std::string_view value) {
    EnsureLoaded();
    if (state_ != LoadState::Loaded || !doc_.WriteString(section, ident, value)) {
        RaiseWriteError();
    }
    dirty_ = true;
}

void TIniFile::WriteInteger(std::string_view section, std::string_view ident, int32_t value) {
    WriteString(section, ident, std::to_string(value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view ident, bool value) {
    WriteString(section, ident, value ? "1" : "0");
}

void TIniFile::UpdateFile() {
    if (!dirty_) {
        return;
    }
    try {
        // Replaces the target of a symbolic link, not the link.
        ReplaceFileContents(fileName_, doc_.Text(), 0600);
    } catch (const std::exception&) {
        RaiseWriteError();
    }
    dirty_ = false;
}
