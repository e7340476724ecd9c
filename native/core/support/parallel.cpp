#include "parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <functional>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include <pthread.h>
#include <unistd.h>

namespace aerolume {

namespace {

// Workers the pool may start, whatever a caller asks for: more threads than this only
// queue behind one another (and results do not depend on the count).
constexpr unsigned max_workers = 256;

// One call's blocks, handed out one at a time to the caller and the workers that join it.
struct Job {
    void (*block)(void*, std::size_t);
    void* context;
    std::size_t count;
    std::atomic<std::size_t> next{0};
    unsigned inside = 0;                // workers running its blocks (under the pool's lock)
    std::condition_variable all_left;   // inside fell to 0
    std::mutex failure_lock;
    std::exception_ptr failure;
    pid_t owner = 0;                    // the process that posted it

    void work() {
        for (std::size_t b = next.fetch_add(1); b < count; b = next.fetch_add(1)) {
            try {
                check_cancel();
                block(context, b);
            } catch (...) {
                std::lock_guard<std::mutex> guard(failure_lock);
                if (!failure) failure = std::current_exception();
            }
        }
    }
};

class Pool {
public:
    // The pool of this process.  A child made by fork() starts a pool of its own: the
    // parent's workers do not exist there, and its lock may have been held at the fork.
    static Pool& instance() {
        static std::once_flag registered;
        std::call_once(registered, [] {
            pthread_atfork(nullptr, nullptr, [] { current.store(nullptr); });
        });
        Pool* pool = current.load(std::memory_order_acquire);
        if (pool == nullptr) {
            // Never destroyed: workers may wait on it until the process ends.
            Pool* fresh = new Pool;
            if (current.compare_exchange_strong(pool, fresh, std::memory_order_acq_rel))
                pool = fresh;
            else
                delete fresh;  // (no worker started yet)
        }
        return *pool;
    }

    // Offers the job's blocks to up to `helpers` workers and returns at once.
    void post(Job& job, unsigned helpers) {
        job.owner = ::getpid();
        {
            std::lock_guard<std::mutex> guard(lock_);
            start(helpers);
            jobs_.push_back(&job);
        }
        for (unsigned i = 0; i < helpers; ++i) wake_.notify_one();
    }

    // Runs the blocks no worker has taken, then waits for the workers inside the job.
    void finish(Job& job) {
        job.work();
        std::unique_lock<std::mutex> guard(lock_);
        withdraw(job);
        job.all_left.wait(guard, [&] { return job.inside == 0; });
    }

    // Waits up to `timeout` for every block of the job to be taken and finished.
    bool wait_for(Job& job, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> guard(lock_);
        return job.all_left.wait_for(guard, timeout, [&] {
            return job.next.load() >= job.count && job.inside == 0;
        });
    }

private:
    // Starts workers until there are `wanted` (or as many as the system allows).
    void start(unsigned wanted) {
        wanted = std::min(wanted, max_workers);
        while (workers_ < wanted) {
            try {
                std::thread(&Pool::serve, this).detach();
            } catch (const std::system_error&) {
                return;  // the caller runs the blocks no worker takes
            }
            ++workers_;
        }
    }

    void withdraw(Job& job) {
        const auto at = std::find(jobs_.begin(), jobs_.end(), &job);
        if (at != jobs_.end()) jobs_.erase(at);
    }

    void serve() {
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            wake_.wait(guard, [&] { return !jobs_.empty(); });
            Job& job = *jobs_.front();
            ++job.inside;
            guard.unlock();
            job.work();
            guard.lock();
            withdraw(job);  // every block is taken: no one else need enter
            if (--job.inside == 0) job.all_left.notify_all();
        }
    }

    static inline std::atomic<Pool*> current{nullptr};
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<Job*> jobs_;
    unsigned workers_ = 0;
};

}  // namespace

namespace {
std::atomic<unsigned> cancel_requests{0};
}

void request_cancel() noexcept { cancel_requests.fetch_add(1); }
void end_cancel() noexcept { cancel_requests.fetch_sub(1); }
bool cancel_requested() noexcept { return cancel_requests.load(std::memory_order_relaxed) != 0; }

unsigned resolve_threads(unsigned threads, std::size_t items) {
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(threads, items)));
}

void run_blocks(std::size_t blocks, unsigned helpers, void (*block)(void* context, std::size_t b),
                void* context) {
    if (blocks == 0) return;
    Job job;
    job.block = block;
    job.context = context;
    job.count = blocks;
    helpers = static_cast<unsigned>(std::min<std::size_t>({helpers, blocks - 1, max_workers}));
    if (helpers == 0) {
        job.work();
    } else {
        Pool& pool = Pool::instance();
        pool.post(job, helpers);
        pool.finish(job);
    }
    if (job.failure) std::rethrow_exception(job.failure);
}

struct Background::State {
    std::function<void(std::size_t)> block;
    Job job;
    Pool* pool = nullptr;  // where the job was posted; none when it runs only in finish()
    bool finished = false;
};

Background::Background(std::size_t blocks, unsigned helpers, std::function<void(std::size_t)> block)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.block = std::move(block);
    s.job.block = [](void* f, std::size_t b) { (*static_cast<std::function<void(std::size_t)>*>(f))(b); };
    s.job.context = &s.block;
    s.job.count = blocks;
    helpers = static_cast<unsigned>(std::min<std::size_t>({helpers, blocks, max_workers}));
    if (helpers > 0) {
        s.pool = &Pool::instance();
        s.pool->post(s.job, helpers);
    }
}

void Background::wait() noexcept {
    State& s = *state_;
    if (s.finished) return;
    s.finished = true;
    if (s.pool == nullptr) {
        s.job.work();
    } else if (s.job.owner == ::getpid()) {
        s.pool->finish(s.job);
    }
    // (In a child forked while the blocks ran, the workers that took them do not exist:
    // there is nothing to wait for, and the blocks' results are not used.)
}

bool Background::wait_for(std::chrono::milliseconds timeout) {
    State& s = *state_;
    if (s.finished || s.pool == nullptr || s.job.owner != ::getpid()) return true;
    return s.pool->wait_for(s.job, timeout);
}

void Background::finish() {
    wait();
    if (state_->job.failure) std::rethrow_exception(std::exchange(state_->job.failure, nullptr));
}

Background::~Background() {
    if (state_) wait();
}

}  // namespace aerolume
