// The calling frame every module function shares: the one description of each
// function (parameters, defaults, doc text), argument binding with its fixed
// messages, the argument conversions, and the containment of internal
// failures. Function bodies receive bound arguments and return a Ref (empty
// with a Python exception set on failure).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>

#include "errors.hpp"
#include "py.hpp"

namespace vamra::frame {

// A parameter's default: none (the parameter is required), or a flag, an
// unsigned size, a float or Python's None. The body receives a flag, size or
// float as if it had been given; a parameter whose default is None reads as
// nullptr when it was not given. The text signature shows the default.
struct Default {
  enum class Kind : std::uint8_t { None, Flag, Size, Real, Nothing };
  Kind kind = Kind::None;
  bool flag = false;
  std::size_t size = 0;
  double real = 0.0;
};

// One parameter of a Python-visible function.
struct Param {
  const char* name;
  Default fallback;

  constexpr Param(const char* name) : name(name) {}
  constexpr Param(const char* name, bool value)
      : name(name), fallback{Default::Kind::Flag, value, 0, 0.0} {}
  constexpr Param(const char* name, std::size_t value)
      : name(name), fallback{Default::Kind::Size, false, value, 0.0} {}
  constexpr Param(const char* name, double value)
      : name(name), fallback{Default::Kind::Real, false, 0, value} {}
  constexpr Param(const char* name, std::nullptr_t)
      : name(name), fallback{Default::Kind::Nothing, false, 0, 0.0} {}

  constexpr bool required() const { return fallback.kind == Default::Kind::None; }
};

// What binding, the method table and the text signature need of a function:
// its name, ordered parameters, how many lead as required, and its doc text
// (shown after the text signature; may be empty). No function has
// positional-only or keyword-only parameters.
struct Signature {
  const char* function;
  std::span<const Param> params;
  std::size_t required;
  const char* doc;
};

// The one description of a Python-visible function, written once as a
// constant: `Function DUMPS_RS{"dumps_rs", {{"array"}, {"compress", false}}}`.
// Required parameters lead; that is checked when the constant is made.
template <std::size_t N>
struct Function {
  const char* name;
  std::array<Param, N> params;
  std::size_t required;
  const char* doc;

  consteval Function(const char* name, const Param (&params)[N], const char* doc = "")
      : name(name), params(std::to_array(params)), required(leading_required()), doc(doc) {}
  // A function without parameters.
  consteval Function(const char* name, const char* doc)
    requires(N == 0)
      : name(name), params{}, required(0), doc(doc) {}

  constexpr Signature signature() const { return {name, params, required, doc}; }

 private:
  consteval std::size_t leading_required() const {
    std::size_t count = 0;
    while (count < N && params[count].required()) ++count;
    for (std::size_t i = count; i < N; ++i) {
      if (params[i].required()) throw "a required parameter follows one with a default";
    }
    return count;
  }
};

template <std::size_t N>
Function(const char*, const Param (&)[N], const char* = "") -> Function<N>;
Function(const char*, const char*) -> Function<0>;

// The docstring CPython reads a text signature from: "name(a, b=False)",
// a line "--", an empty line, then the doc text.
std::string docstring(const Signature& signature);

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

// Runs a body inside the frame: a Ref result becomes the return value. The
// door never throws, but the standard library may: a failed allocation becomes
// MemoryError, any other C++ exception the internal-failure exception, and
// none unwinds into the interpreter.
template <class Body>
PyObject* run(Body&& body) noexcept {
  try {
    py::Ref result = body();
    if (!result && !PyErr_Occurred()) {
      raise_internal_failure(messages::NO_EXCEPTION_SET);
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

// The bound arguments of one call, read through the function's description.
class Args {
 public:
  Args(const Signature& signature, PyObject* const* bound)
      : params_(signature.params), bound_(bound) {}

  // The argument given for parameter `index` (borrowed), or nullptr when an
  // optional parameter was not given.
  PyObject* operator[](std::size_t index) const { return bound_[index]; }

  // Converts parameter `index` with `convert`, wrapping argument errors with
  // its name; a parameter not given takes its default instead.
  template <class T, class Convert>
  bool get(std::size_t index, T& out, Convert convert) const {
    if (bound_[index] == nullptr) return take_default(params_[index].fallback, out);
    return convert_arg(params_[index].name, bound_[index], out, convert);
  }

 private:
  template <class T>
  static bool take_default(const Default& fallback, T& out) {
    using Kind = Default::Kind;
    if constexpr (std::is_same_v<T, bool>) {
      if (fallback.kind == Kind::Flag) {
        out = fallback.flag;
        return true;
      }
    } else if constexpr (std::is_floating_point_v<T>) {
      if (fallback.kind == Kind::Real) {
        out = static_cast<T>(fallback.real);
        return true;
      }
    } else if constexpr (std::is_unsigned_v<T>) {
      if (fallback.kind == Kind::Size) {
        out = static_cast<T>(fallback.size);
        return true;
      }
    }
    return errors::internal(messages::DEFAULT_MISMATCH);
  }

  std::span<const Param> params_;
  PyObject* const* bound_;
};

// Binds, then runs `body(args)` inside the frame.
template <std::size_t N, class Body>
PyObject* call(const Function<N>& function, PyObject* args, PyObject* kwargs,
               Body&& body) noexcept {
  static_assert(N > 0, "a function without parameters runs through frame::run");
  return run([&]() -> py::Ref {
    PyObject* bound[N] = {};
    const Signature signature = function.signature();
    if (!bind(signature, args, kwargs, bound)) return {};
    return body(Args(signature, bound));
  });
}

}  // namespace vamra::frame
