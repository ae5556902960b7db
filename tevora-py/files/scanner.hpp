// scanner.hpp: one column of a CSV file, read and written back through the
// core's field locator, with no Python object per row.
//
// In "clean" mode the output is the input byte for byte, except the content
// of each accepted GTIN cell, which becomes its store form, and the added
// columns at the end of each row, before its own line ending. Only the GTIN
// cell being read (up to the spreadsheet's cell limit) and a CR that may be
// the start of a CRLF are held back between chunks; every other field,
// whatever its size, streams through.

#ifndef TEVORA_FILES_SCANNER_HPP_
#define TEVORA_FILES_SCANNER_HPP_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tally.hpp"
#include "tevora/csv_fields.hpp"

namespace tevora_files {

enum class Mode : std::uint8_t { Measure, Check, Clean };

struct ScanOptions {
  tevora::CsvDialect dialect;
  std::uint32_t column = 0;
  Mode mode = Mode::Check;
  bool key = false;
  bool explain = false;
  bool quote_all = false;          // quote every added field, as the input does
  bool ascii_messages = false;     // "-" for the em dash in added messages
  std::uint32_t width = 0;         // pad rows to this many fields before added ones
  std::vector<std::string> added;  // the added header names
};

class Scanner {
 public:
  // `tally` may be null; it must outlive the scanner's use.
  Scanner(ScanOptions options, Tally* tally);

  // Reads the next bytes, appending output to `out`. Returns false for
  // bytes that are not UTF-8; error() then says so, naming the line.
  bool feed(std::string_view chunk, std::string& out);
  // Ends the input. Returns false for an unterminated quote.
  bool finish(std::string& out);
  const std::string& error() const noexcept { return error_; }

  std::uint64_t rows = 0, gtins = 0, changed = 0, kept = 0, ragged = 0, stray_quotes = 0;
  std::uint32_t widest = 0, header_width = 0;
  std::uint64_t line() const noexcept { return fields_.line(); }

  // The locator's handler. Memory running out is remembered, not thrown
  // through the locator.
  void field(const tevora::CsvField& f) noexcept;
  void record(const tevora::CsvRecord& r) noexcept;
  bool out_of_memory() const noexcept { return out_of_memory_; }

 private:
  void locate(std::string_view chunk);
  void copy_to(std::uint64_t offset);
  void hold_rest();
  void cell_done(std::string_view raw, const tevora::CsvField& f);
  void record_done(const tevora::CsvRecord& r);
  void write_added(const tevora::CsvRecord& r, bool header);
  void write_field(std::string_view text);
  std::string_view bytes(std::uint64_t begin, std::uint64_t end);

  ScanOptions options_;
  Tally* tally_;
  tevora::CsvFields fields_;
  bool adds_ = false;
  std::string* out_ = nullptr;

  // The chunk being read, and the bytes before it that are not yet written.
  const char* chunk_ = nullptr;
  std::uint64_t chunk_base_ = 0;
  std::uint64_t chunk_end_ = 0;
  std::string held_;
  std::uint64_t held_base_ = 0;
  std::uint64_t written_ = 0;  // input bytes accounted for in the output

  // The GTIN cell, gathered across chunks; too large past kCellLimit.
  std::string cell_;
  bool cell_open_ = false;
  bool too_large_ = false;
  std::string value_;
  std::string scratch_;

  // What the record's added columns say.
  bool seen_cell_ = false;
  std::array<char, 14> key_{};
  bool has_key_ = false;
  int reason_ = -1;

  std::uint8_t carry_[4] = {};  // a UTF-8 character cut by the chunk's end
  std::size_t carried_ = 0;
  std::uint64_t records_ = 0;  // the header included
  bool out_of_memory_ = false;
  std::string error_;
};

}  // namespace tevora_files

#endif  // TEVORA_FILES_SCANNER_HPP_
