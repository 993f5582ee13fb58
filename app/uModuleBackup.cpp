#include "uModuleBackup.h"

#include <algorithm>
#include <cstring>

#include "uTextFile.h"

#include "uModuleText.h"
#include "uNumberText.h"

namespace kelvo {

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
    throw EBackupError("not a valid kelvoctl backup: " + Why, Why);
}

// "not valid JSON at line 3, column 5: unexpected '}'; expected string
// literal" from the parser's report, whose own text names byte offsets and
// exception ids.
std::string JsonErrorText(std::string_view Text, const nlohmann::json::parse_error& E)
{
    size_t line = 1, column = 1;
    const size_t end = std::min<size_t>(E.byte > 0 ? E.byte - 1 : 0, Text.size());
    for (size_t i = 0; i < end; ++i) {
        if (Text[i] == '\n')
            ++line, column = 1;
        else if ((static_cast<uint8_t>(Text[i]) & 0xC0) != 0x80)
            ++column;
    }
    std::string why = E.what();
    // "[json.exception.parse_error.101] parse error at line 1, column 3: syntax error while parsing value - ..."
    for (const char* lead : {": syntax error while parsing ", ": "}) {
        const size_t at = why.find(lead);
        if (at != std::string::npos) {
            why.erase(0, at + std::strlen(lead));
            break;
        }
    }
    if (const size_t dash = why.find(" - "); dash != std::string::npos && dash < 20)
        why.erase(0, dash + 3);
    if (Text.find_first_not_of(" \t\r\n") == std::string_view::npos)
        return "not valid JSON: the file is empty";
    return "not valid JSON at line " + std::to_string(line) + ", column " + std::to_string(column) + ": " +
           PrintableText(why);
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
    } catch (const ESettingError&) {
        Invalid("unknown setting \"" + Key + "\"");
    }
    const auto text = ValueText(V, Key, key.Field);
    if (!text)
        return;
    try {
        Out.Settings.push_back(ParseSetting(Key, *text, TValueSource::Backup));
    } catch (const ESettingError& e) {
        Invalid(e.Message());
    }
}

}  // namespace

ojson BackupJson(const TKelvorec& Record, const std::string& Made)
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
    doc["serial_number"] = Record.Info.SerialNumber;
    if (!Made.empty())
        doc["made"] = Made;
    doc["settings"] = std::move(settings);
    return doc;
}

TBackup ParseBackup(std::string_view Text)
{
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(Text.begin(), Text.end());
    } catch (const nlohmann::json::parse_error& e) {
        throw EBackupError(JsonErrorText(Text, e));
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
    if (doc.contains("serial") && doc["serial"].is_string())
        out.Serial = doc["serial"].get<std::string>();
    if (doc.contains("made") && doc["made"].is_string())
        out.Made = doc["made"].get<std::string>();
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
    // A backup names every setting, null where the module lacks it: a file
    // without one is cut short or edited, and restoring the rest of it
    // would leave the module half way between two configurations.
    std::vector<std::string> missing;
    const auto& settings = doc["settings"];
    auto find = [](const nlohmann::json& Object, const std::string& Name) -> const nlohmann::json* {
        for (const auto& [name, value] : Object.items())
            if (LowerCase(name) == Name)
                return &value;
        return nullptr;
    };
    auto miss = [&missing](const std::string& Name) {
        if (std::find(missing.begin(), missing.end(), Name) == missing.end())
            missing.push_back(Name);
    };
    for (const TKey& key : AllKeys()) {
        if (key.Channel == 0) {
            if (!find(settings, key.Name()))
                miss(key.Name());
            continue;
        }
        const std::string ch = "ch" + std::to_string(key.Channel);
        const nlohmann::json* channel = find(settings, ch);
        if (!channel)
            miss(ch);
        else if (channel->is_object() && !find(*channel, key.Name().substr(ch.size() + 1)))
            miss(key.Name());
    }
    if (!missing.empty()) {
        std::string list;
        for (const std::string& m : missing)
            list += (list.empty() ? "" : ", ") + m;
        Invalid("it is incomplete (missing: " + list + ")");
    }

    // In the order of the key list, whatever the file's order.
    const std::vector<TKey> order = AllKeys();
    auto rank = [&](const TAssignment& A) { return std::find(order.begin(), order.end(), A.Key) - order.begin(); };
    std::stable_sort(out.Settings.begin(), out.Settings.end(),
                     [&](const TAssignment& A, const TAssignment& B) { return rank(A) < rank(B); });
    return out;
}

namespace {

// A backup is a few kilobytes; anything far larger is not one.
constexpr uintmax_t kMaxBackupFileSize = 1 << 20;

std::string ModelText(const std::string& Model)
{
    return Model.empty() ? std::string("module of unknown model") : Model;
}

}  // namespace

TBackup ReadBackupFile(const std::string& File)
{
    std::string text;
    try {
        text = ReadTextFile(File, kMaxBackupFileSize);
    } catch (const ETextFileError& e) {
        if (e.TooLarge())
            throw EBackupError(File + " is not a kelvoctl backup (far too large)", "far too large");
        throw;
    }
    try {
        return ParseBackup(text);
    } catch (const EBackupError& e) {
        throw EBackupError(File + ": " + e.Message(), e.Detail());
    }
}

EBackupOfAnotherModel::EBackupOfAnotherModel(std::string BackupModel, std::string ModuleModel)
    : EBackupError("a backup of a " + ModelText(BackupModel) + ", not of a " + ModelText(ModuleModel)),
      FBackupModel(std::move(BackupModel)),
      FModuleModel(std::move(ModuleModel))
{
}

std::vector<TAssignment> BackupSettingsFor(const TBackup& Backup, const TKelvorec& Device,
                                           const TTakeCommSettings& Take, std::vector<TSkipped>& Skipped)
{
    if (Backup.Model != ModelName(Device.Model))
        throw EBackupOfAnotherModel(Backup.Model, ModelName(Device.Model));
    const bool sameModule = !Backup.Serial.empty() && Backup.Serial == ModuleTextToUtf8(Device.Info.SerialText);
    // What address and speed of the backup would change on this module.
    std::vector<TSkipped> atStake;
    if (Device.Model == kModelKelvoRS && !sameModule) {
        for (const TAssignment& a : Backup.Settings) {
            if (!a.Key.IsCommSetting())
                continue;
            TKelvoSession probe;
            probe.ModuleRecord = Device;
            probe.ResetWorkingCopy();
            const std::vector<TChange> change = ApplyAssignments(probe, {a});
            if (!change.empty())
                atStake.push_back({a.Key.Name(), change.front().New, change.front().Old});
        }
    }
    const bool takeComm =
        Device.Model == kModelKelvoRS && (sameModule || atStake.empty() || (Take && Take(Backup, Device, atStake)));
    if (!takeComm)
        Skipped.insert(Skipped.end(), atStake.begin(), atStake.end());
    std::vector<TAssignment> settings;
    for (const TAssignment& a : Backup.Settings)
        if (!a.Key.IsCommSetting() || takeComm)
            settings.push_back(a);
    return settings;
}

}  // namespace kelvo
