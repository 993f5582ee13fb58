#pragma once
// The operating-system side of the FTDI reader thread, one implementation
// per system (uci_FTDIcore_posix.cpp, uci_FTDIcore_win32.cpp). Internal to
// uci_FTDIcore.

#include <cstdint>
#include <memory>

namespace kelvo::ftdicore {

// The reader's two events: the receive event the driver sets (and Read sets
// when bytes remain queued), auto-reset; and the stop event, manual-reset.
// Windows: two event objects. Linux: the driver's condition-variable record
// with a stop flag of ours under the same mutex.
class TReaderEvents {
public:
    TReaderEvents();
    ~TReaderEvents();
    TReaderEvents(const TReaderEvents&) = delete;
    TReaderEvents& operator=(const TReaderEvents&) = delete;

    // What FT_SetEventNotification gets.
    void* DriverParam();
    void SetRx();
    void SetStop();

    // Rx: the receive event was set. Signalled: a wake that was neither a
    // time-out nor a set event - the D2XX library for Linux only signals
    // the condition variable, without iVar - so bytes may have come.
    enum class TWake { Stop, Rx, Signalled, Timeout };
    // Waits at most Ms for either event; Stop wins when both are set.
    TWake Wait(uint32_t Ms);

    struct TImpl;

private:
    std::unique_ptr<TImpl> F;
};

// Raises the calling thread to the highest normal priority where the
// system lets an ordinary user do so.
void RaiseThreadPriority();

}  // namespace kelvo::ftdicore
