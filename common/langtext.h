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
// A dial ended early because the service is stopping.
inline constexpr const char* RasErrDialCanceled = "The dial was canceled: the service is stopping.";
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
// Another PC reached through ssh and `svcmgr bridge` (platform/remotepc): the PC's name, then
// ssh's own message or how ssh ended.
inline constexpr const char* RemotePcBadName = "The format of the network name \"%s\" is invalid.";
inline constexpr const char* RemotePcUnreachable = "The network path was not found: %s: %s";
inline constexpr const char* RemotePcNoLogin =
    "The network path was not found: %s: no login within the time allowed (%s)";
inline constexpr const char* RemotePcNoBridge =
    "The network path was not found: %s does not answer as \"svcmgr bridge\" (%s)";
inline constexpr const char* RemotePcLost =
    "The network path was not found: the connection to %s was lost (%s)";
inline constexpr const char* RemotePcNoAnswer =
    "The network path was not found: %s did not answer in time (%s)";
inline constexpr const char* RemotePcNoSsh =
    "The network path was not found: %s: cannot run ssh (%s)";
inline constexpr const char* RemotePcSshExit = "ssh ended with exit status %d";
inline constexpr const char* RemotePcSshEnded = "ssh ended";
inline constexpr const char* RemotePcOpening =
    "The network path was not found: the connection to %s is being opened";

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
// Stands for a password in every text that leaves the service's private log file.
inline constexpr const char* HiddenPassword = "********";
// A transfer under way ended by a stop or shutdown of the service; the file is sent again by
// the next job.
inline constexpr const char* TransferStopped = "envoi interrompu par l'arrêt du service";

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
// No destination at all in the configuration (%s: its path), at the start of each job.
inline constexpr const char* KvNoDestination =
    "Aucune destination configurée (Destination0 de la section [Transport] de %s): aucun "
    "fichier n'est envoyé";
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
// An upload ended by a stop: what the server had received under the file's name was removed
// (%s: the name), or could not be (%s: the name, then libcurl's text).
inline constexpr const char* PartialUploadRemoved =
    "%s : envoi interrompu, la partie envoyée a été supprimée du serveur";
inline constexpr const char* PartialUploadNotRemoved =
    "%s : envoi interrompu, la partie envoyée n'a pas pu être supprimée du serveur : %s";
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

// --- console: oserror, svcctrl, basesvc_acess (the console window framework) ---
// An operating-system failure: the code, then CR LF and the system's text.
inline constexpr const char* SystemErrorCode = "System Error.  Code: %d.";
inline constexpr const char* OSFunctionFailed = "A call to an OS function failed";
inline constexpr const char* FailedToStartService = "Failed to start service";
inline constexpr const char* FailedToStopService = "Failed to stop service";
// Defaults of the window's names; a concrete console sets its own.
inline constexpr const char* DefaultSettingsFileName = "svc_cfg.ini";
inline constexpr const char* DefaultServiceName = "ServiceSvc";
inline constexpr const char* DefaultLocalConfigFileName = "cfg_local.ini";
inline constexpr const char* DefaultInfoPipeName = "SvcInfo";
inline constexpr const char* DefaultControlPipeName = "SvcControl";
// Settings file: section and key of the PC shown.
inline constexpr const char* SettingsSection = "General";
inline constexpr const char* SettingsRemotePc = "RemotePC";
// Command-line switches (after "-" or "/", compared in upper case).
inline constexpr const char* SwitchConfig = "CONFIG";
inline constexpr const char* SwitchTime = "TIME:";
// The PC in messages when it is this one.
inline constexpr const char* ThisPc = "cet PC";
// Window captions.
inline constexpr const char* WndBtnPc = "Sur un autre PC";
inline constexpr const char* WndBtnPcHint = "Choisissez l'ordinateur où le service travaille";
inline constexpr const char* WndTsHardware = "Opérations avec les fichiers de données";
inline constexpr const char* WndLastFileOk = "Dernier fichier traite sans erreur";
inline constexpr const char* WndLastFileBad = "Dernier fichier en erreur";
inline constexpr const char* WndLastGroup = "Heure du dernier contrôle de fichier";
inline constexpr const char* WndFileCheckAt = "Heure du contrôle suivant";
inline constexpr const char* WndLastEvtTime = "Dernier évènement";
inline constexpr const char* WndLastErrTime = "Dernière erreur";
inline constexpr const char* WndTsStatistics = "Statistique";
inline constexpr const char* WndVersion = "Version du Service:";
inline constexpr const char* WndStartedAt = "Démarrage a:";
inline constexpr const char* WndConns = "Connections avec succès:";
inline constexpr const char* WndConErrors = "Connections avec erreur:";
inline constexpr const char* WndReq = "Demandes received:";
inline constexpr const char* WndReqBytes = "Bytes received:";
inline constexpr const char* WndAns = "Réponses sent:";
inline constexpr const char* WndAnsBytes = "Bytes sent:";
inline constexpr const char* WndWriteErr = "Write errors:";
inline constexpr const char* WndBtnSrvStart = "Démarrer le service";
inline constexpr const char* WndBtnSrvStartHint = "Démarrer Zuzedevevivove Service sur PC indiqué";
inline constexpr const char* WndBtnSrvStop = "Arrêter le service";
inline constexpr const char* WndBtnSrvStopHint = "Arrêter Zuzedevevivove Service sur PC indiqué";
inline constexpr const char* WndBtnConfigure = "Configurer le service";
inline constexpr const char* WndBtnConfigureHint =
    "Change Zuzedevevivove parameters on specified PC";
inline constexpr const char* WndBtnClose = "Fermer";
inline constexpr const char* WndPanelService = "Service";
inline constexpr const char* WndPanelBusy = "Traite";
// Status texts of the state polling; the system's text follows. %s: the PC.
inline constexpr const char* ScmErrorOn = "Service Control Manager erreur sur %s: ";
inline constexpr const char* ServiceAbsentOn = "accès au service est absent sur %s: ";
// Start or stop asked for a service already in that state; the PC follows.
inline constexpr const char* AlreadyRunningOn = "The service is running already on ";
inline constexpr const char* AlreadyStoppedOn = "The service is stopped already on ";
// Statistics display.
inline constexpr const char* LengthError = "Length error";
inline constexpr const char* VersionNumbers = "%d.%d.%d";
inline constexpr const char* CounterFormat = "%12.0n";
inline constexpr const char* GroupResult = "traité sans erreurs - %d, avec les erreurs - %d, en ";
inline constexpr const char* NextCheckIn = "%s (dans %d sec)";
// Configuration exchange and restart. %s: the PC.
inline constexpr const char* ReceivingConfig = "reçois la configuration de %s...";
inline constexpr const char* SendingConfig = "envoie la configuration à %s...";
inline constexpr const char* WrongQuittance = "Wrong quittance from Tallix Service";
inline constexpr const char* AskStartService =
    "Service n'est pas travailler.\rVulez vous demarrer maintenant?";
inline constexpr const char* ChangingServiceConfig = "Changing service configuration...";
// The service's configuration file is larger than one message carries; %s: the PC, %d: the
// limit in bytes. Editing it here would cut it.
inline constexpr const char* ConfigTooLargeToEdit =
    "The configuration file of the service on %s is larger than %d bytes: it cannot be edited "
    "from this console without losing its end.";
// The working copy is larger than one message carries: its size and the limit.
inline constexpr const char* ConfigTooLargeToSend =
    "The configuration is %lld bytes long; at most %d bytes can be sent to the service.";
// --- console: basesvc_configdlg ---
// The base configuration dialog: caption, buttons, page and the controls' captions.
inline constexpr const char* CfgDlgCaption = "Configuration du service";
inline constexpr const char* CfgDlgOK = "OK";
inline constexpr const char* CfgDlgCancel = "Annuler";
inline constexpr const char* CfgDlgTsGeneral = "General";
inline constexpr const char* CfgDlgLabCentralizationDir = "Classeur principal de Zuzedevevivove";
inline constexpr const char* CfgDlgBrowseDirHint =
    "Choisissez le classeur principal de Rizizodirevuro";
inline constexpr const char* CfgDlgLabFreq = "Contrôler l'état des fichiers chaque";
inline constexpr const char* CfgDlgLabMin = "sec";
inline constexpr const char* CfgDlgLogDetailed = "Suivi d’activité";
// Title of the folder picker of the configuration dialogs.
inline constexpr const char* CfgDlgSelectFolder = "Selection du dossier cible";
// --- console: selectpc, scwserv ---
// PC selection dialog. The prompt's two sentences are joined by one CR.
inline constexpr const char* SelPcCaption = "Commuté pour un autre PC";
inline constexpr const char* SelPcPrompt =
    "Tapez le nom du PC ou choisissez PC parmi la liste.\r"
    "Laissez le nom non rempli si vous voulez choisir votre PC";
inline constexpr const char* SelPcOK = "OK";
inline constexpr const char* SelPcCancel = "Annuler";
// The computer list: the label of the name edit and of the list of known computers.
inline constexpr const char* BrowsePcName = "Nom de l'ordinateur:";
inline constexpr const char* BrowsePcKnown = "Ordinateurs connus:";
// Mail. %s: the header's name.
inline constexpr const char* MailHeaderLineBreak =
    "The mail header \"%s\" must be a single line: it contains a line break.";
// %s: the attachment's path, then the system's text.
inline constexpr const char* MailAttachmentUnreadable = "Cannot read the attachment %s: %s";
// %s: the mail program, then the system's text.
inline constexpr const char* MailProgramNotRun = "Cannot run the mail program %s: %s";
// %s: the mail program; %d: its exit status; %s: what it wrote on its error output.
inline constexpr const char* MailProgramFailed = "The mail program %s failed with status %d: %s";
inline constexpr const char* MailProgramFailedSilently =
    "The mail program %s failed with status %d.";
// %s: the mail program; %d: the signal.
inline constexpr const char* MailProgramKilled = "The mail program %s was ended by signal %d.";
// %s: the mail program; %d: seconds.
inline constexpr const char* MailProgramTimedOut =
    "The mail program %s did not finish within %d seconds; it was stopped.";
// %s: the mail program; it closed its input before the whole message was written.
inline constexpr const char* MailProgramStoppedReading =
    "The mail program %s stopped reading the message before its end.";
// --- transfer console: kelvardsvc_cfgmain and the program ---
inline constexpr const char* KvConsoleTitle = "Zuzedevevivove Service Statistics & Status";
inline constexpr const char* KvSettingsFileName = "kelvardsvc_cfg.ini";
inline constexpr const char* KvLocalConfigFileName = "kelvardsvc_local.ini";
inline constexpr const char* KvMainCaption = "Service de Trasport et de Configuration & Statut";
inline constexpr const char* KvLabPc = "Contrôler Service de Transport sur ";
inline constexpr const char* KvTsHardware = "Envoi des fichiers";
// The account's password does not fit the manager's 64-character field; %s: the account.
inline constexpr const char* KvPasswordTooLong =
    "Le mot de passe du compte %s a plus de 64 caractères, le maximum que le gestionnaire de "
    "services garde pour un compte.";
inline constexpr const char* KvProgramDirOpen =
    "kelvardsvc_w10_cfg: the directory %s may be written by other users (group or other write "
    "rights, or an ACL entry); the console does not start from there, since Qt loads files from "
    "its program's directory. Install the console in a directory of its own (scripts/install "
    "puts it in PREFIX/console).";
inline constexpr const char* KvPasswordControlChar =
    "Le mot de passe du compte %s contient un caractère de contrôle, que le gestionnaire de "
    "services refuse.";
// The account was refused by the PC's service manager before the restart: account, PC and the
// manager's own text.
inline constexpr const char* KvAccountRefused =
    "Le compte %s est refusé sur %s ; le service continue avec son compte actuel.\r%s";
// Started without administrator rights and no way to ask for them.
inline constexpr const char* KvNeedsRoot =
    "This program changes and restarts a system service: it must run as root (for example "
    "with sudo or pkexec).";
// --- transfer console: kelvardsvc_configdlg2 ---
// Captions of the transfer configuration dialog.
inline constexpr const char* KvCfgLabCentralizationDir =
    "Vantorix est le dossier de données suivi par le service";
inline constexpr const char* KvCfgBrowseDirHint = "Selectionner le dossier à suivre";
inline constexpr const char* KvCfgRbExactTime = "Contrôler l'état des fichiers à";
inline constexpr const char* KvCfgLabDest = "Copie des nouveaux fichiers du dossier vers ";
inline constexpr const char* KvCfgLabDestination0 = "Destination";
inline constexpr const char* KvCfgCbDestination1 = "2ième copie vers";
inline constexpr const char* KvCfgLabShop = "Pour la boutique";
inline constexpr const char* KvCfgLabPassword = "Mot de passe";
inline constexpr const char* KvCfgCbPassive = "Mode Passif";
inline constexpr const char* KvCfgLabInetConn = "Liaison Internet";
inline constexpr const char* KvCfgLabInetDisconnDelay = "Pause avant le déconnexion";
inline constexpr const char* KvCfgLabProxyType = "Proxy type";
// The account caption: the login of the upload kinds, the service's own account for COPY.
inline constexpr const char* KvCfgLabUser = "Identifiant";
inline constexpr const char* KvCfgLabServiceAccount = "Compte du service";
// Hint of the folder buttons of the destinations (COPY on this PC).
inline constexpr const char* KvCfgBrowseDestHint = "Choisissez le dossier de destination";
// First items of the dial-up list and of the proxy list, then the proxy kinds offered.
inline constexpr const char* KvCfgDefaultConnection = "par défaut";
inline constexpr const char* KvCfgNoProxy = "<none>";
inline constexpr const char* KvCfgCurlProxies[] = {"HTTP",    "HTTPS",  "SOCKS4",
                                                   "SOCKS4A", "SOCKS5", "SOCKS5H"};
// The account a COPY service runs under when no user is given.
inline constexpr const char* KvCfgLocalSystem = ".\\LocalSystem";
// Checks of the settings before they are saved or tested.
inline constexpr const char* KvCfgTimeNotDefined = "Le temps du contrôle n'est pas défini";
inline constexpr const char* KvCfgWrongPassword = "Le mot de passe est incorrect";
// --- transfer console: transsvc_conntest ---
// Connectivity test dialog: captions; the window caption gets the destination after
// ConnTestSeparator, then the state.
inline constexpr const char* ConnTestCaption = "Connectivity test";
inline constexpr const char* ConnTestSeparator = ": ";
inline constexpr const char* ConnTestInProgress = ": in porgress";
inline constexpr const char* ConnTestNoErrors = ": no errors found";
inline constexpr const char* ConnTestErrorsFound = ": ERRORS FOUND";
inline constexpr const char* ConnTestBtnTest = "Test";
inline constexpr const char* ConnTestBtnSend = "Send report";
inline constexpr const char* ConnTestBtnBack = "Back to Configuration";
inline constexpr const char* ConnTestBtnContinue = "Continue";
inline constexpr const char* ConnTestBtnContinueErrors = "Continue with errors";
inline constexpr const char* ConnTestConfigUndefined = "Transport Service configuration udefined";
// The sample file (in the current directory) and its content: the console's major, minor and
// release numbers, then the date and time.
inline constexpr const char* ConnTestSampleFileName = "smaple.dat";
inline constexpr const char* ConnTestSampleText =
    "This is a sample file.\r\n"
    "\r\n"
    "It is only used to test connectivity\r\n"
    "between Transport Service and destination host.\r\n"
    "The file was transferred by TS ver. %d.%d.%d. on %s\r\n";
// libcurl's verbose log of the test upload, in the program directory.
inline constexpr const char* ConnTestDetailedLogFileName = "ftp_test_detailed_log.txt";
// Report header; each label is padded to 15 characters and followed by " - ".
inline constexpr const char* ConnTestParameters = "Transport parameters:";
inline constexpr const char* ConnTestTracks = "Service tracks content of %s";
inline constexpr const char* ConnTestTransferMode = "transfer mode   - ";
inline constexpr const char* ConnTestDestination = "destination     - ";
inline constexpr const char* ConnTestDestination2 = "2nd destination - ";
inline constexpr const char* ConnTestForShop = "for the shop    - ";
inline constexpr const char* ConnTestForUser = "for the user    - ";
inline constexpr const char* ConnTestWithPassword = "with password   - ";
inline constexpr const char* ConnTestFtpMode = "FTP mode        - ";
inline constexpr const char* ConnTestFtpPort = "FTP port        - ";
inline constexpr const char* ConnTestProxyType = "FTP proxy type  - ";
inline constexpr const char* ConnTestProxyHost = "FTP proxy host  - ";
inline constexpr const char* ConnTestProxyPort = "FTP proxy port  - ";
inline constexpr const char* ConnTestProxyUser = "FTP proxy user  - ";
inline constexpr const char* ConnTestProxyPassword = "FTP proxy password  - ";
inline constexpr const char* ConnTestPassive = "passive";
inline constexpr const char* ConnTestActive = "active";
inline constexpr const char* ConnTestProxyNone = "none";
// Steps of one destination. %s: the destination; %d: the sample's size.
inline constexpr const char* ConnTestCheckDestination = "Check destination %s:";
inline constexpr const char* ConnTestCheckingTransfer = "Checking file transfer to %s: ";
inline constexpr const char* ConnTestTransferring = "Transferring %d bytes...";
inline constexpr const char* ConnTestOk = " Ok.";
// Logon of the COPY user: the account as configured, then the system's text.
inline constexpr const char* ConnTestLoginFailed = "Failed to login as user %s: %s";
inline constexpr const char* ConnTestImpersonateFailed = "Failed to impersonate user %s : %s";
// The mailed report: its first two lines (the date and time; the console's version), the
// subject and the support address it goes to.
inline constexpr const char* ConnTestReportTitle = "Connectivity test report %s";
inline constexpr const char* ConnTestReportGenerated = "(generated by TS configuration v. %s)";
inline constexpr const char* ConnTestReportSubject = "Connectibity test report";
inline constexpr const char* ConnTestReportAddress = "transport-support@localhost";
} // namespace langtext
