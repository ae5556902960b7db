#include "tevora/heuristics.hpp"

#include <gtest/gtest.h>

#include "testing.hpp"

namespace tevora {
namespace {

using testing::gtin;

struct HeuristicCase {
  const char* value;
  bool internal_code;
  bool measure_zeroed;
};

class HeuristicCases : public ::testing::TestWithParam<HeuristicCase> {};

TEST_P(HeuristicCases, BothPredicates) {
  const Gtin14 g = gtin(GetParam().value);
  EXPECT_EQ(looks_like_internal_code(g), GetParam().internal_code);
  EXPECT_EQ(measure_field_looks_zeroed(g), GetParam().measure_zeroed);
}

INSTANTIATE_TEST_SUITE_P(Edges, HeuristicCases,
                         ::testing::Values(HeuristicCase{"00000000000000", true, false},
                                           HeuristicCase{"00000000000001", true, false},
                                           HeuristicCase{"00000001234565", true, false},
                                           HeuristicCase{"00000012345670", false, false},
                                           HeuristicCase{"00000001000000", true, true},
                                           HeuristicCase{"00000020000000", false, true},
                                           HeuristicCase{"02123450000000", false, true},
                                           HeuristicCase{"00212345000000", false, true},
                                           HeuristicCase{"00412340000000", false, true},
                                           HeuristicCase{"90200000000000", false, true},
                                           HeuristicCase{"02123400000000", false, false},
                                           HeuristicCase{"02123450000005", false, false},
                                           HeuristicCase{"02123450000007", false, false},
                                           HeuristicCase{"04006380000000", false, false}));

TEST(Heuristics, Properties) {
  testing::DigitSource source;
  for (int round = 0; round < testing::kRounds; ++round) {
    std::string text = source.value();
    if (source.uniform(2) == 0) text.replace(9, 5, "00000");  // reach the zeroed measure field
    const Gtin14 g = gtin(text);
    ASSERT_EQ(looks_like_internal_code(g), g.significant_digits() <= 7) << text;
    if (looks_like_internal_code(g)) {
      ASSERT_EQ(g.allocation(), Allocation::RestrictedCirculationCompany) << text;
    }
    const bool zeroed = g.allocation().is_restricted_circulation() && text.ends_with("00000") &&
                        g.expected_check_digit() != 0;
    ASSERT_EQ(measure_field_looks_zeroed(g), zeroed) << text;
  }
}

}  // namespace
}  // namespace tevora
