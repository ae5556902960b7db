// The double-quoted form of a text, for the repr of a refused cell.

#include "quoted.hpp"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tevora_py {
namespace {

// The code point at the start of `text` and its length in bytes; length 0 if
// the bytes there are not well-formed UTF-8 (overlong, surrogate, past
// U+10FFFF or cut short).
struct Decoded {
  char32_t cp;
  std::size_t size;
};

Decoded decode(std::string_view text) noexcept {
  const auto byte = [text](std::size_t i) -> unsigned char {
    return static_cast<unsigned char>(text[i]);
  };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {lead, 1};

  std::size_t size = 0;
  char32_t cp = 0;
  // The second byte's bounds rule out overlong forms, surrogates and values past U+10FFFF.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2;
    cp = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3;
    cp = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4;
    cp = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {0, 0};
  }
  if (text.size() < size) return {0, 0};
  for (std::size_t i = 1; i < size; ++i) {
    const unsigned char b = byte(i);
    if (b < low || b > high) return {0, 0};
    cp = (cp << 6) | (b & 0x3Fu);
    low = 0x80;
    high = 0xBF;
  }
  return {cp, size};
}

// The escapes that come before the \u{hex} rule; empty for anything else.
std::string_view short_escape(char32_t cp) noexcept {
  switch (cp) {
    case U'\0':
      return "\\0";
    case U'\t':
      return "\\t";
    case U'\r':
      return "\\r";
    case U'\n':
      return "\\n";
    case U'\\':
      return "\\\\";
    case U'"':
      return "\\\"";
    default:
      return {};
  }
}

void append_hex_escape(std::string& out, std::uint32_t value) {
  char digits[8];
  const auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
  out += "\\u{";
  out.append(digits, end);
  out += '}';
}

}  // namespace

void append_quoted(std::string& out, std::string_view utf8) {
  out.reserve(out.size() + utf8.size() + 2);
  out += '"';
  while (!utf8.empty()) {
    const auto [cp, size] = decode(utf8);
    if (size == 0) {
      // A byte that starts no well-formed sequence is shown as \u{byte} on its own.
      append_hex_escape(out, static_cast<unsigned char>(utf8.front()));
      utf8.remove_prefix(1);
      continue;
    }
    if (const std::string_view escape = short_escape(cp); !escape.empty()) {
      out += escape;
    } else if (escaped_in_repr(cp)) {
      append_hex_escape(out, cp);
    } else {
      out += utf8.substr(0, size);
    }
    utf8.remove_prefix(size);
  }
  out += '"';
}

}  // namespace tevora_py
