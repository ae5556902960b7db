// The store form and match key of a cell text.

#include "tevora/tevora.hpp"

#include <optional>
#include <string_view>

namespace tevora {

StoreForm store_form(std::string_view text) noexcept {
  const Parsed parsed = parse(text);
  const Parsed::Accepted* accepted = parsed.accepted();
  // A cell that already reads as its canonical form needs no new text.
  if (accepted == nullptr || text == accepted->gtin.as_str()) return StoreForm(text);
  return StoreForm(accepted->gtin);
}

std::optional<GtinKey> key(std::string_view text) noexcept {
  const Parsed parsed = parse(text);
  if (const Parsed::Accepted* accepted = parsed.accepted()) return key(accepted->gtin);
  return std::nullopt;
}

}  // namespace tevora
