// The port core on Windows: the Win32 communications API with overlapped
// I/O on "\\.\COM<n>", events for the waits.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "AfComPortBackend.h"

namespace kelvo::afcore {

static_assert(sizeof(DCB) == sizeof(TAfDCB), "TAfDCB must match the system's DCB");

namespace {
HANDLE H(intptr_t v) { return reinterpret_cast<HANDLE>(v); }
}  // namespace

// ---------------------------------------------------------------------------
// Events

TAfSignal::TAfSignal(bool ManualReset) : FManual(ManualReset)
{
    FNative = reinterpret_cast<intptr_t>(CreateEventA(nullptr, ManualReset ? TRUE : FALSE, FALSE, nullptr));
}

TAfSignal::~TAfSignal()
{
    if (FNative)
        ::CloseHandle(H(FNative));
}

bool TAfSignal::Valid() const { return FNative != 0; }
void TAfSignal::Set() { SetEvent(H(FNative)); }
void TAfSignal::Reset() { ResetEvent(H(FNative)); }

bool TAfSignal::TryConsume()
{
    return WaitForSingleObject(H(FNative), 0) == WAIT_OBJECT_0;
}

bool TAfSignal::WaitFor(uint32_t Ms)
{
    return WaitForSingleObject(H(FNative), Ms == kInfinite ? INFINITE : Ms) == WAIT_OBJECT_0;
}

int WaitAny(TAfSignal* const* Signals, int Count, uint32_t Ms)
{
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    for (int i = 0; i < Count && i < MAXIMUM_WAIT_OBJECTS; ++i)
        handles[i] = H(Signals[i]->Native());
    const DWORD r = WaitForMultipleObjects(static_cast<DWORD>(Count), handles, FALSE, Ms == kInfinite ? INFINITE : Ms);
    if (r >= WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + static_cast<DWORD>(Count))
        return static_cast<int>(r - WAIT_OBJECT_0);
    return -1;
}

// ---------------------------------------------------------------------------
// Threads

namespace {

constexpr DWORD kThreadNameException = 0x406D1388;

#pragma pack(push, 8)
struct TThreadNameInfo {
    DWORD dwType;      // 0x1000
    LPCSTR szName;
    DWORD dwThreadID;  // -1: the calling thread
    DWORD dwFlags;
};
#pragma pack(pop)

// A debugger sees the naming exception first and takes the name from it;
// without one, this handler lets the thread go on (there is no __try here).
LONG CALLBACK SkipThreadName(PEXCEPTION_POINTERS Info)
{
    if (Info->ExceptionRecord->ExceptionCode == kThreadNameException)
        return EXCEPTION_CONTINUE_EXECUTION;
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void NameCurrentThread(const char* FullName, const char* /*ShortName*/)
{
    static PVOID handler = AddVectoredExceptionHandler(1, SkipThreadName);
    (void)handler;
    TThreadNameInfo info{0x1000, FullName, static_cast<DWORD>(-1), 0};
    RaiseException(kThreadNameException, 0, sizeof info / sizeof(ULONG_PTR), reinterpret_cast<ULONG_PTR*>(&info));

    // Newer systems keep a description that tools show without a debugger.
    using TSetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static auto setDescription = reinterpret_cast<TSetDescription>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetThreadDescription")));
    if (setDescription) {
        wchar_t wide[128];
        MultiByteToWideChar(CP_ACP, 0, FullName, -1, wide, 128);
        setDescription(GetCurrentThread(), wide);
    }
}

intptr_t CurrentThreadToken()
{
    return static_cast<intptr_t>(GetCurrentThreadId());
}

void SetThreadPriorityOf(intptr_t Token, TThreadPriority Priority)
{
    static const int map[] = {THREAD_PRIORITY_IDLE,    THREAD_PRIORITY_LOWEST,  THREAD_PRIORITY_BELOW_NORMAL,
                              THREAD_PRIORITY_NORMAL,  THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                              THREAD_PRIORITY_TIME_CRITICAL};
    HANDLE t = OpenThread(THREAD_SET_INFORMATION | THREAD_QUERY_INFORMATION, FALSE, static_cast<DWORD>(Token));
    if (!t)
        return;
    ::SetThreadPriority(t, map[Priority]);
    ::CloseHandle(t);
}

// ---------------------------------------------------------------------------
// The port

namespace {

class TWinPort final : public TAfPortBackend {
public:
    TWinPort()
    {
        FOvWait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        FOvRead.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        FOvWrite.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~TWinPort() override
    {
        CloseHandle();
        ::CloseHandle(FOvWait.hEvent);
        ::CloseHandle(FOvRead.hEvent);
        ::CloseHandle(FOvWrite.hEvent);
    }

    TAfOpenResult Open(int Number) override
    {
        if (!FOvWait.hEvent || !FOvRead.hEvent || !FOvWrite.hEvent)
            return TAfOpenResult::Failed;  // no completion could be waited for
        const std::string name = AfComPortDeviceName(Number);
        FH = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
        if (FH == INVALID_HANDLE_VALUE)
            return GetLastError() == ERROR_FILE_NOT_FOUND ? TAfOpenResult::NotFound : TAfOpenResult::Failed;
        return TAfOpenResult::Ok;
    }

    bool SetTimeouts() override
    {
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = MAXDWORD;  // reads return at once with what arrived
        return SetCommTimeouts(FH, &t) != 0;
    }

    bool Setup(uint32_t InBufSize, uint32_t OutBufSize) override { return SetupComm(FH, InBufSize, OutBufSize) != 0; }
    bool SetMask(uint32_t Mask) override { return SetCommMask(FH, Mask) != 0; }

    bool SetState(const TAfDCB& Dcb) override
    {
        DCB d;
        std::memcpy(&d, &Dcb, sizeof d);
        return SetCommState(FH, &d) != 0;
    }

    bool GetState(TAfDCB& Dcb) override
    {
        DCB d;
        std::memset(&d, 0, sizeof d);
        d.DCBlength = sizeof d;
        if (!GetCommState(FH, &d))
            return false;
        std::memcpy(static_cast<void*>(&Dcb), &d, sizeof d);
        return true;
    }

    void CloseHandle() override
    {
        if (FH == INVALID_HANDLE_VALUE)
            return;
        // Nothing may still write into our OVERLAPPED records once we go.
        CancelIoEx(FH, nullptr);
        DWORD n;
        if (FLinePending)
            GetOverlappedResult(FH, &FOvWait, &n, TRUE);
        if (FWritePending)
            GetOverlappedResult(FH, &FOvWrite, &n, TRUE);
        FLinePending = FWritePending = false;
        ::CloseHandle(FH);
        FH = INVALID_HANDLE_VALUE;
    }

    intptr_t NativeHandle() const override { return reinterpret_cast<intptr_t>(FH); }

    bool Purge(uint32_t Flags) override { return PurgeComm(FH, Flags) != 0; }

    bool ClearError(uint32_t& Errors, TAfComStat& Status) override
    {
        DWORD e = 0;
        COMSTAT cs;
        std::memset(&cs, 0, sizeof cs);
        if (!ClearCommError(FH, &e, &cs))
            return false;
        Errors = e;
        DWORD bits;
        std::memcpy(&bits, &cs, sizeof bits);  // the flag bit fields come first
        Status.Flags = bits;
        Status.cbInQue = cs.cbInQue;
        Status.cbOutQue = cs.cbOutQue;
        return true;
    }

    int32_t Read(void* Buffer, uint32_t Count) override
    {
        DWORD got = 0;
        if (!ReadFile(FH, Buffer, Count, &got, &FOvRead)) {
            if (GetLastError() != ERROR_IO_PENDING)
                return -1;
            if (!GetOverlappedResult(FH, &FOvRead, &got, TRUE)) {
                ResetEvent(FOvRead.hEvent);
                return -1;
            }
        }
        ResetEvent(FOvRead.hEvent);
        return static_cast<int32_t>(got);
    }

    bool Escape(uint32_t Code) override { return EscapeCommFunction(FH, Code) != 0; }

    uint32_t ModemStatus() override
    {
        DWORD s = 0;
        return GetCommModemStatus(FH, &s) ? s : 0;
    }

    TAfIo LineWaitStart(uint32_t& Mask) override
    {
        FWaitMask = 0;
        if (WaitCommEvent(FH, &FWaitMask, &FOvWait)) {
            ResetEvent(FOvWait.hEvent);
            Mask = FWaitMask;
            return TAfIo::Done;
        }
        if (GetLastError() == ERROR_IO_PENDING) {
            FLinePending = true;
            return TAfIo::Pending;
        }
        return TAfIo::Failed;
    }

    TAfEventWait EventWait(TAfSignal& Stop, TAfSignal& OutEmpty, bool /*LinePending*/, uint32_t Ms) override
    {
        HANDLE set[3] = {H(Stop.Native()), FOvWait.hEvent, H(OutEmpty.Native())};
        switch (WaitForMultipleObjects(3, set, FALSE, Ms)) {
        case WAIT_OBJECT_0: return TAfEventWait::Stop;
        case WAIT_OBJECT_0 + 1: return TAfEventWait::Line;
        case WAIT_OBJECT_0 + 2: return TAfEventWait::OutEmpty;
        case WAIT_TIMEOUT: return TAfEventWait::Timeout;
        default:
            Sleep(Ms);  // a failing wait must not turn into a busy loop
            return TAfEventWait::Timeout;
        }
    }

    bool LineWaitResult(uint32_t& Mask) override
    {
        DWORD n = 0;
        const BOOL ok = GetOverlappedResult(FH, &FOvWait, &n, FALSE);
        if (ok || GetLastError() != ERROR_IO_INCOMPLETE)
            FLinePending = false;
        ResetEvent(FOvWait.hEvent);
        Mask = FWaitMask;
        return ok != 0;
    }

    TAfIo WriteStart(const void* Buffer, uint32_t Count, uint32_t& Written) override
    {
        DWORD w = 0;
        Written = 0;
        if (WriteFile(FH, Buffer, Count, &w, &FOvWrite)) {
            ResetEvent(FOvWrite.hEvent);
            Written = w;
            return TAfIo::Done;
        }
        if (GetLastError() == ERROR_IO_PENDING) {
            FWritePending = true;
            return TAfIo::Pending;
        }
        return TAfIo::Failed;
    }

    TAfWriteWait WriteWait(TAfSignal& Stop, TAfSignal& Flush) override
    {
        HANDLE set[3] = {H(Stop.Native()), H(Flush.Native()), FOvWrite.hEvent};
        switch (WaitForMultipleObjects(3, set, FALSE, INFINITE)) {
        case WAIT_OBJECT_0: return TAfWriteWait::Stop;
        case WAIT_OBJECT_0 + 1: return TAfWriteWait::Flush;
        default: return TAfWriteWait::Done;
        }
    }

    TAfIo WriteResult(uint32_t& Written) override
    {
        DWORD w = 0;
        const BOOL ok = GetOverlappedResult(FH, &FOvWrite, &w, TRUE);
        ResetEvent(FOvWrite.hEvent);
        FWritePending = false;
        Written = w;
        return ok ? TAfIo::Done : TAfIo::Failed;
    }

    void WriteAbandon() override
    {
        if (!FWritePending)
            return;
        CancelIoEx(FH, &FOvWrite);
        DWORD w;
        GetOverlappedResult(FH, &FOvWrite, &w, TRUE);
        ResetEvent(FOvWrite.hEvent);
        FWritePending = false;
    }

private:
    HANDLE FH = INVALID_HANDLE_VALUE;
    OVERLAPPED FOvWait{};
    OVERLAPPED FOvRead{};
    OVERLAPPED FOvWrite{};
    DWORD FWaitMask = 0;
    bool FLinePending = false;
    bool FWritePending = false;
};

}  // namespace

std::unique_ptr<TAfPortBackend> CreateSystemPortBackend()
{
    return std::make_unique<TWinPort>();
}

}  // namespace kelvo::afcore

namespace kelvo {

std::string AfComPortDeviceName(int Number)
{
    if (Number <= 0)
        return {};
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", Number);
    return name;
}

TAfPortPresence AfProbeComPort(int Number, TAfOpenError* Why)
{
    if (Why)
        *Why = TAfOpenError{ofNotFound, 0};
    if (Number <= 0)
        return ppNotFound;
    const std::string name = AfComPortDeviceName(Number);
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        if (Why)
            *Why = TAfOpenError{};
        return ppAvailable;
    }
    const DWORD err = GetLastError();
    if (Why) {
        // A COM port that another program holds answers "access denied".
        const TAfOpenFailure reason = err == ERROR_FILE_NOT_FOUND ? ofNotFound
                                      : err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION ? ofInUse
                                                                                                      : ofOther;
        *Why = TAfOpenError{reason, static_cast<int>(err)};
    }
    return err == ERROR_FILE_NOT_FOUND ? ppNotFound : ppUnavailable;
}

}  // namespace kelvo
