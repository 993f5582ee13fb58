// kelvoctl doctor's verdicts, from facts alone: which facts are a problem,
// and that the line says what to do about it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelvoctl_doctor.h"

using namespace kelvo::ctl;

namespace {

TUserFacts Anna(std::vector<std::string> Groups, std::vector<std::string> Listed = {})
{
    TUserFacts u;
    u.Name = "anna";
    u.HasGroups = true;
    u.Groups = std::move(Groups);
    u.ListedGroups = Listed.empty() ? u.Groups : std::move(Listed);
    return u;
}

TNodeFacts Node(TNodeAccess Access, std::string Group = "dialout", unsigned Mode = 0660, std::string Holders = {})
{
    TNodeFacts n;
    n.Node = "/dev/ttyUSB0";
    n.Access = Access;
    n.Owner = "root";
    n.Group = std::move(Group);
    n.Mode = Mode;
    n.Holders = std::move(Holders);
    n.Error = "Input/output error";
    return n;
}

struct TCase {
    const char* What;
    TNodeFacts Node;
    TUserFacts User;
    bool Named;
    std::optional<TVerdict> Verdict;  // none: no line at all
    std::string Says;                 // a part of the line
};

}  // namespace

TEST(DoctorVerdicts, PortsSayWhatStandsInTheWayAndTheFix)
{
    const TUserFacts plain = Anna({"anna"});
    const std::string addDialout =
        "permission denied on /dev/ttyUSB0 (root:dialout, mode 0660) \u2014 add your user to the group dialout: "
        "sudo usermod -aG dialout anna, then log out and in again";
    const TCase cases[] = {
        {"free", Node(TNodeAccess::Opened), plain, false, TVerdict::Ok, "/dev/ttyUSB0, free"},
        {"not in the group", Node(TNodeAccess::NoPermission), plain, false, TVerdict::Problem, addDialout},
        {"in the group from the next login", Node(TNodeAccess::NoPermission), Anna({"anna"}, {"anna", "dialout"}),
         false, TVerdict::Problem, "since this login began: log out and in again (or run: newgrp dialout)"},
        {"no group may open it", Node(TNodeAccess::NoPermission, "dialout", 0600), plain, false, TVerdict::Problem,
         "(root:dialout, mode 0600): only root may open it \u2014 a udev rule"},
        {"the root group is no fix", Node(TNodeAccess::NoPermission, "root", 0660), plain, false, TVerdict::Problem,
         "only root may open it"},
        {"held, and who holds it", Node(TNodeAccess::InUse, "dialout", 0660, "minicom (pid 1234)"), plain, false,
         TVerdict::Problem, "/dev/ttyUSB0 is in use by minicom (pid 1234) \u2014 close that program"},
        {"held by someone this user may not see", Node(TNodeAccess::InUse), plain, false, TVerdict::Problem,
         "only root may see which: sudo kelvoctl doctor COM33"},
        {"open in another program without a lock", Node(TNodeAccess::Opened, "dialout", 0660, "screen (pid 9)"),
         plain, false, TVerdict::Problem, "opens, but screen (pid 9) has it open too"},
        {"a pseudo-terminal's serving end", [] {
             TNodeFacts n = Node(TNodeAccess::Opened, "tty", 0620, "kelvo-sim (pid 7)");
             n.Pseudo = true;
             return n;
         }(),
         plain, false, TVerdict::Ok, "free (a pseudo-terminal, also open in kelvo-sim (pid 7)"},
        {"not a terminal", Node(TNodeAccess::NotSerial), plain, false, TVerdict::Problem, "is not a serial port"},
        {"other failures in the system's words", Node(TNodeAccess::Failed), plain, false, TVerdict::Problem,
         "cannot be opened: Input/output error"},
        // What is not there is listed only when it was asked for.
        {"missing, unasked", Node(TNodeAccess::Missing), plain, false, std::nullopt, ""},
        {"missing, asked", Node(TNodeAccess::Missing), plain, true, TVerdict::Problem, "no such port: /dev/ttyUSB0 does not exist"},
        {"no UART, unasked", Node(TNodeAccess::NoUart), plain, false, std::nullopt, ""},
        {"no UART, asked", Node(TNodeAccess::NoUart), plain, true, TVerdict::Problem, "has no UART behind it"},
    };
    for (const TCase& c : cases) {
        const std::optional<TFinding> f = PortFinding("COM33", c.Node, c.User, c.Named);
        ASSERT_EQ(f.has_value(), c.Verdict.has_value()) << c.What;
        if (!f)
            continue;
        EXPECT_EQ(f->Verdict, *c.Verdict) << c.What;
        EXPECT_EQ(f->Subject, "COM33") << c.What;
        EXPECT_NE(f->Text.find(c.Says), std::string::npos) << c.What << ": " << f->Text;
    }
}

TEST(DoctorVerdicts, GroupsMatterWhereTheyOpenSomething)
{
    auto verdicts = [](const TUserFacts& U, bool D2xx) {
        std::vector<std::pair<std::string, TVerdict>> out;
        for (const TFinding& f : GroupFindings(U, D2xx))
            out.emplace_back(f.Subject, f.Verdict);
        return out;
    };
    using V = std::vector<std::pair<std::string, TVerdict>>;
    EXPECT_EQ(verdicts(Anna({"anna"}), false),
              (V{{"group dialout", TVerdict::Problem}, {"group plugdev", TVerdict::Note}}));
    EXPECT_EQ(verdicts(Anna({"anna"}), true),
              (V{{"group dialout", TVerdict::Problem}, {"group plugdev", TVerdict::Problem}}));
    EXPECT_EQ(verdicts(Anna({"plugdev", "dialout"}), true),
              (V{{"group dialout", TVerdict::Ok}, {"group plugdev", TVerdict::Ok}}));
    TUserFacts root = Anna({"root"});
    root.Root = true;
    EXPECT_EQ(verdicts(root, true), (V{{"groups", TVerdict::Ok}}));
    TUserFacts windows;
    EXPECT_TRUE(GroupFindings(windows, true).empty());

    // The missing group in one line, with its fix.
    const TFinding dialout = GroupFindings(Anna({"anna"}), false).front();
    EXPECT_NE(dialout.Text.find("sudo usermod -aG dialout anna, then log out and in again"), std::string::npos)
        << dialout.Text;
    EXPECT_EQ(dialout.Text.find('\n'), std::string::npos);
}

TEST(DoctorVerdicts, TheLibraryFoundMissingOrMisnamed)
{
    TLibraryFacts found{"libftd2xx.so", false, true, "/usr/lib/libftd2xx.so.1.4.27", ""};
    EXPECT_EQ(LibraryFinding(found).Verdict, TVerdict::Ok);
    EXPECT_NE(LibraryFinding(found).Text.find("/usr/lib/libftd2xx.so.1.4.27"), std::string::npos);

    // Without it the program works with COM ports: a note, the loader's words once.
    TLibraryFacts missing{"libftd2xx.so", false, false, "",
                          "libftd2xx.so: cannot open shared object file: No such file or directory"};
    const TFinding m = LibraryFinding(missing);
    EXPECT_EQ(m.Verdict, TVerdict::Note);
    EXPECT_EQ(m.Text, "libftd2xx.so not found (cannot open shared object file: No such file or directory): USB "
                      "modules are reached as COM ports only, through the system's serial driver");

    // One the user named on purpose and that does not load is a problem.
    TLibraryFacts named{"/opt/ftdi/libftd2xx.so", true, false, "", "/opt/ftdi/libftd2xx.so: wrong ELF class"};
    const TFinding n = LibraryFinding(named);
    EXPECT_EQ(n.Verdict, TVerdict::Problem);
    EXPECT_NE(n.Text.find("KELVO_FTD2XX names /opt/ftdi/libftd2xx.so, which cannot be loaded (wrong ELF class)"),
              std::string::npos)
        << n.Text;
}

TEST(DoctorVerdicts, FtdiChipsByThePathThatReachesThem)
{
    const TUserFacts anna = Anna({"anna"});
    TFtdiChip kernel;
    kernel.Serial = "FT12AB34";
    kernel.Interface = "1-1.2:1.0";
    kernel.Driver = "ftdi_sio";
    kernel.TtyNode = "/dev/ttyUSB0";
    // Without D2XX the kernel's driver is the way: fine.
    auto only = [](const std::vector<TFinding>& F) {
        EXPECT_EQ(F.size(), 1u);
        return F.empty() ? TFinding{} : F.front();
    };
    EXPECT_EQ(only(ChipFindings(kernel, "COM33", false, anna)).Verdict, TVerdict::Ok);
    // With D2XX the kernel's driver stands in its way.
    const TFinding held = only(ChipFindings(kernel, "COM33", true, anna));
    EXPECT_EQ(held.Verdict, TVerdict::Problem);
    EXPECT_EQ(held.Subject, "FTDI chip FT12AB34");
    EXPECT_NE(held.Text.find("driven by the kernel's ftdi_sio as /dev/ttyUSB0 (COM33), so the D2XX library cannot "
                             "open it \u2014 use COM33, or free it for D2XX: echo -n 1-1.2:1.0 | sudo tee "
                             "/sys/bus/usb/drivers/ftdi_sio/unbind"),
              std::string::npos)
        << held.Text;

    TFtdiChip bare = kernel;
    bare.Driver.clear();
    bare.TtyNode.clear();
    EXPECT_NE(only(ChipFindings(bare, "", false, anna)).Text.find("sudo modprobe ftdi_sio"), std::string::npos);
    bare.Usb = Node(TNodeAccess::Opened);
    bare.Usb.Node = "/dev/bus/usb/001/005";
    EXPECT_EQ(only(ChipFindings(bare, "", true, anna)).Verdict, TVerdict::Ok);
    // The udev rule gave it to plugdev: join the group. No rule: install it.
    bare.Usb.Access = TNodeAccess::NoPermission;
    bare.Usb.Group = "plugdev";
    EXPECT_NE(only(ChipFindings(bare, "", true, anna)).Text.find("sudo usermod -aG plugdev anna"), std::string::npos);
    bare.Usb.Group = "root";
    bare.Usb.Mode = 0664;
    EXPECT_NE(only(ChipFindings(bare, "", true, anna)).Text.find("install the udev rule 60-kelvosetup-ftdi.rules"),
              std::string::npos);
}

TEST(DoctorVerdicts, TheReportCountsOnlyProblems)
{
    const std::vector<TFinding> fine{{TVerdict::Ok, "COM3", "free"}, {TVerdict::Note, "D2XX library", "none"}};
    EXPECT_EQ(ProblemCount(fine), 0u);
    EXPECT_EQ(DoctorText(Anna({"anna", "dialout"}), fine),
              "Checked as anna (groups: anna, dialout)\n"
              "  ok       COM3: free\n"
              "  note     D2XX library: none\n"
              "Nothing stands in the way.\n");
    std::vector<TFinding> bad = fine;
    bad.push_back({TVerdict::Problem, "COM33", "permission denied"});
    EXPECT_EQ(ProblemCount(bad), 1u);
    EXPECT_EQ(DoctorText(Anna({"anna"}), bad).find("Nothing stands"), std::string::npos);
    const auto j = DoctorJson(Anna({"anna"}), bad);
    EXPECT_EQ(j["problems"], 1);
    EXPECT_EQ(j["findings"][2]["verdict"], "problem");
    EXPECT_EQ(j["findings"][2]["subject"], "COM33");
}
