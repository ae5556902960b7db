// The tally's bookkeeping, cell by cell, as the report has always counted.

#include "tally.hpp"

#include <algorithm>
#include <cstring>

#include "tevora/heuristics.hpp"

namespace tevora_files {
namespace {

constexpr std::uint64_t kRowLowBits = 32;
constexpr std::uint64_t kEntryBits = 48;  // 44 for the prefix, 4 for the check digit
constexpr std::uint64_t kEntryMask = (std::uint64_t{1} << kEntryBits) - 1;

void example(Examples& found, std::uint64_t row, std::string_view raw) {
  if (found.size() < kExamples) found.push_back({row, std::string(raw)});
}

// Whitespace as Python's \s finds it in a str, for the characters a
// spreadsheet cell holds: ASCII's, the separators below 0x20, NEL and NBSP.
std::size_t space_at(std::string_view s, std::size_t i) noexcept {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1C && c <= 0x1F)) return 1;
  if (c == 0xC2 && i + 1 < s.size() && (s[i + 1] == '\x85' || s[i + 1] == '\xA0')) return 2;
  return 0;
}

bool digit(char c) noexcept { return c >= '0' && c <= '9'; }

// How a spreadsheet writes a long number it has turned into a float:
// 4.00638E+12, with whitespace around it.
bool looks_scientific(std::string_view s) noexcept {
  std::size_t i = 0;
  const std::size_t n = s.size();
  for (std::size_t w = 0; i < n && (w = space_at(s, i)) != 0;) i += w;
  if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
  const auto digits = [&] {
    const std::size_t start = i;
    while (i < n && digit(s[i])) ++i;
    return i > start;
  };
  if (!digits()) return false;
  if (i < n && (s[i] == '.' || s[i] == ',')) {
    ++i;
    if (!digits()) return false;
  }
  if (i >= n || (s[i] != 'e' && s[i] != 'E')) return false;
  ++i;
  if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
  if (!digits()) return false;
  for (std::size_t w = 0; i < n && (w = space_at(s, i)) != 0;) i += w;
  return i == n;
}

std::uint64_t number(std::string_view digits) noexcept {
  std::uint64_t value = 0;
  for (const char c : digits) value = value * 10 + static_cast<std::uint64_t>(c - '0');
  return value;
}

}  // namespace

KeySet::Found KeySet::find_or_insert(std::uint64_t prefix, unsigned check, std::uint64_t row) {
  if (5 * (size_ + 1) > 4 * capacity_) grow();
  for (std::size_t i = slot(prefix);; i = i + 1 == capacity_ ? 0 : i + 1) {
    const std::uint64_t word = words_[i];
    if (word == 0) {
      words_[i] = (((prefix << 4) | check) + 1) | ((row >> kRowLowBits) << kEntryBits);
      rows_[i] = static_cast<std::uint32_t>(row);
      ++size_;
      return {true, row, check};
    }
    const std::uint64_t entry = (word & kEntryMask) - 1;
    if ((entry >> 4) == prefix) {
      return {false, ((word >> kEntryBits) << kRowLowBits) | rows_[i],
              static_cast<unsigned>(entry & 15)};
    }
  }
}

void KeySet::grow() {
  const std::size_t old_capacity = capacity_;
  std::unique_ptr<std::uint64_t[]> old_words = std::move(words_);
  std::unique_ptr<std::uint32_t[]> old_rows = std::move(rows_);
  capacity_ = old_capacity == 0 ? 1024 : old_capacity + old_capacity / 2;
  words_ = std::make_unique<std::uint64_t[]>(capacity_);  // zeroed: every slot empty
  rows_ = std::make_unique_for_overwrite<std::uint32_t[]>(capacity_);
  for (std::size_t j = 0; j < old_capacity; ++j) {
    const std::uint64_t word = old_words[j];
    if (word == 0) continue;
    std::size_t i = slot(((word & kEntryMask) - 1) >> 4);
    while (words_[i] != 0) i = i + 1 == capacity_ ? 0 : i + 1;
    words_[i] = word;
    rows_[i] = old_rows[j];
  }
}

std::string_view reason_name(int reason) noexcept {
  if (reason == kTooLarge) return "too_large";
  return tevora::Reason(static_cast<tevora::Reason::Kind>(reason)).name();
}

std::string_view reason_message(int reason) noexcept {
  if (reason == kTooLarge)
    return "Longer than a spreadsheet cell can be (32767 characters) \u2014 not a GTIN";
  return tevora::Reason(static_cast<tevora::Reason::Kind>(reason)).message();
}

void Tally::problem(std::uint64_t row, std::string_view raw, int reason, unsigned flag_bits,
                    unsigned expected) {
  problems.push_back({row, std::string(raw), reason, flag_bits, expected});
}

void Tally::add_too_large(std::uint64_t row, std::string_view start) {
  ++cells;
  if (refused[kTooLarge]++ == 0) reason_order.push_back(kTooLarge);
  const std::string_view shown = start.substr(0, 64);
  example(refused_examples[kTooLarge], row, shown);
  if (keep_problems) problem(row, shown, kTooLarge, 0);
}

void Tally::add(std::uint64_t row, std::string_view text, bool lost) {
  ++cells;
  unsigned flag_bits = 0;
  if (lost) {
    ++lost_digits;
    example(lost_digits_examples, row, text);
    flag_bits |= kLostDigits;
  }
  const tevora::Parsed parsed = tevora::parse(text);
  const tevora::Parsed::Accepted* accepted = parsed.accepted();
  if (accepted == nullptr) {
    const int reason = parsed.refused()->reason.kind();
    if (refused[static_cast<std::size_t>(reason)]++ == 0) reason_order.push_back(reason);
    example(refused_examples[static_cast<std::size_t>(reason)], row, text);
    if (reason == tevora::Reason::NonNumeric && looks_scientific(text)) {
      ++scientific;
      example(scientific_examples, row, text);
    }
    if (keep_problems && (reason != tevora::Reason::Empty || lost)) {
      problem(row, text, reason, flag_bits);
    }
    return;
  }
  ++gtins;
  const tevora::Gtin14& gtin = accepted->gtin;
  if (gtin.check_digit_is_valid()) {
    ++valid;
  } else {
    flag_bits |= kWrongCheckDigit;
    if (wrong.size() < kExamples)
      wrong.emplace_back(row, std::string(text), gtin.expected_check_digit());
  }
  if (accepted->was_cleaned()) {
    ++cleaned;
    const bool removed[3] = {accepted->removed_whitespace, accepted->removed_separators,
                             accepted->dropped_fraction};
    for (std::size_t k = 0; k < 3; ++k) {
      if (!removed[k]) continue;
      ++cleaning[k];
      example(cleaning_examples[k], row, text);
    }
  }
  ++encodings[static_cast<std::size_t>(gtin.encoding())];
  const tevora::Allocation allocation = gtin.allocation();
  if (allocations[allocation.kind()]++ == 0) allocation_order.push_back(allocation.kind());
  const bool flagged[4] = {
      tevora::looks_like_internal_code(gtin), tevora::measure_field_looks_zeroed(gtin),
      allocation.is_restricted_circulation(), allocation.is_publication_or_coupon()};
  for (std::size_t k = 0; k < 4; ++k) {
    if (!flagged[k]) continue;
    ++flags[k];
    example(flag_examples[k], row, text);
    flag_bits |= kInternalCode << k;
  }
  const std::string_view digits = gtin.as_str();
  const Queued key{number(digits.substr(0, 13)), row, static_cast<unsigned>(digits[13] - '0')};
  keys_.prefetch(key.prefix);
  queue_[queued_++] = key;
  if (queued_ == kBatch) flush();
  if (keep_problems && flag_bits != 0)
    problem(row, text, -1, flag_bits, gtin.expected_check_digit());
}

void Tally::flush() {
  for (std::size_t i = 0; i < queued_; ++i) track_key(queue_[i]);
  queued_ = 0;
}

void Tally::track_key(const Queued& key) {
  const std::uint64_t prefix = key.prefix;
  const std::uint64_t row = key.row;
  const unsigned check = key.check;
  const KeySet::Found found = keys_.find_or_insert(prefix, check, row);
  if (found.inserted) return;
  auto at = collision_index_.find(prefix);
  if (at == collision_index_.end()) {
    if (found.first_check == check) {
      ++duplicates;
      return;
    }
    Collision fresh;
    fresh.prefix = prefix;
    fresh.rows.emplace_back(found.first_row, prefix * 10 + found.first_check);
    fresh.count = 1;
    fresh.seen = 1U << found.first_check;
    at = collision_index_.emplace(prefix, collisions.size()).first;
    collisions.push_back(std::move(fresh));
    ++collision_rows;
  }
  Collision& collision = collisions[at->second];
  if ((collision.seen & (1U << check)) != 0) ++duplicates;
  if (collision.rows.size() < kRowsPerCollision)
    collision.rows.emplace_back(row, prefix * 10 + check);
  ++collision.count;
  ++collision_rows;
  collision.seen |= 1U << check;
}

std::size_t Tally::memory() const noexcept {
  return keys_.bytes() + collisions.capacity() * sizeof(Collision) +
         collision_index_.size() * (sizeof(std::uint64_t) * 4);
}

}  // namespace tevora_files
