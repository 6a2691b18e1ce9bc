#include "python/convert.hpp"

#include <algorithm>
#include <new>

#include "common/failure.hpp"
#include "python/ref.hpp"

namespace quillmere::python {
namespace {

// Sets TypeError "'{type}' object cannot be converted to '{target}'".
bool cannot_convert(PyObject* obj, const char* target) {
  const Ref qualname(PyType_GetQualName(Py_TYPE(obj)));
  if (!qualname) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "'<failed to extract type name>' object cannot be converted to '%s'", target);
  } else {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(),
                 target);
  }
  return false;
}

// The sequence check shared by the vector and list kinds: a str is refused first.
bool check_sequence(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) return cannot_convert(obj, "Sequence");
  return true;
}

// The most elements reserved from a length that a sequence only claims (its __len__); beyond
// it the array grows as the items arrive, so a lying length costs nothing.
constexpr Py_ssize_t kClaimedReserve = 4096;

// Iterates a sequence, converting each item with `conv` into `out`.
template <class T, class Conv>
bool sequence_to_vector(PyObject* obj, std::vector<T>& out, Conv conv) {
  if (!check_sequence(obj)) return false;
  // An exact list or tuple holds its items already: its size is a bound on what they can
  // fill. A subclass may define its own __iter__ and __len__, so it is read like any other
  // sequence, by iteration.
  const bool holds_items = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
  const Py_ssize_t size = holds_items ? PySequence_Fast_GET_SIZE(obj) : PySequence_Size(obj);
  if (size < 0)
    PyErr_Clear();  // only sizes the array
  else
    out.reserve(static_cast<std::size_t>(holds_items ? size : std::min(size, kClaimedReserve)));
  if (holds_items) {
    // By index, without an iterator: the common case of a query or a row. The size is read
    // again at every step and each item held while it converts, since a conversion can run
    // Python code (__float__, __index__) that changes the list.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) {
      const Ref item(Py_NewRef(PySequence_Fast_GET_ITEM(obj, i)));
      T value{};
      if (!conv(item.get(), value)) return false;
      out.push_back(std::move(value));
    }
    return true;
  }
  const Ref iter(PyObject_GetIter(obj));
  if (!iter) return false;
  for (;;) {
    const Ref item(PyIter_Next(iter.get()));
    if (!item) break;
    T value{};
    if (!conv(item.get(), value)) return false;
    out.push_back(std::move(value));
  }
  return !PyErr_Occurred();
}

// A result object the interpreter could not create: for lack of memory a MemoryError (raised
// by the guard of the call), otherwise an internal failure.
[[noreturn]] void fail_create(const char* what) {
  const bool no_memory = PyErr_ExceptionMatches(PyExc_MemoryError);
  PyErr_Clear();
  if (no_memory) throw std::bad_alloc();
  fail(std::string("Failed to create a Python ") + what);
}

}  // namespace

bool to_text(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) return cannot_convert(obj, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool to_size(PyObject* obj, std::uint64_t& out) {
  unsigned long long value;
  if (PyLong_Check(obj)) {
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    const Ref index(PyNumber_Index(obj));
    if (!index) return false;
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_float(PyObject* obj, float& out) {
  double value;
  if (PyFloat_CheckExact(obj)) {
    value = PyFloat_AS_DOUBLE(obj);
  } else {
    value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
  }
  out = static_cast<float>(value);  // nearest float; beyond the range an infinity
  return true;
}

bool to_float_vector(PyObject* obj, std::vector<float>& out) {
  return sequence_to_vector(obj, out, to_float);
}

bool to_vector_list(PyObject* obj, std::vector<std::vector<float>>& out) {
  return sequence_to_vector(obj, out, to_float_vector);
}

bool to_metadata(PyObject* obj, Metadata& out) {
  if (!PyDict_Check(obj)) return cannot_convert(obj, "PyDict");
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    std::string k, v;
    if (!to_text(key, k) || !to_text(value, v)) return false;
    out.insert_or_assign(std::move(k), std::move(v));
  }
  return true;
}

bool to_metadata_list(PyObject* obj, std::vector<Metadata>& out) {
  return sequence_to_vector(obj, out, to_metadata);
}

bool to_optional_size(PyObject* obj, std::optional<std::uint64_t>& out) {
  if (obj == nullptr || obj == Py_None) return true;
  std::uint64_t value = 0;
  if (!to_size(obj, value)) return false;
  out = value;
  return true;
}

bool to_optional_float(PyObject* obj, std::optional<float>& out) {
  if (obj == nullptr || obj == Py_None) return true;
  float value = 0;
  if (!to_float(obj, value)) return false;
  out = value;
  return true;
}

void prefix_type_error(const char* name) {
  Ref exc(PyErr_GetRaisedException());
  if (!exc || Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(exc.release());
    return;
  }
  // A failure on the way leaves the failure's own exception set instead.
  const Ref message(PyObject_Str(exc.get()));
  if (!message) return;
  const Ref text(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
  if (!text) return;
  const Ref replaced(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  if (!replaced) return;
  // The replacement takes over the explicit cause (and whether the context is shown); its
  // context is set as for any exception raised now, from the exception being handled.
  if (PyObject* cause = PyException_GetCause(exc.get()))
    PyException_SetCause(replaced.get(), cause);  // steals
  reinterpret_cast<PyBaseExceptionObject*>(replaced.get())->suppress_context =
      reinterpret_cast<PyBaseExceptionObject*>(exc.get())->suppress_context;
  PyErr_SetObject(PyExc_TypeError, replaced.get());
}

PyObject* from_text(const std::string& text) {
  PyObject* obj = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (obj == nullptr) fail_create("str");
  return obj;
}

PyObject* from_bool(bool value) { return Py_NewRef(value ? Py_True : Py_False); }

PyObject* from_count(std::uint64_t value) {
  PyObject* obj = PyLong_FromUnsignedLongLong(value);
  if (obj == nullptr) fail_create("int");
  return obj;
}

PyObject* from_float(float value) {
  PyObject* obj = PyFloat_FromDouble(static_cast<double>(value));
  if (obj == nullptr) fail_create("float");
  return obj;
}

PyObject* from_names(const std::vector<std::string>& names) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) fail_create("list");
  for (std::size_t i = 0; i < names.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), from_text(names[i]));
  return list.release();
}

PyObject* from_metadata(const Metadata& metadata) {
  Ref dict(PyDict_New());
  if (!dict) fail_create("dict");
  for (const auto& [key, value] : metadata) {  // ascending byte-wise key order
    const Ref k(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
    const Ref v(k ? PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()))
                  : nullptr);
    if (!v) fail_create("str");
    if (PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

namespace {

// A list of 2-tuples made by `first` and `second` from each row; nullptr when a dict insert
// failed (exception set).
template <class Rows, class First, class Second>
PyObject* rows_to_list(const Rows& rows, First first, Second second) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) fail_create("list");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    Ref a(first(rows[i]));
    if (!a) return nullptr;
    Ref b(second(rows[i]));
    if (!b) return nullptr;
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) fail_create("tuple");
    PyTuple_SET_ITEM(pair, 0, a.release());
    PyTuple_SET_ITEM(pair, 1, b.release());
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

PyObject* from_floats(const std::vector<float>& vec) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(vec.size())));
  if (!list) fail_create("list");
  for (std::size_t i = 0; i < vec.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(static_cast<double>(vec[i]));
    if (item == nullptr) fail_create("float");
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace

PyObject* from_search_rows(const std::vector<std::pair<Metadata, float>>& rows) {
  return rows_to_list(
      rows, [](const auto& row) { return from_metadata(row.first); },
      [](const auto& row) { return from_float(row.second); });
}

PyObject* from_table_rows(const std::vector<std::pair<std::vector<float>, Metadata>>& rows) {
  return rows_to_list(
      rows, [](const auto& row) { return from_floats(row.first); },
      [](const auto& row) { return from_metadata(row.second); });
}

}  // namespace quillmere::python
