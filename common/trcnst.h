// Transfer types and FTP proxy types: their names in the configuration file and the console,
// and the URL schemes of the transfer types.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// One byte: 0 COPY, 1 FTP, 2 FTPS, 3 SFTP.
using TTransferType = uint8_t;
constexpr TTransferType ttCopy = 0;
constexpr TTransferType ttFtp = 1;
constexpr TTransferType ttFtps = 2;
constexpr TTransferType ttSftp = 3;

// One byte: the login style of an FTP proxy, 0 (none) to 6.
using TProxyType = uint8_t;
constexpr TProxyType ptNone = 0;
constexpr TProxyType ptUserAtSite = 1;
constexpr TProxyType ptSite = 2;
constexpr TProxyType ptOpen = 3;
constexpr TProxyType ptUserPass = 4;
constexpr TProxyType ptUserPassUserPass = 5;
constexpr TProxyType ptHttpFtp = 6;
constexpr TProxyType ptLast = ptHttpFtp;

// "COPY", "FTP", "FTPS", "SFTP"; values outside the table give "FTP".
std::string TransferTypeToName(TTransferType type);
// By name without regard to case; any other text, the empty text included, gives FTP.
TTransferType TransferTypeFromName(std::string_view name);
// "ftp://" for FTP and FTPS, "sftp://" for SFTP, the empty text for COPY and anything else.
std::string TransferTypeToUrlScheme(TTransferType type);

// "None", "User@Site", "SITE", "OPEN", "USER-PASS", "USER-PASS-USER-PASS", "HTTPFTP";
// values outside the table give "None".
std::string ProxyTypeToName(TProxyType type);
// By name without regard to case; any other text gives None.
TProxyType ProxyTypeFromName(std::string_view name);

// The proxy kind name in lower case (ASCII letters) followed by "://": "SOCKS5" gives
// "socks5://".
std::string MakeUrlScheme(std::string_view name);
