// The Python type VecDB: a heap type owning one VecDBManager for the object's whole life.
#pragma once

#include <Python.h>

namespace quillmere::python {

// The VecDB type object, created on first use and kept for the life of the process (a new
// reference), or nullptr with the interpreter's error set. REQUIRES: the interpreter lock.
PyObject* vecdb_type();

}  // namespace quillmere::python
