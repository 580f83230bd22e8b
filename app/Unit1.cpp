#include "app/Unit1.h"

#include "app/HeadlessSettings.h"
#include "app/Proxy.h"
#include "app/Translator.h"
#include "app/jpeg.h"
#include "mirror/GalleryJob.h"
#include "net/NMFtp.h"
#include "net/NMHttp.h"
#include "platform/catalogue.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "platform/profile.h"
#include "platform/userdirs.h"
#include "ui_Unit1.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMessageBox>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QSocketNotifier>
#include <QStyle>
#include <QTime>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string_view>
#include <utility>

namespace {

constexpr Qt::WindowFlags WindowFrame = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                        Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                                        Qt::WindowCloseButtonHint;

// The set number field takes at most this many typed characters, but keeps a longer stored one.
constexpr int SetNumberTypingLimit = 5;
// How often a pause lets the window paint and act on clicks.
constexpr int PauseWakeMs = 20;
// On close, the FTP client's good-bye and any reply it still awaits get this long at most.
constexpr int CloseWaitLimitMs = 400;
// The height a window manager's title bar and borders take at most, and the fewest lines the
// log keeps on a short screen.
constexpr int FrameReserve = 40;
constexpr int LeastLogLines = 5;

// The window's stored entries are read by the rules the command line reads them with.
class TWindowStorage final : public TFormStorage {
public:
    TWindowStorage(QWidget* owner, std::function<void()> restore)
        : TFormStorage(owner), restore_(std::move(restore))
    {
    }

protected:
    void RestoreProperties() override { restore_(); }

private:
    std::function<void()> restore_;
};

// "Edit1_Text" names the stored property "Edit1.Text".
std::string StoredProp(const char* key)
{
    std::string entry = key;
    entry[entry.find('_')] = '.';
    return entry;
}

// The lines of a status text that are not empty; the status line shows the first.
QStringList StatusLines(const std::string& text)
{
    return QString::fromStdString(text).split(QRegularExpression(QStringLiteral("[\\r\\n]")), Qt::SkipEmptyParts);
}

// The application's standard error report.
void ShowErrorReport(const std::exception& error)
{
    QMessageBox::critical(QApplication::activeWindow(), QStringLiteral("Tessary"),
                          QString::fromStdString(error.what()));
}

std::string GalleryPrefix(const char* siteTag, const char* queryKey)
{
    return std::string("http://www.") + siteTag + ".com/cgi-bin/gallery.cgi?" + queryKey + "=";
}

// A new folder is made by the chooser's button, or by typing a path that does not exist yet,
// which Qt's chooser would otherwise refuse as not found.
class TFolderChooser final : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

    void accept() override
    {
        const QStringList chosen = selectedFiles();
        if (!chosen.isEmpty() && !QFileInfo::exists(chosen.constFirst()))
            QDir().mkpath(chosen.constFirst());
        QFileDialog::accept();
    }
};

// Keeps a counter raised for as long as a scope runs, also when it is left by an exception.
class CountedScope {
public:
    explicit CountedScope(int& counter) : counter_(counter) { ++counter_; }
    ~CountedScope() { --counter_; }
    CountedScope(const CountedScope&) = delete;
    CountedScope& operator=(const CountedScope&) = delete;

private:
    int& counter_;
};

}  // namespace

std::string WindowTitle()
{
    return std::string("Tessary") + std::string(14, ' ') + "V." + TESSARY_VERSION + std::string(4, ' ') +
           "by the Tessary team";
}

namespace {

QtMessageHandler previousHandler = nullptr;

// Qt aborts when it finds no display to open on; a user is told in one sentence what is
// missing and how to run a job without a window, and the program ends with status 1.
void StartupMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtFatalMsg) {
        const QByteArray display = qgetenv("DISPLAY");
        const std::string why = display.isEmpty() ? _("no display is set (DISPLAY is empty)")
                                                  : platform::Fill(_("no display answers at %1"), {display.toStdString()});
        std::fprintf(stderr, "tessary: %s\n",
                     platform::Fill(_("cannot open the window, %1; to run a job without a window, give tessary "
                                      "--folder ID, --member NAME or --set NUMBER (see tessary --help)."),
                                    {why})
                         .c_str());
        std::_Exit(ExitCouldNotRun);
    }
    // Qt's own account of the failed start would only repeat it.
    if (std::string_view(context.category == nullptr ? "" : context.category).starts_with("qt.qpa"))
        return;
    previousHandler(type, context, message);
}

}  // namespace

int RunWindow(int argc, char** argv, const std::string& settingsFile)
{
    previousHandler = qInstallMessageHandler(StartupMessage);
    QApplication application(argc, argv);
    qInstallMessageHandler(previousHandler);
    QApplication::setApplicationName(QStringLiteral("Tessary"));
    QApplication::setApplicationVersion(QStringLiteral(TESSARY_VERSION));
    InstallTranslators(application);
    TForm1 form(settingsFile);
    form.show();
    return QApplication::exec();
}

TForm1::TForm1(const std::string& settingsFile, QWidget* parent)
    : QWidget(parent, WindowFrame),
      FormStorage1(std::make_unique<TWindowStorage>(this, [this] { RestoreEntries(); })),
      ui(std::make_unique<Ui::TForm1>())
{
    ui->setupUi(this);
    ui->Label12->setText(QStringLiteral("    "));  // uic drops a caption made of blanks only
    ScaleToFont();
    FitClock();
    FitLogToScreen();
    SetPictures();
    ui->BitBtn3->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    // Typing is refused past the limit; a text set from the settings is kept whole.
    ui->Edit2->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral(".{0,%1}").arg(SetNumberTypingLimit)), ui->Edit2));
    ApplyEntries(TStoredEntries{});
    for (const char* key : StoredEntryKeys)
        FormStorage1->AddStoredProp(StoredProp(key));
    // The album's switch has a section of its own, written when the user turns it.
    connect(ui->AlbumBox, &QCheckBox::clicked, this, [this](bool on) {
        platform::WritePrivateProfileString(AlbumSection, AlbumEnabledKey, on ? "True" : "False",
                                            FormStorage1->IniFileName());
    });
    environmentProxy_ = ProxyFromEnvironment();
    NMHTTP1->Proxy = environmentProxy_.Host;
    NMHTTP1->ProxyPort = environmentProxy_.Port;
    ftpWaitLimit_ = SetJob.NMFTP1->WaitLimit;
    NMHTTP1->OnStatus = [this](TComponent*, const std::string&) {
        HttpStatusReported();
        ShowProgress();
    };
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);
    ConnectControls();
    AttachPlatformLoop();
    platform::SetExceptionHandler(ShowErrorReport);
    qApp->installEventFilter(this);

    UseSettingsFile(settingsFile);
    FormStorage1->Loaded();
    Timer1->start();
}

TForm1::~TForm1()
{
    // The store saves from the controls, so it goes while they all still exist.
    FormStorage1.reset();
    qApp->removeEventFilter(this);
    platform::SetToolkitHook(nullptr);
    platform::SetExceptionHandler(nullptr);
}

void TForm1::ConnectControls()
{
    connect(ui->BitBtn3, &QPushButton::clicked, this, [this] { ChooseDestination(); });
    connect(ui->Button1, &QPushButton::clicked, this, [this] { Cancel(); });
    connect(ui->Button2, &QPushButton::clicked, this, [this] { StartSetJob(); });
    connect(ui->Button3, &QPushButton::clicked, this, [this] { StartFolderJob(); });
    connect(ui->Button4, &QPushButton::clicked, this, [this] { StartMemberJob(); });
    connect(ui->RadioButton1, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            ChooseSite(SiteTagA);
    });
    connect(ui->RadioButton2, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            ChooseSite(SiteTagB);
    });
    // The download step reads the pause at each file, so a change applies to the running job.
    connect(ui->CheckBox1, &QCheckBox::toggled, this, [this](bool on) { Options.Pause = on; });
    connect(ui->SpinEdit1, &QSpinBox::valueChanged, this, [this](int seconds) { Options.PauseSeconds = seconds; });
    connect(Timer1, &QTimer::timeout, this, &TForm1::SecondPassed);
}

// The design is drawn at 96 dots per inch; at more, its fonts are larger, and so is all the rest.
// Edges are scaled rather than sizes, so that controls that meet go on meeting.
void TForm1::ScaleToFont()
{
    const double scale = logicalDpiY() / 96.0;
    const auto scaled = [scale](int at) { return static_cast<int>(std::lround(at * scale)); };
    const auto rescale = [&scaled](QWidget* control) {
        const QRect at = control->geometry();
        control->setGeometry(QRect(QPoint(scaled(at.x()), scaled(at.y())),
                                   QPoint(scaled(at.x() + at.width()) - 1, scaled(at.y() + at.height()) - 1)));
    };
    for (QWidget* control : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        rescale(control);
        for (QWidget* panelControl : control->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            rescale(panelControl);
    }
    setFixedSize(scaled(width()), scaled(height()));
}

// The clock has room for every hour as the locale writes it (with minutes and seconds of wide
// digits), taken from the gap before its caption.
void TForm1::FitClock()
{
    const QFontMetrics metrics = ui->Label10->fontMetrics();
    int widest = 0;
    for (int hour = 0; hour < 24; ++hour) {
        std::tm time{};
        time.tm_hour = hour;
        time.tm_min = 58;
        time.tm_sec = 58;
        widest = std::max(widest, metrics.horizontalAdvance(QString::fromStdString(TimeText(time))));
    }
    const int grow = widest - ui->Label10->contentsRect().width();
    if (grow <= 0)
        return;
    ui->Label10->setGeometry(ui->Label10->geometry().adjusted(-grow, 0, 0, 0));
    ui->Label9->move(ui->Label9->x() - grow, ui->Label9->y());
}

// The log gives up lines when the screen is too short for the whole window and its frame.
void TForm1::FitLogToScreen()
{
    const int room = screen()->availableGeometry().height() - FrameReserve;
    const int least = LeastLogLines * ui->Memo1->fontMetrics().lineSpacing();
    const int over = std::min(height() - room, ui->Memo1->height() - least);
    if (over <= 0)
        return;
    ui->Memo1->resize(ui->Memo1->width(), ui->Memo1->height() - over);
    ui->Panel4->resize(ui->Panel4->width(), ui->Panel4->height() - over);
    ui->Label12->move(ui->Label12->x(), ui->Label12->y() - over);
    setFixedSize(width(), height() - over);
}

void TForm1::SetPictures()
{
    QLabel* const images[] = {ui->Image1, ui->Image2, ui->Image3};
    for (int i = 0; i < 3; ++i)
        images[i]->setPixmap(QPixmap::fromImage(DecodeJpeg(PanelPictures[i].data, PanelPictures[i].size)));
}

void TForm1::UseSettingsFile(const std::string& settingsFile)
{
    FormStorage1->SetIniFileName(settingsFile.empty() ? DefaultSettingsFile() : settingsFile);
}

void TForm1::FillDefaults()
{
    if (ui->Edit1->text().isEmpty())
        ui->Edit1->setText(QString::fromStdString(platform::DefaultDestination()));
    setWindowTitle(QString::fromStdString(WindowTitle()));
    ui->DateTimePicker1->setTime(QTime::currentTime());
    MultimediaLockout = false;
    SiteTag = ui->RadioButton1->isChecked() ? SiteTagA : SiteTagB;
}

void TForm1::ChooseSite(const char* siteTag)
{
    ui->Label4->setText(QString::fromStdString(GalleryPrefix(siteTag, "f")));
    ui->Label5->setText(QString::fromStdString(GalleryPrefix(siteTag, "m")));
    SiteTag = siteTag;
}

void TForm1::ChooseDestination()
{
    TFolderChooser dialog(this, QString::fromUtf8(_("フォルダの選択")), ui->Edit1->text());
    dialog.setObjectName(QStringLiteral("FolderChooser"));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOptions(QFileDialog::DontUseNativeDialog);
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        ui->Edit1->setText(dialog.selectedFiles().constFirst());
}

bool TForm1::HandleShortcut(int key, Qt::KeyboardModifiers shift)
{
    if ((shift & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)) != Qt::ControlModifier)
        return false;
    switch (key) {
    case Qt::Key_D:
        ChooseDestination();
        break;
    case Qt::Key_B:
        ui->RadioButton1->setChecked(true);
        break;
    case Qt::Key_M:
        ui->RadioButton2->setChecked(true);
        break;
    // A start shortcut during a job would nest a second job inside the running one.
    case Qt::Key_I:
        if (!JobRunning())
            StartFolderJob();
        break;
    case Qt::Key_U:
        if (!JobRunning())
            StartMemberJob();
        break;
    case Qt::Key_N:
        if (!JobRunning())
            StartSetJob();
        break;
    case Qt::Key_P:
        ui->CheckBox1->toggle();
        break;
    case Qt::Key_C:
        Cancel();
        break;
    default:
        return false;
    }
    return true;
}

void TForm1::StartFolderJob()
{
    RunJob([this] { ::StartFolderJob(*this); }, true);
}

void TForm1::StartMemberJob()
{
    RunJob([this] { ::StartMemberJob(*this); }, true);
}

void TForm1::StartSetJob()
{
    RunJob([this] { SetJob.Start(); }, false);
}

// A job that an error ended is left once its error box has been closed; the window is idle
// again when the job has returned, not before.
void TForm1::RunJob(const std::function<void()>& job, bool overHttp)
{
    // The proxy check lets the window act on clicks, and a second job must not start inside it.
    if (JobRunning())
        return;
    proxyNote_.clear();
    try {
        CountedScope running(jobDepth_);
        if (overHttp && !ProxyUsable())
            return;
        proxyNote_ = overHttp ? ProxyNote() : std::string();
        TakeOptions();
        platform::PrepareDestination(Options.Destination);
        job();
    } catch (const std::exception& error) {
        // After the window has been closed, an error of the aborted transfer is no news.
        if (!closing_)
            platform::HandleApplicationException(error);
        LeaveJob();
        if (!closing_)
            SetStatusText(Run.SummaryLine(_("ended by an error")));
    }
    ShowJobPhase(JobPhase());
}

// A gallery job does not start with a $http_proxy it cannot use, rather than go without it;
// the status line says why.
bool TForm1::ProxyUsable()
{
    TProxySetting proxy = environmentProxy_;
    CheckProxyHost(proxy, ProxyLookupLimitMs, [this] { return closing_; });
    if (closing_)
        return false;
    if (proxy.Problem.empty())
        return true;
    SetStatusText(proxy.ProblemText());
    return false;
}

std::string TForm1::ProxyNote() const
{
    if (NMHTTP1->Proxy.empty())
        return {};
    return platform::Fill(_("HTTP proxy: %1:%2"), {NMHTTP1->Proxy, std::to_string(NMHTTP1->ProxyPort)});
}

void TForm1::AbortTransfers()
{
    AbortDownloads();
    SetJob.NMFTP1->Abort();
}

// The process ends soon after the window closes, whatever the servers do: the FTP good-bye
// and any reply still awaited get a short limit, and a connection still being made is dropped.
void TForm1::CutShortForClose()
{
    SetJob.NMFTP1->WaitLimit = CloseWaitLimitMs;
    AbortTransfers();
    if (!SetJob.NMFTP1->Connected)
        SetJob.NMFTP1->Cancel();
}

TStoredEntries TForm1::CurrentEntries() const
{
    TStoredEntries entries;
    entries.Destination = ui->Edit1->text().toStdString();
    entries.FolderId = ui->Edit3->text().toStdString();
    entries.Member = ui->Edit5->text().toStdString();
    entries.Pause = ui->CheckBox1->isChecked();
    entries.PauseSeconds = ui->SpinEdit1->value();
    entries.RadioButton1 = ui->RadioButton1->isChecked();
    entries.RadioButton2 = ui->RadioButton2->isChecked();
    entries.SetNumber = ui->Edit2->text().toStdString();
    entries.KeepAlive = NMHTTP1->KeepAlive;
    entries.Connections = Options.Connections;
    entries.ArchiveFile = Options.ArchivePath;
    entries.Album = ui->AlbumBox->isChecked();
    entries.AlbumIndex = Options.AlbumIndex;
    return entries;
}

// The settings the window only reads and keeps stay as they are; the pause follows its controls
// also while the job runs.
void TForm1::TakeOptions()
{
    const TJobOptions entered = JobOptionsOf(CurrentEntries());
    Options.Destination = entered.Destination;
    Options.FolderId = entered.FolderId;
    Options.Member = entered.Member;
    Options.SetNumber = entered.SetNumber;
    Options.HostB = entered.HostB;
    Options.Pause = entered.Pause;
    Options.PauseSeconds = entered.PauseSeconds;
    Options.Album = entered.Album;
}

void TForm1::RestoreEntries()
{
    ApplyEntries(ReadStoredEntries(FormStorage1->IniFileName(), CurrentEntries()));
}

// One of the two hosts is always chosen, the one the entries select; choosing it runs its
// click handling.
void TForm1::ApplyEntries(const TStoredEntries& entries)
{
    NMHTTP1->KeepAlive = entries.KeepAlive;
    Options.Connections = entries.Connections;
    Options.ArchivePath = entries.ArchiveFile;
    Options.AlbumIndex = entries.AlbumIndex;
    ui->AlbumBox->setChecked(entries.Album);
    ui->Edit1->setText(QString::fromStdString(entries.Destination));
    ui->Edit3->setText(QString::fromStdString(entries.FolderId));
    ui->Edit5->setText(QString::fromStdString(entries.Member));
    ui->CheckBox1->setChecked(entries.Pause);
    ui->SpinEdit1->setValue(entries.PauseSeconds);
    (entries.HostB() ? ui->RadioButton2 : ui->RadioButton1)->setChecked(true);
    ui->Edit2->setText(QString::fromStdString(entries.SetNumber));
}

void TForm1::SecondPassed()
{
    Tick();
    // A transfer begun after the window was closed is cut short too.
    if (closing_ && JobRunning())
        AbortTransfers();
}

void TForm1::ShowLogLine(const std::string& line)
{
    ui->Memo1->appendPlainText(QString::fromStdString(line));
}

void TForm1::ClearLog()
{
    ui->Memo1->clear();
}

// A reply line keeps its CR LF, and a label would draw it as two lines cut in half. A cancelled
// job's reports give way to what it still waits for.
void TForm1::SetStatusText(const std::string& text)
{
    QStringList lines = StatusLines(JobPhase() == TJobPhase::Stopping ? StoppingText() : text);
    statusLine_ = lines.isEmpty() ? QString() : lines.constFirst();
    ui->Label12->setText(statusLine_);
    if (!proxyNote_.empty())
        lines << QString::fromStdString(proxyNote_);
    ui->Label12->setToolTip(lines.join('\n'));
}

// Every received block reports; ten updates a second are as many as anyone can read. The label
// has a fixed width, so a long line is cut there rather than widening the window.
void TForm1::ShowProgress()
{
    const std::string progress = DownloadProgress();
    if (progress.empty() || (progressShown_.isValid() && progressShown_.elapsed() < 100))
        return;
    progressShown_.start();
    ui->Label12->setText(statusLine_ + QStringLiteral("  ") + QString::fromStdString(progress));
}

// A job's own end still says its good-bye to the server before it returns: RunJob offers the
// start controls once it has.
void TForm1::SetJobPhase(TJobPhase phase)
{
    if (phase != TJobPhase::Idle || !JobRunning())
        ShowJobPhase(phase);
}

// Buttons are enabled before others are disabled, so that a clicked button that goes grey
// hands its focus to a button, or to the log while a job stops: Qt would hand it to the next
// field with all its text selected.
void TForm1::ShowJobPhase(TJobPhase phase)
{
    const bool idle = phase == TJobPhase::Idle;
    const std::pair<QPushButton*, bool> offered[] = {
        {ui->Button1, phase == TJobPhase::Running}, {ui->Button3, idle}, {ui->Button4, idle}, {ui->Button2, idle}};
    QWidget* const heir = idle                          ? ui->Button3
                          : phase == TJobPhase::Running ? static_cast<QWidget*>(ui->Button1)
                                                        : ui->Memo1;
    for (const auto& [button, on] : offered)
        if (on)
            button->setEnabled(true);
    for (const auto& [button, on] : offered) {
        if (on)
            continue;
        if (focusWidget() == button)
            heir->setFocus(Qt::OtherFocusReason);
        button->setEnabled(false);
    }
}

void TForm1::ShowClock(const std::string& timeText)
{
    ui->Label10->setText(QString::fromStdString(timeText));
}

// The pause keeps its length, but the window paints, the clock ticks and clicks are acted on
// meanwhile. Cancel or a close ends it: the job then stops before the next file, as it would
// after a pause run to its end, and a closing program is not held up.
void TForm1::PauseFor(unsigned milliseconds)
{
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
    while (!closing_ && !StopRequested) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return;
        platform::WaitPass(static_cast<int>(std::min<long long>(left, PauseWakeMs)));
    }
}

void TForm1::showEvent(QShowEvent* event)
{
    if (!event->spontaneous()) {
        closing_ = false;
        SetJob.NMFTP1->WaitLimit = ftpWaitLimit_;
        FillDefaults();
    }
    QWidget::showEvent(event);
}

// A job never runs on behind a closed window: it is cancelled and its transfer aborted, and
// the settings store saves as on any close.
void TForm1::closeEvent(QCloseEvent* event)
{
    CutShortForClose();
    if (JobRunning()) {
        closing_ = true;
        Cancel();
    }
    event->accept();
}

// Sees every key press before the control that has the focus. A shortcut goes no further, so
// that a field does not also take it as an editing command (Ctrl+D deletes a character, Ctrl+U
// the whole line), except Ctrl+C, which cancels and copies, and copying edits nothing.
bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyRelease) {
        keyEvent_ = nullptr;
        return false;
    }
    if (event->type() != QEvent::KeyPress || !watched->isWidgetType() ||
        static_cast<QWidget*>(watched)->window() != this || KeyAlreadySeen(watched, event))
        return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool shortcut = HandleShortcut(key->key(), key->modifiers());
    // A job started by the key may have handled other keys meanwhile; this one still goes on up.
    keyEvent_ = event;
    keyNext_ = watched->parent();
    return shortcut && key->key() != Qt::Key_C;
}

// Qt hands a key that a control ignores on to its parent: the filter sees that as the same
// event arriving at the parent of the widget that last had it.
bool TForm1::KeyAlreadySeen(QObject* watched, QEvent* event)
{
    const bool seen = event == keyEvent_ && watched == keyNext_;
    keyEvent_ = event;
    keyNext_ = watched->parent();
    return seen;
}

// The platform's message loop runs inside Qt's, which watches its descriptor and its next
// deadline; a wait inside a job runs Qt's events in turn, so the window stays live.
void TForm1::AttachPlatformLoop()
{
    platformNotifier_ = std::make_unique<QSocketNotifier>(platform::BackendFd(), QSocketNotifier::Read);
    connect(platformNotifier_.get(), &QSocketNotifier::activated, this, &TForm1::HostPlatformLoop);
    platformDeadline_ = new QTimer(this);
    platformDeadline_->setSingleShot(true);
    connect(platformDeadline_, &QTimer::timeout, this, &TForm1::HostPlatformLoop);
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &TForm1::ArmPlatformDeadline);
    waitDeadline_ = new QTimer(this);
    waitDeadline_->setSingleShot(true);
    platform::SetToolkitHook([this](int waitMs) { ProcessToolkitEvents(waitMs); });
}

void TForm1::HostPlatformLoop()
{
    if (hostingDepth_ > 0)
        return;
    CountedScope hosting(hostingDepth_);
    platformNotifier_->setEnabled(false);
    platform::ProcessMessages();
    platformNotifier_->setEnabled(true);
}

// A wait inside a job sleeps in Qt's event processing, so that clicks and paints wake it as well
// as the platform's descriptor and deadline. Inside the hosting the notifier is off; the sleep
// turns it on, or a socket event could not wake it.
void TForm1::ProcessToolkitEvents(int waitMs)
{
    if (waitMs == 0) {
        QCoreApplication::processEvents();
        return;
    }
    const bool notifierOn = platformNotifier_->isEnabled();
    platformNotifier_->setEnabled(true);
    if (waitMs > 0)
        waitDeadline_->start(waitMs);
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    waitDeadline_->stop();
    platformNotifier_->setEnabled(notifierOn);
}

void TForm1::ArmPlatformDeadline()
{
    const int timeout = platform::BackendTimeout();
    if (timeout < 0)
        platformDeadline_->stop();
    else
        platformDeadline_->start(timeout);
}
