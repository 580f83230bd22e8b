#include "AppTest.h"

#include "support/files.h"

#include <QApplication>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>

#include <cmath>
#include <fstream>
#include <sstream>

std::vector<RegisteredTest>& AppTests()
{
    static std::vector<RegisteredTest> tests;
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
            if (onMessageBox)
                onMessageBox();
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

IniEntries SectionEntries(const std::string& path, const std::string& section)
{
    IniEntries entries;
    std::istringstream in(support::FileBytes(path));
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
