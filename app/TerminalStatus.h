// Status texts on a stream: on a terminal one line that is redrawn in place, elsewhere one
// line each.
#pragma once

#include <cstdio>
#include <string>

class TTerminalStatus {
public:
    explicit TTerminalStatus(std::FILE* stream);

    bool OnTerminal() const { return onTerminal_; }
    // An updating line is on the terminal.
    bool Shown() const { return shown_; }
    const std::string& Text() const { return text_; }

    // The new status text: redrawn in place on a terminal, a line of its own elsewhere.
    void SetText(const std::string& text);
    // The updating line shows `line`, cut to the terminal's width.
    void Draw(const std::string& line);
    void Clear();
    // The updating line stays on the screen; whatever follows starts on a line of its own.
    void EndLine();
    // `text` on a line of its own below the updating line.
    void PrintLine(const std::string& text);
    // `text` on a line of its own; the updating line is drawn again below it.
    void Notice(const std::string& text);

private:
    std::FILE* stream_;
    bool onTerminal_;
    bool shown_ = false;
    std::string text_;
};
