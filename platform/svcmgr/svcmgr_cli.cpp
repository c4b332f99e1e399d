#include "platform/svcmgr/svcmgr_cli.h"

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <ostream>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/remotepc.h"
#include "platform/svcmgr/svcmgr_bridge.h"
#include "platform/svcmgr/svcmgr_client.h"
#include "platform/svcmgr/svcmgr_daemon.h"
#include "platform/svcmgr/svcmgr_logon.h"
#include "platform/svcmgr/svcmgr_proto.h"
#include "platform/svcmgr/svcmgr_registry.h"
#include "platform/svcmgr/svcmgr_texts.h"

namespace {

constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

int Usage(std::ostream& err) {
    err << svctext::CliUsage;
    return ExitUsage;
}

int Run(int argc, char** argv, std::ostream& err) {
    TDaemonOptions options;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        std::chrono::milliseconds* target = nullptr;
        if (arg == "--shutdown-timeout")
            target = &options.ShutdownTimeout;
        else if (arg == "--launch-timeout")
            target = &options.LaunchTimeout;
        if (!target || i + 1 >= argc)
            return Usage(err);
        char* end = nullptr;
        double seconds = std::strtod(argv[++i], &end);
        if (*end != '\0' || !(seconds >= 0 && seconds <= 3600))
            return Usage(err);
        *target = std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    }
    TServiceManagerDaemon daemon(options);
    return daemon.Run();
}

const char* StartTypeText(uint32_t startType) {
    switch (startType) {
    case SERVICE_AUTO_START:
        return svctext::StartTypeAuto;
    case SERVICE_DISABLED:
        return svctext::StartTypeDisabled;
    default:
        return svctext::StartTypeDemand;
    }
}

void PrintDetails(std::ostream& out, const TServiceConfig& config, const TServiceStatus& s) {
    // Names that another PC's manager sent are printed without their control characters.
    out << "  name:         " << PrintableRemoteText(config.ServiceName) << "\n"
        << "  display name: " << PrintableRemoteText(config.DisplayName) << "\n"
        << "  program:      " << PrintableRemoteText(config.BinaryPathName) << "\n"
        << "  account:      " << PrintableRemoteText(config.ServiceStartName) << "\n"
        << "  start type:   " << StartTypeText(config.StartType) << "\n"
        << "  state:        " << s.CurrentState << "\n"
        << "  checkpoint:   " << s.CheckPoint << "\n"
        << "  wait hint:    " << s.WaitHint << " ms\n"
        << "  process id:   " << s.ProcessId << "\n"
        << "  exit code:    " << s.Win32ExitCode;
    if (s.ServiceSpecificExitCode != 0)
        out << " (service specific " << s.ServiceSpecificExitCode << ")";
    out << "\n";
    if (s.ProcessExitCode >= 0)
        out << "  process exit: " << s.ProcessExitCode << "\n";
}

// The password for an account change: one line of standard input, without its line end;
// typed at a terminal without echo.
std::string ReadPassword(const std::string& account, std::istream& in, std::ostream& err) {
    bool terminal = &in == &std::cin && isatty(STDIN_FILENO);
    termios saved{};
    if (terminal && tcgetattr(STDIN_FILENO, &saved) == 0) {
        err << svcproto::Format(svctext::CliPasswordPrompt, account.c_str()) << std::flush;
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    } else {
        terminal = false;
    }
    std::string password;
    std::getline(in, password);
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        err << "\n";
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    return password;
}

// `svcmgr config NAME` prints the logon account and the start type; with "account USER" it
// changes the account, once the service's PC has checked it and its password.
int Config(const std::string& machine, int argc, char** argv, std::istream& in, std::ostream& out,
           std::ostream& err) {
    if (argc != 3 && !(argc == 5 && std::string(argv[3]) == "account"))
        return -1;
    TScManager manager = TScManager::Open(machine, SC_MANAGER_CONNECT);
    if (argc == 3) {
        TServiceConfig config = manager.OpenService(argv[2], SERVICE_QUERY_CONFIG).QueryConfig();
        out << "  account:      " << config.ServiceStartName << "\n"
            << "  start type:   " << StartTypeText(config.StartType) << "\n";
        return 0;
    }
    std::string account = argv[4];
    TScService service = manager.OpenService(argv[2], SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG);
    std::string password =
        ParseLogonAccount(account).LocalSystem ? std::string() : ReadPassword(account, in, err);
    service.CheckAccount(account, password);
    service.ChangeConfig(nullptr, nullptr, &account, &password);
    out << svcproto::Format(svctext::CliAccountChanged, argv[2], account.c_str()) << "\n";
    return 0;
}

// `machine` is empty for this PC, or "\\PC" for the manager of another PC.
int Client(const std::string& machine, const std::string& command, int argc, char** argv,
           std::ostream& out) {
    if (command == "list") {
        if (argc != 2)
            return -1;
        TScManager manager =
            TScManager::Open(machine, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE);
        for (const auto& entry : manager.ListServices())
            out << PrintableRemoteText(entry.ServiceName) << "\t"
                << svctext::ServiceStateText(entry.Status.CurrentState) << "\t"
                << PrintableRemoteText(entry.DisplayName) << "\n";
        return 0;
    }
    if (command == "starttype") {
        uint32_t startType = argc == 4 ? StartTypeFromWord(argv[3]) : 0;
        if (startType == 0)
            return -1;
        TScManager::Open(machine, SC_MANAGER_CONNECT)
            .OpenService(argv[2], SERVICE_CHANGE_CONFIG)
            .ChangeStartType(startType);
        return 0;
    }
    if (argc != 3)
        return -1;
    std::string name = argv[2];
    TScManager manager = TScManager::Open(machine, SC_MANAGER_CONNECT);
    if (command == "query") {
        TScService service = manager.OpenService(name, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
        TServiceStatus status = service.QueryStatus();
        out << svctext::ServiceStateText(status.CurrentState) << "\n";
        PrintDetails(out, service.QueryConfig(), status);
    } else if (command == "start") {
        manager.OpenService(name, SERVICE_START).Start();
        out << svctext::StateStartPending << "\n";
    } else if (command == "stop") {
        manager.OpenService(name, SERVICE_STOP).Control(SERVICE_CONTROL_STOP);
        out << svctext::StateStopPending << "\n";
    } else {
        return -1;
    }
    return 0;
}

} // namespace

int SvcMgrMain(int argc, char** argv, std::ostream& out, std::ostream& err, std::istream& in) {
    if (argc < 2)
        return Usage(err);
    std::string command = argv[1];
    if (command == "run")
        return Run(argc, argv, err);
    if (command == "bridge")
        return argc == 2 ? RunSvcMgrBridge(0, 1) : Usage(err);
    // "svcmgr \\PC list|query|start|stop ...": the same requests to another PC's manager.
    std::string machine;
    if (command.starts_with("\\\\")) {
        if (argc < 3)
            return Usage(err);
        machine = command;
        command = argv[2];
        ++argv;
        --argc;
    }
    try {
        int result = command == "config" ? Config(machine, argc, argv, in, out, err)
                                         : Client(machine, command, argc, argv, out);
        return result < 0 ? Usage(err) : result;
    } catch (const EOSError& e) {
        out.flush();
        // The text may come from another PC (ssh's messages, the bridge's answers).
        err << "svcmgr: " << PrintableRemoteText(e.what()) << " (error " << e.Code << ")\n";
        return ExitFailure;
    } catch (const std::exception& e) {
        out.flush();
        err << "svcmgr: " << PrintableRemoteText(e.what()) << "\n";
        return ExitFailure;
    }
}
