#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>

#include "testing.hpp"
#include "tevora/gtin14.hpp"

namespace tevora {
namespace {

using testing::gtin;

struct AllocationCase {
  const char* value;
  Allocation::Kind allocation;
};

class AllocationCases : public ::testing::TestWithParam<AllocationCase> {};

TEST_P(AllocationCases, Classify) {
  const Gtin14 g = gtin(GetParam().value);
  EXPECT_EQ(g.allocation().kind(), GetParam().allocation) << g.allocation().name();
  // The check digit never matters, valid or not.
  for (char check = '0'; check <= '9'; ++check) {
    std::string other(GetParam().value);
    other.back() = check;
    EXPECT_EQ(gtin(other).allocation(), g.allocation()) << other;
  }
}

using A = Allocation;
INSTANTIATE_TEST_SUITE_P(
    Edges, AllocationCases,
    ::testing::Values(
        AllocationCase{"00000000000000", A::RestrictedCirculationCompany},
        AllocationCase{"00000009999992", A::RestrictedCirculationCompany},
        AllocationCase{"00000012345670", A::Gtin8Issuance},
        AllocationCase{"00000020000004", A::RestrictedCirculationCompany},
        AllocationCase{"00000095100005", A::Gtin8Issuance},
        AllocationCase{"00000095200002", A::Demonstration},
        AllocationCase{"00000097600008", A::Gtin8Issuance},
        AllocationCase{"00000097700005", A::ReservedFutureUse},
        AllocationCase{"00000123456784", A::UpcCompanyPrefix},
        AllocationCase{"00001234567895", A::UpcCompanyPrefix},
        AllocationCase{"10000000123454", A::RestrictedCirculationCompany},
        AllocationCase{"90000000000010", A::RestrictedCirculationCompany},
        AllocationCase{"10000012345677", A::UnusedForGtin8},
        AllocationCase{"00012345678905", A::UpcCompanyPrefix},
        AllocationCase{"00212345678909", A::RestrictedCirculationRegion},
        AllocationCase{"00312345678906", A::UpcCompanyPrefix},
        AllocationCase{"00412345678903", A::RestrictedCirculationCompany},
        AllocationCase{"00512345678900", A::ReservedGs1Us},
        AllocationCase{"00614141999996", A::UpcCompanyPrefix},
        AllocationCase{"01234567890128", A::CompanyPrefix},
        AllocationCase{"02012345678903", A::RestrictedCirculationRegion},
        AllocationCase{"02999999999991", A::RestrictedCirculationRegion},
        AllocationCase{"03000000000007", A::CompanyPrefix},
        AllocationCase{"04006381333931", A::CompanyPrefix},
        AllocationCase{"54006381333936", A::CompanyPrefix},
        AllocationCase{"09501234567891", A::CompanyPrefix},
        AllocationCase{"09512345678901", A::EpcGeneralManager},
        AllocationCase{"09521234567899", A::Demonstration},
        AllocationCase{"09531234567898", A::CompanyPrefix},
        AllocationCase{"09771234567003", A::Issn}, AllocationCase{"09781234567897", A::Isbn},
        AllocationCase{"19781234567894", A::Isbn}, AllocationCase{"09790123456785", A::Ismn},
        AllocationCase{"09791234567896", A::Isbn},
        AllocationCase{"09801234567892", A::RefundReceipt},
        AllocationCase{"09811234567891", A::Coupon}, AllocationCase{"09831234567899", A::Coupon},
        AllocationCase{"09841234567898", A::ReservedCoupon},
        AllocationCase{"09891234567893", A::ReservedCoupon},
        AllocationCase{"09901234567899", A::Coupon}, AllocationCase{"09999999999994", A::Coupon}));

// The published ranges as data: [first, last] of a three-digit prefix.
struct Range {
  unsigned first;
  unsigned last;
  Allocation::Kind allocation;
};

constexpr Range kGtin8Ranges[] = {
    {0, 99, A::RestrictedCirculationCompany},
    {100, 199, A::Gtin8Issuance},
    {200, 299, A::RestrictedCirculationCompany},
    {300, 951, A::Gtin8Issuance},
    {952, 952, A::Demonstration},
    {953, 976, A::Gtin8Issuance},
    {977, 999, A::ReservedFutureUse},
};

constexpr Range kPrefixRanges[] = {
    {1, 19, A::UpcCompanyPrefix},  {20, 29, A::RestrictedCirculationRegion},
    {30, 39, A::UpcCompanyPrefix}, {40, 49, A::RestrictedCirculationCompany},
    {50, 59, A::ReservedGs1Us},    {60, 99, A::UpcCompanyPrefix},
    {100, 199, A::CompanyPrefix},  {200, 299, A::RestrictedCirculationRegion},
    {300, 950, A::CompanyPrefix},  {951, 951, A::EpcGeneralManager},
    {952, 952, A::Demonstration},  {953, 976, A::CompanyPrefix},
    {977, 977, A::Issn},           {978, 978, A::Isbn},
    {980, 980, A::RefundReceipt},  {981, 983, A::Coupon},
    {984, 989, A::ReservedCoupon}, {990, 999, A::Coupon},
};

template <std::size_t N>
Allocation::Kind lookup(const Range (&ranges)[N], unsigned p) {
  for (const Range& r : ranges) {
    if (p >= r.first && p <= r.last) return r.allocation;
  }
  ADD_FAILURE() << "no range for " << p;
  return A::ReservedFutureUse;
}

std::string three(unsigned p) {
  std::string s = std::to_string(p);
  return std::string(3 - s.size(), '0') + s;
}

TEST(Allocation, EveryGtin8Prefix) {
  for (unsigned p = 0; p < 1000; ++p) {
    const Gtin14 g = gtin("000000" + three(p) + "45670");
    EXPECT_EQ(g.allocation().kind(), lookup(kGtin8Ranges, p)) << p;
  }
}

TEST(Allocation, EveryGs1PrefixUnderEveryIndicator) {
  for (char indicator = '0'; indicator <= '9'; ++indicator) {
    for (unsigned p = 1; p < 1000; ++p) {
      for (const char* rest : {"0000000000", "1234567890", "9999999999"}) {
        const std::string value = indicator + three(p) + rest;
        const Gtin14 g = gtin(value);
        Allocation::Kind expected = A::CompanyPrefix;
        if (p == 979) {
          expected = rest[0] == '0' ? A::Ismn : A::Isbn;
        } else {
          expected = lookup(kPrefixRanges, p);
        }
        // With a '0' indicator, the values whose positions 1 to 6 are '0' are GTIN-8s.
        if (value.starts_with("000000")) continue;
        EXPECT_EQ(g.allocation().kind(), expected) << value;
      }
    }
  }
}

TEST(Allocation, PrefixZeroSplitsOnPositionsFiveToEight) {
  struct Case {
    const char* value;
    Allocation::Kind allocation;
  } cases[] = {
      {"00001000000000", A::UpcCompanyPrefix}, {"00000100000000", A::UpcCompanyPrefix},
      {"10001000000000", A::UpcCompanyPrefix}, {"50000000000000", A::RestrictedCirculationCompany},
      {"10000001000000", A::UnusedForGtin8},   {"10000010000000", A::UnusedForGtin8},
      {"90000099000000", A::UnusedForGtin8},   {"90000000999999", A::RestrictedCirculationCompany},
  };
  for (const Case& c : cases) EXPECT_EQ(gtin(c.value).allocation().kind(), c.allocation) << c.value;
}

TEST(Allocation, NamesDescriptionsAndPredicates) {
  std::set<std::string_view> names;
  for (unsigned k = 0; k < Allocation::kCount; ++k) {
    const Allocation a(static_cast<Allocation::Kind>(k));
    EXPECT_FALSE(a.name().empty());
    EXPECT_FALSE(a.description().empty());
    names.insert(a.name());
    EXPECT_EQ(a.is_restricted_circulation(), k <= 1) << a.name();
    EXPECT_EQ(a.is_publication_or_coupon(), k >= 9 && k <= 14) << a.name();
  }
  EXPECT_EQ(names.size(), Allocation::kCount);
  EXPECT_EQ(Allocation(A::RestrictedCirculationCompany).name(), "restricted_circulation_company");
  EXPECT_EQ(Allocation(A::UpcCompanyPrefix).description(),
            "GS1 Company Prefixes from which U.P.C. Company Prefixes can be derived");
  EXPECT_EQ(Allocation(A::EpcGeneralManager).description(),
            "General Manager Numbers for the EPC General Identifier (GID) scheme");
  EXPECT_EQ(Allocation(A::ReservedFutureUse).name(), "reserved_future_use");
  EXPECT_EQ(Allocation(A::ReservedFutureUse).description(), "Reserved for future use");
}

}  // namespace
}  // namespace tevora
