// The module quillmere: import (PyInit_quillmere), its contents (calc_dist, VecDB, __all__).
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "distance/distance.hpp"
#include "python/binder.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/vec_db.hpp"

namespace quillmere::python {
namespace {

PyObject* calc_dist_impl(const std::vector<float>& a, const std::vector<float>& b,
                         const std::string& dist) {
  const Result<DistanceAlgorithm> d = parse_distance(dist);
  if (!d) return raise_error(d.error());
  return from_float(distance(*d, a, b));
}

PyObject* calc_dist(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"a", "b", "dist"};
    PyObject* slots[3];
    if (!bind_fast({"calc_dist()", names, 2}, args, nargs, kwnames, slots)) return nullptr;
    std::vector<float> a, b;
    std::string dist = "cosine";
    if (!convert_arg(slots[0], "a", a, to_float_vector) ||
        !convert_arg(slots[1], "b", b, to_float_vector) ||
        (slots[2] != nullptr && !convert_arg(slots[2], "dist", dist, to_text)))
      return nullptr;
    return calc_dist_impl(a, b, dist);
  });
}

PyMethodDef calc_dist_def = {
    "calc_dist", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(calc_dist)),
    METH_FASTCALL | METH_KEYWORDS,
    "calc_dist(a, b, dist=\"cosine\")\n--\n\nCalculate the distance between two vectors.\n\n"
    "`dist` can be \"l2sqr\" or \"cosine\" (default: \"cosine\", for RAG).\n\n\n"
    "- l2sqr: squared Euclidean distance\n"
    "- cosine: cosine distance (1 - cosine_similarity) [0.0, 2.0]\n\n"
    "Raises:\n    ValueError: If the distance function is invalid."};

// m_size 0 (no per-module state): a repeated import calls PyInit_quillmere again, which gives
// back the recorded module, where -1 would make the interpreter copy the module.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quillmere", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Process-wide cells: the first interpreter that imported the module, and the module.
std::atomic<std::int64_t> interpreter_id{-1};
PyObject* module_cell = nullptr;

// Appends `name` to __all__ (made first when missing), then sets the attribute; steals `value`.
bool add_name(PyObject* module, const char* name, PyObject* value) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      Py_DECREF(value);
      return false;
    }
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      Py_DECREF(value);
      return false;
    }
  }
  PyObject* text = PyUnicode_FromString(name);
  int rc = text == nullptr || !PyList_Check(all) ? -1 : PyList_Append(all, text);
  Py_XDECREF(text);
  Py_DECREF(all);
  if (rc < 0) {
    Py_DECREF(value);
    fail("could not append to __all__");
  }
  rc = PyObject_SetAttrString(module, name, value);
  Py_DECREF(value);
  return rc == 0;
}

bool init_module(PyObject* module) {
  PyObject* modname = PyUnicode_FromString("quillmere");
  if (modname == nullptr) return false;
  PyObject* func = PyCMethod_New(&calc_dist_def, module, modname, nullptr);  // __self__ is the module
  Py_DECREF(modname);
  if (func == nullptr || !add_name(module, "calc_dist", func)) return false;
  PyObject* type = vecdb_type();
  return type != nullptr && add_name(module, "VecDB", type) && register_exit_hook();
}

PyObject* init() {
  return guarded([]() -> PyObject* {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    std::int64_t expected = -1;
    if (!interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
      PyErr_SetString(PyExc_ImportError,
                      "quillmere does not support sub-interpreters: it can only be imported "
                      "once per process, by the first interpreter that imported it");
      return nullptr;
    }
    if (module_cell != nullptr) return Py_NewRef(module_cell);
    PyObject* module = PyModule_Create(&module_def);
    if (module == nullptr) return nullptr;
    bool ok = false;
    try {
      ok = init_module(module);
    } catch (...) {
      Py_DECREF(module);
      throw;
    }
    if (!ok) {
      Py_DECREF(module);
      return nullptr;
    }
    module_cell = module;
    return Py_NewRef(module_cell);
  });
}

}  // namespace
}  // namespace quillmere::python

PyMODINIT_FUNC PyInit_quillmere() { return quillmere::python::init(); }
