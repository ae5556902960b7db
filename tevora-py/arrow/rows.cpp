// A parse table's rows: the core's facts about one cell, as bits and bytes.

#include "rows.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "tevora/internal/words.hpp"

namespace tevora_arrow {

Rows::Rows(std::int64_t length, bool wide_digits) : length_(length), wide_digits_(wide_digits) {
  for (Memory& bits : bits_) bits = allocate(bitmap_size());
  for (Memory& bytes : bytes_) bytes = allocate(static_cast<std::size_t>(length));
  const std::size_t width = wide_digits ? sizeof(std::int64_t) : sizeof(std::int32_t);
  digits_ = allocate(static_cast<std::size_t>(length) * width);
}

std::size_t Rows::bitmap_size() const noexcept {
  return static_cast<std::size_t>((length_ + 63) / 64) * 8;
}

void Rows::accepted(std::int64_t i, const tevora::Parsed::Accepted& accepted) noexcept {
  const tevora::Gtin14& gtin = accepted.gtin;
  // Every fact first, then the stores: a byte store may alias the digits,
  // and after one the compiler would read them again and redo the sums.
  const tevora::Encoding encoding = gtin.encoding();
  const std::size_t significant = gtin.significant_digits();
  // The carried digit, read as it is, never recomputed.
  const auto carried = static_cast<unsigned>(gtin[tevora::Gtin14::kSize - 1] - '0');
  const unsigned expected = gtin.expected_check_digit();
  const bool valid = gtin.check_digit_is_valid();
  const bool internal = tevora::looks_like_internal_code(gtin);
  const std::optional<tevora::Indicator> indicator = gtin.indicator();
  const tevora::Allocation range = gtin.allocation();
  // The measure field is a fact of restricted ranges only; asking nowhere
  // else spares the heuristic its own look-up of the range.
  const bool zeroed = range.is_restricted_circulation() && tevora::measure_field_looks_zeroed(gtin);

  const auto at = static_cast<std::size_t>(i);
  const auto byte = [this, at](Byte column, unsigned value) {
    bytes_[column].get()[at] = static_cast<std::uint8_t>(value);
  };
  byte(Reason, 0);
  byte(Encoding, static_cast<unsigned>(encoding));
  byte(SignificantDigits, static_cast<unsigned>(significant));
  byte(CheckDigit, carried);
  byte(ExpectedCheckDigit, expected);
  byte(Indicator, indicator ? static_cast<unsigned>(indicator->kind()) : 0);
  byte(IndicatorDigit, indicator ? indicator->digit() : 0);
  byte(Allocation, static_cast<unsigned>(range.kind()));
  put_digits(at, 0);
  const auto bit = [](bool value, Bit at_bit) { return static_cast<unsigned>(value) << at_bit; };
  const unsigned flags =
      bit(true, IsGtin) | bit(indicator.has_value(), HasIndicator) |
      bit(accepted.was_cleaned(), WasCleaned) |
      bit(accepted.removed_whitespace, RemovedWhitespace) |
      bit(accepted.removed_separators, RemovedSeparators) |
      bit(accepted.dropped_fraction, DroppedFraction) | bit(valid, CheckDigitIsValid) |
      bit(range.is_restricted_circulation(), IsRestrictedCirculation) |
      bit(range.is_publication_or_coupon(), IsPublicationOrCoupon) |
      bit(internal, LooksLikeInternalCode) | bit(zeroed, MeasureFieldLooksZeroed);
  put(i, flags);
}

void Rows::refused(std::int64_t i, tevora::Reason reason) noexcept {
  const auto at = static_cast<std::size_t>(i);
  for (Memory& bytes : bytes_) bytes.get()[at] = 0;
  bytes_[Reason].get()[at] = static_cast<std::uint8_t>(reason.kind());
  const std::optional<std::size_t> digits = reason.digits();
  put_digits(at, digits.value_or(0));
  put(i, digits ? 1U << HasDigits : 0U);
}

void Rows::put_digits(std::size_t at, std::size_t count) noexcept {
  // A cell of a `string` column has fewer than 2^31 bytes, so its count fits.
  if (wide_digits_) {
    const auto wide = static_cast<std::int64_t>(count);
    std::memcpy(digits_.get() + at * sizeof wide, &wide, sizeof wide);
  } else {
    const auto narrow = static_cast<std::int32_t>(count);
    std::memcpy(digits_.get() + at * sizeof narrow, &narrow, sizeof narrow);
  }
}

void Rows::finish() noexcept {
  if (const auto rest = static_cast<std::size_t>(length_ & 63); rest != 0) {
    // The rows past the end are clear, so that no bitmap has a bit set there.
    std::fill(low_.begin() + static_cast<std::ptrdiff_t>(rest), low_.end(), 0);
    std::fill(high_.begin() + static_cast<std::ptrdiff_t>(rest), high_.end(), 0);
    spread(length_ >> 6);
  }
}

void Rows::spread(std::int64_t word) noexcept {
  using tevora::internal::kEachByte;
  using tevora::internal::load8;
  // Multiplying the low bits of eight bytes by this gathers them, the i-th
  // byte's at bit 56 + i: the partial products never overlap.
  constexpr std::uint64_t kGather = 0x0102040810204080;
  const auto at = static_cast<std::size_t>(word) * 8;
  for (std::size_t group = 0; group < 8; ++group) {
    const std::uint64_t low = load8(low_.data() + group * 8);
    const std::uint64_t high = load8(high_.data() + group * 8);
    for (unsigned bit = 0; bit < kBits; ++bit) {
      const std::uint64_t bytes = bit < 8 ? low >> bit : high >> (bit - 8);
      bits_[bit].get()[at + group] =
          static_cast<std::uint8_t>(((bytes & kEachByte) * kGather) >> 56);
    }
  }
}

}  // namespace tevora_arrow
