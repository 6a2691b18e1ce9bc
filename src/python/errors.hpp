// The one place where failures become Python exceptions, and the guard every entry function
// runs its body under. REQUIRES (all functions): the interpreter lock is held.
#pragma once

#include <Python.h>

#include <new>
#include <string_view>

#include "common/error.hpp"
#include "common/failure.hpp"

namespace quillmere::python {

// The message of the error value that becomes ValueError; every other one is RuntimeError.
inline constexpr std::string_view kInvalidDistance = "Invalid distance function";

// Sets the exception of a database error value (RuntimeError, or ValueError for an invalid
// distance name). Always returns nullptr.
PyObject* raise_error(const Error& error);

// Sets a PanicException carrying `message` (the type is created on first need).
PyObject* raise_panic(std::string_view message);

// Runs `body` (returning a new reference or nullptr with an exception set); an internal failure
// becomes PanicException and std::bad_alloc MemoryError. A body that released the interpreter
// lock has taken it back (through ReleasedGil) by the time the failure reaches here.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const InternalFailure& failure) {
    return raise_panic(failure.message);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// Releases the interpreter lock for its lifetime; the lock is taken back on every way out,
// also while an internal failure travels through. Nothing may touch a Python object meanwhile.
class ReleasedGil {
 public:
  ReleasedGil() : state_(PyEval_SaveThread()) {}
  ~ReleasedGil() { PyEval_RestoreThread(state_); }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  PyThreadState* state_;
};

// f() with the interpreter lock released.
template <class F>
auto without_gil(F&& f) {
  ReleasedGil released;
  return f();
}

}  // namespace quillmere::python
