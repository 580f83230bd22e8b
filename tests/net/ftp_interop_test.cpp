// The FTP client against a real vsftpd on loopback: log-in, the set folder scheme, a parsed
// listing and downloads, as the set job runs them. vsftpd runs as a child process with a
// generated configuration in a scratch folder and is stopped by its process id.
#include "net/NMFtp.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char* const kVsftpd = "/usr/sbin/vsftpd";
const std::string kSetFolder = "/pub/brick/scans/08000/8436/";

std::string Slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void Spit(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::others_read);
}

// Bytes that an ASCII-mode conversion or a text-only path would damage.
std::string Binary(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    unsigned x = seed;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return bytes;
}

std::uint16_t FreeLoopbackPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

bool Accepts(std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// One vsftpd serving `root` anonymously on 127.0.0.1, active mode only.
class Vsftpd {
public:
    explicit Vsftpd(const fs::path& scratch) : scratch_(scratch) {}
    ~Vsftpd() { Stop(); }
    Vsftpd(const Vsftpd&) = delete;
    Vsftpd& operator=(const Vsftpd&) = delete;

    fs::path Root() const { return scratch_ / "root"; }
    std::uint16_t Port() const { return port_; }
    // The path under which the anonymous root appears to a client.
    std::string RemoteRoot() const { return chrooted_ ? "" : Root().string(); }
    std::string Output() const { return Slurp(scratch_ / "vsftpd.out"); }

    // Empty when it runs, otherwise why not.
    std::string Start()
    {
        fs::create_directories(scratch_ / "empty");
        port_ = FreeLoopbackPort();
        // vsftpd chroots anonymous sessions only when started by root; otherwise it runs as the
        // launching user and the root is an ordinary folder.
        chrooted_ = geteuid() == 0;
        std::ofstream config(scratch_ / "vsftpd.conf");
        config << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << port_ << "\n"
               << "background=NO\nanonymous_enable=YES\nanon_root=" << Root().string() << "\n"
               << "local_enable=NO\nwrite_enable=NO\nport_enable=YES\nconnect_from_port_20=NO\n"
               << "pasv_enable=NO\nsecure_chroot_dir=" << (scratch_ / "empty").string() << "\n"
               << "seccomp_sandbox=NO\nsyslog_enable=NO\nxferlog_enable=NO\nhide_ids=YES\n"
               << (chrooted_ ? "" : "run_as_launching_user=YES\n");
        config.close();

        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            const int out = open((scratch_ / "vsftpd.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(out, 2);
            const std::string path = (scratch_ / "vsftpd.conf").string();
            execl(kVsftpd, kVsftpd, path.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid_ < 0)
            return "fork failed";
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return "vsftpd exited: " + Output();
            }
            if (Accepts(port_))
                return {};
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return "vsftpd did not listen within 10 s: " + Output();
    }

    void Stop()
    {
        if (pid_ <= 0)
            return;
        kill(-pid_, SIGTERM);  // its own process group: the listener and its session children
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() >= deadline) {
                kill(-pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
    }

private:
    fs::path scratch_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
    bool chrooted_ = false;
};

class FtpInteropTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (access(kVsftpd, X_OK) != 0)
            GTEST_SKIP() << kVsftpd << " is not installed; install vsftpd to run the FTP interop tests";
        std::string pattern = (fs::temp_directory_path() / "tessary-vsftpd-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        scratch = pattern;
        fs::permissions(scratch, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
        const fs::path set = scratch / "root" / "pub/brick/scans/08000/8436";
        fs::create_directories(set);
        fs::create_directories(scratch / "download");
        for (fs::path p = set; p != scratch; p = p.parent_path())
            fs::permissions(p, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
        files = {{"8436-01.gif", Binary(70000, 1)},
                 {"8436-02.gif", Binary(3 << 20, 2)},
                 {"index.htm", "<html></html>\r\n"},
                 {"my file.gif", Binary(10, 3)}};
        for (const auto& [name, bytes] : files)
            Spit(set / name, bytes);

        server = std::make_unique<Vsftpd>(scratch);
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
        if (!scratch.empty()) {
            std::error_code ignored;
            fs::remove_all(scratch, ignored);
        }
    }

    bool HasStatus(const std::string& text) const
    {
        return std::find(statuses.begin(), statuses.end(), text) != statuses.end();
    }

    std::string SetFolder() const { return server->RemoteRoot() + kSetFolder; }

    fs::path scratch;
    std::map<std::string, std::string> files;
    std::unique_ptr<Vsftpd> server;
    TNMFTP ftp;
    std::vector<std::string> statuses;
};

TEST_F(FtpInteropTest, SetFolderIsListedAndEveryFileArrivesWhole)
{
    ftp.Connect();
    ASSERT_TRUE(ftp.Connected);
    EXPECT_TRUE(HasStatus("PASS "));
    ftp.ChangeDirectory(SetFolder());
    ftp.ParseList = true;
    ftp.Vendor = TNMFTP::VendorDetect;
    ftp.ListDirectory();

    EXPECT_EQ(ftp.Vendor, TNMFTP::VendorUnix);  // vsftpd answers "215 UNIX Type: L8"
    ASSERT_NE(ftp.DirectoryList, nullptr);
    std::vector<std::string> names = ftp.DirectoryList->FileNames;
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"8436-01.gif", "8436-02.gif", "file.gif", "index.htm"}));

    for (const std::string name : {"8436-01.gif", "8436-02.gif"}) {
        const fs::path local = scratch / "download" / name;
        ftp.Download(name, local.string());
        EXPECT_EQ(Slurp(local), files[name]) << name;
        EXPECT_EQ(ftp.BytesTotal, static_cast<long long>(files[name].size()));
        EXPECT_TRUE(HasStatus("受信 " + std::to_string(files[name].size()) + " Bytes"));
    }
    ftp.Disconnect();
    EXPECT_FALSE(ftp.Connected);
    EXPECT_TRUE(HasStatus("221 Goodbye.\r\n"));
}

TEST_F(FtpInteropTest, RefusalsCarryTheServersLineAndLeaveTheSessionUsable)
{
    ftp.Connect();
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
    EXPECT_EQ(Slurp(scratch / "download" / "8436-01.gif"), files["8436-01.gif"]);
}

TEST_F(FtpInteropTest, SystIsAskedAgainOnANewConnection)
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

}  // namespace
