#pragma once
// Safe sync: a worker thread hands a call synchronously to the main thread
// and waits for it, at most a given time. Process-wide, a table of 64 slots;
// each slot holds one handler, which runs on the main thread when its slot
// is called and enabled. On Windows the calls travel as messages to a hidden
// window; elsewhere through the main-thread message queue.

#include <cstdint>
#include <functional>

namespace kelvo {

using TAfSafeSyncEvent = std::function<void()>;

constexpr int AfSafeSyncSlots = 64;

// Takes a free slot for Handler, disabled, and returns its id (ids count up
// from 1 over the whole process); 0 when all slots are taken. The first call
// sets the hand-over up on the calling thread, which must be the main one.
uint32_t SyncRegister(TAfSafeSyncEvent Handler);
void SyncUnregister(uint32_t Id);
// A disabled slot's calls are refused, and calls still waiting are dropped.
void SyncEnable(uint32_t Id, bool Enabled);
// Runs the slot's handler on the main thread and waits up to Timeout ms.
// False when the slot is missing or disabled (before or after the call). A
// call that timed out still gives true while the slot is enabled; the event
// it carried is then lost.
bool SyncCall(uint32_t Id, uint32_t Timeout);

namespace afsync {
// Backend (AfSafeSync_win32.cpp, AfSafeSync_posix.cpp).
void BackendInit();
// Sends the call for slot Index/Id to the main thread and waits; false when
// the hand-over does not exist (any more).
bool BackendSend(int Index, uint32_t Id, uint32_t Timeout);
// Drops calls of slot Index still waiting for the main thread.
void BackendCancel(int Index);
// Run by the backend on the main thread: the slot's handler, if enabled.
void Dispatch(uint32_t Id);
}  // namespace afsync

}  // namespace kelvo
