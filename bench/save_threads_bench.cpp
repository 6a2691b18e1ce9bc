// The cost of the saving machinery around the tables, without a disk: every file lives in an
// in-memory file system, so what is timed is the work of the database and of its saving threads.
//   create:   create_table_if_not_exists of N new tables (a table, its file, its periodic save)
//   reload:   remove_cached_table and get_len of each of the N tables (a load and a new periodic
//             save, then a release)
//   periodic: M small objects saved every 2 ms while another thread marks them all changed at
//             that pace: CPU time of the process (all its threads but the marking one) per save
// Builds against the current tree; against an older tree it falls back to its constructor, so
// the same file measures both (run the two builds in one command and compare the ratios).
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "database/locks.hpp"
#include "database/mem_file_system.hpp"
#include "database/thread_save.hpp"
#include "database/vec_db_manager.hpp"

using namespace quillmere;
using namespace std::chrono_literals;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double process_cpu() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

double thread_cpu() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// prefix followed by i (built in two steps: g++ 12 warns falsely about "x" + std::to_string(i)).
std::string numbered(const char* prefix, int i, const char* suffix = "") {
  std::string name = prefix;
  name += std::to_string(i);
  name += suffix;
  return name;
}

struct Record {
  std::string text;
  std::shared_ptr<std::atomic<long>> saves;
};
using Object = Locked<Record>;

}  // namespace

// Found by argument-dependent lookup beside Locked.
namespace quillmere {
Result<void> save_to(const Object& object, File& out) {
  auto guard = object.lock();
  if (!out.write_all(guard->text.data(), guard->text.size()))
    return make_error(ErrorKind::Io, "write failed");
  ++*guard->saves;
  return {};
}
}  // namespace quillmere

namespace {

ThreadSavingManager<Object> make_manager(Object object, SaveTarget target,
                                         std::chrono::nanoseconds interval) {
#if __has_include("database/save_scheduler.hpp")
  return ThreadSavingManager<Object>::start(std::move(object), std::move(target), interval, false)
      .value();
#else
  return ThreadSavingManager<Object>(std::move(object), std::move(target), interval, false);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int m = argc > 2 ? std::atoi(argv[2]) : 64;
  auto fs = std::make_shared<testing_support::MemFileSystem>();
  {
    auto db = VecDBManager::open("/db", fs).value();
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i)
      (void)db->create_table_if_not_exists(numbered("t", i), 4, DistanceAlgorithm::L2Sqr);
    std::printf("create   %8.2f us per table (%d tables)\n", seconds_since(t0) * 1e6 / n, n);
    t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
      const std::string key = numbered("t", i);
      (void)db->remove_cached_table(key);
      (void)db->get_len(key);
    }
    std::printf("reload   %8.2f us per table\n", seconds_since(t0) * 1e6 / n);
    t0 = std::chrono::steady_clock::now();
    (void)db->close();
    std::printf("close    %8.2f us per table\n", seconds_since(t0) * 1e6 / n);
  }
  {
    auto dir = Directory::open(fs, "/periodic").value();
    auto saves = std::make_shared<std::atomic<long>>(0);
    std::vector<ThreadSavingManager<Object>> managers;
    managers.reserve(m);
    for (int i = 0; i < m; ++i)
      managers.push_back(make_manager(Object(Record{std::string(64, 'x'), saves}),
                                      SaveTarget{dir, numbered("o", i, ".toml")}, 2ms));
    const double cpu0 = process_cpu();
    double marker_cpu = 0;
    {
      std::thread marker([&] {
        const double c0 = thread_cpu();
        const auto end = std::chrono::steady_clock::now() + 2s;
        while (std::chrono::steady_clock::now() < end) {
          for (auto& manager : managers) (void)manager.lock();
          std::this_thread::sleep_for(2ms);
        }
        marker_cpu = thread_cpu() - c0;
      });
      marker.join();
    }
    const double cpu = process_cpu() - cpu0 - marker_cpu;
    const long count = *saves;
    for (auto& manager : managers) (void)manager.sync_save(true);
    std::printf("periodic %8.2f us CPU per save (%ld saves of %d objects in 2 s)\n",
                cpu * 1e6 / static_cast<double>(count), count, m);
  }
  return 0;
}
