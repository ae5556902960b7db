// Python cell values to cell texts, and the functions' arguments.

#include "convert.hpp"

#include <emmintrin.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <vector>

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

// A str's code points, copied out of the object without making a bytes
// object per cell; short strings use the inline part, written before read.
class Ucs4Scratch {  // NOLINT(cppcoreguidelines-pro-type-member-init)
 public:
  Py_UCS4* reserve(std::size_t n) {
    if (n <= std::size(inline_)) return inline_;
    if (heap_.size() < n) heap_.resize(n);
    return heap_.data();
  }

 private:
  Py_UCS4 inline_[64];
  std::vector<Py_UCS4> heap_;
};

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

// Copies code points to bytes while all are ASCII; says whether they were.
bool narrow_ascii(const Py_UCS4* wide, std::size_t n, char* out) noexcept {
  if (n < 8) {
    Py_UCS4 seen = 0;
    for (std::size_t i = 0; i < n; ++i) {
      seen |= wide[i];
      out[i] = static_cast<char>(wide[i]);
    }
    return seen < 0x80;
  }
  __m128i seen = _mm_setzero_si128();
  for (std::size_t i = 0; i + 8 < n; i += 8) narrow8(wide + i, out + i, seen);
  narrow8(wide + n - 8, out + n - 8, seen);  // the last eight, overlapping
  return _mm_movemask_epi8(_mm_cmpgt_epi32(seen, _mm_set1_epi32(0x7F))) == 0;
}

// A str's contents as UTF-8, written into `out`. A lone surrogate cannot be
// encoded: the interpreter's own encoder then raises its UnicodeEncodeError.
template <typename Sink>
bool append_str(PyObject* str, Sink& out, Ucs4Scratch& scratch) {
  const Py_ssize_t length = PyUnicode_GetLength(str);
  if (length < 0) return false;
  const auto n = static_cast<std::size_t>(length);
  Py_UCS4* wide = scratch.reserve(n);
  if (n > 0 && PyUnicode_AsUCS4(str, wide, length, 0) == nullptr) return false;
  // Most cells are ASCII: narrow them eight code points at a time, and fall
  // back to encoding only when one is not.
  if (narrow_ascii(wide, n, out.reserve(n))) {
    out.commit(n);
    return true;
  }
  char* const start = out.reserve(4 * n);
  auto* o = reinterpret_cast<unsigned char*>(start);
  for (std::size_t i = 0; i < n; ++i) {
    const Py_UCS4 cp = wide[i];
    if (cp < 0x80) {
      *o++ = static_cast<unsigned char>(cp);
    } else if (cp < 0x800) {
      *o++ = static_cast<unsigned char>(0xC0 | (cp >> 6));
      *o++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      if (cp >= 0xD800 && cp <= 0xDFFF) {
        const Ref raised(PyUnicode_AsUTF8String(str));  // sets the exact error
        if (!raised) return false;
        PyErr_SetString(PyExc_SystemError, "a surrogate was encoded");
        return false;
      }
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
  out.commit(static_cast<std::size_t>(reinterpret_cast<char*>(o) - start));
  return true;
}

// Whether converting the value cannot run Python code: None, and the exact
// str and float types. Not int: str() of a huge one runs Python code from
// CPython 3.12 on.
bool runs_no_python(PyObject* value) noexcept {
  PyTypeObject* type = Py_TYPE(value);
  return value == Py_None || type == &PyUnicode_Type || type == &PyFloat_Type;
}

template <typename Sink>
bool append_text(PyObject* value, Sink& out, Ucs4Scratch& scratch) {
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
    char* start = out.reserve(kFloatTextMax);
    out.commit(format_float(number, start));
    return true;
  }
  set_type_error("expected str, int, float or None, got " + type_attribute(value, "__name__"));
  return false;
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

bool as_text(PyObject* value, CellText& out) {
  Ucs4Scratch scratch;
  return append_text(value, out, scratch);
}

bool collect(PyObject* list, CellTexts& out) {
  Ucs4Scratch scratch;
  const Py_ssize_t start = PyList_Size(list);
  out.expect(static_cast<std::size_t>(start));
  Py_ssize_t end = start;
  for (Py_ssize_t i = 0; i < end; ++i) {
    PyObject* item = PyList_GetItem(list, i);
    bool ok = false;
    if (runs_no_python(item)) {
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

// ---- CellTexts -------------------------------------------------------------

namespace {

// A cell's header is one byte: how it was replaced, and a length below 63,
// or 63 and a 64-bit length after it. Most cells are short, and every byte a
// cell takes is a byte of fresh memory per cell.
constexpr unsigned char kPacked = 0x80;  // the payload holds packed digits
constexpr unsigned char kPadded = 0x40;  // the digits are zeros, then the text
constexpr unsigned char kLongLength = 0x3F;
}  // namespace

CellTexts::~CellTexts() { clear(); }

void CellTexts::expect(std::size_t cells) noexcept { expected_ = cells; }

char* CellTexts::reserve(std::size_t max) {
  reserved_header_ = max < kLongLength ? 1 : 9;
  const std::size_t needed = used_ + reserved_header_ + max;
  if (needed > capacity_) grow(needed);
  return base_ + used_ + reserved_header_;
}

void CellTexts::grow(std::size_t needed) {
  // Sixteen bytes a cell hold a typical column without growing. The heap,
  // unlike a mapping of our own, keeps its pages warm from call to call.
  const std::size_t capacity = std::max({needed, 2 * capacity_, 16 * expected_, std::size_t{256}});
  void* grown = std::realloc(base_, capacity);
  if (grown == nullptr) throw std::bad_alloc();
  base_ = static_cast<char*>(grown);
  capacity_ = capacity;
}

void CellTexts::commit(std::size_t length) noexcept {
  char* header = base_ + used_;
  if (reserved_header_ == 1) {
    *header = static_cast<char>(length);
  } else {
    const std::uint64_t long_length = length;
    *header = static_cast<char>(kLongLength);
    std::memcpy(header + 1, &long_length, 8);
  }
  used_ += reserved_header_ + length;
  ++cells_;
}

CellTexts::Cell CellTexts::cell_at(std::size_t offset) const noexcept {
  Cell cell;
  cell.header_ = reinterpret_cast<unsigned char*>(base_ + offset);
  const unsigned char header = *cell.header_;
  cell.packed_ = (header & kPacked) != 0;
  cell.padded_ = (header & kPadded) != 0;
  cell.length_ = header & kLongLength;
  cell.payload_ = base_ + offset + 1;
  if (cell.length_ == kLongLength) {
    std::uint64_t long_length = 0;
    std::memcpy(&long_length, cell.payload_, 8);
    cell.length_ = static_cast<std::size_t>(long_length);
    cell.payload_ += 8;
  }
  return cell;
}

namespace {

constexpr std::uint64_t kEachByte = 0x0101010101010101;

std::uint64_t load8(const char* p) noexcept {
  std::uint64_t word = 0;
  std::memcpy(&word, p, 8);
  return word;
}

void store8(char* p, std::uint64_t word) noexcept { std::memcpy(p, &word, 8); }

// Eight ASCII digits, in memory order, as eight nibbles in four bytes.
std::uint32_t pack8(const char* digits) noexcept {
  std::uint64_t x = 0;
  std::memcpy(&x, digits, 8);
  x = (x - 0x30 * kEachByte) & (0x0F * kEachByte);
  x = (x | (x >> 4)) & 0x00FF00FF00FF00FF;
  x = (x | (x >> 8)) & 0x0000FFFF0000FFFF;
  return static_cast<std::uint32_t>(x | (x >> 16));
}

// The inverse of pack8.
void unpack8(std::uint32_t packed, char* digits) noexcept {
  std::uint64_t x = packed;
  x = (x | (x << 16)) & 0x0000FFFF0000FFFF;
  x = (x | (x << 8)) & 0x00FF00FF00FF00FF;
  x = (x | (x << 4)) & (0x0F * kEachByte);
  x += 0x30 * kEachByte;
  std::memcpy(digits, &x, 8);
}

}  // namespace

void CellTexts::Cell::replace(std::string_view fourteen_digits) noexcept {
  // A text of plain digits needs no copy: it is the digits' tail. Eight to
  // fourteen bytes are two overlapping words.
  const char* tail = fourteen_digits.data() + 14 - length_;
  if (length_ <= 14 && load8(payload_) == load8(tail) &&
      load8(payload_ + length_ - 8) == load8(fourteen_digits.data() + 6)) {
    *header_ = static_cast<unsigned char>(*header_ | kPadded);
    padded_ = true;
    return;
  }
  // Otherwise digits 1 to 8 and 7 to 14 as nibbles fit the eight bytes
  // that every text holding a GTIN has.
  const std::uint32_t packed[2] = {pack8(fourteen_digits.data()),
                                   pack8(fourteen_digits.data() + 6)};
  std::memcpy(payload_, packed, 8);
  *header_ = static_cast<unsigned char>(*header_ | kPacked);
  packed_ = true;
}

void CellTexts::Cell::digits(char* out) const noexcept {
  if (padded_) {
    store8(out, 0x30 * kEachByte);
    store8(out + 6, load8(payload_ + length_ - 8));
    store8(out + 14 - length_, load8(payload_));
    return;
  }
  std::uint32_t packed[2];
  std::memcpy(packed, payload_, 8);
  unpack8(packed[0], out);
  unpack8(packed[1], out + 6);
}

void CellTexts::clear() noexcept {
  std::free(base_);
  base_ = nullptr;
  capacity_ = used_ = cells_ = 0;
}

char* CellText::reserve(std::size_t max) {
  if (max <= sizeof inline_) {
    data_ = inline_;
  } else {
    heap_.resize(max);
    data_ = heap_.data();
  }
  return data_;
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
