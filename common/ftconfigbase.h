// Configuration of a file-tracking service: detailed logging, the schedule (a period or exact
// times of day) and up to 64 tracked directories, kept in an INI file.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "common/inifile.h"
#include "common/timelist.h"

// Root of the objects that configurations can be copied from and to.
class TPersistent {
public:
    virtual ~TPersistent() = default;
};

constexpr int MaxTrackDirectories = 64;

// Sections and keys of the base configuration. The tracked directory n is in the section
// "Directory<n>" (decimal, no leading zeros).
namespace ftconfigkeys {
inline constexpr const char* General = "General";
inline constexpr const char* LogDetailed = "LogDetailed";
inline constexpr const char* TimeBetweenActions = "TimeBetweenActions";
inline constexpr const char* ExactTimeMode = "ExactTimeMode";
inline constexpr const char* ExactTime = "ExactTime";
inline constexpr const char* DirectoryPrefix = "Directory";
inline constexpr const char* TrackDirectory = "TrackDirectory";
} // namespace ftconfigkeys

inline constexpr const char* DefaultExactTime = "18:00";
inline constexpr int32_t DefaultTimeBetweenActions = 60;

// Derived classes override CopyValues, LoadFromIni and SaveToIni; each override first calls
// the base version and then handles its own fields, so the base keys always come first and a
// failure while reading them stops the derived part too.
class TBaseFtConfig : public TPersistent {
public:
    TBaseFtConfig();
    ~TBaseFtConfig() override;
    TBaseFtConfig(const TBaseFtConfig&) = delete;
    TBaseFtConfig& operator=(const TBaseFtConfig&) = delete;

    // Copies this configuration into `dest` through dest's own CopyValues. Raises
    // EConvertError("Attemp to assign wront object to TBaseFtConfig.") when `dest` is no
    // configuration (null included).
    virtual void CopyConfigTo(TPersistent* dest) const;
    // Copies `source` into this configuration; the same error, and nothing changed, when
    // `source` is no configuration of a suitable class.
    virtual void CopyConfigFrom(const TPersistent* source);
    // Copies every field that this class and `source` have in common.
    virtual void CopyValues(const TBaseFtConfig& source);
    virtual void LoadFromIni(TIniFile& ini);
    virtual void SaveToIni(TIniFile& ini) const;

    // Never raise: a failure is logged at level 3 and the values not reached keep what they
    // held. A missing file gives the defaults without a log line.
    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName) const;

    // Index 0 to 63 (std::out_of_range otherwise).
    const std::string& GetTrackDirectory(int index) const;
    void SetTrackDirectory(int index, const std::string& value);

    static std::string DirectorySection(int index);

    bool LogDetailed = false;
    int32_t TimeBetweenActions = DefaultTimeBetweenActions;
    bool ExactTimeMode = false;
    TTimeList ExactTime{DefaultExactTime};
    std::array<std::string, MaxTrackDirectories> TrackDirectory;
};

// Class reference: makes a configuration of the class the caller chose.
using TBaseFtConfigClass = std::unique_ptr<TBaseFtConfig> (*)();

template <class T> std::unique_ptr<TBaseFtConfig> NewFtConfig() {
    return std::make_unique<T>();
}
