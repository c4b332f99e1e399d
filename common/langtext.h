// The message table: every text that the system shows to users or writes to its files,
// spelled exactly as the system prints it. Each unit's texts stand in its own block.
#pragma once

namespace langtext {

// --- Comserv, debuglog ---

// --- timelist ---

// --- ftconfigbase, trconfig, inifile ---

// --- verinfo, curl_easy_helper, vcrt_helper ---

// --- rasserv ---

// --- service manager stand-in, service application framework ---

// --- named pipes, srvpipe, ft_control ---

// --- dirdesc ---

// --- ftsrvbase ---

// --- kvsrv, sds, transfer ---

} // namespace langtext
