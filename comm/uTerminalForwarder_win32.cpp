// Terminal forwarding on Windows: WM_COPYDATA to the top-level window of
// the terminal's class. The message is delivered synchronously, so the
// terminal sees the traffic in order; a terminal that has stopped
// responding is given up on instead of freezing the channel.

#include "uTerminalForwarder.h"

#include <windows.h>

namespace kelvo {

namespace {
// Longest wait for one delivery to a terminal that is busy but alive.
constexpr UINT DeliveryTimeoutMs = 1000;
}  // namespace

std::string TerminalSocketPath()
{
    return std::string();
}

void ForwardToTerminal(const RawByteString& Payload)
{
    if (Payload.empty())
        return;
    HWND terminal = ::FindWindowA(TerminalWindowClass, nullptr);
    if (!terminal)
        return;
    COPYDATASTRUCT data{};
    data.dwData = 0;
    data.cbData = static_cast<DWORD>(Payload.size());
    data.lpData = const_cast<char*>(Payload.data());
    DWORD_PTR result = 0;
    ::SendMessageTimeoutA(terminal, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                          SMTO_NORMAL | SMTO_ABORTIFHUNG, DeliveryTimeoutMs, &result);
}

}  // namespace kelvo
