// The transaction and the probe against a simulated module.
#include "SimSessionFixture.h"
#include "uExceptions.h"
#include "uVerdel97.h"

using namespace kelvo;
using kelvo::testing::SimSessionTest;

TEST(SpeedTimeout, RuleOfTheIdentification)
{
    EXPECT_EQ(TKelvoSession::SpeedTimeoutMs(9600), 4130);
    EXPECT_EQ(TKelvoSession::SpeedTimeoutMs(300), 1340);
    EXPECT_EQ(TKelvoSession::SpeedTimeoutMs(19200), 4130);  // held at its 9600 value above that speed
    EXPECT_EQ(TKelvoSession::SpeedTimeoutMs(115200), 4130);
    EXPECT_EQ(TKelvoSession::SpeedTimeoutMs(0), 1250);
    // Halves go to the even neighbour: 1/1000*300 + 250 = 250.3 -> 250;
    // 5 -> 251.5 -> 252; 15 -> 254.5 -> 254.
    EXPECT_EQ(TKelvoSession::SpeedTimeoutMs(5), 1252);
    EXPECT_EQ(TKelvoSession::SpeedTimeoutMs(15), 1254);
}

TEST_F(SimSessionTest, TransactReturnsTheReplyDataOfAValidFrame)
{
    Connect();
    RawByteString reply = "kept";
    Mark();
    ASSERT_TRUE(Session.Transact(Channel->AsInterface(), kInstrReadCommSettings, {}, reply, 0xFE, 250));
    EXPECT_EQ(reply, Bytes({0x01, 0x06}));
    // The pause, then the frame taken the moment it is complete, not one
    // quiet period (50 ms) later.
    EXPECT_GE(Elapsed(), 25u);
    EXPECT_LT(Elapsed(), 25u + 50u);
    ASSERT_EQ(Requests().size(), 1u);
    EXPECT_EQ(Requests()[0].Bytes, BuildVerdel97Packet(0xFE, 0x01, 0xF0, {}));
}

TEST_F(SimSessionTest, TransactFailsQuietlyAndKeepsTheCallersReply)
{
    TSimSettings settings = DefaultSimSettings();
    settings.Faults.Silent = true;
    Connect(settings);
    RawByteString reply = "kept";
    Mark();
    EXPECT_FALSE(Session.Transact(Channel->AsInterface(), kInstrIdentify, {}, reply, 0xFE, 250));
    EXPECT_EQ(reply, "kept");
    // 25 ms pause + 1 ms before writing + the time-out (character time of
    // 9600 bit/s: ceil(14 * 1.04) = 15 ms).
    EXPECT_GE(Elapsed(), 25u + 250u);
    EXPECT_LT(Elapsed(), 25u + 250u + 40u);

    // Stray byte before the frame and corrupted checksums: no valid frame.
    for (int fault = 0; fault < 2; ++fault) {
        TSimFaults faults;
        faults.StrayByte = fault == 0;
        faults.BadChecksum = fault == 1;
        Module->SetFaults(faults);
        EXPECT_FALSE(Session.Transact(Channel->AsInterface(), kInstrIdentify, {}, reply, 0xFE, 250)) << fault;
        EXPECT_EQ(reply, "kept");
    }
}

TEST_F(SimSessionTest, TheIdentificationsTransactionWaitsItsOwnTimeout)
{
    TSimSettings settings = DefaultSimSettings();
    settings.Faults.Silent = true;
    Connect(settings);
    RawByteString reply;
    Mark();
    EXPECT_FALSE(Session.TransactWithSpeedTimeout(kInstrIdentify, {}, reply, 0xFE, 500));
    EXPECT_GE(Elapsed(), 25u + 4130u);  // 9600 bit/s, not the 500 ms it was given
}

TEST_F(SimSessionTest, TransactOnAClosedOrMissingChannelWritesNothing)
{
    Connect();
    Channel->Close(false);
    RawByteString reply;
    Mark();
    EXPECT_FALSE(Session.Transact(Channel->AsInterface(), kInstrIdentify, {}, reply, 0xFE, 250));
    EXPECT_EQ(Elapsed(), 25u);
    EXPECT_EQ(Channel->WriteCount(), 0u);
    EXPECT_FALSE(Session.Transact(nullptr, kInstrIdentify, {}, reply, 0xFE, 250));
}

TEST_F(SimSessionTest, TransactCollectsAReplyInChunksPastTheTimeout)
{
    TSimSettings settings = DefaultSimSettings();
    settings.Faults.ChunkSize = 3;
    settings.Faults.ChunkPauseMs = 40;  // within the 50 ms after each chunk
    Connect(settings);
    RawByteString reply;
    Mark();
    ASSERT_TRUE(Session.Transact(Channel->AsInterface(), kInstrIdentify, {}, reply, 0xFE, 100));
    EXPECT_EQ(reply, SimIdentificationText(TSimModel::KelvoUSB));
    EXPECT_GT(Elapsed(), 125u);  // longer than pause + time-out
}

TEST_F(SimSessionTest, TransactOversizedRequestRaises)
{
    Connect();
    RawByteString reply;
    EXPECT_THROW(Session.Transact(Channel->AsInterface(), 0x01, RawByteString(65531, 'x'), reply, 0xFE, 250),
                 ERangeError);
    EXPECT_EQ(Channel->WriteCount(), 0u);
}

TEST_F(SimSessionTest, CheckDeviceRecognisesEachModel)
{
    const struct {
        TSimModel Model;
        uint8_t Expected;
    } cases[] = {{TSimModel::KelvoUSB, 1}, {TSimModel::KelvoETH, 2}, {TSimModel::KelvoRS, 3}, {TSimModel::Tarnel, 4}};
    for (const auto& c : cases) {
        Connect(DefaultSimSettings(c.Model));
        uint8_t model = 99;
        EXPECT_TRUE(Session.CheckDevice(Channel->AsInterface(), model)) << int(c.Expected);
        EXPECT_EQ(model, c.Expected);
    }

    Connect(DefaultSimSettings(TSimModel::Foreign));
    uint8_t model = 99;
    EXPECT_FALSE(Session.CheckDevice(Channel->AsInterface(), model));
    EXPECT_EQ(model, 0);

    TSimSettings silent = DefaultSimSettings();
    silent.Faults.Silent = true;
    Connect(silent);
    model = 99;
    EXPECT_FALSE(Session.CheckDevice(Channel->AsInterface(), model));
    EXPECT_EQ(model, 99);

    // Mixed texts: the first model test that matches decides.
    TSimSettings both = DefaultSimSettings();
    both.Identification = "  KelvoETH RS485 \r\n";
    Connect(both);
    EXPECT_TRUE(Session.CheckDevice(Channel->AsInterface(), model));
    EXPECT_EQ(model, 2);
    both.Identification = "tarnel mini";
    Connect(both);
    EXPECT_TRUE(Session.CheckDevice(Channel->AsInterface(), model));
    EXPECT_EQ(model, 4);
}

TEST_F(SimSessionTest, ProbeAtSpeedSwitchesTheLineAndReportsTheLabel)
{
    TSimSettings settings = DefaultSimSettings();
    settings.SpeedCode = 10;  // 115200
    Connect(settings, 9600);
    std::vector<std::string> labels;
    Session.OnConnectionLabel = [&](const std::string& t) { labels.push_back(t); };

    uint8_t model = 77;
    EXPECT_FALSE(Session.ProbeAtSpeed(Channel->AsInterface(), 9600, "9.600 bps", model));
    EXPECT_EQ(model, 77);
    EXPECT_EQ(Session.CurrentBaudRate, 9600);
    EXPECT_TRUE(Session.ProbeAtSpeed(Channel->AsInterface(), 115200, "", model));
    EXPECT_EQ(model, 1);
    EXPECT_EQ(Session.CurrentBaudRate, 115200);
    EXPECT_EQ(Channel->GetBaudRate(), 115200);
    // Only the baud rate changed; the other line settings stayed.
    std::string cs;
    Channel->GetConnectionString(cs);
    EXPECT_EQ(cs, "baudrate=115200;databits=8;stopbits=One;parity=None;dtr=-1;rts=-1");
    EXPECT_EQ(labels, (std::vector<std::string>{"SIM1 / 9.600 bps"}));
}

TEST_F(SimSessionTest, AProbeTakesOnlyBytesThatCameAfterItsRequest)
{
    // The reply comes 280 ms after the request: after the probe's 250 ms
    // and the request's line time, during the pause before the next
    // probe's request.
    TSimSettings settings = DefaultSimSettings();
    settings.ReplyDelayMs = 280;
    Connect(settings);
    uint8_t model = 77;
    EXPECT_FALSE(Session.ProbeAtSpeed(Channel->AsInterface(), 9600, "", model));
    EXPECT_FALSE(Session.ProbeAtSpeed(Channel->AsInterface(), 9600, "", model));
    EXPECT_EQ(model, 77);
}

TEST_F(SimSessionTest, MeasuredValuesFillSlotsByPosition)
{
    TSimSettings settings = DefaultSimSettings();
    settings.Channels[1].Live = TSimLiveMode::Overrange;
    settings.Channels[2].Live = TSimLiveMode::Invalid;
    Connect(settings);
    std::array<TKelvoChannelRecountedValue, 4> values{};
    ASSERT_TRUE(Session.ReadMeasuredValues(values));
    EXPECT_TRUE(values[0].Valid);
    EXPECT_FALSE(values[0].Overrange);
    EXPECT_EQ(ViewOfRecountedValue(values[0]).Text, values[0].Text);
    EXPECT_TRUE(values[1].Valid);
    EXPECT_EQ(ViewOfRecountedValue(values[1]).Text, "OVR ");
    EXPECT_EQ(ViewOfRecountedValue(values[1]).Color, kOverrangeColor);
    EXPECT_EQ(ViewOfRecountedValue(values[2]).Text, "-");
    EXPECT_EQ(Requests().back().Data, Bytes({0x00}));

    // No answer: three attempts, every slot invalid.
    TSimFaults faults;
    faults.Silent = true;
    Module->SetFaults(faults);
    Module->ClearLogs();
    EXPECT_FALSE(Session.ReadMeasuredValues(values));
    EXPECT_EQ(Requests().size(), 3u);
    for (const auto& v : values)
        EXPECT_FALSE(v.Valid);

    Session.ModuleRecord.Info.UserData = "  Hala 3 \t";
    EXPECT_EQ(Session.ModuleNameCaption(), " - Hala 3");
    Session.ModuleRecord.Info.UserData = "   ";
    EXPECT_EQ(Session.ModuleNameCaption(), "");
}

TEST(SearchSpeeds, LabelsAndTheBaudrateParameter)
{
    EXPECT_EQ(TKelvoSession::SpeedLabel(300), "300 bps");
    EXPECT_EQ(TKelvoSession::SpeedLabel(1200), "1.200 bps");
    EXPECT_EQ(TKelvoSession::SpeedLabel(115200), "115.200 bps");
    EXPECT_EQ(TKelvoSession::SpeedLabel(1000000), "1.000.000 bps");
    EXPECT_EQ(TKelvoSession::BaudrateParamSpeed("baudrate=19200"), 19200);
    EXPECT_EQ(TKelvoSession::BaudrateParamSpeed("baudrate250000"), 250000);
    EXPECT_FALSE(TKelvoSession::BaudrateParamSpeed("baudrate=fast").has_value());
    EXPECT_FALSE(TKelvoSession::BaudrateParamSpeed("").has_value());
    EXPECT_FALSE(TKelvoSession::BaudrateParamSpeed("Baudrate=9600").has_value());
}

TEST_F(SimSessionTest, ProbeInterfaceTriesCheckedSpeedsInOrderAndRestores)
{
    TSimSettings settings = DefaultSimSettings();
    settings.SpeedCode = 8;  // 38400
    Connect(settings, 1200);
    Channel->Close(false);
    TKelvorec rec;

    // 38400 not checked: 9600 and 115200 tried, nothing found.
    EXPECT_FALSE(Session.ProbeInterface(Channel->AsInterface(), rec, false));
    std::vector<uint32_t> speeds;
    for (const auto& r : Requests())
        speeds.push_back(r.LineSpeed);
    EXPECT_EQ(speeds, (std::vector<uint32_t>{9600, 115200}));
    EXPECT_FALSE(Channel->GetActive());
    EXPECT_EQ(Channel->GetBaudRate(), 1200);

    // Checked, and the parameter's speed first; found after other speeds
    // failed, the module is asked a second time at its speed.
    Module->ClearLogs();
    Session.SearchSpeeds.insert(38400);
    Session.BaudrateParam = "baudrate=600";
    EXPECT_TRUE(Session.ProbeInterface(Channel->AsInterface(), rec, false));
    speeds.clear();
    for (const auto& r : Requests())
        speeds.push_back(r.LineSpeed);
    EXPECT_EQ(speeds, (std::vector<uint32_t>{600, 9600, 115200, 38400, 38400}));
    EXPECT_EQ(rec.Model, kModelKelvoUSB);
    EXPECT_FALSE(Channel->GetActive());  // put back as it was
    EXPECT_EQ(Channel->GetBaudRate(), 1200);

    // Kept open at the speed that answered.
    EXPECT_TRUE(Session.ProbeInterface(Channel->AsInterface(), rec, true));
    EXPECT_TRUE(Channel->GetActive());
    EXPECT_EQ(Channel->GetBaudRate(), 38400);

    // A channel that cannot be opened tries nothing.
    Channel->Close(false);
    Channel->SetOpenFails(true);
    Module->ClearLogs();
    EXPECT_FALSE(Session.ProbeInterface(Channel->AsInterface(), rec, false));
    EXPECT_TRUE(Requests().empty());
    EXPECT_FALSE(Session.SearchSpeeds.empty());
    // No speed checked: nothing tried, nothing found.
    Session.SearchSpeeds.clear();
    Session.BaudrateParam.clear();
    Channel->SetOpenFails(false);
    EXPECT_FALSE(Session.ProbeInterface(Channel->AsInterface(), rec, false));
    EXPECT_TRUE(Requests().empty());
}

TEST_F(SimSessionTest, AForeignOrFailingDeviceEndsOnlyItsOwnProbe)
{
    // A device that never stops talking, one whose frame checks but cannot
    // be parsed, and a channel whose reads fail: each is "no module here"
    // at each speed, quickly, and nothing is raised.
    const struct {
        const char* What;
        uint32_t ChatterEveryMs;
        bool Unparsable;
        bool ReadFails;
    } cases[] = {{"chatter", 20, false, false}, {"unparsable", 0, true, false}, {"read error", 0, false, true}};
    for (const auto& c : cases) {
        TSimSettings settings = DefaultSimSettings();
        settings.Faults.ChatterEveryMs = c.ChatterEveryMs;
        settings.Faults.UnparsableFrame = c.Unparsable;
        Connect(settings);
        Channel->SetReadFails(c.ReadFails);
        Clock.OnSleep = [start = Clock.Tick()](uint32_t now) {
            if (now - start > 60000)
                throw std::runtime_error("the probe does not end");
        };
        TKelvorec rec;
        Mark();
        EXPECT_FALSE(Session.ProbeInterface(Channel->AsInterface(), rec, false)) << c.What;
        // Both default speeds tried, neither waiting out its 250 ms.
        EXPECT_EQ(Requests().size(), 2u) << c.What;
        EXPECT_LT(Elapsed(), 2u * (25u + 1u + 250u)) << c.What;

        // A measurement tick on such a channel is three unanswered attempts.
        Session.CurrentInterface = IntfPtr<ICommunicationInterface>(Channel->AsInterface());
        Channel->Open();
        std::array<TKelvoChannelRecountedValue, 4> values{};
        values[0].Valid = true;
        EXPECT_FALSE(Session.ReadMeasuredValues(values)) << c.What;
        EXPECT_FALSE(values[0].Valid);
        Clock.OnSleep = nullptr;
    }
}
