#include "console/framework/basesvc_format.h"

#include <cstring>
#include <ctime>

#include "common/inifile.h"
#include "common/langtext.h"
#include "common/strutil.h"

namespace {

constexpr int32_t TimeSwitchDefault = 60;

std::string UpperAscii(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

} // namespace

std::string FormatCounter(double value) {
    return FormatNumber(value, 12, 0);
}

std::string FormatGroupDuration(uint32_t milliseconds) {
    const char sep = LocaleFormatSettings().TimeSeparator;
    const uint32_t hours = milliseconds / 3600000;
    const uint32_t minutes = milliseconds / 60000 % 60;
    const uint32_t seconds = milliseconds / 1000 % 60;
    const uint32_t ms = milliseconds % 1000;
    return Format("%u%c%02u%c%02u%c%03u", hours, sep, minutes, sep, seconds, sep, ms);
}

int64_t SecondsBetweenLocal(const SYSTEMTIME& moment, std::chrono::system_clock::time_point now) {
    std::tm local{};
    local.tm_year = moment.wYear - 1900;
    local.tm_mon = moment.wMonth - 1;
    local.tm_mday = moment.wDay;
    local.tm_hour = moment.wHour;
    local.tm_min = moment.wMinute;
    local.tm_sec = moment.wSecond;
    local.tm_isdst = -1; // the rules in force on that date
    const std::time_t at = std::mktime(&local);
    const int64_t atMs = static_cast<int64_t>(at) * 1000 + moment.wMilliseconds;
    const int64_t nowMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const int64_t difference = atMs - nowMs;
    return (difference < 0 ? -difference : difference) / 1000;
}

std::string RecordText(const char* field, size_t size) {
    const void* end = std::memchr(field, '\0', size);
    return std::string(field, end ? static_cast<const char*>(end) - field : size);
}

std::string VersionText(unsigned major, unsigned minor, unsigned release) {
    return Format(langtext::VersionNumbers, static_cast<int>(major), static_cast<int>(minor),
                  static_cast<int>(release));
}

TConsoleSwitches ParseConsoleSwitches(const std::vector<std::string>& arguments) {
    TConsoleSwitches switches;
    const std::string timePrefix = langtext::SwitchTime;
    for (const std::string& argument : arguments) {
        if (argument.size() < 2 || (argument[0] != '-' && argument[0] != '/'))
            continue;
        const std::string name = UpperAscii(argument.substr(1));
        if (name == langtext::SwitchConfig) {
            switches.OpenConfig = true;
        } else if (name.compare(0, timePrefix.size(), timePrefix) == 0) {
            int32_t seconds = 0;
            switches.TimeOverride =
                IniTextToInt(name.substr(timePrefix.size()), seconds) ? seconds : TimeSwitchDefault;
        }
    }
    return switches;
}
