// kelvoctl doctor: the facts of this machine gathered, judged and printed.
#include <algorithm>
#include <cstring>
#include <iostream>

#include "kelvoctl_connect.h"
#include "kelvoctl_doctor.h"
#include "AfComPortCore.h"
#include "uci_FTDIdirect.h"
#include "uci_FTDImanager.h"

namespace kelvo::ctl {

namespace {

constexpr int kHighestPort = 255;

// The USB devices the D2XX library lists, each opened and closed again
// unless the library says another program has it open.
std::vector<TD2xxDevice> D2xxDevices()
{
    std::vector<TD2xxDevice> out;
    uint32_t count = 0;
    if (FTW_CreateDeviceInfoList(&count) != FT_OK)
        return out;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t flags = 0, type = 0, id = 0, location = 0;
        char serial[FTSerialNumberSize] = {};
        char description[FTDescriptionSize] = {};
        FT_HANDLE handle = nullptr;
        if (FTW_GetDeviceInfoDetail(i, &flags, &type, &id, &location, serial, description, &handle) != FT_OK)
            continue;
        TD2xxDevice d;
        d.Serial.assign(serial, strnlen(serial, sizeof serial));
        d.Description.assign(description, strnlen(description, sizeof description));
        constexpr uint32_t kOpenedElsewhere = 1;
        if (flags & kOpenedElsewhere) {
            d.OpenStatus = "it is open in another program";
        } else {
            FT_HANDLE h = nullptr;
            const FT_STATUS st = FTW_OpenEx(d.Serial.data(), FT_OPEN_BY_SERIAL_NUMBER, &h);
            d.Opened = st == FT_OK;
            if (d.Opened)
                FTW_Close(h);
            else
                d.OpenStatus = FTStatusText(st);
        }
        out.push_back(std::move(d));
    }
    return out;
}

bool Wanted(const std::vector<TInterfaceName>& Only, uint16_t Port, const std::string& UsbSerial)
{
    if (Only.empty())
        return true;
    for (const TInterfaceName& n : Only)
        if ((Port != 0 && n.Port == Port) || (!UsbSerial.empty() && n.UsbSerial == UsbSerial))
            return true;
    return false;
}

}  // namespace

TLibraryFacts LibraryFacts()
{
    TLibraryFacts l;
    l.Wanted = ftdirect::EnvironmentValue("KELVO_FTD2XX");
    l.FromEnvironment = !l.Wanted.empty();
    if (!l.FromEnvironment)
        l.Wanted = ftdirect::DefaultLibraryName();
    l.Loaded = FTDirectLoaded();
    if (l.Loaded)
        l.File = LoadedLibraryFile(l.Wanted);
    else
        l.Error = LibraryLoadFailure(l.Wanted);
    return l;
}

void RunDoctor(const TOutput& Out, const std::vector<std::string>& Interfaces)
{
    std::vector<TInterfaceName> only;
    for (const std::string& i : Interfaces) {
        TInterfaceName name = ParseInterfaceName(i);
        ResolveNode(name);
        only.push_back(name);
    }
    const TUserFacts user = CurrentUser();
    const TLibraryFacts library = LibraryFacts();
    std::vector<TFinding> findings = GroupFindings(user, library.Loaded);
    findings.push_back(LibraryFinding(library));

    bool any = false;
    for (int n = 1; n <= kHighestPort; ++n) {
        const std::string node = AfComPortDeviceName(n);
        if (node.empty() || !Wanted(only, uint16_t(n), {}))
            continue;
        const std::string name = "COM" + std::to_string(n);
        if (auto f = PortFinding(name, NodeFacts(node), user, !only.empty())) {
            findings.push_back(*f);
            any = true;
        }
    }
    for (TFtdiChip& chip : FtdiChips()) {
        const int com = ComNumberOfNode(chip.TtyNode);
        if (!Wanted(only, uint16_t(com), chip.Serial))
            continue;
        if (library.Loaded && chip.Driver.empty())
            chip.Usb = NodeFacts(chip.UsbNode, false);
        for (TFinding& f : ChipFindings(chip, com ? "COM" + std::to_string(com) : std::string(), library.Loaded, user))
            findings.push_back(std::move(f));
        any = true;
    }
    std::vector<std::string> listed;
    if (library.Loaded) {
        for (const TD2xxDevice& d : D2xxDevices()) {
            listed.push_back(d.Serial);
            if (!Wanted(only, 0, d.Serial))
                continue;
            findings.push_back(DeviceFinding(d));
            any = true;
        }
    }
    for (const TInterfaceName& n : only)
        if (!n.UsbSerial.empty() && std::find(listed.begin(), listed.end(), n.UsbSerial) == listed.end())
            findings.push_back({TVerdict::Problem, n.Text(),
                                library.Loaded ? "the D2XX library lists no USB device of that serial number"
                                               : "no D2XX library to reach USB devices by serial number: use the "
                                                 "chip's COM port"});
    if (!any && only.empty())
        findings.push_back({TVerdict::Note, "interfaces",
                            "no serial port or USB device found: plug the adapter in (kelvoctl watch shows it arrive)"});

    if (Out.Json)
        PrintJson(DoctorJson(user, findings));
    else
        std::cout << DoctorText(user, findings) << std::flush;
    if (const size_t problems = ProblemCount(findings))
        throw EStepFailed(std::to_string(problems) + (problems == 1 ? " problem stands" : " problems stand") +
                              " in the way (see above)",
                          Out.Json);
}

}  // namespace kelvo::ctl
