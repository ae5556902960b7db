// gtin14.hpp: the canonical GTIN value.
//
// A `Gtin14` is fourteen ASCII digits: every GTIN-8, -12, -13 or -14 filled on
// the left with '0'. Position 14 is the check digit. Values come only from the
// cell parser (parser.hpp) and from `with_recomputed_check_digit`; there is no
// constructor from text. This header also classifies a value: its shortest
// encoding, its indicator digit and the GS1 prefix range it was allocated from.

#ifndef TEVORA_GTIN14_HPP_
#define TEVORA_GTIN14_HPP_

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "tevora/internal/words.hpp"

namespace tevora {

class Gtin14;
class GtinKey;
constexpr GtinKey key(const Gtin14& gtin) noexcept;

namespace internal {
struct Gtin14Access;
}  // namespace internal

// The shortest standard form that holds a value, in order of length.
enum class Encoding : std::uint8_t {
  Gtin8,   // positions 1 to 6 are '0'
  Gtin12,  // positions 1 and 2 are '0', not all of 3 to 6
  Gtin13,  // position 1 is '0', position 2 is not
  Gtin14,  // position 1 is not '0'
};

// "GTIN-8", "GTIN-12", "GTIN-13" or "GTIN-14".
constexpr std::string_view encoding_name(Encoding encoding) noexcept;

// What a non-zero first digit means.
class Indicator {
 public:
  enum Kind : std::uint8_t {
    // '1' to '8': a grouping of trade items; carries the digit.
    Grouping,
    // '9': a variable-measure trade item.
    VariableMeasure,
  };

  constexpr Kind kind() const noexcept { return kind_; }
  // 1 to 8 for a grouping, 9 for a variable-measure item.
  constexpr unsigned digit() const noexcept { return digit_; }
  // "grouping" or "variable_measure".
  static constexpr std::string_view name(Kind kind) noexcept {
    return kind == Grouping ? "grouping" : "variable_measure";
  }
  constexpr std::string_view name() const noexcept { return name(kind_); }

  friend constexpr bool operator==(Indicator, Indicator) noexcept = default;

 private:
  friend class Gtin14;
  constexpr explicit Indicator(unsigned digit) noexcept
      : kind_(digit == 9 ? VariableMeasure : Grouping), digit_(static_cast<std::uint8_t>(digit)) {}

  Kind kind_;
  std::uint8_t digit_;
};

// The GS1 prefix range a value lies in. Names are stable snake_case
// identifiers for programs; descriptions are GS1's own wording.
class Allocation {
 public:
  enum Kind : std::uint8_t {
    RestrictedCirculationCompany,
    RestrictedCirculationRegion,
    CompanyPrefix,
    UpcCompanyPrefix,
    ReservedGs1Us,
    UnusedForGtin8,
    Gtin8Issuance,
    EpcGeneralManager,
    Demonstration,
    Issn,
    Isbn,
    Ismn,
    RefundReceipt,
    Coupon,
    ReservedCoupon,
    ReservedFutureUse,
  };
  static constexpr std::size_t kCount = 16;

  constexpr Allocation(Kind kind) noexcept : kind_(kind) {}  // NOLINT: implicit by design

  constexpr Kind kind() const noexcept { return kind_; }
  // "restricted_circulation_company", "isbn", ...
  std::string_view name() const noexcept;
  // "Restricted Circulation Numbers within a company", ...
  std::string_view description() const noexcept;
  // Valid only inside one company or one region.
  constexpr bool is_restricted_circulation() const noexcept {
    return kind_ <= RestrictedCirculationRegion;
  }
  // ISSN, ISBN, ISMN, refund receipts and coupons: not trade items.
  constexpr bool is_publication_or_coupon() const noexcept {
    return kind_ >= Issn && kind_ <= ReservedCoupon;
  }

  friend constexpr bool operator==(Allocation, Allocation) noexcept = default;

 private:
  Kind kind_;
};

class Gtin14 {
 public:
  static constexpr std::size_t kSize = 14;

  // The fourteen digits. The view borrows this value's bytes.
  constexpr std::string_view as_str() const noexcept { return {digits_.data(), kSize}; }
  constexpr char operator[](std::size_t i) const noexcept { return digits_[i]; }

  // Digits left once the leading '0' characters are dropped (0 to 14).
  constexpr std::size_t significant_digits() const noexcept {
    std::size_t zeros = 0;
    while (zeros < kSize && digits_[zeros] == '0') ++zeros;
    return kSize - zeros;
  }

  // The GS1 Mod-10 check digit of positions 1 to 13, as a number 0 to 9.
  constexpr unsigned expected_check_digit() const noexcept {
    unsigned sum = 0;
    for (std::size_t i = 0; i < kSize - 1; ++i) {
      const unsigned d = static_cast<unsigned>(digits_[i] - '0');
      sum += (i % 2 == 0) ? 3 * d : d;
    }
    return (10 - sum % 10) % 10;
  }

  constexpr bool check_digit_is_valid() const noexcept {
    return digits_[kSize - 1] == static_cast<char>('0' + expected_check_digit());
  }

  // Positions 1 to 13 unchanged, position 14 the expected check digit.
  constexpr Gtin14 with_recomputed_check_digit() const noexcept {
    return with_last_digit(static_cast<char>('0' + expected_check_digit()));
  }

  constexpr Encoding encoding() const noexcept {
    if (digits_[0] != '0') return Encoding::Gtin14;
    if (digits_[1] != '0') return Encoding::Gtin13;
    for (std::size_t i = 2; i < 6; ++i) {
      if (digits_[i] != '0') return Encoding::Gtin12;
    }
    return Encoding::Gtin8;
  }

  // The last 8, 12, 13 or 14 digits, as `encoding` says.
  constexpr std::string_view shortest() const noexcept {
    switch (encoding()) {
      case Encoding::Gtin8:
        return as_str().substr(6);
      case Encoding::Gtin12:
        return as_str().substr(2);
      case Encoding::Gtin13:
        return as_str().substr(1);
      case Encoding::Gtin14:
        break;
    }
    return as_str();
  }

  // Absent when the first digit is the filling '0'.
  constexpr std::optional<Indicator> indicator() const noexcept {
    if (digits_[0] == '0') return std::nullopt;
    return Indicator(static_cast<unsigned>(digits_[0] - '0'));
  }

  // The GS1 prefix range; the check digit plays no part.
  Allocation allocation() const noexcept;

  // Equal when all fourteen digits are, the check digit included.
  friend constexpr bool operator==(const Gtin14&, const Gtin14&) noexcept = default;

 private:
  friend struct internal::Gtin14Access;
  friend constexpr GtinKey key(const Gtin14& gtin) noexcept;

  constexpr explicit Gtin14(const std::array<char, kSize>& digits) noexcept : digits_{} {
    for (std::size_t i = 0; i < kSize; ++i) digits_[i] = digits[i];
  }

  // Two bytes of padding, always zero, make the value two whole words, so
  // that copies and comparisons are word moves rather than byte shuffles.
  alignas(8) std::array<char, kSize + 2> digits_;

  // Positions 1 to 13 unchanged, position 14 the given ASCII digit.
  constexpr Gtin14 with_last_digit(char digit) const noexcept {
    Gtin14 result = *this;
    result.digits_[kSize - 1] = digit;
    return result;
  }
};

// End of public API.  Implementation details follow.

constexpr std::string_view encoding_name(Encoding encoding) noexcept {
  switch (encoding) {
    case Encoding::Gtin8:
      return "GTIN-8";
    case Encoding::Gtin12:
      return "GTIN-12";
    case Encoding::Gtin13:
      return "GTIN-13";
    case Encoding::Gtin14:
      break;
  }
  return "GTIN-14";
}

namespace internal {

// The one door to a `Gtin14`'s constructor, for the parser. Callers promise
// fourteen ASCII digits.
struct Gtin14Access {
  static constexpr Gtin14 from_digits(const std::array<char, Gtin14::kSize>& digits) noexcept {
    return Gtin14(digits);
  }
  // From two words in the parser's order (see internal/words.hpp): positions 1
  // to 8, then 9 to 14 in the low six bytes of `high`, whose top two bytes
  // must be zero.
  static Gtin14 from_words(std::uint64_t low, std::uint64_t high) noexcept {
    Gtin14 result(kZeros);
    low = little_endian(low);
    high = little_endian(high);
    std::memcpy(result.digits_.data(), &low, sizeof low);
    std::memcpy(result.digits_.data() + sizeof low, &high, sizeof high);
    return result;
  }
  // The inverse of `from_words`, for front ends that copy digits a word at a
  // time: a word read where the parser stored one is forwarded from the store.
  static std::array<std::uint64_t, 2> to_words(const Gtin14& gtin) noexcept {
    std::uint64_t low;
    std::uint64_t high;
    std::memcpy(&low, gtin.digits_.data(), sizeof low);
    std::memcpy(&high, gtin.digits_.data() + sizeof low, sizeof high);
    return {little_endian(low), little_endian(high)};
  }

 private:
  static constexpr std::array<char, Gtin14::kSize> kZeros = {'0', '0', '0', '0', '0', '0', '0',
                                                             '0', '0', '0', '0', '0', '0', '0'};
};
}  // namespace internal

}  // namespace tevora

#endif  // TEVORA_GTIN14_HPP_
