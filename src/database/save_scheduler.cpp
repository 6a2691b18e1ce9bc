#include "database/save_scheduler.hpp"

#include <cxxabi.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <string>
#include <system_error>
#include <utility>

#include "common/failure.hpp"
#include "database/fork_safety.hpp"
#include "database/report.hpp"

namespace quillmere {
namespace {

// The process's scheduler. A forked child forgets its parent's (whose mutex may have been copied
// held and whose threads do not exist there) and makes its own on first use; the old one is
// left as it is, never touched again.
std::atomic<SaveScheduler*> current{nullptr};
const int registered = pthread_atfork(nullptr, nullptr, [] { current.store(nullptr); });

void report(const std::string& what) noexcept {
  report_unheard("periodic save (retried at the next interval)", what);
}

// A job's function reports its own failures; whatever still escapes is printed here, and the
// job runs again at its next time.
void run_reporting(const std::function<void()>& run) {
  try {
    run();
  } catch (const InternalFailure& f) {
    report(f.message);
  } catch (const std::exception& e) {
    report(e.what());
  } catch (abi::__forced_unwind&) {
    throw;  // a thread being ended (pthread_exit, cancellation) must unwind
  } catch (...) {
    report("unknown exception");
  }
}

}  // namespace

SaveScheduler& SaveScheduler::process() {
  (void)registered;
  SaveScheduler* found = current.load(std::memory_order_acquire);
  if (found != nullptr) return *found;
  // No mutex guards the first use, so none can be copied held into a child.
  auto* made = new SaveScheduler(kProcessThreads);
  if (current.compare_exchange_strong(found, made, std::memory_order_acq_rel)) return *made;
  delete made;
  return *found;
}

Result<std::thread> SaveScheduler::start_thread(std::function<void()> body) {
  try {
    return std::thread(std::move(body));
  } catch (const std::system_error& e) {
    return make_error(ErrorKind::Io, "failed to spawn thread: " + e.code().message() +
                                         " (os error " + std::to_string(e.code().value()) + ")");
  }
}

SaveScheduler::Job::Job(SaveScheduler& owner, std::function<void()> run,
                        std::chrono::nanoseconds interval)
    : owner_(owner), generation_(fork_generation()), interval_(interval), run_(std::move(run)) {}

SaveScheduler::SaveScheduler(std::size_t max_threads, StartThread start)
    : max_threads_(std::max<std::size_t>(max_threads, 1)), start_(std::move(start)) {
  threads_.reserve(max_threads_);  // so that a started thread is always kept
}

SaveScheduler::~SaveScheduler() {
  {
    std::lock_guard lock(mutex_);
    shutdown_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

Result<std::shared_ptr<SaveScheduler::Job>> SaveScheduler::add(std::function<void()> run,
                                                               std::chrono::nanoseconds interval) {
  auto job = std::make_shared<Job>(*this, std::move(run), interval);
  std::lock_guard lock(mutex_);
  if (threads_.size() < std::min(max_threads_, jobs_ + 1)) {
    Result<std::thread> started = start_([this] {
      prepare_thread_for_throwing();
      work();
    });
    if (!started) return std::unexpected(started.error());
    threads_.push_back(std::move(*started));
  }
  ++jobs_;
  enqueue(job, Clock::now() + interval);
  return job;
}

void SaveScheduler::remove(Job& job) noexcept {
  if (job.generation_ != fork_generation()) return;
  SaveScheduler& self = job.owner_;
  std::function<void()> released;  // destroyed after the mutex: it may free a whole table
  std::lock_guard lock(self.mutex_);
  if (job.removed_) return;
  job.removed_ = true;
  --self.jobs_;
  if (job.queued_) {
    self.queue_.erase(*job.queued_);
    job.queued_.reset();
  }
  if (!job.running_) released = std::move(job.run_);
}

std::size_t SaveScheduler::threads() const {
  std::lock_guard lock(mutex_);
  return threads_.size();
}

void SaveScheduler::enqueue(const std::shared_ptr<Job>& job, Clock::time_point due) {
  // A multimap inserts after the jobs already due at that time, so jobs due together run in turn.
  job->queued_ = queue_.emplace(due, job);
  if (*job->queued_ == queue_.begin()) wake_.notify_all();
}

void SaveScheduler::work() {
  std::unique_lock lock(mutex_);
  while (!shutdown_) {
    if (queue_.empty()) {
      wake_.wait(lock);
      continue;
    }
    const Clock::time_point due = queue_.begin()->first;
    if (Clock::now() < due) {
      wake_.wait_until(lock, due);
      continue;
    }
    std::shared_ptr<Job> job = std::move(queue_.begin()->second);
    queue_.erase(queue_.begin());
    job->queued_.reset();
    job->running_ = true;
    lock.unlock();
    run_reporting(job->run_);
    lock.lock();
    job->running_ = false;
    if (!job->removed_) {
      enqueue(job, Clock::now() + job->interval_);  // the next interval starts when this run ended
      continue;
    }
    // The function, and the job itself when its owner let it go, are freed without the mutex:
    // that may free a whole table.
    std::function<void()> released = std::move(job->run_);
    lock.unlock();
    released = nullptr;
    job.reset();
    lock.lock();
  }
}

}  // namespace quillmere
