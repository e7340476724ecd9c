// Splitting independent work items over threads.
//
// Every kernel of the core computes each item (a profile, a gate) from its inputs alone and
// writes it to its own place, so the result never depends on how the items were split: it
// is bit-identical whatever the thread count.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace aerolume {

// The number of threads to use for `threads` (0: all cores), never more than `items`
// and never less than 1.
unsigned resolve_threads(unsigned threads, std::size_t items);

// Calls body(begin, end) on contiguous blocks covering [0, items), on up to `threads`
// threads (0: all cores).  Inputs with fewer than `min_items_per_thread` items per thread
// run on the calling thread.  The first exception thrown by a block is rethrown here once
// all blocks have finished.
template <class Body>
void parallel_for(std::size_t items, unsigned threads, Body&& body,
                  std::size_t min_items_per_thread = 1) {
    if (items == 0) return;
    unsigned n = resolve_threads(threads, items);
    if (min_items_per_thread > 1)
        n = static_cast<unsigned>(std::max<std::size_t>(
            1, std::min<std::size_t>(n, items / min_items_per_thread)));
    if (n == 1) {
        body(std::size_t{0}, items);
        return;
    }
    std::exception_ptr failure;
    std::mutex failure_lock;
    std::vector<std::thread> workers;
    workers.reserve(n - 1);
    auto run = [&](std::size_t begin, std::size_t end) {
        try {
            body(begin, end);
        } catch (...) {
            std::lock_guard<std::mutex> guard(failure_lock);
            if (!failure) failure = std::current_exception();
        }
    };
    const std::size_t block = items / n, extra = items % n;
    std::size_t begin = 0;
    for (unsigned t = 0; t < n; ++t) {
        const std::size_t end = begin + block + (t < extra ? 1 : 0);
        if (t + 1 == n)
            run(begin, end);
        else
            workers.emplace_back(run, begin, end);
        begin = end;
    }
    for (auto& w : workers) w.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace aerolume
