// heuristics.hpp: guesses about where a GTIN came from.
//
// Some values parse as GTINs although GS1 never issued them as trade item
// numbers. These predicates flag two such kinds. They are guesses, not
// verdicts, and each is named for what it tests.

#ifndef TEVORA_HEURISTICS_HPP_
#define TEVORA_HEURISTICS_HPP_

#include "tevora/gtin14.hpp"

namespace tevora {

// Seven or fewer significant digits, fewer than any GTIN-8 has: GS1 never
// issued it. A guess at a shop's internal short code (PLU).
[[nodiscard]] bool looks_like_internal_code(const Gtin14& gtin) noexcept;

// Restricted circulation, ends in five zeros, and a stale check digit. A
// guess at an in-store variable-weight code whose weight or price was zeroed.
[[nodiscard]] bool measure_field_looks_zeroed(const Gtin14& gtin) noexcept;

}  // namespace tevora

#endif  // TEVORA_HEURISTICS_HPP_
