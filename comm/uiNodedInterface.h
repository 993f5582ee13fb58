#pragma once
// Noded interfaces: counted objects with a name, an enabled flag, a GUID and
// a process-unique number, optionally mirrored in an XML element and linked
// into a tree of such objects. TNodedInterface is the base of every channel;
// the program itself keeps channels in flat lists, so for it every channel is
// a root without children and without an element.
//
// Tree links are counted both ways (the parent holds its children, a child
// its parent), so a tree keeps itself alive until it is taken apart with
// ClearTree, ClearChildren or SetParent(nullptr).
//
// Every property and child operation takes the node's multi-reader/single-
// writer lock: getters read, setters and tree changes write. The write lock
// is re-entrant, which the mutual calls of SetParent, AddChild and RemoveChild
// rely on. Tree changes are meant to come from one thread: two threads that
// change the same links in opposite directions can wait for each other.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "uEventer.h"
#include "uMultiReadSync.h"
#include "ui_MyInterfacedObject.h"
#include "uiXmlElement.h"

namespace kelvo {

// A snapshot of children, in order.
using TInterfaceList = std::vector<IntfPtr<IUnknown>>;

class INodedInterfaceCore : public virtual IUnknown {
public:
    static constexpr TGUID IID{0xDD03F488, 0x8A5F, 0x4757, {0x98, 0xC3, 0x8C, 0x2F, 0x2F, 0x38, 0xBE, 0xF4}};

    virtual int32_t GetID() = 0;
    virtual void GetName(std::string& Name) = 0;
    virtual void SetName(const std::string& Name) = 0;
    // Raises EConvertError when the GUID text is not a valid GUID.
    virtual void GetGUID(TGUID& GUID) = 0;
    virtual void GetGUIDString(std::string& Text) = 0;
    virtual bool GetEnabled() = 0;
    virtual void SetEnabled(bool Value) = 0;
    virtual bool BeginWrite() = 0;
    virtual void EndWrite() = 0;
    virtual void BeginRead() = 0;
    virtual void EndRead() = 0;
    // Fire the node's descendant lists (when they exist) with Depth + 1.
    virtual void NotifyDescendantAdded(IUnknown* Node, int32_t Depth) = 0;
    virtual void NotifyDescendantRemoved(IUnknown* Node, int32_t Depth) = 0;

protected:
    ~INodedInterfaceCore() = default;
};

class INodedInterface : public virtual INodedInterfaceCore {
public:
    static constexpr TGUID IID{0x932E676F, 0xACE9, 0x4CE9, {0xBD, 0xEB, 0x60, 0xD2, 0x68, 0x8B, 0xA9, 0x49}};

    virtual void SetXMLNode(IXMLElement* Element) = 0;
    virtual void LoadFromXML(IXMLElement* Element, bool Assign, bool TakeGUID) = 0;
    virtual void SaveToXML() = 0;
    virtual void GetXMLNode(IntfPtr<IXMLElement>& Element) = 0;
    virtual void LoadFromXMLNode(IXMLElement* Element) = 0;
    virtual void GetParent(IntfPtr<IUnknown>& Parent) = 0;
    virtual void SetParent(IUnknown* Parent) = 0;
    virtual void GetParentNode(IntfPtr<INodedInterface>& Parent) = 0;
    virtual void SetParentNode(INodedInterface* Parent) = 0;
    virtual void GetChildren(TInterfaceList& List) = 0;
    virtual void GetChild(int32_t Index, IntfPtr<INodedInterface>& Node) = 0;
    virtual int32_t ChildCount() = 0;
    // The new index; -1 when Child is empty or already a child.
    virtual int32_t AddChild(IUnknown* Child) = 0;
    // The former index; -1 when Child was not a child.
    virtual int32_t RemoveChild(IUnknown* Child) = 0;
    // The number of children detached.
    virtual int32_t ClearChildren() = 0;
    virtual int32_t CountSupporting(const TGUID& IID, bool Recursive) = 0;
    // Depth-first, this node first; letter case matters. Node is left alone
    // when nothing matches.
    virtual bool FindByGUID(const std::string& GUIDText, IntfPtr<INodedInterface>& Node) = 0;
    virtual bool FindByName(const std::string& Name, IntfPtr<INodedInterface>& Node) = 0;
    virtual int32_t IndexOfChild(IUnknown* Child) = 0;
    // Created on first request; the node keeps ownership.
    virtual TeventerDescentEvent* DescendantAddedEvents() = 0;
    virtual TeventerDescentEvent* DescendantRemovedEvents() = 0;
    virtual bool BeginUpdate() = 0;
    virtual void LockForRead() = 0;
    virtual bool LockForWrite() = 0;
    virtual void EndUpdate() = 0;
    virtual void UnlockRead() = 0;
    virtual void UnlockWrite() = 0;
    virtual void ClearTree() = 0;

protected:
    ~INodedInterface() = default;
};

// Fired with every new node once its construction has finished, and with
// every node as its destruction begins. Both lists live as long as the
// process.
Teventer_NodedInterface& NodeCreatedEvents();
Teventer_NodedInterface& NodeDestroyedEvents();

// Boolean text as the XML attributes hold it: "true"/"false" in any letter
// case, or a whole number (0 off, anything else on). Anything else raises
// EConvertError.
bool XMLTextToBool(const std::string& Text);

class TNodedInterface : public TMyInterfacedObject, public virtual INodedInterface {
public:
    // Name = the class name, enabled, a fresh GUID (unless XMLNode says
    // otherwise); the node is put under Parent once it is built.
    explicit TNodedInterface(IXMLElement* XMLNode = nullptr, IUnknown* Parent = nullptr);
    ~TNodedInterface() override;

    // The class name without namespace, e.g. "TSerialPortInterface".
    virtual std::string ClassName() const;

    // INodedInterfaceCore
    int32_t GetID() override;
    void GetName(std::string& Name) override;
    void SetName(const std::string& Name) override;
    void GetGUID(TGUID& GUID) override;
    void GetGUIDString(std::string& Text) override;
    bool GetEnabled() override;
    void SetEnabled(bool Value) override;
    bool BeginWrite() override;
    void EndWrite() override;
    void BeginRead() override;
    void EndRead() override;
    void NotifyDescendantAdded(IUnknown* Node, int32_t Depth) override;
    void NotifyDescendantRemoved(IUnknown* Node, int32_t Depth) override;

    // INodedInterface
    void SetXMLNode(IXMLElement* Element) override;
    void LoadFromXML(IXMLElement* Element, bool Assign, bool TakeGUID) override;
    void SaveToXML() override;
    void GetXMLNode(IntfPtr<IXMLElement>& Element) override;
    void LoadFromXMLNode(IXMLElement* Element) override;
    void GetParent(IntfPtr<IUnknown>& Parent) override;
    void SetParent(IUnknown* Parent) override;
    void GetParentNode(IntfPtr<INodedInterface>& Parent) override;
    void SetParentNode(INodedInterface* Parent) override;
    void GetChildren(TInterfaceList& List) override;
    void GetChild(int32_t Index, IntfPtr<INodedInterface>& Node) override;
    int32_t ChildCount() override;
    int32_t AddChild(IUnknown* Child) override;
    int32_t RemoveChild(IUnknown* Child) override;
    int32_t ClearChildren() override;
    int32_t CountSupporting(const TGUID& IID, bool Recursive) override;
    bool FindByGUID(const std::string& GUIDText, IntfPtr<INodedInterface>& Node) override;
    bool FindByName(const std::string& Name, IntfPtr<INodedInterface>& Node) override;
    int32_t IndexOfChild(IUnknown* Child) override;
    TeventerDescentEvent* DescendantAddedEvents() override;
    TeventerDescentEvent* DescendantRemovedEvents() override;
    bool BeginUpdate() override { return BeginWrite(); }
    void LockForRead() override { BeginRead(); }
    bool LockForWrite() override { return BeginWrite(); }
    void EndUpdate() override { EndWrite(); }
    void UnlockRead() override { EndRead(); }
    void UnlockWrite() override { EndWrite(); }
    void ClearTree() override;

protected:
    // The rest of construction, on the finished object: SetParent,
    // LoadFromXML(element, true, false), then NodeCreatedEvents.
    void AfterConstruction() override;
    // NodeDestroyedEvents, then the element is brought up to date.
    void BeforeDestruction() override;
    void* GetInterface(const TGUID& IID) override;

    INodedInterface* Self() { return static_cast<INodedInterface*>(this); }

    // Scoped locks of FSync.
    class TReadLock {
    public:
        explicit TReadLock(TNodedInterface& Node) : FNode(Node) { FNode.FSync.BeginRead(); }
        ~TReadLock() { FNode.FSync.EndRead(); }
        TReadLock(const TReadLock&) = delete;
        TReadLock& operator=(const TReadLock&) = delete;

    private:
        TNodedInterface& FNode;
    };
    class TWriteLock {
    public:
        explicit TWriteLock(TNodedInterface& Node) : FNode(Node) { FNode.FSync.BeginWrite(); }
        ~TWriteLock() { FNode.FSync.EndWrite(); }
        TWriteLock(const TWriteLock&) = delete;
        TWriteLock& operator=(const TWriteLock&) = delete;

    private:
        TNodedInterface& FNode;
    };

    bool FEnabled = true;
    IntfPtr<IXMLElement> FXMLNode;
    std::string FName;
    IntfPtr<IUnknown> FParent;  // identity of the parent
    const int32_t FID;
    std::string FGUID;
    TMultiReadExclusiveWriteSynchronizer FSync;
    std::vector<IntfPtr<IUnknown>> FChildren;  // identities, in insertion order

private:
    int32_t IndexOfIdentity(IUnknown* Identity) const;
    TeventerDescentEvent* LazyList(std::atomic<TeventerDescentEvent*>& List);

    std::atomic<TeventerDescentEvent*> FDescendantAddedEvents{nullptr};
    std::atomic<TeventerDescentEvent*> FDescendantRemovedEvents{nullptr};
    IntfPtr<IUnknown> FInitialParent;  // until AfterConstruction links it
    bool FSavedOnDestruction = false;
};

}  // namespace kelvo
