// utf8.hpp: whether bytes are well-formed UTF-8, the only text a Python str
// can be encoded to.

#ifndef TEVORA_ARROW_UTF8_HPP_
#define TEVORA_ARROW_UTF8_HPP_

#include <cstddef>
#include <cstdint>

#include "tevora/internal/words.hpp"

namespace tevora_arrow {

// The rest of is_utf8, from the first byte that is not ASCII.
bool is_utf8_from(const unsigned char* p, const unsigned char* end) noexcept;

// Whether all the bytes are ASCII, eight at a time, the last eight overlapping.
inline bool is_ascii(const char* text, std::size_t size) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  if (size < 8) {
    unsigned seen = 0;
    for (std::size_t i = 0; i < size; ++i) seen |= p[i];
    return seen < 0x80;
  }
  std::uint64_t seen = 0;
  for (std::size_t i = 0; i + 8 < size; i += 8) seen |= tevora::internal::load8(p + i);
  seen |= tevora::internal::load8(p + size - 8);
  return (seen & (0x80 * tevora::internal::kEachByte)) == 0;
}

inline bool is_utf8(const char* text, std::size_t size) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  const unsigned char* const end = p + size;
  // Most cells are ASCII: eight bytes at a time, the last eight overlapping.
  if (size >= 8) {
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i + 8 < size; i += 8) seen |= tevora::internal::load8(p + i);
    seen |= tevora::internal::load8(end - 8);
    if ((seen & (0x80 * tevora::internal::kEachByte)) == 0) return true;
  } else {
    unsigned seen = 0;
    for (std::size_t i = 0; i < size; ++i) seen |= p[i];
    if (seen < 0x80) return true;
  }
  return is_utf8_from(p, end);
}

}  // namespace tevora_arrow

#endif  // TEVORA_ARROW_UTF8_HPP_
