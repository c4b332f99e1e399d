// Shared pieces of the service manager's process tests: a running manager, the test service
// program and its event log.
#pragma once

#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "platform/errors.h"
#include "platform/svcmgr/svcmgr_client.h"
#include "tests/support/errorcode.h"
#include "tests/support/svcmgr_fixture.h"
#include "tests/support/tempdir.h"

inline std::string TestServiceProgram() {
    return KV_TESTSVC_PROGRAM;
}

class SvcMgrTest : public ::testing::Test {
protected:
    SvcMgrTest() {
        // The test service writes here, also when it runs under another account.
        mkdir(TestDir().c_str(), 0777);
        chmod(TestDir().c_str(), 01777);
    }

    std::string TestDir() const { return manager_.Root() + "/testsvc"; }
    std::string LogPath(const std::string& name) const { return TestDir() + "/" + name + ".log"; }

    // Registers the test program as `name`, with the behaviour words of testsvc.cpp.
    void Install(const std::string& name, const std::string& mode = "") {
        WriteTextFile(TestDir() + "/" + name + ".mode", mode);
        TScManager::Open("", SC_MANAGER_ALL_ACCESS)
            .CreateService(name, "Display " + name, SERVICE_QUERY_STATUS, TestServiceProgram(), "",
                           "");
    }
    TScService Open(const std::string& name, uint32_t access = SERVICE_ALL_ACCESS) {
        return TScManager::Open("", SC_MANAGER_CONNECT).OpenService(name, access);
    }
    TServiceStatus Status(const std::string& name) { return Open(name).QueryStatus(); }

    // Waits (at most 10 s) for `state`; fails the test otherwise.
    TServiceStatus AwaitState(const std::string& name, uint32_t state) {
        TServiceStatus last;
        bool reached = WaitUntil([&] {
            last = Status(name);
            return last.CurrentState == state;
        });
        EXPECT_TRUE(reached) << name << " stayed in state " << last.CurrentState;
        return last;
    }

    std::vector<std::string> LogLines(const std::string& name) {
        std::vector<std::string> lines;
        std::string text = ReadTextFile(LogPath(name));
        size_t start = 0;
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
            lines.push_back(text.substr(start, end - start));
        return lines;
    }
    bool Logged(const std::string& name, const std::string& line) {
        for (const auto& l : LogLines(name))
            if (l == line)
                return true;
        return false;
    }
    bool AwaitLogged(const std::string& name, const std::string& line) {
        return WaitUntil([&] { return Logged(name, line); });
    }
    void Trigger(const std::string& name, const std::string& what) {
        WriteTextFile(TestDir() + "/" + name + "." + what, "");
    }

    SvcMgrInstance manager_;
};
