#pragma once
// The operating-system side of the device manager's plug events, one
// implementation per system (uci_FTDImanager_posix.cpp,
// uci_FTDImanager_win32.cpp). Internal to uci_FTDImanager.

#include <cstdint>
#include <memory>

namespace kelvo {
class TFTDIManager;
}

namespace kelvo::ftdimanager {

class TPlugWatch {
public:
    virtual ~TPlugWatch() = default;
    // Windows: hands a record to the message window; elsewhere false.
    virtual bool Deliver(uintptr_t /*Event*/, const void* /*Record*/) { return false; }
};

// Starts following plug events for Manager (on the main thread); nothing
// when they cannot be followed.
std::unique_ptr<TPlugWatch> StartPlugWatch(TFTDIManager& Manager);

}  // namespace kelvo::ftdimanager
