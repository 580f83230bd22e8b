#include "net/NMUUE.h"
#include "platform/catalogue.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr char MimeAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// uuencode with the back quote in place of the blank, so no line ends in trailing blanks.
constexpr char UuAlphabet[] = "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";
static_assert(sizeof(MimeAlphabet) == 65 && sizeof(UuAlphabet) == 65);

}  // namespace

size_t TMemoryStream::Read(char* buffer, size_t count)
{
    if (position_ >= data_.size())
        return 0;
    const size_t n = std::min(count, data_.size() - position_);
    std::memcpy(buffer, data_.data() + position_, n);
    position_ += n;
    return n;
}

void TMemoryStream::Write(const char* buffer, size_t count)
{
    if (position_ > data_.size())
        data_.resize(position_, '\0');
    data_.replace(position_, std::min(count, data_.size() - position_), buffer, count);
    position_ += count;
}

std::string TNMUUProcessor::EncodeLine(const unsigned char* b, size_t count) const
{
    std::string line;
    if (Method == uuCode)
        line += alphabet_[count];
    size_t i = 0;
    for (; i + 3 <= count; i += 3) {
        line += alphabet_[b[i] >> 2];
        line += alphabet_[((b[i] & 0x03) << 4) | (b[i + 1] >> 4)];
        line += alphabet_[((b[i + 1] & 0x0F) << 2) | (b[i + 2] >> 6)];
        line += alphabet_[b[i + 2] & 0x3F];
    }
    if (count - i == 1) {
        line += alphabet_[b[i] >> 2];
        line += alphabet_[(b[i] & 0x03) << 4];
        if (Method == uuMime)
            line += "==";
    } else if (count - i == 2) {
        line += alphabet_[b[i] >> 2];
        line += alphabet_[((b[i] & 0x03) << 4) | (b[i + 1] >> 4)];
        line += alphabet_[(b[i + 1] & 0x0F) << 2];
        if (Method == uuMime)
            line += "=";
    }
    return line + "\r\n";
}

void TNMUUProcessor::Encode()
{
    if (InputStream == nullptr || OutputStream == nullptr)
        throw Exception(_("ストリームが指定されていません"));
    try {
        InputStream->SetPosition(0);
        if (OnBeginEncode)
            OnBeginEncode(this);
        alphabet_ = Method == uuCode ? UuAlphabet : MimeAlphabet;
        unsigned char chunk[BytesPerLine];
        while (InputStream->Position() < InputStream->Size()) {
            const size_t n = InputStream->Read(reinterpret_cast<char*>(chunk), BytesPerLine);
            if (n == 0)
                break;  // a stream that claims more than it yields must not spin here
            const std::string line = EncodeLine(chunk, n);
            OutputStream->Write(line.data(), line.size());
        }
        if (Method == uuCode) {
            const std::string last = std::string(1, alphabet_[0]) + "\r\n";
            OutputStream->Write(last.data(), last.size());
        }
    } catch (...) {
        OutputStream->SetPosition(0);
        if (OnEndEncode)
            OnEndEncode(this);
        throw;
    }
    OutputStream->SetPosition(0);
    if (OnEndEncode)
        OnEndEncode(this);
}
