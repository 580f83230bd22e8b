#include "net/NMExtstr.h"

#include "platform/text.h"

void TExStringList::Delete(int index)
{
    (void)lines_.at(static_cast<size_t>(index));  // range check
    lines_.erase(lines_.begin() + index);
}

std::string TExStringList::Text() const
{
    std::string text;
    for (const std::string& line : lines_)
        text += line + "\r\n";
    return text;
}

// The list is never kept sorted, so a straight scan is the only search it needs.
int TExStringList::IndexOfHeader(const std::string& name) const
{
    for (size_t i = 0; i < lines_.size(); ++i) {
        const size_t colon = lines_[i].find(':');
        if (colon != std::string::npos && SameText(std::string_view(lines_[i]).substr(0, colon), name))
            return static_cast<int>(i);
    }
    return -1;
}

void TExStringList::SetHeader(const std::string& name, const std::string& value)
{
    const int index = IndexOfHeader(name);
    if (value.empty()) {
        if (index >= 0)
            Delete(index);
        return;
    }
    const std::string line = name + ": " + value;
    if (index >= 0)
        lines_[static_cast<size_t>(index)] = line;
    else
        lines_.push_back(line);
}
