#include "common/rasserv.h"

#include "common/langtext.h"
#include "common/strutil.h"

#include <thread>
#include <utility>

uint32_t LastRasError = 0;

namespace {

std::chrono::milliseconds hangUpSettleTime{3000};

const char* RasErrorString(uint32_t code) {
    switch (code) {
    case RAS_ERROR_BUFFER_TOO_SMALL:
        return langtext::RasErrBufferTooSmall;
    case RAS_ERROR_CANNOT_OPEN_PHONEBOOK:
        return langtext::RasErrCannotOpenPhonebook;
    case RAS_ERROR_CANNOT_LOAD_PHONEBOOK:
        return langtext::RasErrCannotLoadPhonebook;
    case RAS_ERROR_CANNOT_FIND_PHONEBOOK_ENTRY:
        return langtext::RasErrCannotFindEntry;
    case RAS_ERROR_UNKNOWN:
        return langtext::RasErrUnknown;
    case RAS_ERROR_REQUEST_TIMEOUT:
        return langtext::RasErrRequestTimeout;
    case RAS_ERROR_FROM_DEVICE:
        return langtext::RasErrFromDevice;
    case RAS_ERROR_NO_CONNECTION:
        return langtext::RasErrNoConnection;
    case RAS_ERROR_RASMAN_CANNOT_INITIALIZE:
        return langtext::RasErrManagerNotRunning;
    default:
        return nullptr;
    }
}

} // namespace

bool ListDialUpEntries(std::vector<std::string>& List) {
    LastRasError = 0;
    List.clear();
    try {
        LastRasError = EnumDialUpEntries(MaxRasItems, List);
    } catch (...) {
        LastRasError = RAS_ERROR_UNKNOWN;
    }
    if (LastRasError != 0) {
        List.clear();
        return false;
    }
    return true;
}

bool ListActiveConnections(TRasConnList& List) {
    LastRasError = 0;
    List.clear();
    std::vector<DialUpConnection> connections;
    try {
        LastRasError = EnumDialUpConnections(MaxRasItems, connections);
        if (LastRasError == 0)
            for (DialUpConnection& c : connections)
                List.push_back({std::move(c.EntryName), std::move(c.Handle)});
    } catch (...) {
        LastRasError = RAS_ERROR_UNKNOWN;
    }
    if (LastRasError != 0) {
        List.clear();
        return false;
    }
    return true;
}

bool HangUpEntry(const std::string& EntryName) {
    LastRasError = 0;
    TRasConnList active;
    if (!ListActiveConnections(active))
        return false;
    for (const TRasConnItem& item : active)
        if (SameText(item.Name, EntryName))
            return HangUpConnection(item.Handle);
    return false;
}

bool HangUpConnection(const RasConnHandle& Handle) {
    LastRasError = 0;
    try {
        LastRasError = HangUpDialUp(Handle);
    } catch (...) {
        LastRasError = RAS_ERROR_UNKNOWN;
    }
    if (LastRasError != 0)
        return false;
    std::this_thread::sleep_for(hangUpSettleTime);
    return true;
}

bool DialEntry(const std::string& EntryName) {
    LastRasError = 0;
    RasConnHandle handle;
    uint32_t result = 0;
    try {
        result = DialUpEntry(EntryName, handle);
    } catch (...) {
        result = RAS_ERROR_UNKNOWN;
    }
    if (result == 0)
        return true;
    if (!handle.empty())
        HangUpConnection(handle);
    LastRasError = result;
    return false;
}

std::string LastRasErrorText() {
    if (LastRasError == 0)
        return {};
    if (const char* text = RasErrorString(LastRasError))
        return text;
    return Format(langtext::RasUnknownError, static_cast<int>(LastRasError));
}

std::chrono::milliseconds SetHangUpSettleTime(std::chrono::milliseconds wait) {
    return std::exchange(hangUpSettleTime, wait);
}
