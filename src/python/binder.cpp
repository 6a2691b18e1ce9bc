#include "python/binder.hpp"

#include <string>

namespace quillmere::python {
namespace {

bool too_many_positional(const Signature& sig, std::size_t given) {
  std::string text = sig.callable;
  std::size_t n = sig.names.size();
  if (sig.required == n)
    text += " takes " + std::to_string(n);
  else
    text += " takes from " + std::to_string(sig.required) + " to " + std::to_string(n);
  text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
          " given";
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return false;
}

// Fills the slot named by `keyword`; false with the TypeError set when it is filled already
// or names no parameter.
bool bind_keyword(const Signature& sig, PyObject* keyword, PyObject* value, PyObject** slots) {
  // Compared as code points, never encoded: a name without a UTF-8 form (a lone surrogate) is
  // simply a name no parameter has.
  for (std::size_t i = 0; i < sig.names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, sig.names[i]) != 0) continue;
    if (slots[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.callable,
                   sig.names[i]);
      return false;
    }
    slots[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.callable,
               keyword);
  return false;
}

bool check_required(const Signature& sig, PyObject** slots) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < sig.required; ++i) missing += slots[i] == nullptr;
  if (missing == 0) return true;
  std::string names;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (slots[i] != nullptr) continue;
    if (listed > 0) {
      if (missing > 2) names += ",";
      names += listed + 1 == missing ? " and " : " ";
    }
    names += '\'';
    names += sig.names[i];
    names += '\'';
    ++listed;
  }
  std::string text = std::string(sig.callable) + " missing " + std::to_string(missing) +
                     " required positional argument" + (missing == 1 ? "" : "s") + ": " + names;
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return false;
}

}  // namespace

bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
               PyObject** slots) {
  auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  for (std::size_t i = 0; i < sig.names.size(); ++i) slots[i] = nullptr;
  if (nargs > sig.names.size()) return too_many_positional(sig, nargs);
  for (std::size_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i)
      if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) return false;
  }
  return check_required(sig, slots);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
  auto nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  for (std::size_t i = 0; i < sig.names.size(); ++i) slots[i] = nullptr;
  if (nargs > sig.names.size()) return too_many_positional(sig, nargs);
  for (std::size_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value))
      if (!bind_keyword(sig, key, value, slots)) return false;
  }
  return check_required(sig, slots);
}

}  // namespace quillmere::python
