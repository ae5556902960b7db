// csv_fields.hpp: where the fields and records of a CSV file are.
//
// `CsvFields` reads delimited text (UTF-8, or any encoding in which the
// delimiter, the quote, CR and LF are single ASCII bytes that never occur
// inside another character) as RFC 4180 describes it, with the dialect given:
// a delimiter byte, a quote byte or none, and a doubled quote standing for a
// quote inside a quoted field. It copies nothing: it tells a handler the
// absolute byte offsets of each field and of each record's terminator, so
// that a caller can copy the file through and change only the spans it means
// to change. Input may come in chunks split anywhere; the result is the same.
//
// What a loose reader accepts is reported, never repaired: a quote inside an
// unquoted field, and text after a closing quote, leave the field as its
// bytes and mark it malformed; an unterminated quote at the end of the input
// is an error that names the physical line where the quote opened.

#ifndef TEVORA_CSV_FIELDS_HPP_
#define TEVORA_CSV_FIELDS_HPP_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tevora {

struct CsvDialect {
  char delimiter = ',';
  // The quote byte, or -1 for a file that quotes nothing.
  int quote = '"';
};

// How a record ends. `None` only for a last record with no line ending.
enum class CsvTerminator : std::uint8_t { None, Lf, CrLf, Cr };

// "", "\n", "\r\n" or "\r".
std::string_view terminator_text(CsvTerminator terminator) noexcept;

// One field. Offsets count bytes from the start of the input.
struct CsvField {
  std::uint64_t begin = 0;  // the field's first byte (its opening quote, if quoted)
  std::uint64_t end = 0;    // one past its last byte (its closing quote, if quoted)
  std::uint32_t index = 0;  // 0 for a record's first field
  bool quoted = false;      // opened and closed by the quote, nothing around it
  bool doubled = false;     // holds a doubled quote
  // A quote inside an unquoted field, or text after a closing quote: the
  // field is its bytes as they stand.
  bool stray_quote = false;
  bool text_after_quote = false;

  bool malformed() const noexcept { return stray_quote || text_after_quote; }
  // The content's bytes: inside the quotes of a quoted field, else all.
  std::uint64_t content_begin() const noexcept { return quoted ? begin + 1 : begin; }
  std::uint64_t content_end() const noexcept { return quoted ? end - 1 : end; }
};

// One record, reported after its last field.
struct CsvRecord {
  std::uint64_t begin = 0;       // its first byte
  std::uint64_t terminator = 0;  // where its terminator starts (its end when None)
  std::uint64_t end = 0;         // one past its terminator
  std::uint64_t line = 0;        // the physical line it starts on, from 1
  std::uint32_t fields = 0;      // at least 1
  CsvTerminator ending = CsvTerminator::None;
  // An empty line: one unquoted, empty field.
  bool blank() const noexcept { return fields == 1 && terminator == begin; }
};

// A streaming locator. `Handler` has
//   void field(const CsvField&) noexcept;
//   void record(const CsvRecord&) noexcept;
// called in input order; `record` follows its last `field`.
class CsvFields {
 public:
  explicit CsvFields(CsvDialect dialect) noexcept;

  // Reads the next bytes of the input.
  template <typename Handler>
  void feed(std::string_view chunk, Handler& handler) noexcept;

  // Ends the input: reports a last record that has no terminator. Returns
  // false, reporting nothing, when a quoted field is still open; its line is
  // then `open_quote_line()`.
  template <typename Handler>
  bool finish(Handler& handler) noexcept;

  // Bytes read so far.
  std::uint64_t offset() const noexcept { return offset_; }
  // The physical line being read, from 1: LF, CRLF and a lone CR end a line,
  // inside quotes as outside.
  std::uint64_t line() const noexcept { return line_ + (state_ == State::Cr ? 1 : 0); }
  std::uint64_t open_quote_line() const noexcept { return quote_line_; }
  // Where the field being read began, and whether one is being read: a
  // caller holding back a field's bytes across chunks needs both.
  std::uint64_t field_begin() const noexcept { return field_.begin; }
  std::uint32_t field_index() const noexcept { return field_.index; }
  bool in_record() const noexcept { return state_ != State::RecordStart; }
  // A CR ended the input so far: it ends a record, but an LF may follow.
  bool pending_cr() const noexcept { return state_ == State::Cr; }

 private:
  enum class State : std::uint8_t {
    RecordStart,  // before a record's first byte
    FieldStart,   // after a delimiter
    Unquoted,     // inside an unquoted field
    Quoted,       // inside quotes
    QuoteSeen,    // a quote inside quotes: closing, or the first of two
    AfterQuote,   // text after a closing quote, up to the delimiter
    Cr,           // a CR that ended a record; an LF may follow
  };
  // Byte classes for the scanning loops.
  enum Class : std::uint8_t { kPlain = 0, kDelimiter = 1, kQuote = 2, kLf = 3, kCr = 4 };

  template <typename Handler>
  void end_field(std::uint64_t end, Handler& handler) noexcept;
  template <typename Handler>
  void end_record(std::uint64_t terminator, std::uint64_t end, CsvTerminator ending,
                  Handler& handler) noexcept;
  void start_field(std::uint64_t begin) noexcept {
    const std::uint32_t index = field_.index;
    field_ = CsvField{};
    field_.begin = begin;
    field_.index = index;
  }

  std::array<std::uint8_t, 256> classes_{};
  std::uint64_t offset_ = 0;
  std::uint64_t line_ = 1;
  std::uint64_t quote_line_ = 0;
  CsvField field_;
  CsvRecord record_;
  std::uint64_t cr_at_ = 0;   // where the pending CR is
  bool last_was_cr_ = false;  // inside quotes, the byte before the chunk was a CR
  State state_ = State::RecordStart;
};

// End of public API.  Implementation details follow.

template <typename Handler>
void CsvFields::end_field(std::uint64_t end, Handler& handler) noexcept {
  field_.end = end;
  handler.field(field_);
  ++field_.index;
}

template <typename Handler>
void CsvFields::end_record(std::uint64_t terminator, std::uint64_t end, CsvTerminator ending,
                           Handler& handler) noexcept {
  record_.terminator = terminator;
  record_.end = end;
  record_.fields = field_.index;
  record_.ending = ending;
  handler.record(record_);
  field_.index = 0;
}

template <typename Handler>
void CsvFields::feed(std::string_view chunk, Handler& handler) noexcept {
  const auto* const data = reinterpret_cast<const unsigned char*>(chunk.data());
  const std::size_t size = chunk.size();
  const std::uint64_t base = offset_;
  std::size_t i = 0;
  // Each state consumes at least one byte or changes state without
  // consuming, never both forever: the loop ends at the chunk's end.
  while (i < size) {
    switch (state_) {
      case State::Cr:
        if (data[i] == '\n') {
          ++line_;
          end_record(cr_at_, base + i + 1, CsvTerminator::CrLf, handler);
          ++i;
        } else {
          ++line_;
          end_record(cr_at_, cr_at_ + 1, CsvTerminator::Cr, handler);
        }
        state_ = State::RecordStart;
        break;
      case State::RecordStart:
        record_.begin = base + i;
        record_.line = line_;
        field_.index = 0;
        start_field(base + i);
        state_ = State::FieldStart;
        [[fallthrough]];
      case State::FieldStart:
        if (classes_[data[i]] == kQuote) {
          field_.quoted = true;
          quote_line_ = line_;
          last_was_cr_ = false;
          state_ = State::Quoted;
          ++i;
          break;
        }
        state_ = State::Unquoted;
        [[fallthrough]];
      case State::Unquoted:
      case State::AfterQuote: {
        // The hot loop: plain bytes of an unquoted field.
        while (i < size && classes_[data[i]] == kPlain) ++i;
        if (i == size) break;
        const std::uint8_t c = classes_[data[i]];
        if (c == kQuote) {
          if (state_ == State::Unquoted) field_.stray_quote = true;
          ++i;
          break;
        }
        end_field(base + i, handler);
        if (c == kDelimiter) {
          start_field(base + i + 1);
          state_ = State::FieldStart;
        } else if (c == kLf) {
          ++line_;
          end_record(base + i, base + i + 1, CsvTerminator::Lf, handler);
          state_ = State::RecordStart;
        } else {
          cr_at_ = base + i;
          state_ = State::Cr;
        }
        ++i;
        break;
      }
      case State::Quoted:
        // Only the quote matters inside quotes; line ends are counted.
        while (i < size && classes_[data[i]] != kQuote) {
          if (data[i] == '\n') {
            if (i == 0 ? !last_was_cr_ : data[i - 1] != '\r') ++line_;
          } else if (data[i] == '\r') {
            ++line_;
          }
          ++i;
        }
        last_was_cr_ = i > 0 && data[i - 1] == '\r';
        if (i == size) break;
        state_ = State::QuoteSeen;
        ++i;
        break;
      case State::QuoteSeen: {
        const std::uint8_t c = classes_[data[i]];
        if (c == kQuote) {  // a doubled quote: one quote of content
          field_.doubled = true;
          last_was_cr_ = false;
          state_ = State::Quoted;
          ++i;
        } else if (c == kPlain) {
          field_.text_after_quote = true;
          field_.quoted = false;
          state_ = State::AfterQuote;
        } else {
          state_ = State::Unquoted;  // ends at this delimiter or line end
        }
        break;
      }
    }
  }
  offset_ = base + size;
}

template <typename Handler>
bool CsvFields::finish(Handler& handler) noexcept {
  switch (state_) {
    case State::RecordStart:
      return true;
    case State::Quoted:
      return false;
    case State::Cr:
      ++line_;
      end_record(cr_at_, cr_at_ + 1, CsvTerminator::Cr, handler);
      break;
    case State::FieldStart:
    case State::Unquoted:
    case State::AfterQuote:
    case State::QuoteSeen:
      end_field(offset_, handler);
      end_record(offset_, offset_, CsvTerminator::None, handler);
      break;
  }
  state_ = State::RecordStart;
  return true;
}

}  // namespace tevora

#endif  // TEVORA_CSV_FIELDS_HPP_
