#include "mirror/JobHost.h"

#include "platform/messages.h"

void TJobHost::SetProgressText(const std::string& text)
{
    SetStatusText(text);
}

void TJobHost::ProcessPendingMessages()
{
    platform::ProcessMessages();
}

void TJobHost::PauseFor(unsigned milliseconds)
{
    platform::Sleep(milliseconds);
}
