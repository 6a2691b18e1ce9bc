// The module quillmere: import (PyInit_quillmere), its contents (calc_dist, VecDB, __all__).
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "distance/distance.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/method_table.hpp"
#include "python/vec_db.hpp"

namespace quillmere::python {
namespace {

// calc_dist has no receiver.
struct NoReceiver {};

constexpr auto kCalcDist = method(
    "calc_dist", Gil::Held,
    [](NoReceiver&, std::vector<float> a, std::vector<float> b, std::string dist) -> Result<float> {
      const Result<DistanceAlgorithm> d = parse_distance(dist);
      if (!d) return std::unexpected(d.error());
      return distance(*d, a, b);
    },
    from_float,
    "Calculate the distance between two vectors.\n\n"
    "`dist` can be \"l2sqr\" or \"cosine\" (default: \"cosine\", for RAG).\n\n\n"
    "- l2sqr: squared Euclidean distance\n"
    "- cosine: cosine distance (1 - cosine_similarity) [0.0, 2.0]\n\n"
    "Raises:\n    ValueError: If the distance function is invalid.",
    Param<std::vector<float>>{"a", to_float_vector},
    Param<std::vector<float>>{"b", to_float_vector}, kDistParam);

PyObject* calc_dist(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    NoReceiver none;
    return invoke(kCalcDist, "calc_dist()", none, args, nargs, kwnames);
  });
}

// Made once, with the interpreter lock held, at the first import.
PyMethodDef* calc_dist_def() {
  static const std::string doc = doc_with_signature(kCalcDist, false);
  static PyMethodDef def = {kCalcDist.name,
                            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(calc_dist)),
                            METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
  return &def;
}

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
  PyObject* func =
      PyCMethod_New(calc_dist_def(), module, modname, nullptr);  // __self__ is the module
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
