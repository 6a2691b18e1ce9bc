#include "common/parallel.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <set>
#include <thread>

#include "common/failure.hpp"

namespace quillmere::pool {
namespace {

TEST(PoolSize, FollowsTheEnvironmentRule) {
  struct Case {
    const char* num_threads;  // RAYON_NUM_THREADS, nullptr = unset
    const char* rs_num_cpus;  // RAYON_RS_NUM_CPUS
    std::size_t available;    // 0 = unknown
    std::size_t expected;
  };
  const Case cases[] = {
      {"3", nullptr, 8, 3},
      {"3", "5", 8, 3},
      {"+4", nullptr, 8, 4},
      {"0", "5", 8, 8},
      {"0", nullptr, 0, 1},
      {nullptr, "5", 8, 5},
      {"abc", "5", 8, 5},
      {"-2", "5", 8, 5},
      {"", "5", 8, 5},
      {" 3", nullptr, 8, 8},
      {"3 ", nullptr, 8, 8},
      {nullptr, "0", 8, 8},
      {nullptr, "x", 8, 8},
      {nullptr, nullptr, 8, 8},
      {nullptr, nullptr, 0, 1},
      {"99999999999999999999999", "6", 8, 6},  // does not fit: not a number
  };
  for (const Case& c : cases)
    EXPECT_EQ(size_from_environment(c.num_threads, c.rs_num_cpus, c.available), c.expected)
        << "RAYON_NUM_THREADS=" << (c.num_threads ? c.num_threads : "(unset)")
        << " RAYON_RS_NUM_CPUS=" << (c.rs_num_cpus ? c.rs_num_cpus : "(unset)")
        << " available=" << c.available;
}

TEST(Pool, ParallelMapKeepsOrderAndUsesSeveralThreads) {
  ScopedThreadCount four(4);
  EXPECT_EQ(thread_count(), 4u);
  std::mutex m;
  std::set<std::thread::id> threads;
  const std::vector<std::size_t> out = parallel_map<std::size_t>(20000, [&](std::size_t i) {
    if (i % 64 == 0) {
      std::lock_guard lock(m);
      threads.insert(std::this_thread::get_id());
    }
    return i * i;
  });
  ASSERT_EQ(out.size(), 20000u);
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], i * i);
  EXPECT_LE(threads.size(), 4u);
}

// Items handed out in a given order still land at their own index, each computed once; the
// first items listed are started first.
TEST(Pool, ParallelMapInOrderPlacesEachResultAtItsIndex) {
  ScopedThreadCount four(4);
  std::vector<std::size_t> order(5000);
  for (std::size_t i = 0; i < order.size(); ++i)
    order[i] = (i * 7919) % order.size();  // a permutation
  std::atomic<std::size_t> calls{0}, started{0};
  std::vector<std::size_t> start_rank(order.size());
  const std::vector<std::size_t> out =
      parallel_map_in_order<std::size_t>(order, [&](std::size_t i) {
        start_rank[i] = started.fetch_add(1);
        ++calls;
        return 3 * i + 1;
      });
  EXPECT_EQ(calls.load(), order.size());
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], 3 * i + 1);
  EXPECT_LT(start_rank[order.front()], 4u);  // among the first handed out
  EXPECT_TRUE(parallel_map_in_order<int>(std::span<const std::size_t>(), [](std::size_t) {
                return 1;
              }).empty());
}

TEST(Pool, ParallelForCoversTheRangeOnce) {
  std::vector<std::atomic<int>> hits(10007);
  parallel_for(hits.size(), [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) hits[i]++;
  });
  for (auto& h : hits) ASSERT_EQ(h.load(), 1);
  parallel_for(0, [](std::size_t, std::size_t) { FAIL(); });
}

TEST(Pool, JoinRunsBoth) {
  int a = 0, b = 0;
  join([&] { a = 1; }, [&] { b = 2; });
  EXPECT_EQ(a + b, 3);
}

// An internal failure inside a task reaches the caller as itself, and the pool stays usable.
TEST(Pool, InternalFailureInATaskReachesTheCaller) {
  auto failing_map = [] {
    parallel_map<int>(1000, [](std::size_t i) -> int {
      if (i == 777) fail("task failed");
      return 0;
    });
  };
  try {
    failing_map();
    FAIL() << "no failure";
  } catch (const InternalFailure& f) {
    EXPECT_EQ(f.message, "task failed");
  }
  try {
    join([] {}, [] { fail("join failed"); });
    FAIL() << "no failure";
  } catch (const InternalFailure& f) {
    EXPECT_EQ(f.message, "join failed");
  }
  EXPECT_EQ(parallel_map<int>(3, [](std::size_t i) { return int(i); }),
            (std::vector<int>{0, 1, 2}));
}

// A child forked right after the pool ran (as Python forks its multiprocessing workers) gets
// every helper's work done, with the parent's results; before, about one child in ten waited
// forever inside oneTBB. Each child has a few seconds before an alarm ends it.
TEST(Pool, ForkedChildrenFinishTheirWork) {
  auto work = [] {
    const std::vector<std::size_t> squares =
        parallel_map<std::size_t>(5000, [](std::size_t i) { return i * i; });
    std::atomic<std::size_t> covered{0};
    parallel_for(5000, [&](std::size_t b, std::size_t e) { covered += e - b; });
    int a = 0, b = 0;
    join([&] { a = 1; }, [&] { b = 2; });
    return squares[4999] == 4999u * 4999u && covered == 5000 && a + b == 3;
  };
  for (int round = 0; round < 60; ++round) {
    ASSERT_TRUE(work());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::alarm(5);
      bool ok = true;
      for (int i = 0; i < 10; ++i) ok = ok && work();
      ::_exit(ok && thread_count() > 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "round " << round << ": the child was ended by signal "
                                   << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "round " << round;
  }
}

#if defined(__SANITIZE_THREAD__)
// The TSan build sees the pool's threads: a plain counter incremented from parallel_for bodies
// on several threads is reported (with the options and suppressions ctest passes, which halt on
// the first report). The bodies wait until two of them run, so that two threads take part.
TEST(PoolDeathTest, TsanReportsARaceInsideParallelFor) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto racing = [] {
    const ScopedThreadCount four(4);
    std::atomic<int> running{0};
    std::size_t counter = 0;
    parallel_for(65536, [&](std::size_t b, std::size_t e) {
      running.fetch_add(1);
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (running.load() < 2 && std::chrono::steady_clock::now() < give_up)
        std::this_thread::yield();
      for (std::size_t i = b; i < e; ++i) counter = counter + 1;
    });
    return counter;
  };
  EXPECT_DEATH((void)racing(), "ThreadSanitizer: data race");
}
#endif

}  // namespace
}  // namespace quillmere::pool
