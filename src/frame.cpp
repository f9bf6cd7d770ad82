#include "frame.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "errors.hpp"

namespace vamra::frame {

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else {
        out += (i + 1 == names.size()) ? ", and " : ", ";
      }
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

}  // namespace

namespace {

// A default as a Python literal: False, 64, 5.0.
std::string literal(const Default& fallback) {
  switch (fallback.kind) {
    case Default::Kind::Flag:
      return fallback.flag ? "True" : "False";
    case Default::Kind::Size:
      return std::to_string(fallback.size);
    case Default::Kind::Real: {
      char text[32];
      const auto end = std::to_chars(text, text + sizeof text, fallback.real).ptr;
      std::string out(text, end);
      // The shortest form of a whole number has no point; Python's has.
      if (out.find_first_of(".en") == std::string::npos) out += ".0";
      return out;
    }
    case Default::Kind::Nothing:
      return "None";
    case Default::Kind::None:
      break;
  }
  return {};
}

}  // namespace

std::string docstring(const Signature& signature) {
  std::string out = std::string(signature.function) + "(";
  for (std::size_t i = 0; i < signature.params.size(); ++i) {
    const Param& param = signature.params[i];
    if (i > 0) out += ", ";
    out += param.name;
    if (!param.required()) out += "=" + literal(param.fallback);
  }
  return out + ")\n--\n\n" + signature.doc;
}

bool bind(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** out) {
  using namespace messages;
  const char* fn = signature.function;
  const std::size_t count = signature.params.size();
  const Py_ssize_t given = args != nullptr ? PyTuple_Size(args) : 0;
  if (given < 0) return false;
  if (static_cast<std::size_t>(given) > count) {
    const char* verb = given == 1 ? "was" : "were";
    if (signature.required < count) {
      return errors::raise(PyExc_TypeError, TOO_MANY_POSITIONAL_RANGE, fn, signature.required,
                           count, given, verb);
    }
    return errors::raise(PyExc_TypeError, TOO_MANY_POSITIONAL, fn, count, given, verb);
  }
  for (Py_ssize_t i = 0; i < given; ++i) out[i] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_ssize_t size = 0;
      const char* name = PyUnicode_AsUTF8AndSize(key, &size);
      if (name == nullptr) return false;
      std::size_t index = count;
      for (std::size_t i = 0; i < count; ++i) {
        const char* param = signature.params[i].name;
        if (std::strlen(param) == static_cast<std::size_t>(size) &&
            std::memcmp(param, name, static_cast<std::size_t>(size)) == 0) {
          index = i;
          break;
        }
      }
      const std::string_view shown(name, static_cast<std::size_t>(size));
      if (index == count) return errors::raise(PyExc_TypeError, UNEXPECTED_KEYWORD, fn, shown);
      if (out[index] != nullptr) {
        return errors::raise(PyExc_TypeError, MULTIPLE_VALUES, fn, shown);
      }
      out[index] = value;
    }
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (out[i] == nullptr) missing.push_back(signature.params[i].name);
  }
  if (!missing.empty()) {
    return errors::raise(PyExc_TypeError, MISSING_REQUIRED, fn, missing.size(),
                         missing.size() == 1 ? "argument" : "arguments", quoted_list(missing));
  }
  return true;
}

bool to_flag(PyObject* object, bool& out) {
  if (PyBool_Check(object)) {
    out = object == Py_True;
    return true;
  }
  // NumPy's boolean scalars are flags too; they are told apart by their
  // type's module and name, so NumPy need not be imported.
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  py::Ref module = py::getattr(type, "__module__");
  if (!module) {
    PyErr_Clear();
  } else if (PyUnicode_Check(module.get()) &&
             PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0) {
    const std::string name = py::type_name(object);
    if (name == "bool_" || name == "bool") {
      const int truth = PyObject_IsTrue(object);
      if (truth < 0) return false;
      out = truth == 1;
      return true;
    }
  }
  return errors::raise(PyExc_TypeError, messages::CANNOT_CONVERT, py::type_name(object), "PyBool");
}

namespace {

// The int behind `object` through __index__.
py::Ref as_index(PyObject* object) { return py::Ref::steal(PyNumber_Index(object)); }

}  // namespace

bool to_size(PyObject* object, std::size_t& out) {
  py::Ref index = as_index(object);
  if (!index) return false;
  const std::size_t value = PyLong_AsSize_t(index.get());
  if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_u32(PyObject* object, std::uint32_t& out) {
  std::size_t value = 0;
  if (!to_size(object, value)) return false;
  if (value > UINT32_MAX) return errors::raise(PyExc_OverflowError, messages::OUT_OF_RANGE);
  out = static_cast<std::uint32_t>(value);
  return true;
}

bool to_u8(PyObject* object, std::uint8_t& out) {
  std::size_t value = 0;
  if (!to_size(object, value)) return false;
  if (value > UINT8_MAX) return errors::raise(PyExc_OverflowError, messages::OUT_OF_RANGE);
  out = static_cast<std::uint8_t>(value);
  return true;
}

bool to_i64(PyObject* object, std::int64_t& out) {
  py::Ref index = as_index(object);
  if (!index) return false;
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_i32(PyObject* object, std::int32_t& out) {
  std::int64_t value = 0;
  if (!to_i64(object, value)) return false;
  if (value < INT32_MIN || value > INT32_MAX) {
    return errors::raise(PyExc_OverflowError, messages::OUT_OF_RANGE);
  }
  out = static_cast<std::int32_t>(value);
  return true;
}

bool to_double(PyObject* object, double& out) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool wrap_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  py::Ref owned_type = py::Ref::steal(type);
  py::Ref owned_value = py::Ref::steal(value);
  py::Ref owned_traceback = py::Ref::steal(traceback);
  if (type != PyExc_TypeError) {
    // A subclass of TypeError passes unchanged.
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
    return false;
  }
  const std::string message =
      messages::format(messages::ARGUMENT_ERROR, name, value ? py::str_of(value) : std::string());
  py::Ref replacement =
      py::Ref::steal(PyObject_CallFunction(PyExc_TypeError, "s", message.c_str()));
  if (!replacement) return false;
  if (value != nullptr) {
    PyObject* cause = PyException_GetCause(value);   // new reference or null
    PyException_SetCause(replacement.get(), cause);  // steals it
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
  return false;
}

namespace {

PyObject* g_internal_failure = nullptr;

}  // namespace

PyObject* internal_failure_type() {
  PyObject*& type = g_internal_failure;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(messages::INTERNAL_FAILURE_NAME,
                                     messages::INTERNAL_FAILURE_DOC, PyExc_BaseException, nullptr);
  }
  return type;
}

bool adopt_internal_failure_type(const char* owner) {
  if (g_internal_failure != nullptr) return true;
  py::Ref module = py::import(owner);
  if (!module) return false;
  py::Ref type = py::getattr(module.get(), "InternalFailure");
  if (!type) return false;
  g_internal_failure = type.release();  // kept for the life of the process
  return true;
}

void raise_internal_failure(const char* message) {
  PyObject* type = internal_failure_type();
  if (type == nullptr) return;  // creating the class failed and set its own error
  PyErr_SetString(
      type, message != nullptr && *message != '\0' ? message : messages::INTERNAL_FAILURE_GENERIC);
}

}  // namespace vamra::frame
