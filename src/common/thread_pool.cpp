#include "common/thread_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace pwpoly::threads {

namespace {

// One parallel_for call: its parts are claimed one by one by the caller and by the pool's
// threads; the caller waits until every claimed part has finished. A thread that takes the job
// from the queue after all parts were claimed finds nothing to do and never touches the body,
// whose owner may have returned by then; the job itself lives as long as a reference to it.
struct Job {
    RangeBody body;
    std::size_t count;
    std::size_t parts;
    std::size_t align;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex mutex;
    std::condition_variable finished;
    std::size_t done = 0;  // guarded by mutex
    std::exception_ptr error;  // the first failure, guarded by mutex

    Job(RangeBody b, std::size_t c, std::size_t p, std::size_t a) : body(b), count(c), parts(p), align(a) {}

    // Runs parts until none is left unclaimed.
    void work() {
        for (;;) {
            const std::size_t p = next.fetch_add(1, std::memory_order_relaxed);
            if (p >= parts) return;
            std::exception_ptr caught;
            if (!failed.load(std::memory_order_relaxed)) {
                try {
                    body(part_start(p, parts, count, align), part_start(p + 1, parts, count, align));
                } catch (...) {
                    caught = std::current_exception();
                    failed.store(true, std::memory_order_relaxed);
                }
            }
            const std::lock_guard<std::mutex> lock(mutex);
            if (caught && !error) error = std::move(caught);  // the caller then holds the only reference
            if (++done == parts) finished.notify_all();
        }
    }
};

// Never destroyed: its threads wait on its members until the process ends.
class Pool {
public:
    explicit Pool(pid_t owner) noexcept : owner_(owner) {}

    pid_t owner() const noexcept { return owner_; }

    // Queues `job` for up to `helpers` threads, starting threads up to that many.
    void lend(const std::shared_ptr<Job>& job, std::size_t helpers) {
        const std::lock_guard<std::mutex> lock(mutex_);
        grow(helpers);
        for (std::size_t h = 0; h < helpers; ++h) queue_.push_back(job);
        wake_.notify_all();
    }

    std::size_t threads() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return started_;
    }

private:
    // Starts threads up to `wanted` (at most a few per usable core), with every signal blocked
    // so that signals go to the interpreter's threads. A thread that cannot be started leaves
    // its share to the others and to the caller.
    void grow(std::size_t wanted) {
        const std::size_t limit = 4 * usable_cores();
        wanted = std::min(wanted, limit);
        if (started_ >= wanted) return;
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        try {
            while (started_ < wanted) {
                std::thread([this] { serve(); }).detach();
                ++started_;
            }
        } catch (const std::system_error&) {
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    [[noreturn]] void serve() {
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this] { return !queue_.empty(); });
                job = std::move(queue_.front());
                queue_.pop_front();
            }
            job->work();
        }
    }

    const pid_t owner_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Job>> queue_;
    std::size_t started_ = 0;
};

std::atomic<Pool*> current_pool{nullptr};

// This process's pool, made on first use. A pool inherited through fork has no threads here:
// the child leaves it (its locks may be held by threads that do not exist) and makes its own.
Pool& pool() {
    const pid_t self = getpid();
    Pool* existing = current_pool.load(std::memory_order_acquire);
    while (existing == nullptr || existing->owner() != self) {
        auto made = std::make_unique<Pool>(self);
        if (current_pool.compare_exchange_strong(existing, made.get(), std::memory_order_acq_rel)) {
            return *made.release();  // kept for the life of the process
        }
    }
    return *existing;
}

}  // namespace

std::size_t usable_cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

std::size_t part_count(std::size_t count, std::size_t workers, std::size_t grain) noexcept {
    if (workers <= 1) return 1;
    constexpr std::size_t parts_per_worker = 4;
    const std::size_t most = count / std::max<std::size_t>(grain, 1);
    const std::size_t wanted = workers > SIZE_MAX / parts_per_worker ? SIZE_MAX : workers * parts_per_worker;
    return std::max<std::size_t>(1, std::min(wanted, most));
}

std::size_t part_start(std::size_t p, std::size_t parts, std::size_t count, std::size_t align) noexcept {
    if (p >= parts) return count;
    // p * count / parts without overflow: count = q parts + r.
    const std::size_t q = count / parts;
    const std::size_t r = count % parts;
    const std::size_t start = p * q + p * r / parts;
    const std::size_t a = std::max<std::size_t>(align, 1);
    return start / a * a;
}

void parallel_for(std::size_t count, std::size_t workers, std::size_t grain, std::size_t align, RangeBody body) {
    const std::size_t parts = part_count(count, workers, grain);
    if (parts <= 1) {
        if (count > 0) body(0, count);
        return;
    }
    auto job = std::make_shared<Job>(body, count, parts, align);
    pool().lend(job, std::min(workers, parts) - 1);
    job->work();
    std::unique_lock<std::mutex> lock(job->mutex);
    job->finished.wait(lock, [&] { return job->done == job->parts; });
    // Taken out of the job, which a pool thread may be the last to let go of.
    std::exception_ptr error = std::move(job->error);
    lock.unlock();
    if (error) std::rethrow_exception(error);
}

std::size_t pool_threads() {
    Pool* existing = current_pool.load(std::memory_order_acquire);
    return existing != nullptr && existing->owner() == getpid() ? existing->threads() : 0;
}

}  // namespace pwpoly::threads
