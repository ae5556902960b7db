// parse_table.hpp: one struct array with a column per attribute of a parsed
// cell and of its GTIN; the GTIN's columns are null where there is none.
//
// The table is written row by row into plain arrays. Every truth value of a
// row (the boolean columns and the facts that decide which cells are null)
// is one bit of a word per row; a block of rows' words is turned into the
// columns' bitmaps sixty-four bits at a time, and the validity bitmaps are
// copies of those bits, so no column keeps counters or bitmaps of its own.

#ifndef TEVORA_ARROW_PARSE_TABLE_HPP_
#define TEVORA_ARROW_PARSE_TABLE_HPP_

#include "builders.hpp"
#include "cells.hpp"
#include "rows.hpp"

namespace tevora_arrow {

// The texts behind the enumerated columns, shared by every result.
struct Dictionaries {
  NodePtr reason, message, encoding, indicator, allocation, allocation_description;
};
const Dictionaries& dictionaries();

// The text columns of a table with `Offset` offsets for the cell's own texts.
template <typename Offset>
struct TextColumns {
  TextColumns(std::int64_t n, std::size_t bytes)
      : raw(n, bytes),
        store_form(n, bytes + static_cast<std::size_t>(n) * tevora::Gtin14::kSize),
        gtin(n, static_cast<std::size_t>(n) * tevora::Gtin14::kSize),
        shortest(n, static_cast<std::size_t>(n) * tevora::Gtin14::kSize) {}

  TextColumn<Offset, false> raw, store_form;
  TextColumn<std::int32_t> gtin, shortest;
};

// The columns in their order, from the texts and the rows.
NodePtr assemble(std::int64_t n, NodePtr raw, NodePtr gtin, NodePtr store_form, NodePtr shortest,
                 Rows& rows);

template <typename Offset>
Status parse_table(const Cells& cells, NodePtr& out) {
  const std::int64_t n = cells.size();
  TextColumns<Offset> texts(n, cells.text_bytes());
  Rows rows(n, sizeof(Offset) == sizeof(std::int64_t));
  std::int64_t i = 0;
  Status status = cells.for_each([&texts, &rows, &i](std::string_view text) {
    const tevora::Parsed parsed = tevora::parse(text);
    texts.raw.append(text);
    if (const tevora::Parsed::Accepted* accepted = parsed.accepted()) {
      const tevora::Gtin14& gtin = accepted->gtin;
      texts.store_form.append_digits(gtin, tevora::Gtin14::kSize);
      texts.gtin.append_digits(gtin, tevora::Gtin14::kSize);
      texts.shortest.append_digits(gtin, gtin.shortest().size());
      rows.accepted(i++, *accepted);
    } else {
      texts.store_form.append(text);
      texts.gtin.append_null();
      texts.shortest.append_null();
      rows.refused(i++, parsed.refused()->reason);
    }
  });
  if (!status) return status;
  rows.finish();
  out = assemble(n, texts.raw.finish("raw"), texts.gtin.finish("gtin"),
                 texts.store_form.finish("store_form"), texts.shortest.finish("shortest"), rows);
  return Status::ok();
}

}  // namespace tevora_arrow

#endif  // TEVORA_ARROW_PARSE_TABLE_HPP_
