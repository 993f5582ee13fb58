#include "uSimSettings.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <string>

#include "uExceptions.h"

namespace kelvo {

namespace {

constexpr uint32_t kSpeeds[] = {110, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

std::string Lower(std::string_view Text)
{
    std::string r(Text);
    for (char& c : r)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

[[noreturn]] void Bad(std::string_view Option, const std::string& Why)
{
    throw EConvertError("channel option \"" + std::string(Option) + "\": " + Why);
}

double ParseNumber(std::string_view Option, std::string_view Key, std::string_view Value)
{
    // from_chars: the same result whatever locale the process runs in.
    double d = 0;
    const char* end = Value.data() + Value.size();
    auto [p, ec] = std::from_chars(Value.data(), end, d);
    if (Value.empty() || ec != std::errc() || p != end || !std::isfinite(d))
        Bad(Option, std::string(Key) + " needs a number, not \"" + std::string(Value) + "\"");
    return d;
}

unsigned ParseWhole(std::string_view Option, std::string_view Key, std::string_view Value, unsigned Max)
{
    unsigned v = 0;
    const char* end = Value.data() + Value.size();
    auto [p, ec] = std::from_chars(Value.data(), end, v);
    if (Value.empty() || ec != std::errc() || p != end || v > Max)
        Bad(Option, std::string(Key) + " needs a whole number 0-" + std::to_string(Max) + ", not \"" +
                        std::string(Value) + "\"");
    return v;
}

bool ParseSwitch(std::string_view Option, std::string_view Key, std::string_view Value)
{
    std::string v = Lower(Value);
    if (v == "on" || v == "1" || v == "yes" || v == "true")
        return true;
    if (v == "off" || v == "0" || v == "no" || v == "false")
        return false;
    Bad(Option, std::string(Key) + " needs on or off, not \"" + std::string(Value) + "\"");
}

float Single(std::string_view Option, std::string_view Key, double Value)
{
    if (std::fabs(Value) > 3.4e38)
        Bad(Option, std::string(Key) + " is beyond single precision");
    return static_cast<float>(Value);
}

TSimChannel Channel(const char* Name, const char* Range, const char* Unit, uint8_t Decimals, float Min,
                    float Max, const char* SlopeText, const char* OffsetText)
{
    TSimChannel c;
    c.Name = Name;
    c.RangeText = Range;
    c.Unit = Unit;
    c.Unit2 = Unit;
    c.Decimals = Decimals;
    c.Offset = Min;
    c.Slope = (Max - Min) / 10000.0f;
    c.SlopeText = SlopeText;
    c.OffsetText = OffsetText;
    return c;
}

}  // namespace

std::string SimIdentificationText(TSimModel Model)
{
    switch (Model) {
    case TSimModel::KelvoUSB:
        return "KelvoUSB 4AI v1.07";
    case TSimModel::KelvoETH:
        return "KelvoETH 4AI v1.12";
    case TSimModel::KelvoRS:
        return "KelvoRS485 4AI v1.05";
    case TSimModel::Tarnel:
        return "Tarnel 4AI v2.01";
    case TSimModel::Foreign:
        break;
    }
    return "Verdel DataLogger v3.0";
}

TSimSettings DefaultSimSettings(TSimModel Model)
{
    TSimSettings s;
    s.Model = Model;
    s.UserData = "Hala 3, rozvadec";

    TSimChannel& p = s.Channels[0] = Channel("Tlak", "4-20 mA", "bar", 2, 0, 10, "0.001", "0");
    p.Sensor4to20mA = 1;
    p.WatchFlags = 0x80;
    p.Upper = 8;
    p.Lower = 1;
    p.Hysteresis = 0.2f;
    p.UpperText = "8.00";
    p.LowerText = "1.00";
    p.HysteresisText = "0.20";

    TSimChannel& t = s.Channels[1] = Channel("Teplota", "0-10 V", "C", 1, -50, 150, "0.02", "-50");
    t.Upper = 90;
    t.Lower = -20;
    t.Hysteresis = 2;
    t.UpperText = "90.0";
    t.LowerText = "-20.0";
    t.HysteresisText = "2.0";
    t.LiveSwing = 2000;
    t.LivePeriodMs = 30000;

    TSimChannel& h = s.Channels[2] = Channel("Vlhkost", "0-10 V", "%", 1, 0, 100, "0.01", "0");
    h.HasGain = true;
    h.GainCode = 0;
    h.LiveCenter = 4500;
    h.LiveSwing = 1000;
    h.LivePeriodMs = 45000;

    TSimChannel& f = s.Channels[3] = Channel("Prutok", "0-20 mA", "m3/h", 1, 0, 50, "0.005", "0");
    f.HasGain = true;
    f.GainCode = 2;
    f.ExtraFlag = true;
    f.LiveCenter = 6000;
    f.LiveSwing = 3000;
    f.LivePeriodMs = 12000;
    return s;
}

std::optional<TSimModel> ParseSimModel(std::string_view Text)
{
    std::string t = Lower(Text);
    if (t == "usb" || t == "kelvousb")
        return TSimModel::KelvoUSB;
    if (t == "eth" || t == "kelvoeth")
        return TSimModel::KelvoETH;
    if (t == "rs" || t == "kelvors")
        return TSimModel::KelvoRS;
    if (t == "tarnel")
        return TSimModel::Tarnel;
    if (t == "foreign" || t == "other")
        return TSimModel::Foreign;
    return std::nullopt;
}

uint32_t SimSpeedOfCode(uint8_t Code)
{
    return Code < std::size(kSpeeds) ? kSpeeds[Code] : 0;
}

uint32_t SimLineSpeed(const TSimSettings& Settings)
{
    if (Settings.LineSpeed != 0)
        return Settings.LineSpeed;
    uint32_t speed = SimSpeedOfCode(Settings.SpeedCode);
    return speed != 0 ? speed : 9600;
}

void ApplySimChannelOption(TSimSettings& Settings, std::string_view Option)
{
    size_t colon = Option.find(':');
    if (colon == std::string_view::npos)
        Bad(Option, "expected N:key=value,...");
    unsigned n = ParseWhole(Option, "the channel number", Option.substr(0, colon), 255);
    if (n < 1 || n > 4)
        Bad(Option, "the channel number must be 1-4");
    TSimChannel& c = Settings.Channels[n - 1];

    // The range may be given as min and max in any order with the other
    // keys; it is turned into offset and slope at the end.
    std::optional<double> min, max;
    std::string_view rest = Option.substr(colon + 1);
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (item.empty())
            continue;
        size_t eq = item.find('=');
        if (eq == std::string_view::npos)
            Bad(Option, "\"" + std::string(item) + "\" is not key=value");
        std::string key = Lower(item.substr(0, eq));
        std::string_view value = item.substr(eq + 1);

        if (key == "name")
            c.Name = value;
        else if (key == "range")
            c.RangeText = value;
        else if (key == "unit")
            c.Unit = value;
        else if (key == "unit2")
            c.Unit2 = value;
        else if (key == "decimals")
            c.Decimals = static_cast<uint8_t>(ParseWhole(Option, key, value, 255));
        else if (key == "min")
            min = ParseNumber(Option, key, value);
        else if (key == "max")
            max = ParseNumber(Option, key, value);
        else if (key == "offset")
            c.Offset = Single(Option, key, ParseNumber(Option, key, value));
        else if (key == "slope")
            c.Slope = Single(Option, key, ParseNumber(Option, key, value));
        else if (key == "slopetext")
            c.SlopeText = value;
        else if (key == "offsettext")
            c.OffsetText = value;
        else if (key == "gain") {
            if (Lower(value) == "none") {
                c.HasGain = false;
                c.GainCode = 0;
            } else {
                c.HasGain = true;
                c.GainCode = static_cast<uint8_t>(ParseWhole(Option, key, value, 7));
            }
        } else if (key == "sensor") {
            std::string v = Lower(value);
            if (v == "0" || v == "1" || v == "2")
                c.Sensor4to20mA = static_cast<uint8_t>(v[0] - '0');
            else
                c.Sensor4to20mA = ParseSwitch(Option, key, value) ? 1 : 2;
        } else if (key == "watch") {
            if (ParseSwitch(Option, key, value))
                c.WatchFlags |= 0x80;
            else
                c.WatchFlags &= 0x7F;
        } else if (key == "flags")
            c.WatchFlags = static_cast<uint8_t>(ParseWhole(Option, key, value, 255));
        else if (key == "upper")
            c.Upper = Single(Option, key, ParseNumber(Option, key, value));
        else if (key == "lower")
            c.Lower = Single(Option, key, ParseNumber(Option, key, value));
        else if (key == "hyst")
            c.Hysteresis = Single(Option, key, ParseNumber(Option, key, value));
        else if (key == "uppertext")
            c.UpperText = value;
        else if (key == "lowertext")
            c.LowerText = value;
        else if (key == "hysttext")
            c.HysteresisText = value;
        else if (key == "extra")
            c.ExtraFlag = ParseSwitch(Option, key, value);
        else if (key == "live") {
            std::string v = Lower(value);
            if (v == "normal")
                c.Live = TSimLiveMode::Normal;
            else if (v == "overrange")
                c.Live = TSimLiveMode::Overrange;
            else if (v == "invalid")
                c.Live = TSimLiveMode::Invalid;
            else
                Bad(Option, "live needs normal, overrange or invalid");
        } else if (key == "center")
            c.LiveCenter = ParseNumber(Option, key, value);
        else if (key == "swing")
            c.LiveSwing = ParseNumber(Option, key, value);
        else if (key == "period") {
            c.LivePeriodMs = ParseWhole(Option, key, value, 0xFFFFFFFFu);
            if (c.LivePeriodMs == 0)
                Bad(Option, "period must be above 0");
        } else
            Bad(Option, "unknown key \"" + key + "\"");
    }
    if (min || max) {
        double lo = min ? *min : c.Offset;
        double hi = max ? *max : c.Offset + double(c.Slope) * 10000.0;
        c.Offset = Single(Option, "min", lo);
        c.Slope = Single(Option, "max", (hi - lo) / 10000.0);
    }
}

}  // namespace kelvo
