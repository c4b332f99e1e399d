// Program directory and small text and file-time helpers used across both programs.
#pragma once

#include <cstdint>
#include <string>

#include "common/datetime.h"

// Directory of the running program (from /proc/self/exe), without a trailing "/"; the root
// directory stays "/". Fixed once at start-up; the same start-up points TEMP, TMP and TMPDIR
// at it.
const std::string& ProgramDir();
std::string GetProgramDir();
// Directory part of a program path by the same rule (exposed for tests).
std::string ProgramDirOf(const std::string& programPath);

// Field `index` (0-based) of `s`, where every `sep` ends a field; at most 255 bytes, never
// ending in a cut UTF-8 character.
std::string ExtractField(const std::string& s, char sep, int index);
// Size of a file in bytes; 0 for a missing file or a directory. The name may hold "*" and
// "?" (the first match counts); without them only the entry of exactly that name counts.
int64_t GetFileSize64(const std::string& fileName);
// A FILETIME converted field by field, without any time-zone conversion. Times after the
// year 9999 give 9999-12-31 23:59:59.999.
TDateTime FileTimeToDateTime(const FILETIME& fileTime);
// "(UTC +01:00)" for a bias of -60 (UTC = local + bias).
std::string FormatUtcBias(int bias);
// "dd.mm.yyyy hh:nn:ss" of a SYSTEMTIME.
std::string SystemTimeToText(const SYSTEMTIME& st);
// Splits "DOMAIN\user" at its first backslash.
void SplitDomainUser(const std::string& account, std::string& domain, std::string& user);
