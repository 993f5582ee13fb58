#include "kelvoctl_connect.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>

#include "AfComPortCore.h"
#include "kelvoctl_console.h"
#include "kelvoctl_usb.h"
#include "uLogUtils.h"
#include "uMainThreadQueue.h"
#include "uTickUtils.h"
#include "uci_FTDIcore.h"
#include "uci_ISerialPortInterface.h"

namespace kelvo::ctl {

// ---- interruption -------------------------------------------------------------

namespace {

std::atomic<int> gSignals{0};
// Saves in progress, on any thread: while there is one, a first signal
// lets each finish its write.
std::atomic<int> gFinishWrites{0};
static_assert(std::atomic<int>::is_always_lock_free, "read in signal handlers");

extern "C" void OnInterruptSignal(int)
{
    const int n = gSignals.fetch_add(1) + 1;
    if (gFinishWrites.load() == 0 || n > 1)
        RequestQueryCancel();
}

}  // namespace

void InstallInterruptHandlers()
{
    std::signal(SIGINT, OnInterruptSignal);
#ifdef SIGTERM
    std::signal(SIGTERM, OnInterruptSignal);
#endif
}

bool Interrupted()
{
    return gSignals.load() > 0;
}

void ClearInterrupted()
{
    gSignals = 0;
    ClearQueryCancel();
}

TFinishWrites::TFinishWrites()
{
    ++gFinishWrites;
}

TFinishWrites::~TFinishWrites()
{
    --gFinishWrites;
}

// ---- progress and notes ---------------------------------------------------------

namespace {

struct TProgressState {
    std::mutex Lock;
    bool Terminal = false;
    bool Forced = false;
    std::string Text;      // on the status line now
    uint32_t Since = 0;    // tick when it was shown
    size_t Shown = 0;      // characters written after the carriage return
};

TProgressState& ProgressState()
{
    static TProgressState state;
    return state;
}

void DrawStatus(TProgressState& S, const std::string& Line)
{
    std::cerr << "\r" << Line << "\033[K" << std::flush;
    S.Shown = Line.size();
}

}  // namespace

void ConfigureProgress(bool Terminal, bool Forced)
{
    TProgressState& s = ProgressState();
    std::lock_guard<std::mutex> g(s.Lock);
    s.Terminal = Terminal;
    s.Forced = Forced;
}

void ShowProgress(const std::string& Text)
{
    TProgressState& s = ProgressState();
    std::lock_guard<std::mutex> g(s.Lock);
    if (Text == s.Text)
        return;
    s.Text = Text;
    s.Since = GetTickCount32();
    if (s.Terminal)
        DrawStatus(s, Text);
    else if (s.Forced)
        std::cerr << "kelvoctl: " << Text << "\n" << std::flush;
}

// On a terminal, a wait of more than a second shows how long it has lasted.
void RefreshProgress()
{
    TProgressState& s = ProgressState();
    std::lock_guard<std::mutex> g(s.Lock);
    if (!s.Terminal || s.Text.empty())
        return;
    const uint32_t seconds = (GetTickCount32() - s.Since) / 1000;
    if (seconds >= 2)
        DrawStatus(s, s.Text + " (" + std::to_string(seconds) + " s)");
}

void ClearProgress()
{
    TProgressState& s = ProgressState();
    std::lock_guard<std::mutex> g(s.Lock);
    if (s.Terminal && s.Shown > 0)
        std::cerr << "\r\033[K" << std::flush;
    s.Shown = 0;
    s.Text.clear();
}

void Note(const std::string& Text)
{
    ClearProgress();
    std::cerr << "kelvoctl: " << Text << "\n" << std::flush;
}

void PrintJson(const nlohmann::ordered_json& J)
{
    ClearProgress();
    std::cout << J.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n" << std::flush;
}

// ---- ports ---------------------------------------------------------------------

namespace {

const char* PortsDir()
{
    const char* dir = std::getenv("KELVO_PORTS_DIR");
    return dir && *dir ? dir : nullptr;
}

// "COM33 (/dev/ttyUSB0)", or the name alone when no node stands behind it.
std::string NameWithNode(const TInterfaceName& Name)
{
    const std::string node = Name.UsbSerial.empty() ? PortNode(Name.Port) : std::string();
    return node.empty() ? Name.Text() : Name.Text() + " (" + node + ")";
}

}  // namespace

std::string PortNode(uint16_t Port)
{
    const std::string name = AfComPortDeviceName(Port);
    return name.empty() ? name : ResolvedNode(name);
}

void ResolveNode(TInterfaceName& Name)
{
    if (Name.Node.empty() || Name.Port != 0)
        return;
    const bool exists = NodePresent(Name.Node);
    for (int n = 1; n <= 255; ++n) {
        const std::string candidate = AfComPortDeviceName(n);
        if (candidate.empty())
            continue;
        if (candidate == Name.Node || (exists && SameNode(candidate, Name.Node))) {
            Name.Port = static_cast<uint16_t>(n);
            return;
        }
    }
    if (!exists)
        throw EStepFailed(Name.Node + ": no such device node");
    if (const char* dir = PortsDir())
        throw EUsageError(Name.Node + " is none of the COM ports: while KELVO_PORTS_DIR is set, the COM ports are "
                          "the links comN in " + dir);
    throw EUsageError(Name.Node + " is none of the COM ports (COM1-COM32 are /dev/ttyS0-31, COM33-COM64 "
                      "/dev/ttyUSB0-31, COM65-COM96 /dev/ttyACM0-31)");
}

std::string MissingPortText(const TInterfaceName& Name)
{
    if (!Name.UsbSerial.empty() || AfProbeComPort(Name.Port) != ppNotFound)
        return {};
    const std::string name = Name.Text();
    const std::string node = AfComPortDeviceName(Name.Port);
    if (const char* dir = PortsDir())
        return name + ": no such port (no link com" + std::to_string(Name.Port) + " in the ports folder " + dir +
               ", named by KELVO_PORTS_DIR)";
    if (node.empty())
        return name + ": no such port (no device node stands behind COM" + std::to_string(Name.Port) +
               "; COM1-COM96 are /dev/ttyS0-31, /dev/ttyUSB0-31 and /dev/ttyACM0-31)";
    if (node.front() == '/')
        return name + ": no such port (no device node " + node + ", or no UART behind it)";
    return name + ": no such port (" + node + " does not exist)";
}

std::string OpenFailureText(const TInterfaceName& Name)
{
    if (!Name.UsbSerial.empty())
        return Name.Text() + ": the USB device cannot be opened (not plugged in, in use by another program, or no "
                             "D2XX library)";
    TAfOpenError why;
    AfProbeComPort(Name.Port, &why);
    const std::string node = PortNode(Name.Port);
    switch (why.Reason) {
    case ofNotFound:
        return MissingPortText(Name);
    case ofAccessDenied: {
        const std::string advice = NodeAccessAdvice(node);
        return "permission denied on " + node + " (" + Name.Text() + ")" + (advice.empty() ? "" : " \u2014 " + advice);
    }
    case ofInUse: {
        const std::string holders = NodeHolders(node);
        return NameWithNode(Name) + " is in use by another program" + (holders.empty() ? "" : " (" + holders + ")");
    }
    case ofNotSerial:
        return NameWithNode(Name) + " is not a serial port";
    case ofOther:
        return NameWithNode(Name) + " cannot be opened" +
               (why.SystemError ? ": " + SystemErrorText(why.SystemError) : std::string());
    case ofNone:
        break;
    }
    return NameWithNode(Name) + " could not be opened (it can be now: try again)";
}

std::string ReadStepText(uint8_t Instruction, const RawByteString& Data)
{
    const int ch = Data.empty() ? -1 : static_cast<uint8_t>(Data[0]);
    const std::string channel = ch > 0 ? "channel " + std::to_string(ch) + "'s " : "the module's own (channel 0) ";
    switch (Instruction) {
    case kInstrIdentify: return "the identification";
    case kInstrReadChannelConfig: return channel + "configuration";
    case kInstrReadChannelWatch: return channel + "watching";
    case kInstrRead4to20mA: return "the 4-20 mA options";
    case kInstrReadCommSettings: return "the communication settings";
    case kInstrReadUserData: return "the user data";
    case kInstrReadProductionData: return "the production data";
    case kInstrReadValues: return "the measured values";
    default: break;
    }
    char code[8];
    std::snprintf(code, sizeof code, "$%02X", Instruction);
    return std::string("the reply to ") + code;
}

// ---- one channel's exchanges -----------------------------------------------------

namespace {

// Ends a read or probe from inside one of the session's observers.
class EExchangesEnded : public std::exception {
public:
    const char* what() const noexcept override { return "the exchanges were ended"; }
};

std::string FaultText(TReplyFault Fault)
{
    switch (Fault) {
    case TReplyFault::None: return "valid";
    case TReplyFault::Nothing: return "no reply";
    case TReplyFault::Incomplete:
        // A bridge (Ethernet, radio) may pause inside a reply for longer
        // than a serial line does.
        return "the reply was incomplete: cut short, or split by pauses longer than " +
               std::to_string(LineGap() ? LineGap() : TCommunicationInterface::kDefaultLineGapMs) +
               " ms (--line-gap MS waits longer, for a bridge that pauses inside its replies)";
    case TReplyFault::StrayBytes: return "stray bytes before or after the frame";
    case TReplyFault::NotAFrame: return "bytes that are not a Verdel 97 frame";
    case TReplyFault::Checksum: return "checksum wrong";
    case TReplyFault::Malformed: return "a frame that cannot be read";
    case TReplyFault::Unconfirmed: return "a late reply to the speed before, not confirmed at this speed";
    }
    return "?";
}

std::string Hex(const RawByteString& Bytes)
{
    std::string out;
    char b[4];
    for (size_t i = 0; i < Bytes.size() && i < 512; ++i) {
        std::snprintf(b, sizeof b, "%02X", static_cast<uint8_t>(Bytes[i]));
        out += (i ? " " : "") + std::string(b);
    }
    return Bytes.size() > 512 ? out + " ..." : out;
}

// The faults seen, each once, in words: "checksum wrong; the reply was incomplete".
std::string FaultsText(const std::vector<TReplyFault>& Faults)
{
    std::string out;
    std::vector<TReplyFault> seen;
    for (TReplyFault f : Faults) {
        if (f == TReplyFault::Nothing || std::find(seen.begin(), seen.end(), f) != seen.end())
            continue;
        seen.push_back(f);
        out += (out.empty() ? "" : "; ") + FaultText(f);
    }
    return out;
}

bool HasBytes(const std::vector<TReplyFault>& Faults)
{
    for (TReplyFault f : Faults)
        if (f != TReplyFault::Nothing)
            return true;
    return false;
}

const TLogSender& CtlSender()
{
    static const TLogSender sender("kelvoctl");
    return sender;
}

}  // namespace

struct TExchangeWatch::TThread {
    std::thread Thread;
    std::mutex Lock;
    std::condition_variable Wake;
};

TExchangeWatch::TExchangeWatch(TKelvoSession& Session, ICommunicationInterface* Channel, const TInterfaceName& Where,
                               std::string Name)
    : FSession(Session), FChannel(Channel), FWhere(Where), FName(std::move(Name))
{
    if (FWhere.UsbSerial.empty())
        FNode = AfComPortDeviceName(FWhere.Port);
    // A vanished port ends the exchanges of this thread only: other
    // threads may be working on other ports.
    FCancelBefore = SetThreadQueryCancel(&FGone);

    FSession.OnProbeSpeed = [this](ICommunicationInterface*, int32_t Speed) {
        Stop();
        FProbes.emplace_back();
        FProbes.back().Speed = Speed;
        FReading = false;
        Progress("probing " + FName + " at " + SpeedText(Speed));
    };
    FSession.OnReadAttempt = [this](uint8_t Instruction, const RawByteString& Data, int Attempt, int Attempts) {
        Stop();
        if (!FReading || Instruction != FStep.Instruction || Data != FStep.Data) {
            FStep = TPhase{};
            FStep.Instruction = Instruction;
            FStep.Data = Data;
        }
        FReading = true;
        FStep.Attempt = Attempt;
        std::string text = FName + ": reading " + ReadStepText(Instruction, Data);
        if (Attempt > 1)
            text += ", attempt " + std::to_string(Attempt) + " of " + std::to_string(Attempts);
        Progress(text);
    };
    FSession.OnReply = [this](uint8_t Instruction, TReplyFault Fault, const RawByteString& Received) {
        TPhase* phase = FReading ? &FStep : FProbes.empty() ? nullptr : &FProbes.back();
        if (phase) {
            if (Fault == TReplyFault::None)
                ++phase->Valid;
            else
                phase->Faults.push_back(Fault);
        }
        if (Fault != TReplyFault::None && Fault != TReplyFault::Nothing) {
            char code[8];
            std::snprintf(code, sizeof code, "$%02X", Instruction);
            Log(FName + ": reply to " + code + " refused (" + FaultText(Fault) + "): " + Hex(Received), CtlSender(),
                0, 5);
        }
    };
    FSession.OnSaveProgress = [this](size_t Sent, size_t Total) {
        FReading = false;
        Progress(FName + ": writing " + std::to_string(Sent + 1) + " of " + std::to_string(Total));
    };

    FThread = std::make_unique<TThread>();
    FThread->Thread = std::thread([this] { Watch(); });
}

TExchangeWatch::~TExchangeWatch()
{
    StopWatchingPort();
    SetThreadQueryCancel(FCancelBefore);
    FSession.OnProbeSpeed = nullptr;
    FSession.OnReadAttempt = nullptr;
    FSession.OnReply = nullptr;
    FSession.OnSaveProgress = nullptr;
}

void TExchangeWatch::StopWatchingPort()
{
    if (!FThread)
        return;
    {
        std::lock_guard<std::mutex> g(FThread->Lock);
        FStopWatch = true;
    }
    FThread->Wake.notify_all();
    if (FThread->Thread.joinable())
        FThread->Thread.join();
    FThread.reset();
}

void TExchangeWatch::Idle()
{
    if (!FThread)
        return;
    std::lock_guard<std::mutex> g(FThread->Lock);
    FIdle = true;
}

void TExchangeWatch::Busy()
{
    if (!FThread)
        return;
    {
        std::lock_guard<std::mutex> g(FThread->Lock);
        if (!FIdle)
            return;
        FIdle = false;
        LookForPort();
    }
    FThread->Wake.notify_all();  // back from the long sleep
}

// The watchdog: every 100 ms, whether the port is still there. The main
// thread is blocked in an exchange meanwhile; a port that is gone ends it.
void TExchangeWatch::Watch()
{
    uint32_t lastRefresh = GetTickCount32();
    std::unique_lock<std::mutex> lock(FThread->Lock);
    while (!FStopWatch) {
        FThread->Wake.wait_for(lock, std::chrono::milliseconds(FIdle ? 1000 : 100));
        if (FStopWatch)
            break;
        if (!FIdle)
            LookForPort();
        if (GetTickCount32() - lastRefresh >= 1000) {
            lastRefresh = GetTickCount32();
            RefreshProgress();
        }
    }
}

void TExchangeWatch::LookForPort()
{
    bool gone = false;
    if (!FNode.empty()) {
        gone = !NodePresent(FNode);
    } else if (!FWhere.UsbSerial.empty() && FChannel) {
        // A USB device closes itself when it is unplugged.
        const bool active = FChannel->GetActive();
        gone = FWasActive && !active;
        FWasActive = FWasActive || active;
    }
    if (gone)
        FGone = true;
}

void TExchangeWatch::Stop() const
{
    if (FGone || QueryCancelRequested())
        throw EExchangesEnded();
}

void TExchangeWatch::Progress(const std::string& Text) const
{
    ShowProgress(FSuffix.empty() ? Text : Text + " " + FSuffix);
}

void TExchangeWatch::ThrowIfEnded(const std::string& While) const
{
    if (FGone) {
        const std::string where = FNode.empty() ? std::string() : " (" + FNode + " is gone)";
        throw EStepFailed(FName + ": the port disappeared" + where + (While.empty() ? "" : " " + While));
    }
    if (Interrupted() && QueryCancelRequested())
        throw EInterrupted("interrupted" + (While.empty() ? std::string() : " " + While));
}

std::string TExchangeWatch::CurrentStep() const
{
    return FReading ? "while reading " + ReadStepText(FStep.Instruction, FStep.Data) : std::string();
}

std::string TExchangeWatch::ProbeFailure(const std::string& TriedSpeeds) const
{
    for (size_t i = 1; i < FProbes.size(); ++i)
        if (std::find(FProbes[i].Faults.begin(), FProbes[i].Faults.end(), TReplyFault::Unconfirmed) !=
            FProbes[i].Faults.end())
            return FName + ": a module answered the probe at " + SpeedText(FProbes[i - 1].Speed) +
                   " only after it had given up (250 ms), while " + SpeedText(FProbes[i].Speed) +
                   " was tried; a reply that late is no module at " + SpeedText(FProbes[i].Speed);
    for (const TPhase& p : FProbes)
        if (HasBytes(p.Faults))
            return FName + " answered at " + SpeedText(p.Speed) + ", but not with a valid reply (" +
                   FaultsText(p.Faults) + "); " +
                   (LogEnabled() ? "the bytes are in the diagnostic log" : "see --debug");
    for (const TPhase& p : FProbes)
        if (p.Valid > 0)
            return FName + ": a device answered at " + SpeedText(p.Speed) + ", but it is not a Kelvo module";
    return "No module answered on " + FName + " at " + TriedSpeeds;
}

std::string TExchangeWatch::ReadFailure(const std::string& Detail) const
{
    std::string what;
    if (!FReading) {
        what = "the read failed";
    } else if (HasBytes(FStep.Faults)) {
        what = "the module answered, but not with a valid reply (" + FaultsText(FStep.Faults) + "),";
    } else if (!FStep.Faults.empty()) {
        what = FStep.Valid > 0 ? "the module answered only some of the requests" : "the module stopped answering";
    } else if (FStep.Attempt >= kReadAttempts) {
        what = "the module's two replies to the same request differed every time";
    } else {
        what = "the module's reply could not be used";
    }
    const std::string step = CurrentStep();
    return FName + ": " + what + (step.empty() ? "" : " " + step) + " (" + Detail + ")";
}

// ---- connection ----------------------------------------------------------------

void ChooseSpeeds(TKelvoSession& Session, const TPortChoice& Where)
{
    if (Where.Speed) {
        // The window's "baudrate" switch: this speed first, and with no
        // speed checked, only this one.
        Session.SearchSpeeds.clear();
        Session.BaudrateParam = "baudrate=" + std::to_string(*Where.Speed);
    } else {
        Session.SearchSpeeds = Where.Speeds;
        Session.BaudrateParam.clear();
    }
    if (Where.Address)
        Session.RequestAddress = *Where.Address;
}

std::string TriedSpeeds(const TPortChoice& Where)
{
    if (Where.Speed)
        return SpeedText(*Where.Speed);
    std::string list;
    for (int32_t s : Where.Speeds)
        list += (list.empty() ? "" : ", ") + SpeedText(s);
    return list;
}

TConnection::TConnection(const TPortChoice& Where) : FName(ChannelName(Where))
{
    TInterfaceName name;
    name.Port = Where.Port;
    name.UsbSerial = Where.UsbSerial;
    FPort = MakeChannel(Where);
    ChooseSpeeds(Session, Where);
    FWatch = std::make_unique<TExchangeWatch>(Session, FPort.get(), name, FName);
    try {
        TKelvorec probe;
        bool found = false;
        try {
            found = Session.ProbeInterface(FPort.get(), probe, true);
        } catch (const EExchangesEnded&) {
        }
        TMainThreadQueue::Drain();
        FWatch->ThrowIfEnded("while probing " + FName + "; nothing was written");
        if (!found) {
            if (!FPort->GetActive())
                throw EStepFailed(OpenFailureText(name));
            throw ENoModule(FWatch->ProbeFailure(TriedSpeeds(Where)));
        }
        Session.CurrentInterface = FPort;
        const bool read = Session.ReadModule();
        TMainThreadQueue::Drain();
        FWatch->ThrowIfEnded(FWatch->CurrentStep() + "; nothing was written");
        if (!read)
            throw EStepFailed(FWatch->ReadFailure(Session.LastError()));
    } catch (...) {
        Close();
        throw;
    }
    ClearProgress();
}

TConnection::~TConnection()
{
    Close();
}

int32_t TConnection::LineSpeed()
{
    auto serial = Supports<ISerialPortInterface>(FPort);
    return serial ? serial->GetBaudRate() : 0;
}

void TConnection::Close()
{
    ClearProgress();
    if (FWatch)
        FWatch->StopWatchingPort();
    Session.CurrentInterface = nullptr;
    if (FPort) {
        FPort->Close(false);
        TMainThreadQueue::Drain();
        FPort = nullptr;
    }
    FWatch.reset();
}

}  // namespace kelvo::ctl
