#include "platform/messages.h"

#include "platform/eventloop.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace platform {

HWND CreateNotifyWindow(WindowProc proc)
{
    return Loop().CreateWindow(std::move(proc));
}

void DestroyNotifyWindow(HWND window)
{
    Loop().DestroyWindow(window);
}

bool PostMessage(HWND window, unsigned msg, WPARAM wParam, LPARAM lParam)
{
    return Loop().Post(window, msg, wParam, lParam);
}

unsigned SetTimer(HWND window, unsigned id, unsigned intervalMs)
{
    return Loop().SetTimer(window, id, intervalMs);
}

bool KillTimer(HWND window, unsigned id)
{
    return Loop().KillTimer(window, id);
}

void ProcessMessages()
{
    Loop().Pass(0);
}

void WaitPass(int maxMs)
{
    Loop().Pass(maxMs);
}

unsigned long long PassCount()
{
    return Loop().Passes();
}

void SetToolkitHook(ToolkitHook hook)
{
    Loop().SetHook(std::move(hook));
}

int BackendFd()
{
    return Loop().Fd();
}

int BackendTimeout()
{
    return Loop().Timeout();
}

namespace {
std::function<void(const std::exception&)>& ExceptionHandler()
{
    static std::function<void(const std::exception&)> handler;
    return handler;
}
}  // namespace

void SetExceptionHandler(std::function<void(const std::exception&)> handler)
{
    ExceptionHandler() = std::move(handler);
}

void HandleApplicationException(const std::exception& error)
{
    // The application's report is a dialog, which only the shared loop's thread may show.
    if (ExceptionHandler() && !OnThreadLoop())
        ExceptionHandler()(error);
    else
        std::fprintf(stderr, "%s\n", error.what());
}

void Sleep(unsigned ms)
{
    timespec request{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&request, &request) != 0 && errno == EINTR) {
    }
}

}  // namespace platform
