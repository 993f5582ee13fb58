#include "uModuleSettings.h"

#include <array>
#include <cmath>
#include <cstdio>

#include "uConversionUtils.h"
#include "uEditorLimits.h"
#include "uModuleText.h"
#include "uNumberText.h"

namespace kelvo {

namespace {

// The address combo's items 0 ... 253 and the gains 1x ... 128x; the other
// limits are the editors' own (uEditorLimits).
constexpr int64_t kMaxAddress = 253;
constexpr uint8_t kMaxGainCode = 7;

std::string LimitsText(TEditorLimits Limits)
{
    return NumberText(Limits.Min) + " ... " + NumberText(Limits.Max);
}

const std::vector<TFieldInfo>& Fields()
{
    static const std::vector<TFieldInfo> fields{
        {TKeyField::Address, "address", false, "module address 0-253 (KelvoRS only)"},
        {TKeyField::Speed, "speed", false,
         "line speed of the module in bit/s: 300 600 1200 2400 4800 9600 19200 38400 57600 115200 230400 "
         "(KelvoRS only)"},
        {TKeyField::UserData, "userdata", false,
         "user data, at most " + std::to_string(kUserDataEditorLength) + " characters"},
        {TKeyField::Name, "name", true, "channel name, at most " + std::to_string(kChannelNameEditorLength) + " characters"},
        {TKeyField::Unit, "unit", true, "unit after conversion, at most " + std::to_string(kUnitEditorLength) + " characters"},
        {TKeyField::RangeMin, "min", true, "range minimum, " + LimitsText(kRangeEditorLimits) + " as the module holds it"},
        {TKeyField::RangeMax, "max", true, "range maximum, " + LimitsText(kRangeEditorLimits) + " as the module holds it"},
        {TKeyField::Decimals, "decimals", true,
         "decimals for rounding, " + NumberText(kDecimalsEditorLimits.Min) + "-" + NumberText(kDecimalsEditorLimits.Max)},
        {TKeyField::Gain, "gain", true, "gain 1x 2x 4x 8x 16x 32x 64x 128x (channels with a gain setting)"},
        {TKeyField::Sensor, "sensor", true, "4-20 mA sensor connected: on/off (channels with that option)"},
        {TKeyField::Watch, "watch", true, "watching of the measured value: on/off"},
        {TKeyField::Upper, "upper", true, "upper limit, " + LimitsText(kWatchEditorLimits)},
        {TKeyField::Lower, "lower", true, "lower limit, " + LimitsText(kWatchEditorLimits)},
        {TKeyField::Hysteresis, "hyst", true, "hysteresis, " + LimitsText(kWatchEditorLimits)},
    };
    return fields;
}

const TFieldInfo& InfoOf(TKeyField Field)
{
    for (const TFieldInfo& f : Fields())
        if (f.Field == Field)
            return f;
    return Fields().front();
}

[[noreturn]] void Refuse(const TKey& Key, const std::string& Why)
{
    throw ESettingError(Key.Name() + ": " + Why);
}

std::string Quoted(std::string_view Value)
{
    return "\"" + std::string(Value) + "\"";
}

// A number within Limits as typed. From a backup also a limit as the
// module stores it (99999999 is held as 100000000): whether the module can
// take it is told where it is applied.
double Number(const TKey& Key, std::string_view Value, TEditorLimits Limits, TValueSource Source)
{
    const auto d = ParseDecimal(Value);
    if (!d)
        Refuse(Key, Quoted(Value) + " is not a number");
    bool within = *d >= Limits.Min && *d <= Limits.Max;
    if (!within && Source == TValueSource::Backup)
        within = ToSingle(*d) >= ToSingle(Limits.Min) && ToSingle(*d) <= ToSingle(Limits.Max);
    if (!within)
        Refuse(Key, std::string(Value) + " is outside " + LimitsText(Limits));
    return *d;
}

int64_t Whole(const TKey& Key, std::string_view Value, int64_t Min, int64_t Max)
{
    std::string_view digits = Value;
    while (!digits.empty() && (digits.front() == ' ' || digits.front() == '\t'))
        digits.remove_prefix(1);
    const bool negative = !digits.empty() && digits.front() == '-';
    if (negative)
        digits.remove_prefix(1);
    const auto n = ParseWhole(digits);
    if (!n)
        Refuse(Key, Quoted(Value) + " is not a whole number");
    const int64_t v = negative ? -*n : *n;
    if (v < Min || v > Max)
        Refuse(Key, std::string(Value) + " is outside " + std::to_string(Min) + " ... " + std::to_string(Max));
    return v;
}

// The first control character of a UTF-8 text, in words; empty when it has
// none.
std::string ControlCharacter(std::string_view Value)
{
    size_t position = 0;
    for (const char ch : Value) {
        const auto b = static_cast<uint8_t>(ch);
        if ((b & 0xC0) != 0x80)
            ++position;
        if (b >= 0x20 && b != 0x7F)
            continue;
        char code[8];
        std::snprintf(code, sizeof code, "U+%04X", b);
        const std::string what = b == '\t' ? "a tab" : b == '\n' || b == '\r' ? "a line break" : std::string(code);
        return what + " at character " + std::to_string(position);
    }
    return {};
}

std::string ModuleText(const TKey& Key, std::string_view Value, size_t MaxChars, TValueSource Source,
                       std::string& OnlyWhereHeld)
{
    std::string why;
    const auto bytes = Utf8ToModuleText(Value, &why);
    if (!bytes)
        Refuse(Key, why);
    if (const std::string control = ControlCharacter(Value); !control.empty()) {
        // The module shows what it holds; a control character would be
        // dropped at an end, or turn up as an odd sign on a display.
        const std::string message = Quoted(PrintableText(Value)) + " holds a control character (" + control +
                                    "): only printable characters are allowed";
        if (Source == TValueSource::Typed)
            Refuse(Key, message);
        OnlyWhereHeld = message;
    }
    std::string text = TrimText(*bytes);
    if (text.size() > MaxChars)
        Refuse(Key, Quoted(Value) + " is longer than " + std::to_string(MaxChars) + " characters");
    return text;
}

uint8_t GainCode(const TKey& Key, std::string_view Value)
{
    std::string v = LowerCase(Value);
    while (!v.empty() && v.back() == ' ')
        v.pop_back();
    if (!v.empty() && v.back() == 'x')
        v.pop_back();
    if (const auto n = ParseWhole(v))
        for (uint8_t code = 0; code <= kMaxGainCode; ++code)
            if (*n == (int64_t{1} << code))
                return code;
    Refuse(Key, Quoted(Value) + " is not a gain (1x 2x 4x 8x 16x 32x 64x 128x)");
}

bool Switch(const TKey& Key, std::string_view Value)
{
    const auto b = ParseSwitch(Value);
    if (!b)
        Refuse(Key, Quoted(Value) + " is neither on nor off");
    return *b;
}

bool ChannelPresent(const TKelvorec& Record, uint8_t Channel)
{
    return Channel >= 1 && Channel <= 4 && Record.Channels[Channel - 1].Number == Channel;
}

void RangeOf(const TChannelConfig& C, float& Min, float& Max)
{
    CoefficientsToRange(C.Offset, C.Slope, kRangeSpan, Min, Max);
}

// Whether setting the range Min ... Max gives exactly these coefficients.
bool GivesCoefficients(double Min, double Max, float Offset, float Slope)
{
    float offset = 0, slope = 0;
    RangeToCoefficients(Min, Max, kRangeSpan, offset, slope);
    return SameSingle(offset, Offset) && SameSingle(slope, Slope);
}

double Parsed(const std::string& Text)
{
    return ParseDecimal(Text).value_or(0);
}

// The two ends of a channel's range as texts: the shown form of an end
// where it sets the same coefficients again, else the exact one.
std::pair<std::string, std::string> RangeTexts(const TChannelConfig& C)
{
    float min = 0, max = 0;
    RangeOf(C, min, max);
    const std::pair<std::string, std::string> shown{FloatText(min), FloatText(max)};
    const std::string exactMin = ExactFloatText(min);
    const std::string exactMax = ExactFloatText(max);
    for (const auto& [a, b] : {shown, std::pair{exactMin, shown.second}, std::pair{shown.first, exactMax}})
        if (GivesCoefficients(Parsed(a), Parsed(b), C.Offset, C.Slope))
            return {a, b};
    return {exactMin, exactMax};
}

// A stored single: the shown form, or the exact one where the shown form
// is another single.
std::string SingleText(float Value)
{
    const std::string shown = FloatText(Value);
    if (SameSingle(ToSingle(Parsed(shown)), Value))
        return shown;
    return ExactFloatText(Value);
}

// One end of a channel's range as text.
std::string EndText(const TChannelConfig& C, bool Minimum)
{
    const auto texts = RangeTexts(C);
    return Minimum ? texts.first : texts.second;
}

// Why the module cannot hold the end Value of the range that C holds: an
// end as the module stores it beyond the limits, or the end read back as
// another number. Empty when it holds it.
std::string WhyNotHeld(const TChannelConfig& C, bool Minimum, float Value, const TKey& Key, float Other)
{
    float min = 0, max = 0;
    RangeOf(C, min, max);
    for (const auto& [held, isMin] : {std::pair{min, true}, std::pair{max, false}})
        if (!SingleWithin(held, kRangeEditorLimits))
            return "it would store " + std::string(isMin ? "a minimum of " : "a maximum of ") + EndText(C, isMin) +
                   ", beyond " + LimitsText(kRangeEditorLimits);
    const auto back = ParseDecimal(EndText(C, Minimum));
    if (back && SameSingle(ToSingle(*back), Value))
        return {};
    const TKey other{Minimum ? TKeyField::RangeMax : TKeyField::RangeMin, Key.Channel};
    return "with " + other.Name() + " " + SingleText(Other) + " it would hold " + EndText(C, Minimum);
}

// The range nearest to the one asked that the module holds within the
// limits: as the range editors store it where an end would lie beyond
// them, else the slope whose maximum comes nearest to the one asked.
TChannelConfig NearestRange(const TChannelConfig& Next, bool Minimum, double Asked, float Min, float Max)
{
    TChannelConfig out = Next;
    StoredRange(Min, Max, out.Offset, out.Slope);
    if (Minimum || !SameSingle(out.Slope, Next.Slope) || !SameSingle(out.Offset, Next.Offset))
        return out;
    double best = INFINITY;
    for (const float slope : {Next.Slope, std::nextafter(Next.Slope, INFINITY), std::nextafter(Next.Slope, -INFINITY)}) {
        TChannelConfig c = Next;
        c.Slope = slope;
        float min = 0, max = 0;
        RangeOf(c, min, max);
        if (SingleWithin(max, kRangeEditorLimits) && std::fabs(max - Asked) < best) {
            best = std::fabs(max - Asked);
            out = c;
        }
    }
    return out;
}

// Whether the assignment's value is what Record holds, compared the way the
// value is shown: texts trimmed, numbers as singles.
bool Holds(const TKelvorec& Record, const TAssignment& A)
{
    const uint8_t i = A.Key.Channel;
    const TChannelConfig* c = i ? &Record.Channels[i - 1] : nullptr;
    const TChannelWatch* w = i ? &Record.Watch[i - 1] : nullptr;
    const float single = ToSingle(A.Number);
    float min = 0, max = 0;
    if (c)
        RangeOf(*c, min, max);
    switch (A.Key.Field) {
    case TKeyField::Address: return Record.Info.Address == A.Number;
    case TKeyField::Speed: return SpeedCodeToBaudRate(Record.Info.SpeedCode) == A.Number;
    case TKeyField::UserData: return TrimText(Record.Info.UserData) == A.Text;
    case TKeyField::Name: return TrimText(c->Name) == A.Text;
    case TKeyField::Unit: return TrimText(c->Unit) == A.Text;
    case TKeyField::RangeMin: return SameSingle(min, single);
    case TKeyField::RangeMax: return SameSingle(max, single);
    case TKeyField::Decimals: return c->Decimals == A.Number;
    case TKeyField::Gain: return c->GainCode == A.Number;
    case TKeyField::Sensor: return (c->Sensor4to20mA == 1) == A.Switch;
    case TKeyField::Watch: return ((w->WatchFlags & kWatchOnFlag) != 0) == A.Switch;
    case TKeyField::Upper: return SameSingle(w->Upper, single);
    case TKeyField::Lower: return SameSingle(w->Lower, single);
    case TKeyField::Hysteresis: return SameSingle(w->Hysteresis, single);
    }
    return false;
}

// Refuses a change the module cannot take; Device is the record as read.
void CheckApplies(const TKelvorec& Device, const TAssignment& A)
{
    const uint8_t i = A.Key.Channel;
    switch (A.Key.Field) {
    case TKeyField::Address:
    case TKeyField::Speed:
        if (Device.Model != kModelKelvoRS)
            Refuse(A.Key, "only a KelvoRS module lets its address and speed be changed (this is " +
                              (ModelName(Device.Model).empty() ? std::string("an unknown model")
                                                               : "a " + ModelName(Device.Model)) +
                              ")");
        return;
    case TKeyField::UserData:
        return;
    default:
        break;
    }
    if (!ChannelPresent(Device, i))
        Refuse(A.Key, "the module did not report channel " + std::to_string(i));
    if (A.Key.Field == TKeyField::Gain && !Device.Channels[i - 1].HasGain)
        Refuse(A.Key, "channel " + std::to_string(i) + " has no gain setting");
    if (A.Key.Field == TKeyField::Sensor && Device.Channels[i - 1].Sensor4to20mA == 0)
        Refuse(A.Key, "channel " + std::to_string(i) + " has no 4-20 mA sensor option");
}

// Stores the assignment into Record as the window's editor would.
void Store(TKelvorec& Record, const TAssignment& A)
{
    const uint8_t i = A.Key.Channel;
    TChannelConfig* c = i ? &Record.Channels[i - 1] : nullptr;
    TChannelWatch* w = i ? &Record.Watch[i - 1] : nullptr;
    const float single = ToSingle(A.Number);
    switch (A.Key.Field) {
    case TKeyField::Address: Record.Info.Address = static_cast<uint8_t>(A.Number); break;
    case TKeyField::Speed: Record.Info.SpeedCode = *BaudRateToSpeedCode(static_cast<uint32_t>(A.Number)); break;
    case TKeyField::UserData: Record.Info.UserData = A.Text; break;
    case TKeyField::Name: c->Name = FitText(A.Text, kChannelNameWidth); break;
    case TKeyField::Unit: c->Unit = FitText(A.Text, kUnitWidth); break;
    case TKeyField::RangeMin:
    case TKeyField::RangeMax: break;  // both ends at once, in ApplyAssignments
    case TKeyField::Decimals: c->Decimals = static_cast<uint8_t>(A.Number); break;
    case TKeyField::Gain: c->GainCode = static_cast<uint8_t>(A.Number); break;
    case TKeyField::Sensor: c->Sensor4to20mA = A.Switch ? 1 : 2; break;
    case TKeyField::Watch:
        w->WatchFlags = static_cast<uint8_t>(A.Switch ? (w->WatchFlags | kWatchOnFlag) : (w->WatchFlags & ~kWatchOnFlag));
        break;
    case TKeyField::Upper: w->Upper = single; break;
    case TKeyField::Lower: w->Lower = single; break;
    case TKeyField::Hysteresis: w->Hysteresis = single; break;
    }
}

// Whether the field behind Key is the same in both records, as the module
// keeps it.
bool SameField(const TKelvorec& A, const TKelvorec& B, const TKey& Key)
{
    const uint8_t i = Key.Channel;
    if (i) {
        const TChannelConfig& ca = A.Channels[i - 1];
        const TChannelConfig& cb = B.Channels[i - 1];
        const TChannelWatch& wa = A.Watch[i - 1];
        const TChannelWatch& wb = B.Watch[i - 1];
        switch (Key.Field) {
        case TKeyField::Name: return TrimText(ca.Name) == TrimText(cb.Name);
        case TKeyField::Unit: return TrimText(ca.Unit) == TrimText(cb.Unit);
        case TKeyField::RangeMin:
        case TKeyField::RangeMax: return SameSingle(ca.Offset, cb.Offset) && SameSingle(ca.Slope, cb.Slope);
        case TKeyField::Decimals: return ca.Decimals == cb.Decimals;
        case TKeyField::Gain: return ca.GainCode == cb.GainCode;
        case TKeyField::Sensor: return ca.Sensor4to20mA == cb.Sensor4to20mA;
        case TKeyField::Watch: return ((wa.WatchFlags ^ wb.WatchFlags) & kWatchOnFlag) == 0;
        case TKeyField::Upper: return SameSingle(wa.Upper, wb.Upper);
        case TKeyField::Lower: return SameSingle(wa.Lower, wb.Lower);
        case TKeyField::Hysteresis: return SameSingle(wa.Hysteresis, wb.Hysteresis);
        default: return false;
        }
    }
    switch (Key.Field) {
    case TKeyField::Address: return A.Info.Address == B.Info.Address;
    case TKeyField::Speed: return A.Info.SpeedCode == B.Info.SpeedCode;
    case TKeyField::UserData: return TrimText(A.Info.UserData) == TrimText(B.Info.UserData);
    default: return false;
    }
}

}  // namespace

std::string TKey::Name() const
{
    const std::string field = InfoOf(Field).Name;
    return Channel ? "ch" + std::to_string(Channel) + "." + field : field;
}

const std::vector<TFieldInfo>& KeyFields()
{
    return Fields();
}

std::vector<TKey> AllKeys()
{
    std::vector<TKey> keys;
    for (const TFieldInfo& f : Fields())
        if (!f.PerChannel)
            keys.push_back({f.Field, 0});
    for (uint8_t i = 1; i <= 4; ++i)
        for (const TFieldInfo& f : Fields())
            if (f.PerChannel)
                keys.push_back({f.Field, i});
    return keys;
}

TKey ParseKey(std::string_view Key)
{
    const std::string k = LowerCase(Key);
    std::string_view field = k;
    uint8_t channel = 0;
    if (k.size() > 4 && k.compare(0, 2, "ch") == 0 && k[2] >= '1' && k[2] <= '4' && k[3] == '.') {
        channel = static_cast<uint8_t>(k[2] - '0');
        field.remove_prefix(4);
    }
    for (const TFieldInfo& f : Fields())
        if (field == f.Name && f.PerChannel == (channel != 0))
            return {f.Field, channel};
    throw ESettingError("unknown key \"" + std::string(Key) +
                      "\" (keys: address, speed, userdata, chN.name, chN.unit, chN.min, chN.max, "
                      "chN.decimals, chN.gain, chN.sensor, chN.watch, chN.upper, chN.lower, chN.hyst; N = 1-4)");
}

TAssignment ParseSetting(std::string_view Key, std::string_view Value, TValueSource Source)
{
    TAssignment a;
    a.Key = ParseKey(Key);
    switch (a.Key.Field) {
    case TKeyField::Address: a.Number = double(Whole(a.Key, Value, 0, kMaxAddress)); break;
    case TKeyField::Speed: {
        const auto n = ParseWhole(Value);
        const auto code = n && *n <= UINT32_MAX ? BaudRateToSpeedCode(static_cast<uint32_t>(*n)) : std::nullopt;
        // Code 0 (110 bit/s) is reported by some modules but cannot be chosen.
        if (!code || *code == 0 || *code >= kSpeedCodeCount)
            Refuse(a.Key, Quoted(Value) +
                              " is not a module speed (300 600 1200 2400 4800 9600 19200 38400 57600 115200 230400)");
        a.Number = double(*n);
        break;
    }
    case TKeyField::UserData:
        a.Text = ModuleText(a.Key, Value, kUserDataEditorLength, Source, a.OnlyWhereHeld);
        break;
    case TKeyField::Name: a.Text = ModuleText(a.Key, Value, kChannelNameEditorLength, Source, a.OnlyWhereHeld); break;
    case TKeyField::Unit: a.Text = ModuleText(a.Key, Value, kUnitEditorLength, Source, a.OnlyWhereHeld); break;
    case TKeyField::RangeMin:
    case TKeyField::RangeMax: a.Number = Number(a.Key, Value, kRangeEditorLimits, Source); break;
    case TKeyField::Decimals:
        a.Number = double(Whole(a.Key, Value, int64_t(kDecimalsEditorLimits.Min), int64_t(kDecimalsEditorLimits.Max)));
        break;
    case TKeyField::Gain: a.Number = GainCode(a.Key, Value); break;
    case TKeyField::Sensor:
    case TKeyField::Watch: a.Switch = Switch(a.Key, Value); break;
    case TKeyField::Upper:
    case TKeyField::Lower:
    case TKeyField::Hysteresis: a.Number = Number(a.Key, Value, kWatchEditorLimits, Source); break;
    }
    return a;
}

TAssignment ParseAssignment(std::string_view KeyEqualsValue)
{
    const size_t eq = KeyEqualsValue.find('=');
    if (eq == std::string_view::npos || eq == 0)
        throw ESettingError("\"" + std::string(KeyEqualsValue) + "\" is not KEY=VALUE");
    return ParseSetting(KeyEqualsValue.substr(0, eq), KeyEqualsValue.substr(eq + 1));
}

std::optional<std::string> KeyValueText(const TKelvorec& Record, const TKey& Key)
{
    const uint8_t i = Key.Channel;
    if (i == 0) {
        switch (Key.Field) {
        case TKeyField::Address: return std::to_string(Record.Info.Address);
        case TKeyField::Speed:
            if (Record.Info.SpeedCode == 0 || Record.Info.SpeedCode >= kSpeedCodeCount)
                return std::nullopt;
            return std::to_string(SpeedCodeToBaudRate(Record.Info.SpeedCode));
        case TKeyField::UserData: return ModuleTextToUtf8(TrimText(Record.Info.UserData));
        default: return std::nullopt;
        }
    }
    if (!ChannelPresent(Record, i))
        return std::nullopt;
    const TChannelConfig& c = Record.Channels[i - 1];
    const TChannelWatch& w = Record.Watch[i - 1];
    switch (Key.Field) {
    case TKeyField::Name: return ModuleTextToUtf8(TrimText(c.Name));
    case TKeyField::Unit: return ModuleTextToUtf8(TrimText(c.Unit));
    case TKeyField::RangeMin: return RangeTexts(c).first;
    case TKeyField::RangeMax: return RangeTexts(c).second;
    case TKeyField::Decimals: return std::to_string(c.Decimals);
    case TKeyField::Gain:
        if (!c.HasGain || c.GainCode > kMaxGainCode)
            return std::nullopt;
        return GainText(c.GainCode);
    case TKeyField::Sensor:
        if (c.Sensor4to20mA == 0)
            return std::nullopt;
        return std::string(c.Sensor4to20mA == 1 ? "on" : "off");
    case TKeyField::Watch: return std::string((w.WatchFlags & kWatchOnFlag) ? "on" : "off");
    case TKeyField::Upper: return SingleText(w.Upper);
    case TKeyField::Lower: return SingleText(w.Lower);
    case TKeyField::Hysteresis: return SingleText(w.Hysteresis);
    default: return std::nullopt;
    }
}

std::vector<TChange> ApplyAssignments(TKelvoSession& Session, const std::vector<TAssignment>& Assignments,
                                      const TApplyOptions& Options)
{
    const TKelvorec& device = Session.ModuleRecord;
    TKelvorec working = Session.WorkingRecord();
    // The two ends of each input range as the editors show them. A new end
    // is combined with the other end as shown, never with one derived again
    // from the coefficients, so the order of min and max does not matter.
    std::array<std::pair<float, float>, 4> ends{};
    for (size_t i = 0; i < 4; ++i)
        RangeOf(working.Channels[i], ends[i].first, ends[i].second);

    std::vector<TChange> changes;
    for (const TAssignment& a : Assignments) {
        if (a.Key.Channel > 4)
            Refuse(a.Key, "no such channel");
        // A channel the module did not report holds nothing to compare.
        if (a.Key.Channel && !ChannelPresent(device, a.Key.Channel))
            CheckApplies(device, a);
        const bool range = a.Key.Field == TKeyField::RangeMin || a.Key.Field == TKeyField::RangeMax;
        std::string before, after, asked;
        if (range) {
            auto& [min, max] = ends[a.Key.Channel - 1];
            const bool isMin = a.Key.Field == TKeyField::RangeMin;
            float& end = isMin ? min : max;
            const float value = ToSingle(a.Number);
            TChannelConfig& c = working.Channels[a.Key.Channel - 1];
            // The end as shown, or an end that sets the very coefficients
            // the module holds (1000 for a maximum shown from 999.99994).
            if (SameSingle(end, value) || GivesCoefficients(isMin ? a.Number : min, isMin ? max : a.Number, c.Offset, c.Slope))
                continue;
            CheckApplies(device, a);
            before = EndText(c, isMin);
            const float other = isMin ? max : min;
            end = value;
            TChannelConfig next = c;
            RangeToCoefficients(min, max, kRangeSpan, next.Offset, next.Slope);
            if (const std::string why = WhyNotHeld(next, isMin, value, a.Key, other); !why.empty()) {
                TChannelConfig nearest = NearestRange(next, isMin, a.Number, min, max);
                const std::string nearText = EndText(nearest, isMin);
                if (!Options.Nearest)
                    throw ENotHoldable(a.Key.Name() + ": the module cannot hold " + NumberText(a.Number) + " (" + why +
                                           "); the nearest value it can hold is " + nearText,
                                       nearText);
                asked = NumberText(a.Number);
                next = nearest;
                RangeOf(next, min, max);
            }
            c.Offset = next.Offset;
            c.Slope = next.Slope;
            after = EndText(c, isMin);
        } else {
            if (Holds(working, a))
                continue;
            CheckApplies(device, a);
            if (!a.OnlyWhereHeld.empty())
                Refuse(a.Key, a.OnlyWhereHeld);
            const TKelvorec was = working;
            Store(working, a);
            before = KeyValueText(was, a.Key).value_or("");
            after = KeyValueText(working, a.Key).value_or("");
        }
        bool merged = false;
        for (TChange& c : changes)
            if (c.Key == a.Key)
                c.New = after, c.Asked = asked, merged = true;
        if (!merged)
            changes.push_back({a.Key, before, after, asked});
    }
    // A key set and then set back is no change.
    std::erase_if(changes, [&](const TChange& c) { return SameField(working, device, c.Key); });
    // Everything checked: now the session's copy.
    Session.EditedChannels = working.Channels;
    Session.EditedWatches = working.Watch;
    Session.EditedUserData = working.Info.UserData;
    Session.EditedSpeedCode = working.Info.SpeedCode;
    Session.EditedAddress = working.Info.Address;
    return changes;
}

std::vector<TChange> ChangesNotTaken(const TKelvorec& Wanted, const TKelvorec& Got, const std::vector<TChange>& Changes)
{
    std::vector<TChange> out;
    for (const TChange& c : Changes) {
        if (SameField(Wanted, Got, c.Key))
            continue;
        TChange missed = c;
        missed.Old = KeyValueText(Got, c.Key).value_or("");
        out.push_back(missed);
    }
    return out;
}

}  // namespace kelvo
