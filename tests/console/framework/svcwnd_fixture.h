// What the console window's tests share: a real manager with the file-tracker test service
// program, and a window on it whose settings file and working copy are the test's own.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "common/Comserv.h"
#include "console/framework/basesvc_acess.h"
#include "platform/svcmgr/svcmgr_client.h"
#include "tests/console/support/consoletest.h"
#include "tests/support/svcmgr_fixture.h"

inline const std::string Svc = "FtSvc";
inline const char* BaseIni =
    "[General]\nTimeBetweenActions=3600\n[Directory0]\nTrackDirectory=/nowhere\n";

class SvcWndFixture : public ::testing::Test {
protected:
    SvcWndFixture() {
        const std::string id = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        settings_ = "svcwnd_test_" + id + ".ini";
        workingCopy_ = "svcwnd_test_" + id + "_local.ini";
        Cleanup();
        mkdir((manager_.Root() + "/ftsvc").c_str(), 0755);
        mkdir((manager_.Root() + "/ftsvc/" + Svc).c_str(), 0755);
    }
    ~SvcWndFixture() override {
        window_.reset();
        Cleanup();
    }
    void Cleanup() {
        std::remove((ProgramDir() + "/" + settings_).c_str());
        std::remove((ProgramDir() + "/" + workingCopy_).c_str());
    }
    std::string ServiceIni() const { return manager_.Root() + "/ftsvc/" + Svc + "/ftsvc.ini"; }

    void InstallService(const std::string& ini = BaseIni) {
        WriteTextFile(ServiceIni(), ini);
        TScManager::Open("", SC_MANAGER_ALL_ACCESS)
            .CreateService(Svc, Svc, SERVICE_QUERY_STATUS, KV_FTSVC_PROGRAM, "", "");
    }
    TScService Service() {
        return TScManager::Open("", SC_MANAGER_CONNECT).OpenService(Svc, SERVICE_ALL_ACCESS);
    }
    uint32_t State() { return Service().QueryStatus().CurrentState; }
    void StartDirectly() {
        Service().Start();
        ASSERT_TRUE(WaitUntil([&] { return State() == SERVICE_RUNNING; }));
    }

    // A window on `service`, with names set before its creation as a descendant would.
    TSvcWndBase& OpenWindow(std::vector<std::string> args, const std::string& service) {
        window_.reset();
        window_ = std::make_unique<TSvcWndBase>(ui_, std::move(args));
        window_->SettingsFileName = settings_;
        window_->LocalConfigFileName = workingCopy_;
        window_->ServiceName = service;
        window_->InfoPipeName = service + "Info";
        window_->ControlPipeName = service + "Control";
        window_->FormCreate();
        window_->show();
        return *window_;
    }
    template <class T> T* W(const char* name) { return Child<T>(window_.get(), name); }
    std::string Text(const char* label) { return W<QLabel>(label)->text().toStdString(); }
    bool Enabled(const char* button) { return W<QPushButton>(button)->isEnabled(); }
    bool StatusBecomes(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
        return ProcessEventsUntil([&] { return window_->StatusText() == text; }, timeout);
    }

    SvcMgrInstance manager_;
    TScriptedUi ui_;
    std::unique_ptr<TSvcWndBase> window_;
    std::string settings_;
    std::string workingCopy_;
};
