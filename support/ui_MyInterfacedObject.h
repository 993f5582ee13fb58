#pragma once
// Counted interfaces. An interface is an abstract class derived (virtually)
// from IUnknown and identified by a GUID in its static member IID; objects
// handed around as interfaces derive from TMyInterfacedObject, which counts
// references and destroys the object on the last release. IntfPtr<T> is the
// one smart pointer that holds such references.
//
// Creating an object: MakeIntf<TClass>(args...) returns the first reference;
// CreateObject<TClass>(args...) returns the bare object with count 0 (for
// code that hands it to an IntfPtr itself). Both run the constructors and
// then AfterConstruction with the count at 1, so that the object may hand
// itself out and have that reference dropped again without dying half-built,
// and then bring the count back to 0.
//
// Interfaces derive from their bases virtually (class IFoo : public virtual
// IBar), so that a class may implement an interface and one derived from it
// without getting two copies of the base.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

namespace kelvo {

struct TGUID {
    uint32_t D1;
    uint16_t D2;
    uint16_t D3;
    uint8_t D4[8];

    friend constexpr bool operator==(const TGUID& a, const TGUID& b)
    {
        if (a.D1 != b.D1 || a.D2 != b.D2 || a.D3 != b.D3)
            return false;
        for (int i = 0; i < 8; ++i)
            if (a.D4[i] != b.D4[i])
                return false;
        return true;
    }
};

// The registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}": 38 characters,
// upper-case hexadecimal digits.
std::string GUIDToString(const TGUID& GUID);

// Reads the registry form (hex digits of either case). Anything else - wrong
// length, missing braces or hyphens, a character that is not a hex digit -
// raises EConvertError "'<text>' is not a valid GUID value".
TGUID StringToGUID(const std::string& Text);

// A new random GUID (version 4, variant 1).
TGUID CreateGUID();

// The Windows headers define these as macros with the same values; where
// they came first, theirs are used.
#ifndef S_OK
constexpr int32_t S_OK = 0;
#endif
#ifndef E_NOINTERFACE
constexpr int32_t E_NOINTERFACE = static_cast<int32_t>(0x80004002u);
#endif
#ifndef E_POINTER
constexpr int32_t E_POINTER = static_cast<int32_t>(0x80004003u);  // no place for the result
#endif

class IUnknown {
public:
    static constexpr TGUID IID{0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

    // Stores a new counted reference to the interface IID in *Obj and returns
    // S_OK, or returns E_NOINTERFACE and stores nullptr. *Obj points at the
    // requested interface type: cast it back to exactly that type.
    virtual int32_t QueryInterface(const TGUID& IID, void** Obj) = 0;
    virtual int32_t AddRef() = 0;
    virtual int32_t Release() = 0;

protected:
    ~IUnknown() = default;
};

// Holds one counted reference to an interface (or to a counted class).
template <class T>
class IntfPtr {
public:
    IntfPtr() = default;
    IntfPtr(std::nullptr_t) {}
    IntfPtr(T* p) : FPtr(p)
    {
        if (FPtr)
            FPtr->AddRef();
    }
    IntfPtr(const IntfPtr& other) : IntfPtr(other.FPtr) {}
    IntfPtr(IntfPtr&& other) noexcept : FPtr(std::exchange(other.FPtr, nullptr)) {}
    // Only conversions that need no cast (derived to base); asking for
    // another interface goes through Supports.
    template <class U>
        requires std::is_convertible_v<U*, T*>
    IntfPtr(const IntfPtr<U>& other) : IntfPtr(static_cast<T*>(other.get()))
    {
    }
    ~IntfPtr() { reset(); }

    IntfPtr& operator=(IntfPtr other) noexcept
    {
        std::swap(FPtr, other.FPtr);
        return *this;
    }

    // Takes over a reference that the caller already owns (from QueryInterface).
    static IntfPtr Adopt(T* p)
    {
        IntfPtr r;
        r.FPtr = p;
        return r;
    }
    // Gives up the reference without releasing it.
    T* detach() { return std::exchange(FPtr, nullptr); }

    void reset()
    {
        if (T* p = std::exchange(FPtr, nullptr))
            p->Release();
    }
    T* get() const { return FPtr; }
    T* operator->() const { return FPtr; }
    T& operator*() const { return *FPtr; }
    explicit operator bool() const { return FPtr != nullptr; }

    friend bool operator==(const IntfPtr& a, const IntfPtr& b) { return a.FPtr == b.FPtr; }
    friend bool operator==(const IntfPtr& a, std::nullptr_t) { return a.FPtr == nullptr; }

private:
    T* FPtr = nullptr;
};

// Asks Obj for the interface T (by T::IID); empty when Obj is empty or does
// not implement it. "Is this an FTDI device?" is Supports<IFTDI...>(x).
template <class T, class U>
IntfPtr<T> Supports(U* Obj)
{
    if (!Obj)
        return {};
    void* p = nullptr;
    if (Obj->QueryInterface(T::IID, &p) != S_OK || !p)
        return {};
    return IntfPtr<T>::Adopt(static_cast<T*>(p));
}
template <class T, class U>
IntfPtr<T> Supports(const IntfPtr<U>& Obj)
{
    return Supports<T>(Obj.get());
}

// Identity of a counted object: the IUnknown it answers. Two references
// name the same object exactly when their identities are equal.
template <class U>
IUnknown* IdentityOf(U* Obj)
{
    IntfPtr<IUnknown> u = Supports<IUnknown>(Obj);
    return u.get();
}

class TMyInterfacedObject : public virtual IUnknown {
public:
    TMyInterfacedObject() = default;
    TMyInterfacedObject(const TMyInterfacedObject&) = delete;
    TMyInterfacedObject& operator=(const TMyInterfacedObject&) = delete;
    virtual ~TMyInterfacedObject() = default;

    int32_t QueryInterface(const TGUID& IID, void** Obj) override
    {
        if (!Obj)
            return E_POINTER;
        void* p = GetInterface(IID);
        if (!p) {
            *Obj = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        *Obj = p;
        return S_OK;
    }

    int32_t AddRef() override
    {
        int32_t r = FRefCount.fetch_add(1, std::memory_order_acq_rel) + 1;
        AfterAddRef(FRefCount.load(std::memory_order_acquire));
        return r;
    }

    // The final release destroys the object once: a reference taken and
    // dropped while the object is being destroyed (it passes itself to a
    // "destroyed" notification) brings the count to 0 a second time, and
    // that second zero must not free it again.
    //
    // A release that leaves other references does not touch the object
    // after its decrement: another thread may drop the last reference at
    // that moment and free it. AfterRelease therefore runs only when the
    // count reaches 0.
    int32_t Release() override
    {
        int32_t r = FRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (r != 0)
            return r;
        if (!FDestroying.exchange(true, std::memory_order_acq_rel)) {
            AfterRelease(0);
            try {
                BeforeDestruction();
            } catch (...) {
                // Destruction goes on; nobody could handle the error here.
            }
            delete this;
        } else {
            AfterRelease(0);  // a reference of the destruction itself
        }
        return r;
    }

    int32_t RefCount() const { return FRefCount.load(std::memory_order_acquire); }
    bool Destroying() const { return FDestroying.load(std::memory_order_acquire); }

    // Finishes construction: runs AfterConstruction with the count still at
    // 1, then gives that count back. When AfterConstruction raises, the
    // count is given back all the same and the object is freed unless
    // someone took a reference during construction (then it lives on with
    // them); the exception goes on to the creator.
    static void FinishConstruction(TMyInterfacedObject* Obj)
    {
        try {
            Obj->AfterConstruction();
        } catch (...) {
            if (Obj->FRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1 == 0 &&
                !Obj->FDestroying.exchange(true, std::memory_order_acq_rel))
                delete Obj;
            throw;
        }
        Obj->FRefCount.fetch_sub(1, std::memory_order_acq_rel);
    }

protected:
    // Notification hooks for subclasses; empty here.
    virtual void AfterAddRef(int32_t /*Count*/) {}
    virtual void AfterRelease(int32_t /*Count*/) {}

    // Construction steps that need the finished object (virtual calls reach
    // the most derived class): run once the whole constructor chain is done,
    // with the count at 1. Overrides call the inherited version first.
    virtual void AfterConstruction() {}

    // Run by the final release just before the destructor, while the object
    // is still whole (virtual calls reach the most derived class).
    virtual void BeforeDestruction() {}

    // For destructors that may drop references to themselves (a tree that
    // is taken apart): from here on no release frees the object again.
    void MarkDestroying() { FDestroying.store(true, std::memory_order_release); }

    // The interface table: the pointer to return for IID, or nullptr.
    // Subclasses answer their own interfaces and defer to the base.
    virtual void* GetInterface(const TGUID& IID)
    {
        if (IID == IUnknown::IID)
            return static_cast<IUnknown*>(this);
        return nullptr;
    }

private:
    std::atomic<bool> FDestroying{false};
    std::atomic<int32_t> FRefCount{1};
};

// Builds an object and returns the first reference to it.
template <class T, class... Args>
IntfPtr<T> MakeIntf(Args&&... args)
{
    T* p = new T(std::forward<Args>(args)...);
    TMyInterfacedObject::FinishConstruction(p);
    return IntfPtr<T>(p);
}

// Builds an object and returns it with count 0: the caller's first IntfPtr
// takes the first reference (and its release frees the object).
template <class T, class... Args>
T* CreateObject(Args&&... args)
{
    T* p = new T(std::forward<Args>(args)...);
    TMyInterfacedObject::FinishConstruction(p);
    return p;
}

}  // namespace kelvo
