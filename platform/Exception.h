// The exception family of the program: every error carries its message text from the
// point of failure up to whoever reports it.
#pragma once

#include <stdexcept>
#include <string>

class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// A text that should have been a number.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// A file that could not be created, opened, read or written.
class EInOutError : public Exception {
public:
    using Exception::Exception;
};

// Decimal text to integer, as the run-time library's conversion does it: optional blanks,
// optional sign, decimal digits or "$"/"0x" hexadecimal; anything else raises EConvertError.
int StrToInt(const std::string& text);
// StrToInt's value, or `defaultValue` for a text that is no number.
int IntOrDefault(const std::string& text, int defaultValue);

// The run-time library's conversion error text for `text`.
std::string ConvertErrorText(const std::string& text);
