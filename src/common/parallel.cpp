#include "common/parallel.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#if defined(QUILLMERE_POOL_STD_THREADS)
#include <condition_variable>
#include <deque>
#include <exception>
#else
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#endif

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

std::size_t size_from_this_environment() {
  return size_from_environment(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                               available_cpus());
}

}  // namespace

#if defined(QUILLMERE_POOL_STD_THREADS)

namespace detail {

// threads - 1 workers; the thread that runs a batch of tasks takes part in it as the last one.
// A task may run a batch of its own (nested helpers): its thread then takes that batch's tasks
// itself until none is left, so every batch finishes even when all other threads are busy.
class ThreadPool {
 public:
  // A thread that cannot be started throws std::system_error, after the started ones ended.
  explicit ThreadPool(std::size_t threads) {
    try {
      for (std::size_t i = 1; i < threads; ++i)
        workers_.emplace_back([this] {
          prepare_thread_for_throwing();
          work();
        });
    } catch (...) {
      stop();
      throw;
    }
  }
  ~ThreadPool() { stop(); }
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  void run(std::size_t tasks, const std::function<void(std::size_t)>& task) {
    Batch batch{&task, tasks, 0, 0, nullptr};
    std::unique_lock lock(m_);
    pending_.push_back(&batch);
    work_cv_.notify_all();
    while (batch.next < batch.tasks) run_next(lock, batch);
    done_cv_.wait(lock, [&] { return batch.finished == batch.tasks; });
    if (batch.error) std::rethrow_exception(batch.error);
  }

 private:
  // Every field is guarded by m_.
  struct Batch {
    const std::function<void(std::size_t)>* task;
    std::size_t tasks;
    std::size_t next = 0;
    std::size_t finished = 0;
    std::exception_ptr error;
  };

  void stop() noexcept {
    {
      const std::lock_guard lock(m_);
      stop_ = true;
    }
    work_cv_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

  void work() {
    std::unique_lock lock(m_);
    for (;;) {
      work_cv_.wait(lock, [&] { return stop_ || !pending_.empty(); });
      if (stop_) return;
      run_next(lock, *pending_.front());
    }
  }

  // Takes the batch's next task and runs it without the lock, unless an earlier task failed.
  void run_next(std::unique_lock<std::mutex>& lock, Batch& batch) {
    const std::size_t i = batch.next++;
    if (batch.next == batch.tasks) std::erase(pending_, &batch);
    if (!batch.error) {
      lock.unlock();
      std::exception_ptr error;
      try {
        (*batch.task)(i);
      } catch (...) {
        error = std::current_exception();
      }
      lock.lock();
      if (error && !batch.error) batch.error = error;
    }
    if (++batch.finished == batch.tasks) done_cv_.notify_all();
  }

  std::mutex m_;
  std::condition_variable work_cv_;  // a batch was queued, or stop_
  std::condition_variable done_cv_;  // a batch finished
  std::deque<Batch*> pending_;       // batches with tasks not yet taken
  bool stop_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace detail

namespace {

struct ProcessPool {
  std::size_t threads;
  detail::ThreadPool* workers;  // never destroyed: helpers may run until the process ends
};

ProcessPool& process_pool() {
  watch_forks();
  static ProcessPool pool = [] {
    const std::size_t n = size_from_this_environment();
    return ProcessPool{n, new detail::ThreadPool(n)};
  }();
  return pool;
}

std::unique_ptr<detail::Workers> make_workers(std::size_t threads) {
  return std::make_unique<detail::ThreadPool>(threads);
}

detail::Workers& process_workers() { return *process_pool().workers; }

}  // namespace

#else

namespace {

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
            while (arrived.load() < threads && std::chrono::steady_clock::now() < give_up)
              std::this_thread::yield();
          },
          tbb::simple_partitioner());
    });
  }
};

ProcessPool& process_pool() {
  watch_forks();
  static ProcessPool pool(size_from_this_environment());
  return pool;
}

std::unique_ptr<detail::Workers> make_workers(std::size_t threads) {
  return std::make_unique<tbb::task_arena>(static_cast<int>(threads));
}

detail::Workers& process_workers() { return process_pool().arena; }

}  // namespace

#endif

namespace {

// The workers a ScopedThreadCount installed, if any, and their thread count.
detail::Workers* override_workers = nullptr;
std::size_t override_threads = 0;

detail::Workers& workers_in_use() {
  return override_workers != nullptr ? *override_workers : process_workers();
}

}  // namespace

#if defined(QUILLMERE_POOL_STD_THREADS)
void detail::run_tasks(std::size_t tasks, const std::function<void(std::size_t)>& task) {
  if (tasks == 0) return;
  workers_in_use().run(tasks, task);
}
#else
tbb::task_arena& arena() { return workers_in_use(); }
#endif

std::size_t thread_count() {
  if (override_workers != nullptr) return override_threads;
  return process_pool().threads;
}

ScopedThreadCount::ScopedThreadCount(std::size_t threads)
    : previous_(override_workers), previous_threads_(override_threads) {
  watch_forks();
  own_ = make_workers(threads);
  override_workers = own_.get();
  override_threads = threads;
}

ScopedThreadCount::~ScopedThreadCount() {
  override_workers = previous_;
  override_threads = previous_threads_;
}

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

bool forked_after_start() { return forked.load(std::memory_order_relaxed); }

}  // namespace quillmere::pool
