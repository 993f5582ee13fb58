#include "uTickUtils.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace kelvo {

namespace {
std::atomic<TTimeSource*> gSource{nullptr};
}

uint32_t GetTickCount32()
{
    if (TTimeSource* s = gSource.load(std::memory_order_acquire))
        return s->Tick();
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<uint32_t>(static_cast<uint64_t>(ms));
}

void SleepMs(uint32_t Ms)
{
    if (TTimeSource* s = gSource.load(std::memory_order_acquire)) {
        s->Sleep(Ms);
        return;
    }
    if (Ms == 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

void SetTimeSource(TTimeSource* Source)
{
    gSource.store(Source, std::memory_order_release);
}

}  // namespace kelvo
