// The Python type VecDB: a heap type owning one VecDBManager for the object's whole life.
#pragma once

#include <Python.h>

namespace quillmere::python {

// The VecDB type object, created on first use and kept for the life of the process (a new
// reference), or nullptr with the interpreter's error set. REQUIRES: the interpreter lock.
PyObject* vecdb_type();

// Registers with atexit the hook that makes the final saves of every open VecDB when the
// interpreter begins to exit (before daemon threads are stopped). False with the interpreter's
// error set. REQUIRES: the interpreter lock; called once, at the first import.
bool register_exit_hook();

}  // namespace quillmere::python
