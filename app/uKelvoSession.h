#pragma once
// The connection to one module as the main window holds it, without the
// window: the connected channel, the line speed last probed, the module
// record as read and the working copy the editors change, and the
// operations on them - the transaction, the probe, the full read and the
// save. The window owns one and delegates to it; the command-line tool and
// the tests use it directly. Everything here runs on the calling thread and
// blocks it for the length of the exchanges.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include "uByteString.h"
#include "uKelvoxx.h"
#include "uci_ICommunicationInterface.h"

namespace kelvo {

// Why a transaction did not take what came back as its reply.
enum class TReplyFault : uint8_t {
    None,        // a valid reply
    Nothing,     // no byte came back
    Incomplete,  // the beginning of a frame, cut short or split by a pause longer than the line allows
    StrayBytes,  // bytes before or after a frame
    NotAFrame,   // bytes that do not look like a Verdel 97 frame at all
    Checksum,    // a frame with a wrong checksum
    Malformed,   // a frame with a wrong terminator, or one that checks but cannot be parsed
    // A valid probe reply at a speed tried after another one, which a second
    // request at that speed did not bring again: the late answer to the
    // request at the speed before.
    Unconfirmed,
};

// The fault of Reply, which CheckVerdel97Packet refused (Nothing when it is
// empty; Malformed for a frame the check accepts).
TReplyFault ClassifyRefusedReply(const RawByteString& Reply);

// The serial number as the found list shows it: at least four digits,
// "0256".
std::string SerialNumberText(const TKelvorec& Record);

class TKelvoSession {
public:
    TKelvoSession();

    // --- state, named as the window names it ---------------------------------

    // The channel of the connected module; empty while not connected.
    IntfPtr<ICommunicationInterface> CurrentInterface;
    // The line speed (bit/s) the search tried last; the identification
    // derives its time-outs from it. Written only by ProbeAtSpeed.
    int32_t CurrentBaudRate = 0;
    // The module as last read.
    TKelvorec ModuleRecord;
    // The working copy.
    std::array<TChannelConfig, 4> EditedChannels{};
    std::array<TChannelWatch, 4> EditedWatches{};
    std::string EditedUserData;
    uint8_t EditedSpeedCode = 0;
    uint8_t EditedAddress = 0;

    // The search speeds the user checked (bit/s); 9600 and 115200 at start.
    std::set<int32_t> SearchSpeeds{9600, 115200};
    // A command-line parameter beginning with "baudrate", stored whole; its
    // number, when it has one, is tried before every other speed.
    std::string BaudrateParam;

    // Told the text the window shows as its connection label while a probe
    // runs ("COM6 / 9.600 bps").
    std::function<void(const std::string& Text)> OnConnectionLabel;

    // Where probes, reads and measurement polls go: 254 (the window's
    // choice) reaches any module; a module's own address lets one of several
    // modules on a shared RS-485 bus answer alone. Writes always go to the
    // module's address as read.
    uint8_t RequestAddress = kBroadcastAddress;

    // --- observers, for a caller that shows progress or explains a failure.
    // None of them changes what an operation does or returns; an exception
    // one raises passes through (a caller may end an operation that way).

    // Before each speed a probe tries.
    std::function<void(ICommunicationInterface* Interface, int32_t Speed)> OnProbeSpeed;
    // At each attempt of each step of a read.
    TReadAttemptObserver OnReadAttempt;
    // After each exchange of a transaction on an open channel: its
    // instruction, None for a valid reply or why the bytes that came back
    // were refused, and those bytes.
    std::function<void(uint8_t Instruction, TReplyFault Fault, const RawByteString& Received)> OnReply;
    // Before each write of a save (a write enable and its command are one
    // write): how many of how many have gone out.
    std::function<void(size_t Sent, size_t Total)> OnSaveProgress;
    // Asked before each write of a save: true stops the save there. The
    // writes sent so far stay sent and the module is read again all the
    // same. Empty: every save runs to its end.
    std::function<bool()> SaveStopRequested;

    // What the last save did: writes sent, writes it had, stopped early.
    struct TSaveOutcome {
        size_t Sent = 0;
        size_t Total = 0;
        bool Stopped = false;
    };
    const TSaveOutcome& LastSave() const { return FLastSave; }

    // --- exchanges ------------------------------------------------------------

    // One request and its reply: a 25 ms pause, then - when the channel is
    // there and open - the request frame (signature 1) through Query with
    // the frame check. True when a valid frame came back, whatever its
    // address, signature or acknowledge code; its data is then in
    // ReplyData, which is left alone otherwise. A reply that checks but
    // cannot be parsed, an oversized request and errors of the channel
    // raise. OnReply is told what came back.
    bool Transact(ICommunicationInterface* Interface, uint8_t Instruction, const RawByteString& Data,
                  RawByteString& ReplyData, uint8_t Address, int32_t TimeoutMs);

    // The identification's transaction: Transact on CurrentInterface with
    // the time-out derived from CurrentBaudRate (the TimeoutMs given is
    // ignored); a request to 254 goes to RequestAddress.
    bool TransactWithSpeedTimeout(uint8_t Instruction, const RawByteString& Data, RawByteString& Reply,
                                  uint8_t Address, int32_t TimeoutMs);

    // (BaudRate / 1000 * 300 + 250, rounded half to even) + 1000 ms, with
    // the rate taken at most as 9600 bit/s (4130 ms).
    static int32_t SpeedTimeoutMs(int32_t BaudRate);
    static constexpr int32_t kSpeedTimeoutCapRate = 9600;

    // TransactWithSpeedTimeout bound to this session, for IdentifyModule.
    TVerdelTransactionCallback SpeedTimeoutTransaction();

    // --- probing and reading --------------------------------------------------

    // Sends the identification request (RequestAddress, 250 ms) after
    // emptying the receive queue, so that only bytes that come after the
    // request are taken for its reply. False and Model untouched when
    // nothing valid came back; false and Model 0 for a device of another
    // family; otherwise true with the model of the reply.
    bool CheckDevice(ICommunicationInterface* Interface, uint8_t& Model);

    // Sets CurrentBaudRate, shows "<description> / <Description>" as the
    // connection label when Description is not empty, switches the channel
    // to Speed through its connection string, empties the receive queue
    // (what arrives now was sent at the speed before) and runs CheckDevice;
    // logs the result. Raises nothing: an error of this interface at this speed (a
    // reply that cannot be parsed, a failing channel) is logged and counts
    // as no module.
    bool ProbeAtSpeed(ICommunicationInterface* Interface, int32_t Speed, const std::string& Description,
                      uint8_t& Model);

    // Tries the checked speeds on Interface until a module answers: the
    // speed of BaudrateParam first, then 115200 and 9600 (FTDI devices) or
    // 9600 and 115200 (other channels), then 300 ... 230400, each only when
    // checked; Record.Model gets the model found. A reply at a speed tried
    // after another one counts only when a second request at that speed is
    // answered too: a module that answered the request before only after
    // its time-out is not found at the next speed (OnReply is told
    // Unconfirmed). A channel whose Open raises is one that could not be
    // opened. Unless KeepOpen, the
    // channel's open state and connection string are put back afterwards,
    // also when an error passes; with KeepOpen it stays open at the speed
    // that answered.
    bool ProbeInterface(ICommunicationInterface* Interface, TKelvorec& Record, bool KeepOpen);
    // Whether the last ProbeInterface could open its interface.
    bool LastProbeOpened() const { return FLastProbeOpened; }

    // After a probe that left Interface open at the speed that answered:
    // the module's serial number from a confirmed read of its production
    // data (the found list shows it). False, and SerialNumber untouched,
    // when the module does not confirm it.
    bool ReadSerialNumber(ICommunicationInterface* Interface, uint16_t& SerialNumber);

    // Whether a channel is an FTDI device (it offers the FTDI interface).
    static bool IsFTDIDevice(ICommunicationInterface* Interface);
    // Resets an FTDI device once (a device that has just arrived); nothing
    // for other channels. False when nothing was reset.
    static bool ResetFTDIDevice(ICommunicationInterface* Interface);

    // "9.600 bps", "115.200 bps": the label of a search speed.
    static std::string SpeedLabel(int32_t Speed);
    // The number in a "baudrate" parameter ("baudrate=19200",
    // "baudrate19200"); nothing when it has none.
    static std::optional<int32_t> BaudrateParamSpeed(const std::string& Param);

    // Reads the whole module on CurrentInterface into ModuleRecord and, on
    // success, resets the working copy to it. Any failure gives false; its
    // message is kept in LastError (the window shows only its error page),
    // and the record and the working copy are cleared (ForgetModule).
    bool ReadModule();
    const std::string& LastError() const { return FLastError; }
    // True from a successful ReadModule until a read fails or the module is
    // forgotten: only then do ModuleRecord and the working copy describe
    // the module on CurrentInterface.
    bool ModuleRead() const { return FModuleRead; }
    // Clears ModuleRecord and the working copy; ModuleRead is false after.
    void ForgetModule();

    // --- working copy and saving ---------------------------------------------

    void ResetWorkingCopy();
    // ModuleRecord with the working copy's fields in place.
    TKelvorec WorkingRecord() const;
    // True when the working copy differs from ModuleRecord in a channel, a
    // watching setting, the user data, the speed code or the address: the
    // window shows its save button exactly then.
    bool WorkingCopyDiffers() const;

    // Sends the writes the working copy needs (each after 0xE4, all to the
    // address as read, 250 ms, replies not examined; the communication
    // settings last, since a module may apply them at once), switches the
    // line speed when a KelvoRS gets a new one, pauses 100 ms and reads the
    // module again. Returns the result of that read; errors of the
    // transaction end the save and pass through. Without a successful read
    // (ModuleRead false) nothing is sent and the result is false. SaveStopRequested may end
    // it between two writes; LastSave tells how far it went. When the save
    // gives the module a new address, RequestAddress other than 254 follows
    // it, so that the read afterwards finds the module.
    bool SaveChanges();

    // --- live measurement ------------------------------------------------------

    // One tick of the measuring page: every slot marked invalid, then up to
    // three attempts of instruction 0x58 (data 00, RequestAddress, 500 ms) on
    // CurrentInterface, the first success ending them; the reply's 18-byte
    // blocks fill slots 1-4 by position. False when no attempt succeeded
    // (every slot then invalid); a channel error or a reply that cannot be
    // parsed is an attempt without an answer.
    bool ReadMeasuredValues(std::array<TKelvoChannelRecountedValue, 4>& Values);

    // The module caption beside the page heading: " - " + trimmed user data
    // of ModuleRecord, empty when there is none.
    std::string ModuleNameCaption() const;

private:
    // Transact; with EmptyQueueFirst the receive queue is emptied right
    // before the request goes out.
    bool Exchange(ICommunicationInterface* Interface, uint8_t Instruction, const RawByteString& Data,
                  RawByteString& ReplyData, uint8_t Address, int32_t TimeoutMs, bool EmptyQueueFirst);
    // A second identification at the speed a probe found Model at, after
    // earlier speeds had failed: true when it answers with the same model.
    bool Confirmed(ICommunicationInterface* Interface, uint8_t Model);

    std::string FLastError;
    TSaveOutcome FLastSave;
    bool FModuleRead = false;
    bool FLastProbeOpened = false;
};

}  // namespace kelvo
