#include "platform/svcmgr_cli.h"

#include <chrono>
#include <cstdlib>
#include <ostream>
#include <string>

#include "platform/errors.h"
#include "platform/svcmgr_client.h"
#include "platform/svcmgr_daemon.h"
#include "platform/svcmgr_texts.h"

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

void PrintDetails(std::ostream& out, const TServiceConfig& config, const TServiceStatus& s) {
    out << "  name:         " << config.ServiceName << "\n"
        << "  display name: " << config.DisplayName << "\n"
        << "  program:      " << config.BinaryPathName << "\n"
        << "  account:      " << config.ServiceStartName << "\n"
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

int Client(const std::string& command, int argc, char** argv, std::ostream& out) {
    if (command == "list") {
        if (argc != 2)
            return -1;
        TScManager manager =
            TScManager::Open("", SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE);
        for (const auto& entry : manager.ListServices())
            out << entry.ServiceName << "\t" << svctext::ServiceStateText(entry.Status.CurrentState)
                << "\t" << entry.DisplayName << "\n";
        return 0;
    }
    if (argc != 3)
        return -1;
    std::string name = argv[2];
    TScManager manager = TScManager::Open("", SC_MANAGER_CONNECT);
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

int SvcMgrMain(int argc, char** argv, std::ostream& out, std::ostream& err) {
    if (argc < 2)
        return Usage(err);
    std::string command = argv[1];
    if (command == "run")
        return Run(argc, argv, err);
    try {
        int result = Client(command, argc, argv, out);
        return result < 0 ? Usage(err) : result;
    } catch (const EOSError& e) {
        out.flush();
        err << "svcmgr: " << e.what() << " (error " << e.Code << ")\n";
        return ExitFailure;
    } catch (const std::exception& e) {
        out.flush();
        err << "svcmgr: " << e.what() << "\n";
        return ExitFailure;
    }
}
