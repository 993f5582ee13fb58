#pragma once
// What a simulated Kelvo module is: its model, communication settings,
// production data, the setup of its four channels and the faults it shows.
// A plain value type; the simulator starts from one and reports its current
// state (writes applied) as one.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "uByteString.h"

namespace kelvo {

enum class TSimModel : uint8_t { KelvoUSB, KelvoETH, KelvoRS, Tarnel, Foreign };

// How a channel's live value behaves.
enum class TSimLiveMode : uint8_t {
    Normal,     // a slow wave around LiveCenter; overranged while it leaves 0..10000
    Overrange,  // always valid and overranged
    Invalid     // never valid
};

// One input channel: configuration, watching and live value. Texts are kept
// as given; replies send them left-justified and space-padded to their width
// (21 name, 15 range, 5 units, 10 number texts), cut when longer.
struct TSimChannel {
    std::string Name;
    std::string RangeText;
    std::string Unit;
    std::string Unit2;
    uint8_t Decimals = 0;
    float Slope = 0;   // (range maximum - range minimum) / 10000
    float Offset = 0;  // range minimum
    std::string SlopeText;
    std::string OffsetText;
    bool HasGain = false;  // the configuration list carries a gain item
    uint8_t GainCode = 0;  // gain 2^GainCode
    uint8_t Sensor4to20mA = 2;  // 1 = 4-20 mA sensor connected, 2 = not

    uint8_t WatchFlags = 0;  // bit 7: watching on
    float Upper = 0;
    float Lower = 0;
    float Hysteresis = 0;
    std::string UpperText;
    std::string LowerText;
    std::string HysteresisText;
    bool ExtraFlag = false;

    // Appended verbatim to this channel's configuration / watching list, so
    // that a test can make the module report items the program does not know.
    RawByteString ExtraConfigItems;
    RawByteString ExtraWatchItems;

    TSimLiveMode Live = TSimLiveMode::Normal;
    double LiveCenter = 5000;    // module count around which the value moves
    double LiveSwing = 1500;     // amplitude of the wave, in counts
    uint32_t LivePeriodMs = 20000;
};

// Misbehaviour, each switchable on its own.
struct TSimFaults {
    bool Silent = false;         // hears requests, never answers
    size_t ChunkSize = 0;        // > 0: replies go out in pieces of this many bytes ...
    uint32_t ChunkPauseMs = 20;  // ... with this pause between the pieces
    bool StrayByte = false;      // one byte before every reply frame
    uint8_t StrayValue = 0x00;
    bool BadChecksum = false;    // every reply carries a wrong checksum
    bool Unstable = false;       // no reply equals the one before it
    bool EverySecond = false;    // hears only the first, third, fifth ... request
    bool SlowLine = false;       // each byte leaves when the line speed lets it
    // >= 0: after this many replies the module starts one more, stops half
    // way and is gone for good (an unplugged cable); -1: never.
    int32_t VanishAfter = -1;
    // > 0: not a module at all but a device that talks on its own (a GPS
    // receiver, a scanner): a line of text this often, whatever the host
    // sends; requests are never answered.
    uint32_t ChatterEveryMs = 0;
    // Every request is answered with an 8-byte frame that passes the frame
    // check but cannot be parsed (length field 4): a foreign protocol that
    // happens to look like ours.
    bool UnparsableFrame = false;
    // Answers writes as if it took them, but keeps its settings (a module
    // with its configuration locked).
    bool IgnoreWrites = false;
};

struct TSimSettings {
    TSimModel Model = TSimModel::KelvoUSB;
    std::string Identification;  // reply to 0xF3; empty: the model's own text
    uint8_t Address = 1;         // 0..253
    uint8_t SpeedCode = 6;       // reported by 0xF0; 0..11 name a line speed
    // The line speed the module listens at, bit/s; 0: the speed of SpeedCode
    // (9600 when the code names none). Lets a module report a code it does
    // not run at.
    uint32_t LineSpeed = 0;
    std::string UserData;        // reply to 0xF2, 16 characters
    uint16_t ProductCode = 42;
    uint16_t SerialNumber = 256;
    std::array<TSimChannel, 4> Channels;
    uint32_t ReplyDelayMs = 0;   // time between the end of a request and its reply
    TSimFaults Faults;
};

// The default module of a model: address 1, 9600 bit/s and four plausible
// channels (pressure on a 4-20 mA sensor, temperature, humidity, flow).
TSimSettings DefaultSimSettings(TSimModel Model = TSimModel::KelvoUSB);

// The text a model answers the identification with, e.g. "KelvoUSB 4AI v1.07".
std::string SimIdentificationText(TSimModel Model);

// "usb", "eth", "rs", "tarnel", "foreign" or the model names ("KelvoRS"),
// in any letter case.
std::optional<TSimModel> ParseSimModel(std::string_view Text);

// Bit/s of speed codes 0..11 (110 ... 230400); 0 for other codes.
uint32_t SimSpeedOfCode(uint8_t Code);

// The line speed a module with these settings listens at.
uint32_t SimLineSpeed(const TSimSettings& Settings);

// Applies one channel option of the form "N:key=value,key=value..." to
// channel N (1-4). Keys: name, range, unit, unit2, decimals, min, max
// (the input range; sets offset and slope), offset, slope, slopetext,
// offsettext, gain (code 0-7 or "none"), sensor (on/off or 1/2), watch
// (on/off), flags (0-255), upper, lower, hyst, uppertext, lowertext,
// hysttext, extra (0/1), live (normal/overrange/invalid), center, swing,
// period (ms). Raises EConvertError naming what is wrong; keys before a bad
// one stay applied.
void ApplySimChannelOption(TSimSettings& Settings, std::string_view Option);

}  // namespace kelvo
