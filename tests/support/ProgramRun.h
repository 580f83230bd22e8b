// The tessary program without a window, run as a user's script would run it: its exit status,
// its standard output and standard error, signals sent to it, and its kill in the middle of a
// job. Every wait has a bound, and a run that outlives it is killed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace support {

// The program beside this test program's folder, as the build lays them out; TESSARY_BINARY
// names another one.
inline std::string ProgramPath()
{
    if (const char* path = std::getenv("TESSARY_BINARY"))
        return path;
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "app" / "tessary").string();
}

// One run of the program with its output captured.
class ProgramRun {
public:
    using Ms = std::chrono::milliseconds;
    using Lines = std::vector<std::string>;

    // Standard input reads `input`.
    ProgramRun(const Lines& args, const Lines& environment = {}, const std::string& input = "/dev/null")
    {
        std::vector<std::string> argv{ProgramPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> envp;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            // The tests choose the proxy and the language themselves, and override what they give.
            const std::string name = entry.substr(0, entry.find('='));
            const bool given = std::any_of(environment.begin(), environment.end(), [&](const std::string& set) {
                return set.rfind(name + "=", 0) == 0;
            });
            const bool chosen = given || name == "http_proxy" || name == "HTTP_PROXY" || name.rfind("LANG", 0) == 0 ||
                                name.rfind("LC_", 0) == 0;
            if (!chosen)
                envp.push_back(entry);
        }
        // The system's own texts, as a Japanese locale shows them (no generated locale needed).
        const bool languageGiven = std::any_of(environment.begin(), environment.end(), [](const std::string& entry) {
            return entry.rfind("LANG", 0) == 0 || entry.rfind("LC_", 0) == 0;
        });
        if (!languageGiven)
            envp.push_back("LANG=ja_JP.UTF-8");
        envp.insert(envp.end(), environment.begin(), environment.end());
        Start(argv, envp, input);
    }
    ~ProgramRun()
    {
        Kill();
        CloseFd(out_);
        CloseFd(err_);
    }
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    // True while the program runs. Takes the output that is there without waiting for more; an
    // ended program is reaped and its status kept.
    bool Running()
    {
        Pump(Clock::now());
        int status = 0;
        if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_)
            Ended(status);
        return pid_ > 0;
    }

    void Signal(int number)
    {
        if (pid_ > 0)
            ::kill(pid_, number);
    }

    // Ends the program at once when it still runs, as a crash or a power cut would.
    void Kill()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        Ended(status);
    }

    // Reads output until standard error holds `text`; false when the bound passes first.
    bool WaitForError(const std::string& text, Ms bound = Ms{20000})
    {
        const auto end = Clock::now() + bound;
        while (Err.find(text) == std::string::npos) {
            if (Clock::now() >= end || !Pump(end))
                return Err.find(text) != std::string::npos;
        }
        return true;
    }

    // The exit status (a death by a signal gives 1000 + its number); -1 when the program still
    // ran after `bound`, which kills it.
    int Finish(Ms bound = Ms{60000})
    {
        const auto end = Clock::now() + bound;
        while (Clock::now() < end && Pump(end)) {
        }
        while (Running()) {
            if (Clock::now() >= end) {
                Kill();
                return -1;
            }
            ::usleep(2000);
        }
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : 1000 + WTERMSIG(status_);
    }

    // Standard output, then standard error, as far as they have been read: for a failure's message.
    std::string Output() const { return Out + Err; }

    std::string Out;
    std::string Err;

private:
    using Clock = std::chrono::steady_clock;

    void Start(const std::vector<std::string>& argv, const std::vector<std::string>& envp, const std::string& input)
    {
        int out[2];
        int err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<char*> env;
        for (const std::string& e : envp)
            env.push_back(const_cast<char*>(e.c_str()));
        env.push_back(nullptr);
        const int devNull = ::open(input.c_str(), O_RDONLY | O_CLOEXEC);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(devNull, STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            ::execve(args[0], args.data(), env.data());
            ::_exit(127);
        }
        ::close(devNull);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }

    // Reads what is there, waiting until `end` for something (not at all once it has passed);
    // false once both streams have ended or nothing came.
    bool Pump(Clock::time_point end)
    {
        if (out_ < 0 && err_ < 0)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(std::max<long long>(left, 0))) <= 0)
            return false;
        Drain(fds[0], out_, Out);
        Drain(fds[1], err_, Err);
        return true;
    }

    static void Drain(const pollfd& fd, int& owned, std::string& into)
    {
        if (owned < 0 || fd.revents == 0)
            return;
        char buffer[4096];
        const ssize_t n = ::read(owned, buffer, sizeof buffer);
        if (n > 0)
            into.append(buffer, static_cast<size_t>(n));
        else
            CloseFd(owned);
    }

    // Keeps the status of the ended program and reads the rest of its output, within a bound
    // should something it started hold its streams open.
    void Ended(int status)
    {
        pid_ = -1;
        status_ = status;
        const auto end = Clock::now() + Ms{5000};
        while (Clock::now() < end && Pump(end)) {
        }
    }

    static void CloseFd(int& fd)
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

    pid_t pid_ = -1;
    int status_ = -1;  // no exit: a program that never started has no status 0
    int out_ = -1;
    int err_ = -1;
};

}  // namespace support
