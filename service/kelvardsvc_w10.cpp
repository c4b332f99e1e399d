// The transfer service program: run by the service manager, or given -INSTALL, -UNINSTALL
// (and -SILENT) to register or remove itself.
#include <clocale>
#include <csignal>
#include <string_view>

#include "common/langtext.h"
#include "platform/svcapp.h"
#include "platform/svcfiles.h"
#include "service/kvsrv.h"

// What the service writes beside its program: its configuration (replaced on a send from the
// console), its log, the debug file and the detailed transfer log.
SVC_WRITABLE_FILES("kelvardsvc.ini\0kelvardsvc.log\0debug.txt\0ftp_detailed_log.txt");
// The pipes it serves: its statistics and its configuration.
SVC_PIPE_NAMES("KvSvcInfo\0KvSvcControl");
static_assert(std::string_view(langtext::KvIniFileName) == "kelvardsvc.ini" &&
                  std::string_view(langtext::KvLogFileName) == "kelvardsvc.log" &&
                  std::string_view(langtext::DefaultDebugFileName) == "debug.txt" &&
                  std::string_view(langtext::DetailedLogFileName) == "ftp_detailed_log.txt" &&
                  std::string_view(langtext::KvInfoPipeName) == "KvSvcInfo" &&
                  std::string_view(langtext::KvControlPipeName) == "KvSvcControl",
              "the declared names follow the message table");

int main(int argc, char** argv) {
    // A peer or helper program that goes away must fail its call, not end the service.
    std::signal(SIGPIPE, SIG_IGN);
    std::setlocale(LC_ALL, "");
    TServiceApplication Application(argc, argv);
    Application.Initialize();
    Application.Title = langtext::KvServiceDisplayName;
    Application.CreateForm(KelvardSvc);
    return Application.Run();
}
