// Date-time and number texts: the format letters, and the settings taken from the locale.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "common/datetime.h"
#include "platform/systime.h"

namespace {

char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}
bool IsAsciiLetter(char c) {
    return UpperAscii(c) >= 'A' && UpperAscii(c) <= 'Z';
}

bool StartsWithNoCase(std::string_view s, size_t at, std::string_view prefix) {
    if (s.size() - at < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (UpperAscii(s[at + i]) != UpperAscii(prefix[i]))
            return false;
    return true;
}

// Formats the letters of one format text; ddddd, t, c and the like format the settings'
// own formats one level deeper, and no deeper than that (a settings format that names
// itself would never end).
class DateTimeWriter {
public:
    DateTimeWriter(TDateTime dt, const TFormatSettings& fs) : fs_(fs) {
        DecodeDate(dt, year_, month_, day_);
        DecodeTime(dt, hour_, minute_, second_, msec_);
        dayOfWeek_ = DayOfWeekOf(dt);
    }

    void Append(std::string_view f, int depth) {
        if (depth > 2)
            return;
        char lastToken = ' ';
        size_t i = 0;
        while (i < f.size()) {
            const char starter = f[i];
            char token = UpperAscii(starter);
            if (IsAsciiLetter(token)) {
                if (token == 'M' && lastToken == 'H')
                    token = 'N';
                lastToken = token;
            }
            if (token == '"' || token == '\'') {
                i = AppendQuoted(f, i);
                continue;
            }
            if (token == 'A') {
                i = AppendAmPm(f, i);
                continue;
            }
            size_t count = 0;
            while (i + count < f.size() && f[i + count] == starter)
                ++count;
            if (!IsAsciiLetter(token) || !AppendToken(token, count, f, i + count, depth)) {
                AppendPlain(token == '/'   ? fs_.DateSeparator
                            : token == ':' ? fs_.TimeSeparator
                                           : starter,
                            count);
            }
            i += count;
        }
    }

    std::string Result() const { return out_; }

private:
    bool AppendToken(char token, size_t count, std::string_view f, size_t next, int depth) {
        switch (token) {
        case 'Y':
            if (count <= 2)
                Number(year_ % 100, 2);
            else
                Number(year_, 4);
            return true;
        case 'M':
            AppendMonth(count);
            return true;
        case 'D':
            AppendDay(count, depth);
            return true;
        case 'H':
            Number(TwelveHourClockAhead(f, next) ? TwelveHour() : hour_, count > 1 ? 2 : 1);
            return true;
        case 'N':
            Number(minute_, count > 1 ? 2 : 1);
            return true;
        case 'S':
            Number(second_, count > 1 ? 2 : 1);
            return true;
        case 'Z':
            Number(msec_, count > 2 ? 3 : 1);
            return true;
        case 'T':
            Append(count == 1 ? fs_.ShortTimeFormat : fs_.LongTimeFormat, depth + 1);
            return true;
        case 'C':
            Append(fs_.ShortDateFormat, depth + 1);
            if (hour_ || minute_ || second_ || msec_) {
                out_ += ' ';
                Append(fs_.LongTimeFormat, depth + 1);
            }
            return true;
        default:
            return false;
        }
    }

    void AppendMonth(size_t count) {
        if (count <= 2)
            Number(month_, static_cast<int>(count));
        else if (count == 3)
            out_ += fs_.ShortMonthNames[month_ - 1];
        else
            out_ += fs_.LongMonthNames[month_ - 1];
    }

    void AppendDay(size_t count, int depth) {
        switch (count) {
        case 1:
        case 2:
            Number(day_, static_cast<int>(count));
            break;
        case 3:
            out_ += fs_.ShortDayNames[dayOfWeek_];
            break;
        case 4:
            out_ += fs_.LongDayNames[dayOfWeek_];
            break;
        case 5:
            Append(fs_.ShortDateFormat, depth + 1);
            break;
        default:
            Append(fs_.LongDateFormat, depth + 1);
            break;
        }
    }

    // "am/pm" and "a/p" print the format's own letters (in its case), "ampm" the settings'
    // texts; any other "a" is copied.
    size_t AppendAmPm(std::string_view f, size_t i) {
        const bool pm = hour_ >= 12;
        if (StartsWithNoCase(f, i, "am/pm")) {
            out_.append(f.substr(pm ? i + 3 : i, 2));
            return i + 5;
        }
        if (StartsWithNoCase(f, i, "a/p")) {
            out_ += f[pm ? i + 2 : i];
            return i + 3;
        }
        if (StartsWithNoCase(f, i, "ampm")) {
            out_ += pm ? fs_.TimePMString : fs_.TimeAMString;
            return i + 4;
        }
        out_ += f[i];
        return i + 1;
    }

    // An hour run is on the 12-hour clock when the next letter run after it, outside
    // quotes, is an am/pm marker; a following hour run ends the look-ahead.
    static bool TwelveHourClockAhead(std::string_view f, size_t at) {
        bool quoted = false;
        for (size_t i = at; i < f.size(); ++i) {
            const char c = UpperAscii(f[i]);
            if (c == '"' || c == '\'') {
                quoted = !quoted;
            } else if (!quoted && c == 'A') {
                return StartsWithNoCase(f, i, "am/pm") || StartsWithNoCase(f, i, "a/p") ||
                       StartsWithNoCase(f, i, "ampm");
            } else if (!quoted && c == 'H') {
                return false;
            }
        }
        return false;
    }

    int TwelveHour() const { return hour_ == 0 ? 12 : hour_ > 12 ? hour_ - 12 : hour_; }

    size_t AppendQuoted(std::string_view f, size_t i) {
        const char quote = f[i];
        const size_t end = f.find(quote, i + 1);
        if (end == std::string_view::npos) {
            out_.append(f.substr(i + 1));
            return f.size();
        }
        out_.append(f.substr(i + 1, end - i - 1));
        return end + 1;
    }

    void AppendPlain(char c, size_t count) {
        if (c != '\0')
            out_.append(count, c);
    }

    void Number(int value, int digits) {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "%0*d", digits, value);
        out_ += buffer;
    }

    const TFormatSettings& fs_;
    std::string out_;
    int year_, month_, day_, hour_, minute_, second_, msec_, dayOfWeek_;
};

// One conversion of a locale's D_FMT / T_FMT as format letters, or a literal.
struct LocalePiece {
    std::string Letters; // empty: a literal
    std::string Literal;
    char Conversion = 0;
};

std::string ExpandCompound(std::string_view f) {
    std::string out;
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] != '%' || i + 1 == f.size()) {
            out += f[i];
            continue;
        }
        const char c = f[++i];
        switch (c) {
        case 'D':
            out += "%m/%d/%y";
            break;
        case 'F':
            out += "%Y-%m-%d";
            break;
        case 'T':
            out += "%H:%M:%S";
            break;
        case 'R':
            out += "%H:%M";
            break;
        case 'r':
            out += "%I:%M:%S %p";
            break;
        default:
            out += '%';
            out += c;
        }
    }
    return out;
}

std::string LettersOf(char conversion) {
    switch (conversion) {
    case 'd':
        return "dd";
    case 'e':
        return "d";
    case 'm':
        return "mm";
    case 'y':
        return "yy";
    case 'Y':
    case 'C':
        return "yyyy";
    case 'b':
    case 'h':
        return "mmm";
    case 'B':
        return "mmmm";
    case 'a':
        return "ddd";
    case 'A':
        return "dddd";
    case 'H':
    case 'I':
        return "hh";
    case 'k':
    case 'l':
        return "h";
    case 'M':
        return "nn";
    case 'S':
        return "ss";
    case 'p':
    case 'P':
        return "ampm";
    default:
        return std::string();
    }
}

std::vector<LocalePiece> ParseLocaleFormat(std::string_view format) {
    const std::string f = ExpandCompound(format);
    std::vector<LocalePiece> pieces;
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] == '%' && i + 1 < f.size()) {
            ++i;
            while (i + 1 < f.size() && (f[i] == 'E' || f[i] == 'O' || f[i] == '-' || f[i] == '_' ||
                                        f[i] == '0' || f[i] == '^'))
                ++i; // modifiers and flags
            if (f[i] == '%') {
                pieces.push_back(LocalePiece{"", "%", 0});
            } else {
                const std::string letters = LettersOf(f[i]);
                if (!letters.empty())
                    pieces.push_back(LocalePiece{letters, "", f[i]});
            }
            continue;
        }
        if (pieces.empty() || !pieces.back().Letters.empty())
            pieces.push_back(LocalePiece{});
        pieces.back().Literal += f[i];
    }
    return pieces;
}

// The first punctuation character among the literals: the separator.
char SeparatorOf(const std::vector<LocalePiece>& pieces, char fallback) {
    for (const LocalePiece& p : pieces)
        for (char c : p.Literal) {
            const auto u = static_cast<unsigned char>(c);
            if (u > 32 && u < 127 && !IsAsciiLetter(c) && !(c >= '0' && c <= '9'))
                return c;
        }
    return fallback;
}

std::string LettersWithSeparator(const std::vector<LocalePiece>& pieces, char separator,
                                 char separatorLetter, char skipConversion) {
    std::string out;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const LocalePiece& p = pieces[i];
        if (!p.Letters.empty()) {
            if (p.Conversion != skipConversion)
                out += p.Letters;
            continue;
        }
        // The literal in front of a skipped conversion goes with it.
        if (skipConversion && i + 1 < pieces.size() && pieces[i + 1].Conversion == skipConversion)
            continue;
        // Separators become the separator letter, blanks stay, everything else is quoted so
        // that it can never read as a format letter.
        std::string quoted;
        const auto flush = [&] {
            if (!quoted.empty())
                out += '"' + quoted + '"';
            quoted.clear();
        };
        for (char c : p.Literal) {
            if (c == separator) {
                flush();
                out += separatorLetter;
            } else if (c == ' ' && quoted.empty()) {
                out += ' ';
            } else if (c != '"') {
                quoted += c;
            }
        }
        flush();
    }
    return out;
}

} // namespace

std::string FormatDateTime(std::string_view format, TDateTime dt, const TFormatSettings& fs) {
    DateTimeWriter writer(dt, fs);
    writer.Append(format.empty() ? std::string_view("c") : format, 0);
    return writer.Result();
}

std::string FormatDateTime(std::string_view format, TDateTime dt) {
    return FormatDateTime(format, dt, LocaleFormatSettings());
}

void ApplyLocaleDateTimeFormats(TFormatSettings& fs, std::string_view dateFormat,
                                std::string_view timeFormat) {
    const std::vector<LocalePiece> date = ParseLocaleFormat(dateFormat);
    const std::vector<LocalePiece> time = ParseLocaleFormat(timeFormat);
    fs.DateSeparator = SeparatorOf(date, fs.DateSeparator);
    fs.TimeSeparator = SeparatorOf(time, fs.TimeSeparator);
    const std::string shortDate = LettersWithSeparator(date, fs.DateSeparator, '/', 0);
    if (!shortDate.empty())
        fs.ShortDateFormat = shortDate;
    const std::string longTime = LettersWithSeparator(time, fs.TimeSeparator, ':', 0);
    if (!longTime.empty()) {
        fs.LongTimeFormat = longTime;
        fs.ShortTimeFormat = LettersWithSeparator(time, fs.TimeSeparator, ':', 'S');
    }
}

TFormatSettings LocaleFormatSettings() {
    const TLocaleTexts texts = CurrentLocaleTexts();
    TFormatSettings fs;
    ApplyLocaleDateTimeFormats(fs, texts.DateFormat, texts.TimeFormat);
    if (texts.DecimalPoint.size() == 1)
        fs.DecimalSeparator = texts.DecimalPoint[0];
    fs.ThousandSeparator = texts.ThousandsSep;
    if (!texts.AmText.empty())
        fs.TimeAMString = texts.AmText;
    if (!texts.PmText.empty())
        fs.TimePMString = texts.PmText;
    const auto take = [](auto& to, const auto& from) {
        for (size_t i = 0; i < to.size(); ++i)
            if (!from[i].empty())
                to[i] = from[i];
    };
    take(fs.ShortDayNames, texts.ShortDayNames);
    take(fs.LongDayNames, texts.LongDayNames);
    take(fs.ShortMonthNames, texts.ShortMonthNames);
    take(fs.LongMonthNames, texts.LongMonthNames);
    return fs;
}

TFormatSettings LogFormatSettings() {
    TFormatSettings fs = LocaleFormatSettings();
    fs.DecimalSeparator = '.';
    fs.DateSeparator = '/';
    fs.TimeSeparator = ':';
    fs.ShortDateFormat = "dd/mm/yyyy";
    fs.ShortTimeFormat = "hh:nn";
    fs.LongTimeFormat = "hh:nn:ss";
    return fs;
}

std::string FormatNumber(double value, int width, int decimals, const TFormatSettings& fs) {
    decimals = std::clamp(decimals, 0, 18);
    if (!std::isfinite(value))
        return std::string(std::max(0, width - 3), ' ') + (std::isnan(value) ? "NAN" : "INF");
    // Halves round away from zero, as in the other number texts of the system.
    const double magnitude = decimals == 0 ? std::round(std::fabs(value)) : std::fabs(value);
    char digits[400];
    std::snprintf(digits, sizeof digits, "%.*f", decimals, magnitude);
    const std::string text(digits);
    const size_t point = text.find('.');
    const std::string whole = text.substr(0, point);

    std::string result;
    if (value < 0 && text.find_first_not_of("0.") != std::string::npos)
        result += '-';
    for (size_t i = 0; i < whole.size(); ++i) {
        if (i > 0 && (whole.size() - i) % 3 == 0)
            result += fs.ThousandSeparator;
        result += whole[i];
    }
    if (point != std::string::npos) {
        result += fs.DecimalSeparator;
        result += text.substr(point + 1);
    }
    // Width counts characters: continuation bytes of UTF-8 do not count.
    const auto chars = std::count_if(result.begin(), result.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    });
    if (chars < width)
        result.insert(0, static_cast<size_t>(width - chars), ' ');
    return result;
}

std::string FormatNumber(double value, int width, int decimals) {
    return FormatNumber(value, width, decimals, LocaleFormatSettings());
}
