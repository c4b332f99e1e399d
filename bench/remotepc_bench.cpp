// What one 500 ms tick of the console costs when it watches another PC: the service's state
// from the manager and the statistics from the information pipe, both over the ssh bridge on
// loopback (a real sshd on 127.0.0.1 and `svcmgr bridge`), against the same two calls made
// locally. Needs root and sshd (as the tests of the bridge).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/namedpipe.h"
#include "platform/remotepc.h"
#include "platform/svcmgr/svcmgr_client.h"
#include "service/framework/srvpipe.h"
#include "tests/support/sshbridge.h"
#include "tests/support/svcmgr_fixture.h"

namespace {

using TClock = std::chrono::steady_clock;
constexpr size_t StatsAnswerLength = 595;

// The information pipe's answer: a statistics message of the real size.
class StatsPipe : public TPipeServer {
public:
    explicit StatsPipe(const std::string& name) : TPipeServer(name, 4, PipeModeEveryone) {
        Start();
    }
    ~StatsPipe() override { Destroy(); }
    void ProcessRequest(const uint8_t*, uint32_t, uint8_t* answer, int32_t, uint32_t& length,
                        bool& useDefault) override {
        useDefault = false;
        std::memset(answer, 0, StatsAnswerLength);
        std::strcpy(reinterpret_cast<char*>(answer), "ANSGETSTATS");
        length = StatsAnswerLength;
    }
};

// Milliseconds per tick of `rounds` ticks on the PC `pc` ("" for this PC).
double MsPerTick(const std::string& pc, int rounds) {
    TScService service =
        TScManager::Open(pc, GENERIC_READ).OpenService("BenchSvc", SERVICE_QUERY_STATUS);
    const std::string pipe = "\\\\" + (pc.empty() ? std::string(".") : pc) + "\\pipe\\BenchInfo";
    char request[28] = "REQGETSTATS";
    char answer[PipeMessageMax];
    auto tick = [&] {
        service.QueryStatus();
        if (CallNamedPipe(pipe, request, sizeof request, answer, sizeof answer, 5000) !=
            StatsAnswerLength)
            throw std::runtime_error("short statistics answer");
    };
    for (int i = 0; i < 20; ++i) // warm-up (and the ssh login for another PC)
        tick();
    auto start = TClock::now();
    for (int i = 0; i < rounds; ++i)
        tick();
    return std::chrono::duration<double, std::milli>(TClock::now() - start).count() / rounds;
}

} // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (std::string why = SshBridgeHost::UnavailableReason(); !why.empty()) {
        std::printf("skipped: %s\n", why.c_str());
        return 0;
    }
    try {
        SvcMgrInstance manager;
        TScManager::Open("", SC_MANAGER_ALL_ACCESS)
            .CreateService("BenchSvc", "BenchSvc", SERVICE_QUERY_STATUS, "/bin/true", "", "");
        StatsPipe pipe("BenchInfo");
        SshBridgeHost host(manager.Root());
        double local = MsPerTick("", rounds);
        double remote = MsPerTick(SshBridgeHost::RootAlias, rounds);
        std::printf("tick (state query + statistics), %d rounds\n", rounds);
        std::printf("  this PC:                      %8.3f ms\n", local);
        std::printf("  another PC over ssh (loopback): %6.3f ms\n", remote);
        std::printf("  ssh processes started: 1 (pid %d)\n",
                    static_cast<int>(RemotePcProcessId(SshBridgeHost::RootAlias)));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "remotepc_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
