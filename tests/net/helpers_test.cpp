// The header-list, encoder and URL-decoder helpers of the HTTP client, one table per class.
#include "net/NMExtstr.h"
#include "net/NMURL.h"
#include "net/NMUUE.h"
#include "net/httpdate.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

// ---- TExStringList ----

struct HeaderCase {
    const char* name;
    std::vector<std::string> lines;
    enum { Lookup, Set } op;
    std::string header;
    std::string value;        // Set only
    int expectedIndex;        // Lookup only
    std::vector<std::string> expectedLines;  // Set only
};

TEST(TExStringListTest, LooksUpAndSetsHeadersByName)
{
    const std::vector<HeaderCase> cases = {
        {"found ignoring case", {"GET / HTTP/1.0", "Host: a", "Accept: x"}, HeaderCase::Lookup, "HOST", "", 1, {}},
        {"first of two", {"Accept: x", "Accept: y"}, HeaderCase::Lookup, "accept", "", 0, {}},
        {"line without colon has no name", {"Host", "Host: a"}, HeaderCase::Lookup, "Host", "", 1, {}},
        {"request line is never a name", {"GET /x:y HTTP/1.0"}, HeaderCase::Lookup, "GET /x", "", 0, {}},
        {"missing", {"Host: a"}, HeaderCase::Lookup, "Cookie", "", -1, {}},
        {"blank before colon is part of the name", {"Host : a"}, HeaderCase::Lookup, "Host", "", -1, {}},
        {"empty list", {}, HeaderCase::Lookup, "Host", "", -1, {}},
        {"replace takes caller's case", {"GET / HTTP/1.0", "Host: a"}, HeaderCase::Set, "host", "b", 0,
         {"GET / HTTP/1.0", "host: b"}},
        {"append when missing", {"Host: a"}, HeaderCase::Set, "User-Agent", "u", 0, {"Host: a", "User-Agent: u"}},
        {"empty value removes", {"Host: a", "Cookie: c", "Accept: x"}, HeaderCase::Set, "cookie", "", 0,
         {"Host: a", "Accept: x"}},
        {"empty value without line changes nothing", {"Host: a"}, HeaderCase::Set, "Cookie", "", 0, {"Host: a"}},
    };
    for (const HeaderCase& c : cases) {
        SCOPED_TRACE(c.name);
        TExStringList list;
        for (const std::string& line : c.lines)
            list.Add(line);
        if (c.op == HeaderCase::Lookup) {
            EXPECT_EQ(list.IndexOfHeader(c.header), c.expectedIndex);
        } else {
            list.SetHeader(c.header, c.value);
            EXPECT_EQ(list.Lines(), c.expectedLines);
        }
    }
    TExStringList list;
    list.Add("a");
    list.Add("");
    EXPECT_EQ(list.Text(), "a\r\n\r\n");
    EXPECT_THROW(list.Delete(2), std::out_of_range);
}

// ---- TNMUUProcessor ----

// A reference Base64 written independently of the encoder (whole text, no line breaks).
std::string ReferenceBase64(const std::string& bytes)
{
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (unsigned char b : bytes) {
        bits = (bits << 8) | b;
        count += 8;
        while (count >= 6) {
            count -= 6;
            out += abc[(bits >> count) & 0x3F];
        }
    }
    if (count > 0)
        out += abc[(bits << (6 - count)) & 0x3F];
    while (out.size() % 4 != 0)
        out += '=';
    return out;
}

std::string Bytes(size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += static_cast<char>((i * 37 + 11) & 0xFF);
    return s;
}

class FailingStream : public TMemoryStream {
public:
    void Write(const char*, size_t) override { throw std::runtime_error("disk full"); }
};

struct EncodeCase {
    const char* name;
    UUMethods method;
    std::string input;
    std::string expected;
};

TEST(TNMUUProcessorTest, EncodesLinesOfFortyFiveBytes)
{
    const std::string b46 = Bytes(46);
    const std::string b90 = Bytes(90);
    const std::vector<EncodeCase> cases = {
        {"mime empty", uuMime, "", ""},
        {"mime one byte", uuMime, "M", "TQ==\r\n"},
        {"mime two bytes", uuMime, "Ma", "TWE=\r\n"},
        {"mime three bytes", uuMime, "Man", "TWFu\r\n"},
        {"mime user and password", uuMime, "Internet Explorer:secret", "SW50ZXJuZXQgRXhwbG9yZXI6c2VjcmV0\r\n"},
        {"mime 46 bytes: 60 characters, then 2 and ==", uuMime, b46,
         ReferenceBase64(b46.substr(0, 45)) + "\r\n" + ReferenceBase64(b46.substr(45)) + "\r\n"},
        {"mime exactly two lines", uuMime, b90,
         ReferenceBase64(b90.substr(0, 45)) + "\r\n" + ReferenceBase64(b90.substr(45)) + "\r\n"},
        {"uu empty is the back-quote line", uuCode, "", "`\r\n"},
        {"uu cat", uuCode, "Cat", "#0V%T\r\n`\r\n"},
        {"uu one byte, no padding", uuCode, "C", "!0P\r\n`\r\n"},
        {"uu zero bits use the back quote", uuCode, std::string(3, '\0'), "#````\r\n`\r\n"},
    };
    for (const EncodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        TMemoryStream input(c.input);
        input.SetPosition(c.input.size());  // Encode starts from the beginning whatever the position
        TMemoryStream output;
        TNMUUProcessor encoder;
        encoder.Method = c.method;
        encoder.InputStream = &input;
        encoder.OutputStream = &output;
        std::vector<std::string> events;
        encoder.OnBeginEncode = [&](TComponent* s) { events.push_back(s == &encoder ? "begin" : "?"); };
        encoder.OnEndEncode = [&](TComponent* s) { events.push_back(s == &encoder ? "end" : "?"); };
        encoder.Encode();
        EXPECT_EQ(output.DataString(), c.expected);
        EXPECT_EQ(output.Position(), 0u);
        EXPECT_EQ(events, (std::vector<std::string>{"begin", "end"}));
        if (c.method == uuMime) {
            std::string joined;
            for (char ch : output.DataString())
                if (ch != '\r' && ch != '\n')
                    joined += ch;
            EXPECT_EQ(joined, ReferenceBase64(c.input));
        }
    }

    // Output goes at the stream's position; a failing stream still ends the encoding.
    TMemoryStream input("Man");
    TMemoryStream output("xy");
    output.SetPosition(2);
    TNMUUProcessor encoder;
    encoder.InputStream = &input;
    encoder.OutputStream = &output;
    encoder.Encode();
    EXPECT_EQ(output.DataString(), "xyTWFu\r\n");

    FailingStream failing;
    encoder.OutputStream = &failing;
    int ends = 0;
    encoder.OnEndEncode = [&](TComponent*) { ++ends; };
    EXPECT_THROW(encoder.Encode(), std::runtime_error);
    EXPECT_EQ(ends, 1);
    encoder.OutputStream = nullptr;
    EXPECT_THROW(encoder.Encode(), Exception);
}

// ---- TNMURL ----

struct DecodeCase {
    const char* input;
    std::string expected;
    std::string error;  // ErrMsg expected from OnError, empty when none
};

TEST(TNMURLTest, DecodesPlusAndPercentEscapes)
{
    const std::vector<DecodeCase> cases = {
        {"a+b%41", "a b" "A", ""},
        {"%4a%4A%7e", "JJ~", ""},
        {"%00x", std::string("\0x", 2), ""},
        {"%ff", "\xff", ""},
        {"plain", "plain", ""},
        {"", "", ""},
        {"100%", "100%", "'$' は正しい整数値ではありません。"},
        {"10%4", "10%4", "'$4' は正しい整数値ではありません。"},
        {"a+%zz+b", "a+%zz+b", "'$zz' は正しい整数値ではありません。"},
        {"%4g", "%4g", "'$4g' は正しい整数値ではありません。"},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.input);
        TNMURL url;
        url.InputString = c.input;
        std::vector<std::string> errors;
        url.OnError = [&](TComponent* sender, const std::string& operation, const std::string& message) {
            EXPECT_EQ(sender, &url);
            EXPECT_EQ(operation, "デコード中エラー");
            errors.push_back(message);
        };
        EXPECT_EQ(url.Decode(), c.expected);
        if (c.error.empty())
            EXPECT_TRUE(errors.empty());
        else
            EXPECT_EQ(errors, std::vector<std::string>{c.error});
        TNMURL silent;  // without a handler a bad escape is still no exception
        silent.InputString = c.input;
        EXPECT_EQ(silent.Decode(), c.expected);
    }
}

// ---- HTTP dates ----

TEST(HttpDateTest, ReadsTheOneFormAndWritesIt)
{
    const struct {
        const char* text;
        long long seconds;
    } rows[] = {{"Mon, 07 Dec 2026 10:00:00 GMT", 1796637600}, {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
                {"Mon, 07 Dec 2026 10:00:00", -1}, {"Mon, 07 Foo 2026 10:00:00 GMT", -1},
                {"Mon, 07 Dec 2026 25:00:00 GMT", -1}, {"Mon, 07 Dec 2026 10:00:00 GMT trailing", -1}, {"", -1},
                // A field with a sign is no date, least of all one before 1970 that no date reads as.
                {"Thu, 01 Jan 1970 00:00:-5 GMT", -1}, {"Sun, 06 Nov 1994 08:-9:37 GMT", -1},
                {"Fri, 31 Dec 9999 23:59:59 GMT", 253402300799}, {"Fri, 31 Dec 9999 23:59:60 GMT", -1}};
    for (const auto& row : rows) {
        EXPECT_EQ(ParseHttpDate(row.text), row.seconds) << row.text;
        if (row.seconds >= 0) {
            EXPECT_EQ(FormatHttpDate(row.seconds), row.text);
        }
    }
}

}  // namespace
