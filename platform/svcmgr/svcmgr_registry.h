// The manager's registry of installed services: one file per service, mode 0600, in the
// directory "services" of the manager's state directory, so that it survives a restart of
// the manager. A file holds "Key=Value" lines: Name, DisplayName, BinaryPath, StartName,
// Password, StartType ("auto", "demand" or "disabled"; a file without it, written before
// services had start types, loads as "demand", so that nothing starts that never did), and
// Pipes: the pipe names the manager has bound for the service, separated by ",", which no
// other service may take.
#pragma once

#include <string>
#include <vector>

#include "platform/svcmgr/svcmgr_types.h"

struct TRegisteredService {
    std::string Name;
    std::string DisplayName;
    std::string BinaryPath;
    std::string StartName; // logon account
    std::string Password;
    uint32_t StartType = SERVICE_DEMAND_START;
    std::vector<std::string> Pipes;
};

// Checks of the values a client sends; each raises EOSError(EINVAL) with its text.
// A name has 1 to 256 characters from "!" to "~" except "/" and "\".
void ValidateServiceName(const std::string& name);
// A new service's name must also make a registry file name that the manager loads again: no
// "." at its start, and short enough for a file name.
void ValidateNewServiceName(const std::string& name);
void ValidateDisplayName(const std::string& displayName);
void ValidateBinaryPath(const std::string& path);
void ValidateStartName(const std::string& account);
void ValidatePassword(const std::string& password);
void ValidateStartType(uint32_t startType);
// A pipe name the manager binds for a service: 1 to 100 characters from "!" to "~" except
// "/", "\" and ",".
bool IsServicePipeName(const std::string& name);

// The registry file's word for a start type, and back (0 for an unknown word).
const char* StartTypeWord(uint32_t startType);
uint32_t StartTypeFromWord(const std::string& word);

// The key a name is found by: service names do not depend on letter case.
std::string ServiceNameKey(const std::string& name);

class TServiceRegistry {
public:
    explicit TServiceRegistry(std::string directory);

    // Creates the directory (mode 0700) when it is missing.
    void Prepare() const;
    // Every readable service; a file that cannot be read or holds invalid values is left
    // out and described in `problems`.
    std::vector<TRegisteredService> LoadAll(std::vector<std::string>& problems) const;
    // Writes (or replaces) the file of one service; raises EOSError on failure.
    void Save(const TRegisteredService& service) const;
    void Remove(const std::string& name) const;

    std::string FilePath(const std::string& name) const;
    const std::string& Directory() const { return directory_; }

    // The text of a service file, and its parsing (raises EOSError(EINVAL)).
    static std::string Serialize(const TRegisteredService& service);
    static TRegisteredService Parse(const std::string& text);

private:
    std::string directory_;
};
