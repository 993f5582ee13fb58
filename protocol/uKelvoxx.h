#pragma once
// The Kelvo module as the program sees it: the module record, the decoders
// that fill it from the module's replies, the identification that reads a
// whole module through a transaction, and the change lists and write data
// that put an edited record back.
//
// Module data conventions: integers unsigned big-endian; floats 4-byte
// big-endian IEEE singles; texts of a fixed width, left-justified and padded
// with spaces. Texts read from the module are kept as read, trailing spaces
// included (at most their width; a reply cut short gives a shorter text).
//
// Configuration data are item lists: an item code byte followed by a value
// whose width depends on the code; no length or count field.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "uByteString.h"

namespace kelvo {

// ---------------------------------------------------------------------------
// Command set: the instruction codes the program sends.

constexpr uint8_t kInstrIdentify = 0xF3;           // -> identification text
constexpr uint8_t kInstrReadChannelConfig = 0x1F;  // [channel 1-4 or 0] -> config item list
constexpr uint8_t kInstrReadChannelWatch = 0x1D;   // [channel 1-4 or 0] -> watch item list
constexpr uint8_t kInstrRead4to20mA = 0x1B;        // -> >= 8 bytes, 1/3/5/7 = channels 1-4
constexpr uint8_t kInstrReadCommSettings = 0xF0;   // -> [address][speed code]
constexpr uint8_t kInstrReadUserData = 0xF2;       // -> user data text
constexpr uint8_t kInstrReadProductionData = 0xFA; // -> product code (2), serial number (2)
constexpr uint8_t kInstrReadValues = 0x58;         // [0x00] -> 4 blocks of 18 bytes
constexpr uint8_t kInstrWriteEnable = 0xE4;        // sent before every write
constexpr uint8_t kInstrWriteCommSettings = 0xE0;  // [address][speed code]
constexpr uint8_t kInstrWriteUserData = 0xE2;      // [0x00] + text of 16
constexpr uint8_t kInstrWriteChannelName = 0x2B;   // [channel] + text of 21
constexpr uint8_t kInstrWriteChannelConfig = 0x1E; // [0x01][channel] + config items
constexpr uint8_t kInstrWrite4to20mA = 0x1A;       // [channel][Sensor4to20mA]
constexpr uint8_t kInstrWriteChannelWatch = 0x1C;  // [0x01][channel] + watch items

// Every read goes to this address (also the search probe, which knows no
// address yet); a module answers it whatever its own address is.
constexpr uint8_t kBroadcastAddress = 0xFE;
// Signature byte of every request the program builds.
constexpr uint8_t kRequestSignature = 0x01;
// Time-out of each transaction of a save (0xE4 and each write).
constexpr int32_t kWriteTimeoutMs = 250;
// Time-out that the identification hands to its transaction.
constexpr int32_t kIdentifyTimeoutMs = 500;

// Widths of the fixed-width texts.
constexpr size_t kChannelNameWidth = 21;
constexpr size_t kRangeTextWidth = 15;
constexpr size_t kUnitWidth = 5;
constexpr size_t kNumberTextWidth = 10;  // slope, offset, limit and hysteresis texts
constexpr size_t kUserDataWidth = 16;
constexpr size_t kValueTextWidth = 10;   // text of a measured value
constexpr size_t kValueBlockSize = 18;   // one measured value in the 0x58 reply

// The fixed span of an input range: maximum = Offset + Slope * kRangeSpan.
constexpr double kRangeSpan = 10000;

// ---------------------------------------------------------------------------
// Models and line speeds.

constexpr uint8_t kModelOther = 0;
constexpr uint8_t kModelKelvoUSB = 1;
constexpr uint8_t kModelKelvoETH = 2;
constexpr uint8_t kModelKelvoRS = 3;
constexpr uint8_t kModelTarnel = 4;

// "KelvoUSB", "KelvoETH", "KelvoRS", "Tarnel"; empty for 0 and unknown codes.
std::string ModelName(uint8_t Model);

// The model named by an identification text: the first match of "USB" (1),
// "ETH" (2), "TARNEL" (4), "RS" (3) in its upper-case form, else 0.
uint8_t ModelFromIdentification(std::string_view Text);

// True when a probe reply comes from the family: it contains "Kelvo" (exact
// case) or its upper-case form contains "TARNEL".
bool IsKelvoFamilyReply(std::string_view Reply);

// Number of speed codes the module may report (0 .. kSpeedCodeCount - 1).
constexpr uint8_t kSpeedCodeCount = 12;

// Line speed in bit/s of a speed code: 0 110, 1 300, 2 600, 3 1200,
// 4 2400, 5 4800, 6 9600, 7 19200, 8 38400, 9 57600, 10 115200, 11 230400;
// 0 for a code outside the table.
uint32_t SpeedCodeToBaudRate(uint8_t Code);

// The speed code of a line speed, nothing when the speed is not in the table.
std::optional<uint8_t> BaudRateToSpeedCode(uint32_t BaudRate);

// "1x", "2x", ... "128x" for gain codes 0-7 (gain 2^code); empty otherwise.
std::string GainText(uint8_t GainCode);
// Number of gain codes a channel may be set to (0 .. kGainCodeCount - 1).
constexpr int kGainCodeCount = 8;

// ---------------------------------------------------------------------------
// Texts.

// Text without leading and trailing spaces and control characters (every
// byte up to 0x20).
std::string TrimText(std::string_view Text);

// ASCII upper case; other bytes unchanged.
std::string UpperCaseText(std::string_view Text);

// Text left-justified in exactly Width bytes: padded with spaces, cut.
RawByteString FitText(std::string_view Text, size_t Width);

// "%.4d.xx.xx/%.4d" of product code and serial number, e.g. "0042.xx.xx/0256".
std::string FormatSerialText(uint16_t ProductCode, uint16_t SerialNumber);

// ---------------------------------------------------------------------------
// The module record.

// Identification and communication settings.
struct TKelvoVerdel {
    std::string Identification;  // reply to 0xF3, trimmed
    std::string UserData;        // reply to 0xF2, trimmed
    uint8_t SpeedCode = 0;       // reply to 0xF0, byte 1, as reported (>= kSpeedCodeCount: unknown)
    uint8_t Address = 0;         // reply to 0xF0, byte 0 (0-253)
    std::string SerialText;      // FormatSerialText(ProductCode, SerialNumber)
    uint16_t ProductCode = 0;    // reply to 0xFA, bytes 0-1
    uint16_t SerialNumber = 0;   // reply to 0xFA, bytes 2-3

    bool operator==(const TKelvoVerdel&) const = default;
};

// Configuration of one input channel; the comment names the item code.
struct TChannelConfig {
    uint8_t Number = 0;         // 0x01: 1-4; 0 = never reported
    std::string Name;           // 0x11: text of 21
    std::string RangeText;      // 0x12: text of 15
    std::string Unit;           // 0x13: text of 5
    std::string Unit2;          // 0x14: text of 5 (kept, never written)
    uint8_t Decimals = 0;       // 0x15
    float Slope = 0;            // 0x16: (range maximum - range minimum) / 10000
    std::string SlopeText;      // 0x17: text of 10
    float Offset = 0;           // 0x18: range minimum
    std::string OffsetText;     // 0x19: text of 10
    uint8_t Sensor4to20mA = 0;  // 0x20 and the reply to 0x1B: 1 yes, 2 no, 0 not reported
    bool HasGain = false;       // the last list for this channel held item 0x1A
    uint8_t GainCode = 0;       // 0x1A: gain 2^GainCode

    bool operator==(const TChannelConfig&) const = default;
};

// Watching of the measured value of one channel.
struct TChannelWatch {
    uint8_t Number = 0;          // 0x01: 1-4
    uint8_t WatchFlags = 0;      // 0x12: bit 7 = watching on; other bits kept
    float Upper = 0;             // 0x13
    std::string UpperText;       // 0x14: text of 10
    float Lower = 0;             // 0x15
    std::string LowerText;       // 0x16: text of 10
    float Hysteresis = 0;        // 0x17
    std::string HysteresisText;  // 0x18: text of 10
    bool ExtraFlag = false;      // 0x1A carries 1 (kept, never written)

    bool operator==(const TChannelWatch&) const = default;
};

// Bit of TChannelWatch::WatchFlags that switches watching on.
constexpr uint8_t kWatchOnFlag = 0x80;

// One module. Channel i (1-4) is Channels[i - 1] and Watch[i - 1].
struct TKelvorec {
    uint8_t Model = 0;  // kModel...; set by the identification
    TKelvoVerdel Info;
    std::array<TChannelConfig, 4> Channels{};
    std::array<TChannelWatch, 4> Watch{};

    bool operator==(const TKelvorec&) const = default;
};

// One live measured value.
struct TKelvoChannelRecountedValue {
    uint8_t Channel = 0;     // 1-4 as the module reports it
    bool Overrange = false;  // status bit 2 (0x04)
    bool Valid = false;      // status bit 7 (0x80); false when the block failed to decode
    uint16_t Raw = 0;        // 16-bit value of the block (not used)
    double Value = 0;        // the value as a number
    std::string Text;        // the value as the module formatted it, 10 characters

    bool operator==(const TKelvoChannelRecountedValue&) const = default;
};

// ---------------------------------------------------------------------------
// Item readers. Each takes its bytes from the front of Rest.

// Unsigned big-endian integer of N bytes (N <= 4); takes as many as remain,
// so a value missing at the end of the data reads as 0.
uint32_t ReadItemUInt(std::string_view& Rest, size_t N);

// One raw byte; raises ERangeError when Rest is empty.
uint8_t ReadItemByte(std::string_view& Rest);

// Text of N bytes, as far as Rest goes.
std::string ReadItemText(std::string_view& Rest, size_t N);

// A 4-byte float; fewer remaining bytes raise "StrBin must be 4 chars length".
float ReadItemFloat(std::string_view& Rest);

// ---------------------------------------------------------------------------
// Decoders.

// Decodes an item list of a reply to 0x1F into Rec.Channels. Unknown item
// codes are reported through ShowMessage as "A Unknown param #<dec> (<HEX>)"
// and only their code byte is dropped. A value item before any channel item
// or a channel number outside 1-4 raises ERangeError, as does a missing gain
// byte after item 0x1A; a float cut short raises "StrBin must be 4 chars
// length". Returns true when the list has been consumed.
bool DecodeChannelConfig(TKelvorec& Rec, const RawByteString& Data);

// The same for a reply to 0x1D into Rec.Watch; unknown codes are reported as
// "B Unknown param #<dec> (<HEX>)"; items 0x1B, 0x20 and 0x21 are skipped
// with their value byte.
bool DecodeChannelWatch(TKelvorec& Rec, const RawByteString& Data);

// Decodes one 18-byte measured-value block. Value.Valid is cleared first; a
// block of another size raises the general error "Invalid value data length".
void DecodeRecountedValue(const RawByteString& Block, TKelvoChannelRecountedValue& Value);

// Decodes a reply to 0x58 into slots 1-4 by position (not by the Channel
// byte). Each slot is marked invalid before it is decoded; slots for which
// fewer than 18 bytes remain stay invalid, and a block that fails to decode
// leaves only its own slot invalid. Never raises.
void DecodeRecountedValues(const RawByteString& Reply,
                           std::array<TKelvoChannelRecountedValue, 4>& Values);

// How the measuring page shows one value.
constexpr uint32_t kValueTextColor = 6450567;  // red 135, green 109, blue 98
constexpr uint32_t kOverrangeColor = 255;      // pure red
struct TRecountedValueView {
    std::string Text;        // "-" invalid, "OVR " overrange, else the module's text
    uint32_t Color = 0;      // kValueTextColor or kOverrangeColor
    bool FrameRed = false;   // the channel's frame turns red on overrange
};
TRecountedValueView ViewOfRecountedValue(const TKelvoChannelRecountedValue& Value);

// ---------------------------------------------------------------------------
// Identification.

// One request/response exchange: sends Instruction with Data to Address and
// waits up to TimeoutMs; true when a valid reply arrived, whose data is then
// in Reply (on false Reply may keep what it held). May raise.
using TVerdelTransactionCallback = std::function<bool(
    uint8_t Instruction, const RawByteString& Data, RawByteString& Reply, uint8_t Address,
    int32_t TimeoutMs)>;

// Told at the start of every attempt of a confirmed read: the request
// (instruction and data), the attempt (1 ...) and the number of attempts a
// step may take. For a caller that shows progress; an exception it raises
// ends the read and passes through.
using TReadAttemptObserver =
    std::function<void(uint8_t Instruction, const RawByteString& Data, int Attempt, int Attempts)>;

// Attempts of one confirmed read.
constexpr int kReadAttempts = 5;

// The confirmed read: up to five attempts of two transactions (to address
// 254, 500 ms); succeeds with the first reply that is non-empty and equal
// to the one after it. Reply is assigned only on success; an empty
// Transaction fails at once. Exceptions of the transaction pass through.
bool ReadConfirmed(const TVerdelTransactionCallback& Transaction, uint8_t Instruction,
                   const RawByteString& Data, RawByteString& Reply,
                   const TReadAttemptObserver& Observer = nullptr);

// Reads the whole module into Rec with confirmed reads: identification,
// channel configuration and watching of channels 1-4 and 0, the 4-20 mA
// flags, communication settings, user data, production data; pauses 100 ms
// after the identification. Address is not used (every read goes to 254).
// Returns false without touching Rec when Transaction is empty; a failed
// step raises the general error "Device not responding ($F3)" and its
// siblings and leaves Rec partly filled; decoder and transaction errors pass
// through.
// Observer, when given, is told of every attempt of every step.
bool IdentifyModule(TKelvorec& Rec, uint8_t Address, const TVerdelTransactionCallback& Transaction,
                    const TReadAttemptObserver& Observer = nullptr);

// ---------------------------------------------------------------------------
// Change lists and write commands (working copy against the record read
// from the module). Texts are compared as stored, at most their width, with
// trailing spaces; floats as singles; bytes as numbers.

// Items 0x12, 0x13, 0x15, 0x16, 0x17, 0x18, 0x19 and - only when
// Device.HasGain - 0x1A, in this order, each only when it differs; empty
// when nothing differs.
RawByteString BuildChannelConfigChanges(const TChannelConfig& Working, const TChannelConfig& Device);

// Items 0x12-0x18 (flags, limits, hysteresis and their texts), in order,
// each only when it differs; empty when nothing differs.
RawByteString BuildChannelWatchChanges(const TChannelWatch& Working, const TChannelWatch& Device);

// Data of each write command (Channel 1-4).
RawByteString BuildCommSettingsData(const TKelvoVerdel& Working);  // 0xE0: [address][speed]
RawByteString BuildUserDataData(std::string_view UserData);        // 0xE2: [0] + trimmed, 16
RawByteString BuildChannelNameData(uint8_t Channel, std::string_view Name);  // 0x2B: [i] + 21
RawByteString BuildChannelConfigData(uint8_t Channel, const RawByteString& Changes);  // 0x1E
RawByteString BuildSensor4to20mAData(uint8_t Channel, uint8_t Sensor4to20mA);         // 0x1A
RawByteString BuildChannelWatchData(uint8_t Channel, const RawByteString& Changes);   // 0x1C

// One write of a save. The sender puts 0xE4 (no data) before it; both go to
// the device record's Address with kWriteTimeoutMs, replies not examined.
struct TKelvoWriteCommand {
    uint8_t Instruction = 0;
    RawByteString Data;
    // When not empty: hand this to SetConnectionString of the connected
    // interface right after this command (e.g. "baudrate=19200").
    std::string ConnectionStringAfter;

    bool operator==(const TKelvoWriteCommand&) const = default;
};

// The writes of one save, in the order they go out: user data, then for
// channel 1-4 name, configuration, 4-20 mA flag, watching, and last the
// communication settings (when the address differs, or the speed differs on
// a KelvoRS), which a module may apply at once. Empty when nothing the
// module accepts back differs.
std::vector<TKelvoWriteCommand> BuildSaveCommands(const TKelvorec& Working, const TKelvorec& Device);

}  // namespace kelvo
