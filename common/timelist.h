// Times of day at which the service acts in exact-time mode: parsed from and printed as text
// such as "08:30 12:00 18:00", kept as whole seconds since midnight.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/datetime.h"

class TTimeList {
public:
    explicit TTimeList(const std::string& text);

    int Count() const { return static_cast<int>(FItems.size()); }
    // Seconds since midnight, in list order (ascending after a successful SetText).
    const std::vector<int32_t>& Items() const { return FItems; }

    // "hh:nn hh:nn ..." with ":"; seconds are not printed.
    std::string GetText() const;
    // Parses with ":" and sorts. Raises EConvertError("Wrong time value \"<token>\"") at the
    // first bad token; the list then holds the tokens before it, unsorted.
    void SetText(const std::string& text);
    // The same with the time separator of the user's locale.
    std::string GetLocalText() const;
    void SetLocalText(const std::string& text);

    std::string FormatTimes(char separator) const;
    // Replaces the content with the times of `text`, in text order (not sorted). Entries are
    // separated by spaces; each is hours, separator, minutes and optionally separator and
    // seconds, each part a decimal integer with an optional sign.
    void ParseTimes(const std::string& text, char separator);

    // The entry nearest to the time of day of `moment` (rounded to the second, a half to the
    // even second), as a fraction of a day; on equal distances the earlier entry. The distance
    // does not wrap around midnight. An empty list gives -1/86400.
    TDateTime NearestTime(TDateTime moment) const;
    // The first entry in list order strictly later than the time of day of `moment`, as a
    // fraction of a day; -1.0 when there is none.
    TDateTime NextTime(TDateTime moment) const;

private:
    void Sort();

    std::vector<int32_t> FItems;
};

// Whole seconds of the time of day of `moment`: its fraction times 86400, rounded to the
// nearest second, an exact half to the even second. False for an infinite or NaN moment.
bool TimeOfDaySeconds(TDateTime moment, int64_t& seconds);
