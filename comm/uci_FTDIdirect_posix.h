#pragma once
// The event record the D2XX library for Linux signals instead of a Windows
// event: the library takes the mutex, sets iVar, signals the condition
// variable and releases the mutex when an enabled event occurs. The waiter
// clears iVar. POSIX backends only.

#include <pthread.h>

namespace kelvo {

struct TFTEventRecord {
    pthread_cond_t eCondVar;
    pthread_mutex_t eMutex;
    int iVar;
};

}  // namespace kelvo
