// Table and catalogue files by path, for the tests of their formats: the records' own writers
// and readers on a File of the layer, outside any database directory (no staging, no sync).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "common/error.hpp"
#include "common/os_error.hpp"
#include "database/directory.hpp"
#include "database/file_system.hpp"
#include "database/metadata_vec_table.hpp"
#include "database/vec_db_brief.hpp"

namespace quillmere::testing_support {

inline Result<File> open_file(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  if (fd < 0) return make_error(ErrorKind::Io, os_error(errno));
  struct stat st {};
  ::fstat(fd, &st);
  return File(FileSystem::system(), fd, static_cast<std::uint64_t>(st.st_size));
}

// Writes `record` (a MetadataVecTable or a VecDBBrief) to `path`, created or truncated.
template <class Record>
Result<void> save_file(const Record& record, const std::string& path) {
  Result<File> file = open_file(path, O_WRONLY | O_CREAT | O_TRUNC);
  if (!file) return std::unexpected(file.error());
  if (Result<void> saved = record.save(*file); !saved) return saved;
  if (auto closed = file->close(); !closed)
    return make_error(ErrorKind::Io, os_error(closed.error()));
  return {};
}

inline Result<MetadataVecTable> load_table_file(const std::string& path) {
  Result<File> file = open_file(path, O_RDONLY);
  if (!file) return std::unexpected(file.error());
  return MetadataVecTable::load(*file);
}

inline Result<VecDBBrief> load_brief_file(const std::string& path) {
  Result<File> file = open_file(path, O_RDONLY);
  if (!file) return std::unexpected(file.error());
  return VecDBBrief::load(*file);
}

}  // namespace quillmere::testing_support
