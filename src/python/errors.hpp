// The one place where failures become Python exceptions, and the guard every entry function
// runs its body under. REQUIRES (all functions): the interpreter lock is held.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>
#include <string_view>
#include <type_traits>

#include "common/error.hpp"
#include "common/failure.hpp"

namespace quillmere::python {

// Sets the exception of a database error value, chosen by its kind: ValueError for an unknown
// option name, RuntimeError for everything else. Always returns nullptr.
PyObject* raise_error(const Error& error);

// Sets a PanicException carrying `message` (the type is created on first need).
PyObject* raise_panic(std::string_view message);

// Runs `body` (returning a new reference or nullptr with an exception set); an internal failure
// becomes PanicException, a failed allocation (or a size beyond any allocation) MemoryError,
// and any other exception of a library PanicException with its text. A body that released the
// interpreter lock has taken it back (without_gil) by the time the failure reaches here.
//
// Not noexcept, and nothing catches everything: when the interpreter ends a daemon thread that
// asks for the lock back during finalization, the thread unwinds (abi::__forced_unwind), and that
// unwinding must pass through every frame of ours.
template <class F>
PyObject* guarded(F&& body) {
  prepare_thread_for_throwing();  // a Python thread's first call may come under memory pressure
  try {
    return body();
  } catch (const InternalFailure& failure) {
    return raise_panic(failure.message);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_panic(e.what());
  }
}

// f() with the interpreter lock released, and taken back on every way out. The lock is taken
// back in plain code, not in a destructor: taking it can end the thread by unwinding (see
// guarded), which a destructor could not let through. Nothing in f may touch a Python object.
template <class F>
auto without_gil(F&& f) {
  PyThreadState* state = PyEval_SaveThread();
  auto run = [&] {
    try {
      return f();
    } catch (...) {  // rethrown at once
      PyEval_RestoreThread(state);
      throw;
    }
  };
  if constexpr (std::is_void_v<decltype(f())>) {
    run();
    PyEval_RestoreThread(state);
  } else {
    auto result = run();
    PyEval_RestoreThread(state);
    return result;
  }
}

}  // namespace quillmere::python
