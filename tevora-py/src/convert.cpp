// Python cell values to cell texts.

#include "convert.hpp"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <string>

#include "str_utf8.hpp"
#include "tevora/tevora.hpp"

namespace tevora_py {
namespace {

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

// The rest of append_str: a str that is long, or not all ASCII. `scratch`
// holds the code points of a short one.
template <typename Sink>
bool append_wide_str(PyObject* str, Py_ssize_t length, Sink& out, const Py_UCS4* scratch) {
  if (length > kSliceLength) {
    std::size_t size = 0;
    if (!utf8_size(str, size)) return false;
    char* const start = out.reserve(size);
    if (!write_utf8(str, start)) return false;
    out.commit(size);
    return true;
  }
  const auto n = static_cast<std::size_t>(length);
  const std::size_t size = utf8_length(scratch, n);
  if (size == kNotEncodable) return raise_encode_error(str);
  encode_utf8(scratch, n, out.reserve(size));
  out.commit(size);
  return true;
}

// A str's contents as UTF-8, written into `out`. Most cells are short and
// ASCII: their code points are copied out once and narrowed.
template <typename Sink>
inline bool append_str(PyObject* str, Sink& out, Py_UCS4* scratch) {
  const Py_ssize_t length = PyUnicode_GetLength(str);
  if (length < 0) return false;
  if (length <= kSliceLength) {
    const auto n = static_cast<std::size_t>(length);
    if (n > 0 && PyUnicode_AsUCS4(str, scratch, length, 0) == nullptr) return false;
    if (narrow_ascii(scratch, n, out.reserve(n))) {
      out.commit(n);
      return true;
    }
  }
  return append_wide_str(str, length, out, scratch);
}

// Whether converting the value cannot run Python code: None, and the exact
// str and float types. Not int: str() of a huge one runs Python code from
// CPython 3.12 on.
bool runs_no_python(PyObject* value) noexcept {
  PyTypeObject* type = Py_TYPE(value);
  return value == Py_None || type == &PyUnicode_Type || type == &PyFloat_Type;
}

template <typename Sink>
bool append_text(PyObject* value, Sink& out, Py_UCS4* scratch) {
  if (value == Py_None) {
    out.reserve(0);
    out.commit(0);
    return true;
  }
  // Exact types first: each test is then a pointer comparison, not a call.
  PyTypeObject* type = Py_TYPE(value);
  if (type == &PyUnicode_Type) return append_str(value, out, scratch);
  if (PyUnicode_Check(value)) return append_str(value, out, scratch);
  if (PyLong_Check(value)) {
    // A plain int that fits in 64 bits reads the same as its str(); any
    // other (bool, a subclass with its own __str__, a huge int) goes
    // through str() itself, whose errors pass on unchanged.
    if (PyLong_CheckExact(value)) {
      int overflow = 0;
      const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
      if (overflow == 0 && !(number == -1 && PyErr_Occurred() != nullptr)) {
        out.commit(tevora::integer_text(number, out.reserve(tevora::kIntegerTextMax)));
        return true;
      }
      PyErr_Clear();
    }
    const Ref str(PyObject_Str(value));
    return str && append_str(str.get(), out, scratch);
  }
  if (PyFloat_Check(value)) {
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred() != nullptr) return false;
    char* start = out.reserve(tevora::kFloatTextMax);
    out.commit(tevora::float_text(number, start));
    return true;
  }
  set_type_error("expected str, int, float or None, got " + type_attribute(value, "__name__"));
  return false;
}

}  // namespace

bool as_text(PyObject* value, CellText& out) {
  Py_UCS4 scratch[kSliceLength];
  return append_text(value, out, scratch);
}

bool collect(PyObject* list, CellTexts& out) {
  Py_UCS4 scratch[kSliceLength];
  const Py_ssize_t start = PyList_Size(list);
  out.expect(static_cast<std::size_t>(start));
  Py_ssize_t end = start;
  for (Py_ssize_t i = 0; i < end; ++i) {
    PyObject* item = PyList_GetItem(list, i);
    bool ok = false;
    if (Py_TYPE(item) == &PyUnicode_Type) {
      ok = append_str(item, out, scratch);  // the commonest cell, first
    } else if (runs_no_python(item)) {
      ok = append_text(item, out, scratch);
    } else {
      // Converting may run Python code that changes the list: hold our own
      // reference meanwhile, and look at the list's length again after. By
      // hand, not in a Ref: should the interpreter end this thread inside
      // that code at exit, the unwind must not touch the item without the
      // lock, and the reference it leaves behind then is harmless.
      Py_INCREF(item);
      try {
        ok = append_text(item, out, scratch);
      } catch (const std::exception&) {
        Py_DECREF(item);
        throw;
      }
      Py_DECREF(item);
      end = std::min(start, PyList_Size(list));
    }
    if (!ok) {
      set_item_error();
      return false;
    }
  }
  return true;
}

char* CellText::reserve(std::size_t max) {
  if (max <= sizeof inline_) {
    data_ = inline_;
  } else {
    heap_ = std::make_unique_for_overwrite<char[]>(max);
    data_ = heap_.get();
  }
  return data_;
}

}  // namespace tevora_py
