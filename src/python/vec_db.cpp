// VecDB: construction, destruction and the 22 methods, each described once in a method table
// (method_table.hpp): its parameters are bound and converted with the interpreter lock held,
// the manager is called with it released (except for the four catalogue queries), and the
// answer is converted with it held again.
#include "python/vec_db.hpp"

#include <cxxabi.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "database/vec_db_manager.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/method_table.hpp"
#include "python/ref.hpp"

namespace quillmere::python {
namespace {

struct VecDBObject {
  PyObject_HEAD
  VecDBManager* manager;             // owned; destroyed with the object
  std::atomic<std::uint32_t> calls;  // the calls in flight (their CallReceivers)
  // Set by the exit hook before it waits for the calls in flight: no call starts afterwards.
  std::atomic<bool> closed_at_exit;
  VecDBObject* prev;  // the list of live objects, guarded by the interpreter lock
  VecDBObject* next;
};

// Every live VecDB of the process, newest first, for the exit hook; and whether that hook has
// begun. Guarded by the interpreter lock.
VecDBObject* live_objects = nullptr;
bool interpreter_exiting = false;

void link_live(VecDBObject* self) {
  self->prev = nullptr;
  self->next = live_objects;
  if (live_objects != nullptr) live_objects->prev = self;
  live_objects = self;
}

void unlink_live(VecDBObject* self) {
  if (self->prev != nullptr)
    self->prev->next = self->next;
  else if (live_objects == self)
    live_objects = self->next;
  if (self->next != nullptr) self->next->prev = self->prev;
  self->prev = self->next = nullptr;
}

// Whether a call may start on `self`; raises when not. Takes no lock of the database: in a
// forked child one may have been copied held by a thread that does not exist there.
bool usable(VecDBObject* self) {
  if (!self->manager->owned_by_this_process()) {
    PyErr_SetString(
        PyExc_RuntimeError,
        "This VecDB was opened by the process this one was forked from and cannot be used "
        "here; open the directory again in this process");
    return false;
  }
  if (self->closed_at_exit) {
    PyErr_SetString(PyExc_RuntimeError, "VecDB closed at interpreter exit");
    return false;
  }
  return true;
}

// The receiver of one call, with a reference of its own: the manager outlives the call even
// while the interpreter lock is released. It counts as a call in flight while it lives.
class CallReceiver {
 public:
  explicit CallReceiver(PyObject* self) : self_(reinterpret_cast<VecDBObject*>(Py_NewRef(self))) {
    ++self_->calls;
  }
  ~CallReceiver() {
    // The exit hook sets closed_at_exit before it reads the count, so one of the two sees the
    // other.
    if (--self_->calls == 0 && self_->closed_at_exit) self_->calls.notify_all();
    Py_DECREF(reinterpret_cast<PyObject*>(self_));
  }
  CallReceiver(const CallReceiver&) = delete;
  CallReceiver& operator=(const CallReceiver&) = delete;
  VecDBManager& manager() const { return *self_->manager; }

 private:
  VecDBObject* self_;
};

// The converters of the answers.
PyObject* distance_name(DistanceAlgorithm d) { return from_text(std::string(option_name(d))); }
constexpr auto kNothing = [](auto&&) -> PyObject* { return Py_NewRef(Py_None); };

// The parameters that recur.
constexpr Param<std::string> kKey{"key", to_text};

// The 22 methods, in the order of the type's method table. Catalogue queries keep the
// interpreter lock; everything else releases it while the database works.
constexpr auto kCreateTable = method(
    "create_table_if_not_exists", Gil::Released,
    [](VecDBManager& m, std::string key, std::uint64_t dim, std::string dist) -> Result<bool> {
      const Result<DistanceAlgorithm> d = parse_distance(dist);
      if (!d) return std::unexpected(d.error());
      return m.create_table_if_not_exists(key, dim, *d);
    },
    from_bool,
    "Create a new table if it does not exist.\n\nRaises:\n    ValueError: If the distance function "
    "is invalid.",
    kKey, Param<std::uint64_t>{"dim", to_size}, kDistParam);
constexpr auto kGetAllKeys = method(
    "get_all_keys", Gil::Held, [](VecDBManager& m) { return m.get_all_keys(); }, from_names,
    "Get all table names.");
constexpr auto kContainsKey = method(
    "contains_key", Gil::Held, [](VecDBManager& m, std::string key) { return m.contains_key(key); },
    from_bool, "Check if a table exists.", kKey);
constexpr auto kDeleteTable = method(
    "delete_table", Gil::Released,
    [](VecDBManager& m, std::string key) { return m.delete_table(key); }, from_bool,
    "Delete a table and wait for all operations to finish.\nReturns false if the table does not "
    "exist.",
    kKey);
constexpr auto kGetCachedTables = method(
    "get_cached_tables", Gil::Held, [](VecDBManager& m) { return m.get_cached_tables(); },
    from_names, "Returns a list of table keys that are cached.");
constexpr auto kContainsCached = method(
    "contains_cached", Gil::Held,
    [](VecDBManager& m, std::string key) { return m.contains_cached(key); }, from_bool,
    "Check if a table is cached.", kKey);
constexpr auto kRemoveCachedTable = method(
    "remove_cached_table", Gil::Released,
    [](VecDBManager& m, std::string key) { return m.remove_cached_table(key); }, kNothing,
    "Remove a table from the cache.\nDoes nothing if the table is not cached.", kKey);
constexpr auto kGetLen = method(
    "get_len", Gil::Released, [](VecDBManager& m, std::string key) { return m.get_len(key); },
    from_count, "Get the number of vectors in the table.", kKey);
constexpr auto kGetDim = method(
    "get_dim", Gil::Released, [](VecDBManager& m, std::string key) { return m.get_dim(key); },
    from_count, "Get the dimension of the vectors in the table.", kKey);
constexpr auto kGetDist = method(
    "get_dist", Gil::Released, [](VecDBManager& m, std::string key) { return m.get_dist(key); },
    distance_name, "Get the distance algorithm used by the table.", kKey);
constexpr auto kAdd = method(
    "add", Gil::Released,
    [](VecDBManager& m, std::string key, std::vector<float> vec, Metadata metadata) {
      return m.add(key, std::move(vec), std::move(metadata));
    },
    kNothing, "Add a vector to the table.\nUse `batch_add` for better performance.", kKey,
    Param<std::vector<float>>{"vec", to_float_vector}, Param<Metadata>{"metadata", to_metadata});
constexpr auto kBatchAdd = method(
    "batch_add", Gil::Released,
    [](VecDBManager& m, std::string key, std::vector<std::vector<float>> vec_list,
       std::vector<Metadata> metadata_list) {
      return m.batch_add(key, std::move(vec_list), std::move(metadata_list));
    },
    kNothing, "Add multiple vectors to the table.", kKey,
    Param<std::vector<std::vector<float>>>{"vec_list", to_vector_list},
    Param<std::vector<Metadata>>{"metadata_list", to_metadata_list});
constexpr auto kDelete = method(
    "delete", Gil::Released,
    [](VecDBManager& m, std::string key, Metadata pattern) { return m.delete_rows(key, pattern); },
    from_count,
    "Delete vectors with metadata that match the pattern.\nReturns the number of vectors deleted.",
    kKey, Param<Metadata>{"pattern", to_metadata});
constexpr auto kSearch = method(
    "search", Gil::Released,
    [](VecDBManager& m, std::string key, std::vector<float> query, std::uint64_t k,
       std::optional<std::uint64_t> ef,
       std::optional<float> upper_bound) { return m.search(key, query, k, ef, upper_bound); },
    from_search_rows,
    "Search for the nearest neighbors of a vector.\nReturns a list of (metadata, distance) pairs.",
    kKey, Param<std::vector<float>>{"query", to_float_vector}, Param<std::uint64_t>{"k", to_size},
    Param<std::optional<std::uint64_t>>{"ef", to_optional_size, "None"},
    Param<std::optional<float>>{"upper_bound", to_optional_float, "None"});
constexpr auto kExtractData = method(
    "extract_data", Gil::Released,
    [](VecDBManager& m, std::string key) { return m.extract_data(key); }, from_table_rows,
    "Extract data from the table.", kKey);
constexpr auto kBuildHnswIndex = method(
    "build_hnsw_index", Gil::Released,
    [](VecDBManager& m, std::string key, std::optional<std::uint64_t> ef_construction) {
      return m.build_hnsw_index(key, ef_construction);
    },
    kNothing, "Build HNSW index for the table. Skip when already built.", kKey,
    Param<std::optional<std::uint64_t>>{"ef_construction", to_optional_size, "None"});
constexpr auto kClearHnswIndex = method(
    "clear_hnsw_index", Gil::Released,
    [](VecDBManager& m, std::string key) { return m.clear_hnsw_index(key); }, kNothing,
    "Clear HNSW index for the table.", kKey);
constexpr auto kHasHnswIndex = method(
    "has_hnsw_index", Gil::Released,
    [](VecDBManager& m, std::string key) { return m.has_hnsw_index(key); }, from_bool,
    "Check if the table has HNSW index.", kKey);
constexpr auto kBuildPqTable = method(
    "build_pq_table", Gil::Released,
    [](VecDBManager& m, std::string key, std::optional<float> train_proportion,
       std::optional<std::uint64_t> n_bits, std::optional<std::uint64_t> sub_spaces) {
      return m.build_pq_table(key, train_proportion, n_bits, sub_spaces);
    },
    kNothing, "Build PQ table for the table. Skip when already built.", kKey,
    Param<std::optional<float>>{"train_proportion", to_optional_float, "None"},
    Param<std::optional<std::uint64_t>>{"n_bits", to_optional_size, "None"},
    Param<std::optional<std::uint64_t>>{"m", to_optional_size, "None"});
constexpr auto kClearPqTable = method(
    "clear_pq_table", Gil::Released,
    [](VecDBManager& m, std::string key) { return m.clear_pq_table(key); }, kNothing,
    "Clear PQ table for the table.", kKey);
constexpr auto kHasPqTable = method(
    "has_pq_table", Gil::Released,
    [](VecDBManager& m, std::string key) { return m.has_pq_table(key); }, from_bool,
    "Check if the table has PQ table.", kKey);
constexpr auto kForceSave = method(
    "force_save", Gil::Released, [](VecDBManager& m) { m.force_save(); }, kNothing,
    "Force save the database to disk.");

// The entry functions of a method: fast-call with keywords, or (no parameters) no arguments,
// so that the interpreter words the refusal of arguments itself.
template <const auto& M>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const std::string callable = std::string("VecDB.") + M.name + "()";
    if (!usable(reinterpret_cast<VecDBObject*>(self))) return nullptr;
    CallReceiver receiver(self);
    return invoke(M, callable.c_str(), receiver.manager(), args, nargs, kwnames);
  });
}
template <const auto& M>
PyObject* entry_without_arguments(PyObject* self, PyObject*) {
  return entry<M>(self, nullptr, 0, nullptr);
}

template <const auto& M>
PyMethodDef definition() {
  static const std::string doc = doc_with_signature(M);
  if constexpr (std::tuple_size_v<decltype(M.params)> == 0)
    return {M.name, entry_without_arguments<M>, METH_NOARGS, doc.c_str()};
  else
    return {M.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<M>)),
            METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
}

// --- construction and destruction ---

constexpr const char* kClassText =
    "Vector Database. Ensures:\n"
    "- Auto-save. The database will be saved to disk when necessary.\n"
    "- Parallelism. `allow_threads` is used to allow multi-threading.\n"
    "- Thread-safe. Read and write operations are atomic.\n"
    "- Unique. Only one manager for each database.";

// VecDB(dir): opened with the interpreter lock held.
constexpr auto kNew = method(
    "VecDB", Gil::Held,
    [](PyTypeObject*& type, std::string dir) -> PyObject* {
      // As the interpreter's own file functions do: the system calls would stop at the NUL.
      if (dir.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return nullptr;
      }
      // Nothing opened now would get its final saves: the exit hook has run.
      if (interpreter_exiting) {
        PyErr_SetString(PyExc_RuntimeError, "VecDB cannot be opened: the interpreter is exiting");
        return nullptr;
      }
      auto manager = VecDBManager::open(dir);
      if (!manager) return raise_error(manager.error());
      PyObject* obj = type->tp_alloc(type, 0);
      if (obj == nullptr) return nullptr;  // the manager closes here
      auto* self = reinterpret_cast<VecDBObject*>(obj);
      new (&self->calls) std::atomic<std::uint32_t>(0);
      new (&self->closed_at_exit) std::atomic<bool>(false);
      self->manager = manager->release();
      link_live(self);
      return obj;
    },
    [](PyObject* obj) { return obj; }, kClassText, Param<std::string>{"dir", to_text});

PyObject* vecdb_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded(
      [&]() -> PyObject* { return invoke_tuple(kNew, "VecDB.__new__()", type, args, kwargs); });
}

// Final saves, then the directory lock is released. Closing goes through every table whatever
// fails; each save that could not be made is then reported, not raised. False after any other
// failure, which is reported too. Nothing C++ throws leaves (the interpreter calls this from C),
// but the unwinding of a thread that the interpreter ends during finalization (an unraisable
// hook written in Python may give the lock away and ask for it back): that must pass.
bool close_reporting(VecDBManager& manager) {
  try {
    for (const Error& failure : manager.close()) {
      raise_panic(failure.message);
      PyErr_WriteUnraisable(nullptr);
    }
    return true;
  } catch (const InternalFailure& failure) {
    raise_panic(failure.message);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    raise_panic("unknown exception while closing the database");
  }
  PyErr_WriteUnraisable(nullptr);
  return false;
}

void vecdb_dealloc(PyObject* obj) {
  auto* self = reinterpret_cast<VecDBObject*>(obj);
  PyTypeObject* type = Py_TYPE(obj);
  // The object may go away while an exception propagates (a frame's locals are released on
  // the way out): the reports of closing set and clear exceptions of their own, so the one in
  // flight is put aside first and set again at the end.
  PyObject* pending = PyErr_GetRaisedException();
  unlink_live(self);
  // A forked child's copy is left as it is (see usable); its memory is the parent's, shared
  // until written.
  if (self->manager->owned_by_this_process()) {
    if (!close_reporting(*self->manager)) {  // an unknown state: the manager and object are kept
      PyErr_SetRaisedException(pending);
      return;
    }
    delete self->manager;
  }
  self->manager = nullptr;
  type->tp_free(obj);
  Py_DECREF(type);
  PyErr_SetRaisedException(pending);
}

// The module's exit hook, run by the interpreter's atexit before it stops daemon threads (which
// would keep the objects of __main__ alive, and so never destroyed, to the end): every database
// of this process makes the final saves of its destruction. Calls in flight end first; calls
// that start afterwards raise RuntimeError ("VecDB closed at interpreter exit"), and opening
// another database is refused. A closed object is destroyed later as usual, which then saves
// nothing more.
PyObject* close_at_exit(PyObject*, PyObject*) {
  interpreter_exiting = true;
  for (VecDBObject* o = live_objects; o != nullptr; o = o->next)
    if (o->manager->owned_by_this_process()) o->closed_at_exit = true;
  for (VecDBObject* o = live_objects; o != nullptr;) {
    if (!o->closed_at_exit) {
      o = o->next;
      continue;
    }
    // Held, so that a daemon thread cannot destroy it while the lock is released below.
    const Ref held(Py_NewRef(reinterpret_cast<PyObject*>(o)));
    // The calls in flight need the interpreter lock to return their answers.
    without_gil([o] {
      for (std::uint32_t n = o->calls; n != 0; n = o->calls) o->calls.wait(n);
    });
    (void)close_reporting(*o->manager);
    o = o->next;
  }
  Py_RETURN_NONE;
}

// The method table, made once with the interpreter lock held.
PyMethodDef* methods() {
  static PyMethodDef table[] = {
      definition<kCreateTable>(),
      definition<kGetAllKeys>(),
      definition<kContainsKey>(),
      definition<kDeleteTable>(),
      definition<kGetCachedTables>(),
      definition<kContainsCached>(),
      definition<kRemoveCachedTable>(),
      definition<kGetLen>(),
      definition<kGetDim>(),
      definition<kGetDist>(),
      definition<kAdd>(),
      definition<kBatchAdd>(),
      definition<kDelete>(),
      definition<kSearch>(),
      definition<kExtractData>(),
      definition<kBuildHnswIndex>(),
      definition<kClearHnswIndex>(),
      definition<kHasHnswIndex>(),
      definition<kBuildPqTable>(),
      definition<kClearPqTable>(),
      definition<kHasPqTable>(),
      definition<kForceSave>(),
      {nullptr, nullptr, 0, nullptr},
  };
  return table;
}

// The process-wide type, made once with the interpreter lock held.
PyObject* type_cell = nullptr;

}  // namespace

bool register_exit_hook() {
  static PyMethodDef hook_def = {"close_at_exit", close_at_exit, METH_NOARGS,
                                 "Final saves of every open VecDB, at interpreter exit."};
  const Ref hook(PyCFunction_New(&hook_def, nullptr));
  if (!hook) return false;
  const Ref atexit(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  return static_cast<bool>(Ref(PyObject_CallMethod(atexit.get(), "register", "O", hook.get())));
}

PyObject* vecdb_type() {
  if (type_cell != nullptr) return Py_NewRef(type_cell);
  const std::string doc = doc_with_signature(kNew, false);  // the type keeps a copy
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc.c_str())},
      {Py_tp_new, reinterpret_cast<void*>(vecdb_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(vecdb_dealloc)},
      {Py_tp_methods, methods()},
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
