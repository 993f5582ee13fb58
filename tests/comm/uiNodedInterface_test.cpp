#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "FakeXmlElement.h"
#include "uExceptions.h"
#include "uiNodedInterface.h"

using namespace kelvo;
using kelvo::test::TFakeXMLElement;

namespace {

std::atomic<int> gNodesDestroyed{0};

class TPlainNode : public TNodedInterface {
public:
    using TNodedInterface::TNodedInterface;
    ~TPlainNode() override { ++gNodesDestroyed; }
};

// The first node of this process, made before any test runs.
const int32_t gFirstNodeID = [] { return MakeIntf<TPlainNode>()->GetID(); }();

// Not a node: may be a child, takes no part in the tree logic.
class TPlainObject : public TMyInterfacedObject {};

std::string NameOf(INodedInterface* Node)
{
    std::string s;
    Node->GetName(s);
    return s;
}
std::string GUIDOf(INodedInterface* Node)
{
    std::string s;
    Node->GetGUIDString(s);
    return s;
}
IUnknown* Id(INodedInterface* Node)
{
    return static_cast<IUnknown*>(Node);
}

struct TLifeRecorder {
    std::vector<std::string> Log;
    void Created(INodedInterface* Node) { Log.push_back("created " + NameOf(Node)); }
    void Destroyed(INodedInterface* Node)
    {
        // Takes counted references to the dying node.
        IntfPtr<INodedInterface> again = Supports<INodedInterface>(Node);
        Log.push_back("destroyed " + NameOf(again.get()));
    }
};

}  // namespace

TEST(Node, NewNodeAndItsLifeNotifications)
{
    EXPECT_EQ(gFirstNodeID, 2);
    TLifeRecorder rec;
    NodeCreatedEvents().AddHandler(TNodedInterfaceEvent::Of<&TLifeRecorder::Created>(&rec));
    NodeDestroyedEvents().AddHandler(TNodedInterfaceEvent::Of<&TLifeRecorder::Destroyed>(&rec));
    gNodesDestroyed = 0;
    {
        IntfPtr<INodedInterface> a = MakeIntf<TPlainNode>();
        IntfPtr<INodedInterface> b = MakeIntf<TPlainNode>();
        EXPECT_EQ(NameOf(a.get()), "TPlainNode");
        EXPECT_TRUE(a->GetEnabled());
        EXPECT_EQ(b->GetID(), a->GetID() + 1);
        EXPECT_GT(a->GetID(), gFirstNodeID);
        std::string g = GUIDOf(a.get());
        ASSERT_EQ(g.size(), 38u);
        EXPECT_EQ(GUIDToString(StringToGUID(g)), g);  // registry form, upper case
        EXPECT_NE(g, GUIDOf(b.get()));
    }
    NodeCreatedEvents().RemoveHandler(TNodedInterfaceEvent::Of<&TLifeRecorder::Created>(&rec));
    NodeDestroyedEvents().RemoveHandler(TNodedInterfaceEvent::Of<&TLifeRecorder::Destroyed>(&rec));
    // The created notification saw the finished node (its class name); the
    // destroyed one took references to the dying node, which still died once.
    EXPECT_EQ(rec.Log, (std::vector<std::string>{"created TPlainNode", "created TPlainNode",
                                                 "destroyed TPlainNode", "destroyed TPlainNode"}));
    EXPECT_EQ(gNodesDestroyed, 2);
}

TEST(Node, GUIDTextIsCheckedWhereItIsConverted)
{
    TGUID g = StringToGUID("{932e676f-ace9-4ce9-bdeb-60d2688ba949}");
    EXPECT_TRUE(g == INodedInterface::IID);
    EXPECT_EQ(GUIDToString(INodedInterface::IID), "{932E676F-ACE9-4CE9-BDEB-60D2688BA949}");
    for (const char* bad : {"", "932E676F-ACE9-4CE9-BDEB-60D2688BA949", "{932E676F-ACE9-4CE9-BDEB-60D2688BA94}",
                            "{932E676F-ACE9-4CE9-BDEB-60D2688BA9490}", "{932E676F-ACE9-4CE9-BDEB_60D2688BA949}",
                            "{932E676F-ACE9-4CE9-BDEB-60D2688BA9G9}", "(932E676F-ACE9-4CE9-BDEB-60D2688BA949)",
                            "{932E676-FACE9-4CE9-BDEB-60D2688BA949}"})
        EXPECT_THROW(StringToGUID(bad), EConvertError) << bad;

    // A node keeps whatever GUID text its element had; GetGUID judges it.
    IntfPtr<TFakeXMLElement> e = MakeIntf<TFakeXMLElement>();
    e->SetAttribute("GUID", "{not a guid}");
    IntfPtr<INodedInterface> n = MakeIntf<TPlainNode>(e.get());
    EXPECT_EQ(GUIDOf(n.get()), "{not a guid}");
    TGUID out{};
    EXPECT_THROW(n->GetGUID(out), EConvertError);
    e->SetAttribute("GUID", "");
    n->LoadFromXML(e.get(), false, true);
    EXPECT_THROW(n->GetGUID(out), EConvertError);
}

TEST(Node, ElementAttributesReadBackWhatWasSaved)
{
    IntfPtr<TFakeXMLElement> e = MakeIntf<TFakeXMLElement>();
    e->SetAttribute("name", "Port A");
    IntfPtr<INodedInterface> n = MakeIntf<TPlainNode>(e.get());
    EXPECT_EQ(NameOf(n.get()), "Port A");
    EXPECT_TRUE(n->GetEnabled());  // absent: enabled

    n->SetName("Port B");  // written at once
    EXPECT_EQ(e->GetAttribute("name"), "Port B");
    n->SetEnabled(false);  // not until SaveToXML
    EXPECT_FALSE(e->HasAttribute("enabled"));
    n->SaveToXML();
    EXPECT_EQ(e->GetAttribute("GUID"), GUIDOf(n.get()));

    IntfPtr<INodedInterface> copy = MakeIntf<TPlainNode>();
    std::string ownGUID = GUIDOf(copy.get());
    copy->LoadFromXMLNode(e.get());  // keeps its own GUID
    EXPECT_EQ(NameOf(copy.get()), "Port B");
    EXPECT_FALSE(copy->GetEnabled());
    EXPECT_EQ(GUIDOf(copy.get()), ownGUID);
    copy->LoadFromXML(e.get(), true, true);  // takes the element's
    EXPECT_EQ(GUIDOf(copy.get()), GUIDOf(n.get()));
    IntfPtr<IXMLElement> attached;
    copy->GetXMLNode(attached);
    EXPECT_EQ(attached.get(), static_cast<IXMLElement*>(e.get()));

    // Without "GUID", TakeGUID replaces the GUID by a new one.
    IntfPtr<TFakeXMLElement> bare = MakeIntf<TFakeXMLElement>();
    copy->LoadFromXML(bare.get(), false, true);
    EXPECT_NE(GUIDOf(copy.get()), GUIDOf(n.get()));
    EXPECT_TRUE(copy->GetEnabled());

    for (auto [text, value] : std::vector<std::pair<std::string, bool>>{
             {"TRUE", true}, {"False", false}, {"0", false}, {"-1", true}, {"7", true}}) {
        bare->SetAttribute("enabled", text);
        copy->LoadFromXML(bare.get(), false, false);
        EXPECT_EQ(copy->GetEnabled(), value) << text;
    }
    // A non-Boolean flag fails the load; what was read before it stays.
    bare->SetAttribute("name", "Renamed");
    bare->SetAttribute("enabled", "yes");
    EXPECT_THROW(copy->LoadFromXML(bare.get(), false, false), EConvertError);
    EXPECT_EQ(NameOf(copy.get()), "Renamed");
    bare->FAttributes.erase("enabled");

    // The last release brings the element up to date.
    n->SetEnabled(true);
    n.reset();
    EXPECT_EQ(XMLTextToBool(e->GetAttribute("enabled")), true);
}

namespace {

struct TDescentLog {
    std::string Owner;
    std::vector<std::string>* Log;
    void Added(IUnknown* Node, int32_t Depth) { Record("+", Node, Depth); }
    void Removed(IUnknown* Node, int32_t Depth) { Record("-", Node, Depth); }
    void Record(const char* What, IUnknown* Node, int32_t Depth)
    {
        IntfPtr<INodedInterface> n = Supports<INodedInterface>(Node);
        Log->push_back(Owner + What + NameOf(n.get()) + std::to_string(Depth));
    }
    void Watch(INodedInterface* Node)
    {
        Node->DescendantAddedEvents()->AddHandler(TDescentEvent::Of<&TDescentLog::Added>(this));
        Node->DescendantRemovedEvents()->AddHandler(TDescentEvent::Of<&TDescentLog::Removed>(this));
    }
};

IntfPtr<INodedInterface> Named(const std::string& Name)
{
    IntfPtr<INodedInterface> n = MakeIntf<TPlainNode>();
    n->SetName(Name);
    return n;
}

}  // namespace

TEST(Tree, NotificationsClimbWithTheirDepth)
{
    gNodesDestroyed = 0;
    std::vector<std::string> log;
    {
        IntfPtr<INodedInterface> r = Named("R"), c = Named("C"), g = Named("G"), r2 = Named("R2");
        TDescentLog rLog{"R", &log}, cLog{"C", &log}, r2Log{"R2", &log};
        rLog.Watch(r.get());
        EXPECT_EQ(r->AddChild(Id(c.get())), 0);
        cLog.Watch(c.get());
        EXPECT_EQ(r->AddChild(Id(c.get())), -1);  // already a child: no notification
        EXPECT_EQ(c->AddChild(Id(g.get())), 0);
        // C's list runs R's forwarding first (it was registered first).
        EXPECT_EQ(log, (std::vector<std::string>{"R+C1", "R+G2", "C+G1"}));

        IntfPtr<INodedInterface> parent;
        g->GetParentNode(parent);
        EXPECT_EQ(parent.get(), c.get());

        // Moving C: it leaves R (depth 1) and joins R2, and G comes along.
        log.clear();
        r2Log.Watch(r2.get());
        c->SetParentNode(r2.get());
        EXPECT_EQ(log, (std::vector<std::string>{"R-C1", "R2+C1"}));
        EXPECT_EQ(r->ChildCount(), 0);
        EXPECT_EQ(r2->IndexOfChild(Id(c.get())), 0);
        IntfPtr<INodedInterface> found;
        EXPECT_TRUE(r2->FindByName("G", found));
        EXPECT_EQ(found.get(), g.get());

        log.clear();
        g->SetParent(nullptr);
        EXPECT_EQ(log, (std::vector<std::string>{"C-G1", "R2-G2"}));
        EXPECT_EQ(c->RemoveChild(Id(g.get())), -1);
        EXPECT_EQ(c->AddChild(Id(g.get())), 0);

        // The tree keeps itself alive until it is taken apart.
        r2->ClearTree();
        EXPECT_EQ(c->ChildCount(), 0);
        g->GetParentNode(parent);
        EXPECT_FALSE(parent);
    }
    EXPECT_EQ(gNodesDestroyed, 4);
}

TEST(Tree, CountingAndSearchingTheSubtree)
{
    gNodesDestroyed = 0;
    {
        IntfPtr<INodedInterface> root = Named("root"), a = Named("A"), b = Named("B"), b1 = Named("B1"),
                                 b2 = Named("B2");
        root->AddChild(Id(a.get()));
        root->AddChild(Id(b.get()));
        b->AddChild(Id(b1.get()));
        b->AddChild(Id(b2.get()));
        EXPECT_EQ(root->CountSupporting(INodedInterface::IID, true), 4);
        EXPECT_EQ(root->CountSupporting(INodedInterface::IID, false), 2);
        EXPECT_EQ(root->CountSupporting(IXMLElement::IID, true), 0);

        IntfPtr<INodedInterface> found;
        EXPECT_TRUE(root->FindByGUID(GUIDOf(b2.get()), found));
        EXPECT_EQ(found.get(), b2.get());
        EXPECT_TRUE(root->FindByName("root", found));
        EXPECT_EQ(found.get(), root.get());
        EXPECT_FALSE(root->FindByName("b1", found));  // letter case matters
        EXPECT_EQ(found.get(), root.get());           // and a miss leaves Node alone

        IntfPtr<INodedInterface> child;
        root->GetChild(1, child);
        EXPECT_EQ(child.get(), b.get());
        root->GetChild(2, child);
        EXPECT_FALSE(child);
        root->GetChild(-1, child);
        EXPECT_FALSE(child);

        // A child that is not a node: counted by what it implements, found
        // by identity, and it stops ClearChildren where it stands.
        IntfPtr<TPlainObject> plain = MakeIntf<TPlainObject>();
        EXPECT_EQ(root->AddChild(plain.get()), 2);
        EXPECT_EQ(root->AddChild(plain.get()), -1);
        EXPECT_EQ(root->AddChild(nullptr), -1);
        EXPECT_EQ(root->CountSupporting(IUnknown::IID, false), 3);
        EXPECT_EQ(root->ClearChildren(), 0);
        EXPECT_EQ(root->ChildCount(), 3);
        TInterfaceList snapshot;
        root->GetChildren(snapshot);
        ASSERT_EQ(snapshot.size(), 3u);
        EXPECT_EQ(snapshot[2].get(), static_cast<IUnknown*>(plain.get()));
        EXPECT_EQ(root->RemoveChild(plain.get()), 2);
        EXPECT_EQ(root->ClearChildren(), 2);
        b->ClearChildren();
    }
    EXPECT_EQ(gNodesDestroyed, 5);
}

// ---- the node lock ----------------------------------------------------------

TEST(NodeLock, WriterReentersAndReadsWhileOthersWait)
{
    IntfPtr<INodedInterface> n = MakeIntf<TPlainNode>();
    EXPECT_TRUE(n->BeginWrite());
    EXPECT_TRUE(n->BeginUpdate());       // re-entrant
    EXPECT_EQ(NameOf(n.get()), "TPlainNode");  // a read inside the write
    n->SetName("inside");                // a write inside the write

    std::atomic<bool> read{false};
    std::thread reader([&] {
        std::string s;
        n->GetName(s);
        read = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_FALSE(read);  // waits for the writer
    n->EndUpdate();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(read);  // still one level of writing left
    n->EndWrite();
    reader.join();
    EXPECT_TRUE(read);
}

TEST(NodeLock, ReadersShareAndWritersReportWhoCameBetween)
{
    TMultiReadExclusiveWriteSynchronizer sync;
    // Two readers at once.
    sync.BeginRead();
    std::atomic<bool> otherRead{false};
    std::thread t([&] {
        sync.BeginRead();
        otherRead = true;
        sync.EndRead();
    });
    t.join();
    EXPECT_TRUE(otherRead);
    sync.EndRead();

    // Uncontended: nobody came between.
    EXPECT_TRUE(sync.BeginWrite());
    sync.EndWrite();

    // Waiting for another writer: its write came between.
    sync.BeginWrite();
    std::atomic<int> result{-1};
    std::thread w([&] {
        result = sync.BeginWrite() ? 1 : 0;
        sync.EndWrite();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(result, -1);
    sync.EndWrite();
    w.join();
    EXPECT_EQ(result, 0);

    // Two readers that both go on to write do not wait for each other for
    // ever: one gets the lock, the other learns that someone came between.
    std::atomic<int> trueCount{0}, falseCount{0};
    std::atomic<int> reading{0};
    auto upgrade = [&] {
        sync.BeginRead();
        ++reading;
        while (reading < 2)
            std::this_thread::yield();
        (sync.BeginWrite() ? trueCount : falseCount)++;
        sync.EndWrite();
        sync.EndRead();
    };
    std::thread u1(upgrade), u2(upgrade);
    u1.join();
    u2.join();
    EXPECT_EQ(trueCount, 1);
    EXPECT_EQ(falseCount, 1);
}
