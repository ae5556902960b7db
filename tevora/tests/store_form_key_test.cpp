#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "testing.hpp"
#include "tevora/tevora.hpp"

namespace tevora {
namespace {

static_assert(std::is_trivially_copyable_v<GtinKey> && sizeof(GtinKey) == 16);
static_assert(std::is_trivially_copyable_v<StoreForm>);
static_assert(std::is_trivially_copyable_v<Parsed>);

struct StoreCase {
  std::string input;
  std::string stored;
  bool borrows;
};

class StoreForms : public ::testing::TestWithParam<StoreCase> {};

TEST_P(StoreForms, Text) {
  const std::string& input = GetParam().input;
  const StoreForm form = store_form(input);
  EXPECT_EQ(form.as_str(), GetParam().stored);
  EXPECT_EQ(form.borrows_input(), GetParam().borrows);
  if (form.borrows_input()) {
    EXPECT_EQ(form.as_str().data(), input.data());
  }
  // The same content from an existing parse, without parsing again.
  const Parsed parsed = parse(input);
  EXPECT_EQ(parsed.store_form(), GetParam().stored);
  // A copy keeps its own digits.
  const StoreForm copy = form;
  EXPECT_EQ(copy.as_str(), GetParam().stored);
}

INSTANTIATE_TEST_SUITE_P(Edges, StoreForms,
                         ::testing::Values(StoreCase{"", "", true}, StoreCase{" ", " ", true},
                                           StoreCase{"abc", "abc", true},
                                           StoreCase{"1234567", "1234567", true},
                                           StoreCase{"123456789012345", "123456789012345", true},
                                           StoreCase{"0000000012345670", "0000000012345670", true},
                                           StoreCase{"4006381333931.", "4006381333931.", true},
                                           StoreCase{"4006381333931", "04006381333931", false},
                                           StoreCase{"04006381333931", "04006381333931", true},
                                           StoreCase{" 4006-3813-33931 ", "04006381333931", false},
                                           StoreCase{"4006381333931.0", "04006381333931", false},
                                           StoreCase{"4006381333932", "04006381333932", false},
                                           StoreCase{"12345670", "00000012345670", false},
                                           StoreCase{"00000000", "00000000000000", false}));

struct KeyCase {
  std::string input;
  std::optional<std::string> key;
};

class Keys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(Keys, Text) {
  const std::optional<GtinKey> k = key(GetParam().input);
  ASSERT_EQ(k.has_value(), GetParam().key.has_value());
  if (k) {
    EXPECT_EQ(k->as_key_str(), *GetParam().key);
    EXPECT_EQ(k, key(parse(GetParam().input).accepted()->gtin));
  }
}

INSTANTIATE_TEST_SUITE_P(Edges, Keys,
                         ::testing::Values(KeyCase{"4006381333931", "04006381333930"},
                                           KeyCase{"4006381333932", "04006381333930"},
                                           KeyCase{"04006381333931", "04006381333930"},
                                           KeyCase{"10012345678902", "10012345678900"},
                                           KeyCase{"12345670", "00000012345670"},
                                           KeyCase{"00000000", "00000000000000"},
                                           KeyCase{"", std::nullopt}, KeyCase{"abc", std::nullopt},
                                           KeyCase{"1234567", std::nullopt},
                                           KeyCase{"123456789012345", std::nullopt}));

TEST(Key, EqualExactlyWhenThirteenPositionsAre) {
  testing::DigitSource source;
  for (int round = 0; round < testing::kRounds; ++round) {
    const std::string a = source.value();
    std::string b = a;
    // Change one position; position 14 must not matter, any other must.
    const std::size_t at = source.uniform(14);
    const std::size_t digit = static_cast<std::size_t>(b[at] - '0');
    b[at] = static_cast<char>('0' + (digit + 1 + source.uniform(9)) % 10);
    const GtinKey ka = key(testing::gtin(a));
    const GtinKey kb = key(testing::gtin(b));
    ASSERT_EQ(ka == kb, at == 13) << a << " " << b;
    ASSERT_EQ(ka.as_key_str().size(), 14u);
    ASSERT_EQ(ka.as_key_str().back(), '0');
    ASSERT_EQ(ka.as_key_str().substr(0, 13), a.substr(0, 13));
  }
}

TEST(StoreForm, InputForEveryRefusalDigitsForEveryAcceptance) {
  testing::DigitSource source(99);
  const char* extras[] = {" ", "-", ".", ",", "x", "\u00A0", "\u2014", ".0", "\u200C"};
  for (int round = 0; round < testing::kRounds; ++round) {
    std::string cell = source.digits(source.uniform(18));
    for (std::size_t k = source.uniform(3); k > 0; --k) {
      cell.insert(source.uniform(cell.size() + 1), extras[source.uniform(std::size(extras))]);
    }
    const Parsed parsed = parse(cell);
    const StoreForm form = store_form(cell);
    if (const Parsed::Accepted* a = parsed.accepted()) {
      ASSERT_EQ(form.as_str(), a->gtin.as_str()) << cell;
      ASSERT_EQ(form.borrows_input(), cell == a->gtin.as_str()) << cell;
      ASSERT_EQ(key(cell), key(a->gtin)) << cell;
    } else {
      ASSERT_EQ(form.as_str(), cell);
      ASSERT_TRUE(form.borrows_input());
      ASSERT_EQ(key(cell), std::nullopt) << cell;
    }
  }
}

}  // namespace
}  // namespace tevora
