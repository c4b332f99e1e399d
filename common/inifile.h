// INI files: "[Section]" lines, each followed by its "Key=Value" lines. The configuration of
// both programs is kept in such files, read and written with these rules:
// - Section and key names are compared without regard to ASCII case; the first matching
//   section and the first matching key in it count.
// - A missing key reads as the default; a key present with an empty value reads as the empty
//   text. Values are read with surrounding blanks removed and one pair of surrounding double or
//   single quotes stripped; a read value is cut at its first NUL byte and holds at most
//   MaxValueLength bytes (never cut inside a UTF-8 character).
// - Integers are written in decimal; read in decimal with an optional sign, or in hexadecimal
//   when the value is longer than two characters and starts with "0x" or "0X" (up to
//   0xFFFFFFFF, taken as a 32-bit two's complement value). Anything else, values outside the
//   32-bit range included, reads as the default.
// - Booleans are written "1" and "0" and read as integers: non-zero is true.
// - Writing a key replaces its line in place (keeping the key's spelling in the file) or adds
//   it after the last key of its section; a missing section is appended at the end. Every other
//   line, comments (";") and unknown lines included, stays byte for byte as it was, with its own
//   line end. Lines added to an existing file use the line end of its first line; a new file
//   gets LF line ends. A value that would not read back as written (leading or trailing blanks,
//   or enclosed in quotes) is written enclosed in double quotes; line breaks in a value are
//   written as spaces, since a value cannot span lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The text of one INI file, parsed into lines, read and changed in memory.
class TIniDocument {
public:
    static constexpr size_t MaxValueLength = 2047;

    TIniDocument() = default;
    explicit TIniDocument(std::string_view text) { Parse(text); }

    // Replaces the content with `text` (any bytes).
    void Parse(std::string_view text);
    // The whole text; an unchanged document gives back exactly the text it was parsed from.
    std::string Text() const;

    bool HasKey(std::string_view section, std::string_view ident) const;
    std::string ReadString(std::string_view section, std::string_view ident,
                           std::string_view def) const;
    int32_t ReadInteger(std::string_view section, std::string_view ident, int32_t def) const;
    bool ReadBool(std::string_view section, std::string_view ident, bool def) const;

    // Returns false (and changes nothing) when the section or key name cannot be stored:
    // empty, with blanks around it, with a line break or NUL, a section name with "]", a key
    // name with "=" or starting with ";" or "[".
    bool WriteString(std::string_view section, std::string_view ident, std::string_view value);

private:
    enum class LineKind { Other, Section, Key };
    struct Line {
        std::string raw; // without its line end
        bool crlf = false;
        bool terminated = true; // false only for a last line without a line end
        LineKind kind = LineKind::Other;
        std::string name;    // section or key name, trimmed
        size_t valuePos = 0; // key lines: offset of the text after "="
    };

    static void Classify(Line& line);
    // Index of the section's header line, or npos.
    size_t FindSection(std::string_view section) const;
    // Index of the key's line within the section starting at `header`, or npos.
    size_t FindKey(size_t header, std::string_view ident) const;
    size_t SectionEnd(size_t header) const;
    void InsertLine(size_t index, std::string raw);

    std::vector<Line> lines_;
    bool newLinesCrLf_ = false;
};

// Decimal (optional sign) or "0x" hexadecimal integer of 32 bits, by the rule above; false
// when `text` is no such integer.
bool IniTextToInt(std::string_view text, int32_t& value);

// An INI file on disk. The file is read at the first access; writes change the text in memory
// and UpdateFile writes it back whole (atomically: a new file in the same directory renamed
// over the old one, so a failure never leaves a cut file). A new file is created with mode
// 0600, since configuration files hold passwords; an existing file keeps its mode.
//
// A missing file reads as empty. A file that exists but cannot be read (no permission, a
// directory, not a regular file, larger than MaxFileSize) reads as empty too, and any write to
// it fails, so that its content is never replaced by a file made from nothing.
class TIniFile {
public:
    static constexpr size_t MaxFileSize = 1024 * 1024;

    explicit TIniFile(std::string fileName);
    // Writes pending changes; a failure here is lost, so callers that must know call
    // UpdateFile first.
    ~TIniFile();
    TIniFile(const TIniFile&) = delete;
    TIniFile& operator=(const TIniFile&) = delete;

    const std::string& FileName() const { return fileName_; }

    std::string ReadString(std::string_view section, std::string_view ident, std::string_view def);
    int32_t ReadInteger(std::string_view section, std::string_view ident, int32_t def);
    bool ReadBool(std::string_view section, std::string_view ident, bool def);
    bool ValueExists(std::string_view section, std::string_view ident);
    // Why an existing file could not be read (the system's text); empty when it was read or
    // does not exist.
    const std::string& ReadError();

    // Each raises Exception("Unable to write to <file name>") when the key cannot be stored
    // or the file could not be read.
    void WriteString(std::string_view section, std::string_view ident, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view ident, int32_t value);
    void WriteBool(std::string_view section, std::string_view ident, bool value);

    // Writes the changes made since the last call to the file; raises
    // Exception("Unable to write to <file name>") on failure (the changes stay pending).
    void UpdateFile();

private:
    enum class LoadState { NotLoaded, Loaded, Unreadable };
    void Load();
    void EnsureLoaded();
    void SetUnreadable(std::string reason);
    [[noreturn]] void RaiseWriteError() const;

    std::string fileName_;
    TIniDocument doc_;
    LoadState state_ = LoadState::NotLoaded;
    std::string readError_;
    bool dirty_ = false;
};
