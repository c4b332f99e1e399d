// The C runtime's stream functions, loaded at program start from the C library, so that the
// transfer code can open a C FILE stream for libcurl's verbose log (CURLOPT_STDERR). Callers
// test CrtLoaded before using any of the addresses; without them they run without that log.
#pragma once

#include <array>
#include <cstdio>
#include <string>

using TCrtFopen = FILE* (*)(const char* path, const char* mode);
using TCrtFclose = int (*)(FILE* stream);
using TCrtFflush = int (*)(FILE* stream);
using TCrtSetbuf = void (*)(FILE* stream, char* buffer);

// Process-wide state, written only by LoadCrtFunctions and UnloadCrtFunctions (program start
// and end). CrtLoaded is true only when the library loaded and all four functions were found.
extern bool CrtLoaded;
extern TCrtFopen CrtFopen;
extern TCrtFclose CrtFclose;
extern TCrtFflush CrtFflush;
extern TCrtSetbuf CrtSetbuf;

// Loads "libc.so.6" and resolves "fopen", "fclose", "fflush" and "setbuf". Runs at program
// start; a missing library or function leaves CrtLoaded false without any message.
void LoadCrtFunctions();
// The same from another library and other names (in the order fopen, fclose, fflush,
// setbuf); replaces what was loaded before.
void LoadCrtFunctionsFrom(const std::string& library, const std::array<const char*, 4>& names);
// CrtLoaded := false, the library is freed and the addresses cleared. Runs at program end.
void UnloadCrtFunctions();
