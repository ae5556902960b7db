// words.hpp: text eight bytes at a time. Internal to tevora and its front
// ends; not part of the public API.
//
// A word holds eight bytes of text with the first byte in memory as its
// lowest byte, on any machine, so that shifts and bit counts mean the same
// on little- and big-endian targets.

#ifndef TEVORA_INTERNAL_WORDS_HPP_
#define TEVORA_INTERNAL_WORDS_HPP_

#include <bit>
#include <cstdint>
#include <cstring>

namespace tevora::internal {

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "mixed-endian machines are not supported");

// One byte value repeated in every byte of a word: `0x30 * kEachByte`.
inline constexpr std::uint64_t kEachByte = 0x0101010101010101;

// Converts between the words' order and the machine's, either way; on
// little-endian machines it is no operation at all.
constexpr std::uint64_t little_endian(std::uint64_t word) noexcept {
  if constexpr (std::endian::native == std::endian::big) {
    word = ((word & 0x00FF00FF00FF00FF) << 8) | ((word >> 8) & 0x00FF00FF00FF00FF);
    word = ((word & 0x0000FFFF0000FFFF) << 16) | ((word >> 16) & 0x0000FFFF0000FFFF);
    word = (word << 32) | (word >> 32);
  }
  return word;
}

// Eight bytes at `p`, whatever the alignment.
inline std::uint64_t load8(const void* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return little_endian(word);
}

// The inverse of `load8`.
inline void store8(void* p, std::uint64_t word) noexcept {
  word = little_endian(word);
  std::memcpy(p, &word, sizeof word);
}

}  // namespace tevora::internal

#endif  // TEVORA_INTERNAL_WORDS_HPP_
