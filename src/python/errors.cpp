#include "python/errors.hpp"

#include <string>

#include "python/ref.hpp"

namespace quillmere::python {
namespace {

constexpr const char* kPanicDoc =
    "\nThe exception raised when the native code of quillmere fails while called from Python.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Created on first need and kept for the life of the process; filled with the lock held.
PyObject* panic_type = nullptr;

PyObject* get_panic_type() {
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                           PyExc_BaseException, nullptr);
  }
  return panic_type;
}

PyObject* exception_of(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::UnknownOption:
      return PyExc_ValueError;
    case ErrorKind::InvalidArgument:
    case ErrorKind::NotFound:
    case ErrorKind::CorruptFile:
    case ErrorKind::Io:
      return PyExc_RuntimeError;
  }
  return PyExc_RuntimeError;
}

}  // namespace

PyObject* raise_error(const Error& error) {
  PyObject* type = exception_of(error.kind);
  const Ref text(PyUnicode_FromStringAndSize(error.message.data(),
                                             static_cast<Py_ssize_t>(error.message.size())));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* raise_panic(std::string_view message) {
  PyErr_Clear();
  PyObject* type = get_panic_type();
  if (type == nullptr) return nullptr;  // the interpreter's error of creating the type
  const Ref text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return nullptr;
  const Ref exc(PyObject_CallOneArg(type, text.get()));
  // As any raise: the exception being handled becomes its context.
  if (exc) PyErr_SetObject(type, exc.get());
  return nullptr;
}

}  // namespace quillmere::python
