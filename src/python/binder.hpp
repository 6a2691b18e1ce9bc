// Argument binding of the Python entry points: fills one slot per parameter from positional
// and keyword arguments, with the interpreter's wording of the TypeError messages.
// REQUIRES: the interpreter lock is held.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

namespace quillmere::python {

// A callable's parameters: every one positional-or-keyword, the first `required` of them
// required. `callable` is the name used in messages, e.g. "VecDB.search()".
struct Signature {
  const char* callable;
  std::span<const char* const> names;
  std::size_t required;
};

// Fast-call form. On success each slots[i] holds a borrowed reference or nullptr (not given);
// on failure a TypeError is set and false returned. `slots` has names.size() entries.
bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** slots);

// Classic form: an argument tuple and an optional keyword dictionary.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace quillmere::python
