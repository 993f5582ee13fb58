// kelvoctl doctor run as a technician runs it, against a simulated module's
// pty: a port held by another process, a port the user may not open, the
// D2XX library missing or found; and FTDI chips read from a sysfs tree made
// for the test. The doctor must leave the port as it found it and send
// nothing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <fstream>

#include "KelvoctlRun.h"
#include "SimD2XX.h"
#include "kelvoctl_doctor.h"
#include "uSimModule.h"
#include "uSimPty.h"
#include <nlohmann/json.hpp>

using namespace kelvo;
using namespace kelvo::ctltest;
namespace fs = std::filesystem;

namespace {

constexpr unsigned kPort = 202;

class KelvoctlDoctor : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kelvoctl-doctor-XXXXXX";
        Dir = ::mkdtemp(tmpl);
        kelvo::testing::SetEnv("KELVO_PORTS_DIR", Dir.string());
        kelvo::testing::UnsetEnv("KELVO_FTD2XX");
        Pty = std::make_unique<TSimPty>(Module);
        TSimPtyOptions options;
        options.LinkDir = Dir.string();
        options.PortNumber = kPort;
        Pty->Start(options);
        Node = Pty->SlaveName();
    }
    void TearDown() override
    {
        Pty->Stop();
        kelvo::testing::UnsetEnv("KELVO_PORTS_DIR");
        std::error_code ec;
        fs::remove_all(Dir, ec);
    }

    fs::path Dir;
    TSimModule Module{DefaultSimSettings()};
    std::unique_ptr<TSimPty> Pty;
    std::string Node;
};

}  // namespace

TEST_F(KelvoctlDoctor, APortHeldByAnotherProcessIsNamedAndLeftAsItWas)
{
    const int fd = ::open(Node.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios before{};
    ASSERT_EQ(::tcgetattr(fd, &before), 0);
    const std::string self = "kelvoctl_tests (pid " + std::to_string(::getpid()) + ")";

    // Open without a lock: a pseudo-terminal's other users are its serving
    // end (here this test, which also serves the module).
    TRun r = Ctl({"doctor"});
    EXPECT_EQ(r.Status, 0) << Describe(r);
    EXPECT_NE(Line(r.Out, "COM202:").find("ok       COM202: " + Node + ", free (a pseudo-terminal, also open in " +
                                          self + ": its serving end)"),
              std::string::npos)
        << Describe(r);
    // Locked, as KelvoSetup's programs hold their ports.
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    r = Ctl({"doctor", "COM202"});
    EXPECT_EQ(r.Status, 1) << Describe(r);
    EXPECT_NE(Line(r.Out, "COM202:").find(Node + " is in use by " + self + " \u2014 close that program"),
              std::string::npos)
        << Describe(r);
    EXPECT_NE(r.Err.find("kelvoctl: "), std::string::npos) << Describe(r);

    // Nothing sent, nothing set, and not left exclusive to the next opener.
    EXPECT_TRUE(Module.RequestLog().empty());
    termios after{};
    ASSERT_EQ(::tcgetattr(fd, &after), 0);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    int exclusive = -1;
    ASSERT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    ::close(fd);

    r = Ctl({"doctor", "COM202", "--json"});
    EXPECT_EQ(r.Status, 0) << Describe(r);
    const auto j = nlohmann::json::parse(r.Out);
    EXPECT_EQ(j["problems"], 0);
    EXPECT_EQ(j["findings"].back()["subject"], "COM202");
    EXPECT_EQ(j["findings"].back()["verdict"], "ok");
}

TEST_F(KelvoctlDoctor, APortWithoutPermissionGetsItsGroupFixInOneLine)
{
    std::vector<std::string> as;  // the user it runs as
    std::string user;
    std::string expected;
    if (::geteuid() == 0) {
        // As an unprivileged user, the node given to dialout as a serial
        // adapter's is.
        if (::access("/usr/bin/setpriv", X_OK) != 0)
            GTEST_SKIP() << "as root this needs setpriv (util-linux) to run kelvoctl as an unprivileged user";
        const group* dialout = ::getgrnam("dialout");
        ASSERT_NE(dialout, nullptr) << "no group dialout";
        ASSERT_EQ(::chmod(Dir.c_str(), 0755), 0);
        ASSERT_EQ(::chown(Node.c_str(), 0, dialout->gr_gid), 0);
        ASSERT_EQ(::chmod(Node.c_str(), 0660), 0);
        as = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        user = "nobody";
        expected = "permission denied on " + Node + " (root:dialout, mode 0660) \u2014 add your user to the group "
                   "dialout: sudo usermod -aG dialout nobody, then log out and in again";
    } else {
        // As this user, the node closed even to its owner.
        ASSERT_EQ(::chmod(Node.c_str(), 0), 0);
        user = ::getlogin() ? ::getlogin() : "";
        expected = "permission denied on " + Node;
    }
    const TRun r = TChild({"doctor"}, as).Finish();
    EXPECT_EQ(r.Status, 1) << Describe(r);
    EXPECT_NE(Line(r.Out, "COM202:").find(expected), std::string::npos) << Describe(r);
    if (::geteuid() == 0) {
        EXPECT_NE(Line(r.Out, "group dialout:").find("PROBLEM  group dialout: serial ports"), std::string::npos)
            << Describe(r);
    }
    EXPECT_TRUE(Module.RequestLog().empty());
}

TEST_F(KelvoctlDoctor, TheD2xxLibraryMissingMisnamedOrFound)
{
    // None installed (the usual Debian machine): a note, COM ports still work.
    if (::system("/sbin/ldconfig -p 2>/dev/null | grep -q libftd2xx.so") != 0) {
        const TRun r = Ctl({"doctor"});
        EXPECT_NE(Line(r.Out, "D2XX library:").find("note     D2XX library: libftd2xx.so not found"),
                  std::string::npos)
            << Describe(r);
    }
    // Named but not there: a problem with its fix.
    kelvo::testing::SetEnv("KELVO_FTD2XX", (Dir / "libftd2xx.so").string());
    TRun r = Ctl({"doctor"});
    EXPECT_EQ(r.Status, 1) << Describe(r);
    EXPECT_NE(Line(r.Out, "D2XX library:")
                  .find("PROBLEM  D2XX library: KELVO_FTD2XX names " + (Dir / "libftd2xx.so").string() +
                        ", which cannot be loaded (cannot open shared object file: No such file or directory) "
                        "\u2014 name the library's file, or unset KELVO_FTD2XX"),
              std::string::npos)
        << Describe(r);
    kelvo::testing::UnsetEnv("KELVO_FTD2XX");

    // Found: which file, and its devices opened and closed again.
    kelvo::testing::TSimD2XX sim{KELVO_FTD2XX_SIM, false};
    kelvo::testing::SetEnv("KELVO_FTD2XX", KELVO_FTD2XX_SIM);
    sim.Plug("FTD0C7", "description=Kelvo USB module\nmodel=usb");
    r = Ctl({"doctor", "USB:FTD0C7", "USB:FTNONE"});
    kelvo::testing::UnsetEnv("KELVO_FTD2XX");
    EXPECT_NE(Line(r.Out, "D2XX library:")
                  .find("ok       D2XX library: " + fs::canonical(KELVO_FTD2XX_SIM).string() +
                        " (named by KELVO_FTD2XX)"),
              std::string::npos)
        << Describe(r);
    EXPECT_NE(Line(r.Out, "USB:FTD0C7").find("ok       USB:FTD0C7: Kelvo USB module: free"), std::string::npos)
        << Describe(r);
    EXPECT_NE(Line(r.Out, "USB:FTNONE").find("the D2XX library lists no USB device of that serial number"),
              std::string::npos)
        << Describe(r);
    EXPECT_EQ(r.Status, 1) << Describe(r);
}

TEST(DoctorFtdiChips, AreReadFromSysfsWithTheirDriverAndNodes)
{
    char tmpl[] = "/tmp/kelvoctl-sysfs-XXXXXX";
    const fs::path root = ::mkdtemp(tmpl);
    const fs::path devices = root / "bus" / "usb" / "devices";
    auto device = [&](const std::string& Name, std::map<std::string, std::string> Files) {
        fs::create_directories(devices / Name);
        for (const auto& [file, text] : Files)
            std::ofstream(devices / Name / file) << text << "\n";
    };
    device("1-1", {{"idVendor", "1d6b"}, {"serial", "HUB"}});  // not FTDI
    device("1-1.2", {{"idVendor", "0403"}, {"serial", "FT12AB34"}, {"product", "FT232R USB UART"},
                     {"busnum", "1"}, {"devnum", "5"}});
    device("1-1.2:1.0", {});
    fs::create_directories(root / "bus" / "usb" / "drivers" / "ftdi_sio");
    fs::create_directory_symlink("../../drivers/ftdi_sio", devices / "1-1.2:1.0" / "driver");
    fs::create_directories(devices / "1-1.2:1.0" / "ttyUSB3");
    device("2-4", {{"idVendor", "0403"}, {"serial", "FTFREE"}, {"busnum", "2"}, {"devnum", "17"}});
    device("2-4:1.0", {});

    const std::vector<ctl::TFtdiChip> chips = ctl::FtdiChips(root.string(), "/dev");
    ASSERT_EQ(chips.size(), 2u);
    EXPECT_EQ(chips[0].Serial, "FT12AB34");
    EXPECT_EQ(chips[0].Product, "FT232R USB UART");
    EXPECT_EQ(chips[0].Interface, "1-1.2:1.0");
    EXPECT_EQ(chips[0].Driver, "ftdi_sio");
    EXPECT_EQ(chips[0].TtyNode, "/dev/ttyUSB3");
    EXPECT_EQ(chips[0].UsbNode, "/dev/bus/usb/001/005");
    EXPECT_EQ(chips[1].Serial, "FTFREE");
    EXPECT_EQ(chips[1].Interface, "2-4:1.0");
    EXPECT_EQ(chips[1].Driver, "");
    EXPECT_EQ(chips[1].TtyNode, "");
    EXPECT_EQ(chips[1].UsbNode, "/dev/bus/usb/002/017");
    EXPECT_TRUE(ctl::FtdiChips((root / "none").string()).empty());
    fs::remove_all(root);
}
