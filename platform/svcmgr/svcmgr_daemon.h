// The service manager daemon (`svcmgr run`): one thread, one poll loop over its socket, its
// clients, the private channels of the services and a signalfd. It answers every request
// with one message, never waits for a slow client (a client that does not take its answer
// is dropped) and survives any input. Start, stop, account changes, install and removal need
// root (or the user the manager runs as), judged from the peer credentials of the socket.
// When it starts it starts every service whose start type is automatic. On SIGTERM (or
// SIGINT) it sends the shutdown control to every running service, waits for them up to the
// shutdown timeout, kills what is left and exits.
//
// Client slots are shared out so that no local user can lock the others out: a user other
// than root (or the manager's own user) holds at most MaxClientsPerUser connections, and all
// such users together leave ReservedClients slots free for root. A connection beyond its share
// gets an error answer and is closed at once, so the listen backlog never stays full. A
// connection is closed when no request of it has succeeded for ClientIdleTimeout.
#pragma once

#include <chrono>
#include <memory>

struct TDaemonOptions {
    std::chrono::milliseconds ShutdownTimeout{20000};
    std::chrono::milliseconds LaunchTimeout{30000};
    std::chrono::milliseconds ClientIdleTimeout{10000};
    size_t MaxClients = 128;
    size_t MaxClientsPerUser = 32;
    size_t ReservedClients = 16;
};

class TServiceManagerDaemon {
public:
    explicit TServiceManagerDaemon(TDaemonOptions options = {});
    ~TServiceManagerDaemon();
    TServiceManagerDaemon(const TServiceManagerDaemon&) = delete;
    TServiceManagerDaemon& operator=(const TServiceManagerDaemon&) = delete;

    // Serves until SIGTERM or SIGINT; returns the process exit code. Messages go to
    // standard error.
    int Run();

private:
    struct TImpl;
    std::unique_ptr<TImpl> impl_;
};
