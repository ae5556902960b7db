// Store forms, key strings and parse tables, cell by cell from the core.

#include "columns.hpp"

#include <optional>

#include "builders.hpp"
#include "parse_table.hpp"

namespace tevora_arrow {
namespace {

constexpr std::size_t kDigits = tevora::Gtin14::kSize;

std::size_t bound(const Cells& cells) {
  return cells.text_bytes() + static_cast<std::size_t>(cells.size()) * kDigits;
}

template <typename Offset>
Status store_forms(const Cells& cells, NodePtr& out) {
  // A store form is the cell itself or fourteen digits, so this bound never
  // grows the buffer; the pages past what is written are never touched.
  TextColumn<Offset, false> forms(cells.size(), bound(cells));
  Status status = cells.for_each([&forms](std::string_view text) {
    // tevora::store_form, with the digits read where the parser stored them
    // (see copy_digits) rather than from a copy.
    const tevora::Parsed parsed = tevora::parse(text);
    if (const tevora::Parsed::Accepted* accepted = parsed.accepted()) {
      forms.append_digits(accepted->gtin, kDigits);
    } else {
      forms.append(text);
    }
  });
  if (status) out = forms.finish("store_form");
  return status;
}

Status key_strings(const Cells& cells, NodePtr& out) {
  TextColumn<std::int32_t> keys(cells.size(), static_cast<std::size_t>(cells.size()) * kDigits);
  Status status = cells.for_each([&keys](std::string_view text) {
    if (const std::optional<tevora::GtinKey> key = tevora::key(text)) {
      keys.append(key->as_key_str());
    } else {
      keys.append_null();
    }
  });
  if (status) out = keys.finish("key_strings");
  return status;
}

}  // namespace

Status run(Operation operation, const Cells& cells, NodePtr& out) {
  const bool large = cells.large();
  switch (operation) {
    case Operation::StoreForm:
      return large ? store_forms<std::int64_t>(cells, out) : store_forms<std::int32_t>(cells, out);
    case Operation::KeyStrings:
      return key_strings(cells, out);
    case Operation::Parse:
      break;
  }
  return large ? parse_table<std::int64_t>(cells, out) : parse_table<std::int32_t>(cells, out);
}

}  // namespace tevora_arrow
