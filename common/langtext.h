// The message table: every text that the system shows to users or writes to its files,
// spelled exactly as the system prints it. Each unit's texts stand in its own block.
#pragma once

namespace langtext {

// --- Comserv, debuglog ---
// A date or time of day that does not exist (EncodeDate, EncodeTime).
inline constexpr const char* InvalidDateEncode = "Invalid argument to date encode";
inline constexpr const char* InvalidTimeEncode = "Invalid argument to time encode";
// The log file until a target is set (always so in the console), in the current directory.
inline constexpr const char* DefaultDebugFileName = "debug.txt";

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
// Display name of the generic service (a concrete service replaces it).
inline constexpr const char* FtServiceDisplayName = "Ravo Darazez service";
// A pending control request ended the running job (also while a shop chain is built).
inline constexpr const char* ServiceTaskCanceled =
    "Current service task canceled due to urgent control request.";
// Followed by the tracked directory.
inline constexpr const char* MonitorDirectory = "Monitor directory ";
// After the service name and a blank.
inline constexpr const char* ServiceStartedText = "service started";
inline constexpr const char* ServiceStoppedText = "service stopped";
inline constexpr const char* ServiceStoppedAtShutdown = "stopped at system shutdown";
inline constexpr const char* StartingService = "Starting service...";
inline constexpr const char* StoppingService = "Stopping service...";
// %s: the bare configuration file name.
inline constexpr const char* ConfigurationLoaded = "Configuration loaded from \"%s\"";
// %s: the pipe name.
inline constexpr const char* PipeServerStarted = "Pipe server started \"%s\"";
inline constexpr const char* PipeServerStopped = "Pipe server stopped \"%s\"";
// Followed by the tracked directory.
inline constexpr const char* ProcessingChain = "Processing chain ";
// Job progress; each is followed by an elapsed time in the format ElapsedFormat.
inline constexpr const char* ProcessedDirectory = "processed directory %s, elasped ";
inline constexpr const char* PostprocessingFinished =
    "postprocessing after %d source files finished, elapsed ";
inline constexpr const char* ProcessedFiles = "processed %d files OK, %d files bad, elapsed ";
inline constexpr const char* ElapsedFormat = "h:nn:ss:zzz";
inline constexpr const char* ConfigRetrievedByClient =
    "Service configuration file retrieved by client";
inline constexpr const char* ConfigUpdatedByClient = "Service configuration file updated by client";
// The concrete service did not give the framework its configuration object.
inline constexpr const char* NoServiceConfiguration = "No configuration object for the service";

// --- kvsrv, sds, transfer ---

// kvsrv: names of the transfer service and its files.
inline constexpr const char* KvServiceName = "KelvardSvc";
inline constexpr const char* KvServiceDisplayName = "VANTORIX Transport Service KV Edition";
inline constexpr const char* KvIniFileName = "kelvardsvc.ini";
inline constexpr const char* KvLogFileName = "kelvardsvc.log";
inline constexpr const char* KvInfoPipeName = "KvSvcInfo";
inline constexpr const char* KvControlPipeName = "KvSvcControl";
inline constexpr const char* KvStatusFile0 = "trlist0.dst";
inline constexpr const char* KvStatusFile1 = "trlist1.dst";
// Start line: followed by the destinations; a second one follows KvAndAlsoTo.
inline constexpr const char* KvCopyingTo = "Copie des nouveaux fichiers du dossier vers ";
inline constexpr const char* KvAndAlsoTo = ", et aussi vers ";
// A destination (%d: 0 or 1) left empty in the configuration: nothing is sent to it.
inline constexpr const char* KvDestinationEmpty =
    "Destination%d non spécifiée: aucun fichier n'y est envoyé";

// sds: shop-name rules and directory chains.
inline constexpr const char* ShopNameMissing =
    "Nom du magasin non spécifié! Vous devez indiquer le nom du magasin.";
inline constexpr const char* ShopNameBadChar = "Mauvais charactère '%s' dans le nom du magasin %s";
inline constexpr const char* CorRenameFailed = "Renommage impossible de %s vers %s : %s";

// transfer: one file to one destination by copy or upload (kvtransfer).
// Progress line before each file while detailed logging is on; the file's path follows.
inline constexpr const char* TransmittingFile = "transmission du fichier ";
// The destination of an upload (%d: 0 or 1, %s: as configured) is no host name or address.
inline constexpr const char* UploadHostInvalid =
    "Destination%d \"%s\" n'est pas un nom d'hôte ou une adresse valide: aucun fichier n'y est "
    "envoyé";
// libcurl start failures; libcurl's text follows the first.
inline constexpr const char* CurlGlobalInitFailed = "curl_global_init failes: ";
inline constexpr const char* CurlEasyInitFailed = "curl_easy_init failed";
// Detailed logging: the destination, port, user and password; then, on the same line after a
// blank, the proxy host, port, user, password and kind.
inline constexpr const char* ConnectionDetails =
    "Connection à %s:%d avec \"%s\" le mot de passe \"%s\"";
inline constexpr const char* ProxyDetails = "via %s:%d as \"%s\" password \"%s\" (method %s)";
// A failed transfer: the file name and the destination sub-path, then " : " and the message.
inline constexpr const char* CopyFailed = "Copie impossible de %s vers %s";
inline constexpr const char* MessageSeparator = " : ";
// The directory follows, then " : " and the system's text.
inline constexpr const char* CreateDirFailed = "Création de dossier impossible: ";
// An upload that libcurl reported as done but that did not carry the whole file: the file name
// and ": " come first; then the bytes sent and the file's size.
inline constexpr const char* UploadIncomplete = "envoi incomplet, %lld octets envoyés sur %lld";
// The source file got shorter while it was being sent; the file name and ": " come first.
inline constexpr const char* SourceShrank = "le fichier a raccourci pendant l'envoi";
// libcurl's verbose log of the last upload, in the program directory.
inline constexpr const char* DetailedLogFileName = "ftp_detailed_log.txt";

// dial-up: the connection of the configured entry before each upload, hung up at stop
// (kvdialup). %s: the RAS error text, or the entry name then the RAS error text.
inline constexpr const char* DialActiveListFailed =
    "Erreur à la réception du liste des connexions actif de modem: %s";
inline constexpr const char* DialEntryListFailed =
    "Erreur à la réception du liste des liaisons de modem de l'phonebook par défaut: %s";
inline constexpr const char* DialNoEntries = "Dans l'phonebook il n'y a pas de liaisons de modem";
inline constexpr const char* DialEntryMissing =
    "Il n'y a pas de liason de mOdem \"%s\" dans l'phonebook par défaut";
inline constexpr const char* DialConnected = "Connexion de \"%s\" établie";
inline constexpr const char* DialFailed = "Erreur de connexion de \"%s\": %s";
inline constexpr const char* DialHungUp = "Connexion de \"%s\" est terminée";
inline constexpr const char* DialHangUpFailed = "Erreur de déconnexion de \"%s\": %s";

} // namespace langtext
