#include "platform/Exception.h"

#include "platform/catalogue.h"

#include <cctype>
#include <climits>

std::string ConvertErrorText(const std::string& text)
{
    return platform::Fill(_("'%1' は正しい整数値ではありません。"), {text});
}

int StrToInt(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size())
        throw EConvertError(ConvertErrorText(text));
    long long value = 0;
    for (; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        int digit;
        if (std::isdigit(c))
            digit = c - '0';
        else if (base == 16 && std::isxdigit(c))
            digit = std::tolower(c) - 'a' + 10;
        else
            throw EConvertError(ConvertErrorText(text));
        value = value * base + digit;
        if (value > static_cast<long long>(INT_MAX) + 1)
            throw EConvertError(ConvertErrorText(text));
    }
    if (negative)
        value = -value;
    if (value > INT_MAX || value < INT_MIN)
        throw EConvertError(ConvertErrorText(text));
    return static_cast<int>(value);
}

int IntOrDefault(const std::string& text, int defaultValue)
{
    try {
        return StrToInt(text);
    } catch (const EConvertError&) {
        return defaultValue;
    }
}
