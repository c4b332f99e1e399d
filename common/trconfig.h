// Configuration of the transfer service: the base configuration plus how and where files are
// sent (transfer type, destinations, credentials, FTP proxy), the dial-up entry and the
// transfer switches of each data kind.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "common/ftconfigbase.h"
#include "common/trcnst.h"

namespace trconfigkeys {
inline constexpr const char* Transport = "Transport";
inline constexpr const char* Transfer = "Transfer";
inline constexpr const char* Ftp = "FTP";
inline constexpr const char* Connection = "Connection";
inline constexpr const char* DisconnDelay = "DisconnDelay";
inline constexpr const char* Scb = "Scb";
inline constexpr const char* Caisse = "Caisse";
inline constexpr const char* Filters = "Filters";
inline constexpr const char* Heatmap = "Heatmap";
inline constexpr const char* Messages = "Messages";
inline constexpr const char* Meteo = "Meteo";
inline constexpr const char* Events = "Events";
inline constexpr const char* Footfall = "Footfall";
inline constexpr const char* Destination0 = "Destination0";
inline constexpr const char* Destination1 = "Destination1";
inline constexpr const char* DestinationDirectory = "DestinationDirectory";
inline constexpr const char* Username = "Username";
inline constexpr const char* Password = "Password";
inline constexpr const char* TransportType = "Transport";
inline constexpr const char* Port = "Port";
inline constexpr const char* PassiveMode = "PassiveMode";
inline constexpr const char* ProxyType = "ProxyType";
inline constexpr const char* ProxyHost = "ProxyHost";
inline constexpr const char* ProxyPort = "ProxyPort";
inline constexpr const char* ProxyUser = "ProxyUser";
inline constexpr const char* ProxyPassword = "ProxyPassword";
inline constexpr const char* CurlProxy = "CurlProxy";
inline constexpr const char* FtpHost = "Host";
} // namespace trconfigkeys

inline constexpr const char* DefaultProxyHost = "192.168.1.1";
inline constexpr int32_t DefaultFtpPort = 21;
inline constexpr int32_t DefaultProxyPort = 8021;

class TTransportConfig : public TBaseFtConfig {
public:
    TTransportConfig();

    // The source must be a TTransportConfig; anything else raises EConvertError and changes
    // nothing.
    void CopyConfigFrom(const TPersistent* source) override;
    // Copies into any configuration (the fields it has), then raises EConvertError when
    // `dest` is no TTransportConfig.
    void CopyConfigTo(TPersistent* dest) const override;
    void CopyValues(const TBaseFtConfig& source) override;
    void LoadFromIni(TIniFile& ini) override;
    void SaveToIni(TIniFile& ini) const override;

    // Index 0 or 1 (std::out_of_range otherwise).
    const std::string& GetDestination(int index) const;
    void SetDestination(int index, const std::string& value);

    std::string Connection;
    int32_t DisconnDelay = 0;
    std::array<std::string, 2> Destination;
    std::string DestinationDirectory;
    std::string Username;
    std::string Password;
    bool Scb = true;
    bool Caisse = true;
    bool Filters = true;
    bool Messages = true;
    bool Meteo = true;
    bool Heatmap = false;
    bool Events = true;
    bool Footfall = true;
    TTransferType Transport = ttCopy;
    int32_t Port = DefaultFtpPort;
    bool PassiveMode = false;
    TProxyType ProxyType = ptNone;
    std::string ProxyHost = DefaultProxyHost;
    int32_t ProxyPort = DefaultProxyPort;
    std::string ProxyUser;
    std::string ProxyPassword;
    std::string CurlProxy;

private:
    void CopyOwnValues(const TTransportConfig& source);
};
