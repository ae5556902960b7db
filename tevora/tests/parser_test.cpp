#include "tevora/parser.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "testing.hpp"

namespace tevora {
namespace {

// The expected outcome of one parse, written so that a table reads like the
// worked examples: either the digits read and the flags set, or the reason.
struct Expected {
  std::optional<std::string> gtin;
  bool whitespace = false;
  bool separators = false;
  bool fraction = false;
  Reason reason = Reason::Empty;
};

Expected accepted(std::string digits, bool whitespace = false, bool separators = false,
                  bool fraction = false) {
  return {std::move(digits), whitespace, separators, fraction, Reason::Empty};
}
Expected refused(Reason reason) { return {std::nullopt, false, false, false, reason}; }

struct Example {
  std::string name;
  std::string input;
  Expected expected;
};

void PrintTo(const Example& e, std::ostream* os) { *os << e.name; }

void expect_parse(const std::string& input, const Expected& expected) {
  const Parsed parsed = parse(input);
  EXPECT_EQ(parsed.raw(), input);
  EXPECT_EQ(parsed.raw().data(), input.data()) << "raw must borrow the input";
  if (expected.gtin) {
    const Parsed::Accepted* a = parsed.accepted();
    ASSERT_NE(a, nullptr) << "refused as " << parsed.refused()->reason.name();
    EXPECT_EQ(a->gtin.as_str(), *expected.gtin);
    EXPECT_EQ(a->removed_whitespace, expected.whitespace);
    EXPECT_EQ(a->removed_separators, expected.separators);
    EXPECT_EQ(a->dropped_fraction, expected.fraction);
  } else {
    const Parsed::Refused* r = parsed.refused();
    ASSERT_NE(r, nullptr) << "accepted as " << parsed.accepted()->gtin.as_str();
    EXPECT_EQ(r->reason, expected.reason) << r->reason.name() << " " << expected.reason.name();
  }
}

class ParseExamples : public ::testing::TestWithParam<Example> {};

std::string example_name(const ::testing::TestParamInfo<Example>& param) {
  return param.param.name;
}

TEST_P(ParseExamples, Outcome) { expect_parse(GetParam().input, GetParam().expected); }

const Reason kEmpty = Reason::Empty;
const Reason kNonNumeric = Reason::NonNumeric;

INSTANTIATE_TEST_SUITE_P(
    Worked, ParseExamples,
    ::testing::Values(
        Example{"empty", "", refused(kEmpty)}, Example{"space", " ", refused(kEmpty)},
        Example{"tab_line_feed", "\t\n", refused(kEmpty)},
        Example{"hyphen_minus", "-", refused(kEmpty)},
        Example{"em_dash", "\u2014", refused(kEmpty)},
        Example{"zero_width_space", "\u200B", refused(kEmpty)},
        Example{"full_stop", ".", refused(kNonNumeric)},
        Example{"comma", ",", refused(kNonNumeric)},
        Example{"point_five", ".5", refused(kNonNumeric)},
        Example{"seven_digits", "1234567", refused(Reason::too_short(7))},
        Example{"seven_zeros", "0000000", refused(Reason::too_short(7))},
        Example{"seven_and_fraction", "1234567.89", refused(Reason::too_short(7))},
        Example{"comma_after_two", "12,345678", refused(Reason::too_short(2))},
        Example{"eight_digits", "12345678", accepted("00000012345678")},
        Example{"eight_zeros", "00000000", accepted("00000000000000")},
        Example{"thirteen", "4006381333931", accepted("04006381333931")},
        Example{"fourteen", "40063813339310", accepted("40063813339310")},
        Example{"fifteen", "400638133393101", refused(Reason::too_long(15))},
        Example{"fifteen_zeros", "000000000000000", refused(Reason::too_long(15))},
        Example{"twenty", "12345678901234567890", refused(Reason::too_long(20))},
        Example{"fifteen_and_fraction", "123456789012345.6", refused(Reason::too_long(15))},
        Example{"point_zero", "4006381333931.0", accepted("04006381333931", false, false, true)},
        Example{"point_zero_zero", "4006381333931.00",
                accepted("04006381333931", false, false, true)},
        Example{"comma_five", "4006381333931,5", accepted("04006381333931", false, false, true)},
        Example{"point_four", "1234567890123.4", accepted("01234567890123", false, false, true)},
        Example{"trailing_point", "4006381333931.", refused(kNonNumeric)},
        Example{"point_then_space", "12345670. ", refused(kNonNumeric)},
        Example{"point_then_dash", "12345678.-", refused(kNonNumeric)},
        Example{"two_points", "12345678..", refused(kNonNumeric)},
        Example{"second_fraction", "4006381333931.0.0", refused(kNonNumeric)},
        Example{"thousands", "1,234,567,890,123", refused(kNonNumeric)},
        Example{"space_before_point", "12345670 .5", accepted("00000012345670", true, false, true)},
        Example{"dashed", "4006-3813-3393-1", accepted("04006381333931", false, true)},
        Example{"leading_minus", "-12345670", accepted("00000012345670", false, true)},
        Example{"inner_dash", "1234567-8", accepted("00000012345678", false, true)},
        Example{"spaces_around", " 4006381333931 ", accepted("04006381333931", true)},
        Example{"bom", "\uFEFF4006381333931", accepted("04006381333931", true)},
        Example{"no_break_space", "4006\u00A0381333931", accepted("04006381333931", true)},
        Example{"minus_sign", "4006\u2212381333931", accepted("04006381333931", false, true)},
        Example{"word_joiner", "4006381333931\u2060", accepted("04006381333931", true)},
        Example{"mixed", "1\u00A02\u20143\u200B4\u20605\uFEFF6\u2212789",
                accepted("00000123456789", true, true)},
        Example{"zero_width_non_joiner", "4006381333931\u200C", refused(kNonNumeric)},
        Example{"mongolian_vowel_separator", "1234\u180E5678", refused(kNonNumeric)},
        Example{"plus", "+4006381333931", refused(kNonNumeric)},
        Example{"exponent", "4006381333931e0", refused(kNonNumeric)},
        Example{"words", "GTIN 12345678", refused(kNonNumeric)},
        Example{"fullwidth_four", "\uFF14006381333931", refused(kNonNumeric)}),
    example_name);

INSTANTIATE_TEST_SUITE_P(
    Consequences, ParseExamples,
    ::testing::Values(
        // A refusal during the scan wins over any length.
        Example{"twenty_then_letter", "12345678901234567890x", refused(kNonNumeric)},
        Example{"six_then_letter", "123456x", refused(kNonNumeric)},
        // Every digit after the separator is fraction, across whitespace and dashes.
        Example{"fraction_across_space", "12345670 .5 5",
                accepted("00000012345670", true, false, true)},
        Example{"fraction_across_dash", "12345670.5-5",
                accepted("00000012345670", false, true, true)},
        Example{"fraction_digits_ignored", "12345670.99",
                accepted("00000012345670", false, false, true)},
        Example{"long_fraction", "12345670.123456789012345678",
                accepted("00000012345670", false, false, true)},
        Example{"leading_zero_fifteen", "012345678901234", refused(Reason::too_long(15))},
        Example{"fourteen_with_zeros", "00000012345670", accepted("00000012345670")},
        Example{"dash_only_then_point", "-.", refused(kNonNumeric)},
        Example{"point_then_only_space", "12345670.\u3000", refused(kNonNumeric)},
        Example{"only_separators", "-\u00AD\u2010\u2011\u2012\u2013\u2014\u2015\u2212",
                refused(kEmpty)},
        Example{"only_invisible", "\u200B\u2060\uFEFF\u0085\u1680", refused(kEmpty)},
        Example{"one_digit", "5", refused(Reason::too_short(1))},
        Example{"nul_inside",
                std::string("1234\0"
                            "5678",
                            9),
                refused(kNonNumeric)},
        Example{"information_separator",
                "1234\x1C"
                "5678",
                refused(kNonNumeric)},
        Example{"delete",
                "1234\x7F"
                "5678",
                refused(kNonNumeric)},
        Example{"c1_control", "1234\u00845678", refused(kNonNumeric)},
        Example{"double_vertical_line", "1234\u20165678", refused(kNonNumeric)},
        Example{"zero_width_joiner", "1234\u200D5678", refused(kNonNumeric)},
        Example{"solidus", "1234/5678", refused(kNonNumeric)},
        Example{"arabic_indic_digit", "1234567\u0668", refused(kNonNumeric)}),
    example_name);

// Malformed UTF-8 is refused like any other character outside the classes:
// truncated, overlong, surrogate, beyond U+10FFFF, stray continuation bytes.
INSTANTIATE_TEST_SUITE_P(
    MalformedUtf8, ParseExamples,
    ::testing::Values(Example{"truncated_two", "12345678\xC2", refused(kNonNumeric)},
                      Example{"truncated_three", "12345678\xE2\x80", refused(kNonNumeric)},
                      Example{"truncated_three_short", "12345678\xE3", refused(kNonNumeric)},
                      Example{"overlong_space", "12345678\xC0\xA0", refused(kNonNumeric)},
                      Example{"overlong_digit", "1234567\xC0\xB8", refused(kNonNumeric)},
                      Example{"overlong_three_space", "12345678\xE0\x80\xA0", refused(kNonNumeric)},
                      Example{"overlong_four_space", "12345678\xF0\x80\x80\xA0",
                              refused(kNonNumeric)},
                      Example{"overlong_nbsp", "12345678\xE0\x82\xA0", refused(kNonNumeric)},
                      Example{"surrogate", "12345678\xED\xA0\x80", refused(kNonNumeric)},
                      Example{"above_max", "12345678\xF4\x90\x80\x80", refused(kNonNumeric)},
                      Example{"lead_f5", "12345678\xF5\x80\x80\x80", refused(kNonNumeric)},
                      Example{"stray_continuation",
                              "1234\x80"
                              "5678",
                              refused(kNonNumeric)},
                      Example{"nbsp_missing_lead",
                              "1234\xA0"
                              "5678",
                              refused(kNonNumeric)},
                      Example{"byte_fe", "12345678\xFE", refused(kNonNumeric)},
                      Example{"byte_ff", "\xFF", refused(kNonNumeric)},
                      Example{"lead_then_ascii",
                              "1234\xE2"
                              "5678",
                              refused(kNonNumeric)},
                      Example{"bad_second_byte",
                              "1234\xE2\x28\x80"
                              "5678",
                              refused(kNonNumeric)}),
    example_name);

TEST(Parse, NeverReadsPastTheEnd) {
  // Each view stops inside a sequence that the bytes after it would complete;
  // a parser that looked past the end would accept the cell.
  const std::string backing = "12345678\xE2\x80\x8B\xC2\xA0";
  for (std::size_t cut : {9u, 10u, 12u}) {
    const Parsed parsed = parse(std::string_view(backing).substr(0, cut));
    ASSERT_FALSE(parsed.is_accepted()) << cut;
    EXPECT_EQ(parsed.refused()->reason, Reason::NonNumeric);
  }
  EXPECT_TRUE(parse(std::string_view(backing).substr(0, 11)).is_accepted());
}

TEST(Parse, LengthBoundsAroundTheDomain) {
  for (std::size_t n = 1; n <= 30; ++n) {
    const std::string digits(n, '7');
    const Parsed parsed = parse(digits);
    if (n < kDomainMinDigits) {
      EXPECT_EQ(parsed.refused()->reason, Reason::too_short(n));
      EXPECT_EQ(parsed.refused()->reason.digits(), n);
    } else if (n > kDomainMaxDigits) {
      EXPECT_EQ(parsed.refused()->reason, Reason::too_long(n));
      EXPECT_EQ(parsed.refused()->reason.digits(), n);
    } else {
      ASSERT_TRUE(parsed.is_accepted());
      EXPECT_EQ(parsed.accepted()->gtin.as_str(), std::string(14 - n, '0') + digits);
    }
  }
  EXPECT_EQ(Reason(Reason::Empty).digits(), std::nullopt);
  EXPECT_EQ(Reason(Reason::NonNumeric).digits(), std::nullopt);
}

// ---- Every code point ------------------------------------------------------

std::string utf8(char32_t cp) {
  std::string out;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

const std::set<char32_t> kWhitespace = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,
                                        0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004,
                                        0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028,
                                        0x2029, 0x202F, 0x205F, 0x3000};
const std::set<char32_t> kZeroWidth = {0x200B, 0x2060, 0xFEFF};
const std::set<char32_t> kDashes = {0x2D,   0xAD,   0x2010, 0x2011, 0x2012,
                                    0x2013, 0x2014, 0x2015, 0x2212};

TEST(Parse, EveryCodePointBehavesAsItsClass) {
  ASSERT_EQ(kWhitespace.size(), 25u);  // the Unicode White_Space property
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;  // not encodable; see MalformedUtf8
    const std::string cell = "12345678" + utf8(cp) + "9";
    const Parsed parsed = parse(cell);
    Expected expected = refused(Reason::NonNumeric);
    if (cp >= '0' && cp <= '9') {
      expected = accepted("000012345678" + std::string(1, static_cast<char>(cp)) + "9");
    } else if (kWhitespace.count(cp) || kZeroWidth.count(cp)) {
      expected = accepted("00000123456789", true);
    } else if (kDashes.count(cp)) {
      expected = accepted("00000123456789", false, true);
    } else if (cp == ',' || cp == '.') {
      expected = accepted("00000012345678", false, false, true);
    }
    ASSERT_EQ(parsed.is_accepted(), expected.gtin.has_value()) << std::hex << "U+" << +cp;
    if (const Parsed::Accepted* a = parsed.accepted()) {
      ASSERT_EQ(a->gtin.as_str(), *expected.gtin) << std::hex << +cp;
      ASSERT_EQ(a->removed_whitespace, expected.whitespace) << std::hex << +cp;
      ASSERT_EQ(a->removed_separators, expected.separators) << std::hex << +cp;
      ASSERT_EQ(a->dropped_fraction, expected.fraction) << std::hex << +cp;
    } else {
      ASSERT_EQ(parsed.refused()->reason, Reason::NonNumeric) << std::hex << +cp;
    }
  }
}

TEST(Parse, EveryNonAsciiByteAloneOrTruncated) {
  // No accepted code point is encoded by a lone byte, nor by a lead byte
  // followed by these continuations; each of these cells must be refused.
  for (unsigned b = 0x80; b < 256; ++b) {
    for (const char* tail : {"", "\x80", "\xBF\xBF", "\x80\x80\x80"}) {
      const std::string cell = "12345678" + std::string(1, static_cast<char>(b)) + tail;
      const Parsed parsed = parse(cell);
      ASSERT_FALSE(parsed.is_accepted()) << b << " " << tail;
      ASSERT_EQ(parsed.refused()->reason, Reason::NonNumeric);
    }
  }
}

// ---- A reference model, over generated cells -------------------------------

// The documented steps over decoded code points, written independently of the
// byte-level parser. Cells here are well-formed UTF-8.
Expected reference_parse(const std::vector<char32_t>& cps) {
  if (cps.empty()) return refused(Reason::Empty);
  std::string digits;
  std::size_t fraction_digits = 0;
  bool in_fraction = false;
  Expected out;
  for (char32_t cp : cps) {
    if (cp >= '0' && cp <= '9') {
      if (in_fraction) {
        ++fraction_digits;
      } else {
        digits += static_cast<char>(cp);
      }
    } else if (kWhitespace.count(cp) || kZeroWidth.count(cp)) {
      out.whitespace = true;
    } else if (kDashes.count(cp)) {
      out.separators = true;
    } else if ((cp == '.' || cp == ',') && !in_fraction && !digits.empty()) {
      in_fraction = true;
    } else {
      return refused(Reason::NonNumeric);
    }
  }
  if (in_fraction && fraction_digits == 0) return refused(Reason::NonNumeric);
  if (digits.empty()) return refused(Reason::Empty);
  if (digits.size() < 8) return refused(Reason::too_short(digits.size()));
  if (digits.size() > 14) return refused(Reason::too_long(digits.size()));
  out.gtin = std::string(14 - digits.size(), '0') + digits;
  out.fraction = in_fraction;
  return out;
}

TEST(Parse, AgreesWithTheReferenceModel) {
  // Mostly digits, with every kind of character mixed in at random places.
  const std::vector<char32_t> alphabet = {
      '0', '1', '2', '3',  '4',    '5',    '6',     '7',    '8',   '9',    '0',
      '5', '9', ' ', '\t', 0xA0,   0x3000, 0x200B,  0xFEFF, '-',   0x2014, 0x2212,
      '.', ',', 'e', '+',  0x200C, 0xFF11, 0x1F600, 0,      '\x7F'};
  testing::DigitSource source(7);
  for (int round = 0; round < 200000; ++round) {
    std::vector<char32_t> cps(source.uniform(22));
    const bool mostly_digits = source.uniform(4) != 0;
    for (char32_t& cp : cps) {
      cp = mostly_digits && source.uniform(6) != 0 ? static_cast<char32_t>('0' + source.uniform(10))
                                                   : alphabet[source.uniform(alphabet.size())];
    }
    std::string cell;
    for (char32_t cp : cps) cell += utf8(cp);
    const Expected expected = reference_parse(cps);
    const Parsed parsed = parse(cell);
    ASSERT_EQ(parsed.is_accepted(), expected.gtin.has_value()) << cell;
    if (const Parsed::Accepted* a = parsed.accepted()) {
      ASSERT_EQ(a->gtin.as_str(), *expected.gtin) << cell;
      ASSERT_EQ(a->removed_whitespace, expected.whitespace) << cell;
      ASSERT_EQ(a->removed_separators, expected.separators) << cell;
      ASSERT_EQ(a->dropped_fraction, expected.fraction) << cell;
    } else {
      ASSERT_EQ(parsed.refused()->reason, expected.reason) << cell;
    }
    ASSERT_EQ(parsed.raw(), cell);
  }
}

TEST(Reason, Names) {
  EXPECT_EQ(Reason(Reason::Empty).name(), "empty");
  EXPECT_EQ(Reason(Reason::NonNumeric).name(), "non_numeric");
  EXPECT_EQ(Reason::too_short(3).name(), "too_short");
  EXPECT_EQ(Reason::too_long(30).name(), "too_long");
}

}  // namespace
}  // namespace tevora

namespace tevora {
namespace {

TEST(Parse, CodesWrittenAsFloats) {
  // Every integer length around the domain, every fraction length around
  // the eight digits read at once, both separators, and a fault in the
  // fraction at each place.
  for (std::size_t digits = 6; digits <= 16; ++digits) {
    for (std::size_t fraction = 0; fraction <= 10; ++fraction) {
      for (const char separator : {'.', ','}) {
        const std::string integer = std::string("4006381333931234").substr(0, digits);
        const std::string cell = integer + separator + std::string(fraction, '7');
        const Parsed parsed = parse(cell);
        if (fraction == 0) {
          ASSERT_EQ(parsed.refused()->reason, Reason::NonNumeric) << cell;
        } else if (digits < 8) {
          ASSERT_EQ(parsed.refused()->reason, Reason::too_short(digits)) << cell;
        } else if (digits > 14) {
          ASSERT_EQ(parsed.refused()->reason, Reason::too_long(digits)) << cell;
        } else {
          ASSERT_TRUE(parsed.is_accepted()) << cell;
          EXPECT_EQ(parsed.accepted()->gtin.as_str(), std::string(14 - digits, '0') + integer);
          EXPECT_TRUE(parsed.accepted()->dropped_fraction);
          EXPECT_FALSE(parsed.accepted()->removed_whitespace ||
                       parsed.accepted()->removed_separators);
        }
        for (std::size_t at = 0; at < fraction; ++at) {
          std::string faulty = cell;
          faulty[digits + 1 + at] = 'x';
          ASSERT_EQ(parse(faulty).refused()->reason, Reason::NonNumeric) << faulty;
          faulty[digits + 1 + at] = ' ';
          // A space is skipped; the fraction still needs one digit.
          ASSERT_EQ(parse(faulty).is_accepted(), digits >= 8 && digits <= 14 && fraction >= 2)
              << faulty;
        }
      }
    }
  }
}

}  // namespace
}  // namespace tevora
