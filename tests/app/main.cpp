// Runs the registered Qt Test classes: all of them on the offscreen platform, or with
// "--display xvfb" / "--display openbox" the desktop classes on an X server of their own,
// without and with a window manager. A missing X server or window manager skips (77).
#include "AppTest.h"

#include "support/processes.h"

#include <QApplication>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int SkipStatus = 77;
constexpr int StartBoundMs = 10000;

std::string& Mode()
{
    static std::string mode = "offscreen";
    return mode;
}

// Whether `program` is found on $PATH, as execvp would find it.
bool Installed(const char* program)
{
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "";
    for (size_t start = 0; start <= folders.size();) {
        const size_t end = std::min(folders.find(':', start), folders.size());
        const std::string folder = folders.substr(start, end - start);
        if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

pid_t Spawn(const std::vector<std::string>& args, int keepFd = -1)
{
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    ::setpgid(0, 0);
    const int devnull = ::open("/dev/null", O_RDWR);
    ::dup2(devnull, STDIN_FILENO);
    ::dup2(devnull, STDOUT_FILENO);
    ::dup2(devnull, STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    if (keepFd >= 0)
        ::fcntl(keepFd, F_SETFD, 0);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
}

// An X server and, when asked for, a window manager on it, stopped by their process ids.
class TestDisplay {
public:
    ~TestDisplay()
    {
        for (pid_t pid : {wm_, server_})
            if (pid > 0)
                support::StopProcess(pid, true, std::chrono::milliseconds(2000));
    }

    // The reason it could not start, or empty when DISPLAY now names it.
    std::string Start(bool withWindowManager)
    {
        if (!Installed("Xvfb"))
            return "Xvfb is not installed";
        if (withWindowManager && !Installed("openbox"))
            return "openbox is not installed";
        const std::string display = StartServer();
        if (display.empty())
            return "Xvfb did not start";
        ::setenv("DISPLAY", display.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        if (withWindowManager && !StartWindowManager())
            return "openbox did not start";
        return {};
    }

private:
    std::string StartServer()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return {};
        server_ = Spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24",
                         "-nolisten", "tcp"},
                        fds[1]);
        ::close(fds[1]);
        std::string number;
        pollfd wait{fds[0], POLLIN, 0};
        char c = 0;
        while (::poll(&wait, 1, StartBoundMs) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        ::close(fds[0]);
        return number.empty() ? std::string() : ":" + number;
    }

    // openbox runs its start-up command once it manages the screen.
    bool StartWindowManager()
    {
        const std::string ready =
            (std::filesystem::temp_directory_path() / ("tessary-openbox-" + std::to_string(::getpid()))).string();
        wm_ = Spawn({"openbox", "--sm-disable", "--startup", "touch " + ready});
        for (int waited = 0; waited < StartBoundMs; waited += 20) {
            if (std::filesystem::remove(ready))
                return true;
            ::usleep(20000);
        }
        return false;
    }

    pid_t server_ = -1;
    pid_t wm_ = -1;
};

}  // namespace

const std::string& DisplayMode()
{
    return Mode();
}

int main(int argc, char** argv)
{
    std::vector<char*> args(argv, argv + argc);
    TestDisplay display;
    if (argc > 2 && std::string(argv[1]) == "--display") {
        Mode() = argv[2];
        const std::string failure = display.Start(Mode() == "openbox");
        if (!failure.empty()) {
            std::printf("SKIP: %s, so the window is not tried on a desktop (%s)\n", failure.c_str(),
                        Mode().c_str());
            return SkipStatus;
        }
        args.erase(args.begin() + 1, args.begin() + 3);
    } else if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    int count = static_cast<int>(args.size());
    QApplication application(count, args.data());
    if (const std::optional<int> status = RunChildScenario())
        return *status;
    int failures = 0;
    for (const RegisteredTest& test : AppTests()) {
        if (Mode() != "offscreen" && !test.desktop)
            continue;
        const std::unique_ptr<QObject> object = test.make();
        failures += QTest::qExec(object.get(), count, args.data());
    }
    return failures == 0 ? 0 : 1;
}
