#include "console/framework/svcctrl.h"

#include <chrono>
#include <thread>

#include "common/langtext.h"
#include "console/framework/oserror.h"
#include "platform/svcmgr/svcmgr_client.h"
#include "platform/svcmgr/svcmgr_texts.h"

namespace {

constexpr auto StopPollInterval = std::chrono::milliseconds(2000);

// Queries until the service reaches `target` or a query shows no progress of the checkpoint.
// `pause` gives the time to sleep before each query from the last status.
template <class Pause>
TServiceStatus WaitForState(const TScService& service, TServiceStatus status, uint32_t target,
                            Pause&& pause) {
    while (status.CurrentState != target) {
        uint32_t checkpoint = status.CheckPoint;
        std::this_thread::sleep_for(pause(status));
        status = OSCall([&] { return service.QueryStatus(); });
        if (status.CheckPoint <= checkpoint)
            break;
    }
    return status;
}

} // namespace

void StartServiceAndWait(const TScManager& Manager, const std::string& ServiceName) {
    TScService service = OSCall(
        [&] { return Manager.OpenService(ServiceName, SERVICE_START | SERVICE_QUERY_STATUS); });
    OSCall([&] {
        service.Start();
        return 0;
    });
    TServiceStatus status = OSCall([&] { return service.QueryStatus(); });
    status = WaitForState(service, status, SERVICE_RUNNING, [](const TServiceStatus& last) {
        return std::chrono::milliseconds(last.WaitHint);
    });
    if (status.CurrentState != SERVICE_RUNNING)
        throw Exception(langtext::FailedToStartService);
}

void StopServiceAndWait(const TScManager& Manager, const std::string& ServiceName) {
    TScService service = OSCall(
        [&] { return Manager.OpenService(ServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS); });
    OSCall([&] { return service.Control(SERVICE_CONTROL_STOP); });
    TServiceStatus status = OSCall([&] { return service.QueryStatus(); });
    status = WaitForState(service, status, SERVICE_STOPPED,
                          [](const TServiceStatus&) { return StopPollInterval; });
    if (status.CurrentState != SERVICE_STOPPED)
        throw Exception(langtext::FailedToStopService);
}

std::string ServiceStateText(uint32_t State) {
    return svctext::ServiceStateText(State);
}
