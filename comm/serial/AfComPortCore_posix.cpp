// The port core on POSIX (Linux): termios on the device node that the COM
// number maps to, poll() where Windows waits, eventfds for the events.
//
// A Windows driver keeps a receive queue and raises EV_RXCHAR when bytes
// arrive; here the backend keeps that queue itself. Whoever looks first (the
// event thread when poll() reports input, or a read/status query of the
// owner) moves what the kernel holds into it, so "bytes arrived" is an edge,
// not a level that would wake the event thread again and again.

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "AfComPortBackend.h"

namespace kelvo::afcore {

bool SetCustomBaudRate(int Fd, uint32_t Rate);  // AfComPortSpeed_posix.cpp

namespace {

using Clock = std::chrono::steady_clock;

int Fd(intptr_t v) { return static_cast<int>(v); }

// Milliseconds left until Deadline, for poll(); -1 for "no limit".
int LeftMs(bool Infinite, Clock::time_point Deadline)
{
    if (Infinite)
        return -1;
    // Rounded up: a deadline less than a millisecond away must not turn
    // into a string of poll(0) calls.
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Deadline - Clock::now()).count();
    return us <= 0 ? 0 : static_cast<int>((us + 999) / 1000);
}

int PollRetry(pollfd* Fds, nfds_t N, int Ms)
{
    for (;;) {
        int r = ::poll(Fds, N, Ms);
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

}  // namespace

// A byte received with a framing or parity error comes from the tty marked
// (PARMRK) as 0xFF 0x00 X, and a 0xFF received as such is doubled. Undoes
// both in place, so that every byte arrives as it was received, as on
// Windows; Marked is set when an error mark was found. State carries a mark
// cut in two by the end of a read (0 none, 1 after 0xFF, 2 after 0xFF 0x00).
size_t UnmarkErrors(int& State, char* Data, size_t Count, bool& Marked)
{
    size_t out = 0;
    for (size_t i = 0; i < Count; ++i) {
        const char c = Data[i];
        switch (State) {
        case 1:
            if (c == '\0') {
                State = 2;
                continue;
            }
            State = 0;
            Data[out++] = '\xff';
            if (c != '\xff')
                Data[out++] = c;  // not a mark after all
            continue;
        case 2:
            State = 0;
            Marked = true;
            Data[out++] = c;
            continue;
        default:
            if (c == '\xff') {
                State = 1;
                continue;
            }
            Data[out++] = c;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// Events

TAfSignal::TAfSignal(bool ManualReset) : FManual(ManualReset)
{
    FNative = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

TAfSignal::~TAfSignal()
{
    if (FNative >= 0)
        ::close(Fd(FNative));
}

bool TAfSignal::Valid() const
{
    return FNative >= 0;
}

void TAfSignal::Set()
{
    const uint64_t one = 1;
    ssize_t r;
    do {
        r = ::write(Fd(FNative), &one, sizeof one);
    } while (r < 0 && errno == EINTR);
}

void TAfSignal::Reset()
{
    uint64_t v;
    ssize_t r;
    do {
        r = ::read(Fd(FNative), &v, sizeof v);
    } while (r < 0 && errno == EINTR);
}

bool TAfSignal::TryConsume()
{
    if (FManual) {
        pollfd p{Fd(FNative), POLLIN, 0};
        return PollRetry(&p, 1, 0) > 0 && (p.revents & POLLIN);
    }
    uint64_t v;
    ssize_t r;
    do {
        r = ::read(Fd(FNative), &v, sizeof v);
    } while (r < 0 && errno == EINTR);
    return r == sizeof v;
}

bool TAfSignal::WaitFor(uint32_t Ms)
{
    TAfSignal* self = this;
    return WaitAny(&self, 1, Ms) == 0;
}

int WaitAny(TAfSignal* const* Signals, int Count, uint32_t Ms)
{
    const bool infinite = Ms == kInfinite;
    const auto deadline = Clock::now() + std::chrono::milliseconds(infinite ? 0 : Ms);
    std::vector<pollfd> fds(static_cast<size_t>(Count));
    for (;;) {
        for (int i = 0; i < Count; ++i)
            fds[static_cast<size_t>(i)] = pollfd{Fd(Signals[i]->Native()), POLLIN, 0};
        const int r = PollRetry(fds.data(), static_cast<nfds_t>(Count), LeftMs(infinite, deadline));
        if (r > 0) {
            for (int i = 0; i < Count; ++i) {
                if ((fds[static_cast<size_t>(i)].revents & POLLIN) && Signals[i]->TryConsume())
                    return i;
            }
            // Another waiter took an auto-reset signal first: wait on.
        }
        if (r < 0 || (!infinite && Clock::now() >= deadline))
            return -1;
    }
}

// ---------------------------------------------------------------------------
// Threads

void NameCurrentThread(const char* /*FullName*/, const char* ShortName)
{
    // Linux keeps 15 characters of a thread name.
    char name[16];
    std::snprintf(name, sizeof name, "%s", ShortName);
    pthread_setname_np(pthread_self(), name);
}

intptr_t CurrentThreadToken()
{
    return static_cast<intptr_t>(::syscall(SYS_gettid));
}

void SetThreadPriorityOf(intptr_t Token, TThreadPriority Priority)
{
    static const int nice[] = {19, 10, 5, 0, -5, -10, -20};
    // Raising a thread above normal needs privileges; without them the
    // thread simply keeps its priority.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(Token), nice[Priority]);
}

// ---------------------------------------------------------------------------
// Helpers of the port

namespace {

bool IsMissing(int Err)
{
    // ENXIO/EIO/ENODEV: a legacy node without hardware behind it.
    return Err == ENOENT || Err == ENOTDIR || Err == ENXIO || Err == ENODEV || Err == EIO;
}

TAfOpenFailure OpenFailureOf(int Err)
{
    if (IsMissing(Err))
        return ofNotFound;
    if (Err == EACCES || Err == EPERM)
        return ofAccessDenied;
    if (Err == EBUSY)
        return ofInUse;  // another opener set TIOCEXCL
    return ofOther;
}

speed_t StandardSpeed(uint32_t Rate)
{
    switch (Rate) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B0;
    }
}

// ---------------------------------------------------------------------------
// The port

class TPosixPort final : public TAfPortBackend {
public:
    TPosixPort() : FWake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~TPosixPort() override
    {
        CloseHandle();
        if (FWake >= 0)
            ::close(FWake);
    }

    TAfOpenResult Open(int Number) override
    {
        const std::string path = AfComPortDeviceName(Number);
        FOpenError = TAfOpenError{ofNotFound, 0};
        if (path.empty())
            return TAfOpenResult::NotFound;
        FOpenError = TAfOpenError{ofOther, 0};
        if (FWake < 0)
            return TAfOpenResult::Failed;  // closing could not wake the event thread
        int fd;
        do {
            fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            const int err = errno;
            FOpenError = TAfOpenError{OpenFailureOf(err), err};
            return IsMissing(err) ? TAfOpenResult::NotFound : TAfOpenResult::Failed;
        }
        auto fail = [&](TAfOpenFailure Reason, int Err, TAfOpenResult Result) {
            ::close(fd);
            FOpenError = TAfOpenError{Reason, Err};
            return Result;
        };
        if (!::isatty(fd))
            return fail(ofNotSerial, ENOTTY, TAfOpenResult::Failed);
        struct serial_struct ss;
        std::memset(&ss, 0, sizeof ss);
        if (::ioctl(fd, TIOCGSERIAL, &ss) == 0 && ss.type == PORT_UNKNOWN)
            return fail(ofNotFound, ENXIO, TAfOpenResult::NotFound);
        // No sharing: a port another program (or another port object) holds
        // is "in use". The lock catches those that TIOCEXCL lets through
        // (a privileged opener).
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            return fail(err == EWOULDBLOCK ? ofInUse : ofOther, err, TAfOpenResult::Failed);
        }
        if (::ioctl(fd, TIOCEXCL) != 0)
            return fail(ofOther, errno, TAfOpenResult::Failed);
        FOpenError = TAfOpenError{};
        FFd = fd;
        int bits;
        FModemLines = ::ioctl(fd, TIOCMGET, &bits) == 0;
        FLastModem = FModemLines ? bits : 0;
        std::memset(&FLastCount, 0, sizeof FLastCount);
        FCounters = ::ioctl(fd, TIOCGICOUNT, &FLastCount) == 0;
        return TAfOpenResult::Ok;
    }

    // Why the last Open failed.
    const TAfOpenError& OpenError() const { return FOpenError; }

    bool SetTimeouts() override { return FFd >= 0; }

    bool Setup(uint32_t InBufSize, uint32_t /*OutBufSize*/) override
    {
        std::lock_guard<std::mutex> g(FLock);
        FRxLimit = InBufSize > 0 ? InBufSize : 4096;
        return true;
    }

    bool SetMask(uint32_t Mask) override
    {
        {
            std::lock_guard<std::mutex> g(FLock);
            FMask = Mask;
            FLineMask &= Mask;
            if (Mask != 0)
                return true;
            FMaskChanged = true;
        }
        const uint64_t one = 1;
        return ::write(FWake, &one, sizeof one) == sizeof one;
    }

    bool SetState(const TAfDCB& Dcb) override
    {
        if (FFd < 0 || Dcb.BaudRate == 0 || Dcb.ByteSize < 5 || Dcb.ByteSize > 8 || Dcb.Parity > 4 || Dcb.StopBits > 2)
            return false;
        struct termios t;
        if (::tcgetattr(FFd, &t) != 0)
            return false;
        // Bytes with a framing or parity error are kept (marked, and the
        // marks undone when read) instead of dropped (IGNPAR): Windows
        // delivers them too and only reports the error.
        t.c_iflag = IGNBRK | PARMRK;
        if (Dcb.Flags & AfDcbParity)
            t.c_iflag |= INPCK;
        if (Dcb.Flags & AfDcbOutX)
            t.c_iflag |= IXON;
        if (Dcb.Flags & AfDcbInX)
            t.c_iflag |= IXOFF;
        t.c_oflag = 0;
        t.c_lflag = 0;
        t.c_cflag = CREAD | CLOCAL;
        static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
        t.c_cflag |= sizes[Dcb.ByteSize - 5];
        switch (Dcb.Parity) {
        case 1: t.c_cflag |= PARENB | PARODD; break;
        case 2: t.c_cflag |= PARENB; break;
        case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
        case 4: t.c_cflag |= PARENB | CMSPAR; break;
        default: break;
        }
        if (Dcb.StopBits != 0)
            t.c_cflag |= CSTOPB;  // 1.5 stop bits exist only as "more than one"
        if ((Dcb.Flags & AfDcbOutxCtsFlow) || (Dcb.Flags & AfDcbRtsControlMask) == AfDcbRtsControlHandshake)
            t.c_cflag |= CRTSCTS;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        t.c_cc[VSTART] = static_cast<cc_t>(Dcb.XonChar);
        t.c_cc[VSTOP] = static_cast<cc_t>(Dcb.XoffChar);
        const speed_t standard = StandardSpeed(Dcb.BaudRate);
        cfsetispeed(&t, standard != B0 ? standard : B38400);
        cfsetospeed(&t, standard != B0 ? standard : B38400);
        if (::tcsetattr(FFd, TCSANOW, &t) != 0)
            return false;
        if (standard == B0 && !SetCustomBaudRate(FFd, Dcb.BaudRate))
            return false;

        // The lines follow the DCB's control modes, as SetCommState does. A
        // pseudo-terminal has no modem lines: that is not a failure.
        const uint32_t dtr = Dcb.Flags & AfDcbDtrControlMask;
        if (dtr != AfDcbDtrControlHandshake)
            SetLine(TIOCM_DTR, dtr == AfDcbDtrControlEnable);
        const uint32_t rts = Dcb.Flags & AfDcbRtsControlMask;
        if (rts != AfDcbRtsControlHandshake)
            SetLine(TIOCM_RTS, rts == AfDcbRtsControlEnable);
        std::lock_guard<std::mutex> g(FLock);
        FState = Dcb;
        FHasState = true;
        FParityCheck = (Dcb.Flags & AfDcbParity) != 0;
        return true;
    }

    bool GetState(TAfDCB& Dcb) override
    {
        if (!FHasState)
            return false;
        Dcb = FState;
        return true;
    }

    void CloseHandle() override
    {
        if (FFd < 0)
            return;
        ::ioctl(FFd, TIOCNXCL);
        ::close(FFd);
        FFd = -1;
    }

    intptr_t NativeHandle() const override { return FFd; }

    bool Purge(uint32_t Flags) override
    {
        bool ok = FFd >= 0;
        if (Flags & AfPurgeRxClear) {
            {
                std::lock_guard<std::mutex> g(FLock);
                FRx.clear();
                FRxHead = 0;
            }
            ok = ::tcflush(FFd, TCIFLUSH) == 0 && ok;
        }
        if (Flags & (AfPurgeTxClear | AfPurgeTxAbort))
            ok = ::tcflush(FFd, TCOFLUSH) == 0 && ok;
        return ok;
    }

    bool ClearError(uint32_t& Errors, TAfComStat& Status) override
    {
        Pull();
        std::lock_guard<std::mutex> g(FLock);
        Errors = FErrors;
        FErrors = 0;
        Status = TAfComStat{};
        Status.cbInQue = static_cast<uint32_t>(FRx.size() - FRxHead);
        int out = 0;
        if (FFd >= 0 && ::ioctl(FFd, TIOCOUTQ, &out) == 0 && out > 0)
            Status.cbOutQue = static_cast<uint32_t>(out);
        return true;
    }

    int32_t Read(void* Buffer, uint32_t Count) override
    {
        Pull();
        std::lock_guard<std::mutex> g(FLock);
        if (FReadFailed) {
            FReadFailed = false;
            return -1;
        }
        const size_t have = FRx.size() - FRxHead;
        const size_t n = Count < have ? Count : have;
        if (n > 0)
            std::memcpy(Buffer, FRx.data() + FRxHead, n);
        FRxHead += n;
        if (FRxHead == FRx.size()) {
            FRx.clear();
            FRxHead = 0;
        }
        return static_cast<int32_t>(n);
    }

    bool Escape(uint32_t Code) override
    {
        if (FFd < 0)
            return false;
        switch (Code) {
        case AfSetDtr: return SetLine(TIOCM_DTR, true);
        case AfClrDtr: return SetLine(TIOCM_DTR, false);
        case AfSetRts: return SetLine(TIOCM_RTS, true);
        case AfClrRts: return SetLine(TIOCM_RTS, false);
        case AfSetBreak: return ::ioctl(FFd, TIOCSBRK) == 0;
        case AfClrBreak: return ::ioctl(FFd, TIOCCBRK) == 0;
        case AfSetXOff: return ::tcflow(FFd, TCOOFF) == 0;
        case AfSetXOn: return ::tcflow(FFd, TCOON) == 0;
        default: return false;
        }
    }

    uint32_t ModemStatus() override
    {
        int bits = 0;
        if (FFd < 0 || ::ioctl(FFd, TIOCMGET, &bits) != 0)
            return 0;  // no modem lines (a pseudo-terminal): all off
        return ModemBits(bits);
    }

    TAfIo LineWaitStart(uint32_t& /*Mask*/) override
    {
        std::lock_guard<std::mutex> g(FLock);
        return FDead ? TAfIo::Failed : TAfIo::Pending;
    }

    TAfEventWait EventWait(TAfSignal& Stop, TAfSignal& OutEmpty, bool LinePending, uint32_t Ms) override
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(Ms);
        for (;;) {
            bool watchPort;
            bool polled;
            {
                std::lock_guard<std::mutex> g(FLock);
                if (LinePending && (FMaskChanged || FLineMask != 0 || FDeadUnreported))
                    return TAfEventWait::Line;
                watchPort = LinePending && !FDead && FFd >= 0;
                polled = watchPort && (FModemLines || FCounters);
            }
            if (polled && CheckLines())
                return TAfEventWait::Line;

            pollfd fds[4] = {
                {Fd(Stop.Native()), POLLIN, 0},
                {Fd(OutEmpty.Native()), POLLIN, 0},
                {FWake, POLLIN, 0},
                {FFd, POLLIN, 0},
            };
            int left = LeftMs(false, deadline);
            // Modem lines and error counters have no poll() event: look at
            // them every 50 ms while a line wait is pending.
            if (polled && left > 50)
                left = 50;
            const int r = PollRetry(fds, watchPort ? 4 : 3, left);
            if (r > 0) {
                if (fds[0].revents & POLLIN)
                    return TAfEventWait::Stop;
                if ((fds[2].revents & POLLIN)) {
                    uint64_t v;
                    (void)!::read(FWake, &v, sizeof v);
                    std::lock_guard<std::mutex> g(FLock);
                    if (LinePending && FMaskChanged)
                        return TAfEventWait::Line;
                }
                if ((fds[1].revents & POLLIN) && OutEmpty.TryConsume())
                    return TAfEventWait::OutEmpty;
                if (watchPort && fds[3].revents) {
                    const bool hangup = fds[3].revents & (POLLHUP | POLLERR | POLLNVAL);
                    const size_t got = Pull();
                    std::lock_guard<std::mutex> g(FLock);
                    if (got > 0 && (FMask & AfEvRxChar))
                        FLineMask |= AfEvRxChar;
                    if (hangup && !FDead)
                        MarkDead();
                    if (FLineMask != 0 || FDeadUnreported)
                        return TAfEventWait::Line;
                }
            }
            if (r < 0 || Clock::now() >= deadline)
                return TAfEventWait::Timeout;
        }
    }

    bool LineWaitResult(uint32_t& Mask) override
    {
        std::lock_guard<std::mutex> g(FLock);
        Mask = 0;
        if (FMaskChanged) {
            // The mask was taken away (closing): complete with mask 0.
            FMaskChanged = false;
            FLineMask = 0;
            return true;
        }
        if (FLineMask != 0) {
            Mask = FLineMask;
            FLineMask = 0;
            return true;
        }
        if (FDeadUnreported) {
            FDeadUnreported = false;
            return false;
        }
        return !FDead;
    }

    TAfIo WriteStart(const void* Buffer, uint32_t Count, uint32_t& Written) override
    {
        FPendingBuf = Buffer;
        FPendingCount = Count;
        return WriteNow(Written);
    }

    TAfWriteWait WriteWait(TAfSignal& Stop, TAfSignal& Flush) override
    {
        for (;;) {
            pollfd fds[3] = {
                {Fd(Stop.Native()), POLLIN, 0},
                {Fd(Flush.Native()), POLLIN, 0},
                {FFd, POLLOUT, 0},
            };
            const int r = PollRetry(fds, 3, -1);
            if (r < 0)
                return TAfWriteWait::Done;  // the write then reports the failure
            if (fds[0].revents & POLLIN)
                return TAfWriteWait::Stop;
            if ((fds[1].revents & POLLIN) && Flush.TryConsume())
                return TAfWriteWait::Flush;
            if (fds[2].revents)
                return TAfWriteWait::Done;
        }
    }

    TAfIo WriteResult(uint32_t& Written) override { return WriteNow(Written); }

    void WriteAbandon() override
    {
        FPendingBuf = nullptr;
        FPendingCount = 0;
    }

private:
    TAfIo WriteNow(uint32_t& Written)
    {
        Written = 0;
        ssize_t n;
        do {
            n = ::write(FFd, FPendingBuf, FPendingCount);
        } while (n < 0 && errno == EINTR);
        if (n > 0) {
            Written = static_cast<uint32_t>(n);
            return TAfIo::Done;
        }
        if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
            return TAfIo::Pending;
        return TAfIo::Failed;
    }

    bool SetLine(int Line, bool On)
    {
        int bits = Line;
        if (::ioctl(FFd, On ? TIOCMBIS : TIOCMBIC, &bits) == 0)
            return true;
        return errno == EINVAL || errno == ENOTTY;  // no such line here
    }

    static uint32_t ModemBits(int Bits)
    {
        uint32_t r = 0;
        if (Bits & TIOCM_CTS)
            r |= AfMsCtsOn;
        if (Bits & TIOCM_DSR)
            r |= AfMsDsrOn;
        if (Bits & TIOCM_RNG)
            r |= AfMsRingOn;
        if (Bits & TIOCM_CAR)
            r |= AfMsRlsdOn;
        return r;
    }

    // Under FLock.
    void MarkDead()
    {
        FDead = true;
        FDeadUnreported = true;
        FErrors |= AfCeIOE;
    }

    // Moves what the kernel holds into the receive queue; returns the number
    // of bytes taken. Bytes beyond the queue's size are lost (CE_RXOVER),
    // as with a driver whose queue overflows.
    size_t Pull()
    {
        std::lock_guard<std::mutex> g(FLock);
        if (FFd < 0 || FDead)
            return 0;
        size_t total = 0;
        char buf[4096];
        for (;;) {
            const ssize_t got = ::read(FFd, buf, sizeof buf);
            if (got > 0) {
                bool marked = false;
                const ssize_t n = static_cast<ssize_t>(UnmarkErrors(FMarkState, buf, static_cast<size_t>(got), marked));
                if (marked) {
                    // The tty does not tell the two apart.
                    FErrors |= FParityCheck ? AfCeRxParity : AfCeFrame;
                    FLineMask |= AfEvErr & FMask;
                }
                const size_t have = FRx.size() - FRxHead;
                size_t room = have < FRxLimit ? FRxLimit - have : 0;
                size_t take = static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
                if (FRxHead > 0 && FRxHead * 2 > FRx.size()) {
                    FRx.erase(FRx.begin(), FRx.begin() + static_cast<std::ptrdiff_t>(FRxHead));
                    FRxHead = 0;
                }
                FRx.insert(FRx.end(), buf, buf + take);
                total += take;
                if (take < static_cast<size_t>(n))
                    FErrors |= AfCeRxOver;
                continue;
            }
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && errno == EIO)
                MarkDead();  // the far end is gone (pty closed, adapter unplugged)
            else if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                FReadFailed = true;  // the next read reports it
            break;
        }
        return total;
    }

    // Modem line changes and error counters; true when something is to be
    // reported.
    bool CheckLines()
    {
        uint32_t events = 0;
        if (FModemLines) {
            int bits;
            if (::ioctl(FFd, TIOCMGET, &bits) == 0) {
                const int changed = bits ^ FLastModem;
                FLastModem = bits;
                if (changed & TIOCM_CTS)
                    events |= AfEvCts;
                if (changed & TIOCM_DSR)
                    events |= AfEvDsr;
                if (changed & TIOCM_CAR)
                    events |= AfEvRlsd;
                if (changed & TIOCM_RNG)
                    events |= AfEvRing;
            }
        }
        uint32_t errors = 0;
        if (FCounters) {
            struct serial_icounter_struct c;
            if (::ioctl(FFd, TIOCGICOUNT, &c) == 0) {
                if (c.frame != FLastCount.frame)
                    errors |= AfCeFrame;
                if (c.parity != FLastCount.parity)
                    errors |= AfCeRxParity;
                if (c.overrun != FLastCount.overrun)
                    errors |= AfCeOverrun;
                if (c.buf_overrun != FLastCount.buf_overrun)
                    errors |= AfCeRxOver;
                if (c.brk != FLastCount.brk) {
                    errors |= AfCeBreak;
                    events |= AfEvBreak;
                }
                FLastCount = c;
            }
        }
        if (errors)
            events |= AfEvErr;
        std::lock_guard<std::mutex> g(FLock);
        FErrors |= errors;
        FLineMask |= events & FMask;
        return FLineMask != 0;
    }

    int FFd = -1;
    int FWake;  // SetMask wakes the event thread's poll through it
    std::mutex FLock;
    std::vector<char> FRx;
    size_t FRxHead = 0;
    size_t FRxLimit = 4096;
    uint32_t FErrors = 0;
    uint32_t FMask = 0;
    bool FMaskChanged = false;
    TAfOpenError FOpenError;
    uint32_t FLineMask = 0;
    bool FDead = false;
    bool FDeadUnreported = false;
    bool FModemLines = false;
    int FLastModem = 0;
    bool FCounters = false;
    struct serial_icounter_struct FLastCount;
    TAfDCB FState{};
    bool FHasState = false;
    bool FParityCheck = false;
    int FMarkState = 0;        // of UnmarkErrors, between reads
    bool FReadFailed = false;  // a read of the kernel failed since the last Read
    const void* FPendingBuf = nullptr;
    uint32_t FPendingCount = 0;
};

}  // namespace

std::unique_ptr<TAfPortBackend> CreateSystemPortBackend()
{
    return std::make_unique<TPosixPort>();
}

}  // namespace kelvo::afcore

namespace kelvo {

std::string AfComPortDeviceName(int Number)
{
    if (Number <= 0)
        return {};
    // A ports folder replaces the system's nodes altogether: with it set,
    // COMn is its link comn or nothing, so that a simulator session never
    // reaches a real port by accident.
    if (const char* dir = std::getenv("KELVO_PORTS_DIR"); dir && *dir)
        return std::string(dir) + "/com" + std::to_string(Number);
    if (Number <= 32)
        return "/dev/ttyS" + std::to_string(Number - 1);
    if (Number <= 64)
        return "/dev/ttyUSB" + std::to_string(Number - 33);
    if (Number <= 96)
        return "/dev/ttyACM" + std::to_string(Number - 65);
    return {};
}

TAfPortPresence AfProbeComPort(int Number, TAfOpenError* Why)
{
    if (Why)
        *Why = TAfOpenError{ofNotFound, 0};
    if (Number <= 0)
        return ppNotFound;
    afcore::TPosixPort port;
    const afcore::TAfOpenResult result = port.Open(Number);
    if (Why)
        *Why = port.OpenError();
    switch (result) {
    case afcore::TAfOpenResult::Ok:
        port.CloseHandle();
        return ppAvailable;
    case afcore::TAfOpenResult::NotFound:
        return ppNotFound;
    case afcore::TAfOpenResult::Failed:
        break;
    }
    return ppUnavailable;
}

}  // namespace kelvo
