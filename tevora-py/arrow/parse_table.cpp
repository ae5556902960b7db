// The GTIN's own columns of a parse table, and the enumerated texts, all
// taken from the core.

#include "parse_table.hpp"

#include <bit>
#include <cstring>

#include "tevora/internal/words.hpp"

namespace tevora_arrow {

const Dictionaries& dictionaries() {
  static const Dictionaries shared = [] {
    using tevora::Allocation;
    using tevora::Reason;
    const auto allocation = [](std::size_t i) {
      return Allocation(static_cast<Allocation::Kind>(i));
    };
    const auto reason = [](std::size_t i) { return Reason(static_cast<Reason::Kind>(i)); };
    Dictionaries d;
    d.reason = dictionary_of(Reason::TooLong + 1, [&](std::size_t i) { return reason(i).name(); });
    d.message =
        dictionary_of(Reason::TooLong + 1, [&](std::size_t i) { return reason(i).message(); });
    d.encoding = dictionary_of(
        static_cast<std::size_t>(tevora::Encoding::Gtin14) + 1,
        [](std::size_t i) { return tevora::encoding_name(static_cast<tevora::Encoding>(i)); });
    d.indicator = dictionary_of(tevora::Indicator::VariableMeasure + 1, [](std::size_t i) {
      return tevora::Indicator::name(static_cast<tevora::Indicator::Kind>(i));
    });
    d.allocation =
        dictionary_of(Allocation::kCount, [&](std::size_t i) { return allocation(i).name(); });
    d.allocation_description = dictionary_of(
        Allocation::kCount, [&](std::size_t i) { return allocation(i).description(); });
    return d;
  }();
  return shared;
}

namespace {

// Which cells of a column are null: none, or those where a row bit is clear
// (or, inverted, set).
struct Nulls {
  bool any;
  Rows::Bit bit;
  bool inverted;
};
constexpr Nulls kNone{false, Rows::IsGtin, false};
constexpr Nulls kNoGtin{true, Rows::IsGtin, false};

// Gives `node` its null count and validity bitmap, a copy of the row bits.
void add_validity(Node& node, const Rows& rows, Nulls nulls) {
  if (!nulls.any) {
    node.buffers.emplace_back();
    return;
  }
  const std::uint8_t* bits = rows.bits(nulls.bit);
  const std::size_t size = rows.bitmap_size();
  std::int64_t set = 0;  // the bits past the last row are clear
  for (std::size_t at = 0; at < size; at += 8) {
    set += std::popcount(tevora::internal::load8(bits + at));
  }
  node.null_count = nulls.inverted ? set : rows.length() - set;
  if (node.null_count == 0) {
    node.buffers.emplace_back();
    return;
  }
  Memory copy = allocate(size);
  for (std::size_t at = 0; at < size; at += 8) {
    const std::uint64_t word = tevora::internal::load8(bits + at);
    tevora::internal::store8(copy.get() + at, nulls.inverted ? ~word : word);
  }
  node.buffers.push_back(std::move(copy));
}

NodePtr column(const Rows& rows, const char* name, const char* format, Nulls nulls, Memory values,
               NodePtr dictionary = nullptr) {
  auto node = std::make_shared<Node>();
  node->format = format;
  node->name = name;
  node->length = rows.length();
  add_validity(*node, rows, nulls);
  node->buffers.push_back(std::move(values));
  node->dictionary = std::move(dictionary);
  return node;
}

Memory copy_of(const std::uint8_t* bytes, std::size_t size) {
  Memory copy = allocate(size);
  std::memcpy(copy.get(), bytes, size);
  return copy;
}

}  // namespace

NodePtr assemble(std::int64_t n, NodePtr raw, NodePtr gtin, NodePtr store_form, NodePtr shortest,
                 Rows& rows) {
  using R = Rows;
  const Dictionaries& d = dictionaries();
  const auto size = static_cast<std::size_t>(n);
  const Nulls refused{true, R::IsGtin, true};
  const Nulls digits{true, R::HasDigits, false};
  const Nulls indicator{true, R::HasIndicator, false};
  const auto flag = [&rows](const char* name, R::Bit bit, Nulls nulls) {
    return column(rows, name, "b", nulls, rows.take_bits(bit));
  };
  const auto byte = [&rows](const char* name, R::Byte which, Nulls nulls, NodePtr dictionary) {
    return column(rows, name, "c", nulls, rows.take_bytes(which), std::move(dictionary));
  };
  auto table = std::make_shared<Node>();
  table->format = "+s";
  table->length = n;
  table->buffers.emplace_back();  // no struct-level nulls
  // Copies first: the columns they copy take their buffers.
  NodePtr message =
      column(rows, "message", "c", refused, copy_of(rows.bytes(R::Reason), size), d.message);
  NodePtr allocation_description =
      column(rows, "allocation_description", "c", kNoGtin, copy_of(rows.bytes(R::Allocation), size),
             d.allocation_description);
  std::vector<NodePtr>& c = table->children;
  c.push_back(std::move(raw));
  c.push_back(nullptr);  // is_gtin, whose bits every GTIN column's validity copies
  c.push_back(std::move(gtin));
  c.push_back(byte("reason", R::Reason, refused, d.reason));
  c.push_back(std::move(message));
  c.push_back(column(rows, "digits", rows.digits_format(), digits, rows.take_digits()));
  c.push_back(std::move(store_form));
  c.push_back(flag("was_cleaned", R::WasCleaned, kNone));
  c.push_back(flag("removed_whitespace", R::RemovedWhitespace, kNone));
  c.push_back(flag("removed_separators", R::RemovedSeparators, kNone));
  c.push_back(flag("dropped_fraction", R::DroppedFraction, kNone));
  c.push_back(std::move(shortest));
  c.push_back(byte("encoding", R::Encoding, kNoGtin, d.encoding));
  c.push_back(byte("significant_digits", R::SignificantDigits, kNoGtin, nullptr));
  c.push_back(byte("check_digit", R::CheckDigit, kNoGtin, nullptr));
  c.push_back(byte("expected_check_digit", R::ExpectedCheckDigit, kNoGtin, nullptr));
  c.push_back(flag("check_digit_is_valid", R::CheckDigitIsValid, kNoGtin));
  c.push_back(byte("indicator", R::Indicator, indicator, d.indicator));
  c.push_back(byte("indicator_digit", R::IndicatorDigit, indicator, nullptr));
  c.push_back(byte("allocation", R::Allocation, kNoGtin, d.allocation));
  c.push_back(std::move(allocation_description));
  c.push_back(flag("is_restricted_circulation", R::IsRestrictedCirculation, kNoGtin));
  c.push_back(flag("is_publication_or_coupon", R::IsPublicationOrCoupon, kNoGtin));
  c.push_back(flag("looks_like_internal_code", R::LooksLikeInternalCode, kNoGtin));
  c.push_back(flag("measure_field_looks_zeroed", R::MeasureFieldLooksZeroed, kNoGtin));
  c[1] = flag("is_gtin", R::IsGtin, kNone);
  return table;
}

}  // namespace tevora_arrow
