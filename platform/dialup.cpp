#include "platform/dialup.h"

#include "platform/runcmd.h"

#include <array>

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kDefaultListingTimeout{30'000};
constexpr milliseconds kDefaultChangeTimeout{120'000};
milliseconds listingTimeout = kDefaultListingTimeout;
milliseconds changeTimeout = kDefaultChangeTimeout;
std::function<bool()> cancelCheck;

// nmcli's exit statuses.
constexpr int kNmcliTimeout = 3;
constexpr int kNmcliNotRunning = 8;
constexpr int kNmcliNotFound = 10;

enum class Operation { Listing, Dial, HangUp };

// The RAS number for a failed nmcli run.
uint32_t ErrorFor(const CommandResult& r, Operation op) {
    switch (r.Status) {
    case CommandResult::Outcome::NotRun:
        return RAS_ERROR_CANNOT_OPEN_PHONEBOOK;
    case CommandResult::Outcome::TimedOut:
        return RAS_ERROR_REQUEST_TIMEOUT;
    case CommandResult::Outcome::Canceled:
        return RAS_ERROR_USER_DISCONNECTION;
    case CommandResult::Outcome::Signalled:
        return RAS_ERROR_UNKNOWN;
    case CommandResult::Outcome::Exited:
        break;
    }
    if (r.ExitCode == kNmcliTimeout)
        return RAS_ERROR_REQUEST_TIMEOUT;
    if (r.ExitCode == kNmcliNotRunning)
        return RAS_ERROR_RASMAN_CANNOT_INITIALIZE;
    switch (op) {
    case Operation::Listing:
        return RAS_ERROR_CANNOT_LOAD_PHONEBOOK;
    case Operation::Dial:
        return r.ExitCode == kNmcliNotFound ? RAS_ERROR_CANNOT_FIND_PHONEBOOK_ENTRY
                                            : RAS_ERROR_FROM_DEVICE;
    case Operation::HangUp:
        return r.ExitCode == kNmcliNotFound ? RAS_ERROR_NO_CONNECTION : RAS_ERROR_UNKNOWN;
    }
    return RAS_ERROR_UNKNOWN;
}

// Runs nmcli with `args`; 0 and its output, or the RAS number of the failure.
uint32_t Nmcli(const std::vector<std::string>& args, Operation op, std::string& output) {
    const std::string program = FindOnPath("nmcli");
    if (program.empty())
        return RAS_ERROR_CANNOT_OPEN_PHONEBOOK;
    std::vector<std::string> argv{"nmcli"};
    argv.insert(argv.end(), args.begin(), args.end());
    CommandOptions options;
    // Only a dial is cut short: listings are quick, and the hang-up of what a dial left
    // behind must run to its end, also while stopping.
    if (op == Operation::Dial)
        options.Canceled = cancelCheck;
    const CommandResult r = RunCommand(
        program, argv, op == Operation::Listing ? listingTimeout : changeTimeout, options);
    if (r.Status == CommandResult::Outcome::Exited && r.ExitCode == 0) {
        output = r.Output;
        return 0;
    }
    return ErrorFor(r, op);
}

// Calls `line` for each line of nmcli's output split into its fields.
template <typename F> void ForEachLine(const std::string& output, F line) {
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos)
            end = output.size();
        std::string_view text(output.data() + start, end - start);
        if (!text.empty() && text.back() == '\r')
            text.remove_suffix(1);
        if (!text.empty())
            line(SplitTerseLine(text));
        start = end + 1;
    }
}

uint32_t ListActive(std::vector<std::vector<std::string>>& rows) {
    std::string output;
    uint32_t rc = Nmcli({"-t", "-f", "NAME,UUID,TYPE,DEVICE", "connection", "show", "--active"},
                        Operation::Listing, output);
    if (rc != 0)
        return rc;
    ForEachLine(output, [&](std::vector<std::string> fields) {
        if (fields.size() == 4)
            rows.push_back(std::move(fields));
    });
    return 0;
}

} // namespace

std::vector<std::string> SplitTerseLine(std::string_view line) {
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\' && i + 1 < line.size() && (line[i + 1] == ':' || line[i + 1] == '\\')) {
            fields.back() += line[++i];
        } else if (c == ':') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

bool IsDialUpType(std::string_view type) {
    static constexpr std::array<std::string_view, 7> kTypes = {
        "gsm", "cdma", "pppoe", "adsl", "bluetooth", "vpn", "wireguard"};
    for (std::string_view t : kTypes)
        if (type == t)
            return true;
    return false;
}

uint32_t EnumDialUpEntries(size_t capacity, std::vector<std::string>& names) {
    names.clear();
    std::string output;
    uint32_t rc =
        Nmcli({"-t", "-f", "NAME,TYPE", "connection", "show"}, Operation::Listing, output);
    if (rc != 0)
        return rc;
    ForEachLine(output, [&](const std::vector<std::string>& fields) {
        if (fields.size() == 2 && !fields[0].empty() && IsDialUpType(fields[1]))
            names.push_back(fields[0]);
    });
    if (names.size() > capacity) {
        names.clear();
        return RAS_ERROR_BUFFER_TOO_SMALL;
    }
    return 0;
}

uint32_t EnumDialUpConnections(size_t capacity, std::vector<DialUpConnection>& connections) {
    connections.clear();
    std::vector<std::vector<std::string>> rows;
    uint32_t rc = ListActive(rows);
    if (rc != 0)
        return rc;
    for (const auto& row : rows)
        if (IsDialUpType(row[2]) && !row[1].empty())
            connections.push_back({row[0], row[1]});
    if (connections.size() > capacity) {
        connections.clear();
        return RAS_ERROR_BUFFER_TOO_SMALL;
    }
    return 0;
}

uint32_t DialUpEntry(const std::string& entryName, RasConnHandle& handle) {
    handle.clear();
    std::string output;
    const uint32_t rc = Nmcli({"connection", "up", "id", entryName}, Operation::Dial, output);
    if (rc == 0 || rc == RAS_ERROR_CANNOT_OPEN_PHONEBOOK)
        return rc;
    // The attempt may have left the profile active or still activating: report it so that
    // the caller can take it down.
    std::vector<std::vector<std::string>> rows;
    if (ListActive(rows) == 0)
        for (const auto& row : rows)
            if (row[0] == entryName && !row[1].empty()) {
                handle = row[1];
                break;
            }
    return rc;
}

uint32_t HangUpDialUp(const RasConnHandle& handle) {
    if (handle.empty())
        return RAS_ERROR_NO_CONNECTION;
    std::string output;
    return Nmcli({"connection", "down", "uuid", handle}, Operation::HangUp, output);
}

void SetDialUpTimeouts(milliseconds listing, milliseconds change) {
    listingTimeout = listing.count() > 0 ? listing : kDefaultListingTimeout;
    changeTimeout = change.count() > 0 ? change : kDefaultChangeTimeout;
}

void SetDialUpCancelCheck(std::function<bool()> canceled) {
    cancelCheck = std::move(canceled);
}
