// parser.hpp: reading one spreadsheet cell.
//
// `parse` decides whether the UTF-8 text of one cell holds a GTIN. It skips
// whitespace, zero-width characters and dashes anywhere, drops a fractional
// part that a number format appended, and refuses everything else; it never
// reads a digit out of any other character. The result either holds the
// canonical `Gtin14` with what had to be removed to read it, or the reason for
// the refusal. Both borrow the input text.

#ifndef TEVORA_PARSER_HPP_
#define TEVORA_PARSER_HPP_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "tevora/gtin14.hpp"

namespace tevora {

// The fewest and the most digits that can make a GTIN.
inline constexpr std::size_t kDomainMinDigits = 8;
inline constexpr std::size_t kDomainMaxDigits = 14;

// Why a cell is not a GTIN.
class Reason {
 public:
  enum Kind : std::uint8_t {
    // The cell is empty, or holds only whitespace, zero-width characters and dashes.
    Empty,
    // The cell holds a character that is not part of a number, or a decimal
    // separator where none can stand.
    NonNumeric,
    // The cell holds fewer than eight digits before any decimal separator.
    TooShort,
    // The cell holds more than fourteen digits before any decimal separator.
    TooLong,
  };

  constexpr Reason(Kind kind) noexcept : kind_(kind), digits_(0) {}  // NOLINT: implicit by design
  static constexpr Reason too_short(std::size_t digits) noexcept { return {TooShort, digits}; }
  static constexpr Reason too_long(std::size_t digits) noexcept { return {TooLong, digits}; }

  constexpr Kind kind() const noexcept { return kind_; }
  // The digit count that made the cell too short or too long; absent otherwise.
  constexpr std::optional<std::size_t> digits() const noexcept {
    if (kind_ == TooShort || kind_ == TooLong) return digits_;
    return std::nullopt;
  }
  // "empty", "non_numeric", "too_short" or "too_long".
  constexpr std::string_view name() const noexcept;
  // A sentence fit to show a user, e.g. "The cell is empty".
  constexpr std::string_view message() const noexcept;

  friend constexpr bool operator==(Reason, Reason) noexcept = default;

 private:
  constexpr Reason(Kind kind, std::size_t digits) noexcept : kind_(kind), digits_(digits) {}

  Kind kind_;
  std::size_t digits_;
};

// The outcome of reading one cell. Valid as long as the input text is.
class Parsed {
 public:
  // A GTIN was read.
  struct Accepted {
    bool removed_whitespace;  // whitespace or a zero-width character was skipped
    bool removed_separators;  // a dash was skipped
    bool dropped_fraction;    // a decimal separator and its digits were left out
    Gtin14 gtin;
    std::string_view raw;  // the whole input, unchanged

    // Whether anything had to be removed to read the GTIN.
    constexpr bool was_cleaned() const noexcept {
      return removed_whitespace || removed_separators || dropped_fraction;
    }

    friend constexpr bool operator==(const Accepted&, const Accepted&) noexcept = default;
  };
  // The cell is not a GTIN.
  struct Refused {
    std::string_view raw;  // the whole input, unchanged
    Reason reason;

    friend constexpr bool operator==(const Refused&, const Refused&) noexcept = default;
  };

  constexpr Parsed(const Accepted& accepted) noexcept : outcome_(accepted) {}  // NOLINT
  constexpr Parsed(const Refused& refused) noexcept : outcome_(refused) {}     // NOLINT

  constexpr bool is_accepted() const noexcept { return outcome_.index() == 0; }
  // Null unless the cell was accepted (resp. refused).
  constexpr const Accepted* accepted() const noexcept { return std::get_if<Accepted>(&outcome_); }
  constexpr const Refused* refused() const noexcept { return std::get_if<Refused>(&outcome_); }

  // The input text, whichever the outcome.
  constexpr std::string_view raw() const noexcept {
    return is_accepted() ? std::get_if<Accepted>(&outcome_)->raw
                         : std::get_if<Refused>(&outcome_)->raw;
  }

  // What to write back for the cell: the fourteen digits of an accepted
  // GTIN (borrowed from this result), or the input of a refused one.
  constexpr std::string_view store_form() const noexcept {
    const Accepted* a = accepted();
    return a != nullptr ? a->gtin.as_str() : std::get_if<Refused>(&outcome_)->raw;
  }

  friend constexpr bool operator==(const Parsed&, const Parsed&) noexcept = default;

 private:
  std::variant<Accepted, Refused> outcome_;
};

// Reads one cell. Never fails and never allocates: malformed UTF-8 is an
// ordinary refusal (`Reason::NonNumeric`), and no byte past the end is read.
[[nodiscard]] Parsed parse(std::string_view text) noexcept;

// End of public API.  Implementation details follow.

constexpr std::string_view Reason::name() const noexcept {
  switch (kind_) {
    case Empty:
      return "empty";
    case NonNumeric:
      return "non_numeric";
    case TooShort:
      return "too_short";
    case TooLong:
      break;
  }
  return "too_long";
}

// The bounds are written out, not formatted: the texts are fixed.
constexpr std::string_view Reason::message() const noexcept {
  switch (kind_) {
    case Empty:
      return "The cell is empty";
    case NonNumeric:
      return "Not a number \u2014 the cell holds more than digits";
    case TooShort:
      return "Fewer than 8 digits \u2014 too short to be a GTIN";
    case TooLong:
      break;
  }
  return "More than 14 digits \u2014 not a GTIN";
}

}  // namespace tevora

#endif  // TEVORA_PARSER_HPP_
