// rows.hpp: the fixed-width columns of a parse table, a row at a time.
//
// A row's truth values are the bits of two bytes, kept for a block of 64
// rows and then spread into the columns' bitmaps eight rows at a time; its
// small numbers and enumerations are one byte per column. Nothing is
// counted per column, and every byte of every buffer is written once, so
// none is zeroed first.

#ifndef TEVORA_ARROW_ROWS_HPP_
#define TEVORA_ARROW_ROWS_HPP_

#include <array>
#include <cstdint>

#include "builders.hpp"
#include "tevora/tevora.hpp"

namespace tevora_arrow {

class Rows {
 public:
  // The bits of a row: the boolean columns, and whether the cell holds a
  // GTIN, a digit count, an indicator (which decide the nulls).
  enum Bit : unsigned {
    IsGtin,
    HasDigits,
    HasIndicator,
    WasCleaned,
    RemovedWhitespace,
    RemovedSeparators,
    DroppedFraction,
    CheckDigitIsValid,
    IsRestrictedCirculation,
    IsPublicationOrCoupon,
    LooksLikeInternalCode,
    MeasureFieldLooksZeroed,
    kBits,
  };
  // The byte columns: dictionary indices and digits.
  enum Byte : unsigned {
    Reason,
    Encoding,
    SignificantDigits,
    CheckDigit,
    ExpectedCheckDigit,
    Indicator,
    IndicatorDigit,
    Allocation,
    kBytes,
  };

  // `wide_digits`: digit counts as int64, for cells that may be longer than
  // an int32 counts (those of a large_string column); else int32.
  Rows(std::int64_t length, bool wide_digits);

  // Row `i`, in order from 0.
  void accepted(std::int64_t i, const tevora::Parsed::Accepted& accepted) noexcept;
  void refused(std::int64_t i, tevora::Reason reason) noexcept;
  // Writes the last, partial block.
  void finish() noexcept;

  std::int64_t length() const noexcept { return length_; }
  const std::uint8_t* bits(Bit bit) const noexcept { return bits_[bit].get(); }
  Memory take_bits(Bit bit) noexcept { return std::move(bits_[bit]); }
  Memory take_bytes(Byte byte) noexcept { return std::move(bytes_[byte]); }
  const std::uint8_t* bytes(Byte byte) const noexcept { return bytes_[byte].get(); }
  Memory take_digits() noexcept { return std::move(digits_); }
  const char* digits_format() const noexcept { return wide_digits_ ? "l" : "i"; }
  // Bytes of one bitmap, whole words.
  std::size_t bitmap_size() const noexcept;

 private:
  void put(std::int64_t i, unsigned flags) noexcept {
    const auto row = static_cast<std::size_t>(i & 63);
    low_[row] = static_cast<std::uint8_t>(flags);
    high_[row] = static_cast<std::uint8_t>(flags >> 8);
    if (row == 63) spread(i >> 6);
  }
  void put_digits(std::size_t at, std::size_t count) noexcept;
  // The block's rows into the bitmaps' 64-bit word `word`.
  void spread(std::int64_t word) noexcept;

  std::int64_t length_;
  bool wide_digits_;
  // The bits of the block's rows: Bits 0 to 7, and 8 on.
  std::array<std::uint8_t, 64> low_{}, high_{};
  std::array<Memory, kBits> bits_;
  std::array<Memory, kBytes> bytes_;
  Memory digits_;  // the digit count of a cell too short or too long
};

}  // namespace tevora_arrow

#endif  // TEVORA_ARROW_ROWS_HPP_
