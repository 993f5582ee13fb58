#include "kelvoctl_doctor.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace kelvo::ctl {

namespace {

namespace fs = std::filesystem;

std::string FirstLine(const fs::path& File)
{
    std::string line;
    std::ifstream in(File);
    std::getline(in, line);
    return line;
}

bool Has(const std::vector<std::string>& List, const std::string& Item)
{
    return std::find(List.begin(), List.end(), Item) != List.end();
}

std::string ModeText(unsigned Mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", Mode & 07777u);
    return text;
}

// "(root:dialout, mode 0660)"
std::string Permissions(const TNodeFacts& Node)
{
    return "(" + (Node.Owner.empty() ? std::string("?") : Node.Owner) + ":" +
           (Node.Group.empty() ? std::string("?") : Node.Group) + ", mode " + ModeText(Node.Mode) + ")";
}

bool GroupMayOpen(const TNodeFacts& Node)
{
    return (Node.Mode & 060u) == 060u && !Node.Group.empty() && Node.Group != "root";
}

std::string Joined(const std::vector<std::string>& Items)
{
    std::string out;
    for (const std::string& i : Items)
        out += (out.empty() ? "" : ", ") + i;
    return out;
}

// Why Node does not open for User, and the fix, after "permission denied on ...".
std::string PermissionText(const TNodeFacts& Node, const TUserFacts& User)
{
    if (GroupMayOpen(Node))
        return Permissions(Node) + " \u2014 " + GroupFix(User, Node.Group);
    return Permissions(Node) + ": only " + (Node.Owner.empty() ? std::string("its owner") : Node.Owner) +
           " may open it \u2014 a udev rule has to give it to a group of yours (for serial ports: dialout)";
}

std::string InUseText(const TNodeFacts& Node, const TUserFacts& User, const std::string& Name)
{
    if (!Node.Holders.empty())
        return Node.Node + " is in use by " + Node.Holders + " \u2014 close that program, then try again";
    return Node.Node + " is in use by another program" +
           (User.Root || !User.HasGroups ? std::string()
                                         : " (only root may see which: sudo kelvoctl doctor " + Name + ")") +
           " \u2014 close it, then try again";
}

TFinding Ok(std::string Subject, std::string Text)
{
    return {TVerdict::Ok, std::move(Subject), std::move(Text)};
}

TFinding Note(std::string Subject, std::string Text)
{
    return {TVerdict::Note, std::move(Subject), std::move(Text)};
}

TFinding Problem(std::string Subject, std::string Text)
{
    return {TVerdict::Problem, std::move(Subject), std::move(Text)};
}

const char* VerdictName(TVerdict V)
{
    switch (V) {
    case TVerdict::Ok: return "ok";
    case TVerdict::Note: return "note";
    case TVerdict::Problem: return "problem";
    }
    return "?";
}

}  // namespace

std::string GroupFix(const TUserFacts& User, const std::string& Group)
{
    if (Has(User.ListedGroups, Group) && !Has(User.Groups, Group))
        return "you are in the group " + Group + " since this login began: log out and in again (or run: newgrp " +
               Group + ")";
    return "add your user to the group " + Group + ": sudo usermod -aG " + Group + " " + User.Name +
           ", then log out and in again";
}

std::optional<TFinding> PortFinding(const std::string& Name, const TNodeFacts& Node, const TUserFacts& User,
                                    bool Named)
{
    switch (Node.Access) {
    case TNodeAccess::Missing:
        if (!Named)
            return std::nullopt;
        return Problem(Name, "no such port: " + Node.Node +
                                 " does not exist, nothing is plugged in there (kelvoctl ports lists the ports present)");
    case TNodeAccess::NoUart:
        if (!Named)
            return std::nullopt;
        return Problem(Name, Node.Node + " has no UART behind it: the machine has no such serial port");
    case TNodeAccess::NotSerial:
        return Problem(Name, Node.Node + " is not a serial port");
    case TNodeAccess::NoPermission:
        return Problem(Name, "permission denied on " + Node.Node + " " + PermissionText(Node, User));
    case TNodeAccess::InUse:
        return Problem(Name, InUseText(Node, User, Name));
    case TNodeAccess::Failed:
        return Problem(Name, Node.Node + " cannot be opened: " + Node.Error);
    case TNodeAccess::Opened:
        break;
    }
    if (!Node.Holders.empty() && Node.Pseudo)
        return Ok(Name, Node.Node + ", free (a pseudo-terminal, also open in " + Node.Holders + ": its serving end)");
    if (!Node.Holders.empty())
        return Problem(Name, Node.Node + " opens, but " + Node.Holders +
                                 " has it open too and would take the module's replies \u2014 close that program");
    return Ok(Name, Node.Node + ", free");
}

std::vector<TFinding> GroupFindings(const TUserFacts& User, bool D2xxLoaded)
{
    if (!User.HasGroups)
        return {};
    if (User.Root)
        return {Ok("groups", "running as root: every device node opens")};
    std::vector<TFinding> out;
    if (Has(User.Groups, "dialout"))
        out.push_back(Ok("group dialout", User.Name + " is in it: serial ports open"));
    else
        out.push_back(Problem("group dialout", "serial ports (/dev/ttyUSB*, /dev/ttyACM*, /dev/ttyS*) belong to it "
                                               "\u2014 " + GroupFix(User, "dialout")));
    if (Has(User.Groups, "plugdev"))
        out.push_back(Ok("group plugdev", User.Name + " is in it: FTDI chips open for the D2XX library"));
    else if (D2xxLoaded)
        out.push_back(Problem("group plugdev", "FTDI chips belong to it for the D2XX library (the package's udev "
                                               "rule) \u2014 " + GroupFix(User, "plugdev")));
    else
        out.push_back(Note("group plugdev", User.Name + " is not in it; it matters only for FTDI's D2XX library"));
    return out;
}

TFinding LibraryFinding(const TLibraryFacts& Library)
{
    const std::string subject = "D2XX library";
    if (Library.Loaded)
        return Ok(subject, (Library.File.empty() ? Library.Wanted : Library.File) +
                               (Library.FromEnvironment ? " (named by KELVO_FTD2XX)" : "") +
                               ": USB devices are reached directly");
    // The loader's words begin with the name looked for: not twice.
    std::string error = Library.Error;
    if (error.rfind(Library.Wanted + ": ", 0) == 0)
        error.erase(0, Library.Wanted.size() + 2);
    const std::string why = error.empty() ? std::string() : " (" + error + ")";
    if (Library.FromEnvironment)
        return Problem(subject, "KELVO_FTD2XX names " + Library.Wanted + ", which cannot be loaded" + why +
                                    " \u2014 name the library's file, or unset KELVO_FTD2XX");
    return Note(subject, Library.Wanted + " not found" + why +
                             ": USB modules are reached as COM ports only, through the system's serial driver");
}

std::vector<TFinding> ChipFindings(const TFtdiChip& Chip, const std::string& ComName, bool D2xxLoaded,
                                   const TUserFacts& User)
{
    const std::string subject =
        "FTDI chip " + (Chip.Serial.empty() ? std::string("without serial number") : Chip.Serial);
    const std::string what = Chip.Product.empty() ? std::string() : Chip.Product + ": ";
    if (!Chip.Driver.empty()) {
        const std::string as = Chip.TtyNode.empty()
                                   ? std::string()
                                   : " as " + Chip.TtyNode + (ComName.empty() ? "" : " (" + ComName + ")");
        const std::string driven = "driven by the kernel's " + Chip.Driver + as;
        if (!D2xxLoaded)
            return {Ok(subject, what + driven)};
        const std::string use = ComName.empty() ? std::string() : "use " + ComName + ", or ";
        return {Problem(subject, what + driven + ", so the D2XX library cannot open it \u2014 " + use +
                                     "free it for D2XX: echo -n " + Chip.Interface + " | sudo tee /sys/bus/usb/drivers/" +
                                     Chip.Driver + "/unbind")};
    }
    if (!D2xxLoaded)
        return {Problem(subject, what + "no kernel serial driver drives it and there is no D2XX library \u2014 "
                                        "load the kernel's driver: sudo modprobe ftdi_sio")};
    const TNodeFacts& usb = Chip.Usb;
    switch (usb.Access) {
    case TNodeAccess::Opened:
        return {Ok(subject, what + "free for the D2XX library (" + usb.Node + ")")};
    case TNodeAccess::NoPermission:
        if (GroupMayOpen(usb))
            return {Problem(subject, what + "the D2XX library may not open " + usb.Node + " " + Permissions(usb) +
                                         " \u2014 " + GroupFix(User, usb.Group))};
        return {Problem(subject, what + "the D2XX library may not open " + usb.Node + " " + Permissions(usb) +
                                     " \u2014 install the udev rule 60-kelvosetup-ftdi.rules (the package brings it; it "
                                     "gives FTDI chips to the group plugdev), then plug the chip in again")};
    case TNodeAccess::InUse:
        return {Problem(subject, what + InUseText(usb, User, "USB:" + Chip.Serial))};
    default:
        return {Problem(subject, what + usb.Node + " cannot be opened" +
                                     (usb.Error.empty() ? std::string() : ": " + usb.Error))};
    }
}

TFinding DeviceFinding(const TD2xxDevice& Device)
{
    const std::string subject = "USB:" + Device.Serial;
    const std::string what = Device.Description.empty() ? std::string() : Device.Description + ": ";
    if (Device.Opened)
        return Ok(subject, what + "free");
    return Problem(subject, what + "the D2XX library cannot open it (" + Device.OpenStatus +
                                ") \u2014 another program holds it, or the kernel's serial driver does");
}

std::vector<TFtdiChip> FtdiChips(const std::string& SysRoot, const std::string& DevRoot)
{
    std::vector<TFtdiChip> chips;
    const fs::path devices = fs::path(SysRoot) / "bus" / "usb" / "devices";
    std::error_code ec;
    std::vector<fs::path> entries;
    for (const fs::directory_entry& e : fs::directory_iterator(devices, ec))
        entries.push_back(e.path());
    std::sort(entries.begin(), entries.end());
    for (const fs::path& dev : entries) {
        const std::string name = dev.filename().string();
        if (name.find(':') != std::string::npos || FirstLine(dev / "idVendor") != "0403")
            continue;
        TFtdiChip chip;
        chip.Serial = FirstLine(dev / "serial");
        chip.Product = FirstLine(dev / "product");
        const int bus = std::atoi(FirstLine(dev / "busnum").c_str());
        const int num = std::atoi(FirstLine(dev / "devnum").c_str());
        char node[32];
        std::snprintf(node, sizeof node, "bus/usb/%03d/%03d", bus, num);
        chip.UsbNode = (fs::path(DevRoot) / node).string();
        // Its interfaces are "<name>:<config>.<interface>"; the first one
        // with a driver tells who drives the chip.
        for (const fs::path& iface : entries) {
            const std::string n = iface.filename().string();
            if (n.rfind(name + ":", 0) != 0)
                continue;
            if (chip.Interface.empty())
                chip.Interface = n;
            const fs::path driver = fs::read_symlink(iface / "driver", ec);
            if (ec)
                continue;
            chip.Interface = n;
            chip.Driver = driver.filename().string();
            for (const fs::directory_entry& e : fs::directory_iterator(iface, ec))
                if (e.path().filename().string().rfind("ttyUSB", 0) == 0)
                    chip.TtyNode = (fs::path(DevRoot) / e.path().filename()).string();
            break;
        }
        chips.push_back(std::move(chip));
    }
    return chips;
}

size_t ProblemCount(const std::vector<TFinding>& Findings)
{
    return size_t(std::count_if(Findings.begin(), Findings.end(),
                                [](const TFinding& f) { return f.Verdict == TVerdict::Problem; }));
}

std::string DoctorText(const TUserFacts& User, const std::vector<TFinding>& Findings)
{
    std::string out = "Checked as " + User.Name;
    if (User.HasGroups)
        out += " (groups: " + (User.Groups.empty() ? std::string("none") : Joined(User.Groups)) + ")";
    out += "\n";
    for (const TFinding& f : Findings) {
        const char* mark = f.Verdict == TVerdict::Problem ? "PROBLEM" : f.Verdict == TVerdict::Note ? "note" : "ok";
        char head[16];
        std::snprintf(head, sizeof head, "  %-9s", mark);
        out += head + f.Subject + ": " + f.Text + "\n";
    }
    if (ProblemCount(Findings) == 0)
        out += "Nothing stands in the way.\n";
    return out;
}

nlohmann::ordered_json DoctorJson(const TUserFacts& User, const std::vector<TFinding>& Findings)
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const TFinding& f : Findings)
        list.push_back({{"verdict", VerdictName(f.Verdict)}, {"subject", f.Subject}, {"text", f.Text}});
    nlohmann::ordered_json user{{"name", User.Name}, {"root", User.Root}};
    if (User.HasGroups)
        user["groups"] = User.Groups;
    return {{"user", std::move(user)}, {"findings", std::move(list)}, {"problems", ProblemCount(Findings)}};
}

}  // namespace kelvo::ctl
