#pragma once
// Work on several interfaces at once: each item on a worker thread of its
// own, while the calling thread - the program's main thread - keeps serving
// the main-thread queue, which the serial ports' hand-over needs.

#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

namespace kelvo::ctl {

// Runs Work(i) for every i below Count on at most Jobs threads at a time
// (0: one thread per item), and calls Done(i) on the calling thread, in
// the order of i, as soon as the items up to i have finished - so results
// print in their order while the slow ones still run. An exception out of
// Work is raised here after every item has finished; one out of Done ends
// the waiting for the items not yet reported, after they have finished.
void RunInParallel(size_t Count, size_t Jobs, const std::function<void(size_t)>& Work,
                   const std::function<void(size_t)>& Done);

// Waits for the pollers on Threads to end, told to stop already, and joins
// them, serving the main-thread queue meanwhile (their ports' hand-over
// needs it). Ended(i) tells whether poller i has ended; each poller posts a
// call when it has, which is when Ended is asked again.
void JoinPollers(std::vector<std::thread>& Threads, size_t Count, const std::function<bool(size_t)>& Ended);

}  // namespace kelvo::ctl
