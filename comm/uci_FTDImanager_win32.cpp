// Plug events on Windows: WM_DEVICECHANGE at a hidden window of the
// manager, on the main thread. Ports are broadcast to every top-level
// window; USB devices of the D2XX interface class are registered for.
#include <windows.h>
#include <dbt.h>

#include <exception>

#include "uMainThreadQueue.h"
#include "uMessageSink.h"
#include "uci_FTDImanager.h"
#include "uci_FTDImanager_os.h"

namespace kelvo::ftdimanager {

namespace {

const char* const kClassName = "TFTDIManagerWindow";

// The device interface class of the D2XX driver.
constexpr GUID kD2XXClass{0x219D0508, 0x57A8, 0x4FF5, {0x97, 0xA1, 0xBD, 0x86, 0x58, 0x7C, 0x6C, 0x7E}};

void DeviceChange(TFTDIManager& Manager, WPARAM Event, LPARAM Record)
{
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(Record);
    if (!header)
        return;
    std::string name;
    switch (header->dbch_devicetype) {
    case DBT_DEVTYP_PORT:
        name = reinterpret_cast<const DEV_BROADCAST_PORT_A*>(header)->dbcp_name;
        break;
    case DBT_DEVTYP_DEVICEINTERFACE: {
        const auto* record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(header);
        if (!IsEqualGUID(record->dbcc_classguid, kD2XXClass))
            return;
        name = DevicePathSerialNumber(record->dbcc_name);
        break;
    }
    default:
        return;
    }
    if (Event == DBT_DEVICEARRIVAL)
        Manager.Arrival(name);
    else if (Event == DBT_DEVICEREMOVECOMPLETE)
        Manager.Removal(name);
}

LRESULT CALLBACK ManagerWindowProc(HWND Wnd, UINT Msg, WPARAM W, LPARAM L)
{
    if (Msg == WM_DEVICECHANGE) {
        if (auto* manager = reinterpret_cast<TFTDIManager*>(GetWindowLongPtrA(Wnd, GWLP_USERDATA))) {
            try {
                DeviceChange(*manager, W, L);
            } catch (const std::exception& e) {
                ShowMessage(e.what());
            } catch (...) {
                ShowMessage("Unknown exception");
            }
        }
        return TRUE;
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

class TWin32PlugWatch : public TPlugWatch {
public:
    explicit TWin32PlugWatch(TFTDIManager& Manager)
    {
        HINSTANCE instance = GetModuleHandleA(nullptr);
        WNDCLASSA wc{};
        if (!GetClassInfoA(instance, kClassName, &wc)) {
            wc = WNDCLASSA{};
            wc.lpfnWndProc = ManagerWindowProc;
            wc.hInstance = instance;
            wc.lpszClassName = kClassName;
            RegisterClassA(&wc);
        }
        // A hidden top-level window: port broadcasts reach only those.
        FWindow = CreateWindowExA(WS_EX_TOOLWINDOW, kClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  instance, nullptr);
        if (!FWindow)
            FWindow = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
        if (!FWindow)
            return;
        SetWindowLongPtrA(FWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&Manager));
        DEV_BROADCAST_DEVICEINTERFACE_A filter{};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = kD2XXClass;
        // A failure leaves USB events unreported; port broadcasts still come.
        FNotification = RegisterDeviceNotificationA(FWindow, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        TMainThreadQueue::SetPlatformPump(PumpMessages);
    }

    ~TWin32PlugWatch() override
    {
        if (FWindow) {
            SetWindowLongPtrA(FWindow, GWLP_USERDATA, 0);
            DestroyWindow(FWindow);
        }
        if (FNotification && UnregisterDeviceNotification(FNotification))
            FNotification = nullptr;
    }

    bool Deliver(uintptr_t Event, const void* Record) override
    {
        if (!FWindow)
            return false;
        SendMessageA(FWindow, WM_DEVICECHANGE, static_cast<WPARAM>(Event), reinterpret_cast<LPARAM>(Record));
        return true;
    }

private:
    HWND FWindow = nullptr;
    HDEVNOTIFY FNotification = nullptr;
};

}  // namespace

std::unique_ptr<TPlugWatch> StartPlugWatch(TFTDIManager& Manager)
{
    return std::make_unique<TWin32PlugWatch>(Manager);
}

}  // namespace kelvo::ftdimanager
