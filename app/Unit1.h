// The main window: the controls of the stored design (Unit1.ui) on top of the jobs of
// TJobState, the settings store, the one-second clock and the keyboard shortcuts.
#pragma once

#include "app/Placemnt.h"
#include "app/Proxy.h"
#include "app/StoredEntries.h"
#include "mirror/JobState.h"
#include "sets/SetJob.h"

#include <QElapsedTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

class QEvent;
class QSocketNotifier;
class QTimer;

namespace Ui {
class TForm1;
}

// Opens the window with its settings in `settingsFile` (program folder + "Tessary.ini" when
// empty) and runs until it is closed; the program's exit status.
int RunWindow(int argc, char** argv, const std::string& settingsFile);

// The window's title: name, version and author credit.
std::string WindowTitle();

class TForm1 : public QWidget, public TJobState {
    Q_OBJECT
public:
    // Panel colour of the stored design, as the Windows colour value (blue, green, red bytes).
    static constexpr int PanelColor = 12698049;

    explicit TForm1(const std::string& settingsFile = {}, QWidget* parent = nullptr);
    ~TForm1() override;

    std::unique_ptr<TFormStorage> FormStorage1;
    QTimer* Timer1 = nullptr;
    TSetJob SetJob{*this};

    // The settings file the store reads and writes: `settingsFile`, or the default one.
    void UseSettingsFile(const std::string& settingsFile);
    // When the window is first shown: the destination's default, the title, the site.
    void FillDefaults();
    void ChooseDestination();
    // `key` is a Qt key code; only the exact modifier state Ctrl makes a shortcut. True when
    // the key is one of the window's shortcuts, also when a running job makes it do nothing.
    bool HandleShortcut(int key, Qt::KeyboardModifiers shift);
    void StartFolderJob();
    void StartMemberJob();
    void StartSetJob();

    // True while a job handler started from this window is on the stack.
    bool JobRunning() const { return jobDepth_ > 0; }

protected:
    // The jobs' questions, answered from the controls.
    void ShowLogLine(const std::string& line) override;
    void ClearLog() override;
    void SetStatusText(const std::string& text) override;
    void SetJobPhase(TJobPhase phase) override;
    void ShowClock(const std::string& timeText) override;
    void PauseFor(unsigned milliseconds) override;

    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Runs a job, reporting an error that escapes it as the standard error report does.
    // A gallery job fetches over HTTP, so the status line's tooltip names its proxy.
    void RunJob(const std::function<void()>& job, bool overHttp);
    bool ProxyUsable();
    void AbortTransfers();
    void CutShortForClose();
    TStoredEntries CurrentEntries() const;
    // The entries of the controls as the next job runs with them.
    void TakeOptions();
    void RestoreEntries();
    void ApplyEntries(const TStoredEntries& entries);
    std::string ProxyNote() const;
    // Shows the gallery addresses of the chosen site and makes it the jobs' site.
    void ChooseSite(const char* siteTag);
    // The clock's tick; a transfer begun after the window was closed is cut short too.
    void SecondPassed();
    void ConnectControls();
    void SetPictures();
    void AttachPlatformLoop();
    void HostPlatformLoop();
    void ArmPlatformDeadline();
    void ProcessToolkitEvents(int waitMs);
    void ShowProgress();
    void ShowJobPhase(TJobPhase phase);
    void ScaleToFont();
    void FitClock();
    void FitLogToScreen();
    bool KeyAlreadySeen(QObject* watched, QEvent* event);

    std::unique_ptr<Ui::TForm1> ui;
    TProxySetting environmentProxy_;
    // The last line of the status line's tooltip while a gallery job runs: the proxy it uses.
    std::string proxyNote_;
    // The status line as the last status text left it, before any progress was added.
    QString statusLine_;
    QElapsedTimer progressShown_;
    int ftpWaitLimit_ = 0;
    std::unique_ptr<QSocketNotifier> platformNotifier_;
    QTimer* platformDeadline_ = nullptr;
    QTimer* waitDeadline_ = nullptr;  // ends a waiting pass's sleep in Qt
    int hostingDepth_ = 0;
    int jobDepth_ = 0;
    bool closing_ = false;
    // The key press being handed up the parent chain, and the widget it is to reach next.
    const QEvent* keyEvent_ = nullptr;
    const QObject* keyNext_ = nullptr;
};
