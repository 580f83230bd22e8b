// The two text helpers of the transport's callers: fields of a separated text, and where the
// n-th of a character stands; both 1-based, as the walks count.
#include "net/Psock.h"

std::string ExtractField(const std::string& text, char separator, int n)
{
    std::string result;
    if (n <= 0)
        return result;
    int field = 0;
    for (char c : text) {
        if (c == separator) {
            if (++field == n)
                break;
        } else if (field == n - 1) {
            result += c;
        }
    }
    return result;
}

int NthCharPosition(const std::string& text, char ch, int n)
{
    int seen = 0;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == ch && ++seen == n)
            return static_cast<int>(i) + 1;
    return static_cast<int>(text.size()) + 1;
}
