#include "service/kvdialup.h"

#include <utility>

#include "common/debuglog.h"
#include "common/langtext.h"
#include "common/rasserv.h"
#include "common/strutil.h"
#include "service/kvtransfer.h"

namespace {

// Lets the dial-up helpers give up for a stop while it lives.
class TRasStopScope {
public:
    explicit TRasStopScope(const std::function<bool()>& check) { SetRasStopCheck(check); }
    ~TRasStopScope() { SetRasStopCheck({}); }
    TRasStopScope(const TRasStopScope&) = delete;
    TRasStopScope& operator=(const TRasStopScope&) = delete;
};

} // namespace

TDialUp::TDialUp(TLogProc log, std::function<bool()> stopRequested)
    : log_(std::move(log)), stopRequested_(std::move(stopRequested)) {
    if (!log_)
        log_ = [](int, const std::string&) {};
}

void TDialUp::CheckDialUp(const TTransportConfig& config) {
    if (IsUploadType(config.Transport) && !config.Connection.empty())
        EnsureDialUp(config.Connection);
}

void TDialUp::Disconnect(const TTransportConfig& config) {
    if (IsUploadType(config.Transport) && !config.Connection.empty())
        HangUp();
}

bool TDialUp::DialledEntryStillActive() {
    TRasConnList active;
    if (!ListActiveConnections(active)) {
        if (LastRasError == RAS_ERROR_USER_DISCONNECTION)
            return false; // given up for a stop
        log_(LogError, Format(langtext::DialActiveListFailed, LastRasErrorText().c_str()));
        return false;
    }
    for (const TRasConnItem& item : active)
        if (SameText(item.Name, FDialledEntry))
            return true;
    return false;
}

// The phonebook's own spelling of `connection` in `entryName`; false (logged) when there is none.
bool TDialUp::FindPhonebookEntry(const std::string& connection, std::string& entryName) {
    std::vector<std::string> entries;
    if (!ListDialUpEntries(entries)) {
        if (LastRasError == RAS_ERROR_USER_DISCONNECTION)
            return false; // given up for a stop
        log_(LogError, Format(langtext::DialEntryListFailed, LastRasErrorText().c_str()));
        return false;
    }
    if (entries.empty()) {
        log_(LogError, langtext::DialNoEntries);
        return false;
    }
    for (const std::string& entry : entries)
        if (SameText(entry, connection)) {
            entryName = entry;
            return true;
        }
    log_(LogError, Format(langtext::DialEntryMissing, connection.c_str()));
    return false;
}

void TDialUp::EnsureDialUp(const std::string& connection) {
    TRasStopScope stopScope(stopRequested_);
    if (stopRequested_ && stopRequested_())
        return; // the transfer that follows gives up as well
    if (!FDialledEntry.empty()) {
        if (DialledEntryStillActive())
            return;
        // Given up for a stop, the connection stays known, so that the stop hangs it up.
        if (LastRasError == RAS_ERROR_USER_DISCONNECTION)
            return;
        FDialledEntry.clear();
    }
    // nmcli matches profile names exactly: the entry is dialled by the name it has there.
    std::string entryName;
    if (!FindPhonebookEntry(connection, entryName))
        return;
    if (DialEntry(entryName)) {
        log_(LogInfo, Format(langtext::DialConnected, connection.c_str()));
        FDialledEntry = connection;
    } else if (LastRasError == RAS_ERROR_USER_DISCONNECTION) {
        // Given up for a stop while the link was being brought up: the network manager may
        // still complete it, so it is taken as dialled and the stop hangs it up.
        FDialledEntry = connection;
        dialGivenUp_ = true;
    } else {
        log_(LogError,
             Format(langtext::DialFailed, connection.c_str(), LastRasErrorText().c_str()));
    }
}

void TDialUp::HangUp() {
    if (FDialledEntry.empty())
        return;
    if (HangUpEntry(FDialledEntry))
        log_(LogInfo, Format(langtext::DialHungUp, FDialledEntry.c_str()));
    else if (!dialGivenUp_ || LastRasError != 0) // a given-up dial may have left nothing up
        log_(LogError,
             Format(langtext::DialHangUpFailed, FDialledEntry.c_str(), LastRasErrorText().c_str()));
    FDialledEntry.clear();
    dialGivenUp_ = false;
}
