#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "uByteString.h"
#include "uTerminalForwarder.h"

using namespace kelvo;

namespace {

// A Write of four bytes with zeros inside, as the channel's trace sends it.
const RawByteString SentFrame = Bytes({0x01, 0x2A, 0x00, 0xFE, 0x00, 0x0D});

}  // namespace

#ifndef _WIN32

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "ScopedEnvDir.h"

namespace {

namespace fs = std::filesystem;

// Points XDG_RUNTIME_DIR at a fresh folder for the life of the object.
// The user's runtime folder, fresh for one test.
struct TScopedRuntimeDir : kelvo::testing::TScopedEnvDir {
    TScopedRuntimeDir() : TScopedEnvDir("XDG_RUNTIME_DIR", "kelvo-fw") {}
};

// A bound datagram socket at the terminal's path, as the listener has.
class TTestListener {
public:
    TTestListener()
    {
        FFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = TerminalSocketPath();
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        Bound = ::bind(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~TTestListener() { Close(); }
    void Close()
    {
        if (FFd >= 0)
            ::close(FFd);
        FFd = -1;
    }
    // The next datagram, or nothing when none is waiting.
    std::optional<RawByteString> Next()
    {
        char buf[70000];
        ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
        if (n < 0)
            return std::nullopt;
        return RawByteString(buf, static_cast<size_t>(n));
    }
    bool Bound = false;

private:
    int FFd = -1;
};

}  // namespace

TEST(TerminalForwarder, SocketPathFollowsTheRuntimeDirectory)
{
    TScopedRuntimeDir runtime;
    EXPECT_EQ(TerminalSocketPath(), runtime.Dir.string() + "/TfMainVerdelTerm");
    ::setenv("XDG_RUNTIME_DIR", (runtime.Dir.string() + "/").c_str(), 1);
    EXPECT_EQ(TerminalSocketPath(), runtime.Dir.string() + "/TfMainVerdelTerm");
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(TerminalSocketPath(), "/tmp/TfMainVerdelTerm-" + std::to_string(::getuid()));
    ::setenv("XDG_RUNTIME_DIR", "", 1);
    EXPECT_EQ(TerminalSocketPath(), "/tmp/TfMainVerdelTerm-" + std::to_string(::getuid()));
}

TEST(TerminalForwarder, EachPayloadArrivesWholeAsOneDatagram)
{
    TScopedRuntimeDir runtime;
    TTestListener listener;
    ASSERT_TRUE(listener.Bound);

    RawByteString everyByte(1, '\x02');
    for (int i = 0; i < 256; ++i)
        everyByte.push_back(static_cast<char>(i));
    ForwardToTerminal(SentFrame);
    ForwardToTerminal(everyByte);
    ForwardToTerminal(RawByteString());  // nothing to deliver
    ForwardToTerminal(Bytes({0x01}));

    EXPECT_EQ(listener.Next(), SentFrame);
    EXPECT_EQ(listener.Next(), everyByte);
    EXPECT_EQ(listener.Next(), Bytes({0x01}));
    EXPECT_EQ(listener.Next(), std::nullopt);
}

TEST(TerminalForwarder, NoListenerOrAStuckOneIsSilentAndNeverBlocks)
{
    TScopedRuntimeDir runtime;
    const std::string path = TerminalSocketPath();
    EXPECT_NO_THROW(ForwardToTerminal(SentFrame));  // no socket file at all

    {
        TTestListener gone;  // leaves a socket file nobody reads
        ASSERT_TRUE(gone.Bound);
        gone.Close();
        EXPECT_NO_THROW(ForwardToTerminal(SentFrame));
    }
    fs::remove(path);

    // Something that is not a socket stays as it was.
    std::ofstream(path) << "keep";
    ForwardToTerminal(SentFrame);
    EXPECT_EQ(fs::file_size(path), 4u);
    fs::remove(path);

    // A listener that reads nothing: its queue fills up, the sender goes on.
    TTestListener stuck;
    ASSERT_TRUE(stuck.Bound);
    const RawByteString big(4000, '\x01');
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 2000; ++i)
        ForwardToTerminal(big);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(stuck.Next(), big);  // the first ones did arrive
}

#else  // _WIN32

#include <condition_variable>
#include <mutex>
#include <thread>

#include <windows.h>

namespace {

// A top-level window of the terminal's class on its own thread, recording
// what WM_COPYDATA brings.
class TTestTerminal {
public:
    TTestTerminal()
    {
        FThread = std::thread([this] { Run(); });
        std::unique_lock<std::mutex> lock(FMutex);
        FReady.wait(lock, [this] { return FStarted; });
    }
    ~TTestTerminal()
    {
        if (FWindow)
            ::PostMessageA(FWindow, WM_CLOSE, 0, 0);
        else
            ::PostThreadMessageA(FThreadId, WM_QUIT, 0, 0);
        FThread.join();
    }
    bool Created() const { return FWindow != nullptr; }
    std::vector<RawByteString> Received()
    {
        std::lock_guard<std::mutex> lock(FMutex);
        return FReceived;
    }
    std::vector<ULONG_PTR> Tags()
    {
        std::lock_guard<std::mutex> lock(FMutex);
        return FTags;
    }

private:
    static LRESULT CALLBACK WndProc(HWND w, UINT msg, WPARAM wp, LPARAM lp)
    {
        auto* self = reinterpret_cast<TTestTerminal*>(::GetWindowLongPtrA(w, GWLP_USERDATA));
        if (msg == WM_COPYDATA && self) {
            auto* cds = reinterpret_cast<COPYDATASTRUCT*>(lp);
            std::lock_guard<std::mutex> lock(self->FMutex);
            self->FReceived.emplace_back(static_cast<const char*>(cds->lpData), cds->cbData);
            self->FTags.push_back(cds->dwData);
            return TRUE;
        }
        if (msg == WM_DESTROY) {
            ::PostQuitMessage(0);
            return 0;
        }
        return ::DefWindowProcA(w, msg, wp, lp);
    }

    void Run()
    {
        WNDCLASSA wc{};
        wc.lpfnWndProc = WndProc;
        wc.hInstance = ::GetModuleHandleA(nullptr);
        wc.lpszClassName = TerminalWindowClass;
        ::RegisterClassA(&wc);
        HWND w = ::CreateWindowExA(0, TerminalWindowClass, "test terminal", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                                   nullptr, nullptr, wc.hInstance, nullptr);
        if (w)
            ::SetWindowLongPtrA(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        MSG m;
        ::PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);  // make the thread's queue
        {
            std::lock_guard<std::mutex> lock(FMutex);
            FWindow = w;
            FThreadId = ::GetCurrentThreadId();
            FStarted = true;
        }
        FReady.notify_all();
        while (::GetMessageA(&m, nullptr, 0, 0) > 0) {
            ::TranslateMessage(&m);
            ::DispatchMessageA(&m);
        }
        ::UnregisterClassA(TerminalWindowClass, wc.hInstance);
    }

    std::thread FThread;
    std::mutex FMutex;
    std::condition_variable FReady;
    bool FStarted = false;
    HWND FWindow = nullptr;
    DWORD FThreadId = 0;
    std::vector<RawByteString> FReceived;
    std::vector<ULONG_PTR> FTags;
};

}  // namespace

TEST(TerminalForwarder, NoTerminalWindowDoesNothing)
{
    EXPECT_EQ(TerminalSocketPath(), "");
    auto start = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(ForwardToTerminal(SentFrame));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(TerminalForwarder, TerminalWindowGetsEachPayloadByCopyData)
{
    TTestTerminal terminal;
    if (!terminal.Created())
        GTEST_SKIP() << "no window can be created here";
    ForwardToTerminal(SentFrame);
    ForwardToTerminal(RawByteString());
    ForwardToTerminal(Bytes({0x02, 0x00}));
    // SendMessage returns only once the window has handled the message.
    EXPECT_EQ(terminal.Received(), (std::vector<RawByteString>{SentFrame, Bytes({0x02, 0x00})}));
    EXPECT_EQ(terminal.Tags(), (std::vector<ULONG_PTR>{0, 0}));
}

#endif
