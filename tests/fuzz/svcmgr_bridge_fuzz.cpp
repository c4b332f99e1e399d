// Arbitrary bytes as the stream a bridge reads from ssh: the framing must hold (no crash, no
// hang), every frame is answered or the stream is ended. The manager and the pipes it relays to
// are absent (an empty root), so every relay fails at once.
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "platform/svcmgr/svcmgr_bridge.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static char root[] = "/tmp/kv-bridge-fuzz-XXXXXX";
    if (mkdtemp(root) == nullptr)
        std::abort();
    setenv("SVCMGR_ROOT", root, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int in[2];
    if (pipe(in) != 0)
        std::abort();
    // The fuzzer's inputs are at most a few KiB: they fit into the pipe at once.
    if (write(in[1], data, size) != static_cast<ssize_t>(size))
        std::abort();
    close(in[1]);
    int out = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const int status = RunSvcMgrBridge(in[0], out);
    close(in[0]);
    close(out);
    if (status != 0 && status != 1)
        std::abort();

    // The pipe request's parts come back as they were encoded.
    std::string name, message;
    const std::string payload(reinterpret_cast<const char*>(data), size);
    if (svcbridge::DecodePipeRequest(payload, name, message) &&
        svcbridge::EncodePipeRequest(name, message.data(), message.size()) != payload)
        std::abort();
    return 0;
}
