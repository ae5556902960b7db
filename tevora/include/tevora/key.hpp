// key.hpp: the check-digit-agnostic match key.
//
// A `GtinKey` is positions 1 to 13 of a `Gtin14` followed by '0', so two GTINs
// that differ only in their check digit share a key. A key is not a GTIN: it
// can only be made from one, never turned back into one, and its text is
// reached only through `as_key_str`, which says at the call site what it is.

#ifndef TEVORA_KEY_HPP_
#define TEVORA_KEY_HPP_

#include <cstddef>
#include <string_view>

#include "tevora/gtin14.hpp"

namespace tevora {

class GtinKey;

// The key of a GTIN: its first thirteen digits, then '0'. No check digit is
// computed; the carried one, valid or not, never reaches the key.
[[nodiscard]] constexpr GtinKey key(const Gtin14& gtin) noexcept;

class GtinKey {
 public:
  static constexpr std::size_t kSize = 14;

  // The fourteen characters of the key, borrowing its bytes.
  constexpr std::string_view as_key_str() const noexcept { return digits_.as_str(); }

  friend constexpr bool operator==(const GtinKey&, const GtinKey&) noexcept = default;

 private:
  friend constexpr GtinKey key(const Gtin14& gtin) noexcept;
  constexpr explicit GtinKey(const Gtin14& digits) noexcept : digits_(digits) {}

  // The same fourteen digit bytes as a GTIN, but never handed out as one.
  Gtin14 digits_;
};

// End of public API.  Implementation details follow.

constexpr GtinKey key(const Gtin14& gtin) noexcept { return GtinKey(gtin.with_last_digit('0')); }

}  // namespace tevora

#endif  // TEVORA_KEY_HPP_
