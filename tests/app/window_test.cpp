// The main window: its controls as designed, the host selection, the keyboard shortcuts, the
// button states of the jobs and the clock.
#include "AppTest.h"

#include "app/Unit1.h"
#include "app/jpeg.h"
#include "fixtures/ScriptedServer.h"
#include "net/NMHttp.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "platform/winsock.h"
#include "support/loopback.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QEventLoop>
#include <QFileDialog>
#include <QFontInfo>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QSet>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeEdit>
#include <QRegularExpression>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <filesystem>
#include <thread>

namespace {

using fixtures::Ms;

const QString HostA = QStringLiteral("fotoarchive");
const QString HostB = QStringLiteral("pixhaven");

QString Prefix(const QString& tag, const QString& key)
{
    return "http://www." + tag + ".com/cgi-bin/gallery.cgi?" + key + "=";
}

QString TextOf(const QWidget& form, const char* name)
{
    const QWidget* control = Control<QWidget>(form, name);
    return control ? control->property("text").toString() : QStringLiteral("<missing>");
}

// Every gallery request goes to loopback: a job started by mistake cannot leave the machine.
void KeepOnLoopback(TForm1& form, std::uint16_t httpProxyPort = support::FreeLoopbackPort())
{
    form.NMHTTP1->Proxy = "127.0.0.1";
    form.NMHTTP1->ProxyPort = httpProxyPort;
    form.Options.FtpHost = "127.0.0.1";
    form.Options.FtpPort = support::FreeLoopbackPort();
}

struct ButtonStates {
    bool cancel;
    bool set;
    bool folderId;
    bool member;
};

ButtonStates StatesOf(const QWidget& form)
{
    return {Control<QPushButton>(form, "Button1")->isEnabled(), Control<QPushButton>(form, "Button2")->isEnabled(),
            Control<QPushButton>(form, "Button3")->isEnabled(), Control<QPushButton>(form, "Button4")->isEnabled()};
}

bool Idle(const ButtonStates& s)
{
    return !s.cancel && s.set && s.folderId && s.member;
}

// Runs a Qt event loop, as the program's main loop does, until `done` holds or 5 s have passed.
bool RunLoopUntil(const std::function<bool()>& done)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    check.start(5);
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

bool Running(const ButtonStates& s)
{
    return s.cancel && !s.set && !s.folderId && !s.member;
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;

    std::string Path(const std::string& name) const { return dir_->filePath(QString::fromStdString(name)).toStdString(); }

    std::unique_ptr<TForm1> MakeForm()
    {
        auto form = std::make_unique<TForm1>(Path("Tessary.ini"));
        KeepOnLoopback(*form);
        return form;
    }

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
    }

    void cleanup() { dir_.reset(); }

    void controlKindsAndCaptions_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("caption");
        const auto row = [](const char* name, const char* kind, const QString& caption) {
            QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(kind) << caption;
        };
        row("Label6", "QLabel", "保存先フォルダ");
        row("BitBtn3", "QPushButton", "&Dir");
        row("CheckBox1", "QCheckBox", "ダウンロード毎に一時停止(&P)");
        row("Label8", "QLabel", "秒毎に停止");
        row("CheckBox2", "QCheckBox", "後に実行開始");
        row("Label11", "QLabel", "開始時間");
        row("Label9", "QLabel", "現在時刻:");
        row("Label14", "QLabel", "対象ホスト選択");
        row("RadioButton1", "QRadioButton", "&" + HostA + ".com");
        row("Label13", "QLabel", "or");
        row("RadioButton2", "QRadioButton", "&" + HostB + ".com");
        row("Button1", "QPushButton", "ｷｬﾝｾﾙ(&C)");
        row("Label3", "QLabel", "取得元ディレクトリ");
        row("Label4", "QLabel", Prefix(HostA, "f"));
        row("Button3", "QPushButton", "&IDから");
        row("Label7", "QLabel", "OR");
        row("Label19", "QLabel", "OR");
        row("Label5", "QLabel", Prefix(HostA, "m"));
        row("Button4", "QPushButton", "&Userから");
        row("Label17", "QLabel", "セットインストのダウンロード元");
        row("Label15", "QLabel", "http://www.setscans.org");
        row("Label18", "QLabel", "セット番号");
        row("Button2", "QPushButton", "I&nst取得...");
        row("Label12", "QLabel", "    ");
        row("Edit1", "QLineEdit", "");
        row("Edit3", "QLineEdit", "77154");
        row("Edit5", "QLineEdit", "tessa");
        row("Edit2", "QLineEdit", "8436");
    }

    void controlKindsAndCaptions()
    {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QString, caption);
        const auto form = MakeForm();
        const QWidget* control = form->findChild<QWidget*>(name);
        QVERIFY2(control, qPrintable(name));
        QCOMPARE(QString::fromLatin1(control->metaObject()->className()), kind);
        QCOMPARE(control->property("text").toString(), caption);
    }

    void otherControlsAsDesigned()
    {
        const auto form = MakeForm();
        // Typing stops at five characters; a longer set number from the settings is kept whole.
        QLineEdit* setNumber = Control<QLineEdit>(*form, "Edit2");
        setNumber->clear();
        QTest::keyClicks(setNumber, QStringLiteral("123456"));
        QCOMPARE(setNumber->text(), QStringLiteral("12345"));
        setNumber->setText(QStringLiteral("123456"));
        QCOMPARE(setNumber->text(), QStringLiteral("123456"));
        QCOMPARE(Control<QPushButton>(*form, "BitBtn3")->toolTip(), QStringLiteral("Inventory保存"));
        QVERIFY(!Control<QPushButton>(*form, "BitBtn3")->icon().isNull());
        const QSpinBox* spin = Control<QSpinBox>(*form, "SpinEdit1");
        QVERIFY(spin);
        QCOMPARE(spin->value(), 4);
        QCOMPARE(spin->minimum(), 1);
        QCOMPARE(spin->maximum(), 15);
        QVERIFY(!Control<QCheckBox>(*form, "CheckBox1")->isChecked());
        QVERIFY(!Control<QCheckBox>(*form, "CheckBox2")->isChecked());
        QVERIFY(Control<QRadioButton>(*form, "RadioButton1")->isChecked());
        QVERIFY(!Control<QRadioButton>(*form, "RadioButton2")->isChecked());
        QVERIFY(Control<QTimeEdit>(*form, "DateTimePicker1"));
        const QPlainTextEdit* log = Control<QPlainTextEdit>(*form, "Memo1");
        QVERIFY(log);
        QVERIFY(log->toPlainText().isEmpty());
        QCOMPARE(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(log->lineWrapMode(), QPlainTextEdit::WidgetWidth);  // long lines stay readable
        QVERIFY(form->Timer1);
        QCOMPARE(form->Timer1->objectName(), QStringLiteral("Timer1"));
        QCOMPARE(form->Timer1->interval(), 1000);
        QVERIFY(form->Timer1->isActive());
        QCOMPARE(form->NMHTTP1->ReportLevel, 0);
        QVERIFY(form->NMHTTP1->InputFileMode);
    }

    void enabledStatesAtStart()
    {
        const auto form = MakeForm();
        QVERIFY(Idle(StatesOf(*form)));
        QVERIFY(!form->StopRequested);
        QVERIFY(!form->JobRunning());
        for (const char* name : {"Edit1", "CheckBox2", "DateTimePicker1"})
            QVERIFY2(!Control<QWidget>(*form, name)->isEnabled(), name);
        for (const char* name : {"Edit2", "Edit3", "Edit5", "CheckBox1", "SpinEdit1", "RadioButton1", "RadioButton2", "BitBtn3"})
            QVERIFY2(Control<QWidget>(*form, name)->isEnabled(), name);
    }

    void fixedFrameAndRaisedPanels()
    {
        const auto form = MakeForm();
        QCOMPARE(form->size(), QSize(483, 636));
        QCOMPARE(form->minimumSize(), QSize(483, 636));
        QCOMPARE(form->maximumSize(), QSize(483, 636));
        const Qt::WindowFlags flags = form->windowFlags();
        QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
        QVERIFY(flags.testFlag(Qt::WindowSystemMenuHint));
        // The stored colour value holds red, green and blue from the low byte up.
        const int value = TForm1::PanelColor;
        const QColor panelColour(value & 0xFF, (value >> 8) & 0xFF, (value >> 16) & 0xFF);
        QCOMPARE(panelColour, QColor(193, 193, 193));
        int lastBottom = -1;
        for (const char* name : {"Panel1", "Panel2", "Panel3", "Panel4"}) {
            const QFrame* panel = Control<QFrame>(*form, name);
            QVERIFY2(panel, name);
            QCOMPARE(panel->frameShadow(), QFrame::Raised);
            QVERIFY(panel->autoFillBackground());
            QCOMPARE(panel->palette().color(QPalette::Window), panelColour);
            QVERIFY2(panel->y() > lastBottom, name);
            lastBottom = panel->geometry().bottom();
        }
        QVERIFY(Control<QLabel>(*form, "Label12")->y() > lastBottom);
        QCOMPARE(Control<QWidget>(*form, "Memo1")->parentWidget(), Control<QWidget>(*form, "Panel4"));
        QCOMPARE(Control<QWidget>(*form, "Label7")->palette().color(QPalette::WindowText), QColor(Qt::red));
        QVERIFY(Control<QWidget>(*form, "Label7")->font().bold());
    }

    void panelPicturesDecodedFromJpeg()
    {
        const auto form = MakeForm();
        for (int i = 0; i < 3; ++i) {
            const std::string image = "Image" + std::to_string(i + 1);
            const std::string panel = "Panel" + std::to_string(i + 1);
            const QLabel* label = Control<QLabel>(*form, image.c_str());
            QVERIFY2(label, image.c_str());
            QCOMPARE(label->parentWidget(), Control<QWidget>(*form, panel.c_str()));
            QVERIFY(label->x() < 10 && label->y() < 10);
            const QImage shown = label->pixmap().toImage();
            QCOMPARE(shown.size(), QSize(44, 44));
            QCOMPARE(shown.convertToFormat(QImage::Format_RGB32),
                     DecodeJpeg(PanelPictures[i].data, PanelPictures[i].size));
            QSet<QRgb> colours;
            for (int y = 0; y < 44; y += 3)
                for (int x = 0; x < 44; x += 3)
                    colours.insert(shown.pixel(x, y));
            QVERIFY2(colours.size() > 8, "a drawing, not a plain tile");
        }
    }

    void jpegDecoderRefusesWhatIsNoPicture()
    {
        const PanelPicture& picture = PanelPictures[0];
        QVERIFY(DecodeJpeg(nullptr, 0).isNull());
        const unsigned char garbage[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
        QVERIFY(DecodeJpeg(garbage, sizeof garbage).isNull());
        QVERIFY(DecodeJpeg(picture.data, 2).isNull());  // the start marker and nothing else
        QCOMPARE(DecodeJpeg(picture.data, picture.size).size(), QSize(44, 44));
    }

    void japaneseCaptionsUseAJapaneseFont()
    {
        const auto form = MakeForm();
        for (const char* name : {"Label6", "CheckBox1", "Label8", "CheckBox2", "Label11", "Label9", "Label14",
                                 "Button1", "Label3", "Button3", "Button4", "Label17", "Label18", "Button2"}) {
            const QFontInfo info(Control<QWidget>(*form, name)->font());
            QVERIFY2(info.family().contains(QStringLiteral("IPA")), qPrintable(QString(name) + ": " + info.family()));
        }
    }

    void showFillsDestinationTitleAndSiteTag()
    {
        const auto form = MakeForm();
        QVERIFY(TextOf(*form, "Edit1").isEmpty());
        form->MultimediaLockout = true;
        form->show();
        QCOMPARE(TextOf(*form, "Edit1"), QString::fromStdString(platform::ProgramFolder()));
        QCOMPARE(form->windowTitle(), QStringLiteral("Tessary              V.") + TESSARY_VERSION +
                                          QStringLiteral("    by the Tessary team"));
        QVERIFY(!form->MultimediaLockout);
        QCOMPARE(QString::fromStdString(form->SiteTag), HostA);
        QVERIFY(Control<QTimeEdit>(*form, "DateTimePicker1")->time().isValid());
        form->close();
    }

    void hostRelabelledByClick()
    {
        const auto form = MakeForm();
        form->show();
        QTest::mouseClick(Control<QRadioButton>(*form, "RadioButton2"), Qt::LeftButton);
        QVERIFY(!Control<QRadioButton>(*form, "RadioButton1")->isChecked());
        QCOMPARE(TextOf(*form, "Label4"), Prefix(HostB, "f"));
        QCOMPARE(TextOf(*form, "Label5"), Prefix(HostB, "m"));
        QCOMPARE(QString::fromStdString(form->SiteTag), HostB);
        QTest::mouseClick(Control<QRadioButton>(*form, "RadioButton1"), Qt::LeftButton);
        QCOMPARE(TextOf(*form, "Label4"), Prefix(HostA, "f"));
        QCOMPARE(TextOf(*form, "Label5"), Prefix(HostA, "m"));
        QCOMPARE(QString::fromStdString(form->SiteTag), HostA);
        form->close();
    }

    // Keys go to the focused entry field, as typing does; each row is tried in every entry field
    // with its cursor inside the text, from a fresh window each time. A shortcut never edits.
    void shortcuts_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<bool>("startOnHostB");
        QTest::addColumn<QString>("siteTag");
        QTest::addColumn<bool>("pause");
        QTest::addColumn<bool>("stopRequested");
        QTest::addColumn<int>("choosers");
        const int ctrl = Qt::ControlModifier;
        const int shift = Qt::ShiftModifier;
        const int alt = Qt::AltModifier;
        QTest::newRow("Ctrl+D opens the folder chooser") << int(Qt::Key_D) << ctrl << false << HostA << false << false << 1;
        QTest::newRow("Ctrl+M selects host B") << int(Qt::Key_M) << ctrl << false << HostB << false << false << 0;
        QTest::newRow("Ctrl+B selects host A") << int(Qt::Key_B) << ctrl << true << HostA << false << false << 0;
        QTest::newRow("Ctrl+P toggles the pause once") << int(Qt::Key_P) << ctrl << false << HostA << true << false << 0;
        QTest::newRow("Ctrl+C cancels") << int(Qt::Key_C) << ctrl << false << HostA << false << true << 0;
        QTest::newRow("Ctrl+Shift+M does nothing") << int(Qt::Key_M) << (ctrl | shift) << false << HostA << false << false << 0;
        QTest::newRow("Ctrl+Alt+B does nothing") << int(Qt::Key_B) << (ctrl | alt) << true << HostB << false << false << 0;
        QTest::newRow("Ctrl+Shift+P does nothing") << int(Qt::Key_P) << (ctrl | shift) << false << HostA << false << false << 0;
        QTest::newRow("Ctrl+Alt+C does nothing") << int(Qt::Key_C) << (ctrl | alt) << false << HostA << false << false << 0;
        QTest::newRow("Ctrl+Shift+I does nothing") << int(Qt::Key_I) << (ctrl | shift) << false << HostA << false << false << 0;
        QTest::newRow("Ctrl+Alt+U does nothing") << int(Qt::Key_U) << (ctrl | alt) << false << HostA << false << false << 0;
        QTest::newRow("Ctrl+Shift+N does nothing") << int(Qt::Key_N) << (ctrl | shift) << false << HostA << false << false << 0;
        QTest::newRow("M alone does nothing") << int(Qt::Key_M) << 0 << false << HostA << false << false << 0;
        QTest::newRow("Ctrl+Q is no shortcut") << int(Qt::Key_Q) << ctrl << false << HostA << false << false << 0;
    }

    void shortcuts()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(bool, startOnHostB);
        QFETCH(QString, siteTag);
        QFETCH(bool, pause);
        QFETCH(bool, stopRequested);
        QFETCH(int, choosers);
        for (const char* field : {"Edit3", "Edit5", "Edit2"}) {
            std::filesystem::remove(Path("Tessary.ini"));  // what the last window saved
            DialogWatcher watcher;
            const auto form = MakeForm();
            form->show();
            if (startOnHostB)
                Control<QRadioButton>(*form, "RadioButton2")->setChecked(true);
            QLineEdit* entry = Control<QLineEdit>(*form, field);
            entry->setFocus();
            entry->setCursorPosition(2);
            const QString text = entry->text();
            const QString status = TextOf(*form, "Label12");

            QTest::keyClick(entry, Qt::Key(key), Qt::KeyboardModifiers(modifiers));

            if (modifiers == Qt::ControlModifier)  // other keys do what they do in any field
                QCOMPARE(entry->text(), text);
            QCOMPARE(QString::fromStdString(form->SiteTag), siteTag);
            QCOMPARE(Control<QRadioButton>(*form, "RadioButton2")->isChecked(), siteTag == HostB);
            QCOMPARE(Control<QCheckBox>(*form, "CheckBox1")->isChecked(), pause);
            QCOMPARE(form->StopRequested, stopRequested);
            QVERIFY(Idle(StatesOf(*form)));
            QCOMPARE(TextOf(*form, "Label12"), status);  // no job started
            QCOMPARE(watcher.folderChoosers, choosers);
            QVERIFY(watcher.messages.isEmpty());
            form->close();
        }
    }

    void typedKeysStillReachTheFocusedControl()
    {
        const auto form = MakeForm();
        form->show();
        QLineEdit* entry = Control<QLineEdit>(*form, "Edit5");
        entry->setFocus();
        entry->end(false);
        QTest::keyClicks(entry, QStringLiteral("bm"));
        QCOMPARE(entry->text(), QStringLiteral("tessabm"));
        QCOMPARE(QString::fromStdString(form->SiteTag), HostA);
        // Select all, and copy, which is also the cancel shortcut: copying edits nothing.
        QTest::keyClick(entry, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(entry->selectedText(), QStringLiteral("tessabm"));
        QTest::keyClick(entry, Qt::Key_C, Qt::ControlModifier);
        QVERIFY(form->StopRequested);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("tessabm"));
        QLineEdit* other = Control<QLineEdit>(*form, "Edit3");
        other->setFocus();
        other->selectAll();
        QTest::keyClick(other, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(other->text(), QStringLiteral("tessabm"));
        form->close();
    }

    void folderChooserByShortcutAndButton()
    {
        // A typed path that does not exist yet is made, levels and all.
        const std::string chosen = Path("pictures/new");
        DialogWatcher watcher;
        QString shownFolder;
        bool readOnly = false;
        bool canMakeFolders = true;
        bool hasNewFolderButton = false;
        bool foldersOnly = false;
        bool accept = true;
        watcher.onFolderChooser = [&](QFileDialog* chooser) {
            shownFolder = chooser->directory().absolutePath();
            readOnly = chooser->testOption(QFileDialog::ReadOnly);
            const QWidget* newFolder = chooser->findChild<QWidget*>(QStringLiteral("newFolderButton"));
            canMakeFolders = newFolder && newFolder->isEnabled();
            hasNewFolderButton = newFolder != nullptr;
            foldersOnly = chooser->fileMode() == QFileDialog::Directory;
            if (!accept)
                return chooser->reject();
            chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(QString::fromStdString(chosen));
            static_cast<QDialog*>(chooser)->accept();
        };
        const auto form = MakeForm();
        form->show();
        QLineEdit* destination = Control<QLineEdit>(*form, "Edit1");
        destination->setText(dir_->path());
        QTest::keyClick(Control<QWidget>(*form, "Edit3"), Qt::Key_D, Qt::ControlModifier);
        QCOMPARE(watcher.folderChoosers, 1);
        QCOMPARE(shownFolder, dir_->path());
        QVERIFY(!readOnly);
        QVERIFY(hasNewFolderButton);
        QVERIFY(canMakeFolders);
        QVERIFY(foldersOnly);
        QCOMPARE(destination->text(), QString::fromStdString(chosen));
        QVERIFY(std::filesystem::is_directory(chosen));
        QVERIFY(watcher.messages.isEmpty());

        accept = false;
        QTest::mouseClick(Control<QPushButton>(*form, "BitBtn3"), Qt::LeftButton);
        QCOMPARE(watcher.folderChoosers, 2);
        QCOMPARE(shownFolder, QString::fromStdString(chosen));
        QCOMPARE(destination->text(), QString::fromStdString(chosen));
        form->close();
    }

    // Ctrl+I runs the whole folder-ID job; while it waits for the server the buttons show the
    // running state and a second start shortcut is ignored.
    void folderIdJobByShortcut()
    {
        fixtures::ScriptedHttpServer server({fixtures::Reply::Raw("HTTP/1.0 200 OK\r\n\r\n<HTML>\n</HTML>\n")});
        DialogWatcher watcher;
        const auto form = MakeForm();
        KeepOnLoopback(*form, server.Port());
        form->show();
        Control<QLineEdit>(*form, "Edit1")->setText(dir_->path() + "/");
        QLineEdit* entry = Control<QLineEdit>(*form, "Edit3");
        entry->setFocus();
        bool seen = false;
        ButtonStates during{};
        bool runningDuring = false;
        QString statusDuring;
        QString tipDuring;
        QTimer::singleShot(0, form.get(), [&] {
            seen = true;
            during = StatesOf(*form);
            runningDuring = form->JobRunning();
            statusDuring = TextOf(*form, "Label12");
            tipDuring = Control<QLabel>(*form, "Label12")->toolTip();
            for (const char* field : {"Edit3", "Edit5", "Edit2"}) {
                QLineEdit* edit = Control<QLineEdit>(*form, field);
                edit->setFocus();
                edit->setCursorPosition(2);
                for (const Qt::Key key : {Qt::Key_I, Qt::Key_U, Qt::Key_N})
                    QTest::keyClick(edit, key, Qt::ControlModifier);
            }
        });

        QTest::keyClick(entry, Qt::Key_I, Qt::ControlModifier);

        QVERIFY(seen);
        QVERIFY(runningDuring);
        QVERIFY(Running(during));
        // The status texts stay the job's own; the tooltip names the proxy for the whole job.
        const QString proxyLine = QStringLiteral("\nHTTP proxy: 127.0.0.1:%1").arg(server.Port());
        QCOMPARE(statusDuring, QStringLiteral("getting list . . . "));
        QCOMPARE(tipDuring, statusDuring + proxyLine);
        QCOMPARE(entry->text(), QStringLiteral("77154"));
        QCOMPARE(TextOf(*form, "Edit5"), QStringLiteral("tessa"));
        QCOMPARE(TextOf(*form, "Edit2"), QStringLiteral("8436"));
        QVERIFY(watcher.messages.isEmpty());
        QCOMPARE(server.RequestCount(), 1);
        const std::string url = "http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=77154";
        QVERIFY(server.Request(0).rfind("GET " + url + " HTTP/1.0\r\n", 0) == 0);
        QVERIFY(Control<QPlainTextEdit>(*form, "Memo1")->toPlainText().split('\n').contains(QString::fromStdString(url)));
        QVERIFY(TextOf(*form, "Label12").startsWith(QStringLiteral("Job stopped, user directory not found: ")));
        QVERIFY(Control<QLabel>(*form, "Label12")->toolTip().endsWith(proxyLine));
        QVERIFY(Idle(StatesOf(*form)));
        QVERIFY(form->StopRequested);
        QVERIFY(!form->JobRunning());
        QVERIFY(!std::filesystem::exists(Path("77154.html")));
        form->close();
    }

    // By button, and by Ctrl+U from the member field, which keeps its text; the clicked button
    // that goes grey hands the focus to a button, not to a field.
    void memberJobsByButtonAndShortcut()
    {
        const fixtures::Reply page = fixtures::Reply::Raw("HTTP/1.0 200 OK\r\n\r\n<HTML>\n</HTML>\n");
        fixtures::ScriptedHttpServer server({page, page});
        const auto form = MakeForm();
        KeepOnLoopback(*form, server.Port());
        form->show();
        Control<QLineEdit>(*form, "Edit1")->setText(dir_->path() + "/");
        QTest::mouseClick(Control<QRadioButton>(*form, "RadioButton2"), Qt::LeftButton);
        QPushButton* start = Control<QPushButton>(*form, "Button4");
        start->setFocus();
        QTest::mouseClick(start, Qt::LeftButton);
        QCOMPARE(server.RequestCount(), 1);
        QVERIFY(server.Request(0).rfind("GET http://www.pixhaven.com/cgi-bin/gallery.cgi?m=tessa HTTP/1.0\r\n", 0) == 0);
        QVERIFY(Idle(StatesOf(*form)));
        QVERIFY(form->StopRequested);
        QVERIFY(qobject_cast<QPushButton*>(form->focusWidget()));

        QLineEdit* member = Control<QLineEdit>(*form, "Edit5");
        member->setFocus();
        member->setCursorPosition(2);
        QTest::keyClick(member, Qt::Key_U, Qt::ControlModifier);
        QCOMPARE(server.RequestCount(), 2);
        QCOMPARE(member->text(), QStringLiteral("tessa"));
        form->close();
    }

    // Reply lines keep their CR LF; the status line shows one line, the tooltip all of them.
    void statusLineShowsOneLine_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("tip");
        QTest::newRow("reply with CR LF") << "150 Opening BINARY mode data connection\r\n"
                                          << "150 Opening BINARY mode data connection"
                                          << "150 Opening BINARY mode data connection";
        QTest::newRow("empty first line") << "\r\n221 Goodbye\r\n" << "221 Goodbye" << "221 Goodbye";
        QTest::newRow("two lines") << "230-Welcome\r\n230 Logged in\r\n" << "230-Welcome" << "230-Welcome\n230 Logged in";
        QTest::newRow("one line") << "Sleeping for 4 seconds . . ." << "Sleeping for 4 seconds . . ."
                                  << "Sleeping for 4 seconds . . .";
    }

    void statusLineShowsOneLine()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QFETCH(QString, tip);
        const auto form = MakeForm();
        static_cast<TJobHost&>(*form).SetStatusText(text.toStdString());
        QCOMPARE(TextOf(*form, "Label12"), shown);
        QCOMPARE(Control<QLabel>(*form, "Label12")->toolTip(), tip);
    }

    // The window finds its proxy in $http_proxy as the command line does, and a gallery job does
    // not start with one it cannot use, which the status line then names.
    void proxyFromEnvironment_data()
    {
        QTest::addColumn<QString>("variable");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("problem");
        const QString cannot = QStringLiteral(" cannot be used: ");
        QTest::newRow("URL with user and path") << "http_proxy=http://user@127.0.0.1:3128/" << "127.0.0.1" << 3128 << "";
        QTest::newRow("host only") << "http_proxy=127.0.0.2" << "127.0.0.2" << 80 << "";
        QTest::newRow("empty") << "http_proxy=" << "" << 0 << "";
        QTest::newRow("capitals are not read") << "HTTP_PROXY=:8080" << "" << 0 << "";
        QTest::newRow("not HOST:PORT") << "http_proxy=127.0.0.1:http" << "" << 0 << "http_proxy=127.0.0.1:http" + cannot + "the port http is not a number";
        QTest::newRow("no host") << "http_proxy=:8080" << "" << 0 << "http_proxy=:8080" + cannot + "it names no host, as in HOST:PORT";
        QTest::newRow("highest port") << "http_proxy=127.0.0.1:65535/" << "127.0.0.1" << 65535 << "";
        QTest::newRow("lowest port") << "http_proxy=127.0.0.1:1" << "127.0.0.1" << 1 << "";
        QTest::newRow("port 0") << "http_proxy=127.0.0.1:0" << "" << 0
                                << "http_proxy=127.0.0.1:0" + cannot + "the port 0 is not between 1 and 65535";
        QTest::newRow("port 65536") << "http_proxy=127.0.0.1:65536" << "" << 0
                                    << "http_proxy=127.0.0.1:65536" + cannot + "the port 65536 is not between 1 and 65535";
        QTest::newRow("IPv6 in brackets") << "http_proxy=http://[::1]:3128/" << "::1" << 3128
                                          << "http_proxy=http://[::1]:3128/" + cannot +
                                                 "::1 is an IPv6 address, and connections are made over IPv4 only";
        QTest::newRow("host not found") << "http_proxy=nohost" << "nohost" << 80
                                        << "http_proxy=nohost cannot be used: no address found for host nohost";
    }

    void proxyFromEnvironment()
    {
        QFETCH(QString, variable);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, problem);
        platform::SetLookupFunction([](const std::string& name, std::uint32_t& address) {
            address = name == "nohost" ? 0 : htonl(INADDR_LOOPBACK);
            return address == 0 ? platform::WSAHOST_NOT_FOUND : 0;
        });
        const auto systemLookup = qScopeGuard([] { platform::SetLookupFunction(nullptr); });
        const QByteArray name = variable.section('=', 0, 0).toUtf8();
        qputenv(name, variable.section('=', 1).toUtf8());
        const auto form = std::make_unique<TForm1>(Path("Tessary.ini"));
        qunsetenv(name);
        QCOMPARE(QString::fromStdString(form->NMHTTP1->Proxy), host);
        QCOMPARE(form->NMHTTP1->ProxyPort, port);
        if (!problem.isEmpty()) {
            form->show();
            QTest::mouseClick(Control<QPushButton>(*form, "Button3"), Qt::LeftButton);
            QCOMPARE(TextOf(*form, "Label12"), problem);
            QVERIFY(Control<QPlainTextEdit>(*form, "Memo1")->toPlainText().isEmpty());
            QVERIFY(Idle(StatesOf(*form)));
            form->close();
        }
    }

    // An error that escapes a job (here an FTP host that refuses) is shown in a message box;
    // once the box is closed the window is idle, as after the job's own end, and the log keeps
    // the job's lines.
    void errorReportThenIdle()
    {
        DialogWatcher watcher;
        const auto form = MakeForm();
        ButtonStates whileShown{};
        watcher.onMessageBox = [&] { whileShown = StatesOf(*form); };
        form->show();
        QLineEdit* entry = Control<QLineEdit>(*form, "Edit2");
        entry->setFocus();
        entry->setCursorPosition(2);
        QTest::keyClick(entry, Qt::Key_N, Qt::ControlModifier);
        QCOMPARE(entry->text(), QStringLiteral("8436"));
        QCOMPARE(watcher.messages.size(), 1);
        QVERIFY(!watcher.messages.front().isEmpty());
        QVERIFY(Running(whileShown));
        QVERIFY(Idle(StatesOf(*form)));
        QVERIFY(form->StopRequested);
        QVERIFY(!form->JobRunning());
        QVERIFY(TextOf(*form, "Label12").contains(QStringLiteral("ended by an error")));
        QVERIFY(Control<QPlainTextEdit>(*form, "Memo1")->toPlainText().startsWith(QStringLiteral("http://www.setscans.org/")));
        form->close();
    }

    // Closing the window in the middle of a job cancels it and aborts the transfer at once.
    void closingDuringAJobEndsIt()
    {
        fixtures::ScriptedHttpServer server({fixtures::Reply::Steps({fixtures::Step::Stall(Ms{20000})})});
        DialogWatcher watcher;
        const auto form = MakeForm();
        KeepOnLoopback(*form, server.Port());
        form->show();
        Control<QLineEdit>(*form, "Edit1")->setText(dir_->path() + "/");
        // Close as soon as the request is out, from inside the job's wait.
        bool closed = false;
        QTimer closer;
        connect(&closer, &QTimer::timeout, form.get(), [&] {
            if (server.RequestCount() >= 1 && !closed) {
                closed = form->close();
                closer.stop();
            }
        });
        closer.start(10);
        QTest::mouseClick(Control<QPushButton>(*form, "Button3"), Qt::LeftButton);
        QVERIFY(closed);
        QVERIFY(!form->isVisible());
        QVERIFY(!form->JobRunning());
        QVERIFY(form->StopRequested);
        QVERIFY(Idle(StatesOf(*form)));
        QVERIFY(watcher.messages.isEmpty());
        QCOMPARE(server.RequestCount(), 1);
        const IniEntries saved = SectionEntries(Path("Tessary.ini"));
        QCOMPARE(saved.size(), size_t(17));
    }

    // With no job running, Qt's loop runs the platform's timers and posted messages; inside a
    // platform wait, the platform runs Qt's events.
    void platformLoopHostedByQt()
    {
        const auto form = MakeForm();
        form->show();
        int ticks = 0;
        bool posted = false;
        platform::NotifyWindow window([&](unsigned msg, platform::WPARAM, platform::LPARAM) {
            if (msg == platform::WM_TIMER)
                ++ticks;
            else if (msg == platform::WM_USER + 7)
                posted = true;
        });
        QVERIFY(platform::SetTimer(window.Handle(), 1, 10) != 0);
        QVERIFY(RunLoopUntil([&] { return ticks >= 2; }));
        platform::KillTimer(window.Handle(), 1);
        std::thread poster([&] { platform::PostMessage(window.Handle(), platform::WM_USER + 7, 0, 0); });
        poster.join();
        QVERIFY(RunLoopUntil([&] { return posted; }));

        bool qtEventRan = false;
        QTimer::singleShot(0, form.get(), [&] { qtEventRan = true; });
        platform::ProcessMessages();
        QVERIFY(qtEventRan);
        form->close();
    }

    void clockTicksEverySecond()
    {
        const auto form = MakeForm();
        QLabel* clock = Control<QLabel>(*form, "Label10");
        QVERIFY(clock->text().isEmpty());
        form->show();
        form->FetchingPage = true;
        form->IdleTicks = 0;
        QSignalSpy ticks(form->Timer1, &QTimer::timeout);
        QVERIFY(ticks.wait(5000));
        QVERIFY(!clock->text().isEmpty());
        QVERIFY(clock->text().contains(QRegularExpression(QStringLiteral("\\d"))));
        QVERIFY(form->IdleTicks >= 1);
        form->FetchingPage = false;
        clock->clear();
        form->Tick();
        QVERIFY(!clock->text().isEmpty());
        form->close();
    }
};

// Also on a desktop: only there do the fields take Ctrl+D and Ctrl+U as editing commands.
static RegisterAppTest<WindowTest, true> registerWindowTest;

#include "window_test.moc"
