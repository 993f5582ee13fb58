#pragma once
// Method pointers and multicast handler lists.
//
// A handler is a method pointer: an object and a function, compared as that
// pair, so that RemoveHandler finds exactly the registration that was added.
// Build one from a member function, TCiNotifyEvent::Of<&TfMain::OnOpened>(this),
// or from a plain function that gets the object as its first argument.
//
// A TEventer list is guarded by its own recursive lock. AddHandler,
// RemoveHandler and Fire hold it, so a registration from another thread waits
// for a running fan-out, while a handler may change the list that is calling
// it: a handler added during a fan-out runs in the same fan-out (the bound is
// read again on every pass), and removing the running handler or one before it
// shifts the later ones down, so the next one is skipped in that fan-out.
// Every handler is guarded: what it raises is discarded and the fan-out goes
// on. Interface arguments are held by a counted reference for the fan-out, so
// a handler may drop the last other reference to them.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "ui_MyInterfacedObject.h"

namespace kelvo {

class INodedInterface;
class ICommunicationInterface;

template <class... Args>
class TMethod {
public:
    using TCode = void (*)(void* Object, Args... Arguments);

    constexpr TMethod() = default;
    constexpr TMethod(std::nullptr_t) {}
    TMethod(void* Object, TCode Code) : FObject(Object), FCode(Code) {}

    // The member function Member of Object. Use the same pointer type for the
    // object when adding and removing, so that both compare equal.
    template <auto Member, class C>
    static TMethod Of(C* Object)
    {
        return TMethod(static_cast<void*>(Object), &Thunk<Member, C>);
    }

    void* Object() const { return FObject; }
    TCode Code() const { return FCode; }
    explicit operator bool() const { return FCode != nullptr; }

    void operator()(Args... Arguments) const { FCode(FObject, std::forward<Args>(Arguments)...); }

    friend bool operator==(const TMethod& a, const TMethod& b)
    {
        return a.FCode == b.FCode && a.FObject == b.FObject;
    }

private:
    template <auto Member, class C>
    static void Thunk(void* Object, Args... Arguments)
    {
        std::invoke(Member, static_cast<C*>(Object), std::forward<Args>(Arguments)...);
    }

    void* FObject = nullptr;
    TCode FCode = nullptr;
};

// The handler types of the framework's notifications.
using TNodedInterfaceEvent = TMethod<INodedInterface*>;
using TDescentEvent = TMethod<IUnknown*, int32_t>;  // node, distance from the list's owner
using TCiNotifyEvent = TMethod<ICommunicationInterface*>;
using TCiLineChangeEvent = TMethod<ICommunicationInterface*, int32_t, bool>;  // sender, line, state

class TEventer {
public:
    TEventer() = default;
    TEventer(const TEventer&) = delete;
    TEventer& operator=(const TEventer&) = delete;
    // Handlers are not told.
    virtual ~TEventer() = default;

    // The list's lock (recursive: every Lock needs its own Unlock).
    void Lock() { FLock.lock(); }
    void Unlock() { FLock.unlock(); }

    // Number of registrations, duplicates counted.
    size_t Count();

protected:
    // A method pointer with its argument types erased.
    struct TEntry {
        void* Object;
        void (*Code)();
        friend bool operator==(const TEntry&, const TEntry&) = default;
    };

    void AddEntry(const TEntry& Entry);
    void RemoveEntry(const TEntry& Entry);

    // Calls Call(entry) for every registration, in order, under the lock.
    template <class F>
    void FireEntries(F&& Call)
    {
        std::lock_guard<std::recursive_mutex> guard(FLock);
        for (size_t i = 0; i < FHandlers.size(); ++i) {
            TEntry entry = FHandlers[i];  // the handler may change the list
            try {
                Call(entry);
            } catch (...) {
                // A failing handler must not stop the others nor reach the
                // code that fired.
            }
        }
    }

private:
    std::vector<TEntry> FHandlers;
    std::recursive_mutex FLock;
};

// A list of handlers with the arguments Args.
template <class... Args>
class TEventerOf : public TEventer {
public:
    using THandler = TMethod<Args...>;

    // Appends Handler; a handler added twice is called twice.
    void AddHandler(const THandler& Handler) { AddEntry(ToEntry(Handler)); }
    // Removes the first registration equal to Handler; nothing when absent.
    void RemoveHandler(const THandler& Handler) { RemoveEntry(ToEntry(Handler)); }

protected:
    void FireAll(Args... Arguments)
    {
        FireEntries([&](const TEntry& e) {
            THandler(e.Object, reinterpret_cast<typename THandler::TCode>(e.Code))(Arguments...);
        });
    }

private:
    static TEntry ToEntry(const THandler& h)
    {
        return TEntry{h.Object(), reinterpret_cast<void (*)()>(h.Code())};
    }
};

// Node created / node destroyed.
class Teventer_NodedInterface : public TEventerOf<INodedInterface*> {
public:
    void Fire(INodedInterface* Node);
};

// Descendant added / removed: the node and its distance from the list's owner.
class TeventerDescentEvent : public TEventerOf<IUnknown*, int32_t> {
public:
    void Fire(IUnknown* Node, int32_t Depth);
};

// Channel opened, closed, data available, settings changed.
class TeventerCiNotify : public TEventerOf<ICommunicationInterface*> {
public:
    void Fire(ICommunicationInterface* Sender);
};

// Modem line changed: the channel, the line code and its new state.
class TeventerCiNotifyChangeEvent : public TEventerOf<ICommunicationInterface*, int32_t, bool> {
public:
    void Fire(ICommunicationInterface* Sender, int32_t Line, bool State);
};

}  // namespace kelvo
