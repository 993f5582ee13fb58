#pragma once
// The event record the D2XX library for Linux signals instead of a Windows
// event: the library takes the mutex, signals the condition variable and
// releases the mutex when an enabled event occurs. Whether it sets iVar is
// not promised (FTDI's own examples only wait on the condition variable),
// so a waiter takes any wake as a possible event; our own wakes set iVar,
// and the waiter clears it. POSIX backends only.

#include <pthread.h>

namespace kelvo {

struct TFTEventRecord {
    pthread_cond_t eCondVar;
    pthread_mutex_t eMutex;
    int iVar;
};

}  // namespace kelvo
