#include "AppTest.h"

#include <QApplication>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

std::vector<TestFactory>& AppTests()
{
    static std::vector<TestFactory> tests;
    return tests;
}

DialogWatcher::DialogWatcher()
{
    connect(&timer_, &QTimer::timeout, this, &DialogWatcher::Poll);
    timer_.start(20);
}

DialogWatcher::~DialogWatcher() = default;

void DialogWatcher::Poll()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (!widget->isVisible())
            continue;
        if (auto* box = qobject_cast<QMessageBox*>(widget)) {
            messages << box->text();
            box->done(QMessageBox::Ok);
        } else if (auto* chooser = qobject_cast<QFileDialog*>(widget)) {
            ++folderChoosers;
            if (onFolderChooser)
                onFolderChooser(chooser);
            if (chooser->isVisible())
                chooser->reject();
        }
    }
}

std::string FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

IniEntries SectionEntries(const std::string& path, const std::string& section)
{
    IniEntries entries;
    std::istringstream in(FileBytes(path));
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line.front() == '[') {
            inside = line == "[" + section + "]";
            continue;
        }
        const size_t equals = line.find('=');
        if (inside && equals != std::string::npos)
            entries.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
    return entries;
}

void WriteSettings(const std::string& path, const std::vector<std::string>& lines)
{
    std::ofstream out(path, std::ios::binary);
    out << "[TForm1]\r\n";
    for (const std::string& line : lines)
        out << line << "\r\n";
}

std::string ScreenSuffixed(const std::string& key)
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QSize size = screen->geometry().size() * screen->devicePixelRatio();
    return key + "(" + std::to_string(size.width()) + "x" + std::to_string(size.height()) + ")";
}

int ScreenPixelsPerInch()
{
    return static_cast<int>(std::lround(QGuiApplication::primaryScreen()->logicalDotsPerInch()));
}

std::uint16_t ClosedLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}
