#include "net/Psock.h"

#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

using namespace platform;

const SocketErrorEntry SocketErrorTable[51] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"},
    {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"},
    {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
    {0, "Unrecognized error code"},
};

std::string ExtractField(const std::string& text, char separator, int n)
{
    std::string result;
    if (n <= 0)
        return result;
    int field = 0;
    for (char c : text) {
        if (c == separator) {
            if (++field == n)
                break;
        } else if (field == n - 1) {
            result += c;
        }
    }
    return result;
}

int NthCharPosition(const std::string& text, char ch, int n)
{
    int seen = 0;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == ch && ++seen == n)
            return static_cast<int>(i) + 1;
    return static_cast<int>(text.size()) + 1;
}

// ---------------------------------------------------------------------------------------------
// TThreadTimer

TThreadTimer::TThreadTimer()
    : window_([this](unsigned msg, WPARAM, LPARAM) {
          if (msg == WM_TIMER && onTimer_)
              onTimer_(this);
      })
{
}

TThreadTimer::~TThreadTimer()
{
    KillTimer(window_.Handle(), 1);
}

void TThreadTimer::SetEnabled(bool value)
{
    if (value == enabled_)
        return;
    enabled_ = value;
    UpdateTimer();
}

void TThreadTimer::SetInterval(unsigned value)
{
    if (value == interval_)
        return;
    interval_ = value;
    UpdateTimer();
}

void TThreadTimer::SetOnTimer(TNotifyEvent handler)
{
    onTimer_ = std::move(handler);
    UpdateTimer();
}

void TThreadTimer::UpdateTimer()
{
    KillTimer(window_.Handle(), 1);
    if (interval_ != 0 && enabled_ && onTimer_ && SetTimer(window_.Handle(), 1, interval_) == 0)
        throw Exception("タイマがありません");
}

// ---------------------------------------------------------------------------------------------
// TPowersock: construction and the socket library

namespace {
int instanceCount = 0;

// Runs `action` when the scope ends, however it ends.
template <typename F>
struct Finally {
    F action;
    ~Finally() { action(); }
};
template <typename F>
Finally(F) -> Finally<F>;
}  // namespace

int TPowersock::InstanceCount()
{
    return instanceCount;
}

TPowersock::TPowersock()
{
    window_ = std::make_unique<NotifyWindow>(
        [this](unsigned msg, WPARAM wParam, LPARAM lParam) { HandleMessage(msg, wParam, lParam); });
    timer_ = std::make_unique<TThreadTimer>();
    timer_->SetEnabled(false);
    timer_->SetOnTimer([this](TComponent* sender) { TimerExpired(sender); });
    InitSocket();
}

TPowersock::~TPowersock()
{
    destroying_ = true;
    ReportStatus(8, "壊れています");
    Cancel();
    try {
        CloseSocket();
    } catch (const std::exception&) {
        // A failed close while going away has nobody left to tell.
    }
    CloseSplicePipe();
    ReleaseLibrary();
}

void TPowersock::ReleaseLibrary()
{
    if (!libraryStarted_)
        return;
    libraryStarted_ = false;
    if (--instanceCount == 0)
        WSACleanup();
}

static std::string VersionText(std::uint16_t version)
{
    return std::to_string(version >> 8) + "." + std::to_string(version & 0xFF);
}

void TPowersock::InitSocket()
{
    ReportStatus(8, "Winsock を初期化中");
    libraryStarted_ = true;
    if (instanceCount++ == 0) {
        WSAData data;
        WSAStartup(0x0101, data);
        WinsockInfo = {
            "バージョン= " + VersionText(data.version),
            "ハイバージョン= " + VersionText(data.highVersion),
            "説明= " + data.description,
            "システム= " + data.systemStatus,
            "最大ソケット= " + std::to_string(data.maxSockets),
            "最大Udpパケットサイズ= " + std::to_string(data.maxUdpDatagram),
        };
    }
    try {
        if (!OpenSocket(true)) {
            std::string message;
            CheckSocketError(WSAEWOULDBLOCK, message);
        }
    } catch (const std::exception&) {
        ReleaseLibrary();
        throw ESockError("windows sockets の初期化に失敗しました");
    }
    if (SocketHandle == NoSocket) {
        ReleaseLibrary();
        throw ESockError("windows sockets の初期化に失敗しました");
    }
}

bool TPowersock::OpenSocket(bool withLinger)
{
    SocketHandle = NoSocket;
    const int fd = SocketCreate();
    if (fd < 0)
        return false;
    if (fd >= NoSocket) {
        SocketClose(fd);
        WSASetLastError(10024);
        return false;
    }
    if (withLinger)
        SocketSetLinger(fd, true, 0);
    SocketHandle = static_cast<std::uint16_t>(fd);
    RegisterAllEvents();
    return true;
}

void TPowersock::RegisterAllEvents()
{
    Register(WM_SOCKET, FD_ALL_EVENTS);
}

// A socket the system refuses to watch would leave every wait on it hanging: raise instead.
void TPowersock::Register(unsigned msg, long events)
{
    if (WSAAsyncSelect(SocketHandle, window_->Handle(), msg, events) != 0) {
        LastError = WSAGetLastError();
        throw ESockError(ErrorText(static_cast<std::uint16_t>(LastError)));
    }
}

void TPowersock::SetTimeOut(int milliseconds)
{
    if (milliseconds < 0)
        throw ESockError("タイムアウトの値が正しくありません");
    timeOut_ = milliseconds;
}

// ---------------------------------------------------------------------------------------------
// Status and errors

void TPowersock::ReportStatus(int level, const std::string& text)
{
    if (level > ReportLevel)
        return;
    Status = text;
    if (!destroying_ && OnStatus)
        OnStatus(this, Status);
}

std::string TPowersock::ErrorText(std::uint16_t number)
{
    ReportStatus(8, "エラーメッセージを探してください");
    if (number == 0)
        return "";
    std::string result;
    for (const auto& entry : SocketErrorTable)
        if (entry.number == number)
            result = std::to_string(number) + ":" + entry.text;
    return result.empty() ? "不明なエラー No. " + std::to_string(number) : result;
}

void TPowersock::CheckSocketError(int tolerated, std::string& message)
{
    ReportStatus(16, "エラーマネージャでのエラーチェック中");
    LastError = WSAGetLastError();
    if (LastError == tolerated) {
        message.clear();
        return;
    }
    message = ErrorText(static_cast<std::uint16_t>(LastError));
    if (OnError)
        OnError(this, static_cast<std::uint16_t>(LastError), message);
    throw ESockError(message);
}

void TPowersock::FireNotify(const TNotifyEvent& event)
{
    if (event)
        event(this);
}

// ---------------------------------------------------------------------------------------------
// Notifications

void TPowersock::HandleMessage(unsigned msg, WPARAM wParam, LPARAM lParam)
{
    try {
        const long event = SelectEvent(lParam);
        switch (msg) {
        case WM_SOCKET:
            LastEventOk = SelectError(lParam) == 0;
            if (!LastEventOk)
                LastError = SelectError(lParam);
            HandleSocketEvent(event);
            break;
        case WM_ASYNCLOOKUP:
            // A completion of a lookup that an earlier, abandoned request started is stale.
            if (event != FD_ACCEPT && (!lookup_ || lookup_->id != wParam))
                break;
            LastEventOk = SelectError(lParam) == 0;
            AsyncDone = true;
            if (event == FD_ACCEPT) {
                Connected = true;
                FireNotify(OnAccept);
            }
            break;
        case WM_CONTINUESEND:
            WriteHandler();
            break;
        default:
            break;
        }
    } catch (...) {
        // A failure inside notification handling ends that notification and nothing else.
    }
}

void TPowersock::HandleSocketEvent(long event)
{
    switch (event) {
    case FD_READ:
        ReadHandler();
        break;
    case FD_WRITE:
        WriteHandler();
        break;
    case FD_ACCEPT:
        Connected = true;
        FireNotify(OnAccept);
        break;
    case FD_CONNECT:
        if (LastEventOk) {
            Connected = true;
            FireNotify(OnConnect);
        }
        break;
    case FD_CLOSE:
        if (!LastEventOk) {
            dropError_ = LastError;
            RecordStop(TStopReason::ServerDrop);
        }
        CloseDrain();
        Connected = false;
        CloseSocket();
        break;
    default:
        break;
    }
}

void TPowersock::CloseDrain()
{
    // What the peer sent before closing is kept, but not counted as transfer progress. A
    // capture's rest goes into its file the way its reads do.
    while (!Cancelled) {
        const int n = ReceiveOnce();
        if (n <= 0)
            break;
        BytesArrived += n;
    }
}

void TPowersock::AppendInput(const char* bytes, size_t count)
{
    if (sinkFd_ >= 0) {
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
        return;
    }
    if (inStart_ > 0 && inStart_ == inBuffer_.size()) {
        inBuffer_.clear();
        inStart_ = 0;
        lfScanFrom_ = 0;
    }
    inBuffer_.insert(inBuffer_.end(), bytes, bytes + count);
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

// The received bytes go socket -> pipe -> file inside the kernel, which saves the copy through
// our memory. A socket that cannot be spliced is received from as usual.
int TPowersock::SpliceIntoFile()
{
    FlushSink();  // what the block holds came before
    const int n = SocketSplice(SocketHandle, spliceWrite_, CaptureWant(SpliceChunkSize));
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
        const ssize_t n = splice(spliceRead_, nullptr, sinkFd_, nullptr, count, SPLICE_F_MOVE);
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
        const ssize_t n = ::read(spliceRead_, sinkBlock_.get() + sinkFill_, std::min(count, SinkBlock - sinkFill_));
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
    spliceRead_ = ends[0];
    spliceWrite_ = ends[1];
    // Refused, the pipe keeps its default size, and the splices are only smaller.
    fcntl(spliceWrite_, F_SETPIPE_SZ, SpliceChunkSize);
}

void TPowersock::CloseSplicePipe()
{
    if (spliceWrite_ < 0)
        return;
    ::close(spliceRead_);
    ::close(spliceWrite_);
    spliceRead_ = spliceWrite_ = -1;
}

void TPowersock::NoteCaptured(size_t count)
{
    captured_ += static_cast<long long>(count);
    if (CaptureLimit > 0 && captured_ > CaptureLimit && !Cancelled) {
        RecordStop(TStopReason::Cap);
        Cancelled = true;
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

void TPowersock::ReadHandler()
{
    if (Cancelled) {
        WSAAsyncSelect(SocketHandle, window_->Handle(), WM_SOCKET, 0);
        FireNotify(OnCancelSeen);
    }
    if (HandlerBusy)
        return;
    HandlerBusy = true;
    bool received = false;
    {
        Finally clear{[this] { HandlerBusy = false; }};
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
    if (sinkFd_ >= 0)
        return spliceWrite_ >= 0 ? SpliceIntoFile() : ReceiveIntoFile();
    if (inStart_ > 0 && inStart_ == inBuffer_.size())
        ClearInput();
    const size_t before = inBuffer_.size();
    inBuffer_.resize(before + ChunkSize);
    const int n = SocketRecv(SocketHandle, inBuffer_.data() + before, ChunkSize);
    inBuffer_.resize(before + static_cast<size_t>(std::max(n, 0)));
    return n;
}

void TPowersock::WriteHandler()
{
    if (HandlerBusy)
        return;
    HandlerBusy = true;
    Finally clear{[this] { HandlerBusy = false; }};
    ReportStatus(8, "ストリーム書き出し中");
    const bool pending = SendFromFile ? BytesSent < sourceSize_ : !outBuffer_.empty();
    if (!pending || Cancelled)
        return;
    const char* data;
    int length;
    if (SendFromFile) {
        const ssize_t got = pread(sourceFd_, scratch_, ChunkSize, static_cast<off_t>(BytesSent));
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
// Connection set-up and tear-down

void TPowersock::StartTimer()
{
    ReportStatus(8, "タイマーオン");
    TimedOut = false;
    timer_->SetInterval(static_cast<unsigned>(timeOut_));
    timer_->SetEnabled(true);
}

void TPowersock::StopTimer()
{
    ReportStatus(8, "タイマーオフ");
    timer_->SetEnabled(false);
}

void TPowersock::TimerExpired(TComponent*)
{
    ReportStatus(8, "タイマーが開始しました");
    StopTimer();
    TimedOut = true;
    RecordStop(TStopReason::TimeOut);
    Abort();
}

void TPowersock::ResolveHost()
{
    ReportStatus(8, "Resolve Host");
    RemoteAddress.address = 0;
    const std::string name = Proxy.empty() ? Host : Proxy;
    // The lookup buffer holds 127 characters; a longer name cannot be a host we can look up.
    if (name.size() > 127)
        throw ESockError("ホスト接続失敗");
    const std::uint32_t dotted = InetAddr(name);
    if (dotted != INADDR_NONE_VALUE) {
        RemoteAddress.address = dotted;
        return;
    }
    StartTimer();
    AsyncDone = false;
    lookup_ = std::make_shared<HostEntry>();
    WSAAsyncGetHostByName(window_->Handle(), WM_ASYNCLOOKUP, name, lookup_);
    WaitWhile([this] { return !AsyncDone && !TimedOut && !Cancelled; });
    StopTimer();
    if (TimedOut)
        throw ESockError("ホスト接続タイムアウト");
    if (Cancelled)
        throw ESockError("ホスト接続キャンセル");
    if (!LastEventOk)
        throw ESockError("ホスト接続失敗");
    RemoteAddress.address = lookup_->address;
    if (OnHostResolved)
        OnHostResolved(this);
}

void TPowersock::Connect()
{
    ReportStatus(8, "接続中");
    Cancelled = false;
    StopReason = TStopReason::None;
    if (Connected)
        throw ESockError("既に接続しています");
    int retries = 0;
    do {
        try {
            ResolveHost();
        } catch (const ESockError& error) {
            const std::string message = error.what();
            if (message == "ホスト接続タイムアウト" || message == "ホスト接続キャンセル")
                throw;
        }
        if (RemoteAddress.address == 0) {
            if (retries > 0 || !OnInvalidHost)
                throw ESockError("リモートアドレスが Null です");
            bool handled = false;
            OnInvalidHost(handled);
            if (!handled)
                throw ESockError("リモートアドレスが Null です");
            ++retries;
        }
    } while (RemoteAddress.address == 0);

    RemoteAddress.family = AF_INET_FAMILY;
    RemoteAddress.port = Htons(static_cast<std::uint16_t>(Proxy.empty() ? Port : ProxyPort));
    AsyncDone = false;
    LastEventOk = true;
    sendFailed_ = false;
    if (SocketHandle == NoSocket)
        OpenFreshSocket();
    if (SocketConnect(SocketHandle, RemoteAddress) != 0) {
        std::string message;
        CheckSocketError(WSAEWOULDBLOCK, message);
    }
    StartTimer();
    WaitWhile([this] { return !Connected && !TimedOut && !Cancelled && LastEventOk; });
    StopTimer();
    if (!TimedOut && !Cancelled && LastEventOk)
        return;
    // A connect that completed in the same pass as a cancel is abandoned all the same.
    Connected = false;
    FireNotify(OnConnectionFailed);
    DropSocket();
    if (TimedOut)
        throw ESockError("コネクションタイムアウト");
    if (Cancelled)
        throw ESockError("接続がキャンセルされました");
    throw ESockError("接続が失敗しました");
}

// A socket whose connect failed or was abandoned cannot connect again; the next Connect
// opens a fresh one, as after a close.
void TPowersock::DropSocket()
{
    if (SocketHandle != NoSocket)
        SocketClose(SocketHandle);
    SocketHandle = NoSocket;
}

// Sockets are made when a connection needs one, not in advance after every close.
void TPowersock::OpenFreshSocket()
{
    if (!OpenSocket(false)) {
        LastError = WSAGetLastError();
        throw ESockError(ErrorText(static_cast<std::uint16_t>(LastError)));
    }
}

void TPowersock::Disconnect()
{
    ReportStatus(8, "接続切断中");
    CloseSocket();
}

void TPowersock::CloseSocket()
{
    ReportStatus(4, "ソケットのクローズ要求");
    Connected = false;
    if (SocketHandle == NoSocket)
        return;
    if (SocketClose(SocketHandle) != 0) {
        std::string message;
        CheckSocketError(WSAEWOULDBLOCK, message);
        return;
    }
    SocketHandle = NoSocket;
    if (!destroying_)
        FireNotify(OnDisconnect);
}

void TPowersock::Cancel()
{
    ReportStatus(8, "キャンセル中");
    RecordStop(TStopReason::User);
    Cancelled = true;
}

void TPowersock::Stop(TStopReason reason)
{
    RecordStop(reason);
    Abort();
}

void TPowersock::RecordStop(TStopReason reason)
{
    if (StopReason == TStopReason::None)
        StopReason = reason;
}

// Ends a wait that Cancelled ended, with the text of the reason recorded for it.
void TPowersock::RaiseStopped(const char* abortText)
{
    Cancelled = false;
    if (StopReason == TStopReason::Cap)
        throw ESockError("受信データが上限 (" + std::to_string(CaptureLimit) + " バイト) を超えました");
    RaiseIfDropped();
    throw EAbortError(abortText);
}

// A connection the peer reset (or that broke) ended before its data did.
void TPowersock::RaiseIfDropped()
{
    if (StopReason == TStopReason::ServerDrop)
        throw ESockError(ErrorText(static_cast<std::uint16_t>(dropError_ ? dropError_ : 10054)));
}

void TPowersock::Abort()
{
}

void TPowersock::RequireConnection()
{
    bool offered = false;
    while (!Connected) {
        if (offered || !OnConnectionRequired)
            throw Exception("接続されていません");
        offered = true;
        bool handled = false;
        OnConnectionRequired(handled);
        if (!handled)
            throw Exception("接続されていません");
    }
}

// ---------------------------------------------------------------------------------------------
// Sending

void TPowersock::SendBuffer(const char* bytes, unsigned length)
{
    ReportStatus(4, "バッファを送信中");
    if (Cancelled)
        return;
    if (length == 0) {
        const size_t text = bytes ? std::strlen(bytes) : 0;
        if (text > 65535)
            throw ESockError("送信データが長すぎます");
        length = static_cast<unsigned>(text);
    }
    outBuffer_.insert(outBuffer_.end(), bytes, bytes + length);
    SendDone = false;
    PostMessage(window_->Handle(), WM_CONTINUESEND, 0, 0);
    WaitWhile([this] { return !SendDone && !Cancelled && !sendFailed_; });
    if (Cancelled) {
        outBuffer_.clear();  // what was not sent must not lead the next request
        Cancelled = false;
        throw EAbortError("ソケット送信失敗");
    }
    if (!SendDone) {
        outBuffer_.clear();
        throw ESockError(ErrorText(static_cast<std::uint16_t>(LastError)));
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
    const std::string native = NativePath(path);
    const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw EInOutError("ファイル " + path + " を開けません");
    struct stat info {};
    fstat(fd, &info);
    TransferActive = true;
    SendFromFile = true;
    sourceFd_ = fd;
    sourceSize_ = info.st_size;
    Finally restore{[this] {
        ::close(sourceFd_);
        sourceFd_ = -1;
        TransferActive = false;
        SendFromFile = false;
    }};
    SendDone = false;
    BytesSent = 0;
    BytesTotal = sourceSize_;
    PostMessage(window_->Handle(), WM_CONTINUESEND, 0, 0);
    WaitWhile([this] { return !SendDone && !Cancelled && BytesTotal > 0 && !sendFailed_; });
    if (Cancelled) {
        Cancelled = false;
        throw EAbortError("ソケット送信失敗");
    }
    if (!SendDone && BytesTotal > 0)
        throw ESockError(ErrorText(static_cast<std::uint16_t>(LastError)));
}

// ---------------------------------------------------------------------------------------------
// Receiving

std::string TPowersock::Read(unsigned count)
{
    ReportStatus(8, "読込( " + std::to_string(count) + " )");
    WaitWhile([this, count] { return count != 0 && BufferedCount() < count && !Cancelled && Connected; });
    if (Cancelled) {
        Cancelled = false;
        throw EAbortError("ソケット送信失敗");
    }
    if (BufferedCount() < count) {
        // The peer has closed: the count can never be met.
        RaiseIfDropped();
        throw ESockError("接続が閉じられました");
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
        if (Cancelled)
            throw EAbortError("ソケット読込失敗");
        if (size > MaxLineLength)
            throw ESockError("受信した行が長すぎます");
        if (!Connected) {
            // The peer has closed: what is left is the last line, and after it there is none.
            RaiseIfDropped();
            if (size == 0)
                throw ESockError("接続が閉じられました");
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

void TPowersock::CaptureFile(const std::string& path)
{
    ReportStatus(8, "ファイルキャプチャ");
    const std::string native = NativePath(path);
    const int fd = ::open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw EInOutError("ファイル " + path + " を作成できません");
    TransferActive = true;
    sinkFd_ = fd;
    sinkError_ = 0;
    sinkFill_ = 0;
    if (!sinkBlock_)
        sinkBlock_ = std::make_unique_for_overwrite<char[]>(SinkBlock);
    // One pipe serves every capture of this component: a job of small pictures would otherwise
    // spend more on making pipes than on splicing. Every splice empties it again.
    if (spliceWrite_ < 0)
        OpenSplicePipe();
    int closeError = 0;
    {
        Finally restore{[this, &closeError] {
            FlushSink();
            if (::close(sinkFd_) != 0)
                closeError = errno;
            sinkFd_ = -1;
            TransferActive = false;
        }};
        BytesRecvd = 0;
        captured_ = 0;
        const size_t buffered = BufferedCount();
        if (buffered > 0) {
            AppendInput(BufferedData(), buffered);
            BytesRecvd += static_cast<long long>(buffered);
            ClearInput();
        }
        WaitWhile([this] { return Connected && !Cancelled; });
    }
    if (Cancelled)
        RaiseStopped("ソケット送信失敗");
    // A body that did not reach the disk must not pass for a complete one.
    if (sinkError_ != 0 || closeError != 0)
        throw EInOutError("ファイル " + path + " に書き込めません");
    RaiseIfDropped();
}

void TPowersock::CaptureString(std::string& text, int count)
{
    text.clear();
    TransferActive = true;
    Finally restore{[this] { TransferActive = false; }};
    ReportStatus(8, "文字列キャプチャ");
    BytesRecvd = 0;
    captured_ = 0;
    for (;;) {
        if (Cancelled)
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
    if (Cancelled)
        RaiseStopped("ソケットキャプチャ失敗");
    RaiseIfDropped();
}

// ---------------------------------------------------------------------------------------------
// Data connections

void TPowersock::Listen(bool useLookupMessage, std::uint32_t localAddress)
{
    ReportStatus(8, "リスニング中");
    RemoteAddress.family = AF_INET_FAMILY;
    RemoteAddress.address = localAddress;
    RemoteAddress.port = Htons(static_cast<std::uint16_t>(Port));
    AsyncDone = false;
    StopReason = TStopReason::None;
    if (SocketHandle == NoSocket)
        OpenFreshSocket();
    SocketBind(SocketHandle, RemoteAddress);
    Register(useLookupMessage ? WM_ASYNCLOOKUP : WM_SOCKET, FD_ACCEPT);
    // Watching for the caller starts with the listen: if it cannot, Accept would wait for ever.
    if (SocketListen(SocketHandle, 1) != 0) {
        std::string message;
        CheckSocketError(0, message);
    }
}

std::uint16_t TPowersock::Accept()
{
    for (;;) {
        WaitWhile([this] { return !AsyncDone && !Cancelled; });
        if (Cancelled)
            throw ESockError("キャンセル受入中");
        if (!LastEventOk)
            throw ESockError("データコネクションエラーを作成中");
        ReportStatus(4, "受入中");
        SockAddrIn peer;
        const int fd = SocketAccept(SocketHandle, &peer);
        if (fd < 0) {
            if (WSAGetLastError() == WSAEWOULDBLOCK) {
                AsyncDone = false;  // the caller went away before we took it
                continue;
            }
            LastError = WSAGetLastError();
            throw ESockError(ErrorText(static_cast<std::uint16_t>(LastError)));
        }
        if (fd >= NoSocket || (AcceptFrom != 0 && peer.address != AcceptFrom)) {
            // Not the peer we expect: hang up on it and keep waiting.
            SocketClose(fd);
            AsyncDone = false;
            continue;
        }
        RemoteAddress = peer;
        if (Cancelled) {
            SocketClose(fd);
            Cancelled = false;
            throw EAbortError("ソケット送信失敗");
        }
        return static_cast<std::uint16_t>(fd);
    }
}

void TPowersock::AdoptSocket(std::uint16_t handle)
{
    if (SocketHandle != NoSocket)
        SocketClose(SocketHandle);
    SocketHandle = handle;
    Connected = true;
    RegisterAllEvents();
}

std::string TPowersock::LocalAddressText()
{
    SockAddrIn local;
    SocketGetName(SocketHandle, local);
    std::string text = InetNtoa(local.address);
    std::replace(text.begin(), text.end(), '.', ',');
    return text;
}

std::string TPowersock::LocalPortText()
{
    SockAddrIn local;
    SocketGetName(SocketHandle, local);
    const unsigned port = Ntohs(local.port);
    return "," + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF);
}
