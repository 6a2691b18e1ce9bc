#include "database/save_scheduler.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "database/vec_db_manager.hpp"
#include "test_support.hpp"

namespace quillmere {
namespace {

using namespace std::chrono_literals;

// Polls `done` for up to five seconds (generous for the sanitizer builds).
template <class F>
bool eventually(F done) {
  for (auto end = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < end;) {
    if (done()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return done();
}

// Starts threads as std::thread does, except the ones named to fail.
struct FlakyStarts {
  std::shared_ptr<std::atomic<int>> fail_next = std::make_shared<std::atomic<int>>(0);
  SaveScheduler::StartThread starter() const {
    return [fail = fail_next](std::function<void()> body) -> Result<std::thread> {
      if (*fail > 0) {
        --*fail;
        return make_error(ErrorKind::Io,
                          "failed to spawn thread: Resource temporarily unavailable (os error 11)");
      }
      return SaveScheduler::start_thread(std::move(body));
    };
  }
};

// Each test declares its scheduler after what the jobs use, so that its threads are joined first.
TEST(SaveScheduler, ThreadsStayFewWhateverTheJobs) {
  std::vector<std::shared_ptr<std::atomic<int>>> runs;
  SaveScheduler scheduler(3);
  std::vector<std::shared_ptr<SaveScheduler::Job>> jobs;
  for (int i = 0; i < 200; ++i) {
    auto count = std::make_shared<std::atomic<int>>(0);
    runs.push_back(count);
    jobs.push_back(scheduler.add([count] { ++*count; }, 5ms).value());
    EXPECT_EQ(scheduler.threads(), std::min<std::size_t>(i + 1, 3));
  }
  EXPECT_TRUE(eventually([&] {
    for (const auto& c : runs)
      if (*c < 2) return false;
    return true;
  })) << "every job runs, again and again";
  for (auto& job : jobs) SaveScheduler::remove(*job);
}

// One job that never ends (a save waiting for a writer, a slow disk) holds one thread; the
// other jobs go on on the others.
TEST(SaveScheduler, ABlockedJobDoesNotStopTheOthers) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> blocked{false};
  std::atomic<int> runs{0};
  SaveScheduler scheduler(2);
  auto stuck = scheduler
                   .add(
                       [&] {
                         blocked = true;
                         released.wait();
                       },
                       1ms)
                   .value();
  ASSERT_TRUE(eventually([&] { return blocked.load(); }));
  auto other = scheduler.add([&] { ++runs; }, 1ms).value();
  EXPECT_TRUE(eventually([&] { return runs >= 5; }));
  SaveScheduler::remove(*stuck);
  release.set_value();
  SaveScheduler::remove(*other);
}

TEST(SaveScheduler, RemovedJobNeverRunsAgainAndIsReleased) {
  auto owned = std::make_shared<int>(0);
  std::atomic<int> runs{0};
  std::promise<void> go;
  std::shared_future<void> gone = go.get_future().share();
  std::atomic<int> started{0};
  SaveScheduler scheduler(2);
  auto job = scheduler.add([owned, &runs] { ++runs; }, 1ms).value();
  ASSERT_TRUE(eventually([&] { return runs >= 2; }));
  SaveScheduler::remove(*job);
  const int seen = runs;
  EXPECT_TRUE(eventually([&] { return owned.use_count() == 1; })) << "the function is released";
  std::this_thread::sleep_for(30ms);
  EXPECT_LE(runs, seen + 1);    // a run already under way when it was removed may end
  SaveScheduler::remove(*job);  // a second removal does nothing

  // Removed while it runs: the run ends, none follows, and the function goes with that run.
  auto busy = scheduler
                  .add(
                      [owned, gone, &started] {
                        ++started;
                        gone.wait();
                      },
                      1ms)
                  .value();
  ASSERT_TRUE(eventually([&] { return started == 1; }));
  SaveScheduler::remove(*busy);
  EXPECT_EQ(owned.use_count(), 2);
  go.set_value();
  EXPECT_TRUE(eventually([&] { return owned.use_count() == 1; }));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(started, 1);
}

TEST(SaveScheduler, AThreadThatCannotStartIsAnErrorAndAddsNothing) {
  FlakyStarts starts;
  std::atomic<int> runs{0};
  SaveScheduler scheduler(2, starts.starter());
  *starts.fail_next = 1;
  Result<std::shared_ptr<SaveScheduler::Job>> refused = scheduler.add([&] { ++runs; }, 1ms);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message,
            "failed to spawn thread: Resource temporarily unavailable (os error 11)");
  EXPECT_EQ(scheduler.threads(), 0u);
  auto job = scheduler.add([&] { ++runs; }, 1ms).value();  // the next start succeeds
  EXPECT_TRUE(eventually([&] { return runs >= 1; }));
  // The second job needs a second thread: refused, and the first goes on alone.
  *starts.fail_next = 1;
  EXPECT_FALSE(scheduler.add([] {}, 1ms).has_value());
  EXPECT_EQ(scheduler.threads(), 1u);
  auto second = scheduler.add([] {}, 1ms).value();
  EXPECT_EQ(scheduler.threads(), 2u);
  SaveScheduler::remove(*job);
  SaveScheduler::remove(*second);
}

// The process's scheduler serves every table of every database with a few threads.
TEST(SaveScheduler, ManyTablesAddNoThreads) {
  testing_support::ScratchDir scratch;
  auto opened = VecDBManager::open(scratch.make("quillmere_sched"));
  ASSERT_TRUE(opened.has_value()) << opened.error().message;
  for (int i = 0; i < 300; ++i) {
    std::string name = "t";
    name += std::to_string(i);
    ASSERT_TRUE((*opened)->create_table_if_not_exists(name, 2, DistanceAlgorithm::L2Sqr).value());
  }
  EXPECT_LE(SaveScheduler::process().threads(), SaveScheduler::kProcessThreads);
  EXPECT_TRUE((*opened)->close().empty());
}

}  // namespace
}  // namespace quillmere
