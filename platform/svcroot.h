// Where the service manager stand-in and the named-pipe stand-in keep their files.
// $SVCMGR_ROOT relocates everything (tests always set it); without it the system defaults
// /var/lib/svcmgr (registry) and /run/svcmgr (socket and pipes) are used.
#pragma once

#include <string>

std::string SvcMgrStateDir();   // registry of installed services
std::string SvcMgrRuntimeDir(); // manager socket, pipe namespace
std::string SvcMgrSocketPath(); // the manager's listening socket
std::string PipeDir();          // directory holding one socket per named pipe
std::string PipeSocketPath(const std::string& pipeName);
