// The lines of a request head, with lookup and replacement of a header line by its name.
#pragma once

#include <string>
#include <vector>

class TExStringList {
public:
    int Count() const { return static_cast<int>(lines_.size()); }
    const std::string& operator[](int index) const { return lines_.at(static_cast<size_t>(index)); }
    const std::vector<std::string>& Lines() const { return lines_; }

    void Add(const std::string& line) { lines_.push_back(line); }
    void Delete(int index);
    void Clear() { lines_.clear(); }
    // Every line followed by CR LF, as the lines go on the wire.
    std::string Text() const;

    // Index of the first line whose name (text before its first ":") equals `name`, letter case
    // ignored; -1 when there is none. Lines without ":" have no name.
    int IndexOfHeader(const std::string& name) const;
    // Replace or append "name: value"; an empty value removes the named line instead.
    void SetHeader(const std::string& name, const std::string& value);

private:
    std::vector<std::string> lines_;
};
