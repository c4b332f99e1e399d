// Dial-up helpers: list the dial-up entries and the active connections, dial an entry with
// the settings stored for it, hang up, and turn the last error into a text. Every routine is
// synchronous, returns success as a bool and never throws; the code of the last failure is
// kept in LastRasError.
#pragma once

#include "platform/dialup.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Code of the last failure; 0 = none. Every routine but LastRasErrorText sets it to 0 when
// it starts. One value for the whole program: a routine and the LastRasErrorText that
// follows it must run on the same thread with no other routine of this unit in between.
extern uint32_t LastRasError;

// One active connection: its entry name, with its handle attached.
struct TRasConnItem {
    std::string Name;
    RasConnHandle Handle;
};
using TRasConnList = std::vector<TRasConnItem>;

// At most this many entries or connections are listed; more fail with code 603.
constexpr size_t MaxRasItems = 16;

// The dial-up entries, in the order the system gives them. False (and an empty list) on
// failure.
bool ListDialUpEntries(std::vector<std::string>& List);
// The active connections with their handles. False (and an empty list) on failure.
bool ListActiveConnections(TRasConnList& List);
// Hangs up the active connection of `EntryName` (compared without regard to case). False with
// LastRasError 0 when that entry is not connected.
bool HangUpEntry(const std::string& EntryName);
// Hangs up `Handle`; after a successful hang-up waits for the link to settle (3000 ms).
bool HangUpConnection(const RasConnHandle& Handle);
// Dials `EntryName` and waits until the connection is up or has failed. A connection that a
// failed dial left behind is hung up; LastRasError then holds the dial's code.
bool DialEntry(const std::string& EntryName);
// Text of LastRasError: empty for 0, "Unknown RAS error (code %d)" for a code without one.
std::string LastRasErrorText();

// A check asked before each nmcli run of DialEntry and the listings, and during the wait after
// a hang-up: once it returns true they give up at once (code 631) and the wait ends. The
// caller sets it around its dial and clears it (empty) afterwards; a hang-up at the caller's
// stop runs without it. One for the whole program, like LastRasError.
void SetRasStopCheck(std::function<bool()> Check);

// Replaces the 3000 ms wait after a successful hang-up and returns the former wait; for tests
// only.
std::chrono::milliseconds SetHangUpSettleTime(std::chrono::milliseconds wait);
