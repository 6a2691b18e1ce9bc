#include "database/thread_save.hpp"

namespace quillmere {

Result<void> save_to(const RwLock<MetadataVecTable>& table, File& out) {
  auto guard = table.read();
  return guard->save(out);
}

Result<void> ThreadSave::atomic_save_with(const SaveTarget& target,
                                          const std::function<Result<void>(File&)>& write) {
  if (Result<void> saved = target.dir->replace(target.name, write); !saved)
    return make_error(saved.error().kind, "atomic save failed: " + saved.error().message);
  return {};
}

namespace thread_save_detail {

std::chrono::nanoseconds clamp_interval(std::chrono::nanoseconds interval) noexcept {
  using namespace std::chrono;
  // About a century: far beyond any real interval and far from overflowing steady_clock.
  constexpr nanoseconds longest = hours(24 * 365 * 100);
  if (interval < nanoseconds::zero()) return nanoseconds::zero();
  return interval > longest ? longest : interval;
}

}  // namespace thread_save_detail

}  // namespace quillmere
