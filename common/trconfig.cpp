#include "common/trconfig.h"

#include "common/langtext.h"
#include "platform/errors.h"

namespace k = trconfigkeys;

TTransportConfig::TTransportConfig() = default;

const std::string& TTransportConfig::GetDestination(int index) const {
    return Destination.at(static_cast<size_t>(index));
}

void TTransportConfig::SetDestination(int index, const std::string& value) {
    Destination.at(static_cast<size_t>(index)) = value;
}

void TTransportConfig::CopyConfigFrom(const TPersistent* source) {
    const auto* config = dynamic_cast<const TTransportConfig*>(source);
    if (config == nullptr) {
        throw EConvertError(langtext::WrongConfigObject);
    }
    CopyValues(*config);
}

void TTransportConfig::CopyConfigTo(TPersistent* dest) const {
    TBaseFtConfig::CopyConfigTo(dest);
    if (dynamic_cast<TTransportConfig*>(dest) == nullptr) {
        throw EConvertError(langtext::WrongConfigObject);
    }
}

void TTransportConfig::CopyValues(const TBaseFtConfig& source) {
    TBaseFtConfig::CopyValues(source);
    // A plain base configuration has none of the transfer fields; they keep their values.
    if (const auto* config = dynamic_cast<const TTransportConfig*>(&source)) {
        CopyOwnValues(*config);
    }
}

void TTransportConfig::CopyOwnValues(const TTransportConfig& source) {
    if (&source == this) {
        return;
    }
    Connection = source.Connection;
    DisconnDelay = source.DisconnDelay;
    Destination = source.Destination;
    DestinationDirectory = source.DestinationDirectory;
    Username = source.Username;
    Password = source.Password;
    Scb = source.Scb;
    Caisse = source.Caisse;
    Filters = source.Filters;
    Messages = source.Messages;
    Meteo = source.Meteo;
    Heatmap = source.Heatmap;
    Events = source.Events;
    Footfall = source.Footfall;
    Transport = source.Transport;
    Port = source.Port;
    PassiveMode = source.PassiveMode;
    ProxyType = source.ProxyType;
    ProxyHost = source.ProxyHost;
    ProxyPort = source.ProxyPort;
    ProxyUser = source.ProxyUser;
    ProxyPassword = source.ProxyPassword;
    CurlProxy = source.CurlProxy;
}

void TTransportConfig::LoadFromIni(TIniFile& ini) {
    TBaseFtConfig::LoadFromIni(ini);
    Connection = ini.ReadString(k::Transport, k::Connection, "");
    DisconnDelay = ini.ReadInteger(k::Transport, k::DisconnDelay, 0);
    Scb = ini.ReadBool(k::Transfer, k::Scb, true);
    Caisse = ini.ReadBool(k::Transfer, k::Caisse, true);
    Filters = ini.ReadBool(k::Transfer, k::Filters, true);
    Heatmap = ini.ReadBool(k::Transfer, k::Heatmap, false);
    Messages = ini.ReadBool(k::Transfer, k::Messages, true);
    Meteo = ini.ReadBool(k::Transfer, k::Meteo, true);
    Events = ini.ReadBool(k::Transfer, k::Events, true);
    Footfall = ini.ReadBool(k::Transfer, k::Footfall, true);
    Destination[0] = ini.ReadString(k::Transport, k::Destination0, "");
    Destination[1] = ini.ReadString(k::Transport, k::Destination1, "");
    if (Destination[0].empty()) {
        // Files of earlier versions name the FTP host there.
        Destination[0] = ini.ReadString(k::Ftp, k::FtpHost, "");
    }
    DestinationDirectory = ini.ReadString(k::Transport, k::DestinationDirectory, "");
    Username = ini.ReadString(k::Transport, k::Username, "");
    Password = ini.ReadString(k::Transport, k::Password, "");
    Transport = TransferTypeFromName(
        ini.ReadString(k::Transport, k::TransportType, langtext::TransferCopy));
    Port = ini.ReadInteger(k::Transport, k::Port, DefaultFtpPort);
    PassiveMode = ini.ReadBool(k::Transport, k::PassiveMode, false);
    ProxyType = ProxyTypeFromName(ini.ReadString(k::Transport, k::ProxyType, ""));
    ProxyHost = ini.ReadString(k::Transport, k::ProxyHost, DefaultProxyHost);
    ProxyPort = ini.ReadInteger(k::Transport, k::ProxyPort, DefaultProxyPort);
    ProxyUser = ini.ReadString(k::Transport, k::ProxyUser, "");
    ProxyPassword = ini.ReadString(k::Transport, k::ProxyPassword, "");
    CurlProxy = ini.ReadString(k::Transport, k::CurlProxy, "");
}

void TTransportConfig::SaveToIni(TIniFile& ini) const {
    TBaseFtConfig::SaveToIni(ini);
    ini.WriteString(k::Transport, k::Connection, Connection);
    ini.WriteInteger(k::Transport, k::DisconnDelay, DisconnDelay);
    ini.WriteBool(k::Transfer, k::Scb, Scb);
    ini.WriteBool(k::Transfer, k::Caisse, Caisse);
    ini.WriteBool(k::Transfer, k::Filters, Filters);
    ini.WriteBool(k::Transfer, k::Heatmap, Heatmap);
    ini.WriteBool(k::Transfer, k::Messages, Messages);
    ini.WriteBool(k::Transfer, k::Meteo, Meteo);
    ini.WriteBool(k::Transfer, k::Events, Events);
    ini.WriteBool(k::Transfer, k::Footfall, Footfall);
    ini.WriteString(k::Transport, k::Destination0, Destination[0]);
    ini.WriteString(k::Transport, k::Destination1, Destination[1]);
    ini.WriteString(k::Transport, k::DestinationDirectory, DestinationDirectory);
    ini.WriteString(k::Transport, k::Username, Username);
    ini.WriteString(k::Transport, k::Password, Password);
    ini.WriteString(k::Transport, k::TransportType, TransferTypeToName(Transport));
    ini.WriteInteger(k::Transport, k::Port, Port);
    ini.WriteBool(k::Transport, k::PassiveMode, PassiveMode);
    ini.WriteString(k::Transport, k::ProxyType, ProxyTypeToName(ProxyType));
    ini.WriteString(k::Transport, k::ProxyHost, ProxyHost);
    ini.WriteInteger(k::Transport, k::ProxyPort, ProxyPort);
    ini.WriteString(k::Transport, k::ProxyUser, ProxyUser);
    ini.WriteString(k::Transport, k::ProxyPassword, ProxyPassword);
    ini.WriteString(k::Transport, k::CurlProxy, CurlProxy);
}
