// Receiving into the input buffer, and the reads that wait on it: a count of bytes, a line, a
// command's one-line reply. Every wait polls: a pass waits for socket events, then processes
// all pending messages, so the user interface stays live.
#include "net/Psock.h"

#include "net/finally.h"
#include "platform/catalogue.h"

#include <algorithm>
#include <cstring>

using namespace platform;

namespace {

const char* ClosedText()
{
    return _("closed by the server");
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Waiting

void TPowersock::WaitPass()
{
    platform::WaitPass();
}

void TPowersock::WaitWhile(const std::function<bool()>& condition)
{
    while (condition())
        WaitPass();
}

// ---------------------------------------------------------------------------------------------
// The input buffer

void TPowersock::ReadHandler()
{
    if (Cancelled()) {
        MuteSocket();
        FireNotify(OnCancelSeen);
    }
    if (HandlerBusy)
        return;
    HandlerBusy = true;
    bool received = false;
    {
        net::Finally clear{[this] { HandlerBusy = false; }};
        ReportStatus(8, "ストリーム読み込み中");
        const int n = ReceiveOnce();
        if (n < 0) {
            NoteReceiveError();
            if (OnError)
                OnError(this, static_cast<std::uint16_t>(LastError), ErrorText(static_cast<std::uint16_t>(LastError)));
        } else {
            received = true;
            BytesArrived += n;
            if (TransferActive) {
                BytesRecvd += n;
                FireNotify(OnPacketRecvd);
            }
        }
    }
    if (received)
        FireNotify(OnDataArrived);
}

// One receive per read notification, never re-posted: the socket signals again while unread
// data remains, so a pass reads what is there once. The bytes go straight where they are
// kept: a capture's file, in big receives, or the input buffer, in chunks.
int TPowersock::ReceiveOnce()
{
    if (Capturing())
        return spliceWrite_ ? SpliceIntoFile() : ReceiveIntoFile();
    if (inStart_ > 0 && inStart_ == inBuffer_.size())
        ClearInput();
    const size_t before = inBuffer_.size();
    inBuffer_.resize(before + ReceiveSize);
    const int n = SocketRecv(SocketHandle, inBuffer_.data() + before, ReceiveSize);
    inBuffer_.resize(before + static_cast<size_t>(std::max(n, 0)));
    return n;
}

void TPowersock::CloseDrain()
{
    // What the peer sent before closing is kept, but not counted as transfer progress. A
    // capture's rest goes into its file the way its reads do.
    while (!Cancelled()) {
        const int n = ReceiveOnce();
        if (n <= 0)
            break;
        BytesArrived += n;
    }
}

// A receive that fails for any reason but would-block means the connection is gone.
void TPowersock::NoteReceiveError()
{
    LastError = WSAGetLastError();
    if (LastError != WSAEWOULDBLOCK) {
        dropError_ = LastError;
        RecordStop(TStopReason::ServerDrop);
    }
}

void TPowersock::ConsumeInput(size_t count)
{
    inStart_ += count;
    lfScanFrom_ = lfScanFrom_ > count ? lfScanFrom_ - count : 0;
    if (inStart_ == inBuffer_.size()) {
        inBuffer_.clear();
        inStart_ = 0;
    } else if (inStart_ >= 65536 && inStart_ * 2 >= inBuffer_.size()) {
        inBuffer_.erase(inBuffer_.begin(), inBuffer_.begin() + static_cast<std::ptrdiff_t>(inStart_));
        inStart_ = 0;
    }
}

void TPowersock::ClearInput()
{
    inBuffer_.clear();
    inStart_ = 0;
    lfScanFrom_ = 0;
}

// ---------------------------------------------------------------------------------------------
// Reads

std::string TPowersock::Read(unsigned count)
{
    ReportStatus(8, "読込( " + std::to_string(count) + " )");
    WaitWhile([this, count] { return count != 0 && BufferedCount() < count && !Cancelled() && Connected; });
    if (Cancelled())
        throw EAbortError(_("ソケット送信失敗"));
    if (BufferedCount() < count) {
        // The peer has closed: the count can never be met.
        RaiseIfDropped();
        throw ESockError(FailureText(_("接続が閉じられました"), StepText(), ClosedText()));
    }
    const size_t take = count == 0 ? std::min<size_t>(BufferedCount(), 65535) : count;
    std::string result(BufferedData(), take);
    ConsumeInput(take);
    return result;
}

std::string TPowersock::ReadLn()
{
    ReportStatus(8, "読込中");
    for (;;) {
        const char* start = BufferedData();
        const size_t size = BufferedCount();
        const void* lf = size > lfScanFrom_ ? std::memchr(start + lfScanFrom_, '\n', size - lfScanFrom_) : nullptr;
        if (lf) {
            const size_t length = static_cast<const char*>(lf) - start + 1;
            std::string line(start, length);
            lfScanFrom_ = 0;
            ConsumeInput(length);
            return line;
        }
        lfScanFrom_ = size;
        if (Cancelled())
            throw EAbortError(_("ソケット読込失敗"));
        if (size > MaxLineLength)
            throw ESockError(FailureText(_("受信した行が長すぎます"), StepText(),
                                         platform::Fill(_("a line longer than %1 bytes"), {std::to_string(MaxLineLength)})));
        if (!Connected) {
            // The peer has closed: what is left is the last line, and after it there is none.
            RaiseIfDropped();
            if (size == 0)
                throw ESockError(FailureText(_("接続が閉じられました"), StepText(), ClosedText()));
            std::string line(start, size);
            lfScanFrom_ = 0;
            ConsumeInput(size);
            return line;
        }
        WaitPass();
    }
}

std::string TPowersock::SendCommand(const std::string& command)
{
    ReportStatus(8, "処理中");
    ReplyNumber = 0;
    Writeln(command);
    LastReply = ReadLn();
    if (!LastReply.empty()) {
        ReportStatus(1, LastReply);
        long long value = 0;
        size_t digits = 0;
        while (digits < LastReply.size() && digits < 10 && LastReply[digits] >= '0' && LastReply[digits] <= '9')
            value = value * 10 + (LastReply[digits++] - '0');
        if (digits > 0)
            ReplyNumber = static_cast<std::int16_t>(value);
    }
    return LastReply;
}
