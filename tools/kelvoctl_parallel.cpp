#include "kelvoctl_parallel.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "uMainThreadQueue.h"

namespace kelvo::ctl {

void RunInParallel(size_t Count, size_t Jobs, const std::function<void(size_t)>& Work,
                   const std::function<void(size_t)>& Done)
{
    if (Count == 0)
        return;
    const size_t threads = Jobs == 0 || Jobs > Count ? Count : Jobs;
    std::atomic<size_t> next{0};
    // One flag per item, set when its Work has returned.
    std::unique_ptr<std::atomic<bool>[]> finished(new std::atomic<bool>[Count]);
    for (size_t i = 0; i < Count; ++i)
        finished[i] = false;
    std::mutex errorLock;
    std::exception_ptr error;

    std::vector<std::thread> pool;
    pool.reserve(threads);
    for (size_t t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            for (size_t i = next++; i < Count; i = next++) {
                try {
                    Work(i);
                } catch (...) {
                    std::lock_guard<std::mutex> g(errorLock);
                    if (!error)
                        error = std::current_exception();
                }
                finished[i] = true;
            }
        });
    }

    std::exception_ptr doneError;
    size_t reported = 0;
    auto allFinished = [&] {
        for (size_t i = 0; i < Count; ++i)
            if (!finished[i])
                return false;
        return true;
    };
    while (reported < Count) {
        if (!TMainThreadQueue::DrainUntil([&] { return finished[reported].load(); }, 1000) &&
            !TMainThreadQueue::IsMainThread())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        while (!doneError && reported < Count && finished[reported]) {
            try {
                Done(reported);
            } catch (...) {
                doneError = std::current_exception();
            }
            ++reported;
        }
        if (doneError)
            break;
    }
    // The workers may still wait for the main thread: serve it until they end.
    while (!TMainThreadQueue::DrainUntil(allFinished, 1000))
        if (!TMainThreadQueue::IsMainThread())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (std::thread& t : pool)
        t.join();
    TMainThreadQueue::Drain();
    if (doneError)
        std::rethrow_exception(doneError);
    if (error)
        std::rethrow_exception(error);
}

void JoinPollers(std::vector<std::thread>& Threads, size_t Count, const std::function<bool(size_t)>& Ended)
{
    for (size_t i = 0; i < Count; ++i)
        while (!TMainThreadQueue::DrainUntilPosted([&] { return Ended(i); }, 1000)) {
        }
    for (std::thread& t : Threads)
        t.join();
    Threads.clear();
    TMainThreadQueue::Drain();
}

}  // namespace kelvo::ctl
