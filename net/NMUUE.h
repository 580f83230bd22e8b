// Base64 and uuencode line encoding of a byte stream; the HTTP client builds its
// "Authorization" value with it.
#pragma once

#include "net/Psock.h"

#include <cstddef>
#include <string>

// A byte stream with a position, as the encoder reads and writes it.
class TStream {
public:
    virtual ~TStream() = default;
    // Read up to `count` bytes at the position, advancing it; returns the bytes read.
    virtual size_t Read(char* buffer, size_t count) = 0;
    // Write at the position (overwriting, then extending), advancing it.
    virtual void Write(const char* buffer, size_t count) = 0;
    virtual size_t Position() const = 0;
    virtual void SetPosition(size_t position) = 0;
    virtual size_t Size() const = 0;
};

// A stream held in memory.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::string data) : data_(std::move(data)) {}

    size_t Read(char* buffer, size_t count) override;
    void Write(const char* buffer, size_t count) override;
    void Write(const std::string& text) { Write(text.data(), text.size()); }
    size_t Position() const override { return position_; }
    void SetPosition(size_t position) override { position_ = position; }
    size_t Size() const override { return data_.size(); }
    const std::string& DataString() const { return data_; }

private:
    std::string data_;
    size_t position_ = 0;
};

enum UUMethods { uuMime = 0, uuCode = 1 };

class TNMUUProcessor : public TComponent {
public:
    static constexpr size_t BytesPerLine = 45;

    UUMethods Method = uuMime;
    TNotifyEvent OnBeginEncode;
    TNotifyEvent OnEndEncode;
    // Kept for the decoding direction, which this program never needs; never called.
    TNotifyEvent OnBeginDecode;
    TNotifyEvent OnEndDecode;
    // Not owned.
    TStream* InputStream = nullptr;
    TStream* OutputStream = nullptr;

    // Encode InputStream from its start into OutputStream at its position, one line per 45 bytes.
    void Encode();

private:
    std::string EncodeLine(const unsigned char* bytes, size_t count) const;

    const char* alphabet_ = nullptr;
};
