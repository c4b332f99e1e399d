#include "tests/support/pipetest.h"

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <thread>

#include "platform/svcroot.h"

PipeNamespace::PipeNamespace() {
    if (const char* root = std::getenv("SVCMGR_ROOT")) {
        hadRoot_ = true;
        savedRoot_ = root;
    }
    ::setenv("SVCMGR_ROOT", Path().c_str(), 1);
}

PipeNamespace::~PipeNamespace() {
    if (hadRoot_)
        ::setenv("SVCMGR_ROOT", savedRoot_.c_str(), 1);
    else
        ::unsetenv("SVCMGR_ROOT");
}

std::string PipePath(const std::string& name) {
    return "\\\\.\\pipe\\" + name;
}

void WaitForPipe(const std::string& name) {
    for (int i = 0; i < 500 && !FileExists(PipeSocketPath(name)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(FileExists(PipeSocketPath(name))) << name;
}
