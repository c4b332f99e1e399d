// Starting and stopping a service through the service manager, waiting until it has reached
// the target state, and the display text of a service state. The caller owns the manager
// handle (of this PC or of another one). Both waits block the calling (window) thread.
#pragma once

#include <cstdint>
#include <string>

class TScManager;

// Returns once the service runs. Keeps waiting (for the wait hint of each status) as long as
// the service advances its checkpoint; raises "Failed to start service" at the first status
// without progress, and the console's operating-system error when a manager call fails.
void StartServiceAndWait(const TScManager& Manager, const std::string& ServiceName);

// Returns once the service is stopped, waiting 2 s between two queries, by the same rule;
// "Failed to stop service" when the service stops making progress. Stopping a service that is
// already stopped raises the manager's error for the stop control.
void StopServiceAndWait(const TScManager& Manager, const std::string& ServiceName);

// "Service stopped", "Service starting...", ... for the states 1 to 7; "Service state unknown"
// for any other value.
std::string ServiceStateText(uint32_t State);
