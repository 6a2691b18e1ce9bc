// SaveScheduler: the few threads that run the periodic saves of every persisted object of the
// process, so that the threads a database starts do not grow with its tables. Each object is
// one job: a function run `interval` after its previous run ended (the first run `interval`
// after the job was added), until the job is removed. Up to `max_threads` jobs run at once, so
// a slow run delays the others only when every thread is busy, and by at most that run; jobs
// that are due together start in the order they fell due.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "common/error.hpp"

namespace quillmere {

class SaveScheduler {
 public:
  using Clock = std::chrono::steady_clock;
  // Starts a thread running `body`; a thread that cannot be started is an error value.
  using StartThread = std::function<Result<std::thread>(std::function<void()> body)>;
  class Job;

  // The process's scheduler, made on first use, never destroyed (its threads are never joined
  // and nothing waits for them at exit). A forked child starts with a new one, without threads:
  // the jobs of the parent never run there.
  static SaveScheduler& process();
  static constexpr std::size_t kProcessThreads = 4;

  explicit SaveScheduler(std::size_t max_threads, StartThread start = start_thread);
  // Stops and joins the threads. REQUIRES: every job was removed.
  ~SaveScheduler();
  SaveScheduler(const SaveScheduler&) = delete;
  SaveScheduler& operator=(const SaveScheduler&) = delete;

  // Adds a job. While fewer threads run than jobs exist (up to max_threads), one more is started
  // first; when that fails ("failed to spawn thread: " and the system's description), nothing
  // is added.
  Result<std::shared_ptr<Job>> add(std::function<void()> run, std::chrono::nanoseconds interval);
  // Takes `job` out: it never starts again, and its function is released now, or by the thread
  // that runs it when that run ends (remove does not wait for it). A second removal, and the
  // removal of a job that a forked child inherited from its parent, do nothing.
  static void remove(Job& job) noexcept;

  std::size_t threads() const;

  // std::thread, with the system's refusal as the error value.
  static Result<std::thread> start_thread(std::function<void()> body);

 private:
  using Queue = std::multimap<Clock::time_point, std::shared_ptr<Job>>;
  void work();
  // REQUIRES: mutex_ held.
  void enqueue(const std::shared_ptr<Job>& job, Clock::time_point due);

  const std::size_t max_threads_;
  const StartThread start_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  Queue queue_;                       // guarded by mutex_: the waiting jobs by due time
  std::size_t jobs_ = 0;              // guarded by mutex_: the jobs not removed
  std::vector<std::thread> threads_;  // guarded by mutex_
  bool shutdown_ = false;             // guarded by mutex_
};

class SaveScheduler::Job {
 public:
  Job(SaveScheduler& owner, std::function<void()> run, std::chrono::nanoseconds interval);

 private:
  friend class SaveScheduler;
  SaveScheduler& owner_;
  const std::uint64_t generation_;  // the fork generation it was added in
  const std::chrono::nanoseconds interval_;
  // All guarded by owner_.mutex_, except that the thread running the job reads run_ unlocked.
  std::function<void()> run_;
  std::optional<Queue::iterator> queued_;
  bool running_ = false;
  bool removed_ = false;
};

}  // namespace quillmere
