// str_utf8.hpp: a str's contents as UTF-8, through the limited API.
//
// The limited API copies a str out only as code points, four bytes each, and
// only whole. So a short str is copied out once and narrowed (most cells are
// ASCII), and a long one is read a slice at a time, so that converting it
// never holds more than its UTF-8 form.

#ifndef TEVORA_PY_STR_UTF8_HPP_
#define TEVORA_PY_STR_UTF8_HPP_

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pyref.hpp"

namespace tevora_py {

// A str longer than this many code points is read a slice at a time.
inline constexpr Py_ssize_t kSliceLength = 4096;

#if defined(__SSE2__)
// Narrows eight code points to eight bytes, noting in `seen` any that is
// not ASCII (those survive the saturating packs changed).
inline void narrow8(const Py_UCS4* wide, char* out, __m128i& seen) noexcept {
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
inline bool narrow_ascii(const Py_UCS4* wide, std::size_t n, char* out) noexcept {
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

// What utf8_length gives for code points that hold a surrogate.
inline constexpr std::size_t kNotEncodable = SIZE_MAX;

// The UTF-8 size of code points, or kNotEncodable if one is a surrogate.
std::size_t utf8_length(const Py_UCS4* wide, std::size_t n) noexcept;

// Writes code points, none a surrogate, as UTF-8; returns the end.
char* encode_utf8(const Py_UCS4* wide, std::size_t n, char* out) noexcept;

// Raises the interpreter's own UnicodeEncodeError for a str that cannot be
// encoded; returns false.
bool raise_encode_error(PyObject* str);

// The UTF-8 size of a str, read a slice at a time. False with the
// interpreter's own UnicodeEncodeError set if the str cannot be encoded (a
// lone surrogate), or with MemoryError.
bool utf8_size(PyObject* str, std::size_t& size);

// Writes the UTF-8 form of a str that utf8_size measured, a slice at a time.
bool write_utf8(PyObject* str, char* out);

}  // namespace tevora_py

#endif  // TEVORA_PY_STR_UTF8_HPP_
