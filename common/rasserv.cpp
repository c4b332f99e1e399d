#include "common/rasserv.h"

#include "common/langtext.h"
#include "common/strutil.h"

#include <thread>
#include <utility>

uint32_t LastRasError = 0;

namespace {

std::chrono::milliseconds hangUpSettleTime{3000};

struct TRasErrorText {
    uint32_t Code;
    const char* Text;
};

constexpr TRasErrorText RasErrorTexts[] = {
    {RAS_ERROR_BUFFER_TOO_SMALL, langtext::RasErrBufferTooSmall},
    {RAS_ERROR_CANNOT_OPEN_PHONEBOOK, langtext::RasErrCannotOpenPhonebook},
    {RAS_ERROR_CANNOT_LOAD_PHONEBOOK, langtext::RasErrCannotLoadPhonebook},
    {RAS_ERROR_CANNOT_FIND_PHONEBOOK_ENTRY, langtext::RasErrCannotFindEntry},
    {RAS_ERROR_UNKNOWN, langtext::RasErrUnknown},
    {RAS_ERROR_REQUEST_TIMEOUT, langtext::RasErrRequestTimeout},
    {RAS_ERROR_FROM_DEVICE, langtext::RasErrFromDevice},
    {RAS_ERROR_NO_CONNECTION, langtext::RasErrNoConnection},
    {RAS_ERROR_RASMAN_CANNOT_INITIALIZE, langtext::RasErrManagerNotRunning},
};

const char* RasErrorString(uint32_t code) {
    for (const TRasErrorText& entry : RasErrorTexts)
        if (entry.Code == code)
            return entry.Text;
    return nullptr;
}

// The code of a call to the dial-up layer; whatever it throws counts as an unknown error, so
// that no routine of this unit throws.
template <typename Call> uint32_t GuardedCall(Call&& call) {
    try {
        return call();
    } catch (...) {
        return RAS_ERROR_UNKNOWN;
    }
}

// Ends a listing: true when it succeeded; on failure the list is left empty.
template <typename List> bool ListingDone(List& list) {
    if (LastRasError == 0)
        return true;
    list.clear();
    return false;
}

} // namespace

bool ListDialUpEntries(std::vector<std::string>& List) {
    List.clear();
    LastRasError = GuardedCall([&] { return EnumDialUpEntries(MaxRasItems, List); });
    return ListingDone(List);
}

bool ListActiveConnections(TRasConnList& List) {
    List.clear();
    LastRasError = GuardedCall([&] {
        std::vector<DialUpConnection> connections;
        uint32_t code = EnumDialUpConnections(MaxRasItems, connections);
        if (code == 0)
            for (DialUpConnection& c : connections)
                List.push_back({std::move(c.EntryName), std::move(c.Handle)});
        return code;
    });
    return ListingDone(List);
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
    LastRasError = GuardedCall([&] { return HangUpDialUp(Handle); });
    if (LastRasError != 0)
        return false;
    std::this_thread::sleep_for(hangUpSettleTime);
    return true;
}

bool DialEntry(const std::string& EntryName) {
    LastRasError = 0;
    RasConnHandle handle;
    uint32_t result = GuardedCall([&] { return DialUpEntry(EntryName, handle); });
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
