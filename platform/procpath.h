// The running program's own file and the process environment.
#pragma once

#include <string>

// Full path of the running program (/proc/self/exe); empty when it cannot be read.
std::string ProgramFilePath();
// Sets (or replaces) an environment variable of this process. Not safe while other threads
// read the environment; call it during start-up.
void SetProcessEnvironment(const std::string& name, const std::string& value);
