#pragma once
// What kelvoctl does around the session's exchanges, for a technician at a
// terminal: progress on stderr, safe interruption (Ctrl+C, SIGTERM), a port
// that disappears noticed at once, and failures told in words - which port,
// which step, what came back - with the protocol's own message after them.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kelvoctl_args.h"
#include "kelvoctl_commands.h"
#include "kelvoctl_json.h"
#include "uKelvoSession.h"
#include "uci_ICommunicationInterface.h"

namespace kelvo::ctl {

// ---- interruption -------------------------------------------------------------

// Catches SIGINT and SIGTERM for the rest of the run. A signal gives up the
// exchange in progress (Query's cancel request), so that reading commands
// stop at once and free the port - except while a TFinishWrites exists.
void InstallInterruptHandlers();
bool Interrupted();
// Forgets an interruption (watch and tests of the handlers).
void ClearInterrupted();

// While one exists (on any thread), a first signal only asks to stop: the
// write in progress is finished and the module read back. A second signal
// gives up the exchange in progress too.
class TFinishWrites {
public:
    TFinishWrites();
    ~TFinishWrites();
    TFinishWrites(const TFinishWrites&) = delete;
    TFinishWrites& operator=(const TFinishWrites&) = delete;
};

// ---- progress and notes ---------------------------------------------------------

// Progress goes to stderr: on a terminal as one status line that changes in
// place, with Forced (not a terminal) as plain lines; never otherwise.
void ConfigureProgress(bool Terminal, bool Forced);
void ShowProgress(const std::string& Text);
void ClearProgress();
// "kelvoctl: Text" on stderr, after clearing the status line.
void Note(const std::string& Text);
// A command's JSON document on stdout, after clearing the status line.
void PrintJson(const nlohmann::ordered_json& J);

// ---- ports ---------------------------------------------------------------------

// Gives a device node given as the port its COM number; EUsageError when
// the node is none of the COM ports, EStepFailed when it does not exist.
void ResolveNode(TInterfaceName& Name);

// The device node behind COM<Port> with links followed, "" when the number
// names none (also on Windows: "\\.\COMn").
std::string PortNode(uint16_t Port);

// Why the port of Name cannot be opened, as the system tells it:
// "COM3: no such port (no device node /dev/ttyS2)", "permission denied on
// /dev/ttyUSB0 (COM33) - add your user to the group dialout", "COM33
// (/dev/ttyUSB0) is in use by another program (minicom, pid 1234)".
std::string OpenFailureText(const TInterfaceName& Name);
// The same for "no such port" alone; empty when the port exists.
std::string MissingPortText(const TInterfaceName& Name);

// The step of a read as a person names it: "channel 2's configuration".
std::string ReadStepText(uint8_t Instruction, const RawByteString& Data);

// ---- one channel's exchanges -----------------------------------------------------

// Follows the exchanges of Session on Channel while it exists: shows
// progress, keeps what came back when a reply was refused, and ends the
// exchanges at once when the run is interrupted or the port disappears
// (its device node gone, a USB device unplugged). Made and destroyed on the
// thread that runs the exchanges; a vanished port ends that thread's
// exchanges only.
class TExchangeWatch {
public:
    TExchangeWatch(TKelvoSession& Session, ICommunicationInterface* Channel, const TInterfaceName& Where,
                   std::string Name);
    ~TExchangeWatch();
    TExchangeWatch(const TExchangeWatch&) = delete;
    TExchangeWatch& operator=(const TExchangeWatch&) = delete;

    // Stops watching for the port to disappear (before kelvoctl closes it).
    void StopWatchingPort();
    // Between exchanges (a poll waiting for its next tick) there is nothing
    // to end: Idle() lets the watchdog sleep (a look a second would cost a
    // wake-up ten times a second per port, for hours); Busy() looks at once,
    // on the calling thread, so an exchange after a port vanished ends
    // before it starts, and then watches as before.
    void Idle();
    void Busy();
    bool PortGone() const { return FGone; }
    // Ends every progress line ("(2 of 5)": the search's count).
    void SetProgressSuffix(std::string Suffix) { FSuffix = std::move(Suffix); }

    // Raises EInterrupted or EStepFailed when the exchanges were ended.
    void ThrowIfEnded(const std::string& While) const;

    // Why a probe found no module: "No module answered on COM3 at 9600
    // bit/s", "COM3 answered at 9600 bit/s, but not with a valid reply
    // (checksum wrong); see --debug", "COM3: a device answered at 9600
    // bit/s, but it is not a Kelvo module".
    std::string ProbeFailure(const std::string& TriedSpeeds) const;
    // Why a read failed, in words, then Detail (the protocol's message).
    std::string ReadFailure(const std::string& Detail) const;
    // "reading channel 1's configuration"; empty before the first step.
    std::string CurrentStep() const;

private:
    struct TPhase {
        int32_t Speed = 0;    // probe
        uint8_t Instruction = 0;  // read step
        RawByteString Data;
        int Attempt = 0;
        int Valid = 0;
        std::vector<TReplyFault> Faults;
    };
    void Watch();
    void LookForPort();  // FThread->Lock held
    void Stop() const;
    void Progress(const std::string& Text) const;

    TKelvoSession& FSession;
    IntfPtr<ICommunicationInterface> FChannel;
    TInterfaceName FWhere;
    std::string FName;
    std::string FNode;
    std::string FSuffix;
    std::vector<TPhase> FProbes;
    TPhase FStep;
    bool FReading = false;
    std::atomic<bool> FGone{false};
    const std::atomic<bool>* FCancelBefore = nullptr;
    std::atomic<bool> FStopWatch{false};
    bool FIdle = false;       // FThread->Lock
    bool FWasActive = false;  // FThread->Lock
    struct TThread;
    std::unique_ptr<TThread> FThread;
};

// Raised by TConnection when the port opened but no module answered the
// probe (a device of another kind included).
class ENoModule : public EStepFailed {
public:
    using EStepFailed::EStepFailed;
};

// One module on one port: probed, left open at the speed that answered,
// and read. Closes the port when it goes.
class TConnection {
public:
    explicit TConnection(const TPortChoice& Where);
    ~TConnection();
    TConnection(const TConnection&) = delete;
    TConnection& operator=(const TConnection&) = delete;

    const std::string& Name() const { return FName; }
    int32_t LineSpeed();
    TExchangeWatch& Watch() { return *FWatch; }

    TKelvoSession Session;

private:
    void Close();

    std::string FName;
    IntfPtr<ICommunicationInterface> FPort;
    std::unique_ptr<TExchangeWatch> FWatch;
};

// Makes the session try what Where asks: one speed, or the chosen ones.
void ChooseSpeeds(TKelvoSession& Session, const TPortChoice& Where);
// "9600 bit/s, 115200 bit/s": the speeds a probe of Where tries.
std::string TriedSpeeds(const TPortChoice& Where);

}  // namespace kelvo::ctl
