// The cell text of a double: the worked layouts, and round trips over
// doubles of every magnitude.

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <string_view>

#include "tevora/tevora.hpp"

namespace tevora {
namespace {

std::string text_of(double value) {
  char out[kFloatTextMax];
  return {out, float_text(value, out)};
}

struct Layout {
  double value;
  std::string_view text;
};

class FloatTextLayout : public ::testing::TestWithParam<Layout> {};

TEST_P(FloatTextLayout, WritesTheShortestDigitsLaidOutByMagnitude) {
  EXPECT_EQ(text_of(GetParam().value), GetParam().text);
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Worked, FloatTextLayout,
    ::testing::Values(Layout{4006381333931.0, "4006381333931.0"},
                      Layout{40063813339310.0, "40063813339310.0"},
                      Layout{12345670.5, "12345670.5"}, Layout{1e15, "1000000000000000.0"},
                      Layout{9999999999999998.0, "9999999999999998.0"}, Layout{1e16, "1e16"},
                      Layout{12345678901234567.0, "1.2345678901234568e16"},
                      Layout{0.0001, "0.0001"}, Layout{0.00001, "1e-5"}, Layout{-2.5e-7, "-2.5e-7"},
                      Layout{5e-324, "5e-324"},
                      Layout{1.7976931348623157e308, "1.7976931348623157e308"}, Layout{0.0, "0.0"},
                      Layout{-0.0, "-0.0"}, Layout{std::nan(""), "NaN"},
                      Layout{-std::nan(""), "NaN"}, Layout{kInf, "inf"}, Layout{-kInf, "-inf"},
                      // Whole numbers on both sides of 2^53, where doubles stop being 1 apart.
                      Layout{1.0, "1.0"}, Layout{-12345670.0, "-12345670.0"},
                      Layout{9007199254740991.0, "9007199254740991.0"},
                      Layout{9007199254740992.0, "9007199254740992.0"},
                      Layout{9007199254740994.0, "9007199254740994.0"}));

TEST(FloatText, EveryFiniteDoubleReadsBackLaidOutByItsMagnitude) {
  std::mt19937_64 bits(20261210);
  for (int i = 0; i < 200000; ++i) {
    // Half from arbitrary bit patterns, half whole numbers like a sheet's.
    const double value = i % 2 == 0 ? std::bit_cast<double>(bits())
                                    : static_cast<double>(static_cast<std::int64_t>(bits() >> 10)) *
                                          (i % 4 == 1 ? 1 : -1);
    if (!std::isfinite(value)) continue;
    const std::string text = text_of(value);
    double back = 0;
    const auto read = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_TRUE(read.ec == std::errc() && read.ptr == text.data() + text.size()) << text;
    ASSERT_EQ(back, value) << text;
    ASSERT_EQ(std::signbit(back), std::signbit(value)) << text;
    const double magnitude = std::fabs(value);
    const bool positional = magnitude == 0 || (magnitude >= 1e-4 && magnitude < 1e16);
    ASSERT_EQ(text.find('e') == std::string::npos, positional) << text;
    ASSERT_TRUE(!positional || text.find('.') != std::string::npos) << text;
  }
}

}  // namespace
}  // namespace tevora
