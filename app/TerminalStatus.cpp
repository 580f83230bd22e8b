#include "app/TerminalStatus.h"

#include <algorithm>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Columns of the terminal, or 0 when unknown.
int TerminalColumns(std::FILE* stream)
{
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

// `text` cut to fit `columns` on one line; a character of three or more bytes counts as wide.
std::string FitLine(const std::string& text, int columns)
{
    if (columns <= 1)
        return text;
    int used = 0;
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        const int width = length >= 3 ? 2 : 1;
        if (used + width > columns - 1)
            break;
        used += width;
        i += length;
    }
    return text.substr(0, std::min(i, text.size()));
}

// A text without the line end that a server's reply line brings along.
std::string MessageLine(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

}  // namespace

TTerminalStatus::TTerminalStatus(std::FILE* stream) : stream_(stream), onTerminal_(isatty(fileno(stream)) != 0) {}

// Reported reply lines come with their line end, which would break the one-line display.
void TTerminalStatus::SetText(const std::string& text)
{
    text_ = MessageLine(text);
    if (onTerminal_) {
        Draw(text_);
        return;
    }
    std::fprintf(stream_, "%s\n", text_.c_str());
    std::fflush(stream_);
}

void TTerminalStatus::Draw(const std::string& line)
{
    std::fprintf(stream_, "\r%s\x1b[K", FitLine(line, TerminalColumns(stream_)).c_str());
    std::fflush(stream_);
    shown_ = true;
}

void TTerminalStatus::Clear()
{
    std::fputs("\r\x1b[K", stream_);
    std::fflush(stream_);
}

void TTerminalStatus::EndLine()
{
    if (!shown_)
        return;
    std::fputc('\n', stream_);
    std::fflush(stream_);
    shown_ = false;
}

void TTerminalStatus::PrintLine(const std::string& text)
{
    EndLine();
    std::fprintf(stream_, "%s\n", MessageLine(text).c_str());
    std::fflush(stream_);
}

void TTerminalStatus::Notice(const std::string& text)
{
    PrintLine(text);
    if (onTerminal_ && !text_.empty())
        Draw(text_);
}
