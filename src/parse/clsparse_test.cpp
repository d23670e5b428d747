#include "parse/clsparse.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <memory>

namespace quillo {
namespace {

// The text a Value holds, or a marker that makes a comparison fail visibly.
std::string text_of(const Value& v) {
  return v.is_text() ? v.text() : "<not text>";
}

struct FakeRange : RangeRef {
  Array a;
  explicit FakeRange(Array arr) : a(std::move(arr)) {}
  Array values() const override { return a; }
};

class clsparseTest : public ::testing::Test {
 protected:
  clsparse p;
};

TEST_F(clsparseTest, Convert1LeadWindowAndMarkers) {
  const std::string page = "<b>Last</b><td>12.5</td><td>13</td>";
  std::int64_t window = 0;
  EXPECT_EQ(text_of(p.convert1(page, "LAST", "<td>", "</td>", window)), "12.5");
  EXPECT_EQ(window, static_cast<std::int64_t>(page.size()));
  window = 5;  // the window ends before the value's end marker
  EXPECT_EQ(text_of(p.convert1(page, "last", "<td>", "</td>", window)), kNotFound);
  window = 0;
  EXPECT_EQ(text_of(p.convert1(page, "", "</td><td>", "</td>", window)), "13");
  EXPECT_EQ(window, 0);  // untouched without a lead marker
  EXPECT_EQ(text_of(p.convert1(page, "Open", "<td>", "</td>", window)), kNotFound);
  window = -1;
  EXPECT_EQ(text_of(p.convert1(page, "Last", "", "", window)), kNotFound);
}

TEST_F(clsparseTest, Convert3And5WalkAnchorsThenMarkers) {
  const std::string page = "Volume<td>x</td>Price<td class=a>7</td><span>9</span>";
  // After the anchor and its tag the rest of the tag is dropped at ">".
  EXPECT_EQ(text_of(p.convert3(page, "Price<td", "", "</td>")), "7");
  EXPECT_EQ(text_of(p.convert3(page, "", "<span>", "</span>")), "9");
  EXPECT_EQ(text_of(p.convert3(page, "Price", "<td", "<")), "7");
  EXPECT_EQ(text_of(p.convert3(page, "Price<tr", "", "</td>")), kNotFound);
  // convert5 checks the tags right after each anchor and retries at the
  // next anchor: the first "x" is followed by <td>, the second by <span>.
  const std::string rows = "x<td>1</td> X<span>2</span>";
  EXPECT_EQ(text_of(p.convert5(rows, "x<span", ">", "<")), "2");
  EXPECT_EQ(text_of(p.convert5(rows, "x<td", ">", "<")), "1");
  EXPECT_EQ(text_of(p.convert5(rows, "x<b", ">", "<")), kNotFound);
  EXPECT_EQ(text_of(p.convert5(rows, "", "<span>", "<")), "2");
}

// Tag-name pieces and markers stand for whole tag names: "<b" is neither
// "<br" nor "<button", "</b" not "</body>". Other text matches anywhere.
TEST_F(clsparseTest, TagNamesInTemplatesAndMarkersMatchWholeNames) {
  const std::string page = "<p>Price <br><b class=x>7,5</b> <button>Buy</button> EUR</p></body>";
  EXPECT_EQ(text_of(p.convert3(page, "<p", "<b", "</b")), "7,5");
  EXPECT_EQ(text_of(p.convert3(page, "<p<B", "<BUTTON", "</BUTTON")), "Buy");
  EXPECT_EQ(text_of(p.convert3("<img src=x><i>7</i>", "", "<i", "</i")), "7");
  EXPECT_EQ(text_of(p.convert3("<b\n>8</b\t>", "", "<b", "</b")), "8");
  EXPECT_EQ(text_of(p.convert3("<br/><b/>", "<br", "<b", "/")), "");
  // An element left open: its end marker is nowhere, not in "</body>".
  EXPECT_EQ(text_of(p.convert3("<div><b>5,5</div><div>x</div></body>", "", "<b", "</b")),
            kNotFound);
  EXPECT_EQ(text_of(p.convert5("x<br><b>3</b>", "x<br<b", ">", "</b")), "3");
  EXPECT_EQ(text_of(p.convert5("x<br><b>3</b>", "x", "<b", "</b")), ">3");
  // Text markers, and markers that are more than a name, match as text.
  EXPECT_EQ(text_of(p.convert3(page, "Pri", "ce ", " EU")),
            "<b class=x>7,5</b> <button>Buy</button>");
  EXPECT_EQ(text_of(p.convert3(page, "", "<b class", "</button")), "7,5</b> <button>Buy");
  EXPECT_EQ(find_marker("<tbody><tb>", "<tb"), 8u);
  EXPECT_EQ(find_marker("<tbody><tb>", "<tb", 9), 0u);
  EXPECT_FALSE(is_tag_marker("<"));
  EXPECT_FALSE(is_tag_marker("</1"));
  EXPECT_TRUE(is_tag_marker("<h1"));
}

TEST_F(clsparseTest, SplittingByParenthesesAndMarker) {
  EXPECT_EQ(text_of(p.convert2("10.5 (3.2%)", 1)), "10.5 ");
  EXPECT_EQ(text_of(p.convert2("10.5 (3.2%)", 2)), "3.2%");
  EXPECT_EQ(text_of(p.convert2("10.5 (3.2%)", 3)), kNotFound);
  EXPECT_EQ(text_of(p.convert2(") x (", 1)), kNotFound);
  EXPECT_EQ(text_of(p.convert4("12 USD", "usd", 1)), "12 ");
  EXPECT_EQ(text_of(p.convert4("a - b", " - ", 2)), "b");
  EXPECT_EQ(text_of(p.convert4("a - b", "+", 2)), kNotFound);
}

TEST_F(clsparseTest, FiguresAsPagesShowThem) {
  const std::pair<const char*, double> numbers[] = {
      {"1,234.5M", 1.2345e9}, {"(12.5)", -12.5}, {"12.5%", 0.125}, {"2.5T", 2.5e12}, {"1.2k", 1.2},
      {"350pM", 3.5e6},       {"$3.5B", 3.5e9},  {"&nbsp;-4", -4}, {"12.5p", 12.5},  {"15€", 15}};
  for (const auto& [shown, expected] : numbers) {
    std::string t = shown;
    const Value v = p.figure_convert1(t);
    ASSERT_TRUE(v.is_number()) << shown << " gave " << v.to_text();
    EXPECT_DOUBLE_EQ(v.number(), expected) << shown;
  }
  // Figures as financial pages write them: currency signs, minus signs in
  // front or behind, typographic minus signs and dashes, parentheses around
  // signed, scaled or percent figures, and short scaled figures.
  const std::pair<const char*, double> more[] = {{"-$1,234.50", -1234.5},
                                                 {"($1,234.50)", -1234.5},
                                                 {"$-5", -5},
                                                 {"5-", -5},
                                                 {"12.5-%", -0.125},
                                                 {"(1.2M)", -1.2e6},
                                                 {"(1.5)%", -0.015},
                                                 {"(1.5%)", -0.015},
                                                 {"(-12.5)", -12.5},
                                                 {"5M", 5e6},
                                                 {"2B", 2e9},
                                                 {"\xE2\x88\x92"
                                                  "2.50",
                                                  -2.5},
                                                 {"\xE2\x80\x93"
                                                  "3",
                                                  -3},
                                                 {"\xE2\x80\x94"
                                                  "0.5%",
                                                  -0.005},
                                                 {"1.5 M", 1.5e6},
                                                 {"12.50 \xE2\x82\xAC", 12.5},
                                                 {"+4.25%", 0.0425},
                                                 {"1e3", 1000},
                                                 {"7.", 7},
                                                 {"-.25", -0.25},
                                                 {"0.1", 0.1}};
  for (const auto& [shown, expected] : more) {
    std::string t = shown;
    const Value v = p.figure_convert1(t);
    ASSERT_TRUE(v.is_number()) << shown << " gave " << v.to_text();
    EXPECT_DOUBLE_EQ(v.number(), expected) << shown;
  }
  // A scaled or percent figure is the double nearest its decimal, as
  // reading "1.1e-2" gives, not 1.1 / 100 with its second rounding.
  for (const auto& [shown, expected] : {std::pair{"1.1%", 1.1e-2},
                                        {"0.07%", 0.07e-2},
                                        {"(0.97%)", -0.97e-2},
                                        {"131.4B", 131.4e9},
                                        {"-2.675M", -2.675e6},
                                        {"123456789012.345", 123456789012.345},
                                        {"12345678901234567", 12345678901234567.0},
                                        {"9999999999999999999999.5B", 9999999999999999999999.5e9},
                                        {"-0", -0.0}}) {
    std::string t = shown;
    const Value v = p.figure_convert1(t);
    ASSERT_TRUE(v.is_number()) << shown;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(v.number()), std::bit_cast<std::uint64_t>(expected))
        << shown;
  }
  // Other separators, as a source or field of the definitions names them.
  const FigureFormat comma{",", "."};
  for (const auto& [shown, expected] :
       {std::pair{"1.234,56", 1234.56}, {"-0,5%", -0.005}, {"(2,5M)", -2.5e6}}) {
    std::string t = shown;
    EXPECT_DOUBLE_EQ(p.figure_convert1(t, comma).number(), expected) << shown;
  }
  std::string blank_group = "1 234,5";
  EXPECT_DOUBLE_EQ(p.figure_convert1(blank_group, FigureFormat{",", " "}).number(), 1234.5);
  // "NM" means not meaningful; a lone dash is no figure; lower-case units do not scale.
  for (const auto& [shown, result] : {std::pair{"NM", "#N/A"},
                                      {"#,N/A", "#N/A"},
                                      {"n.a.%", "n.a."},
                                      {"\xE2\x80\x94", "\xE2\x80\x94"}}) {
    std::string t = shown;
    EXPECT_EQ(text_of(p.figure_convert1(t)), result) << shown;
  }

  std::string f2 = "1,234.5 USD";
  EXPECT_DOUBLE_EQ(p.figure_convert2(f2).number(), 1234.5);
  EXPECT_EQ(f2, "1234.5 USD");
  std::string entity = "x;&nbsp;abc-12";
  EXPECT_EQ(text_of(p.left_clear(entity)), "-12");
  EXPECT_EQ(entity, "-12");

  EXPECT_DOUBLE_EQ(p.createdouble(Value("1.5")).number(), 1.5);
  EXPECT_DOUBLE_EQ(p.createdouble(Value("1.234.567")).number(), 1234567);
  EXPECT_EQ(text_of(p.createdouble(Value("12.5 USD"))), "12.5 USD");
  EXPECT_EQ(p.createdouble(Value(ErrorCode::NA)), Value(ErrorCode::NA));
}

TEST_F(clsparseTest, TagHelpers) {
  EXPECT_EQ(p.firsttag_remove("<b>x</b>"), "x</b>");
  EXPECT_EQ(p.firsttag_remove("a > b < c"), "a > b < c");
  EXPECT_EQ(p.firsttag_get("ab<i x>c"), "<i x>");
  EXPECT_EQ(p.firsttag_get("no tag"), kNotFound);
  EXPECT_EQ(p.getitag("<a><b x>", 2), "<b x>");
  EXPECT_EQ(p.getitag("<a><b>", 3), "");
  EXPECT_EQ(p.getitag("<a><b><c", 3), "#/N/A");
  EXPECT_EQ(p.getitag("<a<b>", 1), "<a<b>");
  EXPECT_EQ(p.gettagname("<td class=x>"), "<td");
  EXPECT_EQ(p.gettagname("<td>"), "<td");
  EXPECT_EQ(p.gettagname("<td x"), "<td");
  EXPECT_EQ(p.key_fromtag(R"(<a HREF="/q?s=IBM" id="">)", "href"), "/q?s=IBM");
  EXPECT_EQ(p.key_fromtag(R"(<a id="">)", "id"), "");
  EXPECT_EQ(p.key_fromtag(R"(<a href="/q)", "href"), kNotFound);
}

TEST_F(clsparseTest, TextBetweenTags) {
  const std::string two = "<b>A</b> <i>B</i>";
  EXPECT_EQ(p.getvalue_fromhtml(two, 2), " ");  // a run of blanks counts
  EXPECT_EQ(p.getvalue_fromhtml(two, 3), "B");
  EXPECT_EQ(p.getvalue_fromhtml(two, 4), kNotFound);
  EXPECT_EQ(p.getvalue_fromhtml("x\r\n<br>A&amp;B&nbsp;&#39;s", 2), "AB 's");
  EXPECT_EQ(p.getvalue_fromhtml("plain", 1), "plain");
  EXPECT_EQ(p.getallvalue_fromhtml("<td></td>"), kNotFound);
  EXPECT_EQ(p.getallvalue_fromhtml("<td>1</td><td>2</td>"), "1 2");
  EXPECT_EQ(p.getallvalue_fromhtml("a<br>b"), "a b");
  EXPECT_EQ(p.getallvalue_fromhtml("1 > 0<b>x"), "1 > 0 x");  // a ">" alone is text
  EXPECT_EQ(p.getallvalue_fromhtml("a<b"), "a");              // a tag left open ends it
  EXPECT_EQ(p.getallvalue_fromhtml("<i>x</i>"), "x");
  EXPECT_EQ(p.getallvalue_fromhtml(""), kNotFound);
  EXPECT_EQ(p.getallvalue_fromhtml("<a>"), kNotFound);    // longer than what it replaces
  EXPECT_EQ(p.getallvalue_fromhtml("<td>12.5"), "12.5");  // a table cell as cut
  EXPECT_EQ(p.getallvalue_fromhtml("x<<b>>y<"), "x >y");
}

TEST_F(clsparseTest, TableRowsAreCutIntoCells) {
  std::string row = "<tr><TD a=1>x</td><th>y</TH></tr>";
  EXPECT_EQ(p.getfirsttdthelement(row), "<TD a=1>x</td>");
  EXPECT_EQ(row, "<th>y</TH></tr>");
  EXPECT_EQ(p.getfirsttdthelement(row), "<th>y</TH>");
  EXPECT_EQ(p.getfirsttdthelement(row), kNotFound);
  EXPECT_EQ(row, "</tr>");
  row = "<tr><td>open";
  EXPECT_EQ(p.getfirsttdthelement(row), kNotFound);
  EXPECT_EQ(row, "<td>open");  // cut to the cell even though it never closes

  row = "<tr>";
  for (int i = 1; i <= 35; ++i) row += "<td>\n " + std::to_string(i) + "</td>";
  std::vector<Value> cells(31);
  EXPECT_TRUE(p.parsetablerow(row, cells, false));
  EXPECT_TRUE(cells[0].is_empty());
  EXPECT_EQ(text_of(cells[29]), " 29");
  EXPECT_EQ(text_of(cells[30]), " 35");  // the 31st and later cells land in the last
  EXPECT_EQ(row, "");

  std::string raw = "<td>a</td><td>  </td><td><b>x</b></td><td></td>";
  std::vector<Value> three(3);
  EXPECT_FALSE(p.parsetablerow(raw, three, true));  // the third cell has no slot
  EXPECT_EQ(text_of(three[2]), "<td>  </td>");
  EXPECT_EQ(raw, "<td></td>");
  raw = "<td>  </td><td></td>";
  EXPECT_TRUE(p.parsetablerow(raw, three, false));
  EXPECT_EQ(text_of(three[1]), "");  // blanks only
  EXPECT_EQ(text_of(three[2]), kNotFound);
}

TEST_F(clsparseTest, OptionLists) {
  const Value options(Array{1, 5, {"Sort", "asc", "FREQ", 5.0, "last"}});
  EXPECT_EQ(text_of(p.getoption(options, "sort")), "ASC");
  EXPECT_EQ(text_of(p.getoption(options, "freq")), "5");
  EXPECT_EQ(text_of(p.getoption(options, "LAST")), "n/a");
  EXPECT_EQ(text_of(p.getoption(options, "none")), "n/a");
  EXPECT_EQ(text_of(p.getoption(Value("sort"), "sort")), "n/a");
  const Value range(std::make_shared<FakeRange>(Array{2, 1, {"sort", "d"}}));
  EXPECT_EQ(text_of(p.getoption(range, "SORT")), "D");

  std::vector<Value> target = {"stale"};
  p.options2array(range, target);
  EXPECT_EQ(target, (std::vector<Value>{Value(), "sort", "d"}));
  p.options2array(Value(3.0), target);
  EXPECT_EQ(target, (std::vector<Value>{Value(), "n/a"}));
}

TEST_F(clsparseTest, TagRewriting) {
  std::string html = "<td class=x>1</td><br /><br/><p>a < b";
  EXPECT_EQ(p.removealltagattribute(html), "<TD>1</td><BR><BR/><P>a < b");
  EXPECT_EQ(html, "<TD>1</td><BR><BR/><P>a < b");

  std::string attrs =
      R"(<td class="x" nowrap id='' width=5><a href="/q" title>go</a><!-- <b c="d"> --><br/>)";
  p.removealltagattribute2(attrs);
  EXPECT_EQ(attrs, R"(<td nowrap id=''><a title>go</a><!-- <b c="d"> --><br/>)");
  std::string broken = R"(<p a="1">x<b c="unclosed>)";
  p.removealltagattribute2(broken);
  EXPECT_EQ(broken, R"(<p>x<b c="unclosed>)");

  std::string table = "<table><tbody><tr><td>1</td></tr></TBODY><tfoot></tfoot></table>";
  EXPECT_EQ(p.removedomspecificelement(table), "<TABLE><TR><TD>1</TD></TR></TABLE>");
}

TEST_F(clsparseTest, LongHostileInputsFinish) {
  // Inputs on which a rescan per cell, tag or anchor would take minutes.
  const std::size_t n = 2000000;
  std::string row;
  for (std::size_t i = 0; i < n / 10; ++i) row += "<td>x</td>";
  std::vector<Value> cells(31);
  EXPECT_TRUE(p.parsetablerow(row, cells, false));
  EXPECT_EQ(text_of(cells[30]), "x");

  const std::string anchors = std::string(n, 'a') + "<td>1<";
  EXPECT_EQ(text_of(p.convert5(anchors, "a<tr", "", "<")), kNotFound);
  EXPECT_EQ(text_of(p.convert5(anchors, "a<td", ">", "<")), "1");
  EXPECT_EQ(text_of(p.convert5(std::string(n, '<'), "<<x", "", "")), kNotFound);
  std::string closes;
  for (std::size_t i = 0; i < n / 2; ++i) closes += "</";
  EXPECT_EQ(p.removealltagattribute(closes += ">").size(), n + 1);
  std::string unclosed;
  for (std::size_t i = 0; i < n / 4; ++i) unclosed += "<a b";
  p.removealltagattribute2(unclosed);
  EXPECT_EQ(unclosed.size(), n);
  EXPECT_EQ(p.getvalue_fromhtml(std::string(n, '>'), 1), std::string(n, '>'));
}

}  // namespace
}  // namespace quillo
