// Helpers shared by the core tests.

#ifndef TEVORA_TESTS_TESTING_HPP_
#define TEVORA_TESTS_TESTING_HPP_

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "tevora/tevora.hpp"

namespace tevora::testing {

// A `Gtin14` the way callers get one: by parsing fourteen digits.
inline Gtin14 gtin(std::string_view fourteen_digits) {
  const Parsed parsed = parse(fourteen_digits);
  EXPECT_TRUE(parsed.is_accepted()) << fourteen_digits;
  EXPECT_EQ(fourteen_digits.size(), Gtin14::kSize);
  return parsed.accepted()->gtin;
}

// Deterministic random digits, so that a failure can be reproduced.
class DigitSource {
 public:
  explicit DigitSource(std::uint64_t seed = 20261208) : engine_(seed) {}
  std::string digits(std::size_t n) {
    std::string out(n, '0');
    for (char& c : out) c = static_cast<char>('0' + uniform(10));
    return out;
  }
  // A random fourteen-digit value whose leading digits are often '0', so
  // that every encoding and both allocation steps are reached.
  std::string value() {
    std::string out = digits(Gtin14::kSize);
    const std::size_t zeros = uniform(8);
    for (std::size_t i = 0; i < zeros; ++i) out[i] = '0';
    return out;
  }
  std::size_t uniform(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(engine_);
  }

 private:
  std::mt19937_64 engine_;
};

inline constexpr int kRounds = 20000;

}  // namespace tevora::testing

#endif  // TEVORA_TESTS_TESTING_HPP_
