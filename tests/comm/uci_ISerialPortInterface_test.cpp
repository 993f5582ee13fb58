// The serial core: its connection string, and how it applies one; and the
// COM port channel on a scripted port.
#include <gtest/gtest.h>

#include "AfComPort.h"
#include "FakeSerialCore.h"
#include "serial/FakePortBackend.h"
#include "uExceptions.h"
#include "uMainThreadQueue.h"
#include "uci_ISerialPortInterface.h"

using namespace kelvo;
using kelvo::testing::TFakeSerialCore;

namespace {

struct ChangeCounter {
    int Count = 0;
    void OnChange(ICommunicationInterface*) { ++Count; }
};

}  // namespace

TEST(SerialCore, ProducesItsStringAndReadsItBack)
{
    auto a = MakeIntf<TFakeSerialCore>();
    a->SetBaudRate(19200);
    a->DataBits = 7;
    a->StopBits = 1;
    a->Parity = 2;
    a->DTR = false;
    std::string s;
    a->GetConnectionString(s);
    EXPECT_EQ(s, "baudrate=19200;databits=7;stopbits=OneAndHalf;parity=Even;dtr=0;rts=-1");

    auto b = MakeIntf<TFakeSerialCore>(s);
    std::string t;
    b->GetConnectionString(t);
    EXPECT_EQ(t, s);
    EXPECT_FALSE(b->GetActive());

    // A longer quiet period for a bridge appears only when it is set, and
    // reads back.
    b->SetConnectionString("LINE_GAP=250");
    EXPECT_EQ(b->GetLineGapMs(), 250u);
    b->GetConnectionString(t);
    EXPECT_EQ(t, s + ";line_gap=250");
    EXPECT_EQ(MakeIntf<TFakeSerialCore>(t)->GetLineGapMs(), 250u);
    EXPECT_THROW(b->SetConnectionString("line_gap=60001"), ERangeError);
    EXPECT_THROW(b->SetConnectionString("line_gap=long"), EConvertError);
}

TEST(SerialCore, AppliesOnlyTheKeysPresentInTheirOrder)
{
    auto c = MakeIntf<TFakeSerialCore>();
    c->SetDataBits(7);
    c->Applied.clear();
    ChangeCounter changes;
    c->ChangeEvents()->AddHandler(TCiNotifyEvent::Of<&ChangeCounter::OnChange>(&changes));

    c->SetConnectionString("baudrate=9600");
    EXPECT_EQ(c->Applied, (std::vector<std::string>{"baudrate"}));
    EXPECT_EQ(c->DataBits, 7);
    EXPECT_EQ(changes.Count, 1);

    c->Applied.clear();
    c->SetConnectionString("RTS=false;Parity=MARK;dtr=0;stopbits=two;databits=5;BAUDRATE=300;baudrate=1");
    EXPECT_EQ(c->Applied, (std::vector<std::string>{"baudrate", "databits", "stopbits", "parity", "dtr", "rts"}));
    EXPECT_EQ(c->BaudRate, 300);
    EXPECT_EQ(c->Parity, 3);
    EXPECT_EQ(c->StopBits, 2);
    EXPECT_FALSE(c->RTS);

    // Values outside the lists leave the setting as it was.
    c->SetConnectionString("stopbits=3;parity=weird");
    EXPECT_EQ(c->StopBits, 2);
    EXPECT_EQ(c->Parity, 3);
    c->ChangeEvents()->RemoveHandler(TCiNotifyEvent::Of<&ChangeCounter::OnChange>(&changes));
}

TEST(SerialCore, ActiveOpensAfterEverythingElseAndNeverCloses)
{
    for (const char* yes : {"active=true", "active=TRUE", "active=1", "Active=True;baudrate=1200"}) {
        auto c = MakeIntf<TFakeSerialCore>();
        c->SetConnectionString(yes);
        EXPECT_TRUE(c->GetActive()) << yes;
        EXPECT_EQ(c->OpenCalls, 1) << yes;
    }
    auto c = MakeIntf<TFakeSerialCore>();
    c->Open();
    for (const char* no : {"active=yes", "active=0", "active=false", "active= 1"}) {
        c->SetConnectionString(no);
        EXPECT_TRUE(c->GetActive()) << no;
        EXPECT_EQ(c->OpenCalls, 1) << no;
    }
    // Applied through the constructor too.
    EXPECT_TRUE(MakeIntf<TFakeSerialCore>("baudrate=2400;active=1")->GetActive());
}

TEST(SerialCore, MalformedValuesRaiseAndKeepEarlierKeys)
{
    auto c = MakeIntf<TFakeSerialCore>();
    EXPECT_THROW(c->SetConnectionString("baudrate=fast;databits=7"), EConvertError);
    EXPECT_EQ(c->DataBits, 8);  // after the bad key: not applied

    EXPECT_THROW(c->SetConnectionString("baudrate=4800;databits=7;dtr=maybe;rts=0"), EConvertError);
    EXPECT_EQ(c->BaudRate, 4800);
    EXPECT_EQ(c->DataBits, 7);
    EXPECT_TRUE(c->RTS);

    EXPECT_THROW(c->SetConnectionString("databits=256"), ERangeError);
    EXPECT_THROW(c->SetConnectionString("baudrate=-1"), ERangeError);
    EXPECT_THROW(c->SetConnectionString("baudrate=2147483648"), ERangeError);
    EXPECT_THROW(c->SetConnectionString("baudrate=1;active=1;databits=x"), EConvertError);
    EXPECT_FALSE(c->GetActive());  // a failed string opens nothing
}

TEST(SerialCore, CharacterTimeFollowsTheBaudRate)
{
    auto c = MakeIntf<TFakeSerialCore>();
    c->SetBaudRate(9600);
    EXPECT_DOUBLE_EQ(c->GetCharTime(), 1000.0 / 9600 * 10);
    c->SetBaudRate(115200);
    EXPECT_DOUBLE_EQ(c->GetCharTime(), 1000.0 / 115200 * 10);
    // Speed not known: no character time rather than an infinite one.
    c->SetBaudRate(0);
    EXPECT_EQ(c->GetCharTime(), 0.0);
    EXPECT_THROW(c->SetBaudRate(-5), ERangeError);
    // The interface is there to be asked for.
    EXPECT_TRUE(Supports<ISerialPortInterface>(c.get()));
}

namespace {

class SerialPortChannel : public ::testing::Test {
protected:
    void SetUp() override { TMainThreadQueue::Init(); }
    kelvo::test::TFakePortScope Fake;
};

// Drops the channel from inside its own notification.
struct LastReferenceHolder {
    IntfPtr<TSerialPortInterface> Port;
    bool Dropped = false;
    void OnData(ICommunicationInterface*)
    {
        Port.reset();
        Dropped = true;
    }
};

}  // namespace

TEST_F(SerialPortChannel, AHandlerMayDropTheLastReference)
{
    LastReferenceHolder holder;
    holder.Port = MakeIntf<TSerialPortInterface>("comport=3");
    ASSERT_TRUE(holder.Port->Open());
    holder.Port->SetOnDataAvailable(TCiNotifyEvent::Of<&LastReferenceHolder::OnData>(&holder));
    // Data and a line error in one event: the component goes on after the
    // data handler, with its own channel gone.
    Fake.Wire->Receive("x", AfEvRxChar | AfEvErr);
    EXPECT_TRUE(TMainThreadQueue::DrainUntil([&] { return holder.Dropped; }, 3000));
    TMainThreadQueue::DrainFor(50);
}

TEST_F(SerialPortChannel, TheNameFollowsThePortNumberEvenWhenReopeningFails)
{
    auto port = MakeIntf<TSerialPortInterface>("comport=3");
    ASSERT_TRUE(port->Open());
    Fake.Wire->OpenResult = kelvo::afcore::TAfOpenResult::NotFound;
    EXPECT_THROW(port->SetConnectionString("comport=4"), EAfComPortCoreError);
    std::string name, cs;
    port->GetName(name);
    port->GetConnectionString(cs);
    EXPECT_EQ(name, "COM4");
    EXPECT_NE(cs.find("comport=4"), std::string::npos);
}
