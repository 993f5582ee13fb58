#pragma once
// A simulated Kelvo module: the far end of the Verdel 97 line.
//
// The module is fed the bytes the host sends, together with the line speed
// the host uses and the time they arrived, and turns each complete request
// into a schedule of output chunks, each due some milliseconds after the
// one before. Front ends deliver the chunks in real time (a pty) or against
// an injected clock (an in-process channel): both only call Feed and Poll.
//
// What it understands: identification (0xF3), channel configuration and
// watching (0x1F / 0x1D, channel 1-4, or 0 for all four lists), 4-20 mA
// flags (0x1B), communication settings (0xF0), user data (0xF2),
// production data (0xFA), live values (0x58) and the writes 0xE0, 0xE2,
// 0x2B, 0x1E, 0x1A, 0x1C, each applied only when the request before it was
// the write enable 0xE4. It listens to its own address and to 254, and only
// while the host's line speed matches its own (within 2 %, like a UART);
// anything else on the line is not understood.
//
// No OS calls. Every public operation is safe to call from any thread.

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "uByteString.h"
#include "uSimSettings.h"

namespace kelvo {

// One piece of output: its bytes leave DelayMs after the previous piece
// (the first piece: after the request was received).
struct TSimChunk {
    uint32_t DelayMs = 0;
    RawByteString Bytes;

    bool operator==(const TSimChunk&) const = default;
};
using TSimSchedule = std::vector<TSimChunk>;

// What became of something the module received.
enum class TSimOutcome : uint8_t {
    Answered,      // a read, answered
    Applied,       // a write right after 0xE4, applied and acknowledged
    Rejected,      // a write without 0xE4 before it or with data the module refuses,
                   // or a read of a channel it does not have (refused)
    Unknown,       // an instruction the module does not know (refused)
    OtherAddress,  // a valid frame for another module: ignored
    Dropped,       // heard but not answered because of a fault mode or because the module is gone
    Garbled        // bytes at the wrong line speed, or that form no valid frame
};

// Acknowledge code of a refused request; answered reads and applied writes
// echo their instruction.
constexpr uint8_t kSimRefusedCode = 0x15;

// One entry of the request log.
struct TSimRequest {
    uint32_t Time = 0;       // when it was fed
    uint32_t LineSpeed = 0;  // the host's line speed then
    RawByteString Bytes;     // the whole frame, or the garbled bytes
    uint8_t Address = 0;     // of a frame (0 for garbled bytes)
    uint8_t Instruction = 0;
    RawByteString Data;
    TSimOutcome Outcome = TSimOutcome::Garbled;
    RawByteString Reply;     // everything scheduled in answer (may be cut or faulty)
};

// One applied write: instruction and its data, as received.
struct TSimWrite {
    uint8_t Instruction = 0;
    RawByteString Data;

    bool operator==(const TSimWrite&) const = default;
};

class TSimModule {
public:
    explicit TSimModule(TSimSettings Settings = DefaultSimSettings());
    TSimModule(const TSimModule&) = delete;
    TSimModule& operator=(const TSimModule&) = delete;

    // Host side -------------------------------------------------------------

    // Bytes from the host, sent at LineSpeed bit/s, arriving at Now (ms on
    // any 32-bit millisecond counter; it may wrap). A request may come in
    // pieces; its reply is queued behind any output still pending.
    void Feed(std::string_view Bytes, uint32_t LineSpeed, uint32_t Now);

    // All queued output that is due at Now, oldest first.
    RawByteString Poll(uint32_t Now);

    // When the next queued chunk is due; nothing when no output is queued.
    std::optional<uint32_t> NextDue() const;

    // Drops every queued chunk (a front end that lost its host).
    void DiscardOutput();

    // Lower level: the reply schedule for Bytes without queueing it. Feed is
    // Serve plus the queue.
    TSimSchedule Serve(std::string_view Bytes, uint32_t LineSpeed, uint32_t Now);

    // State -------------------------------------------------------------------

    // The module as it is now: the starting settings with every applied
    // write (and the current address and line speed).
    TSimSettings Settings() const;
    // The line speed the module listens at now.
    uint32_t LineSpeed() const;
    // Switches fault modes while running (the reply counters keep going).
    void SetFaults(const TSimFaults& Faults);
    // True once the module vanished in the middle of a reply. It stays
    // silent until Revive.
    bool Gone() const;
    void Revive();

    // Logs --------------------------------------------------------------------

    std::vector<TSimRequest> RequestLog() const;
    std::vector<TSimWrite> WriteLog() const;
    void ClearLogs();

    // Called for every new request-log entry, outside the module's lock, on
    // the thread that fed the bytes. Set it before feeding starts.
    std::function<void(const TSimRequest&)> OnRequest;

private:
    struct TQueued {
        uint32_t Due;
        RawByteString Bytes;
    };

    TSimSchedule ServeLocked(std::string_view Bytes, uint32_t LineSpeed, uint32_t Now,
                             std::vector<TSimRequest>& NewEntries);
    void HandleFrame(const RawByteString& Frame, uint32_t LineSpeed, uint32_t Now,
                     TSimSchedule& Out, std::vector<TSimRequest>& NewEntries);
    bool Answer(uint8_t Instruction, const RawByteString& Data, uint32_t Now,
                RawByteString& ReplyData, uint8_t& AckCode, TSimOutcome& Outcome);
    bool ApplyWrite(uint8_t Instruction, const RawByteString& Data);
    void Schedule(const RawByteString& Frame, uint32_t LineSpeed, TSimSchedule& Out,
                  RawByteString& Sent);
    void Record(TSimRequest Entry, std::vector<TSimRequest>& NewEntries);
    void Notify(const std::vector<TSimRequest>& NewEntries);

    mutable std::mutex FLock;
    TSimSettings FState;
    RawByteString FRx;          // bytes of a request not yet complete
    uint32_t FLastRx = 0;       // when the last byte of FRx arrived
    bool FArmed = false;        // the last request heard was 0xE4
    bool FGone = false;
    uint64_t FHeard = 0;        // requests for this module, for the every-second mode
    uint64_t FReplies = 0;      // replies started, for the vanish and unstable modes
    std::vector<TQueued> FOut;
    bool FChatterStarted = false;  // the chattering device's clock runs from the first poll
    uint32_t FNextChatter = 0;
    std::vector<TSimRequest> FRequests;
    std::vector<TSimWrite> FWrites;
};

// Module-side encodings, public so that tests can state expected replies
// and front ends can describe traffic.

// The configuration item list of one channel (1-4), as the module reports it.
RawByteString SimChannelConfigList(const TSimChannel& Channel, uint8_t Number);
// The watching item list of one channel (1-4).
RawByteString SimChannelWatchList(const TSimChannel& Channel, uint8_t Number);
// One 18-byte live value block of channel Number (1-4) at time Now.
RawByteString SimValueBlock(const TSimChannel& Channel, uint8_t Number, uint32_t Now);
// Float as 4 bytes, most significant first.
RawByteString SimFloatBytes(float Value);
// Text left-justified in Width bytes, padded with spaces, cut.
RawByteString SimText(std::string_view Text, size_t Width);

}  // namespace kelvo
