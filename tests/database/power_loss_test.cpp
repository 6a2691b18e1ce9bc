// A database workload on the in-memory file system, cut by a crash after every possible number of
// calls and followed by a power loss: the directory must reopen, the catalogue must name only
// files that load, every table must hold one of the states it was saved with, and no save that
// returned may be lost.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "database/mem_file_system.hpp"
#include "database/vec_db_manager.hpp"

namespace quillmere {
namespace {

using testing_support::MemFileSystem;

constexpr const char* kDir = "/db";

// The failures of a dead file system are printed by the saves that meet them; they are expected
// here by the hundred, so standard error is muted meanwhile.
class QuietStderr {
 public:
  QuietStderr() : saved_(::dup(2)) {
    std::fflush(stderr);
    if (std::FILE* null = std::fopen("/dev/null", "w")) {
      ::dup2(::fileno(null), 2);
      std::fclose(null);
    }
  }
  ~QuietStderr() {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
  }

 private:
  int saved_;
};

// What the workload acknowledged (a call that returned while the file system still answered),
// and what each table may hold after a power loss.
struct Outcome {
  std::map<std::string, std::set<std::uint64_t>> saved_lens;  // every state a save may have written
  std::map<std::string, std::uint64_t> acked_len;  // the last state a returned save wrote
  std::set<std::string> acked_saved;               // in a catalogue that a returned save wrote
  std::set<std::string> acked_created;  // a creation returned, which writes the catalogue
  std::set<std::string> creating;       // a creation was under way when the file system died
  std::set<std::string> delete_started, acked_deleted;
};

std::vector<float> row(float x) { return {x, x + 1, x + 2, x + 3}; }

// Runs the workload until the file system dies; every call of the manager may fail once it has.
Outcome run_workload(const std::shared_ptr<MemFileSystem>& mem) {
  Outcome o;
  auto alive = [&] { return !mem->crashed(); };
  try {
    auto opened = VecDBManager::open(kDir, mem);
    if (!opened) return o;
    std::unique_ptr<VecDBManager> db = std::move(*opened);
    auto step = [&](auto&& action) {
      if (!alive()) return false;
      try {
        action();
      } catch (...) {  // an internal failure of a save on the dead file system
        return false;
      }
      return alive();
    };
    auto create = [&](const std::string& key, DistanceAlgorithm dist) {
      o.creating.insert(key);
      if (!step([&] { (void)db->create_table_if_not_exists(key, 4, dist); })) return false;
      o.creating.erase(key);
      o.acked_created.insert(key);
      o.acked_len[key] = 0;
      return true;
    };
    o.saved_lens["a"] = {0, 3, 5};
    o.saved_lens["b"] = {0, 5, 6};
    if (!create("a", DistanceAlgorithm::L2Sqr)) return o;
    for (int i = 0; i < 3; ++i)
      if (!step([&] { (void)db->add("a", row(float(i)), {{"i", std::to_string(i)}}); })) return o;
    if (!step([&] { db->force_save(); })) return o;
    o.acked_saved.insert("a");
    o.acked_len["a"] = 3;

    if (!create("b", DistanceAlgorithm::Cosine)) return o;
    if (!step([&] {
          (void)db->batch_add("b", {row(1), row(2), row(3), row(4), row(5)},
                              std::vector<Metadata>(5));
        }))
      return o;
    for (int i = 3; i < 5; ++i)
      if (!step([&] { (void)db->add("a", row(float(i)), {}); })) return o;
    if (!step([&] { db->force_save(); })) return o;
    o.acked_saved.insert("b");
    o.acked_len["a"] = o.acked_len["b"] = 5;

    o.delete_started.insert("a");
    if (!step([&] { (void)db->delete_table("a"); })) return o;
    o.acked_deleted.insert("a");

    // Made again in the file the deletion freed.
    o.acked_deleted.erase("a");
    o.acked_len.erase("a");
    o.saved_lens["a"] = {0, 1};
    if (!create("a", DistanceAlgorithm::L2Sqr)) return o;
    o.delete_started.erase("a");
    if (!step([&] { (void)db->add("a", row(7), {}); })) return o;

    if (!step([&] { (void)db->add("b", row(6), {}); })) return o;
    if (!step([&] { db->remove_cached_table("b"); })) return o;
    o.acked_len["b"] = 6;
    if (!step([&] { db.reset(); })) return o;
  } catch (...) {}
  return o;
}

TEST(PowerLoss, EveryCrashPointLeavesAConsistentDirectory) {
  long total = 0;
  {
    auto mem = std::make_shared<MemFileSystem>();
    const Outcome full = run_workload(mem);
    ASSERT_TRUE(full.creating.empty() && full.delete_started.empty() && full.acked_len.at("b") == 6)
        << "the workload runs through";
    total = mem->calls();
  }
  ASSERT_GT(total, 50);
  std::printf("PowerLoss: %ld crash points\n", total + 1);
  for (long n = 0; n <= total; ++n) {
    SCOPED_TRACE("crash after " + std::to_string(n) + " of " + std::to_string(total) + " calls");
    auto mem = std::make_shared<MemFileSystem>();
    mem->crash_after(n);
    Outcome o;
    {
      QuietStderr quiet;
      o = run_workload(mem);  // the manager is closed (its saves failing) before the power goes
    }
    mem->lose_power();

    auto reopened = VecDBManager::open(kDir, mem);
    ASSERT_TRUE(reopened.has_value()) << reopened.error().message;
    VecDBManager& db = **reopened;
    const std::vector<std::string> keys = db.get_all_keys();
    for (const std::string& key : keys) {
      Result<std::uint64_t> len = db.get_len(key);
      ASSERT_TRUE(len.has_value()) << key << ": " << len.error().message;
      EXPECT_TRUE(o.saved_lens[key].contains(*len)) << key << " holds " << *len << " rows";
      if (o.acked_len.contains(key)) {
        EXPECT_GE(*len, o.acked_len[key]) << key;
      }
    }
    for (const std::set<std::string>* acked : {&o.acked_saved, &o.acked_created}) {
      for (const std::string& key : *acked) {
        if (!o.delete_started.contains(key)) {
          EXPECT_TRUE(db.contains_key(key)) << key << " was lost";
        }
      }
    }
    for (const std::string& key : o.acked_deleted)
      EXPECT_FALSE(db.contains_key(key)) << key << " came back";
    // A table file that nothing lists is one whose creation or deletion the crash cut short.
    std::set<std::string> listed;
    if (std::optional<std::string> text = mem->content(kDir, "brief.toml")) {
      Result<VecDBBrief> brief = VecDBBrief::parse(*text);
      ASSERT_TRUE(brief.has_value()) << brief.error().message;
      for (const auto& [key, entry] : brief->tables) listed.insert(entry.filename);
    }
    for (const std::string& name : mem->names(kDir)) {
      EXPECT_FALSE(Directory::is_staged_name(name)) << name;
      if (!name.ends_with(".db") || listed.contains(name)) continue;
      const std::string key = name.substr(0, name.size() - 3);
      EXPECT_TRUE(o.creating.contains(key) || o.delete_started.contains(key))
          << name << " is listed nowhere";
    }
  }
}

}  // namespace
}  // namespace quillmere
