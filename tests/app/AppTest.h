// Shared pieces of the window tests: the list of test classes, finding controls, a watcher that
// answers modal dialogs, and reading and writing settings files.
#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QFileDialog;

// Each test file registers its Qt Test class here; main runs them all on the offscreen
// platform, and the desktop ones also on an X server without and with a window manager.
using TestFactory = std::function<std::unique_ptr<QObject>()>;
struct RegisteredTest {
    TestFactory make;
    bool desktop;
};
std::vector<RegisteredTest>& AppTests();

template <typename T, bool Desktop = false>
struct RegisterAppTest {
    RegisterAppTest() { AppTests().push_back({[] { return std::make_unique<T>(); }, Desktop}); }
};

// "offscreen", "xvfb" or "openbox".
const std::string& DisplayMode();

// When this program was started as the child of a test that needs a program of its own to
// watch, the scenario it names runs instead of the tests; its exit status.
std::optional<int> RunChildScenario();

// The child control of `form` with the object name `name`, or null.
template <typename T>
T* Control(const QWidget& form, const char* name)
{
    return form.findChild<T*>(QString::fromLatin1(name));
}

// Answers every modal dialog that opens while it lives: message boxes are recorded and
// closed, folder choosers are handed to `onFolderChooser` (which must close them). Nothing
// a test does can therefore wait on a dialog.
class DialogWatcher : public QObject {
public:
    DialogWatcher();
    ~DialogWatcher() override;

    QStringList messages;
    std::function<void()> onMessageBox;  // runs before a message box is closed
    std::function<void(QFileDialog*)> onFolderChooser;
    int folderChoosers = 0;

private:
    void Poll();
    QTimer timer_;
};

using IniEntries = std::vector<std::pair<std::string, std::string>>;

// The keys and values of `section`, in file order (lines end in CR LF or LF).
IniEntries SectionEntries(const std::string& path, const std::string& section = "TForm1");
// Writes a settings file with section "TForm1" and the given lines.
void WriteSettings(const std::string& path, const std::vector<std::string>& lines);

// The position keys of this screen, e.g. "NormPos(800x600)".
std::string ScreenSuffixed(const std::string& key);
int ScreenPixelsPerInch();
