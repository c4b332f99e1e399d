// The 500 ms tick's poll of the service: its state through the manager and, while it runs, its
// statistics. The calls run on a thread of their own, so that a manager or a service that
// accepts a connection and never answers (stopped, hung) cannot hold the window: the tick waits
// for them only briefly and shows them at a later tick otherwise.
#include <chrono>

#include "common/langtext.h"
#include "common/strutil.h"
#include "console/framework/basesvc_acess.h"
#include "console/framework/svcctrl.h"
#include "platform/errors.h"
#include "platform/remotepc.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long a tick waits for the poll it started: a manager and a service that answer do so
// well within it, so that the tick shows what it asked; a click waits no longer than this.
constexpr auto TickWait = std::chrono::milliseconds(50);

} // namespace

TServicePoll TSvcWndBase::NewPoll() const {
    TServicePoll poll;
    poll.Epoch = PollEpoch;
    poll.RemotePc = RemotePc;
    poll.PcDisplayName = PcDisplayName();
    poll.ServiceName = ServiceName;
    poll.InfoPipePath = PipeRoot() + InfoPipeName;
    poll.ScmHandle = ScmHandle;
    poll.ServiceHandle = ServiceHandle;
    return poll;
}

void TSvcWndBase::QueryServiceState(TServicePoll& Poll, int TimeoutMs) {
    const char* pc = Poll.PcDisplayName.c_str();
    try {
        // Another PC's connection is opened in the background and a PC that failed is tried
        // again only every few seconds (platform/remotepc).
        if (!Poll.ScmHandle.IsOpen())
            Poll.ScmHandle = TScManager::Open(Poll.RemotePc, GENERIC_READ, TimeoutMs);
    } catch (const EOSError& e) {
        Poll.StateError = Format(langtext::ScmErrorOn, pc) + e.what();
        return;
    }
    try {
        if (!Poll.ServiceHandle.IsOpen())
            Poll.ServiceHandle =
                Poll.ScmHandle.OpenService(Poll.ServiceName, SERVICE_QUERY_STATUS, TimeoutMs);
        Poll.State = Poll.ServiceHandle.QueryStatus(TimeoutMs).CurrentState;
    } catch (const EOSError& e) {
        Poll.StateError = Format(langtext::ServiceAbsentOn, pc) + e.what();
    }
}

TServicePoll TSvcWndBase::RunPoll(TServicePoll Poll) {
    const auto started = Clock::now();
    QueryServiceState(Poll, PollTimeoutMs);
    if (Poll.StateError.empty() && Poll.State == SERVICE_RUNNING)
        CallStatistics(Poll, PollTimeoutMs);
    const bool failed = !Poll.StateError.empty() || !Poll.StatsError.empty();
    Poll.Unanswered = failed && Clock::now() - started >= std::chrono::milliseconds(PollTimeoutMs);
    return Poll;
}

void TSvcWndBase::RefreshServiceState() {
    TServicePoll poll = NewPoll();
    QueryServiceState(poll, PollTimeoutMs);
    ShowServiceState(poll);
}

void TSvcWndBase::ShowServiceState(const TServicePoll& Poll) {
    ScmHandle = Poll.ScmHandle;
    ServiceHandle = Poll.ServiceHandle;
    ServiceState = Poll.StateError.empty() ? Poll.State : 0;
    SetStatusText(Poll.StateError.empty() ? ServiceStateText(ServiceState) : Poll.StateError);
    RedrawStatusBar();
}

void TSvcWndBase::PollService() {
    if (!Poll.valid() && Clock::now() >= NextPollAt)
        Poll = std::async(std::launch::async, &TSvcWndBase::RunPoll, NewPoll());
    if (!Poll.valid() || Poll.wait_for(TickWait) != std::future_status::ready)
        return;
    TServicePoll poll = Poll.get();
    // Asked of handles closed since (another PC was chosen): the new ones are asked now.
    if (poll.Epoch != PollEpoch) {
        PollService();
        return;
    }
    // Spaced out as the tries of a PC that cannot be reached.
    if (poll.Unanswered)
        NextPollAt = Clock::now() + RemotePcRetryDelay;
    ShowServiceState(poll);
    UpdateButtons();
    if (poll.StatsAsked)
        ShowStatisticsAnswer(poll);
}
