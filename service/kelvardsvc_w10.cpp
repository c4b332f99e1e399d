// The transfer service program: run by the service manager, or given -INSTALL, -UNINSTALL
// (and -SILENT) to register or remove itself.
#include <clocale>
#include <csignal>

#include "common/langtext.h"
#include "platform/svcapp.h"
#include "platform/svcfiles.h"
#include "service/kvsrv.h"

// What the service writes beside its program: its configuration (replaced on a send from the
// console), its log, the debug file and the detailed transfer log.
SVC_WRITABLE_FILES("kelvardsvc.ini\0kelvardsvc.log\0debug.txt\0ftp_detailed_log.txt");

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
