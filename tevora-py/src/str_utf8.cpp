// A str's contents as UTF-8: encoding code points, and reading a long str a
// slice at a time.

#include "str_utf8.hpp"

#include <algorithm>

namespace tevora_py {
namespace {

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

}  // namespace

std::size_t utf8_length(const Py_UCS4* wide, std::size_t n) noexcept {
  std::size_t size = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const Py_UCS4 cp = wide[i];
    if (cp - 0xD800 < 0x800) return kNotEncodable;
    size += 1 + std::size_t{cp >= 0x80} + std::size_t{cp >= 0x800} + std::size_t{cp >= 0x10000};
  }
  return size;
}

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

// The interpreter's own encoder raises the exact error, naming the whole str
// and the surrogate's place.
bool raise_encode_error(PyObject* str) {
  const Ref encoded(PyUnicode_AsUTF8String(str));
  if (encoded) PyErr_SetString(PyExc_SystemError, "a surrogate was encoded");
  return false;
}

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

}  // namespace tevora_py
