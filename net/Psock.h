// The event-driven TCP transport on which the HTTP and FTP clients are built. Every wait polls:
// a short wait for socket events, then processing of all pending messages, so the user
// interface stays live while a transfer runs.
#pragma once

#include "platform/Exception.h"
#include "platform/UniqueFd.h"
#include "platform/messages.h"
#include "platform/winsock.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class ESockError : public Exception {
public:
    using Exception::Exception;
};

// The operation was ended by a cancel request.
class EAbortError : public ESockError {
public:
    using ESockError::ESockError;
};

// Why a transfer ended before its natural end; recorded once, where it happens.
enum class TStopReason {
    None,
    User,        // Cancel or Abort by the program's user
    Watchdog,    // the activity watchdog saw no progress
    TimeOut,     // the time-out timer of name lookup or connection set-up fired
    ServerDrop,  // the connection was reset or broken by the peer
    Cap,         // the capture grew past CaptureLimit
    BadReply,    // the peer's answer cannot be used (the clients record this)
};

class TComponent;
using TNotifyEvent = std::function<void(TComponent* Sender)>;
using THandlerEvent = std::function<void(bool& Handled)>;
using TOnHostResolved = std::function<void(TComponent* Sender)>;
using TOnStatus = std::function<void(TComponent* Sender, const std::string& Status)>;
using TOnErrorEvent = std::function<void(TComponent* Sender, std::uint16_t Errno, const std::string& Errmsg)>;

class TComponent {
public:
    virtual ~TComponent() = default;
};

// A periodic timer delivered through the message queue.
class TThreadTimer : public TComponent {
public:
    TThreadTimer();
    ~TThreadTimer() override;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    unsigned Interval() const { return interval_; }
    void SetInterval(unsigned value);
    void SetOnTimer(TNotifyEvent handler);

private:
    void UpdateTimer();

    bool enabled_ = true;
    unsigned interval_ = 1000;
    TNotifyEvent onTimer_;
    platform::NotifyWindow window_;
};

// The 51-entry table of socket error numbers and their texts.
struct SocketErrorEntry {
    int number;
    const char* text;
};
extern const SocketErrorEntry SocketErrorTable[51];

// The n-th (1-based) field of `text` split at single `separator` characters.
std::string ExtractField(const std::string& text, char separator, int n);
// 1-based position of the n-th `ch` in `text`, or its length + 1 when there are fewer.
int NthCharPosition(const std::string& text, char ch, int n);

// A failure's message: its fixed text first, then where it happened and the system's reason,
// each after ": " ("接続が失敗しました: cannot connect to h:80: connection refused").
std::string FailureText(const std::string& text, const std::string& where, const std::string& reason);
// The system's reason for a socket error number, in lower case: "connection refused".
std::string ReasonText(int number);
// "timed out after 0.3 s".
std::string TimedOutText(int milliseconds);

// The transport component. Its sources follow its seams: net/Psock.cpp (life, notifications,
// stops), net/sockconnect.cpp (lookup, connect, close), net/socklisten.cpp (data connections),
// net/socksend.cpp, net/sockread.cpp (input, lines, waits), net/sockcapture.cpp (captures into
// a file or a string) and net/sockerrors.cpp (the error table).
class TPowersock : public TComponent {
public:
    static constexpr std::uint16_t NoSocket = 65535;
    static constexpr unsigned WM_SOCKET = 1125;       // socket events
    static constexpr unsigned WM_ASYNCLOOKUP = 1126;  // lookup completion, listener accept
    static constexpr unsigned WM_CONTINUESEND = 1127;
    static constexpr int ChunkSize = 16383;          // per send
    static constexpr int ReceiveSize = 65536;        // per receive into the input buffer
    static constexpr int CaptureChunkSize = 131072;  // per receive into a capture file
    static constexpr int SpliceChunkSize = 1 << 20;  // per splice into a capture file

    TPowersock();
    ~TPowersock() override;
    TPowersock(const TPowersock&) = delete;
    TPowersock& operator=(const TPowersock&) = delete;

    // Published properties.
    std::string Host;
    int Port = 0;
    int ReportLevel = 0;
    std::string Proxy;
    int ProxyPort = 0;
    int TimeOut() const { return timeOut_; }
    void SetTimeOut(int milliseconds);  // negative values raise ESockError

    // Events.
    TNotifyEvent OnConnect;
    TNotifyEvent OnDisconnect;
    THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    TOnStatus OnStatus;
    TNotifyEvent OnConnectionFailed;
    TOnErrorEvent OnError;
    THandlerEvent OnConnectionRequired;
    TNotifyEvent OnPacketRecvd;
    TNotifyEvent OnPacketSent;
    TNotifyEvent OnDataArrived;
    TNotifyEvent OnAccept;
    TNotifyEvent OnCancelSeen;

    // Run-time state.
    std::uint16_t SocketHandle = NoSocket;
    platform::SockAddrIn RemoteAddress;
    bool Connected = false;
    bool LastEventOk = true;
    bool AsyncDone = false;
    bool TransferActive = false;
    long long BytesSent = 0;
    long long BytesRecvd = 0;
    long long BytesTotal = 0;
    int LastError = 0;
    std::string Status;
    std::string LastReply;
    std::int16_t ReplyNumber = 0;
    std::vector<std::string> WinsockInfo;
    // The one record of why the running (or last) operation stopped early: set once, where the
    // stop happens, and cleared only where the next operation begins.
    TStopReason StopReason = TStopReason::None;
    // Every byte this component ever received, the close drain included: a measure of
    // progress that no report level or transfer kind hides.
    long long BytesArrived = 0;
    // A capture that would take more bytes than this ends as a failure; 0 = no limit.
    long long CaptureLimit = 0;
    // When not 0, Accept takes connections only from this address (network byte order) and
    // closes any other caller, waiting on for the expected one.
    std::uint32_t AcceptFrom = 0;
    // What the connection is doing, named in its failures ("download of a.gif from h:21"); set by
    // the client as each step begins. Empty: "connection to HOST:PORT".
    std::string Step;

    // What the stop record says. Cancelled: a stop that ends every wait, one that we asked for
    // (the user, a watchdog, a time-out, the capture's cap), as against one the peer caused.
    bool Cancelled() const;
    bool TimedOut() const { return StopReason == TStopReason::TimeOut; }

    // Operations.
    virtual std::uint16_t Accept();
    virtual void Connect();
    virtual void Disconnect();
    virtual std::string SendCommand(const std::string& command);
    virtual void Abort();
    void Cancel();
    // Records `reason` (unless one is recorded already) and aborts.
    void Stop(TStopReason reason);
    void SendBuffer(const char* bytes, unsigned length);
    void Write(const std::string& text);
    void Writeln(const std::string& text);
    std::string Read(unsigned count);
    std::string ReadLn();
    void SendFile(const std::string& path);
    // Receives until the peer closes into the file at `path`, replaced or appended to.
    void CaptureFile(const std::string& path, bool append = false);
    // Into a file the caller holds open, at its descriptor's position; `name` is the file's in
    // error texts.
    void CaptureFile(int file, const std::string& name);
    void CaptureString(std::string& text, int count);
    // Binds `localAddress` (network byte order; 0 = every interface) and `Port`.
    void Listen(bool useLookupMessage, std::uint32_t localAddress = 0);
    // Make an accepted connection this component's socket, registered for all events.
    void AdoptSocket(std::uint16_t handle);
    void RequireConnection();
    std::string LocalAddressText();
    std::string LocalPortText();
    std::string ErrorText(std::uint16_t number);
    void CheckSocketError(int tolerated, std::string& message);
    // "HOST:PORT" as the failures name the peer, with the proxy when one is used.
    std::string PeerText() const;

    // Received bytes not yet consumed.
    size_t BufferedCount() const { return inBuffer_.size() - inStart_; }
    // Bytes the last capture took, the close drain included.
    long long CapturedCount() const { return captured_; }

    // Limits that keep a hostile or broken peer from exhausting memory or waiting for ever.
    static constexpr size_t MaxLineLength = 1024 * 1024;

    // Number of instances that have started the socket library in this process.
    static int InstanceCount();

protected:
    // The one place where a stop is forgotten: an operation begins, and what stopped the one
    // before it is no longer news.
    void BeginOperation() { StopReason = TStopReason::None; }
    void RecordStop(TStopReason reason);
    void ReportStatus(int level, const std::string& text);
    // The received bytes not yet consumed, and ways for subclasses to take them.
    const char* BufferedData() const { return inBuffer_.data() + inStart_; }
    void ConsumeInput(size_t count);
    void ClearInput();
    // One pass of the waiting loop.
    void WaitPass();
    // Raises the socket error's text when the peer reset or broke the connection.
    void RaiseIfDropped();
    // Step, or what the transport calls the connection when no step is named.
    std::string StepText() const;
    // A body a client reads itself counts toward the capture's cap as a capture does.
    void BeginCaptureCount() { captured_ = 0; }
    void NoteCaptured(size_t count);
    [[noreturn]] void RaiseStopped(const char* abortText);

private:
    // Life and notifications (Psock.cpp).
    void InitSocket();
    void ReleaseLibrary();
    bool OpenSocket(bool withLinger);
    void RegisterAllEvents();
    void Register(unsigned msg, long events);
    void MuteSocket();
    void HandleMessage(unsigned msg, platform::WPARAM wParam, platform::LPARAM lParam);
    void HandleSocketEvent(long event);
    void FireNotify(const TNotifyEvent& event);

    // Connection set-up and tear-down (sockconnect.cpp).
    std::string ResolveHost();
    std::string LookupText() const;
    std::string ConnectText() const;
    void StartTimer();
    void StopTimer();
    void TimerExpired(TComponent* Sender);
    void CloseSocket();
    void DropSocket();
    void OpenFreshSocket();

    // Sending (socksend.cpp).
    void WriteHandler();
    [[noreturn]] void RaiseSendError();

    // Receiving into the input buffer (sockread.cpp).
    void ReadHandler();
    int ReceiveOnce();
    void CloseDrain();
    void NoteReceiveError();
    void WaitWhile(const std::function<bool()>& condition);

    // Captures (sockcapture.cpp).
    bool Capturing() const { return sinkFd_ >= 0; }
    void AppendToSink(const char* bytes, size_t count);
    void FlushSink();
    int ReceiveIntoFile();
    int SpliceIntoFile();
    void MovePipeToFile(size_t count);
    void ReadPipeIntoBlock(size_t count);
    void OpenSplicePipe();
    void CloseSplicePipe();
    int CaptureWant(int chunk) const;
    size_t SinkRoom(size_t count) const;

    // The re-entrancy guard of the notification handlers, and the state of a running send.
    bool HandlerBusy = false;
    bool SendDone = false;
    bool SendFromFile = false;

    bool destroying_ = false;
    bool sendFailed_ = false;     // a send failed for good: the connection is gone
    int dropError_ = 0;           // the socket error that ended the connection
    int timeOut_ = 0;
    std::unique_ptr<platform::NotifyWindow> window_;
    std::unique_ptr<TThreadTimer> timer_;
    std::shared_ptr<platform::HostEntry> lookup_;
    bool libraryStarted_ = false;

    // Input: bytes [inStart_, size) are unconsumed; the consumed front is dropped lazily.
    std::vector<char> inBuffer_;
    size_t inStart_ = 0;
    size_t lfScanFrom_ = 0;       // bytes already known to hold no LF

    // Output: the text being sent, or the file SendFile sends.
    std::vector<char> outBuffer_;
    platform::UniqueFd sourceFd_;
    long long sourceSize_ = 0;
    char scratch_[ChunkSize];

    // The running capture into a file: its target, a block of bytes on their way there, and
    // the pipe inside the kernel that takes them socket -> pipe -> file.
    static constexpr size_t SinkBlock = 1 << 20;  // capture file writes go in blocks this big
    int sinkFd_ = -1;
    std::unique_ptr<char[]> sinkBlock_;
    size_t sinkFill_ = 0;
    int sinkError_ = 0;           // first write error of the capture
    platform::UniqueFd spliceRead_;
    platform::UniqueFd spliceWrite_;
    long long captured_ = 0;      // bytes taken by the running or last capture
};
