// The message table: every text that the system shows to users or writes to its files,
// spelled exactly as the system prints it. Each unit's texts stand in its own block.
#pragma once

namespace langtext {

// --- Comserv, debuglog ---
// A date or time of day that does not exist (EncodeDate, EncodeTime).
inline constexpr const char* InvalidDateEncode = "Invalid argument to date encode";
inline constexpr const char* InvalidTimeEncode = "Invalid argument to time encode";

// --- timelist ---
// A token of a time list that is no valid time of day; %s is the token.
inline constexpr const char* WrongTimeValue = "Wrong time value \"%s\"";

// --- ftconfigbase, trconfig, inifile ---
// %s: the file name.
inline constexpr const char* UnableToWrite = "Unable to write to %s";
// %s: the file name, then the message of the error.
inline constexpr const char* ErrorReadingData = "Error reading data from %s : %s";
inline constexpr const char* ErrorWritingData = "Error writing data to %s : %s";
inline constexpr const char* WrongConfigObject = "Attemp to assign wront object to TBaseFtConfig.";
// Transfer type names (file and console), by type value 0 to 3.
inline constexpr const char* TransferCopy = "COPY";
inline constexpr const char* TransferFtp = "FTP";
inline constexpr const char* TransferFtps = "FTPS";
inline constexpr const char* TransferSftp = "SFTP";
// URL schemes of the transfer types.
inline constexpr const char* SchemeFtp = "ftp://";
inline constexpr const char* SchemeSftp = "sftp://";
inline constexpr const char* SchemeSuffix = "://";
// FTP proxy login styles, by type value 0 to 6.
inline constexpr const char* ProxyNone = "None";
inline constexpr const char* ProxyUserAtSite = "User@Site";
inline constexpr const char* ProxySite = "SITE";
inline constexpr const char* ProxyOpen = "OPEN";
inline constexpr const char* ProxyUserPass = "USER-PASS";
inline constexpr const char* ProxyUserPassUserPass = "USER-PASS-USER-PASS";
inline constexpr const char* ProxyHttpFtp = "HTTPFTP";

// --- verinfo, curl_easy_helper, vcrt_helper ---
// (no texts: version reading and the C runtime loader fail silently, libcurl gives its own)

// --- rasserv ---
inline constexpr const char* RasUnknownError = "Unknown RAS error (code %d)";
inline constexpr const char* RasErrBufferTooSmall =
    "There are more than 16 dial-up entries or active connections.";
inline constexpr const char* RasErrCannotOpenPhonebook =
    "The network connection manager (nmcli) was not found on the PATH or could not be run.";
inline constexpr const char* RasErrCannotLoadPhonebook =
    "The connection profiles of the network connection manager could not be read.";
inline constexpr const char* RasErrCannotFindEntry =
    "The dial-up entry does not exist among the connection profiles.";
inline constexpr const char* RasErrUnknown =
    "The network connection manager reported an unexpected error.";
inline constexpr const char* RasErrRequestTimeout =
    "The network connection manager did not answer in time.";
inline constexpr const char* RasErrFromDevice = "The connection could not be established.";
inline constexpr const char* RasErrNoConnection = "The connection is not active.";
inline constexpr const char* RasErrManagerNotRunning =
    "The network connection manager service (NetworkManager) is not running.";

// --- service manager stand-in, service application framework ---

// --- named pipes, srvpipe, ft_control ---
// Client errors of the pipe layer (codes 231 and 53).
inline constexpr const char* PipeAllInstancesBusy = "All pipe instances are busy.";
inline constexpr const char* PipeRemoteNotReachable =
    "The network path was not found: pipes of another computer cannot be reached yet.";
// Pipe server thread log lines; ": " texts are followed by the system's error text.
inline constexpr const char* PipeCreateInstanceFailed = "Failed to create pipe instance: ";
inline constexpr const char* PipeListenFailed = "Cleint listening failed: ";
inline constexpr const char* PipeWaitError = "Wait error : ";
inline constexpr const char* PipeWrongIndex = "Wrong pipe index";
inline constexpr const char* PipeWrongState = "Wrong pipe state";
inline constexpr const char* PipeThreadStarted = "Named pipe server thread started";
inline constexpr const char* PipeThreadFinished = "Named pipe server thread finished";
inline constexpr const char* PipeOverlappedError = "Overlapped error: ";
inline constexpr const char* PipeDisconnectError = "Pipe disconnect error: ";
inline constexpr const char* PipeListeningAgain = "Disconnected from client and listening again";
// Default answer: "ACK %d bytes " followed by the local time "hh:nn:ss".
inline constexpr const char* PipeDefaultAnswer = "ACK %d bytes ";
inline constexpr const char* PipeDefaultAnswerTime = "hh:nn:ss";
// Logged when a request's handling raised: the exception's message follows.
inline constexpr const char* PipeRequestFailed = "Pipe request failed: ";
// Logged when the configuration file received on the control pipe could not be written;
// %s: the file path, then the system's error text. The old file stays whole.
inline constexpr const char* PipeConfigWriteError = "Error writing data to %s : %s";

// --- dirdesc ---
// %s: the source directory (no blank before the opening quotation mark).
inline constexpr const char* DirectoryDoesNotExist = "Directory does not exist\"%s\"";
// Status file header lines (the first ends with one blank), then the date-time formats of
// the last-update line (local time) and of the file lines (UTC).
inline constexpr const char* StatusFileTitle = "# directory status file ";
inline constexpr const char* StatusFileDirectory = "# directory: ";
inline constexpr const char* StatusFileMask = "# file mask: *.";
inline constexpr const char* StatusFileLastUpdate = "# last update: ";
inline constexpr const char* StatusFileUpdateFormat = "yyyy/mm/dd hh:nn:ss:zzz";
inline constexpr const char* StatusFileTimeFormat = "yyyyy/mm/dd hh:nn:ss.zzz";
inline constexpr const char* StatusFileUtc = "UTC";

// --- ftsrvbase ---

// --- kvsrv, sds, transfer ---

// sds: shop-name rules and directory chains.
inline constexpr const char* ShopNameMissing =
    "Nom du magasin non spécifié! Vous devez indiquer le nom du magasin.";
inline constexpr const char* ShopNameBadChar = "Mauvais charactère '%s' dans le nom du magasin %s";
inline constexpr const char* ChainBuildCanceled =
    "Current service task canceled due to urgent control request.";
inline constexpr const char* CorRenameFailed = "Renommage impossible de %s vers %s : %s";

} // namespace langtext
