// Another PC's service manager and named pipes, reached through OpenSSH.
//
// One `ssh` process per PC runs `svcmgr bridge` there (platform/svcmgr/svcmgr_bridge.h) and is kept
// for later calls, so that a console polling every 500 ms does not open a connection per
// tick. ssh runs without a terminal and in batch mode, so it never prompts; the user's own
// SSH configuration, keys and known hosts decide whether and as whom it logs in. A connection
// is opened (ssh started, its login awaited up to the bridge's hello) on a thread of its own
// per PC; callers wait for it, or, with SetRemotePcOpenInBackground(true), fail at once with
// ERROR_BAD_NETPATH while it is being opened. A lost connection is noticed before the next
// request and opened again; a PC whose connection failed fails at once with the same error
// for RemotePcRetryDelay after a caller first got it, and is tried again after that.
//
// Environment: SVCMGR_REMOTE_PROGRAM is the path of svcmgr on the other PC (default
// /opt/kelvard/svcmgr); SVCMGR_SSH_CONFIG, when set, is the SSH configuration file used
// instead of the user's own.
//
// Errors are EOSErrors: ERROR_INVALID_NETNAME for a name that is refused before anything
// runs, ERROR_BAD_NETPATH with ssh's own message when the PC cannot be reached, refuses the
// login or the connection is lost, and the code of the failure on that PC otherwise (231 for
// a busy pipe, EACCES without the rights, ...).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <sys/types.h>

constexpr int ERROR_INVALID_NETNAME = 1214;

constexpr auto RemotePcRetryDelay = std::chrono::seconds(5);

// The PC name without the leading backslashes of "\\PC". Throws ERROR_INVALID_NETNAME for a
// name ssh could take for an option, or with blanks, control or other unusual characters.
std::string CheckedRemotePcName(const std::string& machineName);

// For a pipe path "\\PC\pipe\NAME" whose PC is not ".": true, with the PC and the pipe name.
bool SplitRemotePipePath(const std::string& pipePath, std::string& pc, std::string& pipeName);

// One raw request to the manager of `pc`; returns its raw answer.
std::string RemotePcManagerTransact(const std::string& pc, const std::string& request,
                                    int timeoutMs);

// One pipe transaction with pipe `pipeName` of `pc`: one message out, one in, as CallNamedPipe.
size_t RemotePcCallPipe(const std::string& pc, const std::string& pipeName, const void* request,
                        size_t requestLength, void* answer, size_t answerCapacity, int timeoutMs);

// False (the default): a call waits while the connection to its PC is being opened, for
// one-shot clients such as svcmgr's command line. True: such a call fails at once with
// ERROR_BAD_NETPATH ("... is being opened"), for a window that polls from its GUI thread; a
// call on an open connection still waits for its answer.
void SetRemotePcOpenInBackground(bool inBackground);

// The ssh process serving `pc`, or -1 when none runs.
pid_t RemotePcProcessId(const std::string& pc);

// Ends every connection (those being opened too) and forgets every failure.
void CloseRemotePcConnections();

// `text` from another PC (ssh's messages, the bridge's and the other manager's answers) with
// every control character (C0, DEL and the C1 range) and every byte that is not part of
// well-formed UTF-8 replaced by '?', so that it can be printed or shown without its escape
// sequences acting on a terminal.
std::string PrintableRemoteText(std::string_view text);
