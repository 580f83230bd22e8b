// Captures: everything the peer sends until it closes, into a file or a string, never past
// CaptureLimit. A file capture takes the bytes socket -> pipe -> file inside the kernel where
// it can (splice), and through a block of our memory where it cannot.
#include "net/Psock.h"

#include "net/finally.h"
#include "platform/catalogue.h"
#include "platform/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

using namespace platform;

// ---------------------------------------------------------------------------------------------
// The captures

void TPowersock::CaptureFile(const std::string& path, bool append)
{
    UniqueFd file = OpenForWriting(path, append);
    if (!file)
        throw EInOutError(platform::Fill(_("ファイル %1 を作成できません"), {path}));
    int closeError = 0;
    {
        // The close may still fail to write the file's last data: a file closed so is no
        // more whole than one whose write failed.
        net::Finally close{[&file, &closeError] {
            if (!file.Close())
                closeError = errno;
        }};
        CaptureFile(file.Get(), path);
    }
    if (closeError != 0)
        throw EInOutError(platform::Fill(_("ファイル %1 に書き込めません"), {path}));
}

void TPowersock::CaptureFile(int file, const std::string& name)
{
    ReportStatus(8, "ファイルキャプチャ");
    TransferActive = true;
    sinkFd_ = file;
    sinkError_ = 0;
    sinkFill_ = 0;
    if (!sinkBlock_)
        sinkBlock_ = std::make_unique_for_overwrite<char[]>(SinkBlock);
    // One pipe serves every capture of this component: a job of small pictures would otherwise
    // spend more on making pipes than on splicing. Every splice empties it again.
    if (!spliceWrite_)
        OpenSplicePipe();
    {
        net::Finally restore{[this] {
            FlushSink();
            sinkFd_ = -1;
            TransferActive = false;
        }};
        BytesRecvd = 0;
        captured_ = 0;
        const size_t buffered = BufferedCount();
        if (buffered > 0) {
            AppendToSink(BufferedData(), buffered);
            BytesRecvd += static_cast<long long>(buffered);
            ClearInput();
        }
        WaitWhile([this] { return Connected && !Cancelled(); });
    }
    if (Cancelled())
        RaiseStopped(_("ソケット送信失敗"));
    // A body that did not reach the disk must not pass for a complete one.
    if (sinkError_ != 0)
        throw EInOutError(platform::Fill(_("ファイル %1 に書き込めません"), {name}));
    RaiseIfDropped();
}

void TPowersock::CaptureString(std::string& text, int count)
{
    text.clear();
    TransferActive = true;
    net::Finally restore{[this] { TransferActive = false; }};
    ReportStatus(8, "文字列キャプチャ");
    BytesRecvd = 0;
    captured_ = 0;
    for (;;) {
        if (Cancelled())
            break;
        const bool more = count == -1 ? (Connected || BufferedCount() > 0)
                                      : static_cast<long long>(text.size()) < count;
        if (!more)
            break;
        if (BufferedCount() > 0) {
            text.append(BufferedData(), BufferedCount());
            NoteCaptured(BufferedCount());
            ClearInput();
        } else {
            WaitPass();
        }
    }
    if (Cancelled())
        RaiseStopped(_("ソケットキャプチャ失敗"));
    RaiseIfDropped();
}

// A capture past its cap stops, and says so.
void TPowersock::NoteCaptured(size_t count)
{
    captured_ += static_cast<long long>(count);
    if (CaptureLimit > 0 && captured_ > CaptureLimit)
        RecordStop(TStopReason::Cap);
}

// ---------------------------------------------------------------------------------------------
// The block: bytes on their way into the capture file

// Bytes that arrived before the capture began go into its file first.
void TPowersock::AppendToSink(const char* bytes, size_t count)
{
    size_t keep = SinkRoom(count);
    NoteCaptured(count);
    while (keep > 0) {
        const size_t take = std::min(keep, SinkBlock - sinkFill_);
        std::memcpy(sinkBlock_.get() + sinkFill_, bytes, take);
        sinkFill_ += take;
        bytes += take;
        keep -= take;
        if (sinkFill_ == SinkBlock)
            FlushSink();
    }
}

void TPowersock::FlushSink()
{
    const char* bytes = sinkBlock_.get();
    size_t count = sinkFill_;
    while (count > 0 && sinkError_ == 0) {
        const ssize_t n = ::write(sinkFd_, bytes, count);
        if (n < 0) {
            if (errno != EINTR)
                sinkError_ = errno;
            continue;
        }
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    sinkFill_ = 0;
}

// Bytes a capture may still write of `count` more: never past its cap.
size_t TPowersock::SinkRoom(size_t count) const
{
    if (CaptureLimit <= 0)
        return count;
    const long long left = std::max(CaptureLimit - captured_, 0LL);
    return static_cast<size_t>(std::min(static_cast<long long>(count), left));
}

// A capped capture receives at most its rest and one byte more, which is enough to see it
// overflow.
int TPowersock::CaptureWant(int chunk) const
{
    if (CaptureLimit <= 0)
        return chunk;
    const long long left = std::max(CaptureLimit - captured_, 0LL);
    return static_cast<int>(std::min<long long>(chunk, left + 1));
}

int TPowersock::ReceiveIntoFile()
{
    if (SinkBlock - sinkFill_ < static_cast<size_t>(CaptureChunkSize))
        FlushSink();
    const int n = SocketRecv(SocketHandle, sinkBlock_.get() + sinkFill_, CaptureWant(CaptureChunkSize));
    if (n > 0) {
        sinkFill_ += SinkRoom(static_cast<size_t>(n));
        NoteCaptured(static_cast<size_t>(n));
    }
    return n;
}

// ---------------------------------------------------------------------------------------------
// The pipe: bytes spliced into the capture file inside the kernel

// The received bytes go socket -> pipe -> file inside the kernel, which saves the copy through
// our memory. A socket that cannot be spliced is received from as usual.
int TPowersock::SpliceIntoFile()
{
    FlushSink();  // what the block holds came before
    const int n = SocketSplice(SocketHandle, spliceWrite_.Get(), CaptureWant(SpliceChunkSize));
    if (n < 0 && WSAGetLastError() == WSAEINVAL) {
        CloseSplicePipe();
        return ReceiveIntoFile();
    }
    if (n > 0) {
        const size_t keep = SinkRoom(static_cast<size_t>(n));
        NoteCaptured(static_cast<size_t>(n));
        MovePipeToFile(keep);
        if (keep < static_cast<size_t>(n))
            CloseSplicePipe();  // the bytes past the cap are dropped with the pipe
    }
    return n;
}

// A file that cannot take spliced bytes, or a write that fails, ends splicing: the rest of the
// pipe and of the capture goes through the block, which also keeps the first write error.
void TPowersock::MovePipeToFile(size_t count)
{
    while (count > 0) {
        const ssize_t n = splice(spliceRead_.Get(), nullptr, sinkFd_, nullptr, count, SPLICE_F_MOVE);
        if (n > 0) {
            count -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EINVAL && sinkError_ == 0)
            sinkError_ = errno;
        ReadPipeIntoBlock(count);
        CloseSplicePipe();
        return;
    }
}

void TPowersock::ReadPipeIntoBlock(size_t count)
{
    while (count > 0) {
        if (sinkFill_ == SinkBlock)
            FlushSink();
        const ssize_t n = ::read(spliceRead_.Get(), sinkBlock_.get() + sinkFill_, std::min(count, SinkBlock - sinkFill_));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (sinkError_ == 0)
                sinkError_ = n < 0 ? errno : EIO;  // bytes lost: the file cannot pass for whole
            return;
        }
        sinkFill_ += static_cast<size_t>(n);
        count -= static_cast<size_t>(n);
    }
}

void TPowersock::OpenSplicePipe()
{
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0)
        return;  // no pipe: the capture receives as usual
    spliceRead_.Reset(ends[0]);
    spliceWrite_.Reset(ends[1]);
    // Refused, the pipe keeps its default size, and the splices are only smaller.
    fcntl(spliceWrite_.Get(), F_SETPIPE_SZ, SpliceChunkSize);
}

void TPowersock::CloseSplicePipe()
{
    spliceRead_.Reset();
    spliceWrite_.Reset();
}
