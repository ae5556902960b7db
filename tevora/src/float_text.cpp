// The text of a number cell that arrived as a double.

#include "tevora/tevora.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace tevora {

std::size_t float_text(double value, char* out) noexcept {
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

  // The commonest float in a sheet is a whole number below 2^53. Doubles
  // there are at most 1 apart, so the shortest digits that read back to one,
  // written positionally, are the integer's own. Zero keeps its sign below.
  if (std::fabs(value) < 0x1p53) {
    const auto whole = static_cast<std::int64_t>(std::fabs(value));
    if (whole != 0 && static_cast<double>(whole) == std::fabs(value)) {
      o = std::to_chars(o, out + kFloatTextMax, whole).ptr;
      put(".0");
      return static_cast<std::size_t>(o - out);
    }
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

}  // namespace tevora
