// URLs: the URL-encoded text decoder and the HTTP client's split of a URL into host, port and
// request path, which sees every link a gallery page or a redirect names.
#include "harness.h"

#include "net/NMHttp.h"
#include "net/NMURL.h"
#include "platform/Exception.h"

namespace {

class Client : public TNMHTTP {
public:
    void Aim(const std::string& url) { url_ = url; }
};

// Every byte as "%" and two hexadecimal digits, in capitals and in small letters by turns.
std::string Escaped(const std::string& text)
{
    static const char capitals[] = "0123456789ABCDEF";
    static const char small[] = "0123456789abcdef";
    std::string escaped;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char* digits = i % 2 == 0 ? capitals : small;
        const auto byte = static_cast<unsigned char>(text[i]);
        escaped += {'%', digits[byte >> 4], digits[byte & 0xF]};
    }
    return escaped;
}

std::string Decoded(const std::string& text, bool& failed)
{
    TNMURL decoder;
    failed = false;
    decoder.OnError = [&](TComponent*, const std::string&, const std::string&) { failed = true; };
    decoder.InputString = text;
    return decoder.Decode();
}

void Decode(const std::string& text)
{
    bool failed = false;
    const std::string decoded = Decoded(text, failed);
    fuzz::Expect(!failed || decoded == text, "an undecodable text comes back unchanged");
    fuzz::Expect(decoded.size() <= text.size(), "decoding never lengthens a text");
    if (text.find_first_of("%+") == std::string::npos)
        fuzz::Expect(decoded == text, "a text without escapes decodes to itself");
    fuzz::Expect(Decoded(Escaped(text), failed) == text && !failed, "every byte can be escaped");
}

void Split(Client& http, const std::string& url)
{
    http.Aim(url);
    try {
        http.ParseURL();
    } catch (const Exception&) {
        return;  // an empty URL, or a port that is not one
    }
    fuzz::Expect(!http.RequestPath().empty() && http.RequestPath()[0] == '/', "a request path starts with /");
    fuzz::Expect(http.RequestPath().size() <= TNMHTTP::MaxCopiedText, "a request path is cut to its limit");
    fuzz::Expect(http.Port >= 1 && http.Port <= 65535, "a port is a port");
    fuzz::Expect(http.Host.find('/') == std::string::npos, "a host name holds no /");
    fuzz::Expect(url.empty() || http.URL().compare(0, url.size(), url) == 0, "the URL is only ever completed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text = fuzz::Text(data, size);
    Decode(text);
    Client http;
    Split(http, text);
    return 0;
}
