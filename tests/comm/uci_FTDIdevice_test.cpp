// The D2XX binding and the FTDI device, against the simulated D2XX library.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "SimD2XX.h"
#include "uKelvoxx.h"
#include "uLogUtils.h"
#include "uMessageSink.h"
#include "uVerdel97.h"
#include "uci_FTDIcore.h"

using namespace kelvo;
using kelvo::testing::TSimD2XX;

namespace {

bool WaitUntil(const std::function<bool()>& Done, int Ms = 3000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
    while (!Done()) {
        if (std::chrono::steady_clock::now() >= end)
            return Done();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

const RawByteString kIdentify = BuildVerdel97Packet(kBroadcastAddress, kRequestSignature, kInstrIdentify, {});

struct TCounter {
    std::atomic<int> Opened{0}, Closed{0}, Data{0};
    void OnOpen(ICommunicationInterface*) { ++Opened; }
    void OnClose(ICommunicationInterface*) { ++Closed; }
    void OnData(ICommunicationInterface*) { ++Data; }
    void Attach(TFTDIDevice& D)
    {
        D.SetOnOpen(TCiNotifyEvent::Of<&TCounter::OnOpen>(this));
        D.SetOnClose(TCiNotifyEvent::Of<&TCounter::OnClose>(this));
    }
};

IntfPtr<TFTDIDevice> Device(const std::string& Serial)
{
    return MakeIntf<TFTDIDevice>(TFTDIDevice::TFromSerialNumber{Serial}, std::string());
}

std::string HostPathOfSim()
{
    return kelvo::testing::HostPath(KELVO_FTD2XX_SIM);
}

bool Identifies(TFTDIDevice& D)
{
    RawByteString reply;
    D.Query(kIdentify, 250, reply, &CheckVerdel97Packet);
    return CheckVerdel97Packet(reply) == 0;
}

}  // namespace

// ---- the binding --------------------------------------------------------------

TEST(FTDirect, StatusTextsAndWhatIsShown)
{
    const std::vector<std::pair<FT_STATUS, const char*>> table{
        {1, " - Invalid Handle..."},       {2, " - Device Not Found...."},    {3, " - Device Not Opened..."},
        {4, " - General IO Error..."},     {5, " - Insufficient Resources..."}, {6, " - Invalid Parameter ..."},
        {0xFFFF, " - Ftdi Direct Driver DLL not found..."}, {17, " - Unknown Status 17..."}};
    for (const auto& [status, text] : table)
        EXPECT_EQ(FTStatusText(status), text) << status;

    std::vector<std::string> shown;
    TScopedMessageSink sink([&](const std::string& t) { shown.push_back(t); });
    ShowFTError("GetFTDeviceCount", 0);
    ShowFTError("GetFTDeviceCount", 0xFFFF);
    ShowFTError("GetFTDeviceCount", 2);
    EXPECT_EQ(shown, std::vector<std::string>{"GetFTDeviceCount - Device Not Found...."});
}

TEST(FTDirect, WithoutTheLibraryEveryWrapperFailsWithItsOwnStatus)
{
    EXPECT_FALSE(BindFTDirect("no-such-ftd2xx-library"));
    uint32_t n = 7;
    FT_HANDLE h = reinterpret_cast<FT_HANDLE>(0x10);
    EXPECT_EQ(FTW_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY), FTStatusNotBound);
    EXPECT_EQ(FTW_OpenEx(const_cast<char*>("A"), FT_OPEN_BY_SERIAL_NUMBER, &h), FTStatusNotBound);
    EXPECT_EQ(FTW_GetQueueStatus(h, &n), FTStatusNotBound);
    EXPECT_EQ(FTW_Close(h), FTStatusNotBound);
    EXPECT_EQ(n, 7u);
    auto d = Device("A");
    EXPECT_FALSE(d->Open());
    EXPECT_EQ(d->InQueueCount(), 0);
}

TEST(FTDirect, ResetWithAZeroHandleNeverReachesTheDriver)
{
    TSimD2XX sim;
    ASSERT_TRUE(FTDirectLoaded());
    // The simulated driver answers FT_INVALID_HANDLE for any handle it did not give.
    EXPECT_EQ(FTW_ResetDevice(reinterpret_cast<FT_HANDLE>(0x10)), FT_INVALID_HANDLE);
    EXPECT_EQ(FTW_ResetDevice(nullptr), FTStatusNotBound);
}

// ---- the device ------------------------------------------------------------------

class FTDIDeviceTest : public ::testing::Test {
protected:
    TSimD2XX Sim;
};

TEST_F(FTDIDeviceTest, OpenAndCloseGuardTheirState)
{
    Sim.Plug("FT01");
    auto empty = Device("");
    EXPECT_FALSE(empty->Open());

    auto d = Device("FT01");
    TCounter c;
    c.Attach(*d);
    EXPECT_TRUE(d->Close(false));  // closed already: true, nothing raised
    EXPECT_EQ(c.Closed, 0);
    ASSERT_TRUE(d->Open());
    FT_HANDLE h = d->GetHandle();
    if (sizeof(void*) > 4) {
        EXPECT_GT(reinterpret_cast<uintptr_t>(h), uintptr_t(0xFFFFFFFFu)) << "the simulated handles need all their bits";
    }
    EXPECT_FALSE(d->Open());
    EXPECT_EQ(d->GetHandle(), h);
    EXPECT_TRUE(Identifies(*d));
    EXPECT_EQ(c.Opened, 1);
    EXPECT_TRUE(d->Close(false));
    EXPECT_EQ(c.Closed, 1);
    EXPECT_FALSE(d->GetActive());

    // Another program's device (our own open handle) cannot be opened twice.
    auto again = Device("FT01");
    ASSERT_TRUE(d->Open());
    EXPECT_FALSE(again->Open());
    d->Close(false);
}

TEST_F(FTDIDeviceTest, SettingsWhileClosed)
{
    Sim.Plug("FT02", "speed=9600");
    auto d = Device("FT02");
    std::string s;
    d->GetConnectionString(s);
    EXPECT_EQ(s, "provider=FTD_USB;serial_number=FT02;baudrate=115200;databits=8;stopbits=One;parity=None;dtr=0;rts=0");

    // The rate is kept and sent at the next open; the character time follows at once.
    d->SetBaudRate(9600);
    EXPECT_NEAR(d->GetCharTime(), 1000.0 / 9600 * 10, 1e-9);
    // The data format needs the driver, which refuses the zero handle.
    d->SetDataBits(7);
    EXPECT_EQ(d->GetDataBits(), 8);
    ASSERT_TRUE(d->Open());
    EXPECT_TRUE(Identifies(*d));

    // A rate the chip refuses keeps the old one (the character time has moved).
    d->SetBaudRate(100);
    EXPECT_EQ(d->GetBaudRate(), 9600);
    EXPECT_TRUE(d->GetActive());
    d->SetDataBits(7);  // open: the driver takes it, and the module no longer understands
    EXPECT_EQ(d->GetDataBits(), 7);
    EXPECT_FALSE(Identifies(*d));
    d->Close(false);
}

TEST_F(FTDIDeviceTest, ConnectionStringSwitchesTheDeviceAndReopens)
{
    Sim.Plug("FT03");
    Sim.Plug("FT04");
    auto d = MakeIntf<TFTDIDevice>("provider=FTD_USB;serial_number=FT03;active=1");
    ASSERT_TRUE(d->GetActive());
    d->SetConnectionString("serial_number=FT04");
    EXPECT_TRUE(d->GetActive());
    std::string name;
    d->GetName(name);
    EXPECT_EQ(name, "FT04");
    auto other = Device("FT03");
    EXPECT_TRUE(other->Open()) << "FT03 was closed on the switch";
    other->Close(false);
    d->Close(false);
}

TEST_F(FTDIDeviceTest, ASerialNumberWithSeparatorsSurvivesItsConnectionString)
{
    // The chip's serial number is whatever its EEPROM says.
    for (const std::string serial : {"AB;CD", "X;active=1", "\"Q\"", "L\nF"}) {
        auto d = Device(serial);
        std::string s;
        d->GetConnectionString(s);
        EXPECT_EQ(s.substr(0, 32), "provider=FTD_USB;serial_number=\"") << s;
        auto copy = MakeIntf<TFTDIDevice>(s);
        std::string name;
        copy->GetName(name);
        EXPECT_EQ(name, serial) << s;
        EXPECT_EQ(copy->GetBaudRate(), 115200) << s;
        // Applied to a device of another number, it names this one.
        auto other = Device("FTOTHER");
        other->SetConnectionString(s);
        other->GetName(name);
        EXPECT_EQ(name, serial) << s;
        EXPECT_FALSE(other->GetActive()) << "nothing injected by " << s;
    }
    // A chip whose number holds ";" opens, and reopens, by the whole number.
    Sim.Plug("FT;1");
    auto d = Device("FT;1");
    ASSERT_TRUE(d->Open()) << "the device opens by its whole serial number";
    std::string s;
    d->GetConnectionString(s);
    d->SetConnectionString(s);
    EXPECT_TRUE(d->GetActive()) << "reopened under the same number";
    d->Close(false);
}

TEST_F(FTDIDeviceTest, ReadsGiveExactlyWhatTheDriverReturned)
{
    Sim.Plug("FT05", "short-reads=3");
    auto d = Device("FT05");
    ASSERT_TRUE(d->Open());
    ASSERT_EQ(d->Write(kIdentify), int32_t(kIdentify.size()));
    ASSERT_TRUE(WaitUntil([&] { return d->InQueueCount() > 3; }));
    const int32_t queued = d->InQueueCount();
    RawByteString data;
    d->Read(data);
    EXPECT_EQ(data.size(), 3u);
    EXPECT_EQ(d->InQueueCount(), queued - 3);
    // The short reads still add up to the whole reply.
    RawByteString all = data;
    while (d->InQueueCount() > 0) {
        d->Read(data);
        all += data;
    }
    EXPECT_EQ(CheckVerdel97Packet(all), 0);
    d->Close(false);
}

TEST_F(FTDIDeviceTest, UnplugInTheMiddleOfAQueryClosesTheDevice)
{
    Sim.Plug("FT06", "unplug-after-reads=1\nfaults=chunks:4");
    auto d = Device("FT06");
    TCounter c;
    c.Attach(*d);
    ASSERT_TRUE(d->Open());
    RawByteString reply;
    const auto start = std::chrono::steady_clock::now();
    d->Query(kIdentify, 250, reply, &CheckVerdel97Packet);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_NE(CheckVerdel97Packet(reply), 0);
    EXPECT_FALSE(d->GetActive());
    EXPECT_EQ(c.Closed, 1);
    EXPECT_FALSE(Sim.Present("FT06"));
    RawByteString more;
    d->Query(kIdentify, 250, more);  // closed: at once, nothing
    EXPECT_TRUE(more.empty());
}

TEST_F(FTDIDeviceTest, UnplugWhileIdleIsNoticedByTheReaderWhichClosesTheDevice)
{
    Sim.Plug("FT11");
    TCounter c;
    {
        auto d = Device("FT11");
        c.Attach(*d);
        ASSERT_TRUE(d->Open());
        Sim.Unplug("FT11");
        // The reader's poll meets FT_IO_ERROR and closes on its own thread.
        EXPECT_TRUE(WaitUntil([&] { return c.Closed == 1; }));
        EXPECT_FALSE(d->GetActive());
        d->SetOnOpen(nullptr);
        d->SetOnClose(nullptr);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
}

TEST_F(FTDIDeviceTest, RemovalClosesByForceAndArrivalDropsALeftOverHandle)
{
    Sim.Plug("FT07");
    auto d = Device("FT07");
    TCounter c;
    c.Attach(*d);
    ASSERT_TRUE(d->Open());
    d->SetPresent(false);
    EXPECT_FALSE(d->GetPresent());
    EXPECT_FALSE(d->GetActive());
    EXPECT_EQ(c.Closed, 1);
    d->SetPresent(true);  // closed already: nothing more
    EXPECT_EQ(c.Closed, 1);
    EXPECT_TRUE(d->GetPresent());
}

namespace {

// Closes the device from inside its data-available handler (on the reader).
struct TClosingHandler {
    IFTDISerialPortInterface* Device = nullptr;
    std::atomic<bool> Done{false};
    std::atomic<bool> OnReader{false};
    std::thread::id Main = std::this_thread::get_id();
    void OnData(ICommunicationInterface* Sender)
    {
        OnReader = std::this_thread::get_id() != Main;
        Sender->Close(false);
        Done = true;
    }
};

}  // namespace

TEST_F(FTDIDeviceTest, DataHandlerThatClosesItsDeviceDoesNotDeadlock)
{
    Sim.Plug("FT08");
    TClosingHandler h;
    {
        auto d = Device("FT08");
        TCounter c;
        c.Attach(*d);
        d->SetOnDataAvailable(TCiNotifyEvent::Of<&TClosingHandler::OnData>(&h));
        ASSERT_TRUE(d->Open());
        d->Write(kIdentify);
        ASSERT_TRUE(WaitUntil([&] { return h.Done.load(); }));
        EXPECT_TRUE(h.OnReader);
        EXPECT_FALSE(d->GetActive());
        EXPECT_EQ(c.Closed, 1);
        // The device opens again with a reader of its own.
        ASSERT_TRUE(d->Open());
        h.Done = false;
        d->Write(kIdentify);
        ASSERT_TRUE(WaitUntil([&] { return h.Done.load(); }));
        d->SetOnDataAvailable(nullptr);
        d->SetOnClose(nullptr);
    }
    // The last reference may be the freed reader's; nothing must be left.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
}

TEST_F(FTDIDeviceTest, ADeviceThatVanishedBeforeOpenStaysClosed)
{
    Sim.Plug("FT09", "description=Kelvo test module");
    uint32_t n = 0;
    ASSERT_EQ(FTW_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    ASSERT_EQ(n, 1u);
    auto d = MakeIntf<TFTDIDevice>(TFTDIDevice::TFromIndex{0}, std::string());
    std::string name, description;
    d->GetName(name);
    d->GetDescription(description);
    EXPECT_EQ(name, "FT09");
    EXPECT_EQ(description, "Kelvo test module");
    Sim.Unplug("FT09");
    EXPECT_FALSE(d->Open());
    EXPECT_FALSE(d->GetActive());
}

TEST(FTDIDevicePartialLibrary, WithoutEventNotificationTheReaderPolls)
{
    TSimD2XX sim(KELVO_FTD2XX_SIM_PARTIAL);
    ASSERT_TRUE(FTDirectEntryBound(TFTEntry::Write));
    ASSERT_FALSE(FTDirectEntryBound(TFTEntry::SetEventNotification));
    sim.Plug("FT10");
    std::vector<std::string> shown;
    TScopedMessageSink sink([&](const std::string& t) { shown.push_back(t); });
    auto d = Device("FT10");
    TCounter c;
    d->SetOnDataAvailable(TCiNotifyEvent::Of<&TCounter::OnData>(&c));
    ASSERT_TRUE(d->Open());
    EXPECT_EQ(shown, std::vector<std::string>{"65535"});
    EXPECT_TRUE(Identifies(*d));
    EXPECT_FALSE(d->EraseEE());
    d->Write(kIdentify);
    EXPECT_TRUE(WaitUntil([&] { return c.Data > 0; })) << "the 100 ms poll finds the reply";
    d->SetOnDataAvailable(nullptr);
    d->Close(false);
}

// ---- issue 22: the USB path on a real Linux PC -----------------------------------

TEST(FTDIDevicePartialLibrary, AMissingEventNotificationIsShownOncePerDeviceAndLoggedAfterwards)
{
    TSimD2XX sim(KELVO_FTD2XX_SIM_PARTIAL);
    sim.Plug("FT13");
    sim.Plug("FT14");
    std::vector<std::string> shown;
    TScopedMessageSink sink([&](const std::string& t) { shown.push_back(t); });
    SetLogDirectory(sim.Dir);
    SetLogEnabled(true);
    {
        // A probe reopens once per speed; a search makes the device anew.
        auto d = Device("FT13");
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(d->Open());
            d->Close(false);
        }
        auto again = Device("FT13");
        ASSERT_TRUE(again->Open());
        again->Close(false);
        auto other = Device("FT14");
        ASSERT_TRUE(other->Open());
        other->Close(false);
    }
    const std::filesystem::path log = LogFileName();
    LogResetForTests();
    EXPECT_EQ(shown, (std::vector<std::string>{"65535", "65535"})) << "once for FT13, once for FT14";
    std::ifstream in(log, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t logged = 0;
    for (size_t at = text.find("FT_SetEventNotification failed on FT13"); at != std::string::npos;
         at = text.find("FT_SetEventNotification failed on FT13", at + 1))
        ++logged;
    EXPECT_EQ(logged, 3u) << text;
}

TEST_F(FTDIDeviceTest, UnbindingRefusesWhileTheReaderOfARefusedCloseLives)
{
    Sim.Plug("FTC1", "close-refusals=1");
    auto d = Device("FTC1");
    ASSERT_TRUE(d->Open());
    const FT_HANDLE handle = d->GetHandle();
    EXPECT_FALSE(d->Close(false)) << "the simulated driver refuses the first FT_Close";
    EXPECT_FALSE(d->GetActive());
    EXPECT_EQ(FTDirectUsers(), 1) << "the reader goes on";
    // Clearing the entries now would leave the reader calling through them.
    EXPECT_FALSE(UnbindFTDirect(100));
    EXPECT_TRUE(FTDirectLoaded());
    EXPECT_TRUE(FTDirectEntryBound(TFTEntry::GetQueueStatus));
    EXPECT_FALSE(BindFTDirect(HostPathOfSim())) << "nor may a new binding replace it";
    EXPECT_TRUE(FTDirectEntryBound(TFTEntry::GetQueueStatus));

    // The driver lets go at the second try; the reader ends with its device.
    EXPECT_EQ(FTW_Close(handle), FT_OK);
    d->ReleaseIfOrphaned(0);
    EXPECT_EQ(FTDirectUsers(), 0);
    EXPECT_TRUE(UnbindFTDirect(100));
    EXPECT_FALSE(FTDirectLoaded());
}

TEST_F(FTDIDeviceTest, UnbindingWaitsForAReaderThatIsEnding)
{
    Sim.Plug("FTC2");
    TClosingHandler h;
    {
        auto d = Device("FTC2");
        d->SetOnDataAvailable(TCiNotifyEvent::Of<&TClosingHandler::OnData>(&h));
        ASSERT_TRUE(d->Open());
        d->Write(kIdentify);
        ASSERT_TRUE(WaitUntil([&] { return h.Done.load(); }));
        d->SetOnDataAvailable(nullptr);
    }
    // The reader frees itself on its own thread, perhaps not yet.
    EXPECT_TRUE(UnbindFTDirect());
    EXPECT_EQ(FTDirectUsers(), 0);
}

TEST_F(FTDIDeviceTest, AnUnplugReportedWithAnyStatusOfAVanishedChipClosesTheDevice)
{
    for (const FT_STATUS status : {FT_INVALID_HANDLE, FT_DEVICE_NOT_FOUND, FT_IO_ERROR}) {
        const std::string serial = "FTG" + std::to_string(status);
        Sim.Plug(serial, "unplug-status=" + std::to_string(status));
        auto d = Device(serial);
        TCounter c;
        c.Attach(*d);
        ASSERT_TRUE(d->Open());
        Sim.Unplug(serial);
        // The reader's look at the queue meets the status and closes.
        EXPECT_TRUE(WaitUntil([&] { return c.Closed == 1; })) << "status " << status;
        EXPECT_FALSE(d->GetActive()) << "status " << status;
        d->SetOnOpen(nullptr);
        d->SetOnClose(nullptr);
        // And a call of the owner meets it too.
        Sim.Plug(serial, "unplug-status=" + std::to_string(status));
        ASSERT_TRUE(d->Open());
        c.Attach(*d);
        Sim.Unplug(serial);
        RawByteString data;
        d->Write(kIdentify);
        d->Read(data);
        EXPECT_TRUE(WaitUntil([&] { return !d->GetActive(); })) << "status " << status;
        d->SetOnOpen(nullptr);
        d->SetOnClose(nullptr);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
}

TEST_F(FTDIDeviceTest, TheSimulatedReadWaitsAsTheDriverDoesForMoreThanIsQueued)
{
    Sim.Plug("FTR1");
    FT_HANDLE h = nullptr;
    ASSERT_EQ(FTW_OpenEx(const_cast<char*>("FTR1"), FT_OPEN_BY_SERIAL_NUMBER, &h), FT_OK);
    ASSERT_EQ(FTW_SetBaudRate(h, 115200), FT_OK);
    uint32_t written = 0;
    auto queued = [&] {
        uint32_t n = 0;
        FTW_GetQueueStatus(h, &n);
        return n;
    };
    ASSERT_EQ(FTW_Write(h, kIdentify.data(), uint32_t(kIdentify.size()), &written), FT_OK);
    ASSERT_TRUE(WaitUntil([&] { return queued() > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the whole reply
    const uint32_t first = queued();

    // Asked for more than is there, the read waits for the next reply.
    std::atomic<bool> returned{false};
    uint32_t got = 0;
    std::string buffer(4 * first + 64, '\0');
    std::thread reader([&] {
        FTW_Read(h, buffer.data(), first + 5, &got);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(returned) << "FT_Read returned with fewer bytes than asked for and no time-outs set";
    ASSERT_EQ(FTW_Write(h, kIdentify.data(), uint32_t(kIdentify.size()), &written), FT_OK);
    reader.join();
    EXPECT_EQ(got, first + 5);

    // The simulation gives up after its cap, says so and counts the read.
    kelvo::testing::SetEnv("KELVO_FTD2XX_SIM_READ_CAP_MS", "300");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FTW_Read(h, buffer.data(), 4 * first + 64, &got), FT_OK);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    kelvo::testing::UnsetEnv("KELVO_FTD2XX_SIM_READ_CAP_MS");
    EXPECT_EQ(Sim.OverReads(), 1);
    Sim.AcceptOverReads();

    // An unplug ends a waiting read with the unplug's status.
    std::thread pull([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Sim.Unplug("FTR1");
    });
    EXPECT_EQ(FTW_Read(h, buffer.data(), 100, &got), FT_IO_ERROR);
    pull.join();
    EXPECT_EQ(FTW_Close(h), FT_OK);
}
