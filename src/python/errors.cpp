#include "python/errors.hpp"

#include <string>

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
  PyObject* text = PyUnicode_FromStringAndSize(error.message.data(),
                                               static_cast<Py_ssize_t>(error.message.size()));
  if (text == nullptr) return nullptr;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  return nullptr;
}

PyObject* raise_panic(std::string_view message) {
  PyErr_Clear();
  PyObject* type = get_panic_type();
  if (type == nullptr) return nullptr;  // the interpreter's error of creating the type
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return nullptr;
  PyObject* exc = PyObject_CallOneArg(type, text);
  Py_DECREF(text);
  if (exc == nullptr) return nullptr;
  PyErr_SetObject(type, exc);  // as any raise: the exception being handled becomes its context
  Py_DECREF(exc);
  return nullptr;
}

}  // namespace quillmere::python
