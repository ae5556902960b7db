// The cell parser: one pass, one code point at a time, no allocation.

#include "tevora/parser.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "tevora/internal/words.hpp"

namespace tevora {
namespace {

// What a code point does to the scan. Zero-width characters act as whitespace.
enum class Class : unsigned char { Digit, Whitespace, Dash, Decimal, Refuse };

constexpr std::array<Class, 128> make_ascii_classes() noexcept {
  std::array<Class, 128> classes{};
  for (auto& c : classes) c = Class::Refuse;
  for (unsigned char c = '0'; c <= '9'; ++c) classes[c] = Class::Digit;
  for (char c : {'\t', '\n', '\v', '\f', '\r', ' '})
    classes[static_cast<unsigned char>(c)] = Class::Whitespace;
  classes['-'] = Class::Dash;
  classes[','] = Class::Decimal;
  classes['.'] = Class::Decimal;
  return classes;
}
constexpr std::array<Class, 128> kAsciiClasses = make_ascii_classes();

// Classifies the code point whose UTF-8 form starts at p[0] >= 0x80, with
// `left` bytes available. The accepted non-ASCII code points are few, so each
// is matched by its exact encoding; anything else, malformed sequences
// included, refuses. `length` is set for the accepted ones only.
constexpr Class classify_non_ascii(const unsigned char* p, std::size_t left,
                                   std::size_t& length) noexcept {
  if (p[0] == 0xC2) {
    if (left < 2) return Class::Refuse;
    length = 2;
    switch (p[1]) {
      case 0x85:  // NEXT LINE
      case 0xA0:  // NO-BREAK SPACE
        return Class::Whitespace;
      case 0xAD:  // SOFT HYPHEN
        return Class::Dash;
      default:
        return Class::Refuse;
    }
  }
  if (left < 3) return Class::Refuse;
  length = 3;
  const unsigned char b1 = p[1];
  const unsigned char b2 = p[2];
  switch (p[0]) {
    case 0xE1:  // OGHAM SPACE MARK
      return b1 == 0x9A && b2 == 0x80 ? Class::Whitespace : Class::Refuse;
    case 0xE2:
      if (b1 == 0x80) {
        // U+2000..U+200A spaces, U+200B ZERO WIDTH SPACE.
        if (b2 >= 0x80 && b2 <= 0x8B) return Class::Whitespace;
        // U+2010..U+2015 hyphens and dashes.
        if (b2 >= 0x90 && b2 <= 0x95) return Class::Dash;
        // LINE SEPARATOR, PARAGRAPH SEPARATOR, NARROW NO-BREAK SPACE.
        if (b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) return Class::Whitespace;
        return Class::Refuse;
      }
      if (b1 == 0x81) {
        // MEDIUM MATHEMATICAL SPACE, WORD JOINER.
        return b2 == 0x9F || b2 == 0xA0 ? Class::Whitespace : Class::Refuse;
      }
      // MINUS SIGN.
      return b1 == 0x88 && b2 == 0x92 ? Class::Dash : Class::Refuse;
    case 0xE3:  // IDEOGRAPHIC SPACE
      return b1 == 0x80 && b2 == 0x80 ? Class::Whitespace : Class::Refuse;
    case 0xEF:  // ZERO WIDTH NO-BREAK SPACE
      return b1 == 0xBB && b2 == 0xBF ? Class::Whitespace : Class::Refuse;
    default:
      return Class::Refuse;
  }
}

using internal::kEachByte;
using internal::load8;
using internal::store8;

// Zero exactly when all eight bytes are ASCII digits. Take the lowest byte c
// that is not a digit: no borrow or carry reaches it from the digits below,
// so c >= 0x80 shows in the word itself, c < 0x30 in the subtraction and
// 0x3A <= c < 0x80 in the addition, each as the byte's high bit.
constexpr std::uint64_t non_digits(std::uint64_t word) noexcept {
  return (word | (word - 0x30 * kEachByte) | (word + 0x46 * kEachByte)) & (0x80 * kEachByte);
}

// The value of 8 to 14 digits, right-aligned in fourteen '0' characters.
// `digits` holds `count` digits, so the two words read stay inside it.
Gtin14 right_aligned(const unsigned char* digits, std::size_t count) noexcept {
  const unsigned shift = 8 * static_cast<unsigned>(Gtin14::kSize - count);  // 0 to 48 bits
  const std::uint64_t zeros = (0x30 * kEachByte) & ((std::uint64_t{1} << shift) - 1);
  // Positions 1 to 8: the filling zeros, then the first digits; positions 9
  // to 14: the last six digits.
  return internal::Gtin14Access::from_words((load8(digits) << shift) | zeros,
                                            load8(digits + count - 8) >> 16);
}

// Every cell that is not plain digits: runs of digits a word at a time,
// anything else one code point at a time. Kept out of line so that the plain cells
// pay for none of its registers.
[[gnu::noinline]] Parsed parse_code_points(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  const Parsed::Refused non_numeric{text, Reason::NonNumeric};
  if (n == 0) return Parsed::Refused{text, Reason::Empty};

  // The first fourteen integer digits; a run of eight may spill past them
  // into the slack, which is never read.
  unsigned char buffer[Gtin14::kSize + 8] = {};  // NOLINT(cppcoreguidelines-avoid-c-arrays)
  std::size_t count = 0;                         // integer digits, counted past fourteen
  std::size_t fraction_digits = 0;
  bool in_fraction = false;
  bool removed_whitespace = false;
  bool removed_separators = false;

  for (std::size_t i = 0; i < n;) {
    // The run of digits starting at i, up to eight at once. Near the end of
    // a cell of eight bytes or more, the last word is shifted down so that
    // zero bytes, which are no digits, stand past the end.
    const std::size_t left = n - i;
    if (n >= 8) {
      const std::uint64_t word =
          left >= 8 ? load8(p + i) : load8(p + n - 8) >> (8 * (8 - static_cast<unsigned>(left)));
      const std::uint64_t faults = non_digits(word);
      const std::size_t run =
          faults == 0 ? 8 : static_cast<std::size_t>(std::countr_zero(faults)) / 8;
      if (in_fraction) {
        fraction_digits += run;
      } else {
        if (count < Gtin14::kSize) store8(reinterpret_cast<char*>(buffer + count), word);
        count += run;
      }
      i += run;
      if (run == 8 || i == n) continue;
    }
    const unsigned char c = p[i];
    std::size_t length = 1;
    const Class cls = c < 0x80 ? kAsciiClasses[c] : classify_non_ascii(p + i, n - i, length);
    switch (cls) {
      case Class::Digit:
        if (in_fraction) {
          ++fraction_digits;
        } else {
          if (count < Gtin14::kSize) buffer[count] = c;
          ++count;
        }
        break;
      case Class::Whitespace:
        removed_whitespace = true;
        break;
      case Class::Dash:
        removed_separators = true;
        break;
      case Class::Decimal:
        if (in_fraction || count == 0) return non_numeric;
        in_fraction = true;
        break;
      case Class::Refuse:
        return non_numeric;
    }
    i += length;
  }

  if (in_fraction && fraction_digits == 0) return non_numeric;
  if (count == 0) return Parsed::Refused{text, Reason::Empty};
  if (count < kDomainMinDigits) return Parsed::Refused{text, Reason::too_short(count)};
  if (count > kDomainMaxDigits) return Parsed::Refused{text, Reason::too_long(count)};
  return Parsed::Accepted{removed_whitespace, removed_separators, in_fraction,
                          right_aligned(buffer, count), text};
}

// The count of leading digits in the first sixteen bytes of a text of at
// least eight; bytes past the end read as zero bytes, which are no digits.
std::size_t leading_digits(const unsigned char* p, std::size_t n) noexcept {
  const std::uint64_t first = non_digits(load8(p));
  if (first != 0) return static_cast<std::size_t>(std::countr_zero(first)) / 8;
  const std::uint64_t word =
      n >= 16 ? load8(p + 8) : load8(p + n - 8) >> (8 * (16 - static_cast<unsigned>(n)));
  const std::uint64_t second = non_digits(word);
  return second == 0 ? 16 : 8 + static_cast<std::size_t>(std::countr_zero(second)) / 8;
}

// Whether the last `count` bytes (1 to 8) of a text of at least eight are
// all digits. The bytes before them are replaced by '0' rather than masked:
// a non-digit below would borrow into the bytes above it.
bool ends_in_digits(const unsigned char* p, std::size_t n, std::size_t count) noexcept {
  const unsigned others = 8 * (8 - static_cast<unsigned>(count));  // 0 to 56 bits
  const std::uint64_t low = (std::uint64_t{1} << others) - 1;
  return non_digits((load8(p + n - 8) & ~low) | ((0x30 * kEachByte) & low)) == 0;
}

}  // namespace

Parsed parse(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  // Most cells are 8 to 14 plain digits: two overlapping words check them.
  if (n - kDomainMinDigits <= kDomainMaxDigits - kDomainMinDigits &&
      (non_digits(load8(p)) | non_digits(load8(p + n - 8))) == 0) {
    return Parsed::Accepted{false, false, false, right_aligned(p, n), text};
  }
  // Next come codes a spreadsheet wrote as numbers: 8 to 14 digits, a
  // decimal separator, and up to eight digits of fraction.
  if (n >= kDomainMinDigits + 2) {
    const std::size_t digits = leading_digits(p, n);
    const std::size_t fraction = n - digits - 1;
    if (digits >= kDomainMinDigits && digits <= kDomainMaxDigits &&
        (p[digits] == '.' || p[digits] == ',') && fraction >= 1 && fraction <= 8 &&
        ends_in_digits(p, n, fraction)) {
      return Parsed::Accepted{false, false, true, right_aligned(p, digits), text};
    }
  }
  return parse_code_points(text);
}

}  // namespace tevora
