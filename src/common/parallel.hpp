// The process-wide data-parallel pool: one oneTBB task arena, created on first use, sized by
//   RAYON_NUM_THREADS > 0           -> that many threads
//   RAYON_NUM_THREADS = 0           -> the available CPUs
//   unset or not a number           -> RAYON_RS_NUM_CPUS if it is a positive number,
//                                      otherwise the available CPUs (1 if unknown).
// The helpers below run their bodies inside that arena and wait for them; an exception thrown
// by a body (InternalFailure included) is re-thrown on the calling thread.
//
// A process forked after oneTBB started (by the pool or a ScopedThreadCount) has none of the
// workers, and may have copied oneTBB's state in the middle of a change: a child that used it
// could wait forever (a Python program forks its multiprocessing workers). There the helpers
// run their bodies on the calling thread instead. The thread count is still the sizing rule's,
// so everything computed in the child is what the pool would have computed.
//
// Under ThreadSanitizer the helpers run on a small pool of std::threads instead (same sizing,
// same interface, same results): oneTBB is not instrumented, so TSan could neither see its
// synchronisation nor tell a race inside a body from oneTBB's own work.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#if defined(__SANITIZE_THREAD__)
#define QUILLMERE_POOL_STD_THREADS 1
#else
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_invoke.h>
#include <tbb/task_arena.h>
#endif

#include "common/exact_float.hpp"

namespace quillmere::pool {

// The sizing rule over the two variables' values (nullptr = unset); `available_cpus` is what
// the machine offers (0 when unknown).
std::size_t size_from_environment(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  std::size_t available_cpus);

// CPUs this process may run on (its affinity mask); 0 when that cannot be determined.
std::size_t available_cpus();

namespace detail {
// What the helpers run on: a small pool of std::threads under ThreadSanitizer, else an arena.
#if defined(QUILLMERE_POOL_STD_THREADS)
class ThreadPool;
using Workers = ThreadPool;
#else
using Workers = tbb::task_arena;
#endif
}  // namespace detail

#if defined(QUILLMERE_POOL_STD_THREADS)
namespace detail {
// Runs task(0) ... task(tasks - 1) on the pool in use and the calling thread, and returns when
// all have finished; the first exception a task threw is re-thrown here (the tasks not yet
// started then do not run).
void run_tasks(std::size_t tasks, const std::function<void(std::size_t)>& task);
}  // namespace detail
#else
// The arena every helper runs in: the process pool, or the one a ScopedThreadCount installed.
tbb::task_arena& arena();
#endif

// The pool's thread count (creates the pool on first use).
std::size_t thread_count();

// Whether this process was forked after oneTBB started (see the top of this file).
bool forked_after_start();

// Test hook: while alive, every helper runs in an arena of `threads` threads instead of the
// process pool. Not for concurrent use; tests compare results across pool sizes with it.
class ScopedThreadCount {
 public:
  explicit ScopedThreadCount(std::size_t threads);
  ~ScopedThreadCount();
  ScopedThreadCount(const ScopedThreadCount&) = delete;
  ScopedThreadCount& operator=(const ScopedThreadCount&) = delete;

 private:
  detail::Workers* previous_;
  std::size_t previous_threads_;
  std::unique_ptr<detail::Workers> own_;
};

// body(begin, end) over consecutive sub-ranges that together cover [0, n). Every body runs in
// exact float mode (see exact_float.hpp), on whatever thread.
template <class Body>
void parallel_for(std::size_t n, Body&& body) {
  if (n == 0) return;
  if (forked_after_start()) {
    const ExactFloatMode exact;
    body(std::size_t{0}, n);
    return;
  }
#if defined(QUILLMERE_POOL_STD_THREADS)
  // A few consecutive chunks per thread, as even as integers allow.
  const std::size_t chunks = std::min(n, 4 * thread_count());
  const std::size_t base = n / chunks, extra = n % chunks;
  detail::run_tasks(chunks, [&](std::size_t c) {
    const ExactFloatMode exact;
    body(c * base + std::min(c, extra), (c + 1) * base + std::min(c + 1, extra));
  });
#else
  arena().execute([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                        const ExactFloatMode exact;
                        body(r.begin(), r.end());
                      });
  });
#endif
}

// Ordered map: element i of the result is f(i), whatever thread computed it.
template <class T, class F>
std::vector<T> parallel_map(std::size_t n, F&& f) {
  std::vector<T> out(n);
  parallel_for(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) out[i] = f(i);
  });
  return out;
}

// Ordered map over items of uneven cost: element i of the result is f(i). The items are handed
// out one at a time, in the order `order` lists them (a permutation of [0, n): the costliest
// first), to whichever thread is free, so that a batch ends with short items instead of waiting
// for a long one started last.
template <class T, class F>
std::vector<T> parallel_map_in_order(std::span<const std::size_t> order, F&& f) {
  std::vector<T> out(order.size());
  std::atomic<std::size_t> next{0};
  parallel_for(std::min(thread_count(), order.size()), [&](std::size_t, std::size_t) {
    for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < order.size();)
      out[order[i]] = f(order[i]);
  });
  return out;
}

// Fork-join: runs a and b, possibly at the same time, and returns when both have finished;
// both in exact float mode.
template <class A, class B>
void join(A&& a, B&& b) {
  auto exact_a = [&] {
    const ExactFloatMode exact;
    a();
  };
  auto exact_b = [&] {
    const ExactFloatMode exact;
    b();
  };
  if (forked_after_start()) {
    exact_a();
    exact_b();
    return;
  }
#if defined(QUILLMERE_POOL_STD_THREADS)
  detail::run_tasks(2, [&](std::size_t i) { i == 0 ? exact_a() : exact_b(); });
#else
  arena().execute([&] { tbb::parallel_invoke(exact_a, exact_b); });
#endif
}

}  // namespace quillmere::pool
