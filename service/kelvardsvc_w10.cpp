// The transfer service program: run by the service manager, or given -INSTALL, -UNINSTALL
// (and -SILENT) to register or remove itself.
#include <clocale>
#include <csignal>

#include "common/langtext.h"
#include "platform/svcapp.h"
#include "service/kvsrv.h"

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
