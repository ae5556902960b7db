// The locator's byte classes and names; the scanning loops are in the header,
// where a caller's handler inlines into them.

#include "tevora/csv_fields.hpp"

namespace tevora {

CsvFields::CsvFields(CsvDialect dialect) noexcept {
  classes_['\n'] = kLf;
  classes_['\r'] = kCr;
  // A delimiter or quote that is CR or LF would make records ambiguous; the
  // line ending wins.
  const auto delimiter = static_cast<unsigned char>(dialect.delimiter);
  if (classes_[delimiter] == kPlain) classes_[delimiter] = kDelimiter;
  if (dialect.quote >= 0 && dialect.quote < 256) {
    const auto quote = static_cast<unsigned char>(dialect.quote);
    if (classes_[quote] == kPlain) classes_[quote] = kQuote;
  }
}

std::string_view terminator_text(CsvTerminator terminator) noexcept {
  switch (terminator) {
    case CsvTerminator::None:
      return "";
    case CsvTerminator::Lf:
      return "\n";
    case CsvTerminator::CrLf:
      return "\r\n";
    case CsvTerminator::Cr:
      break;
  }
  return "\r";
}

}  // namespace tevora
