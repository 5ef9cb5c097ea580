// Work split over threads: one process-wide pool of plain threads, created on first use, that
// parallel_for lends to its caller. The work is cut into contiguous parts of an index range;
// each part is independent of the others (its own rows or times, no shared sum), so the result
// is the same bits for every worker count.
//
// The pool belongs to the process that created it: a child of fork, which has none of the
// parent's threads, makes its own on first use. Its threads are never joined: they wait for
// work until the process ends, and exit (with a call running or not) does not wait for them.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace pwpoly::threads {

// The cores this process may run on (its affinity mask), at least 1.
std::size_t usable_cores();

// A borrowed callable body(begin, end): no allocation, no ownership.
class RangeBody {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, RangeBody>)
    RangeBody(F& f) noexcept  // implicit: a body is lent for the call only
        : object_(&f), call_([](void* object, std::size_t begin, std::size_t end) {
              (*static_cast<F*>(object))(begin, end);
          }) {}
    void operator()(std::size_t begin, std::size_t end) const { call_(object_, begin, end); }

private:
    void* object_;
    void (*call_)(void*, std::size_t, std::size_t);
};

// The parts of [0, count) for `workers` workers when no part should hold fewer than `grain`
// items: a few per worker (min(4 workers, count / grain), at least 1; 1 for one worker), so that
// a worker that starts late, or runs on a busy core, still takes its share of what is left.
std::size_t part_count(std::size_t count, std::size_t workers, std::size_t grain) noexcept;

// Start of part p of `parts` over [0, count): p * count / parts rounded down to a multiple of
// `align` (the last part ends at count).
std::size_t part_start(std::size_t p, std::size_t parts, std::size_t count, std::size_t align) noexcept;

// Runs body(begin, end) on every part of [0, count) (part_count(count, workers, grain) of
// them, starts aligned to `align` items) on the calling thread and up to workers - 1 threads of
// the pool, each taking the next part left until none is, and returns when all are done. One part runs on the caller alone, without the pool. The first exception a part
// throws is rethrown here once every part has finished (the remaining parts still run).
void parallel_for(std::size_t count, std::size_t workers, std::size_t grain, std::size_t align, RangeBody body);

// Threads the pool has started in this process (0 before the first parallel call).
std::size_t pool_threads();

}  // namespace pwpoly::threads
