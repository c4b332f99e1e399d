// The application object of a service program: install switches, or the run under the
// manager.
#include <cstdio>
#include <iostream>
#include <strings.h>

#include "platform/procpath.h"
#include "platform/svcapp.h"
#include "platform/svcapp_channel.h"
#include "platform/svcmgr/svcmgr_client.h"
#include "platform/svcmgr/svcmgr_proto.h"
#include "platform/svcmgr/svcmgr_texts.h"

namespace {

bool SameTextAscii(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        char c = a[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != b[i])
            return false;
    }
    return i == a.size() && b[i] == '\0';
}

// True when `arg` is the switch `name` given with "-" or "/", in any letter case.
bool IsSwitch(const std::string& arg, const char* name) {
    return arg.size() > 1 && (arg[0] == '-' || arg[0] == '/') && SameTextAscii(arg.substr(1), name);
}

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

TServiceApplication::TServiceApplication(int argc, char** argv) {
    programName_ = argc > 0 && argv[0] ? BaseName(argv[0]) : std::string("service");
    for (int i = 1; i < argc; ++i)
        args_.emplace_back(argv[i]);
}

TServiceApplication::~TServiceApplication() = default;

int TServiceApplication::Run() {
    bool install = false, uninstall = false, silent = false;
    for (const std::string& arg : args_) {
        install = install || IsSwitch(arg, "INSTALL");
        uninstall = uninstall || IsSwitch(arg, "UNINSTALL");
        silent = silent || IsSwitch(arg, "SILENT");
    }
    if (install)
        return Install(silent);
    if (uninstall)
        return Uninstall(silent);
    return RunAsService();
}

int TServiceApplication::Install(bool silent) {
    int result = 0;
    for (const auto& service : services_) {
        try {
            TScManager manager =
                TScManager::Open("", SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
            manager.CreateService(service->Name, service->DisplayName, SERVICE_QUERY_STATUS,
                                  ProgramFilePath(), service->ServiceStartName, service->Password,
                                  service->StartType);
            if (!silent)
                std::cout << svcproto::Format(svctext::AppInstalled, service->Name.c_str()) << "\n";
        } catch (const std::exception& e) {
            result = 1;
            const auto* os = dynamic_cast<const EOSError*>(&e);
            if (!silent)
                std::cerr << svcproto::Format(svctext::AppInstallFailed, service->Name.c_str(),
                                              e.what())
                          << "\n";
            // Installing again cannot change an installed service; the manager's client can.
            if (!silent && os && os->Code == ERROR_SERVICE_EXISTS)
                std::cerr << svcproto::Format(svctext::AppAlreadyInstalledHint,
                                              service->Name.c_str(), service->Name.c_str())
                          << "\n";
        }
    }
    return result;
}

int TServiceApplication::Uninstall(bool silent) {
    int result = 0;
    for (const auto& service : services_) {
        try {
            TScManager manager = TScManager::Open("", SC_MANAGER_CONNECT);
            manager.OpenService(service->Name, SERVICE_DELETE).Delete();
            if (!silent)
                std::cout << svcproto::Format(svctext::AppUninstalled, service->Name.c_str())
                          << "\n";
        } catch (const std::exception& e) {
            result = 1;
            if (!silent)
                std::cerr << svcproto::Format(svctext::AppUninstallFailed, service->Name.c_str(),
                                              e.what())
                          << "\n";
        }
    }
    return result;
}

int TServiceApplication::RunAsService() {
    std::string serviceName;
    int channel = TakeManagerChannel(serviceName);
    if (channel < 0) {
        std::cerr << svcproto::Format(svctext::AppNotUnderManager, programName_.c_str()) << "\n";
        return 2;
    }
    TService* chosen = nullptr;
    for (const auto& service : services_) {
        bool named =
            !serviceName.empty() && strcasecmp(service->Name.c_str(), serviceName.c_str()) == 0;
        if (named || (serviceName.empty() && services_.size() == 1))
            chosen = service.get();
    }
    if (!chosen) {
        TServiceChannel reply(channel);
        TServiceStatus stopped;
        stopped.Win32ExitCode = ERROR_SERVICE_NOT_IN_EXE;
        reply.Send(stopped);
        return 1;
    }
    return chosen->RunService(channel);
}
