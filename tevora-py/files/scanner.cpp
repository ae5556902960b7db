// The CSV scanner: UTF-8 checked chunk by chunk, fields located by the core,
// the GTIN column parsed, tallied and rewritten in place.

#include "scanner.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace tevora_files {
namespace {

// The bytes of a UTF-8 sequence that starts with `lead`; 0 when none can.
std::size_t sequence_length(unsigned char lead) noexcept {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Whether `c` may follow `lead` as its second byte (no overlong forms, no
// surrogates, nothing past U+10FFFF), as Python's decoder decides.
bool second_byte_fits(unsigned char lead, unsigned char c) noexcept {
  switch (lead) {
    case 0xE0:
      return c >= 0xA0 && c <= 0xBF;
    case 0xED:
      return c >= 0x80 && c <= 0x9F;
    case 0xF0:
      return c >= 0x90 && c <= 0xBF;
    case 0xF4:
      return c >= 0x80 && c <= 0x8F;
    default:
      return c >= 0x80 && c <= 0xBF;
  }
}

struct Checked {
  std::size_t complete = 0;  // bytes of whole characters
  bool valid = true;         // false: the byte at `complete` starts no valid character
  std::size_t bad = 0;       // then: the bytes of the invalid sequence
};

// Checks UTF-8; a character cut off by the end is not an error.
Checked check_utf8(const unsigned char* s, std::size_t n) noexcept {
  std::size_t i = 0;
  while (i < n) {
    if (i + 8 <= n) {
      std::uint64_t word = 0;
      std::memcpy(&word, s + i, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    const unsigned char lead = s[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    const std::size_t length = sequence_length(lead);
    if (length == 0) return {i, false, 1};
    for (std::size_t k = 1; k < length; ++k) {
      if (i + k == n) return {i, true};
      const unsigned char c = s[i + k];
      if (k == 1 ? !second_byte_fits(lead, c) : (c < 0x80 || c > 0xBF)) return {i, false, k};
    }
    i += length;
  }
  return {n, true};
}

std::string hex_bytes(const unsigned char* s, std::size_t n) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::size_t k = 0; k < n; ++k) {
    if (k > 0) out += ' ';
    out += "0x";
    out += kHex[s[k] >> 4];
    out += kHex[s[k] & 15];
  }
  return out;
}

}  // namespace

Scanner::Scanner(ScanOptions options, Tally* tally)
    : options_(std::move(options)), tally_(tally), fields_(options_.dialect) {
  adds_ = options_.mode == Mode::Clean && !options_.added.empty();
}

bool Scanner::feed(std::string_view chunk, std::string& out) {
  out_ = &out;
  const auto* data = reinterpret_cast<const unsigned char*>(chunk.data());
  std::size_t n = chunk.size();
  if (carried_ > 0) {
    // Complete the character the last chunk cut, and read it on its own.
    const std::size_t length = sequence_length(carry_[0]);
    const std::size_t take = std::min(length - carried_, n);
    std::memcpy(carry_ + carried_, data, take);
    carried_ += take;
    data += take;
    n -= take;
    const Checked checked = check_utf8(carry_, carried_);
    if (!checked.valid) {
      error_ = "line " + std::to_string(fields_.line()) + " is not valid UTF-8 (bytes " +
               hex_bytes(carry_, checked.bad) + ")";
      return false;
    }
    if (checked.complete < carried_) return true;  // still cut: a tiny chunk
    locate({reinterpret_cast<const char*>(carry_), carried_});
    carried_ = 0;
  }
  const Checked checked = check_utf8(data, n);
  locate({reinterpret_cast<const char*>(data), checked.complete});
  if (!checked.valid) {
    error_ = "line " + std::to_string(fields_.line()) + " is not valid UTF-8 (bytes " +
             hex_bytes(data + checked.complete, checked.bad) + ")";
    return false;
  }
  carried_ = n - checked.complete;
  std::memcpy(carry_, data + checked.complete, carried_);
  return true;
}

bool Scanner::finish(std::string& out) {
  out_ = &out;
  if (carried_ > 0) {
    error_ = "line " + std::to_string(fields_.line()) +
             " is not valid UTF-8 (the file ends inside a character, bytes " +
             hex_bytes(carry_, carried_) + ")";
    return false;
  }
  chunk_ = nullptr;
  chunk_base_ = chunk_end_ = fields_.offset();
  if (!fields_.finish(*this)) {
    error_ = "line " + std::to_string(fields_.open_quote_line()) +
             ": a quoted field opens here and never closes";
    return false;
  }
  if (options_.mode == Mode::Clean) copy_to(chunk_end_);
  if (tally_ != nullptr) {
    tally_->ragged += ragged;
    tally_->stray_quotes += stray_quotes;
  }
  return true;
}

void Scanner::locate(std::string_view chunk) {
  if (chunk.empty()) return;
  chunk_ = chunk.data();
  chunk_base_ = fields_.offset();
  chunk_end_ = chunk_base_ + chunk.size();
  fields_.feed(chunk, *this);
  if (options_.mode == Mode::Measure) return;
  // A GTIN cell still open keeps its bytes so far.
  cell_open_ =
      fields_.in_record() && !fields_.pending_cr() && fields_.field_index() == options_.column;
  if (cell_open_ && !too_large_) {
    const std::uint64_t start = std::max(fields_.field_begin(), chunk_base_);
    cell_.append(chunk_ + (start - chunk_base_), chunk_end_ - start);
    if (cell_.size() > kCellLimit + 2) {  // its quotes besides
      too_large_ = true;
      cell_.resize(64);
    }
  }
  if (options_.mode == Mode::Clean) hold_rest();
}

std::string_view Scanner::bytes(std::uint64_t begin, std::uint64_t end) {
  if (cell_.empty() && begin >= chunk_base_) return {chunk_ + (begin - chunk_base_), end - begin};
  const std::uint64_t start = std::max(begin, chunk_base_);
  cell_.append(chunk_ + (start - chunk_base_), end - start);
  return cell_;
}

void Scanner::copy_to(std::uint64_t offset) {
  if (offset <= written_) return;
  if (written_ < chunk_base_) {
    const std::uint64_t end = std::min(offset, chunk_base_);
    out_->append(held_, written_ - held_base_, end - written_);
    written_ = end;
  }
  if (offset > written_) {
    out_->append(chunk_ + (written_ - chunk_base_), offset - written_);
    written_ = offset;
  }
}

void Scanner::hold_rest() {
  // Held back: the GTIN cell, which may yet be rewritten, and a CR before
  // which the added columns go should an LF follow.
  std::uint64_t hold = chunk_end_;
  if (cell_open_ && !too_large_) hold = fields_.field_begin();
  if (adds_ && fields_.pending_cr()) hold = std::min(hold, chunk_end_ - 1);
  copy_to(hold);
  scratch_.clear();
  if (hold < chunk_base_) scratch_.append(held_, hold - held_base_, chunk_base_ - hold);
  const std::uint64_t start = std::max(hold, chunk_base_);
  scratch_.append(chunk_ + (start - chunk_base_), chunk_end_ - start);
  held_.swap(scratch_);
  held_base_ = hold;
}

void Scanner::field(const tevora::CsvField& f) noexcept {
  if (f.malformed()) ++stray_quotes;
  if (f.index != options_.column || options_.mode == Mode::Measure) return;
  try {
    if (records_ > 0 && !out_of_memory_) cell_done(bytes(f.begin, f.end), f);
  } catch (const std::bad_alloc&) {
    out_of_memory_ = true;
  }
  cell_.clear();
  cell_open_ = false;
  too_large_ = false;
}

void Scanner::cell_done(std::string_view raw, const tevora::CsvField& f) {
  seen_cell_ = true;
  const std::uint64_t row = records_ + 1;
  std::string_view text = raw;
  if (f.quoted && !f.malformed()) {
    text = raw.substr(1, raw.size() - 2);
    if (f.doubled) {
      // A doubled quote is one quote of the cell's text.
      const char quote = static_cast<char>(options_.dialect.quote);
      value_.clear();
      for (std::size_t i = 0; i < text.size(); ++i) {
        value_ += text[i];
        if (text[i] == quote) ++i;
      }
      text = value_;
    }
  }
  has_key_ = false;
  ++kept;
  if (too_large_ || text.size() > kCellLimit) {
    reason_ = kTooLarge;
    if (tally_ != nullptr) tally_->add_too_large(row, text.substr(0, 64));
    return;
  }
  if (tally_ != nullptr) tally_->add(row, text);
  if (options_.mode == Mode::Check) return;  // the tally has read the cell
  const tevora::Parsed parsed = tevora::parse(text);
  const tevora::Parsed::Accepted* accepted = parsed.accepted();
  if (accepted == nullptr || f.malformed()) {
    reason_ = accepted == nullptr ? parsed.refused()->reason.kind() : tevora::Reason::NonNumeric;
    return;
  }
  --kept;
  ++gtins;
  reason_ = -1;
  const std::string_view digits = accepted->gtin.as_str();
  const tevora::GtinKey key = tevora::key(accepted->gtin);
  const std::string_view key_digits = key.as_key_str();
  std::copy(key_digits.begin(), key_digits.end(), key_.begin());
  has_key_ = true;
  if (options_.mode != Mode::Clean || text == digits) return;
  ++changed;
  copy_to(f.content_begin());
  out_->append(digits);
  written_ = f.content_end();
}

void Scanner::record(const tevora::CsvRecord& r) noexcept {
  try {
    if (!out_of_memory_) record_done(r);
  } catch (const std::bad_alloc&) {
    out_of_memory_ = true;
  }
}

void Scanner::record_done(const tevora::CsvRecord& r) {
  widest = std::max(widest, r.fields);
  const bool header = records_ == 0;
  ++records_;
  if (header) {
    header_width = r.fields;
    if (adds_) write_added(r, true);
    return;
  }
  ++rows;
  if (r.fields > header_width) ++ragged;
  if (options_.mode == Mode::Measure) return;
  if (!seen_cell_) {
    // A short row, or a blank line, has an empty cell in the column.
    if (tally_ != nullptr) tally_->add(records_, "");
    ++kept;
    has_key_ = false;
    reason_ = tevora::Reason::Empty;
  }
  seen_cell_ = false;
  if (adds_ && !r.blank()) write_added(r, false);
}

void Scanner::write_field(std::string_view text) {
  out_->push_back(options_.dialect.delimiter);
  const int quote = options_.dialect.quote;
  const bool needs = options_.quote_all ||
                     text.find_first_of(std::string_view{"\r\n", 2}) != std::string_view::npos ||
                     text.find(options_.dialect.delimiter) != std::string_view::npos ||
                     (quote >= 0 && text.find(static_cast<char>(quote)) != std::string_view::npos);
  if (!needs || quote < 0) {
    out_->append(text);
    return;
  }
  const char q = static_cast<char>(quote);
  out_->push_back(q);
  for (const char c : text) {
    if (c == q) out_->push_back(q);
    out_->push_back(c);
  }
  out_->push_back(q);
}

void Scanner::write_added(const tevora::CsvRecord& r, bool header) {
  copy_to(r.terminator);
  const std::uint32_t width = std::max(options_.width, header_width);
  for (std::uint32_t k = r.fields; k < width; ++k) write_field("");
  if (header) {
    for (const std::string& name : options_.added) write_field(name);
    return;
  }
  if (options_.key) write_field(has_key_ ? std::string_view(key_.data(), key_.size()) : "");
  if (options_.explain) {
    write_field(reason_ >= 0 ? reason_name(reason_) : "");
    std::string_view message = reason_ >= 0 ? reason_message(reason_) : "";
    std::string ascii;
    if (options_.ascii_messages) {
      for (std::size_t at = 0; at < message.size(); ++at) {
        if (message.compare(at, 3, "\u2014") == 0) {
          ascii += '-';
          at += 2;
        } else {
          ascii += message[at];
        }
      }
      message = ascii;
    }
    write_field(message);
  }
}

}  // namespace tevora_files
