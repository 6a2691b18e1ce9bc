// Conversions between Python objects and the values of the database, with the messages of
// the module. REQUIRES (all functions): the interpreter lock is held.
//
// Argument conversions return false with an exception set. convert_arg applies the prefix
// rule: a failure whose exception is exactly TypeError is raised again as a TypeError reading
// "argument '{name}': " plus its message (keeping its cause); any other exception passes as is.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "database/metadata_vec_table.hpp"

namespace quillmere::python {

bool to_text(PyObject* obj, std::string& out);
bool to_size(PyObject* obj, std::uint64_t& out);
bool to_float(PyObject* obj, float& out);
bool to_float_vector(PyObject* obj, std::vector<float>& out);
bool to_vector_list(PyObject* obj, std::vector<std::vector<float>>& out);
bool to_metadata(PyObject* obj, Metadata& out);
bool to_metadata_list(PyObject* obj, std::vector<Metadata>& out);
// nullptr (not given) and None are absent.
bool to_optional_size(PyObject* obj, std::optional<std::uint64_t>& out);
bool to_optional_float(PyObject* obj, std::optional<float>& out);

// Replaces an exact TypeError being raised by one prefixed with the argument's name.
void prefix_type_error(const char* name);

template <class T, class Conv>
bool convert_arg(PyObject* obj, const char* name, T& out, Conv conv) {
  if (conv(obj, out)) return true;
  prefix_type_error(name);
  return false;
}

// Results: new references. Failing to create an object is an internal failure; a failure to
// insert into a dict returns nullptr with the interpreter's exception set.
PyObject* from_text(const std::string& text);
PyObject* from_bool(bool value);
PyObject* from_count(std::uint64_t value);
PyObject* from_float(float value);
PyObject* from_names(const std::vector<std::string>& names);
PyObject* from_metadata(const Metadata& metadata);
PyObject* from_search_rows(const std::vector<std::pair<Metadata, float>>& rows);
PyObject* from_table_rows(const std::vector<std::pair<std::vector<float>, Metadata>>& rows);

}  // namespace quillmere::python
