// Ref: one owned (strong) reference to a Python object, released when the Ref goes, so that a
// function that builds objects has one cleanup path whichever way it leaves.
// REQUIRES: the interpreter lock is held wherever a Ref is made, released or destroyed.
#pragma once

#include <Python.h>

#include <utility>

namespace quillmere::python {

class Ref {
 public:
  // Takes over `obj` (a new reference, or nullptr).
  explicit Ref(PyObject* obj = nullptr) noexcept : obj_(obj) {}
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref& operator=(Ref&&) = delete;
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Hands the reference on (to a caller, or to a function that steals it).
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

 private:
  PyObject* obj_;
};

}  // namespace quillmere::python
