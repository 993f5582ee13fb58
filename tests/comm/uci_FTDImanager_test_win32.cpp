// The device manager's message window fed WM_DEVICECHANGE records as
// Windows sends them.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "FTDIManagerRecorder.h"
#include "SimD2XX.h"
#include "uMainThreadQueue.h"
#include "uMessageSink.h"

using namespace kelvo;
using kelvo::testing::TPlugRecorder;
using kelvo::testing::TSimD2XX;

namespace {

constexpr GUID kD2XXClass{0x219D0508, 0x57A8, 0x4FF5, {0x97, 0xA1, 0xBD, 0x86, 0x58, 0x7C, 0x6C, 0x7E}};
constexpr GUID kOtherClass{0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// A record with its name after the fixed part, as Windows builds them.
std::vector<char> PortRecord(const char* Name)
{
    std::vector<char> buf(sizeof(DEV_BROADCAST_PORT_A) + std::strlen(Name) + 1, 0);
    auto* r = reinterpret_cast<DEV_BROADCAST_PORT_A*>(buf.data());
    r->dbcp_size = static_cast<DWORD>(buf.size());
    r->dbcp_devicetype = DBT_DEVTYP_PORT;
    std::strcpy(r->dbcp_name, Name);
    return buf;
}

std::vector<char> InterfaceRecord(const GUID& Class, const char* Path)
{
    std::vector<char> buf(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) + std::strlen(Path) + 1, 0);
    auto* r = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(buf.data());
    r->dbcc_size = static_cast<DWORD>(buf.size());
    r->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    r->dbcc_classguid = Class;
    std::strcpy(r->dbcc_name, Path);
    return buf;
}

}  // namespace

TEST(FTDIManagerWindow, DeviceChangeRecordsBecomeArrivalsAndRemovals)
{
    TMainThreadQueue::Init();
    TSimD2XX sim;
    std::vector<std::string> shown;
    TScopedMessageSink sink([&](const std::string& t) { shown.push_back(t); });
    TFTDIManager manager;
    TPlugRecorder plugs;
    plugs.Attach(manager);

    const char* path = "\\\\?\\USB#VID_0403&PID_6001#FT42AB#{219d0508-57a8-4ff5-97a1-bd86587c6c7e}";
    auto port = PortRecord("COM7");
    auto usb = InterfaceRecord(kD2XXClass, path);
    auto other = InterfaceRecord(kOtherClass, path);
    auto shortPath = InterfaceRecord(kD2XXClass, "\\\\?\\USB#VID_0403");
    DEV_BROADCAST_HDR volume{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_VOLUME, 0};

    ASSERT_TRUE(manager.DeliverDeviceChange(DBT_DEVICEARRIVAL, port.data()));
    manager.DeliverDeviceChange(DBT_DEVICEARRIVAL, usb.data());
    manager.DeliverDeviceChange(DBT_DEVICEARRIVAL, other.data());             // another class: ignored
    manager.DeliverDeviceChange(DBT_DEVICEARRIVAL, &volume);                  // a volume: ignored
    manager.DeliverDeviceChange(DBT_DEVICEQUERYREMOVE, usb.data());           // another event: ignored
    manager.DeliverDeviceChange(DBT_DEVICEARRIVAL, nullptr);                  // no record: ignored
    manager.DeliverDeviceChange(DBT_DEVICEARRIVAL, shortPath.data());         // reported, then on
    manager.DeliverDeviceChange(DBT_DEVICEREMOVECOMPLETE, usb.data());
    manager.DeliverDeviceChange(DBT_DEVICEREMOVECOMPLETE, PortRecord("COM9").data());

    EXPECT_EQ(plugs.Events, (std::vector<std::string>{"+COM7", "+FT42AB", "-FT42AB", "-"}));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].find("List index"), std::string::npos) << shown[0];
    EXPECT_EQ(manager.Count(), 2);
    TPlugRecorder::Detach(manager);
}
