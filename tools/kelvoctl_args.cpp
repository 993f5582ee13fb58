#include "kelvoctl_args.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "uKelvoxx.h"
#include "uTextFile.h"

namespace kelvo::ctl {

uint16_t ParsePortName(std::string_view Text)
{
    std::string_view digits = Text;
    if (digits.size() > 3 && LowerCase(digits.substr(0, 3)) == "com")
        digits.remove_prefix(3);
    const auto n = ParseWhole(digits);
    if (!n || *n < 1 || *n > 255)
        throw EUsageError("\"" + std::string(Text) + "\" is not a COM port (COM1 ... COM255)");
    return static_cast<uint16_t>(*n);
}

std::string TInterfaceName::Text() const
{
    if (!UsbSerial.empty())
        return "USB:" + UsbSerial;
    if (Port == 0 && !Node.empty())
        return Node;
    return "COM" + std::to_string(Port);
}

TInterfaceName ParseInterfaceName(std::string_view Text)
{
    TInterfaceName name;
    if (!Text.empty() && Text.front() == '/') {
        name.Node = Text;
        return name;
    }
    // The Windows device name of a COM port.
    if (Text.size() > 4 && Text.substr(0, 4) == "\\\\.\\") {
        name.Port = ParsePortName(Text.substr(4));
        return name;
    }
    if (Text.size() >= 4 && LowerCase(Text.substr(0, 4)) == "usb:") {
        const std::string_view serial = Text.substr(4);
        // The driver reports serial numbers of at most 15 characters.
        if (serial.empty() || serial.size() > 15 || serial.find_first_of(" \t;") != std::string_view::npos)
            throw EUsageError("\"" + std::string(Text) + "\" is not a USB device (USB:<serial number>)");
        name.UsbSerial = serial;
        return name;
    }
    name.Port = ParsePortName(Text);
    return name;
}

const std::vector<int32_t>& SearchSpeedChoices()
{
    static const std::vector<int32_t> speeds{300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    return speeds;
}

std::set<int32_t> ParseSpeedList(std::string_view Text)
{
    const auto& choices = SearchSpeedChoices();
    if (LowerCase(TrimBlanks(Text)) == "all")
        return std::set<int32_t>(choices.begin(), choices.end());
    std::set<int32_t> speeds;
    std::string_view rest = Text;
    for (;;) {
        const size_t comma = rest.find(',');
        const std::string_view item = TrimBlanks(rest.substr(0, comma));
        const auto n = ParseWhole(item);
        if (!n || std::find(choices.begin(), choices.end(), *n) == choices.end()) {
            std::string list;
            for (int32_t s : choices)
                list += (list.empty() ? "" : ", ") + std::to_string(s);
            throw EUsageError("\"" + std::string(item) + "\" is not a search speed (" + list + " or all)");
        }
        speeds.insert(static_cast<int32_t>(*n));
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
    }
    return speeds;
}

std::string SpeedText(int64_t BitsPerSecond)
{
    return std::to_string(BitsPerSecond) + " bit/s";
}

void RequireFolderOf(const std::string& File)
{
    if (File.empty())
        return;
    const std::filesystem::path folder = Utf8Path(File).parent_path();
    std::error_code ec;
    if (!folder.empty() && !std::filesystem::is_directory(folder, ec))
        throw EUsageError(File + ": the folder " + folder.string() + " does not exist");
}

}  // namespace kelvo::ctl
