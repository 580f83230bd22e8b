#include "net/NMURL.h"

#include "platform/catalogue.h"
#include "platform/Exception.h"

#include <cctype>

namespace {

int HexValue(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return std::isdigit(u) ? u - '0' : std::tolower(u) - 'a' + 10;
}

bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

std::string TNMURL::Decode()
{
    std::string result;
    size_t i = 0;
    while (i < InputString.size()) {
        const char c = InputString[i];
        if (c == '+') {
            result += ' ';
            ++i;
        } else if (c == '%') {
            const std::string digits = InputString.substr(i + 1, 2);
            if (digits.size() != 2 || !IsHex(digits[0]) || !IsHex(digits[1])) {
                if (OnError)
                    OnError(this, _("デコード中エラー"), ConvertErrorText("$" + digits));
                return InputString;
            }
            result += static_cast<char>(HexValue(digits[0]) * 16 + HexValue(digits[1]));
            i += 3;
        } else {
            result += c;
            ++i;
        }
    }
    return result;
}
