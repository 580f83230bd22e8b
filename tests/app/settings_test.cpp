// The settings store: what a close writes, what a show restores, and how it fails.
#include "AppTest.h"

#include "app/HeadlessSettings.h"
#include "app/Placemnt.h"
#include "app/Unit1.h"
#include "net/NMHttp.h"
#include "platform/files.h"
#include "support/files.h"
#include "support/loopback.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMetaProperty>
#include <QRadioButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>

namespace {

std::string ValueOf(const IniEntries& entries, const std::string& key)
{
    for (const auto& [name, value] : entries)
        if (name == key)
            return value;
    return "<missing>";
}

std::string Position(const QRect& client)
{
    return std::to_string(client.left()) + "," + std::to_string(client.top()) + "," +
           std::to_string(client.left() + client.width()) + "," + std::to_string(client.top() + client.height());
}

// Lets the zero-time timers of a show (such as a deferred minimize) run.
void SettleEvents()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

}  // namespace

class SettingsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;

    std::string Path(const std::string& name) const { return dir_->filePath(QString::fromStdString(name)).toStdString(); }
    std::string Settings() const { return Path("Tessary.ini"); }

    std::unique_ptr<TForm1> MakeForm(const std::string& settings)
    {
        auto form = std::make_unique<TForm1>(settings);
        form->NMHTTP1->Proxy = "127.0.0.1";
        form->NMHTTP1->ProxyPort = support::FreeLoopbackPort();
        form->Options.FtpHost = "127.0.0.1";
        form->Options.FtpPort = support::FreeLoopbackPort();
        return form;
    }

    // Shows a window restored from `lines`, then hands it to the test.
    std::unique_ptr<TForm1> ShowRestored(const std::vector<std::string>& lines)
    {
        WriteSettings(Settings(), lines);
        auto form = MakeForm(Settings());
        form->show();
        SettleEvents();
        return form;
    }

    // The same from the lines of a data row.
    std::unique_ptr<TForm1> ShowRestored(const QStringList& lines)
    {
        std::vector<std::string> content;
        for (const QString& line : lines)
            content.push_back(line.toStdString());
        return ShowRestored(content);
    }

    // Where a window lands that no stored position moves.
    QPoint UnrestoredPosition()
    {
        auto form = MakeForm(Path("none.ini"));
        form->show();
        const QPoint position = form->geometry().topLeft();
        form->close();
        return position;
    }

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
    }

    void cleanup() { dir_.reset(); }

    void firstStartWritesAllKeysInOrder()
    {
        auto form = MakeForm(Settings());
        QCOMPARE(form->FormStorage1->IniFileName(), Settings());
        QCOMPARE(form->FormStorage1->SectionName(), std::string("TForm1"));
        const QPoint designed = form->frameGeometry().topLeft();
        form->show();
        QCOMPARE(form->frameGeometry().topLeft(), designed);
        QCOMPARE(Control<QLineEdit>(*form, "Edit1")->text(), QString::fromStdString(platform::ProgramFolder()));
        const QRect client = form->geometry();
        QVERIFY(form->close());

        const IniEntries saved = SectionEntries(Settings());
        const IniEntries expected = {
            {"FormVersion", "0"},
            {"Flags", "0"},
            {"ShowCmd", "1"},
            {"PixelsPerInch", std::to_string(ScreenPixelsPerInch())},
            {ScreenSuffixed("MinMaxPos"), "-1,-1,-1,-1"},
            {"MinMaxPos", "-1,-1,-1,-1"},
            {ScreenSuffixed("NormPos"), Position(client)},
            {"NormPos", Position(client)},
            {"Visible", "0"},
            {"Edit1_Text", platform::ProgramFolder()},
            {"Edit3_Text", "77154"},
            {"Edit5_Text", "tessa"},
            {"CheckBox1_Checked", "False"},
            {"SpinEdit1_Value", "4"},
            {"RadioButton1_Checked", "True"},
            {"RadioButton2_Checked", "False"},
            {"Edit2_Text", "8436"},
        };
        QCOMPARE(saved.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            QCOMPARE(saved[i].first, expected[i].first);
            QCOMPARE(saved[i].second, expected[i].second);
        }
        const std::string bytes = support::FileBytes(Settings());
        QVERIFY(bytes.rfind("[TForm1]\r\nFormVersion=0\r\n", 0) == 0);
    }

    void entriesRoundTripTrimmed()
    {
        auto form = MakeForm(Settings());
        form->show();
        Control<QLineEdit>(*form, "Edit1")->setText(QStringLiteral("  /srv/pictures/  "));
        Control<QLineEdit>(*form, "Edit3")->setText(QStringLiteral(" 4711 "));
        Control<QLineEdit>(*form, "Edit5")->setText(QStringLiteral("\tlena  "));
        Control<QLineEdit>(*form, "Edit2")->setText(QStringLiteral("6 "));
        Control<QCheckBox>(*form, "CheckBox1")->setChecked(true);
        Control<QSpinBox>(*form, "SpinEdit1")->setValue(11);
        QVERIFY(form->close());
        form.reset();
        const IniEntries saved = SectionEntries(Settings());
        QCOMPARE(ValueOf(saved, "Edit1_Text"), std::string("/srv/pictures/"));
        QCOMPARE(ValueOf(saved, "Edit3_Text"), std::string("4711"));
        QCOMPARE(ValueOf(saved, "Edit5_Text"), std::string("lena"));
        QCOMPARE(ValueOf(saved, "Edit2_Text"), std::string("6"));
        QCOMPARE(ValueOf(saved, "CheckBox1_Checked"), std::string("True"));
        QCOMPARE(ValueOf(saved, "SpinEdit1_Value"), std::string("11"));

        auto again = MakeForm(Settings());
        again->show();
        QCOMPARE(Control<QLineEdit>(*again, "Edit1")->text(), QStringLiteral("/srv/pictures/"));
        QCOMPARE(Control<QLineEdit>(*again, "Edit3")->text(), QStringLiteral("4711"));
        QCOMPARE(Control<QLineEdit>(*again, "Edit5")->text(), QStringLiteral("lena"));
        QCOMPARE(Control<QLineEdit>(*again, "Edit2")->text(), QStringLiteral("6"));
        QVERIFY(Control<QCheckBox>(*again, "CheckBox1")->isChecked());
        QCOMPARE(Control<QSpinBox>(*again, "SpinEdit1")->value(), 11);
        again->close();
    }

    void quotedMemberNames_data()
    {
        QTest::addColumn<QString>("member");
        QTest::addColumn<QString>("line");
        QTest::newRow("double quotes") << "\"tessa\"" << "Edit5_Text=\"\"tessa\"\"";
        QTest::newRow("single quotes") << "'tessa'" << "Edit5_Text=\"'tessa'\"";
        QTest::newRow("opening quote only") << "\"tessa" << "Edit5_Text=\"tessa";
        QTest::newRow("unmatched pair") << "\"tessa'" << "Edit5_Text=\"tessa'";
        QTest::newRow("one quote") << "\"" << "Edit5_Text=\"";
    }

    void quotedMemberNames()
    {
        QFETCH(QString, member);
        QFETCH(QString, line);
        auto form = MakeForm(Settings());
        form->show();
        Control<QLineEdit>(*form, "Edit5")->setText(member);
        QVERIFY(form->close());
        form.reset();
        QVERIFY(support::FileBytes(Settings()).find(line.toStdString() + "\r\n") != std::string::npos);
        auto again = MakeForm(Settings());
        again->show();
        QCOMPARE(Control<QLineEdit>(*again, "Edit5")->text(), member);
        again->close();
    }

    void pauseLengthRestoredWithinRange_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("value");
        QTest::newRow("zero") << "0" << 1;
        QTest::newRow("above the range") << "99" << 15;
        QTest::newRow("a word") << "word" << 1;
        QTest::newRow("in range") << "7" << 7;
        QTest::newRow("negative") << "-3" << 1;
        QTest::newRow("hexadecimal") << "0x0A" << 10;
        QTest::newRow("empty") << "" << 1;
    }

    void pauseLengthRestoredWithinRange()
    {
        QFETCH(QString, stored);
        QFETCH(int, value);
        const auto form = ShowRestored({"SpinEdit1_Value=" + stored.toStdString()});
        QCOMPARE(Control<QSpinBox>(*form, "SpinEdit1")->value(), value);
        form->close();
    }

    // Stored booleans name their value without regard to case; any other word changes nothing.
    void storedBooleans_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<bool>("pause");
        QTest::addColumn<QString>("siteTag");
        QTest::newRow("True") << QStringList{"CheckBox1_Checked=True"} << true << "fotoarchive";
        QTest::newRow("lower-case true") << QStringList{"CheckBox1_Checked=true"} << true << "fotoarchive";
        QTest::newRow("Yes is unknown") << QStringList{"CheckBox1_Checked=Yes"} << false << "fotoarchive";
        QTest::newRow("1 is unknown") << QStringList{"CheckBox1_Checked=1"} << false << "fotoarchive";
        QTest::newRow("host B restored")
            << QStringList{"RadioButton1_Checked=False", "RadioButton2_Checked=True"} << false << "pixhaven";
        QTest::newRow("host B in capitals")
            << QStringList{"RadioButton1_Checked=FALSE", "RadioButton2_Checked=TRUE"} << false << "pixhaven";
        QTest::newRow("unknown host word")
            << QStringList{"RadioButton1_Checked=maybe", "RadioButton2_Checked=perhaps"} << false << "fotoarchive";
        QTest::newRow("host A restored")
            << QStringList{"RadioButton1_Checked=True", "RadioButton2_Checked=False"} << false << "fotoarchive";
    }

    void storedBooleans()
    {
        QFETCH(QStringList, lines);
        QFETCH(bool, pause);
        QFETCH(QString, siteTag);
        const auto form = ShowRestored(lines);
        QCOMPARE(Control<QCheckBox>(*form, "CheckBox1")->isChecked(), pause);
        QCOMPARE(QString::fromStdString(form->SiteTag), siteTag);
        QCOMPARE(Control<QRadioButton>(*form, "RadioButton2")->isChecked(), siteTag == "pixhaven");
        // Restoring the radio button ran its click handling, so the labels follow the host.
        const QString prefix = "http://www." + siteTag + ".com/cgi-bin/gallery.cgi?";
        QCOMPARE(Control<QLabel>(*form, "Label4")->text(), prefix + "f=");
        QCOMPARE(Control<QLabel>(*form, "Label5")->text(), prefix + "m=");
        form->close();
    }

    void storedPosition_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<bool>("moved");
        QTest::addColumn<QPoint>("position");
        const QString ppi = "PixelsPerInch=" + QString::number(ScreenPixelsPerInch());
        const QString suffixed = QString::fromStdString(ScreenSuffixed("NormPos"));
        QTest::newRow("suffixed key before the plain one")
            << QStringList{ppi, suffixed + "=100,120,583,756", "NormPos=300,320,783,956"} << true << QPoint(100, 120);
        QTest::newRow("plain key when this screen has none")
            << QStringList{ppi, "NormPos(1x1)=100,120,583,756", "NormPos=300,150,783,786"} << true << QPoint(300, 150);
        QTest::newRow("another screen's key only")
            << QStringList{ppi, "NormPos(1x1)=100,120,583,756"} << false << QPoint();
        QTest::newRow("saved at another pixels per inch")
            << QStringList{"PixelsPerInch=" + QString::number(ScreenPixelsPerInch() + 24), suffixed + "=100,120,583,756"}
            << false << QPoint();
        QTest::newRow("no pixels per inch stored")
            << QStringList{suffixed + "=140,160,623,796"} << true << QPoint(140, 160);
        QTest::newRow("stored size is ignored")
            << QStringList{ppi, "NormPos=60,70,900,990"} << true << QPoint(60, 70);
        QTest::newRow("blank and comma separated words")
            << QStringList{ppi, "NormPos= 80 ,, 90  "} << true << QPoint(80, 90);
        QTest::newRow("off every screen")
            << QStringList{ppi, "NormPos=-9000,-9000,-8517,-8364"} << false << QPoint();
        QTest::newRow("empty suffixed key falls back")
            << QStringList{ppi, suffixed + "=", "NormPos=50,40,533,676"} << true << QPoint(50, 40);
    }

    void storedPosition()
    {
        QFETCH(QStringList, lines);
        QFETCH(bool, moved);
        QFETCH(QPoint, position);
        const QPoint unrestored = UnrestoredPosition();
        const auto form = ShowRestored(lines);
        QCOMPARE(form->geometry().topLeft(), moved ? position : unrestored);
        QCOMPARE(form->size(), QSize(483, 636));
        form->close();
    }

    void showCommands_data()
    {
        QTest::addColumn<QString>("showCmd");
        QTest::addColumn<bool>("minimized");
        QTest::newRow("2 minimized") << "2" << true;
        QTest::newRow("6 minimized") << "6" << true;
        QTest::newRow("7 minimized") << "7" << true;
        QTest::newRow("1 normal") << "1" << false;
        QTest::newRow("9 normal") << "9" << false;
        QTest::newRow("unknown number") << "42" << false;
    }

    void showCommands()
    {
        QFETCH(QString, showCmd);
        QFETCH(bool, minimized);
        const auto form = ShowRestored({"ShowCmd=" + showCmd.toStdString()});
        if (minimized)
            QTRY_VERIFY_WITH_TIMEOUT(form->isMinimized(), 5000);
        QCOMPARE(form->isMinimized(), minimized);
        QVERIFY(form->close());
        QCOMPARE(ValueOf(SectionEntries(Settings()), "ShowCmd"), std::string(minimized ? "2" : "1"));
    }

    // A hand-edited file gives the window the entries, and so the jobs, that the command line
    // reads from it; the window then saves what it shows.
    void storedFileReadAlikeByBothModes_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("both host keys False") << QStringList{"RadioButton1_Checked=False", "RadioButton2_Checked=False"};
        QTest::newRow("set number past the typing limit") << QStringList{"Edit2_Text=123456"};
        QTest::newRow("blanks and tabs around texts") << QStringList{"Edit3_Text=\t 4711 \t", "Edit1_Text= /srv/p/ "};
        QTest::newRow("pause word and capitals") << QStringList{"SpinEdit1_Value=word", "CheckBox1_Checked=TRUE"};
        QTest::newRow("quoted member") << QStringList{"Edit5_Text=\"\"tessa\"\""};
        QTest::newRow("host B in lower case") << QStringList{"RadioButton2_Checked=true"};
        QTest::newRow("keep-alive in its own section") << QStringList{"Edit3_Text=42", "[Network]", "KeepAlive=True"};
        QTest::newRow("connections above the range") << QStringList{"[Network]", "Connections=12"};
        QTest::newRow("connections not a number") << QStringList{"[Network]", "Connections=four"};
        QTest::newRow("archive in its own section") << QStringList{"[Archive]", "File= archive.db "};
        QTest::newRow("album in its own section") << QStringList{"[Album]", "Enabled=True", "IndexName=album.html"};
        QTest::newRow("album switch neither True nor False") << QStringList{"[Album]", "Enabled=yes"};
    }

    void storedFileReadAlikeByBothModes()
    {
        QFETCH(QStringList, lines);
        const auto form = ShowRestored(lines);
        const std::string folderId = Control<QLineEdit>(*form, "Edit3")->text().toStdString();
        std::vector<std::string> args = {"tessary", "--folder", folderId, "--settings", Settings()};
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        const THeadlessSettings headless = ResolveSettings(ParseCommandLine(static_cast<int>(argv.size()), argv.data()));
        const TJobOptions& read = headless.Options;
        QCOMPARE(Control<QLineEdit>(*form, "Edit1")->text().toStdString(), read.Destination);
        QCOMPARE(folderId, ReadStoredEntries(Settings()).FolderId);
        QCOMPARE(Control<QLineEdit>(*form, "Edit5")->text().toStdString(), read.Member);
        QCOMPARE(Control<QLineEdit>(*form, "Edit2")->text().toStdString(), read.SetNumber);
        QCOMPARE(Control<QCheckBox>(*form, "CheckBox1")->isChecked(), read.Pause);
        QCOMPARE(Control<QSpinBox>(*form, "SpinEdit1")->value(), read.PauseSeconds);
        QCOMPARE(form->SiteTag, std::string(read.HostB ? "pixhaven" : "fotoarchive"));
        QCOMPARE(Control<QRadioButton>(*form, "RadioButton2")->isChecked(), read.HostB);
        QCOMPARE(form->NMHTTP1->KeepAlive, read.KeepAlive);
        QCOMPARE(form->Options.Connections, read.Connections);
        QCOMPARE(form->Options.ArchivePath, read.ArchivePath);
        QCOMPARE(Control<QCheckBox>(*form, "AlbumBox")->isChecked(), read.Album);
        QCOMPARE(form->Options.AlbumIndex, read.AlbumIndex);
        Control<QCheckBox>(*form, "AlbumBox")->click();
        QVERIFY(form->close());
        // The window saves the album's switch as the user turned it, and keeps the page name.
        QCOMPARE(ReadStoredEntries(Settings()).Album, !read.Album);
        QCOMPARE(ReadStoredEntries(Settings()).AlbumIndex, read.AlbumIndex);
        // The window never writes the switch, and never loses it either.
        QCOMPARE(support::FileBytes(Settings()).find("[Network]\r\nKeepAlive=True") != std::string::npos, read.KeepAlive);
        const IniEntries saved = SectionEntries(Settings());
        QCOMPARE(ValueOf(saved, "RadioButton2_Checked"), std::string(read.HostB ? "True" : "False"));
        QCOMPARE(ValueOf(saved, "RadioButton1_Checked"), std::string(read.HostB ? "False" : "True"));
    }

    void newerStoredVersionIsIgnored()
    {
        WriteSettings(Settings(), {"Edit3_Text=1234"});
        auto form = MakeForm(Settings());
        form->FormStorage1->Version = 1;  // the file says 0
        form->show();
        QCOMPARE(Control<QLineEdit>(*form, "Edit3")->text(), QStringLiteral("77154"));
        QVERIFY(form->FormStorage1->Restored());
        form->close();
    }

    // A path through a plain file, or a read-only file in a folder that takes new files: neither
    // is written, whoever runs the test, and the file stays as it was.
    void failedWriteIsReportedOnceAndTheWindowStillCloses_data()
    {
        QTest::addColumn<bool>("readOnlyFile");
        QTest::newRow("path through a plain file") << false;
        QTest::newRow("read-only file") << true;
    }

    void failedWriteIsReportedOnceAndTheWindowStillCloses()
    {
        QFETCH(bool, readOnlyFile);
        const std::string blocker = Path("plain.txt");
        const std::string content = "[TForm1]\r\nEdit3_Text=4711\r\n";
        support::WriteFile(blocker, content);
        std::filesystem::permissions(blocker, std::filesystem::perms(0444));
        const std::string settings = readOnlyFile ? blocker : blocker + "/Tessary.ini";
        DialogWatcher watcher;
        auto form = MakeForm(settings);
        form->show();
        QVERIFY(form->close());
        QVERIFY(!form->isVisible());
        QCOMPARE(watcher.messages, QStringList{QString::fromStdString(settings) + " を書き込みできません"});
        form.reset();
        QCOMPARE(watcher.messages.size(), 1);
        QCOMPARE(support::FileBytes(blocker), content);
        QCOMPARE(CannotWriteText("x.ini"), std::string("x.ini を書き込みできません"));
    }

    void destructionWithoutCloseSavesVisible()
    {
        auto form = MakeForm(Settings());
        form->show();
        form.reset();
        const IniEntries saved = SectionEntries(Settings());
        QCOMPARE(saved.size(), size_t(17));
        QCOMPARE(ValueOf(saved, "Visible"), std::string("1"));
    }

    void neverShownWindowSavesNothing()
    {
        auto form = MakeForm(Settings());
        form.reset();
        QVERIFY(!std::filesystem::exists(Settings()));
    }

    void inactiveStoreNeitherRestoresNorSaves()
    {
        WriteSettings(Settings(), {"Edit3_Text=1234"});
        const std::string before = support::FileBytes(Settings());
        auto form = MakeForm(Settings());
        form->FormStorage1->Active = false;
        form->show();
        QCOMPARE(Control<QLineEdit>(*form, "Edit3")->text(), QStringLiteral("77154"));
        QVERIFY(form->close());
        form.reset();
        QCOMPARE(support::FileBytes(Settings()), before);
    }

    // Stored entries name components and properties without regard to case; an entry whose
    // component does not exist is dropped once the owner has loaded.
    void storedPropsResolvedByName()
    {
        QWidget owner;
        auto* edit = new QLineEdit(&owner);
        edit->setObjectName(QStringLiteral("Edit7"));
        auto* spin = new QSpinBox(&owner);
        spin->setObjectName(QStringLiteral("Spin2"));
        TFormStorage storage(&owner);
        storage.SetIniFileName(Path("owner.ini"));
        storage.AddStoredProp("edit7.TEXT");
        storage.AddStoredProp("Missing.Text");
        storage.AddStoredProp("SPIN2.value");
        storage.Loaded();
        QCOMPARE(storage.StoredProps.size(), size_t(2));
        QCOMPARE(storage.StoredProps[0].Component.data(), static_cast<QObject*>(edit));
        QCOMPARE(storage.StoredProps[1].Component.data(), static_cast<QObject*>(spin));
        QCOMPARE(storage.SectionName(), std::string("QWidget"));
        const QMetaProperty text = TFormStorage::FindProperty(edit, "TEXT");
        QVERIFY(text.isValid());
        QCOMPARE(TFormStorage::StoredKey(edit, text), std::string("Edit7_Text"));
        QVERIFY(!TFormStorage::FindProperty(edit, "NoSuchProperty").isValid());

        support::WriteFile(Path("owner.ini"), "[QWidget]\r\nEdit7_Text= kept \r\nSpin2_Value=42\r\n");
        spin->setRange(0, 100);
        storage.RestoreFormPlacement();
        QCOMPARE(edit->text(), QStringLiteral("kept"));
        QCOMPARE(spin->value(), 42);
    }

    void propertyTextForms()
    {
        QCheckBox box;
        std::string text;
        const QMetaProperty checked = TFormStorage::FindProperty(&box, "Checked");
        QVERIFY(TFormStorage::PropertyText(&box, checked, text));
        QCOMPARE(text, std::string("False"));
        QVERIFY(TFormStorage::SetPropertyText(&box, checked, "tRuE"));
        QVERIFY(box.isChecked());
        QVERIFY(!TFormStorage::SetPropertyText(&box, checked, "on"));
        QVERIFY(box.isChecked());

        // Enumerations by their value names, sets as "[a,b]".
        QLabel label;
        const QMetaProperty format = TFormStorage::FindProperty(&label, "textformat");
        QVERIFY(TFormStorage::SetPropertyText(&label, format, "plaintext"));
        QCOMPARE(label.textFormat(), Qt::PlainText);
        QVERIFY(TFormStorage::PropertyText(&label, format, text));
        QCOMPARE(text, std::string("PlainText"));
        const QMetaProperty alignment = TFormStorage::FindProperty(&label, "Alignment");
        QVERIFY(TFormStorage::SetPropertyText(&label, alignment, "[AlignRight,AlignBottom]"));
        QCOMPARE(label.alignment(), Qt::AlignRight | Qt::AlignBottom);
        QVERIFY(!TFormStorage::SetPropertyText(&label, alignment, "[AlignNowhere]"));
        QCOMPARE(label.alignment(), Qt::AlignRight | Qt::AlignBottom);
    }

    void defaultFileNameIsTheProgramsWithIniExtension()
    {
        QWidget owner;
        TFormPlacement placement(&owner);
        const std::string program = QCoreApplication::applicationFilePath().section('/', -1).toStdString();
        QCOMPARE(placement.IniFileName(), program + ".INI");
        placement.IniSection = "Other";
        QCOMPARE(placement.SectionName(), std::string("Other"));
    }
};

static RegisterAppTest<SettingsTest> registerSettingsTest;

#include "settings_test.moc"
