// Declarative methods, in the spirit of CPython's Argument Clinic: a method is written once as
// its name, its parameters (name, conversion, default), whether the interpreter lock is released
// around its call, the call itself, how its answer converts, and its documentation. The entry
// function the interpreter calls, the argument binding and the text signature that help() shows
// ("name($self, key, dim, dist=\"cosine\")") all come from that one description.
// REQUIRES (entry functions): called by the interpreter, with its lock held.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <expected>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "common/error.hpp"
#include "python/binder.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace quillmere::python {

// One parameter. With `default_text` (as the signature shows it) it is optional, and when not
// given its value is default_value() (T{} without one); without it the parameter is required.
template <class T>
struct Param {
  const char* name;
  bool (*convert)(PyObject*, T&);
  const char* default_text = nullptr;
  T (*default_value)() = nullptr;
};

enum class Gil { Released, Held };

// `call(receiver, values...)` answers a value, a Result or nothing; `to_python` converts the
// value (nothing, and a Result<void>, become None).
template <class Call, class ToPython, class... T>
struct Method {
  const char* name;
  Gil gil;
  Call call;
  ToPython to_python;
  const char* doc;
  std::tuple<Param<T>...> params;
};

template <class Call, class ToPython, class... T>
constexpr Method<Call, ToPython, T...> method(const char* name, Gil gil, Call call,
                                              ToPython to_python, const char* doc,
                                              Param<T>... params) {
  return {name, gil, call, to_python, doc, {params...}};
}

// "name($self, a, b=None)\n--\n\n" and the documentation: what the interpreter reads the text
// signature from; "name(a, b=None)..." for a module function or a constructor (`with_self`
// false).
template <class Call, class ToPython, class... T>
std::string doc_with_signature(const Method<Call, ToPython, T...>& m, bool with_self = true) {
  std::string text = std::string(m.name) + "(" + (with_self ? "$self" : "");
  bool first = !with_self;
  std::apply(
      [&](const auto&... p) {
        ((text += std::string(std::exchange(first, false) ? "" : ", ") + p.name +
                  (p.default_text ? std::string("=") + p.default_text : "")),
         ...);
      },
      m.params);
  return text + ")\n--\n\n" + m.doc;
}

// The distance parameter (create_table_if_not_exists, calc_dist): "cosine" unless given.
inline constexpr char kDefaultDistanceText[] = "\"cosine\"";
constexpr Param<std::string> kDistParam{
    "dist", to_text, kDefaultDistanceText, +[]() -> std::string {
      return std::string(kDefaultDistanceText + 1, sizeof kDefaultDistanceText - 3);
    }};

namespace method_detail {

template <class R>
struct IsResult : std::false_type {};
template <class V>
struct IsResult<std::expected<V, Error>> : std::true_type {};

template <class ToPython, class R>
PyObject* deliver(const ToPython& to_python, R& answer) {
  if constexpr (IsResult<R>::value) {
    if (!answer) return raise_error(answer.error());
    if constexpr (std::is_void_v<typename R::value_type>)
      return Py_NewRef(Py_None);
    else
      return to_python(*answer);
  } else {
    return to_python(answer);
  }
}

template <class... T, std::size_t... I>
bool convert_all(const std::tuple<Param<T>...>& params, PyObject* const* slots,
                 std::tuple<T...>& values, std::index_sequence<I...>) {
  [[maybe_unused]] auto one = [](const auto& param, PyObject* slot, auto& value) {
    if (slot == nullptr) {
      if (param.default_value != nullptr) value = param.default_value();
      return true;
    }
    return convert_arg(slot, param.name, value, param.convert);
  };
  return (one(std::get<I>(params), slots[I], std::get<I>(values)) && ...);
}

}  // namespace method_detail

// The parameter names of a method and how many of them are required (those without a default).
template <std::size_t N>
struct ParamNames {
  std::array<const char*, N> names;
  std::size_t required;
};
template <class Call, class ToPython, class... T>
ParamNames<sizeof...(T)> param_names(const Method<Call, ToPython, T...>& m) {
  constexpr std::size_t n = sizeof...(T);
  return std::apply(
      [](const auto&... p) {
        return ParamNames<n>{{p.name...},
                             (std::size_t{0} + ... + (p.default_text == nullptr ? 1u : 0u))};
      },
      m.params);
}

// Converts the bound arguments in declaration order (the first failure is raised), makes the
// call (with the lock released when the method says so) and converts the answer.
template <class Receiver, class Call, class ToPython, class... T>
PyObject* convert_and_call(const Method<Call, ToPython, T...>& m, Receiver& receiver,
                           PyObject* const* slots) {
  std::tuple<T...> values;
  if (!method_detail::convert_all(m.params, slots, values, std::index_sequence_for<T...>{}))
    return nullptr;
  auto run = [&] {
    return std::apply([&](T&... v) { return m.call(receiver, std::move(v)...); }, values);
  };
  if constexpr (std::is_void_v<decltype(run())>) {
    if (m.gil == Gil::Released)
      without_gil(run);
    else
      run();
    return Py_NewRef(Py_None);
  } else {
    auto answer = m.gil == Gil::Released ? without_gil(run) : run();
    return method_detail::deliver(m.to_python, answer);
  }
}

// Binds fast-call arguments to the parameters, then convert_and_call. `callable` names the
// method in binding messages ("VecDB.search()").
template <class Receiver, class Call, class ToPython, class... T>
PyObject* invoke(const Method<Call, ToPython, T...>& m, const char* callable, Receiver& receiver,
                 PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto p = param_names(m);
  std::array<PyObject*, sizeof...(T) + 1> slots{};
  if (!bind_fast({callable, p.names, p.required}, args, nargs, kwnames, slots.data()))
    return nullptr;
  return convert_and_call(m, receiver, slots.data());
}

// The same for an argument tuple and keyword dictionary (a type's tp_new).
template <class Receiver, class Call, class ToPython, class... T>
PyObject* invoke_tuple(const Method<Call, ToPython, T...>& m, const char* callable,
                       Receiver& receiver, PyObject* args, PyObject* kwargs) {
  const auto p = param_names(m);
  std::array<PyObject*, sizeof...(T) + 1> slots{};
  if (!bind_tuple({callable, p.names, p.required}, args, kwargs, slots.data())) return nullptr;
  return convert_and_call(m, receiver, slots.data());
}

}  // namespace quillmere::python
