// How the console window turns what the service reports into texts: counters, the duration of
// the last group of files, the next check, the version and the record's text fields; and how
// it reads its command line. Free functions, so that they can be checked without a window.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/datetime.h"

// A counter with "%12.0n": the locale's digit grouping, right-aligned in 12 characters.
std::string FormatCounter(double value);

// A duration as "h:mm:ss:zzz" with the locale's time separator; the hours are the total
// hours, so a duration of a day or more keeps its whole days.
std::string FormatGroupDuration(uint32_t milliseconds);

// Whole seconds between `now` and the local time `moment`, in either direction. `moment` is
// read by the system's time-zone rules for its own date, so a clock change between now and
// then counts.
int64_t SecondsBetweenLocal(const SYSTEMTIME& moment, std::chrono::system_clock::time_point now);

// The text of a fixed-size text field of a record: up to its first NUL, or the whole field.
std::string RecordText(const char* field, size_t size);

// "%d.%d.%d" of three version numbers.
std::string VersionText(unsigned major, unsigned minor, unsigned release);

// The console's switches: arguments of two characters or more that start with "-" or "/".
// "CONFIG" (upper-cased, whole) asks to open the configuration once the service runs;
// "TIME:<n>" gives the period to write into the configuration sent (60 when <n> is no
// integer). Other arguments are ignored; the last of a repeated switch wins. `arguments`
// holds the arguments without the program name.
struct TConsoleSwitches {
    bool OpenConfig = false;
    int32_t TimeOverride = 0;
};
TConsoleSwitches ParseConsoleSwitches(const std::vector<std::string>& arguments);
