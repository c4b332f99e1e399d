#include "platform/svcroot.h"

#include <cstdlib>

namespace {
const char* RootOverride() {
    const char* root = std::getenv("SVCMGR_ROOT");
    return (root && *root) ? root : nullptr;
}
} // namespace

std::string SvcMgrStateDir() {
    const char* root = RootOverride();
    return root ? std::string(root) : std::string("/var/lib/svcmgr");
}

std::string SvcMgrRuntimeDir() {
    const char* root = RootOverride();
    return root ? std::string(root) : std::string("/run/svcmgr");
}

std::string SvcMgrSocketPath() {
    return SvcMgrRuntimeDir() + "/svcmgr.sock";
}

std::string PipeDir() {
    return SvcMgrRuntimeDir() + "/pipe";
}

std::string PipeSocketPath(const std::string& pipeName) {
    return PipeDir() + "/" + pipeName;
}
