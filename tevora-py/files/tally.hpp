// tally.hpp: what `tevora check` reports about a column, gathered cell by
// cell in C++, with no Python object per cell.
//
// Counts are exact; examples are the first few cells of each kind. The match
// keys seen are kept in a hash set of packed 64-bit words, about 12 bytes a
// slot, so memory grows with the number of different GTINs and never with
// the rows or their text.

#ifndef TEVORA_FILES_TALLY_HPP_
#define TEVORA_FILES_TALLY_HPP_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tevora/tevora.hpp"

namespace tevora_files {

inline constexpr std::size_t kExamples = 3;
inline constexpr std::size_t kRowsPerCollision = 6;
// The most a spreadsheet cell holds; a longer cell cannot be a GTIN.
inline constexpr std::size_t kCellLimit = 32767;

struct Example {
  std::uint64_t row = 0;
  std::string raw;
};
using Examples = std::vector<Example>;

// Distinct match keys, each with its first row and that row's check digit.
// Open addressing with linear probing; a slot is a 64-bit word (the key's
// thirteen digits and the check digit, plus one so that zero means empty,
// and the row's high bits) and a 32-bit word (the row's low bits). The table
// grows by half when four fifths are full, so a distinct key costs between
// 15 and 23 bytes.
class KeySet {
 public:
  struct Found {
    bool inserted;
    std::uint64_t first_row;
    unsigned first_check;
  };
  // The key `prefix` (positions 1 to 13 as a number) with its first row and
  // check digit; inserts them when the key is new.
  Found find_or_insert(std::uint64_t prefix, unsigned check, std::uint64_t row);
  // Fetches the key's first slot into the cache ahead of its lookup.
  void prefetch(std::uint64_t prefix) const noexcept {
    if (capacity_ != 0) __builtin_prefetch(&words_[slot(prefix)]);
  }
  std::size_t size() const noexcept { return size_; }
  std::size_t bytes() const noexcept {
    return capacity_ * (sizeof(std::uint64_t) + sizeof(std::uint32_t));
  }

 private:
  void grow();
  std::size_t slot(std::uint64_t prefix) const noexcept {
    // The hash's high half scaled to the capacity, which stays below 2^32.
    const std::uint64_t h = (prefix * 0x9E3779B97F4A7C15ULL) >> 32;
    return static_cast<std::size_t>((h * capacity_) >> 32);
  }

  std::unique_ptr<std::uint64_t[]> words_;
  std::unique_ptr<std::uint32_t[]> rows_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

// One problem cell for --rows-csv.
struct Problem {
  std::uint64_t row = 0;
  std::string raw;
  int reason = -1;  // a tevora::Reason::Kind, kTooLarge, or -1 for a GTIN
  unsigned flags = 0;
  unsigned expected = 0;  // the check digit a wrong one should be
};

// Problem flags, in the order their names are written.
enum Flag : unsigned {
  kWrongCheckDigit = 1,
  kInternalCode = 2,
  kMeasureZeroed = 4,
  kRestricted = 8,
  kPublication = 16,
  kLostDigits = 32,
};
inline constexpr std::array<std::string_view, 6> kFlagNames = {
    "wrong_check_digit",      "looks_like_internal_code", "measure_field_looks_zeroed",
    "restricted_circulation", "publication_or_coupon",    "probably_lost_digits"};

// A refusal of the tally's own: a cell longer than kCellLimit bytes.
inline constexpr int kTooLarge = 4;
inline constexpr int kReasons = 5;
std::string_view reason_name(int reason) noexcept;
std::string_view reason_message(int reason) noexcept;

class Tally {
 public:
  // Adds one cell's text; `lost_digits`: a number that probably lost digits
  // in scientific notation.
  void add(std::uint64_t row, std::string_view text, bool lost_digits = false);
  // Adds a cell longer than kCellLimit bytes, of which `start` is the first.
  void add_too_large(std::uint64_t row, std::string_view start);

  bool keep_problems = false;
  std::vector<Problem> problems;

  // Everything the report shows, read by the module.
  std::uint64_t cells = 0, gtins = 0, valid = 0, cleaned = 0;
  std::vector<std::tuple<std::uint64_t, std::string, unsigned>> wrong;  // row, raw, expected
  std::array<std::uint64_t, kReasons> refused{};
  std::array<Examples, kReasons> refused_examples;
  std::vector<int> reason_order;  // as first seen
  std::uint64_t scientific = 0;
  Examples scientific_examples;
  std::array<std::uint64_t, 3> cleaning{};  // whitespace, dashes, fraction
  std::array<Examples, 3> cleaning_examples;
  std::array<std::uint64_t, 4> encodings{};
  std::array<std::uint64_t, tevora::Allocation::kCount> allocations{};
  std::vector<tevora::Allocation::Kind> allocation_order;  // as first seen
  std::array<std::uint64_t, 4> flags{};
  std::array<Examples, 4> flag_examples;
  std::uint64_t lost_digits = 0;
  Examples lost_digits_examples;
  std::uint64_t duplicates = 0;
  // Of the file the cells came from: CSV rows wider than the header, and
  // fields with malformed quoting.
  std::uint64_t ragged = 0, stray_quotes = 0;

  struct Collision {
    std::uint64_t prefix = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> rows;  // row, GTIN as a number
    std::uint64_t count = 0;
    unsigned seen = 0;  // the check digits seen, as bits
  };
  std::vector<Collision> collisions;  // in the order they were found
  std::uint64_t collision_rows = 0;
  const KeySet& keys() const noexcept { return keys_; }
  std::size_t memory() const noexcept;
  // Tracks the keys still queued; call before reading the collisions.
  void flush();

 private:
  // Keys are tracked in batches, each one's slot fetched into the cache
  // ahead of its lookup: a lookup in a table of millions misses the cache.
  struct Queued {
    std::uint64_t prefix;
    std::uint64_t row;
    unsigned check;
  };
  static constexpr std::size_t kBatch = 32;
  void track_key(const Queued& key);

  std::array<Queued, kBatch> queue_{};
  std::size_t queued_ = 0;
  void problem(std::uint64_t row, std::string_view raw, int reason, unsigned flag_bits,
               unsigned expected = 0);

  KeySet keys_;
  std::unordered_map<std::uint64_t, std::size_t> collision_index_;
};

}  // namespace tevora_files

#endif  // TEVORA_FILES_TALLY_HPP_
