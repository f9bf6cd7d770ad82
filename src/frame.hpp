// The calling frame every module function shares: argument binding with its
// fixed messages, the argument conversions, and the containment of internal
// failures. Function bodies receive bound arguments and return a Ref (empty
// with a Python exception set on failure).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "py.hpp"

namespace vamra::frame {

// A function's parameters: name, ordered parameter names, how many lead as
// required. No function has positional-only or keyword-only parameters.
struct Signature {
  const char* function;
  std::span<const char* const> params;
  std::size_t required;
};

// Binds positional and keyword arguments to `out` (params.size() slots;
// borrowed references, nullptr where an optional parameter was not given).
// Raises TypeError with the fixed binding messages.
bool bind(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** out);

// Conversions. Each returns false with a Python exception set.
// A flag: bool, or a NumPy boolean scalar (through its __bool__).
bool to_flag(PyObject* object, bool& out);
// An unsigned machine word through __index__; negative or too large: OverflowError.
bool to_size(PyObject* object, std::size_t& out);
bool to_u32(PyObject* object, std::uint32_t& out);
bool to_u8(PyObject* object, std::uint8_t& out);
bool to_i32(PyObject* object, std::int32_t& out);
bool to_i64(PyObject* object, std::int64_t& out);
// A float through CPython's float protocol (__float__ or __index__).
bool to_double(PyObject* object, double& out);

// Rewraps a pending exception of class exactly TypeError as
// TypeError("argument '<name>': <text>") keeping its __cause__; any other
// pending exception is left as it is. Always returns false.
bool wrap_argument_error(const char* name);

// Converts argument `name` with `convert`, applying the argument wrapping.
template <class T, class Convert>
bool convert_arg(const char* name, PyObject* object, T& out, Convert convert) {
  return convert(object, out) || wrap_argument_error(name);
}

// Raises the internal-failure exception with `message` (a generic text when null).
void raise_internal_failure(const char* message);

// The internal-failure exception class (derived directly from BaseException),
// created on first use.
PyObject* internal_failure_type();

// Makes attribute InternalFailure of module `owner` this module's
// internal-failure class, so that one class serves every extension module of
// the package. Returns false with the import or attribute error set.
bool adopt_internal_failure_type(const char* owner);

// Runs a body inside the frame: a Ref result becomes the return value; an
// internal failure (or any C++ exception) becomes a Python exception and never
// unwinds into the interpreter.
template <class Body>
PyObject* run(Body&& body) noexcept {
  try {
    py::Ref result = body();
    if (!result && !PyErr_Occurred()) {
      raise_internal_failure("function failed without setting an exception");
    }
    return result.release();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_internal_failure(failure.what());
  } catch (...) {
    raise_internal_failure(nullptr);
  }
  return nullptr;
}

// Binds, then runs `body(bound)` inside the frame.
template <std::size_t N, class Body>
PyObject* call(const char* function, const char* const (&params)[N], std::size_t required,
               PyObject* args, PyObject* kwargs, Body&& body) noexcept {
  return run([&]() -> py::Ref {
    PyObject* bound[N] = {};
    const Signature signature{function, std::span<const char* const>(params, N), required};
    if (!bind(signature, args, kwargs, bound)) return {};
    return body(bound);
  });
}

}  // namespace vamra::frame
