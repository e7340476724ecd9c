// Splitting independent work items over threads.
//
// Every kernel of the core computes each item (a profile, a gate) from its inputs alone and
// writes it to its own place, so the result never depends on how the items were split: it
// is bit-identical whatever the thread count.
//
// The threads are kept between calls (starting a thread costs about as much as reading a
// raw file): a process-wide pool of workers that wait for blocks to run.  The calling
// thread always runs blocks too, and runs whatever no worker has taken, so a call never
// waits for a busy pool and calls may nest or come from several threads at once.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>

namespace aerolume {

// Stopping work early (an interrupt).  A caller that wants the core's running calls to
// stop requests it; the kernels check between blocks and between pieces of long work
// (a file, a profile, a chunk of realisations) and end by throwing Cancelled, which
// run_blocks and parallel_for pass on like any failure.  The request is process-wide
// and stays until its requester ends it (once its own call has returned).
struct Cancelled : std::exception {
    const char* what() const noexcept override { return "interrupted"; }
};
void request_cancel() noexcept;
void end_cancel() noexcept;
bool cancel_requested() noexcept;
inline void check_cancel() {
    if (cancel_requested()) throw Cancelled();
}

// The number of threads to use for `threads` (0: all cores), never more than `items`
// and never less than 1.
unsigned resolve_threads(unsigned threads, std::size_t items);

// Runs block(context, b) for every b in [0, blocks), the blocks handed out one at a time
// to the calling thread and up to `helpers` workers of the pool.  The first exception
// thrown by a block is rethrown here once every block has finished.
void run_blocks(std::size_t blocks, unsigned helpers, void (*block)(void* context, std::size_t b),
                void* context);

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
    const std::size_t block = items / n, extra = items % n;
    auto run = [&](std::size_t b) {
        const std::size_t begin = b * block + std::min<std::size_t>(b, extra);
        body(begin, begin + block + (b < extra ? 1 : 0));
    };
    run_blocks(n, n - 1, [](void* f, std::size_t b) { (*static_cast<decltype(run)*>(f))(b); }, &run);
}

// Blocks started on the pool's workers at once, to run while the caller does something
// else; finish() then runs those no worker has taken and waits for the rest.  The blocks
// are handed out one at a time.  The destructor waits as finish() does (the blocks may
// use memory their owner frees next), without rethrowing.
class Background {
public:
    Background(std::size_t blocks, unsigned helpers, std::function<void(std::size_t)> block);
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    ~Background();

    // Rethrows the first exception thrown by a block.
    void finish();

    // Waits up to `timeout` for the workers to run every block (running none itself);
    // true once none is left to them.  finish() is still needed for the result.
    bool wait_for(std::chrono::milliseconds timeout);

private:
    void wait() noexcept;
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace aerolume
