// Configuration files come from the control pipe and from administrators: any bytes. Parsing
// must keep an unchanged file byte for byte, a written key must read back, and writing one key
// must leave every other key as it was.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/inifile.h"
#include "common/strutil.h"
#include "common/timelist.h"
#include "platform/errors.h"

namespace {

const std::pair<const char*, const char*> Probes[] = {
    {"General", "LogDetailed"},
    {"General", "TimeBetweenActions"},
    {"General", "ExactTime"},
    {"Directory0", "TrackDirectory"},
    {"Directory63", "TrackDirectory"},
    {"Transport", "Destination0"},
    {"Transport", "Password"},
    {"Transport", "Port"},
    {"Transfer", "Scb"},
    {"FTP", "Host"},
    {"S", "K"},
    {"s", "k"},
};

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// What a written value reads back as: cut at NUL, line breaks as spaces, at most 2047 bytes
// without splitting a UTF-8 character.
std::string Expected(std::string_view value) {
    std::string v(value.substr(0, value.find('\0')));
    for (char& c : v) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    if (v.size() > TIniDocument::MaxValueLength) {
        size_t cut = TIniDocument::MaxValueLength;
        size_t back = cut;
        while (back > cut - 3 && (static_cast<unsigned char>(v[back]) & 0xC0) == 0x80) {
            --back;
        }
        v.resize((static_cast<unsigned char>(v[back]) & 0xC0) == 0x80 ? cut : back);
    }
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    // The first byte picks the key to write, the second where the value starts in the rest.
    const auto& target = Probes[data[0] % std::size(Probes)];
    const std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);
    const std::string_view value = text.substr(text.size() * data[1] / 256);

    TIniDocument doc(text);
    Check(doc.Text() == text);

    std::vector<std::string> before;
    for (const auto& [section, key] : Probes) {
        before.push_back(doc.ReadString(section, key, "\x01missing"));
        (void)doc.ReadInteger(section, key, 0);
        try {
            TTimeList times(doc.ReadString(section, key, ""));
        } catch (const EConvertError&) {
        }
    }

    Check(doc.WriteString(target.first, target.second, value));
    TIniDocument reread(doc.Text());
    Check(reread.ReadString(target.first, target.second, "") == Expected(value));
    for (size_t i = 0; i < std::size(Probes); ++i) {
        const auto& [section, key] = Probes[i];
        if (SameText(section, target.first) && SameText(key, target.second)) {
            continue; // the written key itself
        }
        Check(reread.ReadString(section, key, "\x01missing") == before[i]);
    }

    // Integers read back as written, whatever the rest of the file holds.
    const int32_t number = static_cast<int32_t>(data[0] * 0x01010101u ^ (data[1] << 7));
    Check(reread.WriteString(target.first, "Number", std::to_string(number)));
    Check(TIniDocument(reread.Text()).ReadInteger(target.first, "Number", 0) == number);
    return 0;
}
