// The FTP client: log-in, directory change, single commands, parsed listings and downloads
// over active-mode data connections, all on the control connection of its TPowersock base.
#pragma once

#include "net/FTPDirectoryList.h"
#include "net/Psock.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

// A refusal by the server; the message is the refusing reply line as read, with the step and the
// server named in parentheses before its line end: "530 Login incorrect. (log-in to h:21)\r\n".
class FTPException : public Exception {
public:
    using Exception::Exception;
};

// What an operation was, as its success, failure and unsupported-command events report it.
enum class TCmdType {
    CmdCwd = 0,
    CmdMkd = 1,
    CmdDele = 2,
    CmdRmd = 3,
    CmdList = 4,
    CmdRetr = 8,
    CmdOther = 14,
    CmdPwd = 15,
};

using TNMListItem = std::function<void(const std::string& Listing)>;
using TSuccessEvent = std::function<void(TCmdType Trans_Type)>;
using TFailureEvent = std::function<void(bool& Handled, TCmdType Trans_Type)>;
using TUnsupportedEvent = std::function<void(TCmdType Trans_Type)>;

class TNMFTP : public TPowersock {
public:
    // Server system types; VendorDetect asks the server ("SYST") at the first parsed listing.
    static constexpr int VendorUnix = 2400;
    static constexpr int VendorDos = 2401;
    static constexpr int VendorVm = 2402;
    static constexpr int VendorMacOs = 2404;
    static constexpr int VendorVms = 2406;
    static constexpr int VendorMvs = 2408;
    static constexpr int VendorOther = 2410;
    static constexpr int VendorDetect = 2411;
    static constexpr int VendorOs400 = 2414;
    static constexpr int VendorNetware = 2416;

    TNMFTP();
    ~TNMFTP() override;

    // Published properties (Host, Port, TimeOut, ReportLevel, Proxy and ProxyPort are the base's).
    std::string UserID;
    std::string Password;
    int Vendor = VendorDetect;
    bool ParseList = false;

    // Milliseconds that a whole reply (every line of it) and the wait for the server's data
    // connection may take, and that a data transfer may go without a byte, before the wait gives
    // up with ESockError and the session is closed; 0 waits for ever. Read while a wait runs:
    // lowered, it bounds the waits already running too, within a second.
    int WaitLimit = 60000;

    // Caps on what one server may make us read. A reply past its cap ends the session, a listing
    // past its cap fails; neither grows memory or keeps a wait going.
    static constexpr int MaxReplyLines = 1000;
    static constexpr size_t MaxReplyBytes = 256 * 1024;
    static constexpr int MaxListingEntries = 100000;
    static constexpr long long MaxListingBytes = 16 * 1024 * 1024;

    // Published events. OnConnect is this client's own: it fires after the log-in, and hides the
    // base's socket-level notification of the same name.
    TNotifyEvent OnConnect;
    TNMListItem OnListItem;
    TSuccessEvent OnSuccess;
    TFailureEvent OnFailure;
    TUnsupportedEvent OnUnSupportedFunction;
    TNotifyEvent OnTransactionStart;
    TNotifyEvent OnTransactionStop;
    THandlerEvent OnAuthenticationNeeded;
    THandlerEvent OnAuthenticationFailed;  // never fired

    // Run-time state: the data connection of the running transfer, and the parsed listing.
    std::unique_ptr<TPowersock> DataSocket;
    // Why the last data connection was stopped before its end (the user's abort, the time-out),
    // as it recorded it: kept once the connection is gone.
    TStopReason DataStopReason = TStopReason::None;
    std::unique_ptr<TFTPDirectoryList> DirectoryList;

    // Operations.
    void Connect() override;
    void Disconnect() override;
    std::string SendCommand(const std::string& command) override;
    void Abort() override;
    void ChangeDirectory(const std::string& directory);
    // The representation of the transfers that follow (TYPE): "I", image, keeps a file's bytes
    // as they are and counts a restart in them; the server's default, ASCII, may convert line
    // ends or refuse a restart. A refusal raises as IssueCommand's does.
    void TransferType(const std::string& type);
    void IssueCommand(const std::string& command);
    void ListDirectory();
    // Raises unless the data arrived whole (no reset, no fewer bytes than the server announced
    // as "(N bytes)") and the server said complete, so a cut file never passes as whole.
    // With `restartAt` above 0 the server is asked to start there (REST): the data is appended
    // to the local file when it agrees (350), else the file is received whole again. A server
    // that agrees and then refuses the file with a 5xx reply is asked for the whole file.
    void Download(const std::string& remoteFile, const std::string& localFile, long long restartAt = 0);
    // The last download continued its local file.
    bool Appended = false;

    // Reply handling. ReadReplyRest returns the reply's last line.
    std::string ReadReplyRest(std::string line);

    // A byte count for information (BytesTotal while the transfer runs): the digits nearest
    // before the word "bytes", 0 when none. They may be the reply code or part of a name.
    static long long ReplyByteCount(const std::string& reply);
    // The size a reply clearly announces, as "... (12345 bytes)" at the end of its line (a "."
    // may follow); 0 when it announces none. Only this count can fail a download.
    static long long AnnouncedByteCount(const std::string& reply);
    // The system type a "SYST" reply names.
    static int VendorFromSystem(const std::string& systemReply);
    // How IssueCommand classifies a command.
    static TCmdType CommandType(const std::string& command);

private:
    // What a wait is waiting for: the greeting, a reply and the data connection have a deadline
    // from their start; a data transfer may go on as long as bytes keep arriving.
    enum class Phase { None, Greeting, Reply, Accept, Data };
    class Watch;

    void Refuse(TCmdType type, const std::string& reply, bool offerUnsupported, const std::string& step);
    void BeginStep(const std::string& step);
    std::string ReadGreeting();
    std::string NextReplyLine(int& lines, size_t& bytes);
    bool FailureLineWaiting() const;
    bool ServerDropArriving() const;
    void PrepareDataSocket();
    void DropDataSocket();
    void AnnouncePort(TCmdType type);
    bool RestartAt(long long offset);
    long long RequestFile(const std::string& remoteFile, bool restarted);
    void AcceptDataConnection();
    void ReadListing();
    void DeliverListingLine(std::string line);
    int EndTransfer(long long captured);
    std::string ReadTransferEnd();
    void JudgeTransfer(const std::string& finalReply, int dataError, long long announced);
    void SettleOwedReply();
    void CreateDirectoryList();
    void DropSession();
    [[noreturn]] void GiveUp();
    static const char* AwaitedText(Phase phase);

    // The wait watchdog: while a wait runs, a tick checks its deadline.
    void StartWatch();
    void StopWatch();
    void WatchTick();
    void NoteDataProgress();
    unsigned TickInterval() const;
    template <typename F>
    auto Watched(Phase phase, F&& wait);

    std::unique_ptr<TThreadTimer> watchdog_;
    // When the running wait began, or last saw data: it ends WaitLimit after this.
    std::chrono::steady_clock::time_point watchFrom_;
    int watchDepth_ = 0;
    Phase phase_ = Phase::None;
    // A transfer command was accepted and its final reply has not been read yet.
    bool replyOwed_ = false;
    // The socket error that broke the running transfer's data connection, 0 while none did.
    int dataError_ = 0;
};
