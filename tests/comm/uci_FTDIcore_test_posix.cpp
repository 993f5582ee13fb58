// The reader's events on Linux: the D2XX library for Linux signals the
// condition variable of the record it was given, and does not promise to
// set iVar.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "uci_FTDIcore_os.h"
#include "uci_FTDIdirect_posix.h"

using namespace kelvo;
using kelvo::ftdicore::TReaderEvents;

namespace {

// Signals the record the way the D2XX library for Linux does, over and over
// (a signal that comes while nobody waits is lost), until told to stop.
void SignalOnlyUntil(TFTEventRecord* Record, const std::atomic<bool>& Stop)
{
    while (!Stop) {
        pthread_mutex_lock(&Record->eMutex);
        pthread_cond_signal(&Record->eCondVar);
        pthread_mutex_unlock(&Record->eMutex);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

TEST(FTDIReaderEvents, ASignalWithoutIVarWakesTheReader)
{
    TReaderEvents events;
    auto* record = static_cast<TFTEventRecord*>(events.DriverParam());
    std::atomic<bool> stop{false};
    std::thread driver([&] { SignalOnlyUntil(record, stop); });
    const auto start = std::chrono::steady_clock::now();
    const TReaderEvents::TWake wake = events.Wait(10000);
    const auto took = std::chrono::steady_clock::now() - start;
    stop = true;
    driver.join();
    EXPECT_EQ(wake, TReaderEvents::TWake::Signalled);
    EXPECT_LT(took, std::chrono::seconds(5)) << "the wake was taken for a spurious one and waited on";
    EXPECT_EQ(record->iVar, 0);
}

TEST(FTDIReaderEvents, OwnEventsStopAndTimeOutsStayWhatTheyWere)
{
    TReaderEvents events;
    events.SetRx();
    EXPECT_EQ(events.Wait(1000), TReaderEvents::TWake::Rx);
    EXPECT_EQ(events.Wait(20), TReaderEvents::TWake::Timeout) << "auto-reset";
    events.SetRx();
    events.SetStop();
    EXPECT_EQ(events.Wait(1000), TReaderEvents::TWake::Stop) << "stop wins";
}
