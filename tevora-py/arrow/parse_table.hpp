// parse_table.hpp: one struct array with a column per attribute of a parsed
// cell and of its GTIN; the GTIN's columns are null where there is none.

#ifndef TEVORA_ARROW_PARSE_TABLE_HPP_
#define TEVORA_ARROW_PARSE_TABLE_HPP_

#include <optional>

#include "builders.hpp"
#include "cells.hpp"

namespace tevora_arrow {

// The texts behind the enumerated columns, shared by every result.
struct Dictionaries {
  NodePtr reason, message, encoding, indicator, allocation, allocation_description;
};
const Dictionaries& dictionaries();

// The columns that exist for every cell, GTIN or not.
template <typename Offset>
struct CellColumns {
  explicit CellColumns(std::int64_t n, std::size_t bytes)
      : raw(n, bytes),
        is_gtin(n),
        gtin(n, static_cast<std::size_t>(n) * tevora::Gtin14::kSize),
        reason(n),
        message(n),
        digits(n),
        store_form(n, bytes + static_cast<std::size_t>(n) * tevora::Gtin14::kSize),
        was_cleaned(n),
        removed_whitespace(n),
        removed_separators(n),
        dropped_fraction(n) {}

  TextColumn<Offset> raw;
  BoolColumn is_gtin;
  TextColumn<std::int32_t> gtin;
  DictColumn reason, message;
  IntColumn<std::int64_t> digits;
  TextColumn<Offset> store_form;
  BoolColumn was_cleaned, removed_whitespace, removed_separators, dropped_fraction;
};

// The columns of the GTIN itself.
struct GtinColumns {
  explicit GtinColumns(std::int64_t n)
      : shortest(n, static_cast<std::size_t>(n) * tevora::Gtin14::kSize),
        encoding(n),
        significant_digits(n),
        check_digit(n),
        expected_check_digit(n),
        check_digit_is_valid(n),
        indicator(n),
        indicator_digit(n),
        allocation(n),
        allocation_description(n),
        is_restricted_circulation(n),
        is_publication_or_coupon(n),
        looks_like_internal_code(n),
        measure_field_looks_zeroed(n) {}

  void append(const tevora::Gtin14& gtin);
  void append_null();
  void finish(std::vector<NodePtr>& out);

  TextColumn<std::int32_t> shortest;
  DictColumn encoding;
  IntColumn<std::int8_t> significant_digits, check_digit, expected_check_digit;
  BoolColumn check_digit_is_valid;
  DictColumn indicator;
  IntColumn<std::int8_t> indicator_digit;
  DictColumn allocation, allocation_description;
  BoolColumn is_restricted_circulation, is_publication_or_coupon, looks_like_internal_code,
      measure_field_looks_zeroed;
};

template <typename Offset>
Status parse_table(const Cells& cells, NodePtr& out) {
  const std::int64_t n = cells.size();
  CellColumns<Offset> c(n, cells.text_bytes() + 64);
  GtinColumns g(n);
  Status status = cells.for_each([&c, &g](std::string_view text) {
    const tevora::Parsed parsed = tevora::parse(text);
    c.raw.append(text);
    c.store_form.append(parsed.store_form());
    if (const tevora::Parsed::Accepted* accepted = parsed.accepted()) {
      c.is_gtin.append(true);
      c.gtin.append(accepted->gtin.as_str());
      c.reason.append_null();
      c.message.append_null();
      c.digits.append_null();
      c.was_cleaned.append(accepted->was_cleaned());
      c.removed_whitespace.append(accepted->removed_whitespace);
      c.removed_separators.append(accepted->removed_separators);
      c.dropped_fraction.append(accepted->dropped_fraction);
      g.append(accepted->gtin);
      return;
    }
    const tevora::Reason reason = parsed.refused()->reason;
    c.is_gtin.append(false);
    c.gtin.append_null();
    c.reason.append(static_cast<std::int8_t>(reason.kind()));
    c.message.append(static_cast<std::int8_t>(reason.kind()));
    if (const std::optional<std::size_t> digits = reason.digits()) {
      c.digits.append(static_cast<std::int64_t>(*digits));
    } else {
      c.digits.append_null();
    }
    for (BoolColumn* flag :
         {&c.was_cleaned, &c.removed_whitespace, &c.removed_separators, &c.dropped_fraction}) {
      flag->append(false);
    }
    g.append_null();
  });
  if (!status) return status;
  const Dictionaries& d = dictionaries();
  auto table = std::make_shared<Node>();
  table->format = "+s";
  table->length = n;
  table->buffers.emplace_back();  // no struct-level nulls
  table->children = {
      c.raw.finish("raw"),
      c.is_gtin.finish("is_gtin"),
      c.gtin.finish("gtin"),
      c.reason.finish("reason", "c", d.reason),
      c.message.finish("message", "c", d.message),
      c.digits.finish("digits", "l"),
      c.store_form.finish("store_form"),
      c.was_cleaned.finish("was_cleaned"),
      c.removed_whitespace.finish("removed_whitespace"),
      c.removed_separators.finish("removed_separators"),
      c.dropped_fraction.finish("dropped_fraction"),
  };
  g.finish(table->children);
  out = std::move(table);
  return Status::ok();
}

}  // namespace tevora_arrow

#endif  // TEVORA_ARROW_PARSE_TABLE_HPP_
