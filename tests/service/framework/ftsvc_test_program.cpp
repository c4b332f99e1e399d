// A small service program on the file-tracking service framework, for the tests that run it
// under the real service manager. Its name comes from the manager (SVCMGR_SERVICE_NAME) or,
// for the install switches, from FTSVC_NAME. Its configuration and log file lie in
// $SVCMGR_ROOT/ftsvc/<name>; its pipes are "<name>Info" and "<name>Control".
//
// Sending a file takes 50 ms and only records it as sent; after each file the framework
// processes pending control requests, as a real transfer does, and once the service has been
// stopped no further file is sent.
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "common/ftconfigbase.h"
#include "platform/svcapp.h"
#include "service/framework/ftsrvbase.h"

namespace {

class TFtTestService : public TBaseFtrackerService {
public:
    TFtTestService();
    TServiceController GetServiceController() override;

    void PrepareDestination() override {}
    void FinishDestination() override {}
    bool TransferFile(const std::string& FilePath, const std::string& ChainEntry,
                      bool& Continue) override;

private:
    std::unique_ptr<TBaseFtConfig> FConfig;
};

TFtTestService* FtTestService = nullptr;

void ServiceController(uint32_t CtrlCode) {
    FtTestService->Controller(CtrlCode);
}

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

TFtTestService::TFtTestService() {
    Name = EnvOr("SVCMGR_SERVICE_NAME", EnvOr("FTSVC_NAME", "FtSvcTest"));
    DisplayName = "File tracker test " + Name;
    IniFileName = "ftsvc.ini";
    LogFileName = "ftsvc.log";
    InfoPipeName = Name + "Info";
    ControlPipeName = Name + "Control";
    ProgramDirectory = EnvOr("SVCMGR_ROOT", "/tmp") + "/ftsvc/" + Name;
    FConfig = std::make_unique<TBaseFtConfig>();
    Config = FConfig.get();
}

TServiceController TFtTestService::GetServiceController() {
    return ServiceController;
}

bool TFtTestService::TransferFile(const std::string& FilePath, const std::string&, bool& Continue) {
    TServiceThread* thread = ServiceThread();
    if (thread->Terminated()) {
        Continue = false;
        return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    SetLastFile(FilePath, true, 2);
    thread->ProcessRequests(false);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    TServiceApplication Application(argc, argv);
    Application.Initialize();
    Application.CreateForm(FtTestService);
    return Application.Run();
}
