#include "common/ftconfigbase.h"

#include <exception>

#include "common/debuglog.h"
#include "common/langtext.h"
#include "common/strutil.h"
#include "platform/errors.h"

namespace k = ftconfigkeys;

TBaseFtConfig::TBaseFtConfig() = default;

TBaseFtConfig::~TBaseFtConfig() = default;

std::string TBaseFtConfig::DirectorySection(int index) {
    return k::DirectoryPrefix + std::to_string(index);
}

const std::string& TBaseFtConfig::GetTrackDirectory(int index) const {
    return TrackDirectory.at(static_cast<size_t>(index));
}

void TBaseFtConfig::SetTrackDirectory(int index, const std::string& value) {
    TrackDirectory.at(static_cast<size_t>(index)) = value;
}

void TBaseFtConfig::CopyConfigTo(TPersistent* dest) const {
    auto* config = dynamic_cast<TBaseFtConfig*>(dest);
    if (config == nullptr) {
        throw EConvertError(langtext::WrongConfigObject);
    }
    config->CopyValues(*this);
}

void TBaseFtConfig::CopyConfigFrom(const TPersistent* source) {
    const auto* config = dynamic_cast<const TBaseFtConfig*>(source);
    if (config == nullptr) {
        throw EConvertError(langtext::WrongConfigObject);
    }
    CopyValues(*config);
}

void TBaseFtConfig::CopyValues(const TBaseFtConfig& source) {
    if (&source == this) {
        return;
    }
    LogDetailed = source.LogDetailed;
    TimeBetweenActions = source.TimeBetweenActions;
    TrackDirectory = source.TrackDirectory;
    ExactTimeMode = source.ExactTimeMode;
    // Through the text, as the file would carry it: seconds are not copied.
    ExactTime.SetText(source.ExactTime.GetText());
}

void TBaseFtConfig::LoadFromIni(TIniFile& ini) {
    LogDetailed = ini.ReadBool(k::General, k::LogDetailed, false);
    TimeBetweenActions =
        ini.ReadInteger(k::General, k::TimeBetweenActions, DefaultTimeBetweenActions);
    ExactTimeMode = ini.ReadBool(k::General, k::ExactTimeMode, false);
    ExactTime.SetText(ini.ReadString(k::General, k::ExactTime, DefaultExactTime));
    if (ExactTime.Count() == 0) {
        ExactTime.SetText(DefaultExactTime);
    }
    for (int i = 0; i < MaxTrackDirectories; ++i) {
        TrackDirectory[static_cast<size_t>(i)] =
            ini.ReadString(DirectorySection(i), k::TrackDirectory, "");
    }
}

void TBaseFtConfig::SaveToIni(TIniFile& ini) const {
    ini.WriteBool(k::General, k::LogDetailed, LogDetailed);
    ini.WriteInteger(k::General, k::TimeBetweenActions, TimeBetweenActions);
    ini.WriteBool(k::General, k::ExactTimeMode, ExactTimeMode);
    ini.WriteString(k::General, k::ExactTime, ExactTime.GetText());
    for (int i = 0; i < MaxTrackDirectories; ++i) {
        ini.WriteString(DirectorySection(i), k::TrackDirectory,
                        TrackDirectory[static_cast<size_t>(i)]);
    }
}

void TBaseFtConfig::LoadFromFile(const std::string& fileName) {
    TIniFile ini(fileName);
    try {
        // A file that exists but cannot be read is reported; the defaults are read then.
        if (!ini.ReadError().empty()) {
            DebugLog(LogError,
                     Format(langtext::ErrorReadingData, fileName.c_str(), ini.ReadError().c_str()));
        }
        LoadFromIni(ini);
    } catch (const std::exception& e) {
        DebugLog(LogError, Format(langtext::ErrorReadingData, fileName.c_str(), e.what()));
    }
}

void TBaseFtConfig::SaveToFile(const std::string& fileName) const {
    TIniFile ini(fileName);
    try {
        SaveToIni(ini);
        ini.UpdateFile();
    } catch (const std::exception& e) {
        DebugLog(LogError, Format(langtext::ErrorWritingData, fileName.c_str(), e.what()));
    }
}
