// The FTP client against real servers on loopback, vsftpd and ProFTPD: log-in, the set folder
// scheme, a parsed listing and downloads, as the set job runs them; then the tessary program's
// own set job, also killed in the middle of a file and run again. Each server runs as a child
// process with a generated configuration in a scratch folder and is stopped by its process id.
#include "net/NMFtp.h"

#include "fixtures/ScriptedServer.h"
#include "platform/files.h"
#include "support/ProgramRun.h"
#include "support/TempFolder.h"
#include "support/files.h"
#include "support/loopback.h"
#include "support/params.h"
#include "support/processes.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using support::FileBytes;
using support::Holds;
using support::PrintTo;
using support::ProgramRun;
using Clock = std::chrono::steady_clock;

const std::string kSetFolder = "/pub/brick/scans/08000/8436/";
// The set job looks for its sets at the client's "/", where a server shows its anonymous root
// only when it can chroot to it.
const char* const kNoSetFolders = "the set job needs the anonymous root at \"/\", which takes a server started by root";

// A file the FTP server's session, possibly another user, may read.
void Spit(const fs::path& path, const std::string& bytes)
{
    support::WriteFile(path, bytes);
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::others_read);
}

// A folder below `top` that the FTP server's session may enter, with its parents up to `top`.
void MakeReadableFolder(const fs::path& folder, const fs::path& top)
{
    fs::create_directories(folder);
    for (fs::path p = folder; p != top; p = p.parent_path())
        fs::permissions(p, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
}

// One FTP server program serving `Root()` anonymously on 127.0.0.1, active mode only, in its
// own process group, its output in a file of the scratch folder.
class FtpServerProcess {
public:
    FtpServerProcess(std::string binary, const fs::path& scratch, std::string name)
        : binary_(std::move(binary)), scratch_(scratch), name_(std::move(name))
    {
    }
    virtual ~FtpServerProcess() { Stop(); }
    FtpServerProcess(const FtpServerProcess&) = delete;
    FtpServerProcess& operator=(const FtpServerProcess&) = delete;

    fs::path Root() const { return scratch_ / "root"; }
    std::uint16_t Port() const { return port_; }
    // The path under which the anonymous root appears to a client.
    std::string RemoteRoot() const { return chrooted_ ? "" : Root().string(); }
    // The anonymous root is the client's "/", where the set job looks for its sets.
    bool Chrooted() const { return chrooted_; }
    std::string Output() const { return FileBytes(scratch_ / (name_ + ".out")); }
    // The commands the server logged, one a line among its other lines.
    std::string CommandLog() const { return FileBytes(LogPath()); }

    // Empty when it runs, otherwise why not. A download takes at most `bytesPerSecond` when
    // that is above 0.
    std::string Start(long long bytesPerSecond = 0)
    {
        port_ = support::FreeLoopbackPort();
        chrooted_ = geteuid() == 0;
        const std::string refusal = WriteConfig(bytesPerSecond);
        if (!refusal.empty())
            return refusal;
        // Everything the child needs is made before the fork: the test runs threads.
        std::vector<std::string> arguments = Arguments();
        arguments.insert(arguments.begin(), binary_);
        std::vector<char*> argv;
        for (const std::string& a : arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const std::string output = (scratch_ / (name_ + ".out")).string();
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(out, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (pid_ < 0)
            return "fork failed";
        switch (support::WaitUntilListening(pid_, port_, std::chrono::seconds(10))) {
        case support::StartOutcome::Listening:
            return {};
        case support::StartOutcome::Exited:
            pid_ = -1;
            return name_ + " exited: " + Output();
        case support::StartOutcome::TimedOut:
            break;
        }
        return name_ + " did not listen within 10 s: " + Output();
    }

    // Its own process group: the listener and its session children.
    void Stop()
    {
        if (pid_ > 0)
            support::StopProcess(pid_, true, std::chrono::seconds(5));
        pid_ = -1;
    }

protected:
    fs::path ConfigPath() const { return scratch_ / (name_ + ".conf"); }
    fs::path LogPath() const { return scratch_ / (name_ + ".log"); }
    fs::path Scratch() const { return scratch_; }
    // Writes the configuration; why the server cannot run here, or an empty text.
    virtual std::string WriteConfig(long long bytesPerSecond) = 0;
    // The program's arguments after its name.
    virtual std::vector<std::string> Arguments() const = 0;

private:
    std::string binary_;
    fs::path scratch_;
    std::string name_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
    bool chrooted_ = false;
};

class Vsftpd : public FtpServerProcess {
public:
    Vsftpd(std::string binary, const fs::path& scratch) : FtpServerProcess(std::move(binary), scratch, "vsftpd") {}

protected:
    // vsftpd chroots anonymous sessions only when started by root; otherwise it runs as the
    // launching user and the root is an ordinary folder.
    std::string WriteConfig(long long bytesPerSecond) override
    {
        fs::create_directories(Scratch() / "empty");
        std::ofstream config(ConfigPath());
        config << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << Port() << "\n"
               << "background=NO\nanonymous_enable=YES\nanon_root=" << Root().string() << "\n"
               << "local_enable=NO\nwrite_enable=NO\nport_enable=YES\nconnect_from_port_20=NO\n"
               << "pasv_enable=NO\nsecure_chroot_dir=" << (Scratch() / "empty").string() << "\n"
               << "seccomp_sandbox=NO\nsyslog_enable=NO\nhide_ids=YES\n"
               << "xferlog_enable=YES\nxferlog_std_format=NO\nlog_ftp_protocol=YES\n"
               << "vsftpd_log_file=" << LogPath().string() << "\n"
               << (bytesPerSecond > 0 ? "anon_max_rate=" + std::to_string(bytesPerSecond) + "\n" : "")
               << (Chrooted() ? "" : "run_as_launching_user=YES\n");
        return {};
    }
    std::vector<std::string> Arguments() const override { return {ConfigPath().string()}; }
};

// ProFTPD runs in the foreground (-n) as the current user, serving the anonymous root as the
// account "nobody", and writes its scoreboard, process id, delay table and log into the scratch
// folder and nothing elsewhere (no transfer log, no wtmp): a system-wide ProFTPD, running or
// not, shares nothing with it.
class Proftpd : public FtpServerProcess {
public:
    Proftpd(std::string binary, const fs::path& scratch) : FtpServerProcess(std::move(binary), scratch, "proftpd") {}

protected:
    std::string WriteConfig(long long bytesPerSecond) override
    {
        const passwd* user = getpwuid(geteuid());
        const group* group = getgrgid(getegid());
        if (user == nullptr || group == nullptr)
            return "the current user or group has no name";
        const std::string s = Scratch().string() + "/";
        std::ofstream config(ConfigPath());
        config << "ServerType standalone\nServerName \"Tessary test\"\n"
               << "Port " << Port() << "\nDefaultAddress 127.0.0.1\nSocketBindTight on\nUseIPv6 off\n"
               << "UseReverseDNS off\nUser " << user->pw_name << "\nGroup " << group->gr_name << "\n"
               << "PidFile " << s << "proftpd.pid\nScoreboardFile " << s << "proftpd.scoreboard\n"
               << "DelayTable " << s << "proftpd.delay\nWtmpLog off\nControlsEngine off\n"
               << "TransferLog NONE\nExtendedLog " << LogPath().string() << " ALL\n"
               << "AuthPAM off\nRequireValidShell off\nUseFtpUsers off\n"
               << (bytesPerSecond > 0 ? "TransferRate RETR " + std::to_string(bytesPerSecond / 1024) + "\n" : "")
               << "<Anonymous " << Root().string() << ">\n"
               << "  User nobody\n  Group nogroup\n  UserAlias Anonymous nobody\n"
               << "  <Limit WRITE>\n    DenyAll\n  </Limit>\n</Anonymous>\n";
        return {};
    }
    std::vector<std::string> Arguments() const override { return {"-n", "-c", ConfigPath().string()}; }
};

// The build tree this test program lies in.
fs::path BuildFolder()
{
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path();
}

std::string VsftpdPath()
{
    return "/usr/sbin/vsftpd";
}

// The program of Debian's package when it is installed; else that package unpacked into the
// build tree by tools/setup.sh, as it conflicts with vsftpd's.
std::string ProftpdPath()
{
    const std::string installed = "/usr/sbin/proftpd";
    return access(installed.c_str(), X_OK) == 0 ? installed : (BuildFolder() / "proftpd/usr/sbin/proftpd").string();
}

struct ServerCase {
    const char* name;
    std::string (*binary)();
    std::unique_ptr<FtpServerProcess> (*make)(std::string binary, const fs::path& scratch);
    bool needsRoot;  // an anonymous session is a chroot into the root, which only root may make
};

template <typename Server>
std::unique_ptr<FtpServerProcess> Make(std::string binary, const fs::path& scratch)
{
    return std::make_unique<Server>(std::move(binary), scratch);
}

// A scan with every byte value and every kind of line end: LF, CR LF, a lone CR, CR CR LF, and
// the old end-of-file mark 0x1A, all of which a text transfer may change or stop at.
std::string LineEndScan()
{
    std::string scan;
    for (int i = 0; i < 256; ++i)
        scan += static_cast<char>(i);
    for (int k = 0; scan.size() < 100000; ++k)
        scan += "\n" + std::to_string(k) + "\r\n\r\r\r\n\x1A" + fixtures::Pattern(static_cast<std::uint64_t>(k), 61);
    return "\n" + scan + "\r";
}

class FtpInteropTest : public ::testing::TestWithParam<ServerCase> {
protected:
    void SetUp() override
    {
        const ServerCase& c = GetParam();
        const std::string binary = c.binary();
        if (access(binary.c_str(), X_OK) != 0)
            GTEST_SKIP() << binary << " is not there; tools/setup.sh installs it for the FTP interop tests";
        if (c.needsRoot && geteuid() != 0)
            GTEST_SKIP() << c.name << " serves anonymous sessions only when started by root";
        fs::permissions(scratch, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
        MakeReadableFolder(SetPath("8436"), scratch);
        fs::create_directories(scratch / "download");
        // Generated bytes, which an ASCII-mode conversion or a text-only path would damage.
        files = {{"8436-01.gif", fixtures::Pattern(1, 70000)},
                 {"8436-02.gif", fixtures::Pattern(2, 3 << 20)},
                 {"index.htm", "<html></html>\r\n"},
                 {"my file.gif", fixtures::Pattern(3, 10)}};
        for (const auto& [name, bytes] : files)
            Spit(SetPath("8436") / name, bytes);
        support::WriteFile(settings, "");

        server = c.make(binary, scratch);
        const std::string failure = server->Start();
        ASSERT_TRUE(failure.empty()) << failure;

        ftp.Host = "127.0.0.1";
        ftp.Port = server->Port();
        ftp.UserID = "Anonymous";
        ftp.Password = "Wayfarers";
        ftp.ReportLevel = 1;
        ftp.WaitLimit = 20000;  // no test waits for ever
        ftp.OnStatus = [this](TComponent*, const std::string& status) { statuses.push_back(status); };
    }

    void TearDown() override
    {
        if (ftp.Connected)
            ftp.Disconnect();
        server.reset();
    }

    bool HasStatus(const std::string& text) const
    {
        return std::find(statuses.begin(), statuses.end(), text) != statuses.end();
    }

    std::string SetFolder() const { return server->RemoteRoot() + kSetFolder; }
    // The server's folder of a four-digit set, and where the set job stores its files.
    fs::path SetPath(const std::string& number) const { return scratch / "root/pub/brick" / SetScans(number); }
    fs::path StoredPath(const std::string& number) const { return destination.Path() / SetScans(number); }
    static fs::path SetScans(const std::string& number)
    {
        return fs::path("scans") / ("0" + number.substr(0, 1) + "000") / number;
    }

    // The arguments of a run of the set job for `number` against the server. A file it cannot
    // get over FTP would go to a closed loopback port, not to the web; the partial file's note
    // names the file by this base, so every run of a test has the same.
    std::vector<std::string> SetJobArguments(const std::string& number) const
    {
        return {"--set", number, "--dest", destination.Text(), "--ftp-host",
                "127.0.0.1:" + std::to_string(server->Port()), "--web-base", webBase, "--no-pause", "--settings",
                settings.string()};
    }

    support::TempFolder temp;
    const fs::path scratch = temp.Path();
    support::TempFolder destination;
    const fs::path settings = scratch / "Tessary.ini";
    const std::string webBase = "http://127.0.0.1:" + std::to_string(support::FreeLoopbackPort());
    std::map<std::string, std::string> files;
    std::unique_ptr<FtpServerProcess> server;
    TNMFTP ftp;
    std::vector<std::string> statuses;
};

TEST_P(FtpInteropTest, SetFolderIsListedAndEveryFileArrivesWhole)
{
    ftp.Connect();
    ASSERT_TRUE(ftp.Connected);
    EXPECT_TRUE(HasStatus("PASS "));
    ftp.TransferType("I");
    ftp.ChangeDirectory(SetFolder());
    ftp.ParseList = true;
    ftp.Vendor = TNMFTP::VendorDetect;
    ftp.ListDirectory();

    EXPECT_EQ(ftp.Vendor, TNMFTP::VendorUnix);  // both answer "215 UNIX Type: L8"
    ASSERT_NE(ftp.DirectoryList, nullptr);
    std::vector<std::string> names = ftp.DirectoryList->FileNames;
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"8436-01.gif", "8436-02.gif", "file.gif", "index.htm"}));

    for (const std::string name : {"8436-01.gif", "8436-02.gif"}) {
        const fs::path local = scratch / "download" / name;
        ftp.Download(name, local.string());
        EXPECT_EQ(FileBytes(local), files[name]) << name;
        EXPECT_EQ(ftp.BytesTotal, static_cast<long long>(files[name].size()));
        EXPECT_TRUE(HasStatus("受信 " + std::to_string(files[name].size()) + " Bytes"));
    }
    ftp.Disconnect();
    EXPECT_FALSE(ftp.Connected);
    EXPECT_TRUE(HasStatus("221 Goodbye.\r\n"));
}

TEST_P(FtpInteropTest, RefusalsCarryTheServersLineAndLeaveTheSessionUsable)
{
    ftp.Connect();
    ftp.TransferType("I");
    try {
        ftp.ChangeDirectory(server->RemoteRoot() + "/pub/brick/scans/90000/99999/");
        ADD_FAILURE() << "a missing folder was entered";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.Message().substr(0, 4), "550 ");
        EXPECT_EQ(e.Message().substr(e.Message().size() - 2), "\r\n");
    }
    ftp.ChangeDirectory(SetFolder());
    // Only the name's last word is listed for "my file.gif"; fetching that name fails cleanly.
    EXPECT_THROW(ftp.Download("file.gif", (scratch / "download" / "file.gif").string()), FTPException);
    EXPECT_EQ(ftp.DataSocket, nullptr);
    ftp.Download("8436-01.gif", (scratch / "download" / "8436-01.gif").string());
    EXPECT_EQ(FileBytes(scratch / "download" / "8436-01.gif"), files["8436-01.gif"]);
}

TEST_P(FtpInteropTest, SystIsAskedAgainOnANewConnection)
{
    int systs = 0;
    ftp.OnStatus = [&](TComponent*, const std::string& status) { systs += status == "SYST"; };
    for (int round = 0; round < 2; ++round) {
        ftp.Connect();
        ftp.ChangeDirectory(SetFolder());
        ftp.ParseList = true;
        ftp.ListDirectory();
        ftp.ListDirectory();
        ftp.Disconnect();
    }
    EXPECT_EQ(systs, 2);
}

// The set job asks for binary transfers: a scan full of line ends and control bytes is stored
// as the server has it, which the servers' default ASCII type does not promise (ProFTPD turns
// each LF into CR LF there).
TEST_P(FtpInteropTest, SetJobStoresAScanByteForByte)
{
    if (!server->Chrooted())
        GTEST_SKIP() << kNoSetFolders;
    const std::string scan = LineEndScan();
    MakeReadableFolder(SetPath("8437"), scratch);
    Spit(SetPath("8437") / "8437-01.gif", scan);

    ProgramRun run(SetJobArguments("8437"));

    ASSERT_EQ(run.Finish(std::chrono::seconds(60)), 0) << run.Output();
    EXPECT_TRUE(Holds(StoredPath("8437") / "8437-01.gif", scan));
}

// A run killed in the middle of a scan leaves its partial file; the next run asks only for the
// rest (REST with the partial file's size) and ends with the server's file.
TEST_P(FtpInteropTest, KilledSetJobIsContinuedByTheNextRun)
{
    if (!server->Chrooted())
        GTEST_SKIP() << kNoSetFolders;
    const std::string scan = fixtures::Pattern(4, 24 << 20);
    MakeReadableFolder(SetPath("8438"), scratch);
    Spit(SetPath("8438") / "8438-01.gif", scan);
    const fs::path stored = StoredPath("8438");
    const std::string partial = platform::PartialPath(stored.string() + "/", "8438-01.gif");
    constexpr long long MiB = 1 << 20;

    // Slowed down to 2 MiB/s, so that the kill comes while the scan arrives.
    server->Stop();
    std::string failure = server->Start(2 * MiB);
    ASSERT_TRUE(failure.empty()) << failure;
    {
        ProgramRun killed(SetJobArguments("8438"));
        const auto end = Clock::now() + std::chrono::seconds(30);
        while (killed.Running() && platform::FileSizeOf(partial) <= MiB && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(killed.Running()) << "the run ended before the partial file held 1 MiB: " << killed.Output();
        ASSERT_GT(platform::FileSizeOf(partial), MiB) << "the partial file did not pass 1 MiB within 30 s";
        killed.Kill();
    }
    const long long kept = platform::FileSizeOf(partial);
    ASSERT_LT(kept, static_cast<long long>(scan.size()));

    server->Stop();
    failure = server->Start();
    ASSERT_TRUE(failure.empty()) << failure;
    ProgramRun next(SetJobArguments("8438"));

    ASSERT_EQ(next.Finish(std::chrono::seconds(60)), 0) << next.Output();
    EXPECT_TRUE(Holds(stored / "8438-01.gif", scan));
    // The server was asked for the rest, and sent only that.
    const std::string log = server->CommandLog();
    EXPECT_NE(log.find("\"REST " + std::to_string(kept) + "\""), std::string::npos) << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("\\b" + std::to_string(scan.size() - kept) + "\\b"))) << log;
    EXPECT_EQ(support::TempFolder::TreeOf(stored),
              std::vector<std::string>{"8438-01.gif " + std::to_string(scan.size())});
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpInteropTest,
                         ::testing::Values(ServerCase{"Vsftpd", VsftpdPath, Make<Vsftpd>, false},
                                           ServerCase{"Proftpd", ProftpdPath, Make<Proftpd>, true}),
                         support::CaseName);

}  // namespace
