// A stand-in for nmcli, first on PATH while the object lives, for the tests of the dial-up
// layer. It answers from state files and records every call.
#pragma once

#include <string>
#include <vector>

// State files, in the state directory ($FAKE_NM_DIR):
// - "profiles": the connection profiles, "NAME:TYPE" a line;
// - "active": the active connections, "NAME:UUID:TYPE:DEVICE" a line;
// - "up_leaves": appended to "active" by "connection up", which exits with "up_rc" (0 without);
// - "connection down" removes the connection of that UUID from "active" (exit 10 when it is
//   not there) and exits with "down_rc" (0 without);
// - "exit_all": every call fails with this code; "sleep": every call first waits that many
//   seconds; "up_sleep": "connection up" waits that many seconds before it acts.
// Each call's arguments are appended to "calls", one "[arg]" per argument, a line per call.
class FakeNmcli {
public:
    // Makes "bin" (with the script) and "state" inside `directory`, puts "bin" first on PATH
    // and sets FAKE_NM_DIR. Throws std::runtime_error when it cannot.
    explicit FakeNmcli(const std::string& directory);
    // Gives PATH and FAKE_NM_DIR back their former values.
    ~FakeNmcli();
    FakeNmcli(const FakeNmcli&) = delete;
    FakeNmcli& operator=(const FakeNmcli&) = delete;

    const std::string& StateDir() const { return state_; }
    void SetState(const std::string& name, const std::string& content) const;
    // The content of a state file; empty when there is none.
    std::string StateOf(const std::string& name) const;
    // The calls made since the last look, "[arg]..." each, in order; forgets them.
    std::vector<std::string> TakeCalls() const;

private:
    std::string state_;
    std::string savedPath_;
    std::string savedStateDir_;
    bool hadStateDir_ = false;
};
