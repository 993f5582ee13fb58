#include "kelvoctl_report.h"

#include <cstdio>
#include <ctime>

#include "kelvoctl_args.h"
#include "kelvoctl_json.h"
#include "uModuleSettings.h"
#include "kelvoctl_table.h"
#include "kelvoctl_text.h"

namespace kelvo::ctl {

namespace {

std::string Value(const TKelvorec& Record, TKeyField Field, uint8_t Channel, const char* Missing = "-")
{
    return KeyValueText(Record, TKey{Field, Channel}).value_or(Missing);
}

std::string RecordSpeedText(const TKelvorec& Record)
{
    const uint8_t code = Record.Info.SpeedCode;
    if (code >= kSpeedCodeCount)
        return "unknown (code " + std::to_string(code) + ")";
    return SpeedText(SpeedCodeToBaudRate(code));
}

std::string ModelText(uint8_t Model)
{
    const std::string name = ModelName(Model);
    return name.empty() ? "unknown" : name;
}

bool Present(const TKelvorec& Record, uint8_t Channel)
{
    return Record.Channels[Channel - 1].Number == Channel;
}

}  // namespace

std::string RecordText(const TKelvorec& Record)
{
    std::string out = RenderPairs({
        {"Module", ModuleTextToUtf8(Record.Info.Identification)},
        {"Model", ModelText(Record.Model)},
        {"Serial number", ModuleTextToUtf8(Record.Info.SerialText)},
        {"Address", std::to_string(Record.Info.Address)},
        {"Speed", RecordSpeedText(Record)},
        {"User data", Value(Record, TKeyField::UserData, 0, "")},
    });

    TTextTable config({"Ch", "Name", "Unit", "Input range", "Min", "Max", "Decimals", "Gain", "4-20 mA"});
    TTextTable watch({"Ch", "Watching", "Upper", "Lower", "Hysteresis"});
    for (size_t col : {4, 5, 6})
        config.AlignRight(col);
    for (size_t col : {2, 3, 4})
        watch.AlignRight(col);
    for (uint8_t i = 1; i <= 4; ++i) {
        const std::string ch = std::to_string(i);
        if (!Present(Record, i)) {
            config.AddRow({ch, "(not reported)"});
            watch.AddRow({ch, "(not reported)"});
            continue;
        }
        config.AddRow({ch, Value(Record, TKeyField::Name, i, ""), Value(Record, TKeyField::Unit, i, ""),
                       ModuleTextToUtf8(TrimText(Record.Channels[i - 1].RangeText)),
                       Value(Record, TKeyField::RangeMin, i), Value(Record, TKeyField::RangeMax, i),
                       Value(Record, TKeyField::Decimals, i), Value(Record, TKeyField::Gain, i),
                       Value(Record, TKeyField::Sensor, i)});
        watch.AddRow({ch, Value(Record, TKeyField::Watch, i), Value(Record, TKeyField::Upper, i),
                      Value(Record, TKeyField::Lower, i), Value(Record, TKeyField::Hysteresis, i)});
    }
    return out + "\n" + config.Render() + "\n" + watch.Render();
}

ojson RecordJson(const TKelvorec& Record)
{
    ojson j = ojson::object();
    j["model"] = ModelName(Record.Model);
    j["identification"] = ModuleTextToUtf8(Record.Info.Identification);
    j["serial"] = ModuleTextToUtf8(Record.Info.SerialText);
    j["product_code"] = Record.Info.ProductCode;
    j["serial_number"] = Record.Info.SerialNumber;
    j["address"] = Record.Info.Address;
    j["speed"] = KeyValueJson(Record, TKey{TKeyField::Speed, 0});
    j["speed_code"] = Record.Info.SpeedCode;
    j["userdata"] = KeyValueJson(Record, TKey{TKeyField::UserData, 0});
    ojson channels = ojson::array();
    for (uint8_t i = 1; i <= 4; ++i) {
        ojson c = ojson::object();
        c["channel"] = i;
        c["present"] = Present(Record, i);
        if (Present(Record, i)) {
            c["range_text"] = ModuleTextToUtf8(TrimText(Record.Channels[i - 1].RangeText));
            for (const TFieldInfo& f : KeyFields())
                if (f.PerChannel)
                    c[f.Name] = KeyValueJson(Record, TKey{f.Field, i});
            c["watch_flags"] = Record.Watch[i - 1].WatchFlags;
        }
        channels.push_back(std::move(c));
    }
    j["channels"] = std::move(channels);
    return j;
}

std::string FoundModulesText(const std::vector<TFoundModule>& Found)
{
    TTextTable t({"Model", "Interface", "Serial number", "Speed"});
    t.AlignRight(3);
    for (const TFoundModule& m : Found) {
        const std::string serial = m.Record ? SerialNumberText(*m.Record) : std::string();
        t.AddRow({ModelName(m.Model), m.Interface.empty() ? "COM" + std::to_string(m.Port) : m.Interface, serial,
                  SpeedText(m.Speed)});
    }
    return t.Render();
}

ojson FoundModulesJson(const std::vector<TFoundModule>& Found)
{
    ojson list = ojson::array();
    for (const TFoundModule& m : Found) {
        ojson j = ojson::object();
        j["model"] = ModelName(m.Model);
        j["interface"] = m.Interface.empty() ? "COM" + std::to_string(m.Port) : m.Interface;
        j["speed"] = m.Speed;
        if (m.Record) {
            j["serial_number"] = m.Record->Info.SerialNumber;
            j["serial"] = ModuleTextToUtf8(m.Record->Info.SerialText);
            j["identification"] = ModuleTextToUtf8(m.Record->Info.Identification);
        } else {
            j["serial_number"] = nullptr;
            j["read_error"] = m.ReadError;
        }
        list.push_back(std::move(j));
    }
    return ojson{{"modules", std::move(list)}};
}

std::string TimeText(std::chrono::system_clock::time_point Time, bool WithDate)
{
    const std::time_t t = std::chrono::system_clock::to_time_t(Time);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Time.time_since_epoch()).count() % 1000;
    // The reentrant forms: the times are taken on several threads at once.
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &t);
#else
    localtime_r(&t, &tm);
#endif
    char buf[64];
    if (WithDate)
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1,
                      tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, int(ms));
    else
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, int(ms));
    return buf;
}

std::vector<std::string> MeasureHeadings(const TKelvorec& Record)
{
    std::vector<std::string> h{"Time"};
    for (uint8_t i = 1; i <= 4; ++i) {
        const TChannelConfig& c = Record.Channels[i - 1];
        std::string text = std::to_string(i);
        const std::string name = ModuleTextToUtf8(TrimText(c.Name));
        const std::string unit = ModuleTextToUtf8(TrimText(c.Unit));
        if (!name.empty())
            text += " " + name;
        if (!unit.empty())
            text += " [" + unit + "]";
        h.push_back(text);
    }
    return h;
}

std::vector<std::string> MeasureCells(const std::array<TKelvoChannelRecountedValue, 4>& Values, bool Answered)
{
    if (!Answered)
        return std::vector<std::string>(4, kNoAnswer);
    std::vector<std::string> cells;
    for (const TKelvoChannelRecountedValue& v : Values) {
        const TRecountedValueView view = ViewOfRecountedValue(v);
        // The module's own text is padded to its width; "OVR " keeps its blank.
        cells.push_back(v.Valid && !v.Overrange ? ModuleTextToUtf8(TrimText(view.Text)) : view.Text);
    }
    return cells;
}

ojson MeasureJson(const std::string& Time, bool Answered, const TKelvorec& Record,
                  const std::array<TKelvoChannelRecountedValue, 4>& Values)
{
    const std::vector<std::string> cells = MeasureCells(Values, Answered);
    ojson rows = ojson::array();
    for (uint8_t i = 1; i <= 4; ++i) {
        const TKelvoChannelRecountedValue& v = Values[i - 1];
        ojson r = ojson::object();
        r["row"] = i;
        r["name"] = ModuleTextToUtf8(TrimText(Record.Channels[i - 1].Name));
        r["unit"] = ModuleTextToUtf8(TrimText(Record.Channels[i - 1].Unit));
        r["display"] = cells[i - 1];
        r["valid"] = v.Valid;
        r["overrange"] = v.Valid && v.Overrange;
        // The module sends a single; its shortest text is the value it meant.
        const auto value = ParseDecimal(FloatText(static_cast<float>(v.Value)));
        if (v.Valid && value)
            r["value"] = *value;
        else
            r["value"] = nullptr;
        rows.push_back(std::move(r));
    }
    ojson j = ojson::object();
    j["time"] = Time;
    j["answered"] = Answered;
    j["values"] = std::move(rows);
    return j;
}

std::string WithoutName(const std::string& Message, const std::string& Name)
{
    for (const std::string& lead : {Name + ": ", Name + " "})
        if (Message.rfind(lead, 0) == 0)
            return Message.substr(lead.size());
    return Message;
}

}  // namespace kelvo::ctl
