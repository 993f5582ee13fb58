// The reader's events on Linux: the D2XX library signals a condition
// variable record (with or without setting its iVar); our stop request
// shares its mutex, so one wait sees either.
#include <pthread.h>
#include <time.h>

#include "uci_FTDIcore_os.h"
#include "uci_FTDIdirect_posix.h"

namespace kelvo::ftdicore {

struct TReaderEvents::TImpl {
    TFTEventRecord Record;
    bool Stop = false;
};

TReaderEvents::TReaderEvents() : F(std::make_unique<TImpl>())
{
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&F->Record.eCondVar, &attr);
    pthread_condattr_destroy(&attr);
    pthread_mutex_init(&F->Record.eMutex, nullptr);
    F->Record.iVar = 0;
}

TReaderEvents::~TReaderEvents()
{
    pthread_cond_destroy(&F->Record.eCondVar);
    pthread_mutex_destroy(&F->Record.eMutex);
}

void* TReaderEvents::DriverParam()
{
    return &F->Record;
}

void TReaderEvents::SetRx()
{
    pthread_mutex_lock(&F->Record.eMutex);
    F->Record.iVar = 1;
    pthread_cond_signal(&F->Record.eCondVar);
    pthread_mutex_unlock(&F->Record.eMutex);
}

void TReaderEvents::SetStop()
{
    pthread_mutex_lock(&F->Record.eMutex);
    F->Stop = true;
    pthread_cond_broadcast(&F->Record.eCondVar);
    pthread_mutex_unlock(&F->Record.eMutex);
}

TReaderEvents::TWake TReaderEvents::Wait(uint32_t Ms)
{
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += Ms / 1000;
    until.tv_nsec += long(Ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&F->Record.eMutex);
    // One wait: a driver that only signals the condition variable (the
    // D2XX library for Linux leaves iVar alone) must wake us too, so any
    // wake that is not the time-out counts as a possible arrival.
    int rc = 0;
    if (!F->Stop && F->Record.iVar == 0)
        rc = pthread_cond_timedwait(&F->Record.eCondVar, &F->Record.eMutex, &until);
    TWake wake = TWake::Timeout;
    if (F->Stop) {
        wake = TWake::Stop;
    } else if (F->Record.iVar != 0) {
        F->Record.iVar = 0;  // auto-reset
        wake = TWake::Rx;
    } else if (rc == 0) {
        wake = TWake::Signalled;
    }
    pthread_mutex_unlock(&F->Record.eMutex);
    return wake;
}

void RaiseThreadPriority()
{
    // Above-normal priorities need privileges on Linux; the default
    // scheduler wakes the thread promptly anyway.
}

}  // namespace kelvo::ftdicore
