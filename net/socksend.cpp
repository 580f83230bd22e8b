// Sending: a buffer or a text, queued and written by the write handler a chunk per pass, or a
// file read a chunk at a time as the socket takes it.
#include "net/Psock.h"

#include "net/finally.h"
#include "platform/catalogue.h"
#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

using namespace platform;

void TPowersock::SendBuffer(const char* bytes, unsigned length)
{
    ReportStatus(4, _("バッファを送信中"));
    if (Cancelled())
        return;
    if (length == 0) {
        const size_t text = bytes ? std::strlen(bytes) : 0;
        if (text > 65535)
            throw ESockError(_("送信データが長すぎます"));
        length = static_cast<unsigned>(text);
    }
    outBuffer_.insert(outBuffer_.end(), bytes, bytes + length);
    SendDone = false;
    // Sent at once where no handler runs: a request costs no pass of the loop before it leaves.
    if (HandlerBusy)
        PostMessage(window_->Handle(), WM_CONTINUESEND, 0, 0);
    else
        WriteHandler();
    WaitWhile([this] { return !SendDone && !Cancelled() && !sendFailed_; });
    if (Cancelled()) {
        outBuffer_.clear();  // what was not sent must not lead the next request
        throw EAbortError(_("ソケット送信失敗"));
    }
    if (!SendDone) {
        outBuffer_.clear();
        RaiseSendError();
    }
}

void TPowersock::Write(const std::string& text)
{
    ReportStatus(8, "書込");
    // Like the 16,385-byte text buffer: at most 16,384 characters, ending at the first NUL.
    std::string buffer = text.substr(0, 16384);
    SendBuffer(buffer.c_str(), 0);
}

void TPowersock::Writeln(const std::string& text)
{
    ReportStatus(8, "Writeln");
    Write(text + "\r\n");
}

void TPowersock::SendFile(const std::string& path)
{
    ReportStatus(8, "ファイル送信");
    UniqueFd file(::open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (!file)
        throw EInOutError(platform::Fill(_("ファイル %1 を開けません"), {path}));
    struct stat info {};
    fstat(file.Get(), &info);
    TransferActive = true;
    SendFromFile = true;
    sourceFd_ = std::move(file);
    sourceSize_ = info.st_size;
    net::Finally restore{[this] {
        sourceFd_.Reset();
        TransferActive = false;
        SendFromFile = false;
    }};
    SendDone = false;
    BytesSent = 0;
    BytesTotal = sourceSize_;
    PostMessage(window_->Handle(), WM_CONTINUESEND, 0, 0);
    WaitWhile([this] { return !SendDone && !Cancelled() && BytesTotal > 0 && !sendFailed_; });
    if (Cancelled())
        throw EAbortError(_("ソケット送信失敗"));
    if (!SendDone && BytesTotal > 0)
        RaiseSendError();
}

void TPowersock::RaiseSendError()
{
    throw ESockError(FailureText(ErrorText(static_cast<std::uint16_t>(LastError)), StepText(), ReasonText(LastError)));
}

void TPowersock::WriteHandler()
{
    if (HandlerBusy)
        return;
    HandlerBusy = true;
    net::Finally clear{[this] { HandlerBusy = false; }};
    ReportStatus(8, "ストリーム書き出し中");
    const bool pending = SendFromFile ? BytesSent < sourceSize_ : !outBuffer_.empty();
    if (!pending || Cancelled())
        return;
    const char* data;
    int length;
    if (SendFromFile) {
        const ssize_t got = pread(sourceFd_.Get(), scratch_, ChunkSize, static_cast<off_t>(BytesSent));
        if (got <= 0) {
            sendFailed_ = true;  // the file shrank or cannot be read: nothing more will come
            return;
        }
        data = scratch_;
        length = static_cast<int>(got);
    } else {
        data = outBuffer_.data();
        length = static_cast<int>(std::min<size_t>(outBuffer_.size(), ChunkSize));
    }
    const int n = SocketSend(SocketHandle, data, length);
    if (n < 0) {
        LastError = WSAGetLastError();
        // Would-block resumes with the next write notification; anything else never will.
        if (LastError != WSAEWOULDBLOCK)
            sendFailed_ = true;
        return;
    }
    const bool remains = SendFromFile ? BytesSent + n < sourceSize_ : static_cast<size_t>(n) < outBuffer_.size();
    if (remains) {
        if (!SendFromFile)
            outBuffer_.erase(outBuffer_.begin(), outBuffer_.begin() + n);
        PostMessage(window_->Handle(), WM_CONTINUESEND, 0, 0);
    } else {
        if (!SendFromFile)
            outBuffer_.clear();
        SendDone = true;
    }
    BytesSent += n;
    if (TransferActive)
        FireNotify(OnPacketSent);
}
