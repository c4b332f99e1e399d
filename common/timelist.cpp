#include "common/timelist.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "common/Comserv.h"
#include "common/langtext.h"
#include "common/strutil.h"
#include "platform/errors.h"

namespace {

// A decimal integer with an optional sign, within the 32-bit range; nothing else.
bool StrToIntStrict(const std::string& text, int32_t& value) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) {
        return false;
    }
    const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                   : std::numeric_limits<int32_t>::max();
    int64_t v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        v = v * 10 + (text[i] - '0');
        if (v > limit) {
            return false;
        }
    }
    value = static_cast<int32_t>(negative ? -v : v);
    return true;
}

// Runs of spaces become one space (tabs and other blanks stay part of the tokens).
std::string CollapseSpaces(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c != ' ' || out.empty() || out.back() != ' ') {
            out += c;
        }
    }
    return out;
}

// Seconds since midnight of one token "h<sep>m[<sep>s]", or false when it is no valid time.
bool ParseToken(const std::string& token, char separator, int32_t& seconds) {
    int32_t hours = 0;
    int32_t minutes = 0;
    int32_t secs = 0;
    const std::string secText = ExtractField(token, separator, 2);
    if (!StrToIntStrict(ExtractField(token, separator, 0), hours) ||
        !StrToIntStrict(ExtractField(token, separator, 1), minutes) ||
        (!secText.empty() && !StrToIntStrict(secText, secs))) {
        return false;
    }
    if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59 || secs < 0 || secs > 59) {
        return false;
    }
    seconds = hours * 3600 + minutes * 60 + secs;
    return true;
}

} // namespace

bool TimeOfDaySeconds(TDateTime moment, int64_t& seconds) {
    if (!std::isfinite(moment)) {
        return false;
    }
    const double x = (moment - std::trunc(moment)) * SecsPerDay;
    double r = std::floor(x);
    const double rest = x - r;
    if (rest > 0.5 || (rest == 0.5 && std::fmod(r, 2.0) != 0.0)) {
        r += 1.0;
    }
    seconds = static_cast<int64_t>(r);
    return true;
}

TTimeList::TTimeList(const std::string& text) {
    SetText(text);
}

std::string TTimeList::GetText() const {
    return FormatTimes(':');
}

void TTimeList::SetText(const std::string& text) {
    ParseTimes(text, ':');
    Sort();
}

std::string TTimeList::GetLocalText() const {
    return FormatTimes(LocaleFormatSettings().TimeSeparator);
}

void TTimeList::SetLocalText(const std::string& text) {
    ParseTimes(text, LocaleFormatSettings().TimeSeparator);
    Sort();
}

void TTimeList::Sort() {
    std::sort(FItems.begin(), FItems.end());
}

std::string TTimeList::FormatTimes(char separator) const {
    const std::string sep(1, separator);
    std::string result;
    for (int32_t secs : FItems) {
        const int32_t hours = secs / 3600;
        const int32_t minutes = (secs - hours * 3600) / 60;
        if (!result.empty()) {
            result += ' ';
        }
        result += Format("%2.2d%s%2.2d", hours, sep.c_str(), minutes);
    }
    return result;
}

void TTimeList::ParseTimes(const std::string& text, char separator) {
    FItems.clear();
    const std::string s = CollapseSpaces(Trim(text));
    for (int i = 0;; ++i) {
        const std::string token = ExtractField(s, ' ', i);
        if (token.empty()) {
            break;
        }
        int32_t seconds = 0;
        if (!ParseToken(token, separator, seconds)) {
            throw EConvertError(Format(langtext::WrongTimeValue, token.c_str()));
        }
        FItems.push_back(seconds);
    }
}

TDateTime TTimeList::NearestTime(TDateTime moment) const {
    int64_t s = 0;
    if (!TimeOfDaySeconds(moment, s)) {
        return -1.0 / SecsPerDay;
    }
    int64_t bestDistance = std::numeric_limits<int32_t>::max();
    int64_t best = -1;
    for (int32_t entry : FItems) {
        const int64_t d = std::llabs(s - entry);
        if (d < bestDistance) {
            bestDistance = d;
            best = entry;
        }
    }
    return static_cast<double>(best) / SecsPerDay;
}

TDateTime TTimeList::NextTime(TDateTime moment) const {
    int64_t s = 0;
    if (!TimeOfDaySeconds(moment, s)) {
        return -1.0;
    }
    for (int32_t entry : FItems) {
        if (entry > s) {
            return static_cast<double>(entry) / SecsPerDay;
        }
    }
    return -1.0;
}
