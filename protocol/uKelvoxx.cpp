#include "uKelvoxx.h"

#include <algorithm>
#include <cstdio>

#include "uConversionUtils.h"
#include "uExceptions.h"
#include "uMessageSink.h"
#include "uTickUtils.h"

namespace kelvo {

namespace {

constexpr uint32_t kSpeeds[kSpeedCodeCount] = {110,   300,   600,   1200,  2400,   4800,
                                               9600,  19200, 38400, 57600, 115200, 230400};

// Item codes of the channel configuration lists (reply to 0x1F, write 0x1E).
enum : uint8_t {
    kItemChannel = 0x01,
    kCfgName = 0x11,
    kCfgRangeText = 0x12,
    kCfgUnit = 0x13,
    kCfgUnit2 = 0x14,
    kCfgDecimals = 0x15,
    kCfgSlope = 0x16,
    kCfgSlopeText = 0x17,
    kCfgOffset = 0x18,
    kCfgOffsetText = 0x19,
    kCfgGain = 0x1A,
    kCfgSensor4to20mA = 0x20,
};

// Item codes of the watching lists (reply to 0x1D, write 0x1C).
enum : uint8_t {
    kWatchFlags = 0x12,
    kWatchUpper = 0x13,
    kWatchUpperText = 0x14,
    kWatchLower = 0x15,
    kWatchLowerText = 0x16,
    kWatchHysteresis = 0x17,
    kWatchHysteresisText = 0x18,
    kWatchExtraFlag = 0x1A,
    // Reported by the module, not used by the program: skipped with their byte.
    kWatchSkip1B = 0x1B,
    kWatchSkip20 = 0x20,
    kWatchSkip21 = 0x21,
};

std::string HexByte(uint8_t b)
{
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02X", b);
    return buf;
}

void ReportUnknownItem(char ListLetter, uint8_t Code)
{
    ShowMessage(std::string(1, ListLetter) + " Unknown param #" + std::to_string(Code) + " (" +
                HexByte(Code) + ")");
}

// The slot of the current channel of an item list; channel 0 means no
// channel item has come yet.
template <typename T>
T& ChannelSlot(std::array<T, 4>& Slots, unsigned Channel, uint8_t Code)
{
    if (Channel == 0)
        throw ERangeError("Item list: item $" + HexByte(Code) + " before any channel item");
    if (Channel > 4)
        throw ERangeError("Item list: channel number " + std::to_string(Channel) +
                          " out of range 1-4");
    return Slots[Channel - 1];
}

// The text as a fixed-width field holds it: at most Width bytes.
std::string_view Stored(std::string_view Text, size_t Width)
{
    return Text.substr(0, Width);
}

void AppendByteItem(RawByteString& List, uint8_t Code, uint8_t Working, uint8_t Device)
{
    if (Working != Device) {
        List.push_back(static_cast<char>(Code));
        List.push_back(static_cast<char>(Working));
    }
}

void AppendFloatItem(RawByteString& List, uint8_t Code, float Working, float Device)
{
    if (!SameSingle(Working, Device)) {
        List.push_back(static_cast<char>(Code));
        List += FloatToStrBin(Working);
    }
}

void AppendTextItem(RawByteString& List, uint8_t Code, size_t Width, const std::string& Working,
                    const std::string& Device)
{
    if (Stored(Working, Width) != Stored(Device, Width)) {
        List.push_back(static_cast<char>(Code));
        List += FitText(Working, Width);
    }
}

RawByteString ChannelPrefixed(uint8_t Lead, uint8_t Channel, std::string_view Rest)
{
    RawByteString data;
    data.push_back(static_cast<char>(Lead));
    data.push_back(static_cast<char>(Channel));
    data += Rest;
    return data;
}

}  // namespace

// ---------------------------------------------------------------------------

std::string ModelName(uint8_t Model)
{
    switch (Model) {
    case kModelKelvoUSB:
        return "KelvoUSB";
    case kModelKelvoETH:
        return "KelvoETH";
    case kModelKelvoRS:
        return "KelvoRS";
    case kModelTarnel:
        return "Tarnel";
    default:
        return "";
    }
}

uint8_t ModelFromIdentification(std::string_view Text)
{
    const std::string upper = UpperCaseText(Text);
    if (upper.find("USB") != std::string::npos)
        return kModelKelvoUSB;
    if (upper.find("ETH") != std::string::npos)
        return kModelKelvoETH;
    if (upper.find("TARNEL") != std::string::npos)
        return kModelTarnel;
    if (upper.find("RS") != std::string::npos)
        return kModelKelvoRS;
    return kModelOther;
}

bool IsKelvoFamilyReply(std::string_view Reply)
{
    return Reply.find("Kelvo") != std::string_view::npos ||
           UpperCaseText(Reply).find("TARNEL") != std::string::npos;
}

uint32_t SpeedCodeToBaudRate(uint8_t Code)
{
    return Code < kSpeedCodeCount ? kSpeeds[Code] : 0;
}

std::optional<uint8_t> BaudRateToSpeedCode(uint32_t BaudRate)
{
    for (uint8_t code = 0; code < kSpeedCodeCount; ++code)
        if (kSpeeds[code] == BaudRate)
            return code;
    return std::nullopt;
}

std::string GainText(uint8_t GainCode)
{
    if (GainCode > 7)
        return "";
    return std::to_string(1u << GainCode) + "x";
}

std::string TrimText(std::string_view Text)
{
    return std::string(TrimBlanksAndControls(Text));
}

std::string UpperCaseText(std::string_view Text)
{
    return UpperCaseAscii(Text);
}

RawByteString FitText(std::string_view Text, size_t Width)
{
    RawByteString out(Stored(Text, Width));
    out.resize(Width, ' ');
    return out;
}

std::string FormatSerialText(uint16_t ProductCode, uint16_t SerialNumber)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4d.xx.xx/%.4d", int{ProductCode}, int{SerialNumber});
    return buf;
}

// ---------------------------------------------------------------------------
// Item readers

uint32_t ReadItemUInt(std::string_view& Rest, size_t N)
{
    if (N > 4)
        throw ERangeError("Item list: integer of " + std::to_string(N) + " bytes");
    const size_t n = std::min(N, Rest.size());
    uint32_t value = 0;
    for (size_t i = 0; i < n; ++i)
        value = (value << 8) | ByteAt(Rest, i);
    Rest.remove_prefix(n);
    return value;
}

uint8_t ReadItemByte(std::string_view& Rest)
{
    if (Rest.empty())
        throw ERangeError("Item list: byte missing at the end of the data");
    const uint8_t b = ByteAt(Rest, 0);
    Rest.remove_prefix(1);
    return b;
}

std::string ReadItemText(std::string_view& Rest, size_t N)
{
    const size_t n = std::min(N, Rest.size());
    std::string text(Rest.substr(0, n));
    Rest.remove_prefix(n);
    return text;
}

float ReadItemFloat(std::string_view& Rest)
{
    const size_t n = std::min<size_t>(4, Rest.size());
    const float value = StrBinToFloat(RawByteString(Rest.substr(0, n)));
    Rest.remove_prefix(n);
    return value;
}

// ---------------------------------------------------------------------------
// Decoders

bool DecodeChannelConfig(TKelvorec& Rec, const RawByteString& Data)
{
    std::string_view rest(Data);
    unsigned channel = 0;
    while (!rest.empty()) {
        const uint8_t code = ReadItemByte(rest);
        switch (code) {
        case kItemChannel: {
            channel = ReadItemUInt(rest, 1);
            TChannelConfig& c = ChannelSlot(Rec.Channels, channel, code);
            c.Number = static_cast<uint8_t>(channel);
            c.HasGain = false;
            break;
        }
        case kCfgName:
            ChannelSlot(Rec.Channels, channel, code).Name = ReadItemText(rest, kChannelNameWidth);
            break;
        case kCfgRangeText:
            ChannelSlot(Rec.Channels, channel, code).RangeText = ReadItemText(rest, kRangeTextWidth);
            break;
        case kCfgUnit:
            ChannelSlot(Rec.Channels, channel, code).Unit = ReadItemText(rest, kUnitWidth);
            break;
        case kCfgUnit2:
            ChannelSlot(Rec.Channels, channel, code).Unit2 = ReadItemText(rest, kUnitWidth);
            break;
        case kCfgDecimals:
            ChannelSlot(Rec.Channels, channel, code).Decimals =
                static_cast<uint8_t>(ReadItemUInt(rest, 1));
            break;
        case kCfgSlope:
            ChannelSlot(Rec.Channels, channel, code).Slope = ReadItemFloat(rest);
            break;
        case kCfgSlopeText:
            ChannelSlot(Rec.Channels, channel, code).SlopeText = ReadItemText(rest, kNumberTextWidth);
            break;
        case kCfgOffset:
            ChannelSlot(Rec.Channels, channel, code).Offset = ReadItemFloat(rest);
            break;
        case kCfgOffsetText:
            ChannelSlot(Rec.Channels, channel, code).OffsetText =
                ReadItemText(rest, kNumberTextWidth);
            break;
        case kCfgGain: {
            TChannelConfig& c = ChannelSlot(Rec.Channels, channel, code);
            if (rest.empty())
                throw ERangeError("Item list: gain value missing after item $1A");
            c.GainCode = ReadItemByte(rest);
            c.HasGain = true;
            break;
        }
        case kCfgSensor4to20mA:
            ChannelSlot(Rec.Channels, channel, code).Sensor4to20mA =
                static_cast<uint8_t>(ReadItemUInt(rest, 1));
            break;
        default:
            ReportUnknownItem('A', code);
            break;
        }
    }
    return true;
}

bool DecodeChannelWatch(TKelvorec& Rec, const RawByteString& Data)
{
    std::string_view rest(Data);
    unsigned channel = 0;
    while (!rest.empty()) {
        const uint8_t code = ReadItemByte(rest);
        switch (code) {
        case kItemChannel:
            channel = ReadItemUInt(rest, 1);
            ChannelSlot(Rec.Watch, channel, code).Number = static_cast<uint8_t>(channel);
            break;
        case kWatchFlags:
            ChannelSlot(Rec.Watch, channel, code).WatchFlags =
                static_cast<uint8_t>(ReadItemUInt(rest, 1));
            break;
        case kWatchUpper:
            ChannelSlot(Rec.Watch, channel, code).Upper = ReadItemFloat(rest);
            break;
        case kWatchUpperText:
            ChannelSlot(Rec.Watch, channel, code).UpperText = ReadItemText(rest, kNumberTextWidth);
            break;
        case kWatchLower:
            ChannelSlot(Rec.Watch, channel, code).Lower = ReadItemFloat(rest);
            break;
        case kWatchLowerText:
            ChannelSlot(Rec.Watch, channel, code).LowerText = ReadItemText(rest, kNumberTextWidth);
            break;
        case kWatchHysteresis:
            ChannelSlot(Rec.Watch, channel, code).Hysteresis = ReadItemFloat(rest);
            break;
        case kWatchHysteresisText:
            ChannelSlot(Rec.Watch, channel, code).HysteresisText =
                ReadItemText(rest, kNumberTextWidth);
            break;
        case kWatchExtraFlag:
            ChannelSlot(Rec.Watch, channel, code).ExtraFlag = ReadItemUInt(rest, 1) == 1;
            break;
        case kWatchSkip1B:
        case kWatchSkip20:
        case kWatchSkip21:
            ReadItemUInt(rest, 1);
            break;
        default:
            ReportUnknownItem('B', code);
            break;
        }
    }
    return true;
}

void DecodeRecountedValue(const RawByteString& Block, TKelvoChannelRecountedValue& Value)
{
    Value.Valid = false;
    if (Block.size() != kValueBlockSize)
        throw Exception("Invalid value data length");
    const uint8_t status = ByteAt(Block, 1);
    Value.Channel = ByteAt(Block, 0);
    Value.Overrange = (status & 0x04) != 0;
    Value.Valid = (status & 0x80) != 0;
    Value.Raw = static_cast<uint16_t>(ByteAt(Block, 2) * 256u + ByteAt(Block, 3));
    Value.Value = StrBinToFloat(Block.substr(4, 4));
    Value.Text = Block.substr(8, kValueTextWidth);
}

void DecodeRecountedValues(const RawByteString& Reply,
                           std::array<TKelvoChannelRecountedValue, 4>& Values)
{
    size_t pos = 0;
    for (TKelvoChannelRecountedValue& slot : Values) {
        slot.Valid = false;
        if (Reply.size() - pos < kValueBlockSize)
            continue;
        try {
            DecodeRecountedValue(Reply.substr(pos, kValueBlockSize), slot);
        } catch (const Exception&) {
            slot.Valid = false;
        }
        pos += kValueBlockSize;
    }
}

TRecountedValueView ViewOfRecountedValue(const TKelvoChannelRecountedValue& Value)
{
    if (!Value.Valid)
        return {"-", kValueTextColor, false};
    if (Value.Overrange)
        return {"OVR ", kOverrangeColor, true};
    return {Value.Text, kValueTextColor, false};
}

// ---------------------------------------------------------------------------
// Identification

bool ReadConfirmed(const TVerdelTransactionCallback& Transaction, uint8_t Instruction,
                   const RawByteString& Data, RawByteString& Reply, const TReadAttemptObserver& Observer)
{
    if (!Transaction)
        return false;
    for (int attempt = 1; attempt <= kReadAttempts; ++attempt) {
        if (Observer)
            Observer(Instruction, Data, attempt, kReadAttempts);
        RawByteString first, second;
        if (!Transaction(Instruction, Data, first, kBroadcastAddress, kIdentifyTimeoutMs))
            continue;
        if (!Transaction(Instruction, Data, second, kBroadcastAddress, kIdentifyTimeoutMs))
            continue;
        if (!first.empty() && first == second) {
            Reply = std::move(first);
            return true;
        }
    }
    return false;
}

bool IdentifyModule(TKelvorec& Rec, uint8_t /*Address: every read goes to 254*/,
                    const TVerdelTransactionCallback& Transaction, const TReadAttemptObserver& Observer)
{
    if (!Transaction)
        return false;

    Rec.Channels = {};
    Rec.Watch = {};
    Rec.Model = kModelOther;

    RawByteString reply;
    auto read = [&](uint8_t instruction, const RawByteString& data, const char* failure) {
        if (!ReadConfirmed(Transaction, instruction, data, reply, Observer))
            throw Exception(failure);
    };
    auto channelByte = [](uint8_t channel) { return RawByteString(1, static_cast<char>(channel)); };

    read(kInstrIdentify, "", "Device not responding ($F3)");
    Rec.Info.Identification = TrimText(reply);
    Rec.Model = ModelFromIdentification(reply);

    SleepMs(100);

    for (uint8_t ch = 1; ch <= 4; ++ch) {
        read(kInstrReadChannelConfig, channelByte(ch), "Device not responding ($1F)");
        if (!DecodeChannelConfig(Rec, reply))
            throw Exception("Device not responding ($1F)");
    }
    for (uint8_t ch = 1; ch <= 4; ++ch) {
        read(kInstrReadChannelWatch, channelByte(ch), "Device not responding ($1D)");
        if (!DecodeChannelWatch(Rec, reply))
            throw Exception("Device not responding ($1D)");
    }

    read(kInstrReadChannelConfig, channelByte(0), "Device not responding");
    if (!DecodeChannelConfig(Rec, reply))
        throw Exception("Device not responding");
    read(kInstrReadChannelWatch, channelByte(0), "Device not responding");
    if (!DecodeChannelWatch(Rec, reply))
        throw Exception("Device not responding");

    read(kInstrRead4to20mA, "", "Device not responding ($1B)");
    if (reply.size() < 8)
        throw Exception("Device not responding ($1B)");
    for (size_t i = 1; i <= 4; ++i)
        Rec.Channels[i - 1].Sensor4to20mA = ByteAt(reply, 2 * i - 1);

    read(kInstrReadCommSettings, "", "Device not responding ($F0)");
    if (reply.size() != 2)
        throw Exception("Device not responding ($F0)");
    Rec.Info.Address = ByteAt(reply, 0);
    // Kept as reported, also a code that names no speed: a save that leaves
    // the speed alone must give the module back exactly its own code, never
    // one that an earlier read or a fresh record happened to hold.
    Rec.Info.SpeedCode = ByteAt(reply, 1);

    read(kInstrReadUserData, "", "Device not responding ($F2)");
    Rec.Info.UserData = TrimText(reply);

    read(kInstrReadProductionData, "", "Device not responding ($FA)");
    std::string_view production(reply);
    Rec.Info.ProductCode = static_cast<uint16_t>(ReadItemUInt(production, 2));
    Rec.Info.SerialNumber = static_cast<uint16_t>(ReadItemUInt(production, 2));
    Rec.Info.SerialText = FormatSerialText(Rec.Info.ProductCode, Rec.Info.SerialNumber);
    return true;
}

// ---------------------------------------------------------------------------
// Change lists and write commands

RawByteString BuildChannelConfigChanges(const TChannelConfig& Working, const TChannelConfig& Device)
{
    RawByteString list;
    AppendTextItem(list, kCfgRangeText, kRangeTextWidth, Working.RangeText, Device.RangeText);
    AppendTextItem(list, kCfgUnit, kUnitWidth, Working.Unit, Device.Unit);
    AppendByteItem(list, kCfgDecimals, Working.Decimals, Device.Decimals);
    AppendFloatItem(list, kCfgSlope, Working.Slope, Device.Slope);
    AppendTextItem(list, kCfgSlopeText, kNumberTextWidth, Working.SlopeText, Device.SlopeText);
    AppendFloatItem(list, kCfgOffset, Working.Offset, Device.Offset);
    AppendTextItem(list, kCfgOffsetText, kNumberTextWidth, Working.OffsetText, Device.OffsetText);
    if (Device.HasGain)
        AppendByteItem(list, kCfgGain, Working.GainCode, Device.GainCode);
    return list;
}

RawByteString BuildChannelWatchChanges(const TChannelWatch& Working, const TChannelWatch& Device)
{
    RawByteString list;
    AppendByteItem(list, kWatchFlags, Working.WatchFlags, Device.WatchFlags);
    AppendFloatItem(list, kWatchUpper, Working.Upper, Device.Upper);
    AppendTextItem(list, kWatchUpperText, kNumberTextWidth, Working.UpperText, Device.UpperText);
    AppendFloatItem(list, kWatchLower, Working.Lower, Device.Lower);
    AppendTextItem(list, kWatchLowerText, kNumberTextWidth, Working.LowerText, Device.LowerText);
    AppendFloatItem(list, kWatchHysteresis, Working.Hysteresis, Device.Hysteresis);
    AppendTextItem(list, kWatchHysteresisText, kNumberTextWidth, Working.HysteresisText,
                   Device.HysteresisText);
    return list;
}

RawByteString BuildCommSettingsData(const TKelvoVerdel& Working)
{
    return Bytes({Working.Address, Working.SpeedCode});
}

RawByteString BuildUserDataData(std::string_view UserData)
{
    return RawByteString(1, '\0') + FitText(TrimText(UserData), kUserDataWidth);
}

RawByteString BuildChannelNameData(uint8_t Channel, std::string_view Name)
{
    return RawByteString(1, static_cast<char>(Channel)) + FitText(Name, kChannelNameWidth);
}

RawByteString BuildChannelConfigData(uint8_t Channel, const RawByteString& Changes)
{
    return ChannelPrefixed(kItemChannel, Channel, Changes);
}

RawByteString BuildSensor4to20mAData(uint8_t Channel, uint8_t Sensor4to20mA)
{
    return Bytes({Channel, Sensor4to20mA});
}

RawByteString BuildChannelWatchData(uint8_t Channel, const RawByteString& Changes)
{
    return ChannelPrefixed(kItemChannel, Channel, Changes);
}

std::vector<TKelvoWriteCommand> BuildSaveCommands(const TKelvorec& Working, const TKelvorec& Device)
{
    std::vector<TKelvoWriteCommand> commands;
    const TKelvoVerdel& w = Working.Info;
    const TKelvoVerdel& d = Device.Info;

    if (TrimText(w.UserData) != TrimText(d.UserData))
        commands.push_back({kInstrWriteUserData, BuildUserDataData(w.UserData), ""});

    for (uint8_t i = 1; i <= 4; ++i) {
        const TChannelConfig& wc = Working.Channels[i - 1];
        const TChannelConfig& dc = Device.Channels[i - 1];
        if (TrimText(Stored(wc.Name, kChannelNameWidth)) != TrimText(Stored(dc.Name, kChannelNameWidth)))
            commands.push_back({kInstrWriteChannelName, BuildChannelNameData(i, wc.Name), ""});

        const RawByteString config = BuildChannelConfigChanges(wc, dc);
        if (!config.empty())
            commands.push_back({kInstrWriteChannelConfig, BuildChannelConfigData(i, config), ""});

        if (wc.Sensor4to20mA != dc.Sensor4to20mA)
            commands.push_back(
                {kInstrWrite4to20mA, BuildSensor4to20mAData(i, wc.Sensor4to20mA), ""});

        const RawByteString watch = BuildChannelWatchChanges(Working.Watch[i - 1], Device.Watch[i - 1]);
        if (!watch.empty())
            commands.push_back({kInstrWriteChannelWatch, BuildChannelWatchData(i, watch), ""});
    }

    // The communication settings go last: a module may take a new address
    // or speed at once, and would not hear a write that came after them at
    // the old ones. A KelvoRS is sent a changed speed on its own; the other
    // models get the speed byte only along with a changed address.
    const bool speedDiffers = w.SpeedCode != d.SpeedCode;
    if ((Device.Model == kModelKelvoRS && speedDiffers) || w.Address != d.Address) {
        TKelvoWriteCommand cmd{kInstrWriteCommSettings, BuildCommSettingsData(w), ""};
        if (speedDiffers)
            cmd.ConnectionStringAfter = "baudrate=" + std::to_string(SpeedCodeToBaudRate(w.SpeedCode));
        commands.push_back(std::move(cmd));
    }
    return commands;
}

}  // namespace kelvo
