#include "common/rasserv.h"

#include "common/langtext.h"
#include "common/strutil.h"

#include <algorithm>
#include <thread>
#include <utility>

uint32_t LastRasError = 0;

namespace {

std::chrono::milliseconds hangUpSettleTime{3000};
std::function<bool()> stopCheck;
constexpr auto StopPollInterval = std::chrono::milliseconds(50);

struct TRasErrorText {
    uint32_t Code;
    const char* Text;
};

constexpr TRasErrorText RasErrorTexts[] = {
    {RAS_ERROR_BUFFER_TOO_SMALL, langtext::RasErrBufferTooSmall},
    {RAS_ERROR_CANNOT_OPEN_PHONEBOOK, langtext::RasErrCannotOpenPhonebook},
    {RAS_ERROR_CANNOT_LOAD_PHONEBOOK, langtext::RasErrCannotLoadPhonebook},
    {RAS_ERROR_CANNOT_FIND_PHONEBOOK_ENTRY, langtext::RasErrCannotFindEntry},
    {RAS_ERROR_USER_DISCONNECTION, langtext::RasErrDialCanceled},
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

bool StopNow() {
    try {
        return stopCheck && stopCheck();
    } catch (...) {
        return false;
    }
}

// Sleeps for `wait`, less when the stop check turns true meanwhile.
void WaitUnlessStopped(std::chrono::milliseconds wait) {
    const auto end = std::chrono::steady_clock::now() + wait;
    for (auto now = std::chrono::steady_clock::now(); now < end && !StopNow();
         now = std::chrono::steady_clock::now())
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(StopPollInterval, end - now));
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
    LastRasError = GuardedCall([&] {
        return StopNow() ? RAS_ERROR_USER_DISCONNECTION : EnumDialUpEntries(MaxRasItems, List);
    });
    return ListingDone(List);
}

bool ListActiveConnections(TRasConnList& List) {
    List.clear();
    LastRasError = GuardedCall([&] {
        if (StopNow())
            return RAS_ERROR_USER_DISCONNECTION;
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
    WaitUnlessStopped(hangUpSettleTime);
    return true;
}

bool DialEntry(const std::string& EntryName) {
    LastRasError = 0;
    RasConnHandle handle;
    uint32_t result = GuardedCall(
        [&] { return StopNow() ? RAS_ERROR_USER_DISCONNECTION : DialUpEntry(EntryName, handle); });
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

void SetRasStopCheck(std::function<bool()> Check) {
    stopCheck = std::move(Check);
    // An nmcli run under way ends too.
    SetDialUpCancelCheck(stopCheck ? std::function<bool()>(StopNow) : std::function<bool()>());
}

std::chrono::milliseconds SetHangUpSettleTime(std::chrono::milliseconds wait) {
    return std::exchange(hangUpSettleTime, wait);
}
