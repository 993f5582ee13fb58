// Safe sync on Windows: calls travel as WM_USER + 1 to a hidden window that
// lives on the main thread; the sender waits in SendMessageTimeoutA.

#include <windows.h>

#include <atomic>

#include "AfSafeSync.h"
#include "uMainThreadQueue.h"

namespace kelvo::afsync {

namespace {

constexpr UINT kSyncMessage = WM_USER + 1;
const char* const kClassName = "AfSafeSyncObjWnd";
std::atomic<HWND> gWindow{nullptr};

LRESULT CALLBACK SyncWindowProc(HWND Wnd, UINT Msg, WPARAM W, LPARAM L)
{
    if (Msg == kSyncMessage) {
        Dispatch(static_cast<uint32_t>(L));  // unknown ids are ignored there
        return 0;
    }
    return DefWindowProcA(Wnd, Msg, W, L);
}

// Lets DrainFor and friends deliver the window's messages too.
void PumpMessages(uint32_t MaxWaitMs)
{
    MsgWaitForMultipleObjects(0, nullptr, FALSE, MaxWaitMs, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

struct TWindowOwner {
    ~TWindowOwner()
    {
        if (HWND w = gWindow.exchange(nullptr))
            DestroyWindow(w);
    }
};

}  // namespace

void BackendInit()
{
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA existing;
    bool registered = false;
    if (GetClassInfoA(instance, kClassName, &existing)) {
        if (existing.lpfnWndProc == SyncWindowProc)
            registered = true;
        else
            UnregisterClassA(kClassName, instance);  // someone else's class of that name
    }
    if (!registered) {
        WNDCLASSA wc{};
        wc.lpfnWndProc = SyncWindowProc;
        wc.hInstance = instance;
        wc.lpszClassName = kClassName;
        RegisterClassA(&wc);
    }
    HWND w = CreateWindowExA(WS_EX_TOOLWINDOW, kClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance,
                             nullptr);
    if (!w) {
        // No desktop to put a window on (a service, a headless test run): a
        // message-only window receives the calls just as well.
        w = CreateWindowExA(WS_EX_TOOLWINDOW, kClassName, "", WS_POPUP, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance,
                            nullptr);
    }
    gWindow = w;
    static TWindowOwner owner;
    TMainThreadQueue::SetPlatformPump(PumpMessages);
}

bool BackendSend(int /*Index*/, uint32_t Id, uint32_t Timeout)
{
    HWND w = gWindow.load();
    if (!w)
        return false;
    DWORD_PTR result = 0;
    SendMessageTimeoutA(w, kSyncMessage, 0, static_cast<LPARAM>(Id), SMTO_BLOCK | SMTO_ABORTIFHUNG, Timeout, &result);
    return IsWindow(w) != 0;
}

void BackendCancel(int /*Index*/)
{
    // A message already sent cannot be taken back; its handler finds the
    // slot disabled and does nothing.
}

}  // namespace kelvo::afsync
