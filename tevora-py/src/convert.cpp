// Python cell values to cell texts, and the functions' arguments.

#include "convert.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

namespace tevora_py {
namespace {

// A str's contents, encoded strictly: a lone surrogate raises the
// interpreter's own UnicodeEncodeError.
bool append_utf8(PyObject* str, std::string& out) {
  const Ref bytes(PyUnicode_AsUTF8String(str));
  if (!bytes) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return false;
  out.append(data, static_cast<std::size_t>(size));
  return true;
}

// Text for a message: a str with unencodable characters replaced, or
// `fallback` (with the error cleared) when there is no such str.
std::string message_text(PyObject* str, const char* fallback) {
  if (str != nullptr && PyUnicode_Check(str)) {
    const Ref bytes(PyUnicode_AsEncodedString(str, "utf-8", "replace"));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (bytes && PyBytes_AsStringAndSize(bytes.get(), &data, &size) == 0) {
      return std::string(data, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return fallback;
}

std::string type_attribute(PyObject* object, const char* attribute) {
  const Ref value(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), attribute));
  return message_text(value.get(), "<unknown>");
}

void set_type_error(const std::string& message) {
  const Ref text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_TypeError, text.get());
}

// Replaces the pending exception of one list item by the column's TypeError,
// which names the item's exception but does not chain it.
void set_item_error() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  const Ref owned_type(type);
  const Ref owned_value(value);
  const Ref owned_traceback(traceback);
  const Ref name(type != nullptr ? PyObject_GetAttrString(type, "__qualname__") : nullptr);
  std::string message = "every item must be str, int, float or None: ";
  message += message_text(name.get(), "<unknown>");
  message += ": ";
  const Ref str(value != nullptr ? PyObject_Str(value) : nullptr);
  message += message_text(str.get(), "<exception str() failed>");
  set_type_error(message);
}

PyObject* take_argument(const char* function, const char* parameter, PyObject* args,
                        PyObject* kwargs) noexcept {
  const Py_ssize_t given = PyTuple_Size(args);
  PyObject* slot = given >= 1 ? PyTuple_GetItem(args, 0) : nullptr;
  if (given > 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes 1 positional arguments but %zd were given", function,
                 given);
    return nullptr;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, parameter) == 0) {
        if (slot != nullptr) {
          PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                       parameter);
          return nullptr;
        }
        slot = value;
      } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function,
                     name);
        return nullptr;
      }
    }
  }
  if (slot == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", function,
                 parameter);
  }
  return slot;
}

}  // namespace

std::size_t format_float(double value, char* out) noexcept {
  char* o = out;
  auto put = [&o](std::string_view s) { o = std::copy(s.begin(), s.end(), o); };
  if (std::isnan(value)) {
    put("NaN");
    return 3;
  }
  if (std::signbit(value)) *o++ = '-';
  if (std::isinf(value)) {
    put("inf");
    return static_cast<std::size_t>(o - out);
  }

  // Shortest round-trip digits, read back out of the scientific form
  // "d[.ddd]e[+-]xx" that std::to_chars writes.
  char scientific[kFloatTextMax];
  const auto result = std::to_chars(scientific, scientific + sizeof scientific, std::fabs(value),
                                    std::chars_format::scientific);
  char digits[kFloatTextMax];
  std::size_t n = 0;
  const char* p = scientific;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  ++p;
  const bool negative_exponent = *p == '-';
  int exponent = 0;
  for (++p; p < result.ptr; ++p) exponent = exponent * 10 + (*p - '0');
  if (negative_exponent) exponent = -exponent;
  const std::string_view significant(digits, n);

  // 1e-4 <= |value| < 1e16, and zero (exponent 0), are written positionally.
  if (exponent >= 16 || exponent < -4) {
    *o++ = digits[0];
    if (n > 1) {
      *o++ = '.';
      put(significant.substr(1));
    }
    *o++ = 'e';
    if (exponent < 0) *o++ = '-';
    o = std::to_chars(o, out + kFloatTextMax, std::abs(exponent)).ptr;
  } else if (exponent >= 0) {
    const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
    for (std::size_t i = 0; i < integer_digits; ++i) *o++ = i < n ? digits[i] : '0';
    *o++ = '.';
    if (n > integer_digits) {
      put(significant.substr(integer_digits));
    } else {
      *o++ = '0';
    }
  } else {
    put("0.");
    for (int i = -1; i > exponent; --i) *o++ = '0';
    put(significant);
  }
  return static_cast<std::size_t>(o - out);
}

bool as_text(PyObject* value, std::string& out) {
  if (value == Py_None) return true;
  if (PyUnicode_Check(value)) return append_utf8(value, out);
  if (PyLong_Check(value)) {
    // str(), so that an int subclass's own __str__ (and bool's) is used.
    const Ref str(PyObject_Str(value));
    return str && append_utf8(str.get(), out);
  }
  if (PyFloat_Check(value)) {
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred() != nullptr) return false;
    char text[kFloatTextMax];
    out.append(text, format_float(number, text));
    return true;
  }
  set_type_error("expected str, int, float or None, got " + type_attribute(value, "__name__"));
  return false;
}

bool collect(PyObject* list, CellTexts& out) {
  const Py_ssize_t start = PyList_Size(list);
  out.ends_.reserve(static_cast<std::size_t>(start));
  for (Py_ssize_t i = 0; i < std::min(start, PyList_Size(list)); ++i) {
    // Our own reference: converting the item may remove it from the list.
    const Ref item = Ref::borrow(PyList_GetItem(list, i));
    if (!as_text(item.get(), out.bytes_)) {
      set_item_error();
      return false;
    }
    out.ends_.push_back(out.bytes_.size());
  }
  return true;
}

PyObject* take_value(const char* function, PyObject* args, PyObject* kwargs) noexcept {
  return take_argument(function, "value", args, kwargs);
}

PyObject* take_values(const char* function, PyObject* args, PyObject* kwargs) noexcept {
  PyObject* values = take_argument(function, "values", args, kwargs);
  if (values != nullptr && !PyList_Check(values)) {
    const Ref name(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(values)), "__qualname__"));
    if (name) {
      PyErr_Format(PyExc_TypeError,
                   "argument 'values': '%U' object cannot be converted to 'PyList'", name.get());
    }
    return nullptr;
  }
  return values;
}

}  // namespace tevora_py
