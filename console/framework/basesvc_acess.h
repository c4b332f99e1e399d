// The generic status and control window of a service console. It watches one service on this
// PC or on another: polls its state through the service manager every 500 ms, shows it in the
// status bar with two LEDs, enables the start, stop and configure buttons accordingly, asks
// the service's information pipe for statistics while it runs, and runs the configuration
// exchange with the restart of the service. It knows no concrete service: a descendant sets
// the names, the dialog class and the configuration class in its FormCreate before calling
// this one's.
//
// Creation is two-step: construct the window, then call FormCreate() (a virtual, so that the
// descendant's runs); the program and the tests do it through CreateWindow.
#pragma once

#include <QPixmap>
#include <QWidget>
#include <array>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "common/ftconfigbase.h"
#include "console/framework/basesvc_configdlg.h"
#include "platform/svcmgr/svcmgr_client.h"
#include "service/framework/ft_control.h"

class QPainter;
class QTimer;
class TUiFacade;
struct TStatusPanel;

namespace Ui {
class SvcWndBase;
}

// One poll of the 500 ms tick: whom it asks, copied from the window when it starts, and what it
// found. It runs on a thread of its own and touches nothing of the window, which shows it.
struct TServicePoll {
    uint32_t Epoch = 0; // the window's PollEpoch when the poll started
    std::string RemotePc;
    std::string PcDisplayName;
    std::string ServiceName;
    std::string InfoPipePath;
    // The window's handles; the poll opens those that are not open.
    TScManager ScmHandle;
    TScService ServiceHandle;
    uint32_t State = 0;
    std::string StateError; // the status text when the state could not be had
    bool StatsAsked = false;
    std::string StatsError; // the statistics call's failure
    std::vector<uint8_t> StatsAnswer;
    // A call gave way for want of an answer: the next poll waits a while.
    bool Unanswered = false;
};

class TSvcWndBase : public QWidget {
    Q_OBJECT
public:
    // `Arguments`: the command line without the program name.
    TSvcWndBase(TUiFacade& Ui, std::vector<std::string> Arguments, QWidget* Parent = nullptr);
    ~TSvcWndBase() override; // FormDestroy

    // Constructs a window of class T and runs its creation; an exception of the creation is
    // shown and the window still opens.
    template <class T>
    static std::unique_ptr<T> CreateWindow(TUiFacade& Ui, std::vector<std::string> Arguments) {
        auto window = std::make_unique<T>(Ui, std::move(Arguments));
        window->FormCreate();
        return window;
    }

    // Panels, captions, defaults, settings, command line; starts the timer.
    virtual void FormCreate();

    // Called during the restart after a configuration change, between stop and start, with
    // the manager of the PC shown. Empty here; may raise.
    virtual void ChangeServiceAccount(const TScManager& ScmHandle);
    // Called before the edited configuration is sent, with the same manager: raises when the
    // account that ChangeServiceAccount would set is one the PC refuses, so that the service
    // keeps its configuration and runs on under its old account. Empty here.
    virtual void CheckServiceAccount(const TScManager& ScmHandle);
    // Enables the buttons from the current state.
    virtual void UpdateButtons();

    void SetRemotePc(const std::string& Name);
    std::string PcDisplayName() const;
    // "\\.\pipe\" for this PC, "\\PC\pipe\" for another one.
    std::string PipeRoot() const;
    bool IsConnected() const;
    bool IsRunning() const;
    void SetBusy(uint8_t Value);
    // The state through the manager, at once.
    void RefreshServiceState();
    void CloseServiceHandles();
    void ClearStatistics();
    void ClearNextCheckAndError();
    void LoadSettings(const std::string& FileName);
    void SaveSettings(const std::string& FileName);
    void ParseCommandLine();
    void LoadCaptions();

    // Statistics, asked at once.
    void QueryStatistics();
    void ShowStatistics();

    // How long a call of the tick waits for its answer before it gives way.
    static constexpr int PollTimeoutMs = 300;
    // The tick's poll of state and statistics: started on a thread of its own and waited for
    // only briefly; a poll still under way is shown by a later tick. After a call that gave way
    // for want of an answer, the next poll waits RemotePcRetryDelay.
    void PollService();
    TServicePoll NewPoll() const;
    // The calls of a poll, on any thread, each waiting at most `TimeoutMs` for its answer.
    static void QueryServiceState(TServicePoll& Poll, int TimeoutMs);
    static void CallStatistics(TServicePoll& Poll, int TimeoutMs);
    static TServicePoll RunPoll(TServicePoll Poll);
    void ShowServiceState(const TServicePoll& Poll);
    void ShowStatisticsAnswer(const TServicePoll& Poll);

    // Configuration exchange and restart.
    void EditConfiguration();
    void ReceiveConfiguration();
    void RequestConfiguration();
    // Shows its failure itself; true when the service took the file.
    bool SendConfiguration();
    void PostConfiguration();
    // Restarts the service; the account hook runs only when `ChangeAccount` (the file was sent).
    void ApplyServiceConfig(bool ChangeAccount = true);
    void WriteLocalConfig(const uint8_t* Data, int32_t Size);
    void ReadLocalConfig(uint8_t* Buffer, int32_t MaxSize, int32_t& Size);

    // One 500 ms tick.
    void TmrMainTimer();
    void BtnPcClick();
    void BtnSrvStartClick();
    void BtnSrvStopClick();
    void BtnConfigureClick();
    void BtnCloseClick();

    // The text of the status panel.
    std::string StatusText() const;
    void SetStatusText(const std::string& Text);
    std::string LocalConfigPath() const;
    std::string SettingsPath() const;

    std::string SettingsFileName;
    TConfigDlgClass ConfigDlgClass = nullptr;
    TBaseFtConfigClass ConfigClass = nullptr;
    std::string RemotePc;
    std::string ServiceName;
    std::string LocalConfigFileName;
    std::string InfoPipeName;
    std::string ControlPipeName;
    TScManager ScmHandle;
    TScService ServiceHandle;
    uint32_t ServiceState = 0;
    std::array<uint8_t, PipeBufferSize> RequestBuffer{};
    std::array<uint8_t, PipeBufferSize> AnswerBuffer{};
    TPipeStatistics LastCounters{};
    TServiceStateRecord LastState{};
    TStatusPanel* LedServicePanel = nullptr;
    TStatusPanel* LedBusyPanel = nullptr;
    TStatusPanel* StatusPanel = nullptr;
    uint8_t Busy = 0;
    bool OpenConfigOnStart = false;
    int32_t TimeOverride = 0;

protected:
    void closeEvent(QCloseEvent* event) override; // FormCloseQuery

    // One pipe transaction: `RequestLength` bytes of RequestBuffer out, the answer into
    // AnswerBuffer; returns the bytes received. Raises the platform's error.
    size_t Transact(const std::string& PipeName, size_t RequestLength);
    void SbMainDrawPanel(QPainter& Painter, const TStatusPanel* Panel, const QRect& Rect);
    void RedrawStatusBar();

    TUiFacade& Ui;
    std::unique_ptr<::Ui::SvcWndBase> Form;
    QTimer* TmrMain = nullptr;
    // ImlLed: 0 LED off, 1 LED on.
    std::array<QPixmap, 2> ImlLed;

private:
    void ConnectHandlers();
    void InitStatusBar();
    void ShowRecordLabels();
    std::vector<std::string> Arguments_;
    // The poll under way or not yet shown; its end is awaited before the window goes.
    std::future<TServicePoll> Poll;
    // Changed when the handles are closed: a poll started before is not shown.
    uint32_t PollEpoch = 0;
    std::chrono::steady_clock::time_point NextPollAt{};
};
