#include "app/Placemnt.h"

#include "platform/catalogue.h"
#include "platform/Exception.h"
#include "platform/messages.h"
#include "platform/profile.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// The reader drops one enclosing pair of matching quotes; an extra pair keeps such a value whole.
std::string QuotedForWrite(const std::string& value)
{
    if (value.size() >= 2 && value.front() == value.back() &&
        (value.front() == '"' || value.front() == '\''))
        return '"' + value + '"';
    return value;
}

// The first four words of "a, b c,d": any run of blanks and commas separates them.
std::vector<std::string> PositionWords(const std::string& text)
{
    std::vector<std::string> words;
    std::string word;
    for (char c : text + ",") {
        if (c == ' ' || c == ',') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    words.resize(4);
    return words;
}

std::string PositionText(int a, int b, int c, int d)
{
    char text[64];
    std::snprintf(text, sizeof text, "%d,%d,%d,%d", a, b, c, d);
    return text;
}

// The screen that shows part of `frame`, or null when none does.
const QScreen* ScreenShowing(const QRect& frame)
{
    for (const QScreen* screen : QGuiApplication::screens())
        if (screen->geometry().intersects(frame))
            return screen;
    return nullptr;
}

bool FixedSize(const QWidget* window)
{
    return window->minimumSize() == window->maximumSize();
}

// Where `rect` lies wholly on `area`, moved as little as it must; one larger than the area keeps
// its top-left corner on it.
QPoint OnArea(const QRect& rect, const QRect& area)
{
    return {std::max(area.left(), std::min(rect.left(), area.right() + 1 - rect.width())),
            std::max(area.top(), std::min(rect.top(), area.bottom() + 1 - rect.height()))};
}

}  // namespace

std::string CannotWriteText(const std::string& fileName)
{
    return platform::Fill(_("%1 を書き込みできません"), {fileName});
}

TFormPlacement::TFormPlacement(QWidget* owner) : owner_(owner) {}

TFormPlacement::~TFormPlacement()
{
    OwnerDestroying();
}

// Run by the most derived store's destructor, while everything it saves is still there.
void TFormPlacement::OwnerDestroying()
{
    if (!owner_ || !attached_)
        return;
    attached_ = false;
    owner_->removeEventFilter(this);
    // The window is going away: save unless its close has done so already.
    if (Active && !saved_ && !closeSaveTried_) {
        destroying_ = true;
        try {
            SaveFormPlacement();
        } catch (const std::exception& error) {
            platform::HandleApplicationException(error);
        }
        destroying_ = false;
    }
}

std::string TFormPlacement::IniFileName() const
{
    if (!iniFileName_.empty())
        return iniFileName_;
    const QString program = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    const qsizetype dot = program.lastIndexOf('.');
    return (dot > 0 ? program.left(dot) : program).toStdString() + ".INI";
}

std::string TFormPlacement::SectionName() const
{
    if (!IniSection.empty())
        return IniSection;
    return owner_ ? owner_->metaObject()->className() : std::string();
}

void TFormPlacement::Loaded()
{
    if (owner_ && !attached_) {
        owner_->installEventFilter(this);
        attached_ = true;
    }
}

bool TFormPlacement::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != owner_)
        return false;
    KeepFrameOnScreen();
    // A spontaneous show is the window coming back from the task bar, not a new showing.
    if (event->type() == QEvent::Show && !event->spontaneous())
        OwnerShowing();
    else if (event->type() == QEvent::Close)
        return OwnerClosing(event);
    return false;
}

// The window manager's frame is known only once it has framed the window; a restored window
// whose frame then reaches past the screen's usable area, as a larger font makes it do, is moved
// onto it. The frame is asked of the window system: the widget renews its own copy only when it
// moves or resizes, so that copy can stay the half-built frame it saw while the manager was
// still making it.
void TFormPlacement::KeepFrameOnScreen()
{
    const QWindow* window = owner_ ? owner_->windowHandle() : nullptr;
    if (!usableArea_ || !window)
        return;
    const QRect frame = window->frameGeometry();
    if (frame == window->geometry() || !frame.contains(window->geometry()))
        return;
    const QPoint shift = OnArea(frame, *usableArea_) - frame.topLeft();
    usableArea_.reset();
    if (!shift.isNull())
        owner_->setGeometry(owner_->geometry().translated(shift));
}

void TFormPlacement::OwnerShowing()
{
    if (!Active)
        return;
    try {
        RestoreFormPlacement();
    } catch (const std::exception& error) {
        platform::HandleApplicationException(error);
    }
}

// The window's own close handling decides first; the save follows only when it lets the window
// close. The event is delivered here, so the filter reports it as handled.
bool TFormPlacement::OwnerClosing(QEvent* event)
{
    QPointer<QWidget> owner = owner_;
    static_cast<QObject*>(owner)->event(event);
    if (!owner || !event->isAccepted() || !Active)
        return true;
    closeSaveTried_ = true;
    try {
        SaveFormPlacement();
    } catch (const std::exception& error) {
        platform::HandleApplicationException(error);
    }
    return true;
}

std::string TFormPlacement::ReadString(const std::string& key, const std::string& defaultValue) const
{
    return platform::GetPrivateProfileString(SectionName(), key, defaultValue, IniFileName());
}

// A missing or empty value is no number either, so it gives the default as well.
int TFormPlacement::ReadInteger(const std::string& key, int defaultValue) const
{
    return IntOrDefault(ReadString(key, ""), defaultValue);
}

void TFormPlacement::WriteString(const std::string& key, const std::string& value)
{
    pending_.emplace_back(key, QuotedForWrite(value));
}

void TFormPlacement::WritePending()
{
    const std::string file = IniFileName();
    const bool written = platform::WritePrivateProfileStrings(SectionName(), pending_, file);
    pending_.clear();
    if (!written)
        throw Exception(CannotWriteText(file));
}

std::string TFormPlacement::ScreenKey(const std::string& key)
{
    QSize size;
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        size = screen->geometry().size() * screen->devicePixelRatio();
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, "(%dx%d)", size.width(), size.height());
    return key + suffix;
}

int TFormPlacement::CurrentPixelsPerInch()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? static_cast<int>(std::lround(screen->logicalDotsPerInch())) : 96;
}

void TFormPlacement::RestoreFormPlacement()
{
    saved_ = false;
    if (ReadInteger("FormVersion", 0) >= Version && owner_) {
        RestorePlacement();
        restored_ = true;
        RestoreStoredState();
        if (OnRestorePlacement)
            OnRestorePlacement(this);
        if (Options & fpActiveControl) {
            const QString name = QString::fromStdString(ReadString("ActiveControl", ""));
            QWidget* control = name.isEmpty() ? nullptr : owner_->findChild<QWidget*>(name);
            if (control && control->isEnabled() && control->focusPolicy() != Qt::NoFocus)
                control->setFocus();
        }
    }
    restored_ = true;
}

void TFormPlacement::RestorePlacement()
{
    if (Options & fpPosition)
        RestorePosition();
    if (Options & fpState)
        RestoreShowState();
    owner_->update();
}

// The value stored for this screen's resolution, or else the one last stored at any.
std::string TFormPlacement::ReadPosition(const std::string& key) const
{
    const std::string value = ReadString(ScreenKey(key), "");
    return value.empty() ? ReadString(key, "") : value;
}

// The stored flags are not read: this window system has no placement flags to apply.
void TFormPlacement::RestorePosition()
{
    QWidget* window = owner_;
    const std::string minMax = ReadPosition("MinMaxPos");
    const std::string normal = ReadPosition("NormPos");
    if ((minMax.empty() && normal.empty()) ||
        ReadInteger("PixelsPerInch", CurrentPixelsPerInch()) != CurrentPixelsPerInch())
        return;
    const QRect client = window->geometry();
    const std::vector<std::string> words = PositionWords(normal);
    const int left = IntOrDefault(words[0], client.x());
    const int top = IntOrDefault(words[1], client.y());
    const bool fixed = FixedSize(window);  // only the position is restored
    const int right = fixed ? left + client.width() : IntOrDefault(words[2], client.x() + client.width());
    const int bottom = fixed ? top + client.height() : IntOrDefault(words[3], client.y() + client.height());
    const QRect stored(QPoint(left, top), QPoint(right - 1, bottom - 1));
    const QScreen* screen = ScreenShowing(stored);
    if (left >= right || !screen)
        return;
    // The client area's corner is kept, not the frame's: the frame is not known before the
    // window is shown, and putting the client where the frame was would move the window up
    // by its title bar at every start. Until the frame is known, the client stays on the area.
    usableArea_ = screen->availableGeometry();
    const QRect placed(QPoint(left, top), fixed ? client.size() : stored.size());
    window->setGeometry(QRect(OnArea(placed, *usableArea_), placed.size()));
    WatchForFrame(FrameLooks);
}

// The frame can become known without any event reaching the window, so look for it a while.
void TFormPlacement::WatchForFrame(int looksLeft)
{
    KeepFrameOnScreen();
    if (usableArea_ && looksLeft > 0)
        QTimer::singleShot(50, this, [this, looksLeft] { WatchForFrame(looksLeft - 1); });
}

void TFormPlacement::RestoreShowState()
{
    QWidget* window = owner_;
    const Qt::WindowStates normal = window->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized);
    switch (ReadInteger("ShowCmd", 0)) {
    case 2:
    case 6:
    case 7:
        // Minimize only once the window is up, as a program started minimized does.
        window->setWindowState(normal);
        QTimer::singleShot(0, window, [window] { window->showMinimized(); });
        break;
    case 3:
        QTimer::singleShot(0, window, [window] { window->showMaximized(); });
        break;
    default:
        if (window->windowState() != normal)
            window->setWindowState(normal);
        break;
    }
}

void TFormPlacement::SaveFormPlacement()
{
    if (Active && !restored_)
        return;
    pending_.clear();
    WriteString("FormVersion", std::to_string(Version));
    if (Options & (fpState | fpPosition))
        SavePlacement();
    if ((Options & fpActiveControl) && owner_) {
        const QWidget* focus = owner_->focusWidget();
        WriteString("ActiveControl", focus ? focus->objectName().toStdString() : std::string());
    }
    SaveStoredState();
    if (OnSavePlacement)
        OnSavePlacement(this);
    WritePending();
    saved_ = true;
}

// On this window system the placement is the show state, no flags, no minimized or maximized
// position, and the client area's rectangle in its normal state.
void TFormPlacement::SavePlacement()
{
    int showCmd = 1;
    QRect normalRect;
    if (const QWidget* window = owner_) {
        showCmd = window->isMinimized() ? 2 : window->isMaximized() ? 3 : 1;
        normalRect = showCmd != 1 && window->normalGeometry().isValid() ? window->normalGeometry() : window->geometry();
    }
    const std::string minMax = PositionText(-1, -1, -1, -1);
    const std::string normal =
        PositionText(normalRect.left(), normalRect.top(), normalRect.left() + normalRect.width(),
                     normalRect.top() + normalRect.height());
    WriteString("Flags", "0");
    WriteString("ShowCmd", std::to_string(showCmd));
    WriteString("PixelsPerInch", std::to_string(CurrentPixelsPerInch()));
    WriteString(ScreenKey("MinMaxPos"), minMax);
    WriteString("MinMaxPos", minMax);
    WriteString(ScreenKey("NormPos"), normal);
    WriteString("NormPos", normal);
    WriteString("Visible", destroying_ ? "1" : "0");
}
