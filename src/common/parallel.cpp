#include "common/parallel.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include <tbb/global_control.h>
#include <tbb/parallel_for.h>

#include "common/failure.hpp"

namespace quillmere::pool {
namespace {

// An unsigned decimal number with an optional leading '+', nothing else around it.
std::optional<std::size_t> parse_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  std::string_view s(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty() || s.front() == '+' || s.front() == '-') return std::nullopt;
  std::size_t value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

std::atomic<bool> forked{false};

// Called before oneTBB is first used: from then on, a forked child knows it was forked.
void watch_forks() {
  static std::once_flag once;
  std::call_once(once, [] { ::pthread_atfork(nullptr, nullptr, [] { forked.store(true); }); });
}

struct ProcessPool {
  std::size_t threads;
  // Lets the arena have more threads than TBB's default (the CPU count) when asked for.
  tbb::global_control limit;
  tbb::task_arena arena;

  explicit ProcessPool(std::size_t n)
      : threads(n),
        limit(tbb::global_control::max_allowed_parallelism,
              std::max<std::size_t>(n, tbb::this_task_arena::max_concurrency())),
        arena(static_cast<int>(n)) {
    start_every_worker();
  }

  // oneTBB starts its workers on demand, some from other workers, where a failure to start one
  // (no memory for its stack) cannot be caught and ends the process. Starting them all here, at
  // the pool's first use, keeps that from happening later, under memory pressure: n tasks meet
  // (or give up after a moment), so n threads have run one each.
  void start_every_worker() {
    std::atomic<std::size_t> arrived{0};
    arena.execute([&] {
      tbb::parallel_for(
          std::size_t{0}, threads,
          [&](std::size_t) {
            prepare_thread_for_throwing();
            arrived.fetch_add(1);
            const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
            while (arrived.load() < threads && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
          },
          tbb::simple_partitioner());
    });
  }
};

ProcessPool& process_pool() {
  watch_forks();
  static ProcessPool pool(size_from_environment(std::getenv("RAYON_NUM_THREADS"),
                                                std::getenv("RAYON_RS_NUM_CPUS"),
                                                available_cpus()));
  return pool;
}

tbb::task_arena* override_arena = nullptr;
std::size_t override_threads = 0;

}  // namespace

std::size_t size_from_environment(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  std::size_t available) {
  const std::size_t fallback = available == 0 ? 1 : available;
  if (auto n = parse_count(rayon_num_threads)) return *n > 0 ? *n : fallback;
  if (auto n = parse_count(rayon_rs_num_cpus); n && *n > 0) return *n;
  return fallback;
}

std::size_t available_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return 0;
  return static_cast<std::size_t>(CPU_COUNT(&set));
}

tbb::task_arena& arena() {
  if (override_arena != nullptr) return *override_arena;
  return process_pool().arena;
}

bool forked_after_start() { return forked.load(std::memory_order_relaxed); }

std::size_t thread_count() {
  if (override_arena != nullptr) return override_threads;
  return process_pool().threads;
}

ScopedThreadCount::ScopedThreadCount(std::size_t threads)
    : previous_(override_arena), previous_threads_(override_threads) {
  watch_forks();
  own_.emplace(static_cast<int>(threads));
  override_arena = &*own_;
  override_threads = threads;
}

ScopedThreadCount::~ScopedThreadCount() {
  override_arena = previous_;
  override_threads = previous_threads_;
}

}  // namespace quillmere::pool
