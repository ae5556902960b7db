// The GS1 prefix allocation of a `Gtin14`.

#include "tevora/gtin14.hpp"

#include <array>
#include <string_view>

namespace tevora {
namespace {

// Parallel tables, indexed by `Allocation::Kind`.
constexpr std::array<std::string_view, Allocation::kCount> kNames = {
    "restricted_circulation_company",
    "restricted_circulation_region",
    "company_prefix",
    "upc_company_prefix",
    "reserved_gs1_us",
    "unused_for_gtin8",
    "gtin8_issuance",
    "epc_general_manager",
    "demonstration",
    "issn",
    "isbn",
    "ismn",
    "refund_receipt",
    "coupon",
    "reserved_coupon",
    "reserved_future_use",
};

constexpr std::array<std::string_view, Allocation::kCount> kDescriptions = {
    "Restricted Circulation Numbers within a company",
    "Restricted Circulation Numbers within a geographic region",
    "GS1 Company Prefixes",
    "GS1 Company Prefixes from which U.P.C. Company Prefixes can be derived",
    "GS1 US reserved for future use",
    "Unused to avoid collision with GTIN-8",
    "Used to issue GTIN-8s",
    "General Manager Numbers for the EPC General Identifier (GID) scheme",
    "Demonstrations and examples of the GS1 system",
    "ISSN International Centre, for serial publications",
    "International ISBN Agency, for books",
    "International ISMN Agency, for printed music",
    "GS1 identification of refund receipts",
    "GS1 coupon identification",
    "Reserved for future GS1 coupon identification",
    "Reserved for future use",
};

// The number at three positions starting at `offset` (0-based).
constexpr unsigned prefix_at(std::string_view digits, std::size_t offset) noexcept {
  return static_cast<unsigned>(digits[offset] - '0') * 100 +
         static_cast<unsigned>(digits[offset + 1] - '0') * 10 +
         static_cast<unsigned>(digits[offset + 2] - '0');
}

// The first three digits of a GTIN-8 mean something else than a GS1 prefix.
constexpr Allocation gtin8_allocation(unsigned p) noexcept {
  if (p <= 99 || (p >= 200 && p <= 299)) return Allocation::RestrictedCirculationCompany;
  if (p == 952) return Allocation::Demonstration;
  if (p >= 977) return Allocation::ReservedFutureUse;
  return Allocation::Gtin8Issuance;
}

// `digits` is the whole fourteen-digit value; the GS1 prefix is at positions 2 to 4.
constexpr Allocation gs1_prefix_allocation(std::string_view digits) noexcept {
  const unsigned p = prefix_at(digits, 1);
  if (p == 0) {
    if (digits[4] != '0' || digits[5] != '0') return Allocation::UpcCompanyPrefix;
    if (digits[6] == '0' && digits[7] == '0') return Allocation::RestrictedCirculationCompany;
    return Allocation::UnusedForGtin8;
  }
  if (p <= 19) return Allocation::UpcCompanyPrefix;
  if (p <= 29) return Allocation::RestrictedCirculationRegion;
  if (p <= 39) return Allocation::UpcCompanyPrefix;
  if (p <= 49) return Allocation::RestrictedCirculationCompany;
  if (p <= 59) return Allocation::ReservedGs1Us;
  if (p <= 99) return Allocation::UpcCompanyPrefix;
  if (p <= 199) return Allocation::CompanyPrefix;
  if (p <= 299) return Allocation::RestrictedCirculationRegion;
  if (p <= 950) return Allocation::CompanyPrefix;
  switch (p) {
    case 951:
      return Allocation::EpcGeneralManager;
    case 952:
      return Allocation::Demonstration;
    case 977:
      return Allocation::Issn;
    case 978:
      return Allocation::Isbn;
    case 979:
      return digits[4] == '0' ? Allocation::Ismn : Allocation::Isbn;
    case 980:
      return Allocation::RefundReceipt;
    default:
      break;
  }
  if (p <= 976) return Allocation::CompanyPrefix;
  if (p <= 983) return Allocation::Coupon;
  if (p <= 989) return Allocation::ReservedCoupon;
  return Allocation::Coupon;
}

}  // namespace

std::string_view Allocation::name() const noexcept { return kNames[kind_]; }

std::string_view Allocation::description() const noexcept { return kDescriptions[kind_]; }

Allocation Gtin14::allocation() const noexcept {
  if (encoding() == Encoding::Gtin8) return gtin8_allocation(prefix_at(as_str(), 6));
  return gs1_prefix_allocation(as_str());
}

}  // namespace tevora
