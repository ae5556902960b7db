// The cell parser: one pass, one code point at a time, no allocation.

#include "tevora/parser.hpp"

#include <array>
#include <cstddef>
#include <string_view>

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

}  // namespace

Parsed parse(std::string_view text) noexcept {
  const Parsed::Refused non_numeric{text, Reason::NonNumeric};
  if (text.empty()) return Parsed::Refused{text, Reason::Empty};

  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  // The first fourteen integer digits; only [0, count) is ever read.
  std::array<char, Gtin14::kSize> buffer;  // NOLINT(cppcoreguidelines-pro-type-member-init)
  std::size_t count = 0;                   // integer digits, counted past fourteen
  std::size_t fraction_digits = 0;
  bool in_fraction = false;
  bool removed_whitespace = false;
  bool removed_separators = false;

  for (std::size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    std::size_t length = 1;
    const Class cls = c < 0x80 ? kAsciiClasses[c] : classify_non_ascii(p + i, n - i, length);
    switch (cls) {
      case Class::Digit:
        if (in_fraction) {
          ++fraction_digits;
        } else {
          if (count < Gtin14::kSize) buffer[count] = static_cast<char>(c);
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

  std::array<char, Gtin14::kSize> digits{};
  const std::size_t fill = Gtin14::kSize - count;
  for (std::size_t i = 0; i < fill; ++i) digits[i] = '0';
  for (std::size_t i = 0; i < count; ++i) digits[fill + i] = buffer[i];
  return Parsed::Accepted{removed_whitespace, removed_separators, in_fraction,
                          internal::Gtin14Access::from_digits(digits), text};
}

}  // namespace tevora
