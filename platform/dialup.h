// Dial-up entries on Linux: NetworkManager connection profiles that bring up an on-demand
// link, driven through `nmcli` found on $PATH. A profile counts as a dial-up entry when its
// type is one of gsm, cdma (mobile broadband), pppoe, adsl, bluetooth (DUN/PAN through a
// phone), vpn or wireguard; wired, wireless and virtual interface profiles do not.
//
// Every call returns 0 or an error number of the remote access service (RAS_*), so callers
// keep the codes they test; texts for them are the caller's.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

constexpr uint32_t RAS_ERROR_BUFFER_TOO_SMALL = 603;      // more entries than the caller takes
constexpr uint32_t RAS_ERROR_CANNOT_OPEN_PHONEBOOK = 621; // nmcli not found or not runnable
constexpr uint32_t RAS_ERROR_CANNOT_LOAD_PHONEBOOK = 622; // profiles could not be listed
constexpr uint32_t RAS_ERROR_CANNOT_FIND_PHONEBOOK_ENTRY = 623;
constexpr uint32_t RAS_ERROR_USER_DISCONNECTION = 631;       // given up: the caller is stopping
constexpr uint32_t RAS_ERROR_UNKNOWN = 635;                  // nmcli failed in an unexpected way
constexpr uint32_t RAS_ERROR_REQUEST_TIMEOUT = 638;          // nmcli did not finish in time
constexpr uint32_t RAS_ERROR_FROM_DEVICE = 651;              // activation of the profile failed
constexpr uint32_t RAS_ERROR_NO_CONNECTION = 668;            // the connection is not active
constexpr uint32_t RAS_ERROR_RASMAN_CANNOT_INITIALIZE = 711; // NetworkManager is not running

// An active connection: the profile's name, and its UUID as the handle to hang it up by.
using RasConnHandle = std::string;
struct DialUpConnection {
    std::string EntryName;
    RasConnHandle Handle;
};

// The dial-up profiles, in nmcli's order. More than `capacity` gives
// RAS_ERROR_BUFFER_TOO_SMALL and an empty list.
uint32_t EnumDialUpEntries(size_t capacity, std::vector<std::string>& names);
// The active (or activating) dial-up connections; the same limit.
uint32_t EnumDialUpConnections(size_t capacity, std::vector<DialUpConnection>& connections);
// Brings the profile `entryName` up and waits until it is up or has failed. On failure,
// `handle` is the connection the attempt left active or activating (empty when none).
uint32_t DialUpEntry(const std::string& entryName, RasConnHandle& handle);
// Takes the active connection `handle` down.
uint32_t HangUpDialUp(const RasConnHandle& handle);

// Time limits for one nmcli run: listings, and dial or hang-up (nmcli itself gives up on an
// activation after 90 s). Zero restores the defaults; for tests.
void SetDialUpTimeouts(std::chrono::milliseconds listing, std::chrono::milliseconds change);
// Asked while a dial runs: true ends it at once, and the call fails with
// RAS_ERROR_USER_DISCONNECTION. Empty: runs are never cut short.
void SetDialUpCancelCheck(std::function<bool()> canceled);

// The fields of one line of nmcli's terse output: separated by ":", with "\:" and "\\"
// standing for ":" and "\" inside a field.
std::vector<std::string> SplitTerseLine(std::string_view line);
// Whether a profile type (connection.type as nmcli prints it) is a dial-up type.
bool IsDialUpType(std::string_view type);
