#include "common/strutil.h"

#include <cstdarg>
#include <cstdio>

std::string Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string result;
    if (length > 0) {
        result.resize(static_cast<size_t>(length));
        std::vsnprintf(result.data(), result.size() + 1, fmt, args);
    }
    va_end(args);
    return result;
}

std::string Trim(std::string_view s) {
    size_t begin = 0;
    size_t end = s.size();
    while (begin < end && static_cast<unsigned char>(s[begin]) <= 32)
        ++begin;
    while (end > begin && static_cast<unsigned char>(s[end - 1]) <= 32)
        --end;
    return std::string(s.substr(begin, end - begin));
}

static char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}
static char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

std::string LowerCaseAscii(std::string_view s) {
    std::string result(s);
    for (char& c : result)
        c = LowerAscii(c);
    return result;
}

std::string UpperCaseAscii(std::string_view s) {
    std::string result(s);
    for (char& c : result)
        c = UpperAscii(c);
    return result;
}

static bool IsContinuationByte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

void CutUtf8(std::string& s, size_t limit) {
    if (s.size() <= limit)
        return;
    size_t end = limit;
    for (int i = 0; i < 3 && end > 0 && IsContinuationByte(s[end]); ++i)
        --end;
    if (IsContinuationByte(s[end]))
        end = limit;
    s.resize(end);
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    return true;
}

size_t Utf8Length(std::string_view s) {
    size_t count = 0;
    for (unsigned char c : s)
        count += (c & 0xC0) != 0x80;
    return count;
}
