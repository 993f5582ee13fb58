#include "uSimModule.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <numbers>

#include "uVerdel97.h"

namespace kelvo {

namespace {

constexpr uint8_t kBroadcast = 0xFE;
constexpr uint8_t kWriteEnable = 0xE4;
// What the chattering device sends, again and again.
constexpr std::string_view kChatterLine = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";

// The module's receive buffer: a frame announcing more than this is taken
// for noise rather than waited for.
constexpr size_t kMaxRequestFrame = 1024;
// The logs keep this many entries; older ones are dropped (kelvo-sim may
// serve live values for days).
constexpr size_t kMaxLogEntries = 100000;

// Due times compare on a wrapping 32-bit millisecond counter.
bool DueBy(uint32_t Due, uint32_t Now)
{
    return static_cast<int32_t>(Due - Now) <= 0;
}

// A UART understands bytes sent at a speed within a few percent of its own.
bool SpeedMatches(uint32_t Host, uint32_t Own)
{
    if (Host == 0 || Own == 0)
        return false;
    uint64_t diff = Host > Own ? Host - Own : Own - Host;
    return diff * 100 <= uint64_t(Own) * 2;
}

// Gap after which a request that stopped half way is forgotten: a module
// restarts its frame search when the line has been quiet that long.
uint32_t FrameGapMs(uint32_t Speed)
{
    return 20 + (Speed ? (20000 + Speed - 1) / Speed : 0);  // 20 ms + two character times
}

void AppendU16(RawByteString& Out, uint16_t V)
{
    Out += static_cast<char>(V >> 8);
    Out += static_cast<char>(V & 0xFF);
}

float FloatFrom(std::string_view Bytes)
{
    uint32_t bits = 0;
    for (size_t i = 0; i < 4; ++i)
        bits = (bits << 8) | static_cast<uint8_t>(Bytes[i]);
    return std::bit_cast<float>(bits);
}

// Fixed-point text of Value with Decimals places, right-justified in Width,
// independent of the process locale (a module formats with a point).
RawByteString ValueText(double Value, uint8_t Decimals, size_t Width)
{
    char buf[64];
    int precision = std::min<int>(Decimals, 9);
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, Value, std::chars_format::fixed, precision);
    std::string text = ec == std::errc() ? std::string(buf, p) : std::string("?");
    if (text.size() >= Width)
        return text.substr(0, Width);
    return std::string(Width - text.size(), ' ') + text;
}

// Widths of the value of each item code in the two item-list kinds; 0 for a
// code the module does not accept.
size_t ConfigItemWidth(uint8_t Code)
{
    switch (Code) {
    case 0x11: return 21;
    case 0x12: return 15;
    case 0x13:
    case 0x14: return 5;
    case 0x15: return 1;
    case 0x16: return 4;
    case 0x17: return 10;
    case 0x18: return 4;
    case 0x19: return 10;
    case 0x1A: return 1;
    case 0x20: return 1;
    default: return 0;
    }
}

size_t WatchItemWidth(uint8_t Code)
{
    switch (Code) {
    case 0x12: return 1;
    case 0x13: return 4;
    case 0x14: return 10;
    case 0x15: return 4;
    case 0x16: return 10;
    case 0x17: return 4;
    case 0x18: return 10;
    case 0x1A: return 1;
    default: return 0;
    }
}

bool ApplyConfigItem(TSimChannel& C, uint8_t Code, std::string_view V)
{
    switch (Code) {
    case 0x11: C.Name = V; return true;
    case 0x12: C.RangeText = V; return true;
    case 0x13: C.Unit = V; return true;
    case 0x14: C.Unit2 = V; return true;
    case 0x15: C.Decimals = static_cast<uint8_t>(V[0]); return true;
    case 0x16: C.Slope = FloatFrom(V); return true;
    case 0x17: C.SlopeText = V; return true;
    case 0x18: C.Offset = FloatFrom(V); return true;
    case 0x19: C.OffsetText = V; return true;
    case 0x1A:
        // A channel without a gain stage has no gain to set.
        if (!C.HasGain || static_cast<uint8_t>(V[0]) > 7)
            return false;
        C.GainCode = static_cast<uint8_t>(V[0]);
        return true;
    case 0x20: {
        uint8_t s = static_cast<uint8_t>(V[0]);
        if (s != 1 && s != 2)
            return false;
        C.Sensor4to20mA = s;
        return true;
    }
    default: return false;
    }
}

bool ApplyWatchItem(TSimChannel& C, uint8_t Code, std::string_view V)
{
    switch (Code) {
    case 0x12: C.WatchFlags = static_cast<uint8_t>(V[0]); return true;
    case 0x13: C.Upper = FloatFrom(V); return true;
    case 0x14: C.UpperText = V; return true;
    case 0x15: C.Lower = FloatFrom(V); return true;
    case 0x16: C.LowerText = V; return true;
    case 0x17: C.Hysteresis = FloatFrom(V); return true;
    case 0x18: C.HysteresisText = V; return true;
    case 0x1A: {
        uint8_t v = static_cast<uint8_t>(V[0]);
        if (v > 1)
            return false;
        C.ExtraFlag = v == 1;
        return true;
    }
    default: return false;
    }
}

// Applies a whole item list ([0x01][channel] items ... ) to Channels, or
// nothing at all when any part of it is refused.
bool ApplyItemList(std::array<TSimChannel, 4>& Channels, std::string_view List, bool Watch)
{
    std::array<TSimChannel, 4> work = Channels;
    TSimChannel* current = nullptr;
    size_t i = 0;
    if (List.empty() || static_cast<uint8_t>(List[0]) != 0x01)
        return false;
    while (i < List.size()) {
        uint8_t code = static_cast<uint8_t>(List[i++]);
        if (code == 0x01) {
            if (i >= List.size())
                return false;
            uint8_t n = static_cast<uint8_t>(List[i++]);
            if (n < 1 || n > 4)
                return false;
            current = &work[n - 1];
            continue;
        }
        size_t width = Watch ? WatchItemWidth(code) : ConfigItemWidth(code);
        if (width == 0 || current == nullptr || List.size() - i < width)
            return false;
        std::string_view value = List.substr(i, width);
        i += width;
        if (!(Watch ? ApplyWatchItem(*current, code, value) : ApplyConfigItem(*current, code, value)))
            return false;
    }
    Channels = work;
    return true;
}

bool IsWrite(uint8_t Instruction)
{
    switch (Instruction) {
    case 0xE0:
    case 0xE2:
    case 0x2B:
    case 0x1E:
    case 0x1A:
    case 0x1C:
        return true;
    default:
        return false;
    }
}

template <typename T>
void Capped(std::vector<T>& Log, T Entry)
{
    if (Log.size() >= kMaxLogEntries)
        Log.erase(Log.begin(), Log.begin() + kMaxLogEntries / 2);
    Log.push_back(std::move(Entry));
}

}  // namespace

// ---------------------------------------------------------------------------
// Module-side encodings.

RawByteString SimText(std::string_view Text, size_t Width)
{
    RawByteString r(Text.substr(0, std::min(Text.size(), Width)));
    r.resize(Width, ' ');
    return r;
}

RawByteString SimFloatBytes(float Value)
{
    uint32_t bits = std::bit_cast<uint32_t>(Value);
    RawByteString r(4, '\0');
    for (int i = 3; i >= 0; --i) {
        r[i] = static_cast<char>(bits & 0xFF);
        bits >>= 8;
    }
    return r;
}

RawByteString SimChannelConfigList(const TSimChannel& C, uint8_t Number)
{
    RawByteString r;
    r += '\x01';
    r += static_cast<char>(Number);
    r += '\x11' + SimText(C.Name, 21);
    r += '\x12' + SimText(C.RangeText, 15);
    r += '\x13' + SimText(C.Unit, 5);
    r += '\x14' + SimText(C.Unit2, 5);
    r += '\x15';
    r += static_cast<char>(C.Decimals);
    r += '\x16' + SimFloatBytes(C.Slope);
    r += '\x17' + SimText(C.SlopeText, 10);
    r += '\x18' + SimFloatBytes(C.Offset);
    r += '\x19' + SimText(C.OffsetText, 10);
    if (C.HasGain) {
        r += '\x1A';
        r += static_cast<char>(C.GainCode);
    }
    r += '\x20';
    r += static_cast<char>(C.Sensor4to20mA);
    return r + C.ExtraConfigItems;
}

RawByteString SimChannelWatchList(const TSimChannel& C, uint8_t Number)
{
    RawByteString r;
    r += '\x01';
    r += static_cast<char>(Number);
    r += '\x12';
    r += static_cast<char>(C.WatchFlags);
    r += '\x13' + SimFloatBytes(C.Upper);
    r += '\x14' + SimText(C.UpperText, 10);
    r += '\x15' + SimFloatBytes(C.Lower);
    r += '\x16' + SimText(C.LowerText, 10);
    r += '\x17' + SimFloatBytes(C.Hysteresis);
    r += '\x18' + SimText(C.HysteresisText, 10);
    r += '\x1A';
    r += C.ExtraFlag ? '\x01' : '\x00';
    return r + C.ExtraWatchItems;
}

RawByteString SimValueBlock(const TSimChannel& C, uint8_t Number, uint32_t Now)
{
    uint8_t status = 0;
    double count = 0;
    switch (C.Live) {
    case TSimLiveMode::Normal: {
        uint32_t period = C.LivePeriodMs ? C.LivePeriodMs : 1;
        double phase = 2 * std::numbers::pi * double(Now % period) / double(period) +
                       (Number - 1) * std::numbers::pi / 2;
        count = C.LiveCenter + C.LiveSwing * std::sin(phase);
        status = 0x80;
        if (count < 0 || count > 10000)
            status |= 0x04;
        break;
    }
    case TSimLiveMode::Overrange:
        count = 11000;
        status = 0x84;
        break;
    case TSimLiveMode::Invalid:
        break;
    }

    RawByteString r;
    r += static_cast<char>(Number);
    r += static_cast<char>(status);
    if (C.Live == TSimLiveMode::Invalid) {
        AppendU16(r, 0);
        r += SimFloatBytes(0);
        r += "      ----";
        return r;
    }
    double raw = std::clamp(std::round(count), 0.0, 65535.0);
    AppendU16(r, static_cast<uint16_t>(raw));
    double value = double(C.Offset) + double(C.Slope) * count;
    r += SimFloatBytes(static_cast<float>(value));
    r += ValueText(value, C.Decimals, 10);
    return r;
}

// ---------------------------------------------------------------------------

TSimModule::TSimModule(TSimSettings Settings) : FState(std::move(Settings)) {}

void TSimModule::Feed(std::string_view Bytes, uint32_t LineSpeed, uint32_t Now)
{
    std::vector<TSimRequest> entries;
    {
        std::lock_guard lock(FLock);
        TSimSchedule schedule = ServeLocked(Bytes, LineSpeed, Now, entries);
        // A reply waits for the output before it: one line, one sender.
        uint32_t due = Now;
        if (!FOut.empty() && !DueBy(FOut.back().Due, Now))
            due = FOut.back().Due;
        for (TSimChunk& c : schedule) {
            due += c.DelayMs;
            FOut.push_back({due, std::move(c.Bytes)});
        }
    }
    Notify(entries);
}

RawByteString TSimModule::Poll(uint32_t Now)
{
    std::lock_guard lock(FLock);
    RawByteString out;
    size_t n = 0;
    while (n < FOut.size() && DueBy(FOut[n].Due, Now))
        out += FOut[n++].Bytes;
    FOut.erase(FOut.begin(), FOut.begin() + n);

    if (const uint32_t period = FState.Faults.ChatterEveryMs) {
        if (!FChatterStarted) {
            FChatterStarted = true;
            FNextChatter = Now;
        }
        // A host that did not look for a long time gets a few lines, not
        // the whole backlog.
        for (int lines = 0; lines < 8 && DueBy(FNextChatter, Now); ++lines) {
            out += kChatterLine;
            FNextChatter += period;
        }
        if (DueBy(FNextChatter, Now))
            FNextChatter = Now + period;
    }
    return out;
}

std::optional<uint32_t> TSimModule::NextDue() const
{
    std::lock_guard lock(FLock);
    std::optional<uint32_t> next;
    if (!FOut.empty())
        next = FOut.front().Due;
    if (FState.Faults.ChatterEveryMs && FChatterStarted && (!next || DueBy(FNextChatter, *next)))
        next = FNextChatter;
    return next;
}

void TSimModule::DiscardOutput()
{
    std::lock_guard lock(FLock);
    FOut.clear();
}

TSimSchedule TSimModule::Serve(std::string_view Bytes, uint32_t LineSpeed, uint32_t Now)
{
    std::vector<TSimRequest> entries;
    TSimSchedule schedule;
    {
        std::lock_guard lock(FLock);
        schedule = ServeLocked(Bytes, LineSpeed, Now, entries);
    }
    Notify(entries);
    return schedule;
}

TSimSettings TSimModule::Settings() const
{
    std::lock_guard lock(FLock);
    return FState;
}

uint32_t TSimModule::LineSpeed() const
{
    std::lock_guard lock(FLock);
    return SimLineSpeed(FState);
}

void TSimModule::SetFaults(const TSimFaults& Faults)
{
    std::lock_guard lock(FLock);
    FState.Faults = Faults;
    if (!Faults.ChatterEveryMs)
        FChatterStarted = false;
}

bool TSimModule::Gone() const
{
    std::lock_guard lock(FLock);
    return FGone;
}

void TSimModule::Revive()
{
    std::lock_guard lock(FLock);
    FGone = false;
    FRx.clear();
}

std::vector<TSimRequest> TSimModule::RequestLog() const
{
    std::lock_guard lock(FLock);
    return FRequests;
}

std::vector<TSimWrite> TSimModule::WriteLog() const
{
    std::lock_guard lock(FLock);
    return FWrites;
}

void TSimModule::ClearLogs()
{
    std::lock_guard lock(FLock);
    FRequests.clear();
    FWrites.clear();
}

// ---------------------------------------------------------------------------

TSimSchedule TSimModule::ServeLocked(std::string_view Bytes, uint32_t LineSpeed, uint32_t Now,
                                     std::vector<TSimRequest>& NewEntries)
{
    TSimSchedule out;
    RawByteString noise;  // bytes that turned out to be no request
    const uint32_t own = SimLineSpeed(FState);
    auto flushNoise = [&] {
        if (noise.empty())
            return;
        TSimRequest e;
        e.Time = Now;
        e.LineSpeed = LineSpeed;
        e.Bytes = std::move(noise);
        noise.clear();
        Record(std::move(e), NewEntries);
    };

    // A request that stopped half way is forgotten after a quiet line.
    if (!FRx.empty() && static_cast<uint32_t>(Now - FLastRx) > FrameGapMs(own)) {
        noise += FRx;
        FRx.clear();
    }
    flushNoise();

    if (!SpeedMatches(LineSpeed, own)) {
        // At the wrong speed the module's UART sees garbage; whatever part
        // of a request it held is broken too.
        noise = FRx + RawByteString(Bytes);
        FRx.clear();
        flushNoise();
        return out;
    }

    FRx.append(Bytes.data(), Bytes.size());
    if (!Bytes.empty())
        FLastRx = Now;

    // Frame search: a frame starts with "*a", its length field says where it
    // ends; a candidate that does not check is one noise byte, and the
    // search goes on at the next byte.
    for (;;) {
        size_t star = FRx.find('*');
        if (star == RawByteString::npos) {
            noise += FRx;
            FRx.clear();
            break;
        }
        if (star > 0) {
            noise.append(FRx, 0, star);
            FRx.erase(0, star);
        }
        if (FRx.size() < 2)
            break;
        if (FRx[1] != 'a') {
            noise += FRx[0];
            FRx.erase(0, 1);
            continue;
        }
        if (FRx.size() < 4)
            break;
        size_t total = size_t(ByteAt(FRx, 2)) * 256 + ByteAt(FRx, 3) + 4;
        if (total < 9 || total > kMaxRequestFrame) {
            noise += FRx[0];
            FRx.erase(0, 1);
            continue;
        }
        if (FRx.size() < total)
            break;
        RawByteString frame = FRx.substr(0, total);
        if (CheckVerdel97Packet(frame) != 0) {
            noise += FRx[0];
            FRx.erase(0, 1);
            continue;
        }
        FRx.erase(0, total);
        flushNoise();
        HandleFrame(frame, LineSpeed, Now, out, NewEntries);
    }
    flushNoise();
    return out;
}

void TSimModule::HandleFrame(const RawByteString& Frame, uint32_t LineSpeed, uint32_t Now,
                             TSimSchedule& Out, std::vector<TSimRequest>& NewEntries)
{
    TVerdelFormat97 f;
    ParseVerdel97Packet(Frame, f);

    TSimRequest e;
    e.Time = Now;
    e.LineSpeed = LineSpeed;
    e.Bytes = Frame;
    e.Address = f.Address;
    e.Instruction = f.Code;
    e.Data = f.Data;

    const uint8_t address = FState.Address;
    if (f.Address != address && f.Address != kBroadcast) {
        e.Outcome = TSimOutcome::OtherAddress;
        Record(std::move(e), NewEntries);
        return;
    }
    // Not heard at all: the state (0xE4 included) stays as it was.
    const TSimFaults& faults = FState.Faults;
    bool dropped = FGone || faults.Silent || faults.ChatterEveryMs;
    if (!dropped && faults.EverySecond)
        dropped = (FHeard++ % 2) == 1;
    if (dropped) {
        e.Outcome = TSimOutcome::Dropped;
        Record(std::move(e), NewEntries);
        return;
    }

    // The reply leaves at the speed the module had when it was asked, from
    // the address it had then; a write of new settings takes effect after it.
    const uint32_t speed = SimLineSpeed(FState);
    RawByteString replyData;
    uint8_t ack = f.Code;
    TSimOutcome outcome = TSimOutcome::Answered;
    Answer(f.Code, f.Data, Now, replyData, ack, outcome);
    FArmed = f.Code == kWriteEnable;
    e.Outcome = outcome;

    // The faults that change what goes out, in the order a real line would
    // add them: content, checksum, a stray byte, then a cut.
    if (FState.Faults.Unstable && (FReplies % 2) == 1 && !replyData.empty())
        replyData.back() = static_cast<char>(replyData.back() ^ 0x01);
    RawByteString frame = BuildVerdel97Packet(address, f.Signature, ack, replyData);
    if (FState.Faults.UnparsableFrame) {
        // Length 4: one byte short of the shortest frame with a code; the
        // checksum and terminator are right, so only parsing refuses it.
        frame = Bytes({0x2A, 0x61, 0x00, 0x04, address, f.Signature});
        frame += static_cast<char>(Verdel97CheckSum(frame));
        frame += '\r';
    }
    if (FState.Faults.BadChecksum)
        frame[frame.size() - 2] = static_cast<char>(ByteAt(frame, frame.size() - 2) ^ 0x5A);
    if (FState.Faults.StrayByte)
        frame.insert(frame.begin(), static_cast<char>(FState.Faults.StrayValue));
    if (FState.Faults.VanishAfter >= 0 && FReplies == uint64_t(FState.Faults.VanishAfter)) {
        frame.resize(std::max<size_t>(1, frame.size() / 2));
        FGone = true;
    }
    ++FReplies;

    Schedule(frame, speed, Out, e.Reply);
    Record(std::move(e), NewEntries);
}

bool TSimModule::Answer(uint8_t Instruction, const RawByteString& Data, uint32_t Now,
                        RawByteString& ReplyData, uint8_t& AckCode, TSimOutcome& Outcome)
{
    auto refuse = [&](TSimOutcome Why) {
        ReplyData.clear();
        AckCode = kSimRefusedCode;
        Outcome = Why;
        return false;
    };
    const TSimSettings& s = FState;
    if (s.Model == TSimModel::Foreign && Instruction != 0xF3)
        return refuse(TSimOutcome::Unknown);

    switch (Instruction) {
    case 0xF3:
        ReplyData = s.Identification.empty() ? SimIdentificationText(s.Model) : s.Identification;
        return true;
    case 0x1F:
    case 0x1D: {
        if (Data.size() != 1 || ByteAt(Data, 0) > 4)
            return refuse(TSimOutcome::Rejected);
        uint8_t n = ByteAt(Data, 0);
        for (uint8_t i = 1; i <= 4; ++i) {
            if (n != 0 && n != i)
                continue;
            const TSimChannel& c = s.Channels[i - 1];
            ReplyData += Instruction == 0x1F ? SimChannelConfigList(c, i) : SimChannelWatchList(c, i);
        }
        return true;
    }
    case 0x1B:
        for (uint8_t i = 1; i <= 4; ++i) {
            ReplyData += static_cast<char>(i);
            ReplyData += static_cast<char>(s.Channels[i - 1].Sensor4to20mA);
        }
        return true;
    case 0xF0:
        ReplyData += static_cast<char>(s.Address);
        ReplyData += static_cast<char>(s.SpeedCode);
        return true;
    case 0xF2:
        ReplyData = SimText(s.UserData, 16);
        return true;
    case 0xFA:
        AppendU16(ReplyData, s.ProductCode);
        AppendU16(ReplyData, s.SerialNumber);
        return true;
    case 0x58:
        for (uint8_t i = 1; i <= 4; ++i)
            ReplyData += SimValueBlock(s.Channels[i - 1], i, Now);
        return true;
    case kWriteEnable:
        return true;
    default:
        break;
    }
    if (!IsWrite(Instruction))
        return refuse(TSimOutcome::Unknown);
    if (FState.Faults.IgnoreWrites)
        return true;
    if (!FArmed || !ApplyWrite(Instruction, Data))
        return refuse(TSimOutcome::Rejected);
    Capped(FWrites, TSimWrite{Instruction, Data});
    Outcome = TSimOutcome::Applied;
    return true;
}

bool TSimModule::ApplyWrite(uint8_t Instruction, const RawByteString& Data)
{
    TSimSettings& s = FState;
    switch (Instruction) {
    case 0xE0:
        if (Data.size() != 2 || ByteAt(Data, 0) > 253)
            return false;
        // Its own code back leaves the line as it is, also a code that names
        // no speed; another such code is refused.
        if (ByteAt(Data, 1) != s.SpeedCode) {
            if (SimSpeedOfCode(ByteAt(Data, 1)) == 0)
                return false;
            s.SpeedCode = ByteAt(Data, 1);
            s.LineSpeed = 0;  // from now on the module runs at the speed of its code
        }
        s.Address = ByteAt(Data, 0);
        return true;
    case 0xE2:
        if (Data.empty() || Data.size() > 17 || Data[0] != '\0')
            return false;
        s.UserData = Data.substr(1);
        return true;
    case 0x2B:
        if (Data.empty() || Data.size() > 22 || ByteAt(Data, 0) < 1 || ByteAt(Data, 0) > 4)
            return false;
        s.Channels[ByteAt(Data, 0) - 1].Name = Data.substr(1);
        return true;
    case 0x1A:
        if (Data.size() != 2 || ByteAt(Data, 0) < 1 || ByteAt(Data, 0) > 4 ||
            (ByteAt(Data, 1) != 1 && ByteAt(Data, 1) != 2))
            return false;
        s.Channels[ByteAt(Data, 0) - 1].Sensor4to20mA = ByteAt(Data, 1);
        return true;
    case 0x1E:
        return ApplyItemList(s.Channels, Data, false);
    case 0x1C:
        return ApplyItemList(s.Channels, Data, true);
    default:
        return false;
    }
}

void TSimModule::Schedule(const RawByteString& Frame, uint32_t Speed, TSimSchedule& Out, RawByteString& Sent)
{
    const TSimFaults& faults = FState.Faults;
    // Each byte's due time in microseconds after the request: the reply
    // delay, the chunk pauses before it and, on a slow line, the ten bit
    // times of every byte up to and including it.
    const double byteUs = faults.SlowLine && Speed ? 10e6 / Speed : 0;
    uint32_t prevMs = 0;
    for (size_t i = 0; i < Frame.size(); ++i) {
        bool split = faults.ChunkSize > 0 && i % faults.ChunkSize == 0;
        double pauses = faults.ChunkSize > 0 ? double(i / faults.ChunkSize) * faults.ChunkPauseMs * 1000.0 : 0;
        double t = FState.ReplyDelayMs * 1000.0 + pauses + double(i + 1) * byteUs;
        uint32_t ms = static_cast<uint32_t>(std::ceil(t / 1000.0 - 1e-6));
        if (i == 0 || ms != prevMs || split) {
            Out.push_back({ms - prevMs, RawByteString()});
            prevMs = ms;
        }
        Out.back().Bytes += Frame[i];
    }
    // Out may already hold the chunks of an earlier frame of the same feed:
    // this reply's delays count from the end of that one.
    Sent += Frame;
}

void TSimModule::Record(TSimRequest Entry, std::vector<TSimRequest>& NewEntries)
{
    NewEntries.push_back(Entry);
    Capped(FRequests, std::move(Entry));
}

void TSimModule::Notify(const std::vector<TSimRequest>& NewEntries)
{
    if (!OnRequest)
        return;
    for (const TSimRequest& e : NewEntries)
        OnRequest(e);
}

}  // namespace kelvo
