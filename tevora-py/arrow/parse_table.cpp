// The GTIN's own columns of a parse table, and the enumerated texts, all
// taken from the core.

#include "parse_table.hpp"

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

void GtinColumns::append(const tevora::Gtin14& gtin) {
  const auto digit = [](unsigned d) { return static_cast<std::int8_t>(d); };
  shortest.append(gtin.shortest());
  encoding.append(static_cast<std::int8_t>(gtin.encoding()));
  significant_digits.append(digit(static_cast<unsigned>(gtin.significant_digits())));
  // The carried digit, read as it is, never recomputed.
  check_digit.append(digit(static_cast<unsigned>(gtin[tevora::Gtin14::kSize - 1] - '0')));
  const unsigned expected = gtin.expected_check_digit();
  expected_check_digit.append(digit(expected));
  check_digit_is_valid.append(gtin.check_digit_is_valid());
  if (const std::optional<tevora::Indicator> found = gtin.indicator()) {
    indicator.append(static_cast<std::int8_t>(found->kind()));
    indicator_digit.append(digit(found->digit()));
  } else {
    indicator.append_null();
    indicator_digit.append_null();
  }
  const tevora::Allocation range = gtin.allocation();
  allocation.append(static_cast<std::int8_t>(range.kind()));
  allocation_description.append(static_cast<std::int8_t>(range.kind()));
  is_restricted_circulation.append(range.is_restricted_circulation());
  is_publication_or_coupon.append(range.is_publication_or_coupon());
  looks_like_internal_code.append(tevora::looks_like_internal_code(gtin));
  measure_field_looks_zeroed.append(tevora::measure_field_looks_zeroed(gtin));
}

void GtinColumns::append_null() {
  shortest.append_null();
  for (DictColumn* column : {&encoding, &indicator, &allocation, &allocation_description}) {
    column->append_null();
  }
  for (IntColumn<std::int8_t>* column :
       {&significant_digits, &check_digit, &expected_check_digit, &indicator_digit}) {
    column->append_null();
  }
  for (BoolColumn* column :
       {&check_digit_is_valid, &is_restricted_circulation, &is_publication_or_coupon,
        &looks_like_internal_code, &measure_field_looks_zeroed}) {
    column->append_null();
  }
}

void GtinColumns::finish(std::vector<NodePtr>& out) {
  const Dictionaries& d = dictionaries();
  out.push_back(shortest.finish("shortest"));
  out.push_back(encoding.finish("encoding", "c", d.encoding));
  out.push_back(significant_digits.finish("significant_digits", "c"));
  out.push_back(check_digit.finish("check_digit", "c"));
  out.push_back(expected_check_digit.finish("expected_check_digit", "c"));
  out.push_back(check_digit_is_valid.finish("check_digit_is_valid"));
  out.push_back(indicator.finish("indicator", "c", d.indicator));
  out.push_back(indicator_digit.finish("indicator_digit", "c"));
  out.push_back(allocation.finish("allocation", "c", d.allocation));
  out.push_back(
      allocation_description.finish("allocation_description", "c", d.allocation_description));
  out.push_back(is_restricted_circulation.finish("is_restricted_circulation"));
  out.push_back(is_publication_or_coupon.finish("is_publication_or_coupon"));
  out.push_back(looks_like_internal_code.finish("looks_like_internal_code"));
  out.push_back(measure_field_looks_zeroed.finish("measure_field_looks_zeroed"));
}

}  // namespace tevora_arrow
