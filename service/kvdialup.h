// The dial-up connection of the transfer service: before each upload the configured dial-up
// entry is dialled unless the connection this service dialled earlier is still active; at stop
// the connection this service dialled is hung up. A connection dialled for one job is kept up
// for the following jobs. Failures are logged, never raised: the transfer is tried anyway and
// fails on its own when the server cannot be reached.
//
// In the service (all on the service thread):
//   before every file:  FDialUp.CheckDialUp(Config);   (the hook TTransferHooks::CheckDialUp)
//   StopService:        FDialUp.Disconnect(Config);    (any exception swallowed)
#pragma once

#include <functional>
#include <string>

#include "common/trconfig.h"

class TDialUp {
public:
    using TLogProc = std::function<void(int level, const std::string& text)>;

    // `stopRequested` (may be empty) tells when the service is to stop: a dial under way then
    // gives up before its next step, and the wait after a hang-up ends early.
    explicit TDialUp(TLogProc log, std::function<bool()> stopRequested = {});

    // EnsureDialUp of `config.Connection` for FTP, FTPS and SFTP with a dial-up entry set;
    // nothing otherwise.
    void CheckDialUp(const TTransportConfig& config);
    // Makes sure the connection of `connection` is up: keeps the one dialled earlier while it
    // is among the active connections, dials the phonebook entry otherwise. Entry names are
    // compared without regard to case.
    void EnsureDialUp(const std::string& connection);
    // HangUp for FTP, FTPS and SFTP with a dial-up entry set; nothing otherwise.
    void Disconnect(const TTransportConfig& config);
    // Hangs up the connection that this object dialled, if any, at once, logs the result and
    // forgets it.
    void HangUp();

    // The entry this object dialled and has not hung up; empty when none.
    const std::string& DialledEntry() const { return FDialledEntry; }

private:
    bool DialledEntryStillActive();
    bool FindPhonebookEntry(const std::string& connection, std::string& entryName);

    TLogProc log_;
    std::function<bool()> stopRequested_;
    std::string FDialledEntry;
    // The entry was taken as dialled when its dial was given up for a stop.
    bool dialGivenUp_ = false;
};
