#pragma once
// kelvoctl doctor: why a port or a USB device cannot be used, and how to
// fix it, one line each. The facts come from the system (the backends
// kelvoctl_doctor_posix.cpp, kelvoctl_doctor_win32.cpp); the verdicts and
// their words are made here from facts alone, so that they can be checked
// without the machine they describe.
//
// Looking is all the doctor does: a port is opened and closed again (no
// lock kept, no exclusive mode, no line setting, not a byte sent), a USB
// device likewise.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kelvoctl_commands.h"

namespace kelvo::ctl {

enum class TVerdict { Ok, Note, Problem };

// One line of the report: "COM33: permission denied on /dev/ttyUSB0 ...".
struct TFinding {
    TVerdict Verdict = TVerdict::Ok;
    std::string Subject;  // "COM33", "USB:FT12AB34", "group dialout", "D2XX library"
    std::string Text;     // what is so; with a problem, what to do about it
};

// ---- facts --------------------------------------------------------------------

// The user the program runs as.
struct TUserFacts {
    std::string Name;
    bool Root = false;
    // Whether the system has groups for device access at all (not Windows).
    bool HasGroups = false;
    std::vector<std::string> Groups;        // in effect for this process
    std::vector<std::string> ListedGroups;  // the group database's: in effect from the next login
};

// What opening a node for reading and writing told.
enum class TNodeAccess {
    Opened,        // it opened (and was closed again)
    Missing,       // no such node
    NoUart,        // a legacy serial node with no UART behind it
    NotSerial,     // the node is no terminal
    NoPermission,  // the user may not open it
    InUse,         // another program holds it (exclusive or locked)
    Failed,        // anything else: Error says what
};

// A device node as the system shows it.
struct TNodeFacts {
    std::string Node;  // the node, links followed
    TNodeAccess Access = TNodeAccess::Missing;
    std::string Error;  // the system's words for Failed
    std::string Owner, Group;
    unsigned Mode = 0;
    // Other programs that have it open, e.g. "minicom (pid 1234)"; only
    // those whose open files this user may see.
    std::string Holders;
    // A pseudo-terminal (a simulated module's port): the program serving it
    // holds it open as its own end.
    bool Pseudo = false;
};

// An FTDI chip (vendor 0403) on the USB bus, as the kernel sees it.
struct TFtdiChip {
    std::string Serial;
    std::string Product;    // "FT232R USB UART"
    std::string Interface;  // the USB interface a driver binds, "1-1.2:1.0"
    std::string Driver;     // the kernel driver bound to it, "ftdi_sio"; empty: none
    std::string TtyNode;    // the serial node the driver made, "/dev/ttyUSB0"
    std::string UsbNode;    // the USB device node the D2XX library opens, "/dev/bus/usb/001/005"
    TNodeFacts Usb;         // and what opening it showed
};

// The FTDI D2XX library.
struct TLibraryFacts {
    std::string Wanted;            // the name or path looked for
    bool FromEnvironment = false;  // named by KELVO_FTD2XX
    bool Loaded = false;
    std::string File;   // loaded: the file it was loaded from
    std::string Error;  // not loaded: the system's words
};

// A USB device the D2XX library lists.
struct TD2xxDevice {
    std::string Serial;
    std::string Description;
    bool Opened = false;     // FT_OpenEx succeeded (and it was closed again)
    std::string OpenStatus;  // else the driver's status
};

// ---- findings from facts ---------------------------------------------------------

// What User does to be able to use a node of Group: "add your user to the
// group dialout: sudo usermod -aG dialout anna, then log out and in again",
// or only the new login when the group database lists the user already.
std::string GroupFix(const TUserFacts& User, const std::string& Group);

// One serial port: Name ("COM33") on Node. Without Named, a port that is not
// there (or has no UART) gives no finding: the report lists what exists.
std::optional<TFinding> PortFinding(const std::string& Name, const TNodeFacts& Node, const TUserFacts& User,
                                    bool Named);

// Membership in dialout (serial nodes) and plugdev (FTDI chips for D2XX,
// through the package's udev rule); plugdev matters only with D2XX.
std::vector<TFinding> GroupFindings(const TUserFacts& User, bool D2xxLoaded);

TFinding LibraryFinding(const TLibraryFacts& Library);

// An FTDI chip: which path reaches it, and what stands in the way of the
// one the program takes. ComName: the COM port of its serial node ("COM33").
std::vector<TFinding> ChipFindings(const TFtdiChip& Chip, const std::string& ComName, bool D2xxLoaded,
                                   const TUserFacts& User);

TFinding DeviceFinding(const TD2xxDevice& Device);

// The report: one line per finding, then the count of problems.
std::string DoctorText(const TUserFacts& User, const std::vector<TFinding>& Findings);
nlohmann::ordered_json DoctorJson(const TUserFacts& User, const std::vector<TFinding>& Findings);
size_t ProblemCount(const std::vector<TFinding>& Findings);

// The FTDI chips below SysRoot's bus/usb/devices (Linux's sysfs), their
// nodes in DevRoot; none where there is no such folder.
std::vector<TFtdiChip> FtdiChips(const std::string& SysRoot = "/sys", const std::string& DevRoot = "/dev");

// The command: every port, FTDI chip and USB device present, or those of
// Interfaces ("COM33", "/dev/ttyUSB0", "USB:FT12AB34"), after the user's
// groups and the D2XX library. Raises EStepFailed (exit status 1) when
// something stands in the way.
void RunDoctor(const TOutput& Out, const std::vector<std::string>& Interfaces);

// ---- facts from the system (backends) ------------------------------------------

TUserFacts CurrentUser();
// Opens Path for reading and writing without taking it, closes it again,
// and tells what that showed. Serial: a serial port's node (a terminal, with
// a UART behind it); else any device node (an FTDI chip's USB node).
TNodeFacts NodeFacts(const std::string& Path, bool Serial = true);
// The file the loaded library Name came from ("" when the system does not
// tell), and why Name did not load at the start (tried once more now).
std::string LoadedLibraryFile(const std::string& Name);
std::string LibraryLoadFailure(const std::string& Name);
// The library the binding loaded (or would have), and why not.
TLibraryFacts LibraryFacts();

}  // namespace kelvo::ctl
