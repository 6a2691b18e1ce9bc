// Concurrency stress of the database manager: many threads mixing every table operation with
// cache evictions, saves and table creation/deletion on one manager, then a check that every
// thread's rows are exactly those it added and did not delete, before and after reopening.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/failure.hpp"
#include "database/vec_db_manager.hpp"
#include "test_support.hpp"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using D = DistanceAlgorithm;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

constexpr int kThreads = 16;
constexpr std::uint64_t kDim = 8;
constexpr std::uint64_t kGroups = 8;          // rows carry "m" = n % kGroups for group deletions
constexpr std::size_t kMaxLivePerTable = 40;  // per thread and table: beyond it, delete first
constexpr auto kDuration = std::chrono::milliseconds(kSanitized ? 2000 : 3000);
constexpr int kMaxIterations = kSanitized ? 400 : 1'000'000;
// Every worker makes at least this many operations, however long a loaded machine takes: the
// test asks for work done, not for a speed.
constexpr int kMinIterations = 12;
const std::vector<std::string> kTables = {"t0", "t1", "t2", "t3"};
const std::vector<D> kDists = {D::L2Sqr, D::Cosine, D::L2Sqr, D::Cosine};

// Aborts the process with a message when not stopped within `limit` (a deadlock would otherwise
// hang the test run).
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock lock(mutex_);
          if (!stopped_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "ManagerStress: no progress within %lld s (deadlock?), aborting\n",
                         static_cast<long long>(limit.count()));
            std::fflush(stderr);
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    stopped_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool done_ = false;
  std::thread thread_;
};

// The row numbers of one thread's live rows, per table.
using LiveRows = std::map<std::string, std::set<std::uint64_t>>;

// The row numbers ("n") of the rows tagged with thread `id` in `rows`; a tagged row without a
// number or of another length sets `bad`.
std::multiset<std::uint64_t> rows_of(
    const std::vector<std::pair<std::vector<float>, Metadata>>& rows, const std::string& id,
    bool& bad) {
  std::multiset<std::uint64_t> out;
  for (const auto& [vec, meta] : rows) {
    const auto t = meta.find("thread");
    if (t == meta.end() || t->second != id) continue;
    const auto n = meta.find("n");
    if (n == meta.end() || vec.size() != kDim) {
      bad = true;
      continue;
    }
    out.insert(std::stoull(n->second));
  }
  return out;
}

class ManagerStressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch_.make("vecdb_stress");
    open();
  }
  void TearDown() override { db_.reset(); }  // closes before the directory goes
  void open() {
    auto db = VecDBManager::open(dir_);
    ASSERT_TRUE(db.has_value()) << db.error().message;
    db_ = std::move(*db);
  }

  // Records a problem seen on a worker thread (reported on the test thread).
  void problem(std::string what) {
    std::lock_guard lock(problems_mutex_);
    if (problems_.size() < 50) problems_.push_back(std::move(what));
  }

  // Checks every table's rows against what each worker left live.
  void check_counts(const std::vector<LiveRows>& live, const char* when) {
    for (const auto& key : kTables) {
      const auto rows = db_->extract_data(key);
      ASSERT_TRUE(rows.has_value()) << when << ": " << rows.error().message;
      std::uint64_t expected_len = 0;
      for (int id = 0; id < kThreads; ++id) {
        bool bad = false;
        const auto found = rows_of(*rows, std::to_string(id), bad);
        EXPECT_FALSE(bad) << when << ": malformed row of thread " << id << " in " << key;
        const auto it = live[id].find(key);
        const std::set<std::uint64_t> want =
            it == live[id].end() ? std::set<std::uint64_t>{} : it->second;
        EXPECT_EQ(found, std::multiset<std::uint64_t>(want.begin(), want.end()))
            << when << ": rows of thread " << id << " in " << key;
        expected_len += want.size();
      }
      EXPECT_EQ(rows->size(), expected_len) << when << ": rows of " << key;
      const auto len = db_->get_len(key);
      ASSERT_TRUE(len.has_value()) << len.error().message;
      EXPECT_EQ(*len, expected_len) << when << ": get_len of " << key;
    }
  }

  testing_support::ScratchDir scratch_;  // removed last, after everything in it is closed
  std::string dir_;
  std::unique_ptr<VecDBManager> db_;
  std::mutex problems_mutex_;
  std::vector<std::string> problems_;
};

// One worker: a random mix of operations on the shared tables. Only this thread adds or deletes
// rows tagged with its id, so its live rows are known exactly at every step.
void run_worker(VecDBManager& db, int id, Clock::time_point end, LiveRows& live,
                std::atomic<long>& ops, const std::function<void(std::string)>& problem) {
  std::mt19937_64 rng(0x5eed0000u + static_cast<unsigned>(id));
  const std::string tag = std::to_string(id);
  std::uint64_t counter = 0;
  auto random_vec = [&] {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v(kDim);
    for (auto& x : v) x = u(rng);
    return v;
  };
  auto meta_for = [&](std::uint64_t n) {
    return Metadata{{"thread", tag}, {"n", std::to_string(n)}, {"m", std::to_string(n % kGroups)}};
  };
  auto fail = [&](const std::string& op, const std::string& key, const std::string& message) {
    problem("thread " + tag + " " + op + " on " + key + ": " + message);
  };

  for (int it = 0; it < kMaxIterations && (Clock::now() < end || it < kMinIterations); ++it) {
    const std::string& key = kTables[rng() % kTables.size()];
    std::set<std::uint64_t>& mine = live[key];
    int choice = static_cast<int>(rng() % 100);
    if (mine.size() >= kMaxLivePerTable && choice < 30) choice = 30 + static_cast<int>(rng() % 10);
    try {
      if (choice < 15) {  // add
        const std::uint64_t n = counter++;
        const auto r = db.add(key, random_vec(), meta_for(n));
        if (r)
          mine.insert(n);
        else
          fail("add", key, r.error().message);
      } else if (choice < 30) {  // batch_add of 0..4 rows
        const std::size_t count = rng() % 5;
        std::vector<std::vector<float>> vecs;
        std::vector<Metadata> metas;
        std::vector<std::uint64_t> ns;
        for (std::size_t i = 0; i < count; ++i) {
          ns.push_back(counter++);
          vecs.push_back(random_vec());
          metas.push_back(meta_for(ns.back()));
        }
        const auto r = db.batch_add(key, std::move(vecs), std::move(metas));
        if (r)
          mine.insert(ns.begin(), ns.end());
        else
          fail("batch_add", key, r.error().message);
      } else if (choice < 35) {  // delete one row by its number (live or not)
        std::uint64_t n = counter == 0 ? 0 : rng() % counter;
        if (!mine.empty() && rng() % 2 == 0)
          n = *std::next(mine.begin(), static_cast<long>(rng() % mine.size()));
        const auto r = db.delete_rows(key, {{"thread", tag}, {"n", std::to_string(n)}});
        if (!r)
          fail("delete_rows", key, r.error().message);
        else {
          const std::uint64_t want = mine.erase(n);
          if (*r != want)
            fail("delete_rows", key,
                 "deleted " + std::to_string(*r) + " rows, expected " + std::to_string(want));
        }
      } else if (choice < 40) {  // delete a group of rows
        const std::uint64_t g = rng() % kGroups;
        const auto r = db.delete_rows(key, {{"m", std::to_string(g)}, {"thread", tag}});
        if (!r)
          fail("delete_rows", key, r.error().message);
        else {
          std::uint64_t want = 0;
          for (auto i = mine.begin(); i != mine.end();) {
            if (*i % kGroups == g) {
              i = mine.erase(i);
              ++want;
            } else {
              ++i;
            }
          }
          if (*r != want)
            fail("delete_rows", key,
                 "deleted " + std::to_string(*r) + " rows, expected " + std::to_string(want));
        }
      } else if (choice < 58) {  // search, with and without ef
        const std::uint64_t k = 1 + rng() % 8;
        std::optional<std::uint64_t> ef;
        if (rng() % 2) ef = 16 + rng() % 48;
        const auto r = db.search(key, random_vec(), k, ef, std::nullopt);
        if (!r)
          fail("search", key, r.error().message);
        else if (r->size() > k)
          fail("search", key, "more than k results");
      } else if (choice < 62) {  // build HNSW
        std::optional<std::uint64_t> ef;
        if (rng() % 4) ef = 16 + rng() % 32;
        const auto r = db.build_hnsw_index(key, ef);
        if (!r) fail("build_hnsw_index", key, r.error().message);
      } else if (choice < 65) {
        const auto r = db.clear_hnsw_index(key);
        if (!r) fail("clear_hnsw_index", key, r.error().message);
      } else if (choice < 69) {  // build PQ; an empty table is the one accepted refusal
        const auto r = db.build_pq_table(key, std::nullopt, std::nullopt, std::nullopt);
        if (!r && r.error().message != "Cannot build PQ table for an empty table")
          fail("build_pq_table", key, r.error().message);
      } else if (choice < 72) {
        const auto r = db.clear_pq_table(key);
        if (!r) fail("clear_pq_table", key, r.error().message);
      } else if (choice < 75) {
        db.remove_cached_table(key);
      } else if (choice < 77) {
        db.force_save();
      } else if (choice < 85) {  // get_len: at least this thread's own rows
        const auto r = db.get_len(key);
        if (!r)
          fail("get_len", key, r.error().message);
        else if (*r < mine.size())
          fail("get_len", key, "fewer rows than this thread's own");
      } else if (choice < 90) {
        const auto r = db.has_hnsw_index(key);
        const auto p = db.has_pq_table(key);
        if (!r || !p) fail("has_*", key, "lookup failed");
      } else {  // extract_data: this thread's rows are exactly its live ones
        const auto r = db.extract_data(key);
        if (!r)
          fail("extract_data", key, r.error().message);
        else {
          bool bad = false;
          const auto found = rows_of(*r, tag, bad);
          if (bad) fail("extract_data", key, "malformed row");
          if (found != std::multiset<std::uint64_t>(mine.begin(), mine.end()))
            fail("extract_data", key,
                 "found " + std::to_string(found.size()) + " own rows, expected " +
                     std::to_string(mine.size()));
        }
      }
    } catch (const InternalFailure& failure) {
      fail("operation " + std::to_string(choice), key, "internal failure: " + failure.message);
    } catch (const std::exception& e) {
      fail("operation " + std::to_string(choice), key, std::string("exception: ") + e.what());
    }
    ops.fetch_add(1, std::memory_order_relaxed);
  }
}

// Repeatedly creates, fills, queries and deletes a table nobody else uses; at least two cycles,
// the second one after the end if a slow machine (a sanitizer build, a loaded disk) kept the
// first one waiting behind the others that long.
void run_creator(VecDBManager& db, Clock::time_point end, std::atomic<long>& cycles,
                 const std::function<void(std::string)>& problem) {
  const std::string key = "extra";
  for (int it = 0; it < kMaxIterations && (Clock::now() < end || it < 2); ++it) {
    try {
      const auto created = db.create_table_if_not_exists(key, kDim, D::L2Sqr);
      if (!created || !*created) {
        problem(std::string("creator: create ") +
                (created ? "found the table present" : created.error().message));
        continue;
      }
      const std::uint64_t count = 1 + static_cast<std::uint64_t>(it % 5);
      for (std::uint64_t i = 0; i < count; ++i) {
        const auto r = db.add(key, std::vector<float>(kDim, static_cast<float>(i)),
                              {{"i", std::to_string(i)}});
        if (!r) problem("creator: add: " + r.error().message);
      }
      if (it % 3 == 0) db.remove_cached_table(key);
      const auto len = db.get_len(key);
      if (!len || *len != count) problem("creator: wrong length");
      const auto deleted = db.delete_table(key);
      if (!deleted || !*deleted) problem("creator: delete did not find the table");
      if (db.get_len(key).has_value()) problem("creator: deleted table still answers");
    } catch (const InternalFailure& failure) {
      problem("creator: internal failure: " + failure.message);
    }
    cycles.fetch_add(1, std::memory_order_relaxed);
  }
}

TEST_F(ManagerStressTest, MixedOperationsKeepEveryThreadsRows) {
  Watchdog watchdog(std::chrono::seconds(120));
  for (std::size_t i = 0; i < kTables.size(); ++i)
    ASSERT_EQ(db_->create_table_if_not_exists(kTables[i], kDim, kDists[i]), Result<bool>(true));

  std::vector<LiveRows> live(kThreads);
  std::atomic<long> ops{0};
  std::atomic<long> cycles{0};
  const std::function<void(std::string)> report = [this](std::string what) {
    problem(std::move(what));
  };
  const auto end = Clock::now() + kDuration;
  {
    std::vector<std::thread> threads;
    for (int id = 0; id < kThreads; ++id)
      threads.emplace_back([&, id] { run_worker(*db_, id, end, live[id], ops, report); });
    threads.emplace_back([&] { run_creator(*db_, end, cycles, report); });
    for (auto& t : threads) t.join();
  }
  for (const auto& p : problems_) ADD_FAILURE() << p;
  EXPECT_GE(ops.load(), kThreads * kMinIterations);
  EXPECT_GT(cycles.load(), 1);
  std::printf("ManagerStress: %ld operations, %ld create/delete cycles\n", ops.load(),
              cycles.load());

  check_counts(live, "before reopening");
  EXPECT_FALSE(db_->contains_key("extra"));

  db_.reset();  // the closing saves every changed table
  open();
  EXPECT_EQ(db_->get_all_keys(), kTables);
  EXPECT_FALSE(db_->contains_cached("t0"));
  check_counts(live, "after reopening");
}

}  // namespace
}  // namespace quillmere
