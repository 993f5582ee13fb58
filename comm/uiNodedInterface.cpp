#include "uiNodedInterface.h"
#include "uConnectionString.h"

#include <cctype>
#include <cstdlib>
#include <typeinfo>

#if defined(__GNUG__)
#include <cxxabi.h>
#endif

#include "uExceptions.h"

namespace kelvo {

namespace {

// Process-wide node numbers: incremented before each use, so the first node
// gets 2.
std::atomic<int32_t> gLastNodeID{1};

// Holds a node's write lock through an interface, released on every exit.
class TNodeWriteGuard {
public:
    explicit TNodeWriteGuard(INodedInterface* Node) : FNode(Node) { FNode->BeginWrite(); }
    ~TNodeWriteGuard() { FNode->EndWrite(); }
    TNodeWriteGuard(const TNodeWriteGuard&) = delete;
    TNodeWriteGuard& operator=(const TNodeWriteGuard&) = delete;

private:
    INodedInterface* FNode;
};

const char* const AttrName = "name";
const char* const AttrEnabled = "enabled";
const char* const AttrGUID = "GUID";

}  // namespace

Teventer_NodedInterface& NodeCreatedEvents()
{
    // Never freed: nodes that die during program exit still find the list.
    static Teventer_NodedInterface* list = new Teventer_NodedInterface;
    return *list;
}

Teventer_NodedInterface& NodeDestroyedEvents()
{
    static Teventer_NodedInterface* list = new Teventer_NodedInterface;
    return *list;
}

bool XMLTextToBool(const std::string& Text)
{
    return StrToBoolText(Text);
}

TNodedInterface::TNodedInterface(IXMLElement* XMLNode, IUnknown* Parent)
    : FXMLNode(XMLNode), FID(gLastNodeID.fetch_add(1, std::memory_order_acq_rel) + 1), FInitialParent(Parent)
{
}

TNodedInterface::~TNodedInterface()
{
    MarkDestroying();
    try {
        ClearChildren();
        if (FXMLNode && !FSavedOnDestruction)
            TNodedInterface::SaveToXML();
    } catch (...) {
    }
    FXMLNode.reset();
    FChildren.clear();
    FParent.reset();
    delete FDescendantAddedEvents.exchange(nullptr);
    delete FDescendantRemovedEvents.exchange(nullptr);
}

std::string TNodedInterface::ClassName() const
{
    const char* raw = typeid(*this).name();
    std::string name = raw;
#if defined(__GNUG__)
    int status = 0;
    if (char* d = abi::__cxa_demangle(raw, nullptr, nullptr, &status)) {
        name = d;
        std::free(d);
    }
#endif
    for (const char* prefix : {"class ", "struct "})
        if (name.rfind(prefix, 0) == 0)
            name.erase(0, std::string(prefix).size());
    size_t end = name.find('<');
    if (end == std::string::npos)
        end = name.size();
    size_t colon = name.rfind("::", end);
    if (colon != std::string::npos)
        name.erase(0, colon + 2);
    return name;
}

void TNodedInterface::AfterConstruction()
{
    TMyInterfacedObject::AfterConstruction();
    {
        TWriteLock lock(*this);
        FName = ClassName();
    }
    IntfPtr<IUnknown> parent = std::move(FInitialParent);
    SetParent(parent.get());
    IntfPtr<IXMLElement> element = FXMLNode;
    LoadFromXML(element.get(), true, false);
    NodeCreatedEvents().Fire(Self());
}

void TNodedInterface::BeforeDestruction()
{
    TMyInterfacedObject::BeforeDestruction();
    NodeDestroyedEvents().Fire(Self());
    // The element gets the final state while the whole object still exists,
    // so that subclasses add their own attributes.
    IntfPtr<IXMLElement> element;
    GetXMLNode(element);
    if (element) {
        FSavedOnDestruction = true;
        SaveToXML();
    }
}

void* TNodedInterface::GetInterface(const TGUID& IID)
{
    if (IID == INodedInterface::IID)
        return static_cast<INodedInterface*>(this);
    if (IID == INodedInterfaceCore::IID)
        return static_cast<INodedInterfaceCore*>(this);
    return TMyInterfacedObject::GetInterface(IID);
}

int32_t TNodedInterface::GetID()
{
    return FID;
}

void TNodedInterface::GetName(std::string& Name)
{
    TReadLock lock(*this);
    Name = FName;
}

void TNodedInterface::SetName(const std::string& Name)
{
    TWriteLock lock(*this);
    FName = Name;
    if (FXMLNode)
        FXMLNode->SetAttribute(AttrName, Name);
}

void TNodedInterface::GetGUID(TGUID& GUID)
{
    std::string text;
    GetGUIDString(text);
    GUID = StringToGUID(text);
}

void TNodedInterface::GetGUIDString(std::string& Text)
{
    TReadLock lock(*this);
    Text = FGUID;
}

bool TNodedInterface::GetEnabled()
{
    TReadLock lock(*this);
    return FEnabled;
}

void TNodedInterface::SetEnabled(bool Value)
{
    TWriteLock lock(*this);
    FEnabled = Value;
}

bool TNodedInterface::BeginWrite()
{
    return FSync.BeginWrite();
}

void TNodedInterface::EndWrite()
{
    FSync.EndWrite();
}

void TNodedInterface::BeginRead()
{
    FSync.BeginRead();
}

void TNodedInterface::EndRead()
{
    FSync.EndRead();
}

void TNodedInterface::NotifyDescendantAdded(IUnknown* Node, int32_t Depth)
{
    if (TeventerDescentEvent* list = FDescendantAddedEvents.load(std::memory_order_acquire))
        list->Fire(Node, Depth + 1);
}

void TNodedInterface::NotifyDescendantRemoved(IUnknown* Node, int32_t Depth)
{
    if (TeventerDescentEvent* list = FDescendantRemovedEvents.load(std::memory_order_acquire))
        list->Fire(Node, Depth + 1);
}

void TNodedInterface::SetXMLNode(IXMLElement* Element)
{
    TWriteLock lock(*this);
    FXMLNode = Element;
}

void TNodedInterface::LoadFromXML(IXMLElement* Element, bool Assign, bool TakeGUID)
{
    TWriteLock lock(*this);
    IntfPtr<IXMLElement> element(Element);
    if (Assign)
        FXMLNode = element;
    if (element && element->HasAttribute(AttrName))
        FName = element->GetAttribute(AttrName);
    if (element && element->HasAttribute(AttrEnabled))
        FEnabled = XMLTextToBool(element->GetAttribute(AttrEnabled));
    else
        FEnabled = true;
    if (TakeGUID || FGUID.empty()) {
        if (element && element->HasAttribute(AttrGUID))
            FGUID = element->GetAttribute(AttrGUID);
        else
            FGUID = GUIDToString(CreateGUID());
    }
}

void TNodedInterface::SaveToXML()
{
    TWriteLock lock(*this);
    if (!FXMLNode)
        return;
    FXMLNode->SetAttribute(AttrName, FName);
    FXMLNode->SetAttribute(AttrEnabled, FEnabled ? "true" : "false");
    FXMLNode->SetAttribute(AttrGUID, FGUID);
}

void TNodedInterface::GetXMLNode(IntfPtr<IXMLElement>& Element)
{
    TReadLock lock(*this);
    Element = FXMLNode;
}

void TNodedInterface::LoadFromXMLNode(IXMLElement* Element)
{
    LoadFromXML(Element, true, false);
}

void TNodedInterface::GetParent(IntfPtr<IUnknown>& Parent)
{
    TReadLock lock(*this);
    Parent = FParent;
}

void TNodedInterface::SetParent(IUnknown* Parent)
{
    TWriteLock lock(*this);
    IntfPtr<IUnknown> next = Supports<IUnknown>(Parent);
    if (next == FParent)
        return;
    // Held across the calls: the link may be the old parent's last reference.
    IntfPtr<IUnknown> previous = FParent;
    if (IntfPtr<INodedInterface> old = Supports<INodedInterface>(previous))
        old->RemoveChild(static_cast<IUnknown*>(this));
    FParent = next;
    if (IntfPtr<INodedInterface> parent = Supports<INodedInterface>(next))
        parent->AddChild(static_cast<IUnknown*>(this));
}

void TNodedInterface::GetParentNode(IntfPtr<INodedInterface>& Parent)
{
    TReadLock lock(*this);
    Parent = Supports<INodedInterface>(FParent);
}

void TNodedInterface::SetParentNode(INodedInterface* Parent)
{
    SetParent(Parent);
}

void TNodedInterface::GetChildren(TInterfaceList& List)
{
    TReadLock lock(*this);
    List = FChildren;
}

void TNodedInterface::GetChild(int32_t Index, IntfPtr<INodedInterface>& Node)
{
    TReadLock lock(*this);
    if (Index < 0 || static_cast<size_t>(Index) >= FChildren.size())
        Node.reset();
    else
        Node = Supports<INodedInterface>(FChildren[static_cast<size_t>(Index)]);
}

int32_t TNodedInterface::ChildCount()
{
    TReadLock lock(*this);
    return static_cast<int32_t>(FChildren.size());
}

int32_t TNodedInterface::IndexOfIdentity(IUnknown* Identity) const
{
    for (size_t i = 0; i < FChildren.size(); ++i)
        if (FChildren[i].get() == Identity)
            return static_cast<int32_t>(i);
    return -1;
}

int32_t TNodedInterface::AddChild(IUnknown* Child)
{
    IntfPtr<IUnknown> child = Supports<IUnknown>(Child);
    if (!child)
        return -1;
    int32_t result = -1;
    {
        TWriteLock lock(*this);
        if (IndexOfIdentity(child.get()) < 0) {
            FChildren.push_back(child);
            result = static_cast<int32_t>(FChildren.size()) - 1;
        }
    }
    if (result < 0)
        return result;
    if (IntfPtr<INodedInterface> node = Supports<INodedInterface>(child)) {
        TNodeWriteGuard guard(node.get());
        IntfPtr<IUnknown> parent;
        node->GetParent(parent);
        if (parent.get() != static_cast<IUnknown*>(this))
            node->SetParent(static_cast<IUnknown*>(this));
        node->DescendantAddedEvents()->AddHandler(TDescentEvent::Of<&TNodedInterface::NotifyDescendantAdded>(this));
        node->DescendantRemovedEvents()->AddHandler(
            TDescentEvent::Of<&TNodedInterface::NotifyDescendantRemoved>(this));
        NotifyDescendantAdded(child.get(), 0);
    }
    return result;
}

int32_t TNodedInterface::RemoveChild(IUnknown* Child)
{
    TWriteLock lock(*this);
    IntfPtr<IUnknown> child = Supports<IUnknown>(Child);
    if (!child)
        return -1;
    int32_t index = IndexOfIdentity(child.get());
    if (index < 0)
        return -1;
    FChildren.erase(FChildren.begin() + index);
    if (IntfPtr<INodedInterface> node = Supports<INodedInterface>(child)) {
        NotifyDescendantRemoved(child.get(), 0);
        IntfPtr<IUnknown> parent;
        node->GetParent(parent);
        if (parent.get() == static_cast<IUnknown*>(this))
            node->SetParent(nullptr);
        node->DescendantAddedEvents()->RemoveHandler(
            TDescentEvent::Of<&TNodedInterface::NotifyDescendantAdded>(this));
        node->DescendantRemovedEvents()->RemoveHandler(
            TDescentEvent::Of<&TNodedInterface::NotifyDescendantRemoved>(this));
    }
    return index;
}

int32_t TNodedInterface::ClearChildren()
{
    TWriteLock lock(*this);
    int32_t count = 0;
    size_t rounds = FChildren.size() + 1;
    for (size_t i = 0; i < rounds && !FChildren.empty(); ++i) {
        IntfPtr<INodedInterface> last = Supports<INodedInterface>(FChildren.back());
        if (!last)
            break;  // a child that is not a node stays, and so do those before it
        last->SetParent(nullptr);
        ++count;
    }
    return count;
}

void TNodedInterface::ClearTree()
{
    TWriteLock lock(*this);
    TInterfaceList children = FChildren;
    for (const IntfPtr<IUnknown>& child : children)
        if (IntfPtr<INodedInterface> node = Supports<INodedInterface>(child))
            node->ClearTree();
    ClearChildren();
}

int32_t TNodedInterface::CountSupporting(const TGUID& IID, bool Recursive)
{
    TInterfaceList children;
    GetChildren(children);
    int32_t count = 0;
    for (const IntfPtr<IUnknown>& child : children) {
        if (Recursive)
            if (IntfPtr<INodedInterface> node = Supports<INodedInterface>(child))
                count += node->CountSupporting(IID, true);
        void* p = nullptr;
        if (child->QueryInterface(IID, &p) == S_OK && p) {
            ++count;
            child->Release();  // the reference QueryInterface took, through the identity
        }
    }
    return count;
}

bool TNodedInterface::FindByGUID(const std::string& GUIDText, IntfPtr<INodedInterface>& Node)
{
    TInterfaceList children;
    {
        TReadLock lock(*this);
        if (FGUID == GUIDText) {
            Node = Self();
            return true;
        }
        children = FChildren;
    }
    for (const IntfPtr<IUnknown>& child : children)
        if (IntfPtr<INodedInterface> node = Supports<INodedInterface>(child))
            if (node->FindByGUID(GUIDText, Node))
                return true;
    return false;
}

bool TNodedInterface::FindByName(const std::string& Name, IntfPtr<INodedInterface>& Node)
{
    TInterfaceList children;
    {
        TReadLock lock(*this);
        if (FName == Name) {
            Node = Self();
            return true;
        }
        children = FChildren;
    }
    for (const IntfPtr<IUnknown>& child : children)
        if (IntfPtr<INodedInterface> node = Supports<INodedInterface>(child))
            if (node->FindByName(Name, Node))
                return true;
    return false;
}

int32_t TNodedInterface::IndexOfChild(IUnknown* Child)
{
    IntfPtr<IUnknown> child = Supports<IUnknown>(Child);
    TReadLock lock(*this);
    return child ? IndexOfIdentity(child.get()) : -1;
}

TeventerDescentEvent* TNodedInterface::LazyList(std::atomic<TeventerDescentEvent*>& List)
{
    TeventerDescentEvent* list = List.load(std::memory_order_acquire);
    if (list)
        return list;
    auto* fresh = new TeventerDescentEvent;
    if (List.compare_exchange_strong(list, fresh, std::memory_order_acq_rel))
        return fresh;
    delete fresh;  // another thread was first
    return list;
}

TeventerDescentEvent* TNodedInterface::DescendantAddedEvents()
{
    return LazyList(FDescendantAddedEvents);
}

TeventerDescentEvent* TNodedInterface::DescendantRemovedEvents()
{
    return LazyList(FDescendantRemovedEvents);
}

}  // namespace kelvo
