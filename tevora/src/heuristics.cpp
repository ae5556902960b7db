// Guesses about where a GTIN came from.

#include "tevora/heuristics.hpp"

#include <string_view>

namespace tevora {

bool looks_like_internal_code(const Gtin14& gtin) noexcept {
  return gtin.significant_digits() <= 7;
}

bool measure_field_looks_zeroed(const Gtin14& gtin) noexcept {
  return gtin.allocation().is_restricted_circulation() &&
         gtin.as_str().substr(Gtin14::kSize - 5) == "00000" && !gtin.check_digit_is_valid();
}

}  // namespace tevora
