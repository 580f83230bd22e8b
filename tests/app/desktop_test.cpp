// The window as a desktop user meets it, on the offscreen platform and on an X server without
// and with a window manager: where it comes back after restarts, where focus goes, a pause
// that keeps the window live, and how fast a close ends the program.
#include "AppTest.h"

#include "app/Translator.h"
#include "app/Unit1.h"
#include "fixtures/ScriptedFtpServer.h"
#include "net/NMFtp.h"
#include "net/NMHttp.h"
#include "platform/catalogue.h"
#include "support/loopback.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

extern char** environ;

namespace {

using fixtures::FtpAction;
using fixtures::ScriptedFtpServer;

constexpr const char* ChildScenario = "TESSARY_TEST_CHILD";
// Generous bounds for what the user sees as at once: a loaded machine must not fail them.
constexpr qint64 ActedOnBoundMs = 2000;

std::string Entry(const std::string& name)
{
    return "-rw-r--r--   1 ftp  ftp   5 Mar  3  1999 " + name + "\r\n";
}

// A set of two files; `retr` says how the server sends the first.
void ServeSet(ScriptedFtpServer& server, FtpAction retr = {})
{
    server.SetListing(Entry("8436-01.gif") + Entry("8436-02.gif"));
    server.SetFile("8436-01.gif", "first");
    server.SetFile("8436-02.gif", "secnd");
    server.SetAction("RETR", 1, std::move(retr));
}

// A window for the set job on `server`, saving into `folder`, with the pause on.
std::unique_ptr<TForm1> SetJobWindow(const QString& folder, const ScriptedFtpServer& server, int pauseSeconds)
{
    auto form = std::make_unique<TForm1>((folder + "/Tessary.ini").toStdString());
    form->NMHTTP1->Proxy = "127.0.0.1";
    form->NMHTTP1->ProxyPort = support::FreeLoopbackPort();
    form->Options.FtpHost = "127.0.0.1";
    form->Options.FtpPort = server.Port();
    form->SetJob.NMFTP1->WaitLimit = 10000;  // no test waits for ever
    form->show();
    Control<QLineEdit>(*form, "Edit1")->setText(folder + "/");
    Control<QCheckBox>(*form, "CheckBox1")->setChecked(pauseSeconds > 0);
    Control<QSpinBox>(*form, "SpinEdit1")->setValue(std::max(pauseSeconds, 1));
    return form;
}

bool Logged(const QWidget& form, const QString& line)
{
    return Control<QPlainTextEdit>(form, "Memo1")->toPlainText().split('\n').contains(line);
}

QString Status(const QWidget& form)
{
    return Control<QLabel>(form, "Label12")->text();
}

// The child's part of closingDuringAStalledTransfer: the set job runs until the first file's
// transfer has begun, then the window is closed; the parent times how long the process lives on.
int CloseDuringStalledTransfer(const char* port, const char* folder)
{
    auto form = std::make_unique<TForm1>(std::string(folder) + "/Tessary.ini");
    form->Options.FtpHost = "127.0.0.1";
    form->Options.FtpPort = std::atoi(port);
    form->show();
    Control<QLineEdit>(*form, "Edit1")->setText(QString(folder) + "/");
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, form.get(), [&] {
        if (Logged(*form, "\\scans\\08000\\8436\\8436-01.gif") && Status(*form).startsWith("150")) {
            watch.stop();
            std::puts("closing");
            std::fflush(stdout);
            form->close();
        }
    });
    watch.start(10);
    QTimer::singleShot(0, form.get(), [&] { QTest::mouseClick(Control<QPushButton>(*form, "Button2"), Qt::LeftButton); });
    QTimer::singleShot(30000, qApp, &QCoreApplication::quit);
    return QApplication::exec();
}

// The child's part of textsAndFrameFit: the window in the language and at the dots per inch of
// its environment, shown with its frame. What does not fit goes to stdout: a text wider or
// taller than its control (a push button's between its bevel's margins, beside its icon), the
// clock too narrow for an hour of the day, the frame off the screen.
int ShowWhatDoesNotFit(const char* folder)
{
    platform::UseUserLanguage();
    InstallTranslators(*qApp);
    TForm1 form(std::string(folder) + "/Tessary.ini");
    form.show();
    QWindow* window = form.windowHandle();
    QStringList problems;
    if (!QTest::qWaitFor([&] { return DisplayMode() != "openbox" || window->frameGeometry() != window->geometry(); }, 10000))
        problems << "no frame";
    const auto fits = [&problems](const QWidget* control, QString text, int margins) {
        text.remove('&');
        const QSize room = control->contentsRect().size();
        const QFontMetrics metrics = control->fontMetrics();
        if (metrics.horizontalAdvance(text) + margins > room.width() || metrics.height() > room.height())
            problems << control->objectName() + " '" + text + "'";
    };
    for (const QLabel* label : form.findChildren<QLabel*>())
        fits(label, label->text(), 0);
    for (const QAbstractButton* button : form.findChildren<QAbstractButton*>()) {
        const int text = button->fontMetrics().horizontalAdvance(QString(button->text()).remove('&'));
        const int icon = button->icon().isNull() ? 0 : button->iconSize().width() + 4;
        const int margins = 2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin) + icon;
        fits(button, button->text(), qobject_cast<const QPushButton*>(button) ? margins : button->sizeHint().width() - text);
    }
    for (int hour = 0; hour < 24; ++hour) {
        std::tm time{};
        time.tm_hour = hour;
        time.tm_min = time.tm_sec = 58;
        char text[64];
        static_cast<TJobHost&>(form).ShowClock(std::string(text, std::strftime(text, sizeof text, "%X", &time)));
        fits(Control<QLabel>(form, "Label10"), Control<QLabel>(form, "Label10")->text(), 0);
    }
    if (!form.screen()->availableGeometry().contains(window->frameGeometry()))
        problems << QStringLiteral("frame off the screen, bottom at %1").arg(window->frameGeometry().bottom());
    std::puts(qPrintable(problems.join('\n')));
    return problems.isEmpty() ? 0 : 1;
}

// Reads lines of `fd` until one equals `line`; false when `boundMs` passes first.
bool ReadUntilLine(int fd, const std::string& line, int boundMs)
{
    std::string text;
    QElapsedTimer clock;
    clock.start();
    pollfd wait{fd, POLLIN, 0};
    while (clock.elapsed() < boundMs && text.find(line + "\n") == std::string::npos) {
        char buffer[256];
        if (::poll(&wait, 1, 50) == 1) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            text.append(buffer, static_cast<size_t>(n));
        }
    }
    return text.find(line + "\n") != std::string::npos;
}

// Waits for `pid` to end; how long that took, or -1 when `boundMs` passed (it is killed then).
qint64 MsUntilGone(pid_t pid, int boundMs)
{
    QElapsedTimer clock;
    clock.start();
    while (::waitpid(pid, nullptr, WNOHANG) == 0) {
        if (clock.elapsed() > boundMs) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return -1;
        }
        ::usleep(5000);
    }
    return clock.elapsed();
}

}  // namespace

std::optional<int> RunChildScenario()
{
    const char* scenario = std::getenv(ChildScenario);
    if (scenario == nullptr)
        return std::nullopt;
    const char* port = std::getenv("TESSARY_TEST_PORT");
    const char* folder = std::getenv("TESSARY_TEST_FOLDER");
    if (folder == nullptr)
        return 2;
    if (std::string(scenario) == "fit")
        return ShowWhatDoesNotFit(folder);
    if (std::string(scenario) != "close-stalled-ftp" || port == nullptr)
        return 2;
    return CloseDuringStalledTransfer(port, folder);
}

class DesktopTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;

    std::string Settings() const { return dir_->filePath(QStringLiteral("Tessary.ini")).toStdString(); }

    // The frame as the window system has it (the widget's own copy can lag behind).
    static QRect Frame(const TForm1& form) { return form.windowHandle()->frameGeometry(); }

    // Shown, with a window manager framed (a frame still being built need not surround the
    // window), and with the whole frame on the screen's usable area, where the guard puts it.
    static bool Placed(TForm1& form, const QRect& usable)
    {
        if (!QTest::qWaitForWindowExposed(&form, 10000))
            return false;
        const auto placed = [&] {
            const QRect window = form.windowHandle()->geometry();
            const bool framed = Frame(form) != window && Frame(form).contains(window);
            return (framed || DisplayMode() != "openbox") && usable.contains(Frame(form));
        };
        return QTest::qWaitFor(placed, 10000);
    }

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
    }

    void cleanup() { dir_.reset(); }

    // The window comes back where it was closed, over three restarts; one stored partly off the
    // screen, as a larger font at the same place leaves it, comes back moved against the edge
    // it crossed, whole and no further.
    void placementOverRestarts_data()
    {
        QTest::addColumn<QPoint>("stored");
        QTest::addColumn<int>("edge");  // 0: kept as stored
        QTest::newRow("on the screen") << QPoint(57, 31) << 0;
        QTest::newRow("title bar above the screen") << QPoint(60, -15) << int(Qt::TopEdge);
        QTest::newRow("off to the right") << QPoint(600, 31) << int(Qt::RightEdge);
        QTest::newRow("below the bottom") << QPoint(57, 500) << int(Qt::BottomEdge);
        QTest::newRow("left of the screen") << QPoint(-100, 31) << int(Qt::LeftEdge);
    }

    void placementOverRestarts()
    {
        QFETCH(QPoint, stored);
        QFETCH(int, edge);
        const QString position =
            QStringLiteral("%1,%2,%3,%4").arg(stored.x()).arg(stored.y()).arg(stored.x() + 483).arg(stored.y() + 636);
        WriteSettings(Settings(), {"PixelsPerInch=" + std::to_string(ScreenPixelsPerInch()), "NormPos=" + position.toStdString()});
        const QRect usable = QGuiApplication::primaryScreen()->availableGeometry();
        QPoint first;
        QRect frame;
        for (int start = 1; start <= 3; ++start) {
            auto form = std::make_unique<TForm1>(Settings());
            form->show();
            QVERIFY(Placed(*form, usable));
            const QPoint placed = form->geometry().topLeft();
            if (start == 1) {
                first = placed;
                frame = Frame(*form);
            }
            QCOMPARE(placed, first);
            QVERIFY(form->close());
        }
        const bool across = edge == Qt::LeftEdge || edge == Qt::RightEdge;
        QCOMPARE(across ? first.y() : first.x(), across ? stored.y() : stored.x());
        const QMap<int, bool> against = {{0, first == stored},
                                         {Qt::TopEdge, frame.top() == usable.top()},
                                         {Qt::RightEdge, frame.right() == usable.right()},
                                         {Qt::BottomEdge, frame.bottom() == usable.bottom()},
                                         {Qt::LeftEdge, frame.left() == usable.left()}};
        QVERIFY(against.value(edge));
    }

    // A clicked start button that goes grey leaves the focus on a button, never in a field
    // with all its text selected, where the next key would replace it.
    void focusStaysOffTheFieldsWhenButtonsGoGrey()
    {
        ScriptedFtpServer server;
        auto form = SetJobWindow(dir_->path(), server, 0);
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get(), 5000));
        Control<QLineEdit>(*form, "Edit2")->setText(QStringLiteral("12"));  // refused at once
        QPushButton* start = Control<QPushButton>(*form, "Button2");
        start->setFocus();
        QTest::mouseClick(start, Qt::LeftButton);
        QVERIFY(Logged(*form, "I can't download sets that have less than 3 digits, download stopped."));
        QVERIFY(qobject_cast<QPushButton*>(QApplication::focusWidget()));
        for (const char* name : {"Edit2", "Edit3", "Edit5"})
            QVERIFY2(!Control<QLineEdit>(*form, name)->hasSelectedText(), name);
        form->close();
    }

    // In a 10 s pause the clock ticks and the controls act; Cancel ends the job before the
    // next file, and a start shortcut stays ignored.
    void cancelDuringAPause()
    {
        ScriptedFtpServer server;
        ServeSet(server);
        auto form = SetJobWindow(dir_->path(), server, 10);
        QLabel* clock = Control<QLabel>(*form, "Label10");
        QLineEdit* folderId = Control<QLineEdit>(*form, "Edit3");
        QElapsedTimer sinceCancel;
        QString clockInPause;
        QTimer watch;
        connect(&watch, &QTimer::timeout, form.get(), [&] {
            if (Status(*form) != "Sleeping for 10 seconds . . .")
                return;
            if (clockInPause.isEmpty()) {
                clock->clear();
                clockInPause = QStringLiteral("waiting for a tick");
                return;
            }
            if (clock->text().isEmpty())
                return;
            watch.stop();
            clockInPause = clock->text();
            folderId->setFocus();
            QTest::keyClick(folderId, Qt::Key_I, Qt::ControlModifier);
            sinceCancel.start();
            QTest::mouseClick(Control<QPushButton>(*form, "Button1"), Qt::LeftButton);
        });
        watch.start(10);
        QTest::mouseClick(Control<QPushButton>(*form, "Button2"), Qt::LeftButton);

        QVERIFY(sinceCancel.isValid());
        QVERIFY2(sinceCancel.elapsed() < ActedOnBoundMs, qPrintable(QString::number(sinceCancel.elapsed())));
        QVERIFY(!clockInPause.isEmpty());
        QVERIFY(Logged(*form, "Cancel button pressed, download stopped."));
        QCOMPARE(folderId->text(), QStringLiteral("77154"));
        int retrs = 0;
        for (const std::string& command : server.Commands())
            retrs += command.rfind("RETR", 0) == 0;
        QCOMPARE(retrs, 1);
        form->close();
    }

    // Cancel while a file comes in: the status line says the job waits for it, no button is
    // offered until the job has ended, and then the start buttons are.
    void cancelSaysWhatTheJobWaitsFor()
    {
        ScriptedFtpServer server;
        FtpAction slowly;
        slowly.chunk = 1;
        slowly.chunkGap = std::chrono::milliseconds(100);
        ServeSet(server, slowly);
        auto form = SetJobWindow(dir_->path(), server, 0);
        const auto offered = [&form] {
            QString names;
            for (const char* name : {"Button1", "Button2", "Button3", "Button4"})
                names += Control<QPushButton>(*form, name)->isEnabled() ? name : "";
            return names;
        };
        QString stopping;
        QStringList offeredWhileStopping;
        QTimer watch;
        connect(&watch, &QTimer::timeout, form.get(), [&] {
            if (stopping.isEmpty() && Logged(*form, "\\scans\\08000\\8436\\8436-01.gif") && Status(*form).startsWith("150")) {
                QTest::mouseClick(Control<QPushButton>(*form, "Button1"), Qt::LeftButton);
                stopping = Status(*form);
            }
            if (!stopping.isEmpty() && form->JobRunning())
                offeredWhileStopping << offered();
        });
        watch.start(10);
        QTest::mouseClick(Control<QPushButton>(*form, "Button2"), Qt::LeftButton);

        QCOMPARE(stopping, QStringLiteral("Stopping: waiting for 8436-01.gif to finish"));
        QVERIFY(!offeredWhileStopping.isEmpty());
        QCOMPARE(offeredWhileStopping.join(""), QString());
        QCOMPARE(offered(), QStringLiteral("Button2Button3Button4"));
        QVERIFY(Status(*form).startsWith("Job cancelled: 1 fetched"));
        form->close();
    }

    void closeDuringAPause()
    {
        ScriptedFtpServer server;
        ServeSet(server);
        auto form = SetJobWindow(dir_->path(), server, 10);
        QElapsedTimer sinceClose;
        QTimer watch;
        connect(&watch, &QTimer::timeout, form.get(), [&] {
            if (Status(*form) == "Sleeping for 10 seconds . . .") {
                watch.stop();
                sinceClose.start();
                form->close();
            }
        });
        watch.start(10);
        QTest::mouseClick(Control<QPushButton>(*form, "Button2"), Qt::LeftButton);

        QVERIFY(sinceClose.isValid());
        QVERIFY2(sinceClose.elapsed() < ActedOnBoundMs, qPrintable(QString::number(sinceClose.elapsed())));
        QVERIFY(!form->isVisible());
        QVERIFY(!form->JobRunning());
        QCOMPARE(SectionEntries(Settings()).size(), size_t(17));
    }

    // Every text fits its control, the clock fits every time of day and the frame fits the
    // screen (1024x768 on the X server), in English and Japanese, at 96 and 120 dots per inch,
    // with Qt scaling the window or with the fonts grown. In a child, as the language holds
    // for a whole program; the locales are made for it, so that the clock is written as they write it.
    void textsAndFrameFit_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("dpi");
        QTest::addColumn<QString>("qtScaling");
        for (const char* locale : {"en_US", "ja_JP"}) {
            const QString name = QString::fromLatin1(locale);
            QTest::newRow(qPrintable(name + " 96 dpi")) << name << "96" << "1";
            QTest::newRow(qPrintable(name + " 120 dpi scaled by Qt")) << name << "120" << "1";
            QTest::newRow(qPrintable(name + " 120 dpi fonts")) << name << "120" << "0";
        }
    }

    void textsAndFrameFit()
    {
        QFETCH(QString, locale);
        QFETCH(QString, dpi);
        QFETCH(QString, qtScaling);
        static const QTemporaryDir locales;
        QProcess localedef;
        if (!QFileInfo::exists(locales.filePath(locale + ".UTF-8")))
            localedef.start(QStringLiteral("localedef"), {"-i", locale, "-f", "UTF-8", locales.filePath(locale + ".UTF-8")});
        if (localedef.waitForFinished(30000) && localedef.exitCode() != 0)
            qWarning("localedef made no %s locale: the clock is tried in the C locale's format", qPrintable(locale));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LC_TIME", "LANGUAGE"})
            environment.remove(QString::fromLatin1(name));
        for (const auto& [name, value] : {std::pair<const char*, QString>{"LANG", locale + ".UTF-8"}, {"LOCPATH", locales.path()},
                                          {"QT_FONT_DPI", dpi}, {"QT_ENABLE_HIGHDPI_SCALING", qtScaling},
                                          {ChildScenario, "fit"}, {"TESSARY_TEST_FOLDER", dir_->path()}})
            environment.insert(QString::fromLatin1(name), value);
        QProcess child;
        child.setProcessEnvironment(environment);
        child.start(QStringLiteral("/proc/self/exe"), {});
        QVERIFY(child.waitForFinished(30000));
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, child.readAllStandardOutput().constData());
    }

    // The program of a window closed while the server holds a transfer silent is gone soon
    // after, whatever the server does with the good-bye.
    void closingDuringAStalledTransfer()
    {
        ScriptedFtpServer server;
        FtpAction stalled;
        stalled.stallAfter = 2;
        stalled.finalReply = "";  // nothing more on the control connection either
        ServeSet(server, stalled);
        server.SetAction("QUIT", 0, FtpAction::Stall());
        int out[2];
        QCOMPARE(::pipe2(out, O_CLOEXEC), 0);
        const std::string port = std::to_string(server.Port());
        const std::string folder = dir_->path().toStdString();
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::setenv(ChildScenario, "close-stalled-ftp", 1);
            ::setenv("TESSARY_TEST_PORT", port.c_str(), 1);
            ::setenv("TESSARY_TEST_FOLDER", folder.c_str(), 1);
            const char* self = "/proc/self/exe";
            ::execl(self, self, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        QVERIFY(pid > 0);
        const bool closed = ReadUntilLine(out[0], "closing", 20000);
        ::close(out[0]);
        const qint64 gone = MsUntilGone(pid, 10000);
        QVERIFY(closed);
        QVERIFY2(gone >= 0 && gone < ActedOnBoundMs, qPrintable(QString::number(gone)));
    }
};

static RegisterAppTest<DesktopTest, true> registerDesktopTest;

#include "desktop_test.moc"
