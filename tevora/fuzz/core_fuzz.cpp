// libFuzzer target: `parse`, `store_form` and `key` on arbitrary bytes,
// `float_text` on the double in the first eight of them, and the CSV field
// locator on the bytes whole and cut in two.
//
// Malformed UTF-8 included, every input must yield an outcome that tells the
// truth about the bytes it was given. The checks below restate the outcome
// from the bytes alone, through facts that hold for any UTF-8 decoder: no
// byte below 0x80 is ever part of a longer sequence, so an ASCII digit byte
// is a digit and a '.' or ',' byte is a decimal separator wherever it stands.
// A violation traps, which libFuzzer reports with the input that caused it.

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tevora/csv_fields.hpp"
#include "tevora/tevora.hpp"

namespace {

void require(bool holds) {
  if (!holds) __builtin_trap();
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The ASCII digits before the first decimal separator, in order.
std::string integer_digits(std::string_view text) {
  std::string digits;
  for (const char c : text.substr(0, text.find_first_of(".,"))) {
    if (is_digit(c)) digits += c;
  }
  return digits;
}

// `view` is `text` itself, not a copy of it.
bool is_the_input(std::string_view view, std::string_view text) {
  return view.data() == text.data() && view.size() == text.size();
}

void check_accepted(const tevora::Parsed::Accepted& accepted, std::string_view text) {
  const std::string_view gtin = accepted.gtin.as_str();
  require(gtin.size() == tevora::Gtin14::kSize);
  for (const char c : gtin) require(is_digit(c));
  require(is_the_input(accepted.raw, text));

  // The value is the integer digits, filled on the left with '0'.
  const std::string digits = integer_digits(text);
  require(digits.size() >= tevora::kDomainMinDigits && digits.size() <= tevora::kDomainMaxDigits);
  std::string filled(tevora::Gtin14::kSize - digits.size(), '0');
  require(gtin == filled.append(digits));

  // A fraction was dropped exactly when there was a separator, and whatever
  // was neither digit nor separator was skipped as whitespace or a dash.
  require(accepted.dropped_fraction == (text.find_first_of(".,") != std::string_view::npos));
  const bool skipped = text.find_first_not_of("0123456789.,") != std::string_view::npos;
  require((accepted.removed_whitespace || accepted.removed_separators) == skipped);

  const tevora::StoreForm stored = tevora::store_form(text);
  require(stored.borrows_input() == (text == gtin));
  require(stored.as_str() == gtin);
  if (stored.borrows_input()) require(is_the_input(stored.as_str(), text));

  const std::optional<tevora::GtinKey> key = tevora::key(text);
  require(key.has_value() && key->as_key_str().substr(0, 13) == gtin.substr(0, 13));
  require(key->as_key_str().size() == tevora::GtinKey::kSize && key->as_key_str().back() == '0');
}

void check_refused(const tevora::Parsed::Refused& refused, std::string_view text) {
  require(is_the_input(refused.raw, text));
  const std::size_t count = integer_digits(text).size();
  const std::optional<std::size_t> digits = refused.reason.digits();
  switch (refused.reason.kind()) {
    case tevora::Reason::Empty:
      require(!digits && text.find_first_of("0123456789.,") == std::string_view::npos);
      break;
    case tevora::Reason::NonNumeric:
      require(!digits);
      break;
    case tevora::Reason::TooShort:
      require(digits == count && count >= 1 && count < tevora::kDomainMinDigits);
      break;
    case tevora::Reason::TooLong:
      require(digits == count && count > tevora::kDomainMaxDigits);
      break;
  }

  const tevora::StoreForm stored = tevora::store_form(text);
  require(stored.borrows_input() && is_the_input(stored.as_str(), text));
  require(!tevora::key(text).has_value());
}

// The text reads back to the same double, laid out by its magnitude.
void check_float_text(double value) {
  char out[tevora::kFloatTextMax];
  const std::string_view text(out, tevora::float_text(value, out));
  require(text.size() <= tevora::kFloatTextMax);
  if (std::isnan(value)) {
    require(text == "NaN");
    return;
  }
  require(text.starts_with('-') == std::signbit(value));
  if (std::isinf(value)) {
    require(text.substr(text.starts_with('-')) == "inf");
    return;
  }
  double back = 0;
  const auto read = std::from_chars(text.data(), text.data() + text.size(), back);
  require(read.ec == std::errc() && read.ptr == text.data() + text.size());
  require(back == value && std::signbit(back) == std::signbit(value));
  const double magnitude = std::fabs(value);
  const bool positional = magnitude == 0 || (magnitude >= 1e-4 && magnitude < 1e16);
  require((text.find('e') == std::string_view::npos) == positional);
  if (positional) require(text.find('.') != std::string_view::npos && !text.ends_with('.'));
}

// Every field and record the locator reports, as offsets and flags.
struct CsvEvents {
  std::vector<std::uint64_t> events;
  std::uint64_t next = 0;  // where the next field must start

  void field(const tevora::CsvField& f) noexcept {
    require(f.begin == next && f.begin <= f.end && f.content_begin() <= f.content_end());
    events.insert(events.end(), {f.begin, f.end, f.index, f.quoted, f.doubled, f.stray_quote,
                                 f.text_after_quote});
    next = f.end + 1;  // past the delimiter, unless a record ends here
  }
  void record(const tevora::CsvRecord& r) noexcept {
    require(r.begin <= r.terminator && r.terminator <= r.end && r.fields >= 1);
    events.insert(events.end(), {r.begin, r.terminator, r.end, r.line, r.fields,
                                 static_cast<std::uint64_t>(r.ending)});
    next = r.end;
  }
};

// The same report whole and cut anywhere; fields tile each record, records
// tile the input, and a refused input is one with a quote left open.
void check_csv(std::string_view text, std::size_t cut) {
  const tevora::CsvDialect dialect{text.empty() ? ',' : ",;\t|"[text[0] & 3], '"'};
  tevora::CsvFields whole(dialect);
  CsvEvents all;
  whole.feed(text, all);
  const bool closed = whole.finish(all);
  if (closed) require(all.next == text.size());
  tevora::CsvFields parts(dialect);
  CsvEvents cut_events;
  parts.feed(text.substr(0, cut), cut_events);
  parts.feed(text.substr(cut), cut_events);
  require(parts.finish(cut_events) == closed);
  require(cut_events.events == all.events);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size >= sizeof(double)) {
    double value = 0;
    std::memcpy(&value, data, sizeof value);
    check_float_text(value);
  }

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_csv(text, size == 0 ? 0 : data[size - 1] % (size + 1));
  const tevora::Parsed parsed = tevora::parse(text);
  require(is_the_input(parsed.raw(), text));
  if (const tevora::Parsed::Accepted* accepted = parsed.accepted()) {
    check_accepted(*accepted, text);
  } else {
    check_refused(*parsed.refused(), text);
  }

  // A leading space moves every byte to another offset, and takes plain
  // digits off the two-word fast path, yet changes nothing but one flag.
  std::string shifted(1, ' ');
  shifted.append(text);
  const tevora::Parsed moved = tevora::parse(shifted);
  require(moved.is_accepted() == parsed.is_accepted());
  if (const tevora::Parsed::Accepted* accepted = parsed.accepted()) {
    const tevora::Parsed::Accepted& other = *moved.accepted();
    require(other.gtin == accepted->gtin && other.removed_whitespace);
    require(other.removed_separators == accepted->removed_separators);
    require(other.dropped_fraction == accepted->dropped_fraction);
  } else {
    require(moved.refused()->reason == parsed.refused()->reason);
  }
  return 0;
}
