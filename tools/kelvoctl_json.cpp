#include "kelvoctl_json.h"

#include <algorithm>

#include "kelvoctl_args.h"
#include "kelvoctl_text.h"

namespace kelvo::ctl {

namespace {

using ojson = nlohmann::ordered_json;

bool IsNumeric(TKeyField Field)
{
    switch (Field) {
    case TKeyField::Address:
    case TKeyField::Speed:
    case TKeyField::RangeMin:
    case TKeyField::RangeMax:
    case TKeyField::Decimals:
    case TKeyField::Upper:
    case TKeyField::Lower:
    case TKeyField::Hysteresis: return true;
    default: return false;
    }
}

bool IsSwitch(TKeyField Field)
{
    return Field == TKeyField::Sensor || Field == TKeyField::Watch;
}

}  // namespace

ojson KeyValueJson(const TKelvorec& Record, const TKey& Key)
{
    const auto text = KeyValueText(Record, Key);
    if (!text)
        return nullptr;
    if (IsNumeric(Key.Field)) {
        const bool negative = !text->empty() && text->front() == '-';
        if (const auto whole = ParseWhole(negative ? text->substr(1) : *text))
            return negative ? -*whole : *whole;
        if (const auto d = ParseDecimal(*text))
            return *d;
        return nullptr;
    }
    return *text;
}

namespace {

[[noreturn]] void Invalid(const std::string& Why)
{
    throw EUsageError("not a valid kelvoctl backup: " + Why);
}

// A JSON value as the text ParseSetting takes; nothing for null.
std::optional<std::string> ValueText(const nlohmann::json& V, const std::string& Key, TKeyField Field)
{
    if (V.is_null())
        return std::nullopt;
    if (V.is_string())
        return V.get<std::string>();
    if (V.is_number() && IsNumeric(Field))
        return V.dump();
    if (V.is_boolean() && IsSwitch(Field))
        return std::string(V.get<bool>() ? "on" : "off");
    Invalid("\"" + Key + "\" has a value of the wrong type (" + std::string(V.type_name()) + ")");
}

void AddSetting(TBackup& Out, const std::string& Key, const nlohmann::json& V)
{
    TKey key;
    try {
        key = ParseKey(Key);
    } catch (const EUsageError&) {
        Invalid("unknown setting \"" + Key + "\"");
    }
    const auto text = ValueText(V, Key, key.Field);
    if (!text)
        return;
    try {
        Out.Settings.push_back(ParseSetting(Key, *text));
    } catch (const EUsageError& e) {
        Invalid(e.Message());
    }
}

}  // namespace

ojson BackupJson(const TKelvorec& Record)
{
    ojson settings = ojson::object();
    for (const TKey& key : AllKeys()) {
        if (key.Channel == 0) {
            settings[key.Name()] = KeyValueJson(Record, key);
            continue;
        }
        const std::string ch = "ch" + std::to_string(key.Channel);
        const bool present = Record.Channels[key.Channel - 1].Number == key.Channel;
        if (!present) {
            settings[ch] = nullptr;
            continue;
        }
        if (!settings.contains(ch))
            settings[ch] = ojson::object();
        for (const TFieldInfo& f : KeyFields())
            if (f.Field == key.Field)
                settings[ch][f.Name] = KeyValueJson(Record, key);
    }
    ojson doc = ojson::object();
    doc["kelvoctl"] = "backup";
    doc["version"] = kBackupVersion;
    doc["model"] = ModelName(Record.Model);
    doc["identification"] = ModuleTextToUtf8(Record.Info.Identification);
    doc["serial"] = ModuleTextToUtf8(Record.Info.SerialText);
    doc["settings"] = std::move(settings);
    return doc;
}

TBackup ParseBackup(std::string_view Text)
{
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(Text.begin(), Text.end());
    } catch (const nlohmann::json::exception& e) {
        Invalid(std::string("not JSON (") + e.what() + ")");
    }
    if (!doc.is_object())
        Invalid("not a JSON object");
    if (!doc.contains("kelvoctl") || doc["kelvoctl"] != "backup")
        Invalid("\"kelvoctl\": \"backup\" is missing");
    if (!doc.contains("version") || !doc["version"].is_number_integer())
        Invalid("\"version\" is missing");
    if (doc["version"] != kBackupVersion)
        Invalid("version " + doc["version"].dump() + " is not known (this program reads version " +
                std::to_string(kBackupVersion) + ")");
    if (!doc.contains("model") || !doc["model"].is_string())
        Invalid("\"model\" is missing");
    if (!doc.contains("settings") || !doc["settings"].is_object())
        Invalid("\"settings\" is missing");

    TBackup out;
    out.Model = doc["model"].get<std::string>();
    for (const auto& [name, value] : doc["settings"].items()) {
        const std::string lower = LowerCase(name);
        const bool channel = lower.size() == 3 && lower.compare(0, 2, "ch") == 0 && lower[2] >= '1' && lower[2] <= '4';
        if (!channel) {
            AddSetting(out, name, value);
            continue;
        }
        if (value.is_null())
            continue;
        if (!value.is_object())
            Invalid("\"" + name + "\" is not an object");
        for (const auto& [field, v] : value.items())
            AddSetting(out, lower + "." + field, v);
    }
    // In the order of the key list, whatever the file's order.
    const std::vector<TKey> order = AllKeys();
    auto rank = [&](const TAssignment& A) { return std::find(order.begin(), order.end(), A.Key) - order.begin(); };
    std::stable_sort(out.Settings.begin(), out.Settings.end(),
                     [&](const TAssignment& A, const TAssignment& B) { return rank(A) < rank(B); });
    return out;
}

}  // namespace kelvo::ctl
