#include "app/Unit1.h"

#include "app/Headless.h"
#include "app/jpeg.h"
#include "net/NMFtp.h"
#include "net/NMHttp.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "platform/userdirs.h"
#include "ui_Unit1.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QStyle>
#include <QTime>
#include <QTimer>

namespace {

constexpr Qt::WindowFlags WindowFrame = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                        Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                                        Qt::WindowCloseButtonHint;

// The stored properties of the window, in the order the settings file keeps them.
const char* const StoredEntries[] = {
    "Edit1.Text",           "Edit3.Text",           "Edit5.Text",
    "CheckBox1.Checked",    "SpinEdit1.Value",      "RadioButton1.Checked",
    "RadioButton2.Checked", "Edit2.Text",
};

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

int RunWindow(int argc, char** argv, const std::string& settingsFile)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessary"));
    QApplication::setApplicationVersion(QStringLiteral(TESSARY_VERSION));
    TForm1 form(settingsFile);
    form.show();
    return QApplication::exec();
}

TForm1::TForm1(const std::string& settingsFile, QWidget* parent)
    : QWidget(parent, WindowFrame), FormStorage1(std::make_unique<TFormStorage>(this)),
      ui(std::make_unique<Ui::TForm1>())
{
    ui->setupUi(this);
    ui->Label12->setText(QStringLiteral("    "));  // uic drops a caption made of blanks only
    setFixedSize(size());
    SetPictures();
    ui->BitBtn3->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    for (const char* entry : StoredEntries)
        FormStorage1->AddStoredProp(entry);
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);
    ConnectControls();
    AttachPlatformLoop();
    platform::SetExceptionHandler(ShowErrorReport);
    qApp->installEventFilter(this);

    FormCreate(settingsFile);
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
    connect(ui->BitBtn3, &QPushButton::clicked, this, [this] { BitBtn3Click(); });
    connect(ui->Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(ui->Button2, &QPushButton::clicked, this, [this] { RunJob(&TJobForm::Button2Click); });
    connect(ui->Button3, &QPushButton::clicked, this, [this] { RunJob(&TJobForm::Button3Click); });
    connect(ui->Button4, &QPushButton::clicked, this, [this] { RunJob(&TJobForm::Button4Click); });
    connect(ui->RadioButton1, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            RadioButton1Click();
    });
    connect(ui->RadioButton2, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            RadioButton2Click();
    });
    connect(Timer1, &QTimer::timeout, this, &TForm1::Tick);
}

void TForm1::SetPictures()
{
    QLabel* const images[] = {ui->Image1, ui->Image2, ui->Image3};
    for (int i = 0; i < 3; ++i)
        images[i]->setPixmap(QPixmap::fromImage(DecodeJpeg(PanelPictures[i].data, PanelPictures[i].size)));
}

void TForm1::FormCreate(const std::string& settingsFile)
{
    FormStorage1->SetIniFileName(settingsFile.empty() ? DefaultSettingsFile() : settingsFile);
}

void TForm1::FormShow()
{
    if (ui->Edit1->text().isEmpty())
        ui->Edit1->setText(QString::fromStdString(platform::DefaultDestination()));
    setWindowTitle(QString::fromStdString(WindowTitle()));
    ui->DateTimePicker1->setTime(QTime::currentTime());
    MultimediaLockout = false;
    SiteTag = ui->RadioButton1->isChecked() ? SiteTagA : SiteTagB;
}

void TForm1::RadioButton1Click()
{
    ChooseSite(SiteTagA);
}

void TForm1::RadioButton2Click()
{
    ChooseSite(SiteTagB);
}

void TForm1::ChooseSite(const char* siteTag)
{
    ui->Label4->setText(QString::fromStdString(GalleryPrefix(siteTag, "f")));
    ui->Label5->setText(QString::fromStdString(GalleryPrefix(siteTag, "m")));
    SiteTag = siteTag;
}

// The chooser offers existing folders only: no folder can be made, renamed or deleted in it.
void TForm1::BitBtn3Click()
{
    QFileDialog dialog(this, QStringLiteral("フォルダの選択"), ui->Edit1->text());
    dialog.setObjectName(QStringLiteral("FolderChooser"));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::ReadOnly);
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        ui->Edit1->setText(dialog.selectedFiles().constFirst());
}

void TForm1::FormKeyDown(int key, Qt::KeyboardModifiers shift)
{
    if ((shift & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)) != Qt::ControlModifier)
        return;
    switch (key) {
    case Qt::Key_D:
        BitBtn3Click();
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
            RunJob(&TJobForm::Button3Click);
        break;
    case Qt::Key_U:
        if (!JobRunning())
            RunJob(&TJobForm::Button4Click);
        break;
    case Qt::Key_N:
        if (!JobRunning())
            RunJob(&TJobForm::Button2Click);
        break;
    case Qt::Key_P:
        ui->CheckBox1->toggle();
        break;
    case Qt::Key_C:
        Button1Click();
        break;
    default:
        break;
    }
}

void TForm1::RunJob(void (TJobForm::*handler)())
{
    try {
        CountedScope running(jobDepth_);
        (this->*handler)();
    } catch (const std::exception& error) {
        // After the window has been closed, an error of the aborted transfer is no news.
        if (!closing_)
            platform::HandleApplicationException(error);
    }
}

void TForm1::AbortTransfers()
{
    NMHTTP1->Abort();
    NMFTP1->Abort();
}

void TForm1::Tick()
{
    Timer1Timer();
    // A transfer begun after the window was closed is cut short too.
    if (closing_ && JobRunning())
        AbortTransfers();
}

void TForm1::AppendLog(const std::string& line)
{
    ui->Memo1->appendPlainText(QString::fromStdString(line));
}

void TForm1::ClearLog()
{
    ui->Memo1->clear();
}

void TForm1::SetStatusText(const std::string& text)
{
    ui->Label12->setText(QString::fromStdString(text));
}

std::string TForm1::DestinationText()
{
    return ui->Edit1->text().toStdString();
}

std::string TForm1::FolderIdText()
{
    return ui->Edit3->text().toStdString();
}

std::string TForm1::MemberText()
{
    return ui->Edit5->text().toStdString();
}

std::string TForm1::SetNumberText()
{
    return ui->Edit2->text().toStdString();
}

bool TForm1::PauseChecked()
{
    return ui->CheckBox1->isChecked();
}

std::string TForm1::PauseText()
{
    return ui->SpinEdit1->cleanText().toStdString();
}

void TForm1::SetJobRunning(bool running)
{
    ui->Button1->setEnabled(running);
    ui->Button2->setEnabled(!running);
    ui->Button3->setEnabled(!running);
    ui->Button4->setEnabled(!running);
}

void TForm1::ShowClock(const std::string& timeText)
{
    ui->Label10->setText(QString::fromStdString(timeText));
}

// Once the window is closed the program is ending: a pause would only hold it up.
void TForm1::PauseFor(unsigned milliseconds)
{
    if (!closing_)
        TJobForm::PauseFor(milliseconds);
}

void TForm1::showEvent(QShowEvent* event)
{
    if (!event->spontaneous()) {
        closing_ = false;
        FormShow();
    }
    QWidget::showEvent(event);
}

// A job never runs on behind a closed window: it is cancelled and its transfer aborted, and
// the settings store saves as on any close.
void TForm1::closeEvent(QCloseEvent* event)
{
    if (JobRunning()) {
        closing_ = true;
        Button1Click();
        AbortTransfers();
    }
    event->accept();
}

// Sees every key press before the control that has the focus (the key is not consumed).
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
    FormKeyDown(key->key(), key->modifiers());
    // A job started by the key may have handled other keys meanwhile; this one still goes on up.
    keyEvent_ = event;
    keyNext_ = watched->parent();
    return false;
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
