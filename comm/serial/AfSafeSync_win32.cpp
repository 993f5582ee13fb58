// Safe sync on Windows: calls travel as WM_USER + 1 to a hidden window that
// lives on the main thread. The sender waits on an event of its own call
// rather than inside SendMessage, so that disabling the slot (a port that
// closes) releases it at once, even when the main thread is the one closing
// and does not look at its messages until the event thread has ended.

#include <windows.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "AfSafeSync.h"
#include "uMainThreadQueue.h"

namespace kelvo::afsync {

namespace {

constexpr UINT kSyncMessage = WM_USER + 1;
const char* const kClassName = "AfSafeSyncObjWnd";
std::atomic<HWND> gWindow{nullptr};

// One call on its way to the main thread.
struct TCall {
    int Index = 0;
    HANDLE Done = nullptr;  // manual reset: the sender may go on
    ~TCall()
    {
        if (Done)
            CloseHandle(Done);
    }
};

// Calls whose senders still wait, by ticket (the message's wParam). A call
// that is no longer here (timed out, cancelled) is not run any more.
std::mutex gLock;
std::map<WPARAM, std::shared_ptr<TCall>> gCalls;
WPARAM gNextTicket = 1;

std::shared_ptr<TCall> Withdraw(WPARAM Ticket)
{
    std::lock_guard<std::mutex> g(gLock);
    auto it = gCalls.find(Ticket);
    if (it == gCalls.end())
        return nullptr;
    std::shared_ptr<TCall> call = std::move(it->second);
    gCalls.erase(it);
    return call;
}

LRESULT CALLBACK SyncWindowProc(HWND Wnd, UINT Msg, WPARAM W, LPARAM L)
{
    if (Msg == kSyncMessage) {
        std::shared_ptr<TCall> call;
        {
            std::lock_guard<std::mutex> g(gLock);
            auto it = gCalls.find(W);
            if (it != gCalls.end())
                call = it->second;
        }
        if (!call)
            return 0;  // its sender gave up
        Dispatch(static_cast<uint32_t>(L));  // unknown ids are ignored there
        SetEvent(call->Done);
        Withdraw(W);
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
        std::lock_guard<std::mutex> g(gLock);
        for (auto& [ticket, call] : gCalls)
            SetEvent(call->Done);
        gCalls.clear();
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

bool BackendSend(int Index, uint32_t Id, uint32_t Timeout)
{
    HWND w = gWindow.load();
    if (!w)
        return false;
    if (GetWindowThreadProcessId(w, nullptr) == GetCurrentThreadId()) {
        Dispatch(Id);  // on the main thread itself: at once
        return true;
    }
    auto call = std::make_shared<TCall>();
    call->Index = Index;
    call->Done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!call->Done)
        return false;
    WPARAM ticket;
    {
        std::lock_guard<std::mutex> g(gLock);
        ticket = gNextTicket++;
        gCalls[ticket] = call;
    }
    if (PostMessageA(w, kSyncMessage, ticket, static_cast<LPARAM>(Id)))
        WaitForSingleObject(call->Done, Timeout);
    // Not started by now: it never runs.
    Withdraw(ticket);
    return IsWindow(w) != 0;
}

void BackendCancel(int Index)
{
    // Waiting senders of the slot go on; calls not yet started never run,
    // and the sender of one that runs just now (the main thread closes the
    // port from inside it) stops waiting for its end.
    std::lock_guard<std::mutex> g(gLock);
    for (auto it = gCalls.begin(); it != gCalls.end();) {
        if (it->second->Index == Index) {
            SetEvent(it->second->Done);
            it = gCalls.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace kelvo::afsync
