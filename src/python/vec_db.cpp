// VecDB: construction, destruction and the 22 methods. Each method is a wrapper that binds and
// converts its arguments into typed locals (interpreter lock held) and calls its _impl
// function, which releases the lock around the manager call (except the four catalogue
// queries) and converts the outcome with the lock held again.
#include "python/vec_db.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "database/vec_db_manager.hpp"
#include "python/binder.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace quillmere::python {
namespace {

struct VecDBObject {
  PyObject_HEAD
  VecDBManager* manager;  // owned; destroyed with the object
};

// The receiver of one call, with a reference of its own: the manager outlives the call even
// while the interpreter lock is released.
class Borrow {
 public:
  explicit Borrow(PyObject* self) : self_(reinterpret_cast<VecDBObject*>(Py_NewRef(self))) {}
  ~Borrow() { Py_DECREF(reinterpret_cast<PyObject*>(self_)); }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  VecDBManager& manager() const { return *self_->manager; }

 private:
  VecDBObject* self_;
};

PyObject* none() { return Py_NewRef(Py_None); }

// The outcome of a manager operation with the lock held again: the converted value, None for
// Result<void>, or the error value's exception.
template <class T, class ToPy>
PyObject* deliver(const Result<T>& result, ToPy to_py) {
  if (!result) return raise_error(result.error());
  if constexpr (std::is_void_v<T>)
    return none();
  else
    return to_py(*result);
}

Result<DistanceAlgorithm> parse_distance(const std::string& dist) {
  if (dist == "cosine") return DistanceAlgorithm::Cosine;
  if (dist == "l2sqr") return DistanceAlgorithm::L2Sqr;
  return make_error(std::string(kInvalidDistance));
}

// --- _impl functions: converted arguments in, Python result out ---

PyObject* create_table_if_not_exists_impl(VecDBManager& m, const std::string& key,
                                          std::uint64_t dim, const std::string& dist) {
  auto result = without_gil([&]() -> Result<bool> {
    auto d = parse_distance(dist);
    if (!d) return std::unexpected(d.error());
    return m.create_table_if_not_exists(key, dim, *d);
  });
  return deliver(result, from_bool);
}

PyObject* contains_key_impl(VecDBManager& m, const std::string& key) {
  return from_bool(m.contains_key(key));
}
PyObject* delete_table_impl(VecDBManager& m, const std::string& key) {
  return deliver(without_gil([&] { return m.delete_table(key); }), from_bool);
}
PyObject* contains_cached_impl(VecDBManager& m, const std::string& key) {
  return from_bool(m.contains_cached(key));
}
PyObject* remove_cached_table_impl(VecDBManager& m, const std::string& key) {
  return deliver(without_gil([&] { return m.remove_cached_table(key); }), none);
}
PyObject* get_len_impl(VecDBManager& m, const std::string& key) {
  return deliver(without_gil([&] { return m.get_len(key); }), from_count);
}
PyObject* get_dim_impl(VecDBManager& m, const std::string& key) {
  return deliver(without_gil([&] { return m.get_dim(key); }), from_count);
}
PyObject* get_dist_impl(VecDBManager& m, const std::string& key) {
  auto result = without_gil([&]() -> Result<std::string> {
    auto d = m.get_dist(key);
    if (!d) return std::unexpected(d.error());
    return std::string(*d == DistanceAlgorithm::L2Sqr ? "l2sqr" : "cosine");
  });
  return deliver(result, from_text);
}
PyObject* add_impl(VecDBManager& m, const std::string& key, std::vector<float> vec,
                   Metadata metadata) {
  return deliver(without_gil([&] { return m.add(key, std::move(vec), std::move(metadata)); }),
                 none);
}
PyObject* batch_add_impl(VecDBManager& m, const std::string& key,
                         std::vector<std::vector<float>> vec_list,
                         std::vector<Metadata> metadata_list) {
  return deliver(without_gil([&] {
                   return m.batch_add(key, std::move(vec_list), std::move(metadata_list));
                 }),
                 none);
}
PyObject* delete_impl(VecDBManager& m, const std::string& key, const Metadata& pattern) {
  return deliver(without_gil([&] { return m.delete_rows(key, pattern); }), from_count);
}
PyObject* search_impl(VecDBManager& m, const std::string& key, const std::vector<float>& query,
                      std::uint64_t k, std::optional<std::uint64_t> ef,
                      std::optional<float> upper_bound) {
  return deliver(without_gil([&] { return m.search(key, query, k, ef, upper_bound); }),
                 from_search_rows);
}
PyObject* extract_data_impl(VecDBManager& m, const std::string& key) {
  return deliver(without_gil([&] { return m.extract_data(key); }), from_table_rows);
}
PyObject* build_hnsw_index_impl(VecDBManager& m, const std::string& key,
                                std::optional<std::uint64_t> ef_construction) {
  return deliver(without_gil([&] { return m.build_hnsw_index(key, ef_construction); }), none);
}
PyObject* clear_hnsw_index_impl(VecDBManager& m, const std::string& key) {
  return deliver(without_gil([&] { return m.clear_hnsw_index(key); }), none);
}
PyObject* has_hnsw_index_impl(VecDBManager& m, const std::string& key) {
  return deliver(without_gil([&] { return m.has_hnsw_index(key); }), from_bool);
}
PyObject* build_pq_table_impl(VecDBManager& m, const std::string& key,
                              std::optional<float> train_proportion,
                              std::optional<std::uint64_t> n_bits,
                              std::optional<std::uint64_t> m_) {
  return deliver(without_gil([&] { return m.build_pq_table(key, train_proportion, n_bits, m_); }),
                 none);
}
PyObject* clear_pq_table_impl(VecDBManager& m, const std::string& key) {
  return deliver(without_gil([&] { return m.clear_pq_table(key); }), none);
}
PyObject* has_pq_table_impl(VecDBManager& m, const std::string& key) {
  return deliver(without_gil([&] { return m.has_pq_table(key); }), from_bool);
}

// --- wrappers: bind, take the receiver, convert in declaration order, call the _impl ---

using FastArgs = PyObject* const*;

// Methods whose one parameter is `key`.
template <const char* Callable, PyObject* (*Impl)(VecDBManager&, const std::string&)>
PyObject* key_method(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"key"};
    PyObject* slots[1];
    if (!bind_fast({Callable, names, 1}, args, nargs, kwnames, slots)) return nullptr;
    Borrow receiver(self);
    std::string key;
    if (!convert_arg(slots[0], "key", key, to_text)) return nullptr;
    return Impl(receiver.manager(), key);
  });
}

PyObject* create_table_if_not_exists(PyObject* self, FastArgs args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"key", "dim", "dist"};
    PyObject* slots[3];
    if (!bind_fast({"VecDB.create_table_if_not_exists()", names, 2}, args, nargs, kwnames, slots))
      return nullptr;
    Borrow receiver(self);
    std::string key, dist = "cosine";
    std::uint64_t dim = 0;
    if (!convert_arg(slots[0], "key", key, to_text) ||
        !convert_arg(slots[1], "dim", dim, to_size) ||
        (slots[2] != nullptr && !convert_arg(slots[2], "dist", dist, to_text)))
      return nullptr;
    return create_table_if_not_exists_impl(receiver.manager(), key, dim, dist);
  });
}

PyObject* get_all_keys(PyObject* self, PyObject*) {
  return guarded([&] {
    Borrow receiver(self);
    return from_names(receiver.manager().get_all_keys());
  });
}

PyObject* get_cached_tables(PyObject* self, PyObject*) {
  return guarded([&] {
    Borrow receiver(self);
    return from_names(receiver.manager().get_cached_tables());
  });
}

PyObject* add(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"key", "vec", "metadata"};
    PyObject* slots[3];
    if (!bind_fast({"VecDB.add()", names, 3}, args, nargs, kwnames, slots)) return nullptr;
    Borrow receiver(self);
    std::string key;
    std::vector<float> vec;
    Metadata metadata;
    if (!convert_arg(slots[0], "key", key, to_text) ||
        !convert_arg(slots[1], "vec", vec, to_float_vector) ||
        !convert_arg(slots[2], "metadata", metadata, to_metadata))
      return nullptr;
    return add_impl(receiver.manager(), key, std::move(vec), std::move(metadata));
  });
}

PyObject* batch_add(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"key", "vec_list", "metadata_list"};
    PyObject* slots[3];
    if (!bind_fast({"VecDB.batch_add()", names, 3}, args, nargs, kwnames, slots)) return nullptr;
    Borrow receiver(self);
    std::string key;
    std::vector<std::vector<float>> vec_list;
    std::vector<Metadata> metadata_list;
    if (!convert_arg(slots[0], "key", key, to_text) ||
        !convert_arg(slots[1], "vec_list", vec_list, to_vector_list) ||
        !convert_arg(slots[2], "metadata_list", metadata_list, to_metadata_list))
      return nullptr;
    return batch_add_impl(receiver.manager(), key, std::move(vec_list), std::move(metadata_list));
  });
}

PyObject* delete_(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"key", "pattern"};
    PyObject* slots[2];
    if (!bind_fast({"VecDB.delete()", names, 2}, args, nargs, kwnames, slots)) return nullptr;
    Borrow receiver(self);
    std::string key;
    Metadata pattern;
    if (!convert_arg(slots[0], "key", key, to_text) ||
        !convert_arg(slots[1], "pattern", pattern, to_metadata))
      return nullptr;
    return delete_impl(receiver.manager(), key, pattern);
  });
}

PyObject* search(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"key", "query", "k", "ef", "upper_bound"};
    PyObject* slots[5];
    if (!bind_fast({"VecDB.search()", names, 3}, args, nargs, kwnames, slots)) return nullptr;
    Borrow receiver(self);
    std::string key;
    std::vector<float> query;
    std::uint64_t k = 0;
    std::optional<std::uint64_t> ef;
    std::optional<float> upper_bound;
    if (!convert_arg(slots[0], "key", key, to_text) ||
        !convert_arg(slots[1], "query", query, to_float_vector) ||
        !convert_arg(slots[2], "k", k, to_size) ||
        !convert_arg(slots[3], "ef", ef, to_optional_size) ||
        !convert_arg(slots[4], "upper_bound", upper_bound, to_optional_float))
      return nullptr;
    return search_impl(receiver.manager(), key, query, k, ef, upper_bound);
  });
}

PyObject* build_hnsw_index(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"key", "ef_construction"};
    PyObject* slots[2];
    if (!bind_fast({"VecDB.build_hnsw_index()", names, 1}, args, nargs, kwnames, slots))
      return nullptr;
    Borrow receiver(self);
    std::string key;
    std::optional<std::uint64_t> ef_construction;
    if (!convert_arg(slots[0], "key", key, to_text) ||
        !convert_arg(slots[1], "ef_construction", ef_construction, to_optional_size))
      return nullptr;
    return build_hnsw_index_impl(receiver.manager(), key, ef_construction);
  });
}

PyObject* build_pq_table(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"key", "train_proportion", "n_bits", "m"};
    PyObject* slots[4];
    if (!bind_fast({"VecDB.build_pq_table()", names, 1}, args, nargs, kwnames, slots))
      return nullptr;
    Borrow receiver(self);
    std::string key;
    std::optional<float> train_proportion;
    std::optional<std::uint64_t> n_bits, m;
    if (!convert_arg(slots[0], "key", key, to_text) ||
        !convert_arg(slots[1], "train_proportion", train_proportion, to_optional_float) ||
        !convert_arg(slots[2], "n_bits", n_bits, to_optional_size) ||
        !convert_arg(slots[3], "m", m, to_optional_size))
      return nullptr;
    return build_pq_table_impl(receiver.manager(), key, train_proportion, n_bits, m);
  });
}

PyObject* force_save(PyObject* self, PyObject*) {
  return guarded([&] {
    Borrow receiver(self);
    VecDBManager& m = receiver.manager();
    without_gil([&] { m.force_save(); });
    return none();
  });
}

constexpr char kContainsKey[] = "VecDB.contains_key()";
constexpr char kDeleteTable[] = "VecDB.delete_table()";
constexpr char kContainsCached[] = "VecDB.contains_cached()";
constexpr char kRemoveCachedTable[] = "VecDB.remove_cached_table()";
constexpr char kGetLen[] = "VecDB.get_len()";
constexpr char kGetDim[] = "VecDB.get_dim()";
constexpr char kGetDist[] = "VecDB.get_dist()";
constexpr char kExtractData[] = "VecDB.extract_data()";
constexpr char kClearHnswIndex[] = "VecDB.clear_hnsw_index()";
constexpr char kHasHnswIndex[] = "VecDB.has_hnsw_index()";
constexpr char kClearPqTable[] = "VecDB.clear_pq_table()";
constexpr char kHasPqTable[] = "VecDB.has_pq_table()";

template <class F>
PyCFunction fast(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"create_table_if_not_exists", fast(create_table_if_not_exists), kFast,
     "create_table_if_not_exists($self, key, dim, dist=\"cosine\")\n--\n\nCreate a new table if it "
     "does not exist.\n\nRaises:\n    ValueError: If the distance function is invalid."},
    {"get_all_keys", get_all_keys, METH_NOARGS, "get_all_keys($self)\n--\n\nGet all table names."},
    {"contains_key", fast(key_method<kContainsKey, contains_key_impl>), kFast,
     "contains_key($self, key)\n--\n\nCheck if a table exists."},
    {"delete_table", fast(key_method<kDeleteTable, delete_table_impl>), kFast,
     "delete_table($self, key)\n--\n\nDelete a table and wait for all operations to finish.\n"
     "Returns false if the table does not exist."},
    {"get_cached_tables", get_cached_tables, METH_NOARGS,
     "get_cached_tables($self)\n--\n\nReturns a list of table keys that are cached."},
    {"contains_cached", fast(key_method<kContainsCached, contains_cached_impl>), kFast,
     "contains_cached($self, key)\n--\n\nCheck if a table is cached."},
    {"remove_cached_table", fast(key_method<kRemoveCachedTable, remove_cached_table_impl>), kFast,
     "remove_cached_table($self, key)\n--\n\nRemove a table from the cache.\nDoes nothing if the "
     "table is not cached."},
    {"get_len", fast(key_method<kGetLen, get_len_impl>), kFast,
     "get_len($self, key)\n--\n\nGet the number of vectors in the table."},
    {"get_dim", fast(key_method<kGetDim, get_dim_impl>), kFast,
     "get_dim($self, key)\n--\n\nGet the dimension of the vectors in the table."},
    {"get_dist", fast(key_method<kGetDist, get_dist_impl>), kFast,
     "get_dist($self, key)\n--\n\nGet the distance algorithm used by the table."},
    {"add", fast(add), kFast,
     "add($self, key, vec, metadata)\n--\n\nAdd a vector to the table.\nUse `batch_add` for "
     "better performance."},
    {"batch_add", fast(batch_add), kFast,
     "batch_add($self, key, vec_list, metadata_list)\n--\n\nAdd multiple vectors to the table."},
    {"delete", fast(delete_), kFast,
     "delete($self, key, pattern)\n--\n\nDelete vectors with metadata that match the pattern.\n"
     "Returns the number of vectors deleted."},
    {"search", fast(search), kFast,
     "search($self, key, query, k, ef=None, upper_bound=None)\n--\n\nSearch for the nearest "
     "neighbors of a vector.\nReturns a list of (metadata, distance) pairs."},
    {"extract_data", fast(key_method<kExtractData, extract_data_impl>), kFast,
     "extract_data($self, key)\n--\n\nExtract data from the table."},
    {"build_hnsw_index", fast(build_hnsw_index), kFast,
     "build_hnsw_index($self, key, ef_construction=None)\n--\n\nBuild HNSW index for the table. "
     "Skip when already built."},
    {"clear_hnsw_index", fast(key_method<kClearHnswIndex, clear_hnsw_index_impl>), kFast,
     "clear_hnsw_index($self, key)\n--\n\nClear HNSW index for the table."},
    {"has_hnsw_index", fast(key_method<kHasHnswIndex, has_hnsw_index_impl>), kFast,
     "has_hnsw_index($self, key)\n--\n\nCheck if the table has HNSW index."},
    {"build_pq_table", fast(build_pq_table), kFast,
     "build_pq_table($self, key, train_proportion=None, n_bits=None, m=None)\n--\n\nBuild PQ table "
     "for the table. Skip when already built."},
    {"clear_pq_table", fast(key_method<kClearPqTable, clear_pq_table_impl>), kFast,
     "clear_pq_table($self, key)\n--\n\nClear PQ table for the table."},
    {"has_pq_table", fast(key_method<kHasPqTable, has_pq_table_impl>), kFast,
     "has_pq_table($self, key)\n--\n\nCheck if the table has PQ table."},
    {"force_save", force_save, METH_NOARGS, "force_save($self)\n--\n\nForce save the database to disk."},
    {nullptr, nullptr, 0, nullptr},
};

// --- construction and destruction ---

PyObject* vecdb_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"dir"};
    PyObject* slots[1];
    if (!bind_tuple({"VecDB.__new__()", names, 1}, args, kwargs, slots)) return nullptr;
    std::string dir;
    if (!convert_arg(slots[0], "dir", dir, to_text)) return nullptr;
    // As the interpreter's own file functions do: the system calls would stop at the NUL.
    if (dir.find('\0') != std::string::npos) {
      PyErr_SetString(PyExc_ValueError, "embedded null byte");
      return nullptr;
    }
    auto manager = VecDBManager::open(dir);  // with the interpreter lock held
    if (!manager) return raise_error(manager.error());
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;  // the manager closes here
    auto* self = reinterpret_cast<VecDBObject*>(obj);
    self->manager = manager->release();
    return obj;
  });
}

void vecdb_dealloc(PyObject* obj) {
  auto* self = reinterpret_cast<VecDBObject*>(obj);
  PyTypeObject* type = Py_TYPE(obj);
  try {
    // Final saves, then the directory lock is released. Closing goes through every table
    // whatever fails; each save that could not be made is then reported, not raised.
    const std::vector<Error> failures = self->manager->close();
    delete self->manager;
    self->manager = nullptr;
    for (const Error& failure : failures) {
      raise_panic(failure.message);
      PyErr_WriteUnraisable(nullptr);
    }
  } catch (const InternalFailure& failure) {
    raise_panic(failure.message);
    PyErr_WriteUnraisable(nullptr);
    return;  // the object's memory is not freed
  }
  type->tp_free(obj);
  Py_DECREF(type);
}

constexpr const char* kClassText =
    "Vector Database. Ensures:\n"
    "- Auto-save. The database will be saved to disk when necessary.\n"
    "- Parallelism. `allow_threads` is used to allow multi-threading.\n"
    "- Thread-safe. Read and write operations are atomic.\n"
    "- Unique. Only one manager for each database.";

// Process-wide cells, filled once with the interpreter lock held.
PyObject* type_cell = nullptr;
std::string* doc_cell = nullptr;

}  // namespace

PyObject* vecdb_type() {
  if (type_cell != nullptr) return Py_NewRef(type_cell);
  if (doc_cell == nullptr) doc_cell = new std::string(std::string("VecDB(dir)\n--\n\n") + kClassText);
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc_cell->c_str())},
      {Py_tp_new, reinterpret_cast<void*>(vecdb_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(vecdb_dealloc)},
      {Py_tp_methods, methods},
      {0, nullptr},
  };
  PyType_Spec spec = {"quillmere.VecDB", static_cast<int>(sizeof(VecDBObject)), 0,
                      Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) return nullptr;
  type_cell = type;
  return Py_NewRef(type_cell);
}

}  // namespace quillmere::python
