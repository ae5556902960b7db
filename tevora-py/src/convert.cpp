// Python cell values to cell texts.

#include "convert.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

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

#if defined(__SSE2__)
// Narrows eight code points to eight bytes, noting in `seen` any that is
// not ASCII (those survive the saturating packs changed).
void narrow8(const Py_UCS4* wide, char* out, __m128i& seen) noexcept {
  __m128i low;
  __m128i high;
  std::memcpy(&low, wide, 16);
  std::memcpy(&high, wide + 4, 16);
  seen = _mm_or_si128(seen, _mm_or_si128(low, high));
  const __m128i words = _mm_packs_epi32(low, high);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(words, words));
}
#endif

// Copies code points to bytes while all are ASCII; says whether they were.
bool narrow_ascii(const Py_UCS4* wide, std::size_t n, char* out) noexcept {
#if defined(__SSE2__)
  // Eight at a time, the last eight overlapping: most cells are 8 to 16 long.
  if (n >= 8) {
    __m128i seen = _mm_setzero_si128();
    for (std::size_t i = 0; i + 8 < n; i += 8) narrow8(wide + i, out + i, seen);
    narrow8(wide + n - 8, out + n - 8, seen);
    return _mm_movemask_epi8(_mm_cmpgt_epi32(seen, _mm_set1_epi32(0x7F))) == 0;
  }
#endif
  Py_UCS4 seen = 0;
  for (std::size_t i = 0; i < n; ++i) {
    seen |= wide[i];
    out[i] = static_cast<char>(wide[i]);
  }
  return seen < 0x80;
}

constexpr std::size_t kNotEncodable = SIZE_MAX;

// The UTF-8 size of code points, or kNotEncodable if one is a surrogate.
std::size_t utf8_length(const Py_UCS4* wide, std::size_t n) noexcept {
  std::size_t size = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const Py_UCS4 cp = wide[i];
    if (cp - 0xD800 < 0x800) return kNotEncodable;
    size += 1 + std::size_t{cp >= 0x80} + std::size_t{cp >= 0x800} + std::size_t{cp >= 0x10000};
  }
  return size;
}

// Writes code points, none a surrogate, as UTF-8; returns the end.
char* encode_utf8(const Py_UCS4* wide, std::size_t n, char* out) noexcept {
  auto* o = reinterpret_cast<unsigned char*>(out);
  for (std::size_t i = 0; i < n; ++i) {
    const Py_UCS4 cp = wide[i];
    if (cp < 0x80) {
      *o++ = static_cast<unsigned char>(cp);
    } else if (cp < 0x800) {
      *o++ = static_cast<unsigned char>(0xC0 | (cp >> 6));
      *o++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *o++ = static_cast<unsigned char>(0xE0 | (cp >> 12));
      *o++ = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      *o++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    } else {
      *o++ = static_cast<unsigned char>(0xF0 | (cp >> 18));
      *o++ = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
      *o++ = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      *o++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    }
  }
  return reinterpret_cast<char*>(o);
}

// A str that cannot be encoded: the interpreter's own encoder raises the
// exact UnicodeEncodeError, with the whole str and the surrogate's place.
bool raise_encode_error(PyObject* str) {
  const Ref encoded(PyUnicode_AsUTF8String(str));
  if (encoded) PyErr_SetString(PyExc_SystemError, "a surrogate was encoded");
  return false;
}

// Calls `visit(code_points, count)` on each slice of a str in order, until
// it returns false. Each slice is a small str of its own: the limited API
// copies code points out only for a whole str.
template <typename Visit>
bool for_each_slice(PyObject* str, Visit visit) {
  Py_UCS4 scratch[kSliceLength];
  const Py_ssize_t length = PyUnicode_GetLength(str);
  if (length < 0) return false;
  for (Py_ssize_t start = 0; start < length; start += kSliceLength) {
    const Py_ssize_t end = std::min(length, start + kSliceLength);
    const Ref slice(PyUnicode_Substring(str, start, end));
    if (!slice || PyUnicode_AsUCS4(slice.get(), scratch, end - start, 0) == nullptr) return false;
    if (!visit(scratch, static_cast<std::size_t>(end - start))) break;
  }
  return true;
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
        char* start = out.reserve(24);
        out.commit(static_cast<std::size_t>(std::to_chars(start, start + 24, number).ptr - start));
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

bool utf8_size(PyObject* str, std::size_t& size) {
  size = 0;
  bool encodable = true;
  const bool read = for_each_slice(str, [&](const Py_UCS4* wide, std::size_t n) {
    const std::size_t part = utf8_length(wide, n);
    encodable = part != kNotEncodable;
    size += encodable ? part : 0;
    return encodable;
  });
  return read && (encodable || raise_encode_error(str));
}

bool write_utf8(PyObject* str, char* out) {
  return for_each_slice(str, [&out](const Py_UCS4* wide, std::size_t n) {
    out = encode_utf8(wide, n, out);
    return true;
  });
}

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
      // reference meanwhile, and look at the list's length again after.
      const Ref held = Ref::borrow(item);
      ok = append_text(item, out, scratch);
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
