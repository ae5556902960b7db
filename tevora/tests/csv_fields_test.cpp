// The CSV field locator: fields, terminators and malformations, the same
// whatever the chunking.

#include "tevora/csv_fields.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tevora {
namespace {

// Everything the locator reported, written down as text so that two runs
// compare with one EXPECT_EQ: each field as its bytes, marked by how it is
// quoted, each record by its terminator and first line.
struct Collector {
  std::string_view input;
  std::string out;

  void field(const CsvField& f) noexcept {
    if (f.index > 0) out += '|';
    out += input.substr(f.content_begin(), f.content_end() - f.content_begin());
    if (f.quoted) out += "(q)";
    if (f.doubled) out += "(d)";
    if (f.stray_quote) out += "(s)";
    if (f.text_after_quote) out += "(a)";
  }
  void record(const CsvRecord& r) noexcept {
    static constexpr std::string_view kNames[] = {"<eof>", "<lf>", "<crlf>", "<cr>"};
    out += kNames[static_cast<int>(r.ending)];
    out += std::to_string(r.line);
    EXPECT_EQ(input.substr(r.terminator, r.end - r.terminator), terminator_text(r.ending));
    if (r.blank()) out += "(blank)";
    out += '\n';
  }
};

// The report of the whole input, fed in the given pieces; "error@N" for an
// unterminated quote opened on line N.
std::string locate(std::string_view input, const std::vector<std::size_t>& cuts,
                   CsvDialect dialect = {}) {
  CsvFields fields(dialect);
  Collector collector{input, {}};
  std::size_t at = 0;
  for (const std::size_t cut : cuts) {
    fields.feed(input.substr(at, cut - at), collector);
    at = cut;
  }
  fields.feed(input.substr(at), collector);
  if (!fields.finish(collector)) return "error@" + std::to_string(fields.open_quote_line());
  EXPECT_EQ(fields.offset(), input.size());
  return collector.out;
}

struct Case {
  std::string_view input;
  std::string_view expected;
};

class CsvFieldsTest : public ::testing::TestWithParam<Case> {};

TEST_P(CsvFieldsTest, ReportsTheSameAtEverySplit) {
  const Case& c = GetParam();
  EXPECT_EQ(locate(c.input, {}), c.expected);
  for (std::size_t cut = 0; cut <= c.input.size(); ++cut) {
    EXPECT_EQ(locate(c.input, {cut}), c.expected) << "split at " << cut;
  }
  std::vector<std::size_t> every;
  for (std::size_t cut = 1; cut < c.input.size(); ++cut) every.push_back(cut);
  EXPECT_EQ(locate(c.input, every), c.expected) << "one byte at a time";
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, CsvFieldsTest,
    ::testing::Values(
        Case{"", ""}, Case{"a", "a<eof>1\n"}, Case{"a,b\n", "a|b<lf>1\n"},
        Case{"a,b\r\nc,d\r\n", "a|b<crlf>1\nc|d<crlf>2\n"}, Case{"a\rb\r", "a<cr>1\nb<cr>2\n"},
        Case{"a\n\r\nb\r\rc", "a<lf>1\n<crlf>2(blank)\nb<cr>3\n<cr>4(blank)\nc<eof>5\n"},
        Case{"a,,\n,\n", "a||<lf>1\n|<lf>2\n"}, Case{"\"x,y\",\"\"\n", "x,y(q)|(q)<lf>1\n"},
        Case{"\"a\"\"b\",c", "a\"\"b(q)(d)|c<eof>1\n"},
        // Line ends inside quotes are content, and count as lines.
        Case{"\"a\r\nb\rc\nd\",e\nf\n", "a\r\nb\rc\nd(q)|e<lf>1\nf<lf>5\n"},
        // Malformed quoting stays as it stands.
        Case{"A,Big \"XL\" box,1\n", "A|Big \"XL\" box(s)|1<lf>1\n"},
        Case{"A,\"Big\" box,1\n", "A|\"Big\" box(a)|1<lf>1\n"},
        Case{"\"a\"\"\",\"b\"x\"\"\n", "a\"\"(q)(d)|\"b\"x\"\"(a)<lf>1\n"},
        Case{"x\n\"open,1\n2\n", "error@2"}, Case{"\"\n\n\"\"", "error@1"},
        Case{"\"closed\"", "closed(q)<eof>1\n"}, Case{"a,\"b\"\r", "a|b(q)<cr>1\n"}));

TEST(CsvFields, QuotesNothingWithoutAQuote) {
  const CsvDialect tabs{'\t', -1};
  EXPECT_EQ(locate("\"a\tb\"\tc\n", {3}, tabs), "\"a|b\"|c<lf>1\n");
  const CsvDialect semicolons{';', '\''};
  EXPECT_EQ(locate("'a;b';\"c\"\n", {2}, semicolons), "a;b(q)|\"c\"<lf>1\n");
}

TEST(CsvFields, TellsWhereTheOpenFieldBegan) {
  CsvFields fields({});
  Collector collector{"ab,\"cd", {}};
  fields.feed(collector.input, collector);
  EXPECT_TRUE(fields.in_record());
  EXPECT_EQ(fields.field_begin(), 3U);
  EXPECT_EQ(fields.field_index(), 1U);
  EXPECT_FALSE(fields.finish(collector));
  EXPECT_EQ(fields.open_quote_line(), 1U);

  CsvFields ended({});
  Collector other{"a\r", {}};
  ended.feed(other.input, other);
  EXPECT_TRUE(ended.pending_cr());
  EXPECT_EQ(ended.line(), 2U);
}

}  // namespace
}  // namespace tevora
