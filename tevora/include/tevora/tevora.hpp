// tevora.hpp: the library root. Reads GTINs out of spreadsheet cells.
//
// Includes the whole core and adds the two operations on a cell text that
// callers use most: what to store for the cell, and its match key.

#ifndef TEVORA_TEVORA_HPP_
#define TEVORA_TEVORA_HPP_

#include <charconv>
#include <cstddef>
#include <optional>
#include <string_view>
#include <type_traits>

#include "tevora/gtin14.hpp"
#include "tevora/heuristics.hpp"
#include "tevora/key.hpp"
#include "tevora/parser.hpp"

namespace tevora {

// What to write back for a cell: either the input itself (a refusal, or a
// cell that already holds its canonical fourteen digits) or fourteen digits
// held inline. Copies stay valid as long as the input text does.
class StoreForm {
 public:
  // The text to store.
  constexpr std::string_view as_str() const noexcept {
    return digits_ ? digits_->as_str() : input_;
  }
  // Whether `as_str` is the input text itself rather than new digits.
  constexpr bool borrows_input() const noexcept { return !digits_; }

 private:
  friend StoreForm store_form(std::string_view text) noexcept;
  constexpr explicit StoreForm(std::string_view input) noexcept : input_(input) {}
  constexpr explicit StoreForm(const Gtin14& digits) noexcept : digits_(digits) {}

  std::string_view input_;
  std::optional<Gtin14> digits_;
};

// The canonical fourteen digits for a GTIN cell, the untouched input for any
// other. Nothing is repaired: the carried check digit is stored, right or wrong.
[[nodiscard]] StoreForm store_form(std::string_view text) noexcept;

// The match key of a GTIN cell; absent for a refused one.
[[nodiscard]] std::optional<GtinKey> key(std::string_view text) noexcept;

// The cell text of a number cell that arrived as a double, as every front
// end hands it to the parser: the shortest digits that read back to the same
// double, written positionally from 1e-4 up to 1e16 with at least one
// fraction digit ("4006381333931.0", "-0.0"), in scientific form otherwise
// ("1e16", "1.5e-7"), and "NaN", "inf", "-inf". Writes at most
// kFloatTextMax bytes to `out` and returns how many.
inline constexpr std::size_t kFloatTextMax = 32;
std::size_t float_text(double value, char* out) noexcept;

// The cell text of a whole number: its decimal digits, a minus sign before
// a negative one. Writes at most kIntegerTextMax bytes and returns how many.
inline constexpr std::size_t kIntegerTextMax = 20;
template <typename Integer>
std::size_t integer_text(Integer value, char* out) noexcept {
  static_assert(std::is_integral_v<Integer> && sizeof(Integer) <= 8);
  return static_cast<std::size_t>(std::to_chars(out, out + kIntegerTextMax, value).ptr - out);
}

// The cell text of a truth value, as a Python bool reads: "True" or "False".
constexpr std::string_view bool_text(bool value) noexcept { return value ? "True" : "False"; }

}  // namespace tevora

#endif  // TEVORA_TEVORA_HPP_
