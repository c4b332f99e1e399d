// The service application framework, with the test playing the manager's part on the other
// end of the private channel: the order of the events, the reported statuses and the
// delivery of control requests into the service thread's queue.
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/svcapp.h"
#include "tests/support/manager_end.h"

namespace {

class ProbeService;
ProbeService* CurrentProbe = nullptr;
std::atomic<int> ControlsHandedOver{0};

// The service's control handler, as a service program supplies it: it hands the code to the
// one service object, and counts, so that a test knows when its requests are queued.
void ProbeController(uint32_t CtrlCode);

class ProbeService : public TService {
public:
    ProbeService() {
        Name = "ProbeSvc";
        CurrentProbe = this;
        ControlsHandedOver = 0;
    }
    ~ProbeService() override { CurrentProbe = nullptr; }
    TServiceController GetServiceController() override { return ProbeController; }

    void Note(const std::string& event) {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    }
    std::vector<std::string> Events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    bool OnServiceThread() const {
        return std::this_thread::get_id() == ServiceThread()->ThreadID();
    }

private:
    std::mutex mutex_;
    std::vector<std::string> events_;
};

void ProbeController(uint32_t CtrlCode) {
    CurrentProbe->Controller(CtrlCode);
    ++ControlsHandedOver;
}

bool AwaitHandedOver(int count) {
    for (int i = 0; i < 1000 && ControlsHandedOver < count; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return ControlsHandedOver >= count;
}

// Loop of a service: runs until terminated, processing requests without waiting.
void IdleLoop(TService* sender) {
    while (!sender->ServiceThread()->Terminated()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        sender->ServiceThread()->ProcessRequests(false);
    }
}

} // namespace

TEST(ServiceApplication, LifeCycleOfAStartedAndStoppedService) {
    ProbeService service;
    service.OnStart = [&](TService*, bool&) {
        service.Note(service.OnServiceThread() ? "start" : "start?");
    };
    service.OnExecute = [&](TService* sender) {
        service.Note("execute");
        IdleLoop(sender);
        service.Note("execute-end");
    };
    service.OnStop = [&](TService*, bool&) {
        service.Note(service.OnServiceThread() ? "stop" : "stop?");
        service.ReportStatus(); // a long stop advances its checkpoint
    };
    service.OnShutdown = [&](TService*) { service.Note("shutdown"); };
    ManagerEnd manager(service);

    TServiceStatus pending = manager.NextStatus();
    EXPECT_EQ(pending.CurrentState, SERVICE_START_PENDING);
    EXPECT_EQ(pending.CheckPoint, 1u);
    EXPECT_EQ(pending.WaitHint, 10000u);
    EXPECT_EQ(pending.ControlsAccepted, 0u);
    TServiceStatus running = manager.NextStatus();
    EXPECT_EQ(running.CurrentState, SERVICE_RUNNING);
    EXPECT_EQ(running.CheckPoint, 0u);
    EXPECT_EQ(running.WaitHint, 0u);
    EXPECT_EQ(running.ControlsAccepted, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);

    manager.Send(SERVICE_CONTROL_STOP);
    TServiceStatus stopping = manager.NextStatus();
    EXPECT_EQ(stopping.CurrentState, SERVICE_STOP_PENDING);
    EXPECT_EQ(stopping.CheckPoint, 1u);
    EXPECT_EQ(stopping.WaitHint, 10000u);
    EXPECT_EQ(manager.NextStatus().CheckPoint, 2u);
    TServiceStatus stopped = manager.NextStatus();
    EXPECT_EQ(stopped.CurrentState, SERVICE_STOPPED);
    EXPECT_EQ(stopped.Win32ExitCode, 0u);
    EXPECT_EQ(manager.Result(), 0);
    EXPECT_EQ(service.Events(),
              (std::vector<std::string>{"start", "execute", "stop", "execute-end"}));
}

TEST(ServiceApplication, StartReportsAdvanceTheCheckpoint) {
    ProbeService service;
    service.WaitHint = 2500;
    service.OnStart = [&](TService*, bool&) {
        service.ReportStatus();
        service.ReportStatus();
    };
    ManagerEnd manager(service);
    for (uint32_t expected = 1; expected <= 3; ++expected) {
        TServiceStatus s = manager.NextStatus();
        EXPECT_EQ(s.CurrentState, SERVICE_START_PENDING);
        EXPECT_EQ(s.CheckPoint, expected);
        EXPECT_EQ(s.WaitHint, 2500u);
    }
    EXPECT_EQ(manager.NextStatus().CurrentState, SERVICE_RUNNING);
    // Without an OnExecute handler the framework waits for requests itself.
    manager.Send(SERVICE_CONTROL_STOP);
    manager.AwaitState(SERVICE_STOPPED);
    EXPECT_TRUE(manager.Finished());
}

TEST(ServiceApplication, StartReturningFalseStopsWithoutExecuteOrStop) {
    ProbeService service;
    service.ErrCode = 42;
    service.OnStart = [&](TService*, bool& started) { started = false; };
    service.OnExecute = [&](TService*) { service.Note("execute"); };
    service.OnStop = [&](TService*, bool&) { service.Note("stop"); };
    ManagerEnd manager(service);
    EXPECT_EQ(manager.NextStatus().CurrentState, SERVICE_START_PENDING);
    TServiceStatus stopped = manager.NextStatus();
    EXPECT_EQ(stopped.CurrentState, SERVICE_STOPPED);
    EXPECT_EQ(stopped.Win32ExitCode, static_cast<uint32_t>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(stopped.ServiceSpecificExitCode, 42u);
    EXPECT_TRUE(manager.Finished());
    EXPECT_TRUE(service.Events().empty());
}

TEST(ServiceApplication, StartThatThrowsCountsAsNotStarted) {
    ProbeService service;
    service.OnStart = [](TService*, bool&) { throw std::runtime_error("no configuration"); };
    service.OnExecute = [&](TService*) { service.Note("execute"); };
    ManagerEnd manager(service);
    manager.AwaitState(SERVICE_STOPPED);
    EXPECT_TRUE(manager.Finished());
    EXPECT_TRUE(service.Events().empty());
}

TEST(ServiceApplication, StopGoesBeforeTheOneWaitingInterrogationAndMoreAreAnsweredAtOnce) {
    ProbeService service;
    std::promise<void> inJob, requestsQueued;
    service.OnExecute = [&](TService* sender) {
        TServiceThread* thread = sender->ServiceThread();
        inJob.set_value();
        requestsQueued.get_future().wait();
        uint32_t code = 0;
        // The stop stands first, though it came after the interrogations, so that a job that
        // peeks sees it; one interrogation waits behind it, and the peek removes nothing.
        service.Note(thread->PeekFirstRequest(code) ? "peek " + std::to_string(code) : "peek none");
        service.Note(thread->IsQueued(SERVICE_CONTROL_INTERROGATE) ? "interrogation queued"
                                                                   : "no interrogation");
        service.Note(thread->PeekFirstRequest(code) ? "peek " + std::to_string(code) : "peek none");
        thread->ProcessRequests(false); // the stop with its handler, then the interrogation
        service.Note(thread->Terminated() ? "terminated" : "running");
        service.Note(thread->PeekFirstRequest(code) ? "peek " + std::to_string(code) : "peek none");
    };
    service.OnStop = [&](TService*, bool&) {
        service.Note(service.OnServiceThread() ? "stop" : "stop?");
    };
    ManagerEnd manager(service);
    manager.AwaitState(SERVICE_RUNNING);
    inJob.get_future().wait();
    for (int i = 0; i < 8; ++i)
        manager.Send(SERVICE_CONTROL_INTERROGATE);
    manager.Send(SERVICE_CONTROL_STOP);
    EXPECT_TRUE(AwaitHandedOver(9)); // all handed over before the job looks
    // While the job is busy, every interrogation but the one that waits was answered at once.
    std::vector<TServiceStatus> early = manager.Reports(1000);
    EXPECT_EQ(early.size(), 7u);
    for (const auto& report : early)
        EXPECT_EQ(report.CurrentState, SERVICE_RUNNING);
    requestsQueued.set_value();
    manager.AwaitState(SERVICE_STOPPED);
    EXPECT_TRUE(manager.Finished());
    EXPECT_EQ(service.Events(),
              (std::vector<std::string>{"peek 1", "interrogation queued", "peek 1", "stop",
                                        "terminated", "peek none"}));
}

TEST(ServiceApplication, RefusedStopKeepsTheServiceRunning) {
    ProbeService service;
    std::atomic<int> stops{0};
    service.OnStop = [&](TService*, bool& stopped) { stopped = ++stops > 1; };
    service.OnExecute = IdleLoop;
    ManagerEnd manager(service);
    manager.AwaitState(SERVICE_RUNNING);
    manager.Send(SERVICE_CONTROL_STOP);
    EXPECT_EQ(manager.NextStatus().CurrentState, SERVICE_STOP_PENDING);
    EXPECT_EQ(manager.NextStatus().CurrentState, SERVICE_RUNNING);
    EXPECT_FALSE(manager.Finished(200));
    manager.Send(SERVICE_CONTROL_STOP);
    manager.AwaitState(SERVICE_STOPPED);
    EXPECT_EQ(stops, 2);
}

TEST(ServiceApplication, RepeatedStopRunsTheStopHandlerOnce) {
    ProbeService service;
    std::promise<void> queued;
    service.OnExecute = [&](TService* sender) {
        queued.get_future().wait();
        IdleLoop(sender);
    };
    service.OnStop = [&](TService*, bool&) { service.Note("stop"); };
    service.OnShutdown = [&](TService*) { service.Note("shutdown"); };
    ManagerEnd manager(service);
    manager.AwaitState(SERVICE_RUNNING);
    manager.Send(SERVICE_CONTROL_STOP);
    manager.Send(SERVICE_CONTROL_STOP);
    manager.Send(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_TRUE(AwaitHandedOver(3));
    queued.set_value();
    manager.AwaitState(SERVICE_STOPPED);
    EXPECT_TRUE(manager.Finished());
    EXPECT_EQ(service.Events(), (std::vector<std::string>{"stop"}));
}

TEST(ServiceApplication, LostManagerRunsTheShutdownEvent) {
    ProbeService service;
    service.OnExecute = IdleLoop;
    service.OnStop = [&](TService*, bool&) { service.Note("stop"); };
    service.OnShutdown = [&](TService*) {
        service.Note(service.OnServiceThread() ? "shutdown" : "shutdown?");
    };
    ManagerEnd manager(service);
    manager.AwaitState(SERVICE_RUNNING);
    manager.Close();
    EXPECT_TRUE(manager.Finished());
    EXPECT_EQ(service.Events(), (std::vector<std::string>{"shutdown"}));
}

TEST(ServiceApplication, ShutdownDuringAJobRunsOnTheServiceThreadBetweenSteps) {
    ProbeService service;
    service.OnExecute = [&](TService* sender) {
        TServiceThread* thread = sender->ServiceThread();
        for (int step = 0; step < 500 && !thread->Terminated(); ++step) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            thread->ProcessRequests(false);
        }
        service.Note(thread->Terminated() ? "job cut" : "job done");
    };
    service.OnShutdown = [&](TService*) {
        service.Note(service.OnServiceThread() ? "shutdown" : "shutdown?");
    };
    ManagerEnd manager(service);
    manager.AwaitState(SERVICE_RUNNING);
    manager.Send(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_EQ(manager.AwaitState(SERVICE_STOP_PENDING).CheckPoint, 1u);
    manager.AwaitState(SERVICE_STOPPED);
    EXPECT_EQ(service.Events(), (std::vector<std::string>{"shutdown", "job cut"}));
}
