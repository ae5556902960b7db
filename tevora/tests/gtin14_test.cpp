#include "tevora/gtin14.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "testing.hpp"
#include "tevora/internal/words.hpp"

namespace tevora {
namespace {

using testing::gtin;

// A value built at compile time, to show the arithmetic is constexpr.
constexpr Gtin14 kCompileTime = internal::Gtin14Access::from_digits(
    {'0', '4', '0', '0', '6', '3', '8', '1', '3', '3', '3', '9', '3', '2'});
static_assert(kCompileTime.expected_check_digit() == 1);
static_assert(!kCompileTime.check_digit_is_valid());
static_assert(kCompileTime.with_recomputed_check_digit().as_str() == "04006381333931");
static_assert(kCompileTime.shortest() == "4006381333932");
static_assert(std::is_trivially_copyable_v<Gtin14> && sizeof(Gtin14) == 16);

struct WorkedValue {
  const char* value;
  unsigned expected;
  bool valid;
  const char* recomputed;
  Encoding encoding;
  const char* shortest;
  std::size_t significant;
  std::optional<unsigned> indicator_digit;  // 9 means variable measure
};

class WorkedValues : public ::testing::TestWithParam<WorkedValue> {};

TEST_P(WorkedValues, EveryOperation) {
  const WorkedValue& w = GetParam();
  const Gtin14 g = gtin(w.value);
  EXPECT_EQ(g.as_str(), w.value);
  EXPECT_EQ(g.expected_check_digit(), w.expected);
  EXPECT_EQ(g.check_digit_is_valid(), w.valid);
  EXPECT_EQ(g.with_recomputed_check_digit().as_str(), w.recomputed);
  EXPECT_EQ(g.encoding(), w.encoding);
  EXPECT_EQ(g.shortest(), w.shortest);
  EXPECT_EQ(g.significant_digits(), w.significant);
  // As words: the fourteen digits and two zero bytes, for a parsed value and
  // a copy with its check digit replaced; and back to the same value.
  for (const Gtin14& value : {g, g.with_recomputed_check_digit()}) {
    const std::array<std::uint64_t, 2> words = internal::Gtin14Access::to_words(value);
    char bytes[16];
    internal::store8(bytes, words[0]);
    internal::store8(bytes + 8, words[1]);
    EXPECT_EQ(std::string_view(bytes, 16), std::string(value.as_str()) + std::string(2, '\0'));
    EXPECT_EQ(internal::Gtin14Access::from_words(words[0], words[1]), value);
  }
  const std::optional<Indicator> indicator = g.indicator();
  ASSERT_EQ(indicator.has_value(), w.indicator_digit.has_value());
  if (indicator) {
    EXPECT_EQ(indicator->digit(), *w.indicator_digit);
    EXPECT_EQ(indicator->kind(),
              *w.indicator_digit == 9 ? Indicator::VariableMeasure : Indicator::Grouping);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Gtin14, WorkedValues,
    ::testing::Values(WorkedValue{"04006381333931", 1, true, "04006381333931", Encoding::Gtin13,
                                  "4006381333931", 13, std::nullopt},
                      WorkedValue{"04006381333932", 1, false, "04006381333931", Encoding::Gtin13,
                                  "4006381333932", 13, std::nullopt},
                      WorkedValue{"00000012345670", 0, true, "00000012345670", Encoding::Gtin8,
                                  "12345670", 8, std::nullopt},
                      WorkedValue{"00012345678905", 5, true, "00012345678905", Encoding::Gtin12,
                                  "012345678905", 11, std::nullopt},
                      WorkedValue{"00614141999996", 6, true, "00614141999996", Encoding::Gtin12,
                                  "614141999996", 12, std::nullopt},
                      WorkedValue{"00000001234565", 5, true, "00000001234565", Encoding::Gtin8,
                                  "01234565", 7, std::nullopt},
                      WorkedValue{"10012345678902", 2, true, "10012345678902", Encoding::Gtin14,
                                  "10012345678902", 14, 1},
                      WorkedValue{"90012345678901", 8, false, "90012345678908", Encoding::Gtin14,
                                  "90012345678901", 14, 9},
                      WorkedValue{"00000000000000", 0, true, "00000000000000", Encoding::Gtin8,
                                  "00000000", 0, std::nullopt},
                      WorkedValue{"00000000000001", 0, false, "00000000000000", Encoding::Gtin8,
                                  "00000001", 1, std::nullopt},
                      // Encoding depends on the value, not on how many digits the cell had.
                      WorkedValue{"00001234567895", 5, true, "00001234567895", Encoding::Gtin12,
                                  "001234567895", 10, std::nullopt},
                      WorkedValue{"54006381333936", 6, true, "54006381333936", Encoding::Gtin14,
                                  "54006381333936", 14, 5}));

TEST(Gtin14, EncodingNames) {
  EXPECT_EQ(encoding_name(Encoding::Gtin8), "GTIN-8");
  EXPECT_EQ(encoding_name(Encoding::Gtin12), "GTIN-12");
  EXPECT_EQ(encoding_name(Encoding::Gtin13), "GTIN-13");
  EXPECT_EQ(encoding_name(Encoding::Gtin14), "GTIN-14");
}

TEST(Gtin14, IndicatorForEveryFirstDigit) {
  for (char first = '0'; first <= '9'; ++first) {
    const std::optional<Indicator> indicator =
        gtin(first + std::string("0012345678902")).indicator();
    if (first == '0') {
      EXPECT_FALSE(indicator.has_value());
      continue;
    }
    ASSERT_TRUE(indicator.has_value()) << first;
    EXPECT_EQ(indicator->digit(), static_cast<unsigned>(first - '0'));
    EXPECT_EQ(indicator->kind(), first == '9' ? Indicator::VariableMeasure : Indicator::Grouping);
    EXPECT_EQ(indicator->name(), first == '9' ? "variable_measure" : "grouping");
  }
}

// An independent formulation of GS1 Mod-10: weights 3, 1, 3, ... from the
// digit next to the check digit leftwards, over the text of any length.
unsigned reference_check_digit(const std::string& body) {
  unsigned sum = 0;
  unsigned weight = 3;
  for (auto it = body.rbegin(); it != body.rend(); ++it) {
    sum += weight * static_cast<unsigned>(*it - '0');
    weight = 4 - weight;
  }
  return sum % 10 == 0 ? 0 : 10 - sum % 10;
}

TEST(Gtin14, CheckDigitProperties) {
  testing::DigitSource source;
  for (int round = 0; round < testing::kRounds; ++round) {
    const std::string text = source.value();
    const Gtin14 g = gtin(text);
    const unsigned expected = reference_check_digit(text.substr(0, 13));
    ASSERT_EQ(g.expected_check_digit(), expected) << text;
    // Filling zeros add nothing: the shortest form has the same check digit.
    ASSERT_EQ(reference_check_digit(std::string(g.shortest().substr(0, g.shortest().size() - 1))),
              expected);
    ASSERT_EQ(g.check_digit_is_valid(), text.back() == static_cast<char>('0' + expected));
    const Gtin14 recomputed = g.with_recomputed_check_digit();
    ASSERT_TRUE(recomputed.check_digit_is_valid()) << text;
    ASSERT_EQ(recomputed.with_recomputed_check_digit(), recomputed) << text;
    ASSERT_EQ(recomputed.as_str().substr(0, 13), g.as_str().substr(0, 13));
    ASSERT_EQ(g == recomputed, g.check_digit_is_valid());
    // An indicator is present exactly for GTIN-14s, and the shortest form
    // keeps every significant digit.
    ASSERT_EQ(g.indicator().has_value(), g.encoding() == Encoding::Gtin14);
    ASSERT_LE(g.significant_digits(), g.shortest().size());
    ASSERT_TRUE(g.as_str().ends_with(g.shortest()));
  }
}

TEST(Gtin14, EverySumModuloTen) {
  // Each residue of the sum, reached by one digit at a weight-1 position.
  for (unsigned d = 0; d < 10; ++d) {
    const Gtin14 g = gtin("00000000000" + std::to_string(d) + "00");
    EXPECT_EQ(g.expected_check_digit(), (10 - d) % 10) << d;
  }
}

}  // namespace
}  // namespace tevora
