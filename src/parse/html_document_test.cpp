#include "parse/html_document.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parse/clsparse.h"

namespace quillo::html {
namespace {

std::string element_of(std::string_view page, std::string_view value, std::size_t n = 1) {
  const auto found = HtmlDocument(page).find(value, n);
  return found ? found->element_html : "<none>";
}

TEST(HtmlDocumentTest, BuildsTheTreeABrowserBuilds) {
  // Implied tbody, td and p closed where a browser closes them, misnested
  // formatting repaired, a stray text in a table moved in front of it (a
  // page without a doctype is read in quirks mode: a table stays in the p).
  HtmlDocument doc(
      "<html><head><title>t</title></head><BODY class=q>"
      "<TABLE><tr><td>1<td>2</table><p>a<p>b<b>x<i>y</b>z</i>"
      "<table><tr>stray<td>q</table></body></html>");
  EXPECT_EQ(doc.body_html(),
            "<body class=\"q\"><table><tbody><tr><td>1</td><td>2</td></tr></tbody></table>"
            "<p>a</p><p>b<b>x<i>y</i></b><i>z</i>stray"
            "<table><tbody><tr><td>q</td></tr></tbody></table></p></body>");
  EXPECT_EQ(HtmlDocument("<!DOCTYPE html><p>a<table><tr><td>q</table>").body_html(),
            "<body><p>a</p><table><tbody><tr><td>q</td></tr></tbody></table></body>");
  // A page of text alone still has a body; a frameset page has none.
  EXPECT_EQ(HtmlDocument("just text").body_html(), "<body>just text</body>");
  EXPECT_EQ(HtmlDocument("").body_html(), "<body></body>");
  EXPECT_FALSE(HtmlDocument("<frameset><frame src=a></frameset>").has_body());
}

TEST(HtmlDocumentTest, SerializesAsOuterHtmlDoes) {
  HtmlDocument doc(
      "<body><div ID='a&amp;b' title=\"say &quot;hi&quot; &lt;x&gt;\" hidden>"
      "A&amp;B &lt;c&gt; d&nbsp;e &#36;5 &euro;<br><img src=x.png><input disabled>"
      "<script>if (a < b && c) x = \"<b>\";</script><style>p > a {}</style>"
      "<!-- note --><svg viewBox=\"0 0 1 1\"><clipPath/></svg><my-tag>m</my-tag></div>");
  EXPECT_EQ(doc.body_html(),
            "<body><div id=\"a&amp;b\" title=\"say &quot;hi&quot; &lt;x&gt;\" hidden=\"\">"
            "A&amp;B &lt;c&gt; d&nbsp;e $5 \u20AC<br><img src=\"x.png\"><input disabled=\"\">"
            "<script>if (a < b && c) x = \"<b>\";</script><style>p > a {}</style>"
            "<!-- note --><svg viewBox=\"0 0 1 1\"><clipPath></clipPath></svg>"
            "<my-tag>m</my-tag></div></body>");
}

TEST(HtmlDocumentTest, FindsTheElementWhoseFirstTextRunIsTheValue) {
  const std::string page =
      "<table><tr><th>Last</th><td class=v>\n  12.50 </td></tr>"
      "<tr><th>Open</th><td><b>12.50</b></td></tr>"
      "<tr><th>Range</th><td>from 12.50</td></tr>"
      "<tr><th>High</th><td>Max <b>x</b> 12.50</td></tr></table>";
  HtmlDocument doc(page);
  // Blanks and line breaks around the value do not count; the innermost
  // element is the one that holds it (as a browser's selection parent).
  EXPECT_EQ(doc.count("12.50"), 2u);
  EXPECT_EQ(doc.count(" 12.50\t"), 2u);
  const auto first = doc.find("12.50", 1);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->element_html, "<td class=\"v\">\n  12.50 </td>");
  EXPECT_EQ(first->tag, "td");
  EXPECT_EQ(first->body_html.substr(first->offset, first->element_html.size()),
            first->element_html);
  EXPECT_EQ(element_of(page, "12.50", 2), "<b>12.50</b>");
  // Not the whole text, not a later run, not another case.
  EXPECT_FALSE(doc.find("12.50", 3));
  EXPECT_EQ(doc.count("12.5"), 0u);
  EXPECT_EQ(doc.count("last"), 0u);
  EXPECT_EQ(doc.count("Max"), 1u);
  EXPECT_FALSE(doc.find("12.50", 0));
  EXPECT_EQ(doc.count(""), 0u);
  EXPECT_EQ(doc.count("   "), 0u);
}

TEST(HtmlDocumentTest, TheWizardReadsTheSameValueBack) {
  // The element's first text run, as the wizard's reading of runs takes
  // it, is the value again (blanks at the ends aside).
  const std::string page =
      "<div><span>Price:</span><span>\n\t1,234.50&nbsp;</span><p>x<p>AT&amp;T Inc.<p>"
      "<ul><li>  <b>7</b></ul></div>";
  clsparse p;
  for (const std::string value : {"1,234.50", "x", "7"}) {
    const std::string html = element_of(page, value);
    EXPECT_EQ(text::trim(p.getvalue_fromhtml(html, 1)), value) << html;
  }
  // Entities are decoded and the non-breaking space is a blank.
  EXPECT_EQ(element_of(page, "AT&T Inc."), "<p>AT&amp;T Inc.</p>");
  EXPECT_EQ(element_of("<p>a&nbsp;&nbsp;b</p>", "a b"), "<p>a&nbsp;&nbsp;b</p>");
  // A blank run before the value is the element's first run: not a holder.
  EXPECT_EQ(HtmlDocument("<div><i> </i>5</div>").count("5"), 0u);
}

TEST(HtmlDocumentTest, ScriptsAttributesAndHiddenTextHoldNoValue) {
  HtmlDocument doc(
      "<head><title>42</title><script>var v = '42';</script></head><body>"
      "<div data-v=\"42\" title=42><script>42</script><style>42</style>"
      "<textarea>42</textarea><noscript>42</noscript><template><b>42</b></template>"
      "<!--42--></div>");
  EXPECT_EQ(doc.count("42"), 0u);
  EXPECT_FALSE(doc.find("42", 1));
}

TEST(HtmlDocumentTest, ManyOccurrencesAndDeepPages) {
  std::string page = "<table>";
  for (int i = 0; i < 1000; ++i) page += "<tr><td>row " + std::to_string(i) + "<td>n/a";
  page += "</table>";
  HtmlDocument doc(page);
  EXPECT_EQ(doc.count("n/a"), 1000u);
  const auto last = doc.find("n/a", 1000);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->element_html, "<td>n/a</td>");
  EXPECT_NE(last->body_html.find("<td>row 999</td><td>n/a</td></tr></tbody>"), std::string::npos);
  EXPECT_FALSE(doc.find("n/a", 1001));

  // Nesting 4,000 deep is walked without recursion.
  std::string deep;
  for (int i = 0; i < 4000; ++i) deep += "<span>";
  deep += "v";
  const auto found = HtmlDocument(deep).find("v", 1);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->element_html, "<span>v</span>");

  // Deeper than a browser would build is refused before parsing (the parse
  // would take minutes); flat repetition, SVG and scripts do not count.
  std::string too_deep;
  for (std::size_t i = 0; i <= kMaxNesting; ++i) too_deep += i % 2 ? "<div/>" : "<b>";
  EXPECT_TRUE(HtmlDocument(too_deep).too_deep());
  EXPECT_FALSE(HtmlDocument(too_deep).has_body());
  std::string flat = "<svg>";
  for (std::size_t i = 0; i <= kMaxNesting; ++i) flat += "<p>1<li>2<td>3<br><path d=x/>";
  flat += "</svg><script>" + std::string(10000, '<') + "div></script>";
  EXPECT_LT(nesting_estimate(flat), 5u);
  EXPECT_EQ(nesting_estimate("<div><div></div><div><span>x</span></div></div>"), 3u);

  // End tags of elements that are not open close nothing: a browser nests
  // "<div></b>" ever deeper, and so does the count.
  std::string stray;
  for (std::size_t i = 0; i <= kMaxNesting; ++i) stray += "<div></b></span>";
  EXPECT_GT(nesting_estimate(stray), kMaxNesting);
  EXPECT_TRUE(HtmlDocument(stray).too_deep());
  // Formatting elements closed with their paragraph are opened again in
  // front of the next text; cells and sections close what they hold.
  std::string reopened;
  for (int i = 0; i < 100; ++i) reopened += "<p><b>x</p>y";
  EXPECT_GT(nesting_estimate(reopened), 100u);
  std::string sloppy = "<table>";
  for (int i = 0; i < 5000; ++i) sloppy += "<tr><td><div><font>x</td><td><b>y</b>z</tr>";
  EXPECT_LT(nesting_estimate(sloppy + "</table>"), 10u);

  // Bytes that are not UTF-8 and control characters parse to some tree.
  HtmlDocument junk(std::string("\xff\xfe<\0td>\x80<b>ok</b", 17));
  EXPECT_EQ(junk.count("ok"), 1u);
}

TEST(HtmlDocumentTest, HostilePagesAreBoundedOrRefused) {
  // Attributes past the kept ones are dropped before parsing; the value is
  // still found and the element keeps its first attributes.
  std::string many = "<div";
  for (int i = 0; i < 5000; ++i)
    many += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
  many += ">12.50</div><p a='>' b=\">\">x</p>";
  std::string trimmed;
  const PageShape shape = page_shape(many, &trimmed);
  EXPECT_TRUE(shape.trimmed);
  EXPECT_EQ(shape.attributes, kMaxAttributesPerTag + 2);
  HtmlDocument doc(many);
  const auto found = doc.find("12.50", 1);
  ASSERT_TRUE(found);
  EXPECT_NE(found->element_html.find(" a31=\"31\">12.50"), std::string::npos);
  EXPECT_EQ(found->element_html.find(" a32="), std::string::npos);
  EXPECT_EQ(doc.count("x"), 1u);

  // More tags than the bound: refused, not parsed.
  std::string big = "<body>";
  for (std::size_t i = 0; i < kMaxTags / 2 + 1; ++i) big += "<i>1</i>";
  HtmlDocument refused(big);
  EXPECT_EQ(refused.refusal(), PageRefusal::TooManyTags);
  EXPECT_FALSE(refused.has_body());
  std::string attributes = "<body>";
  for (std::size_t i = 0; i < kMaxAttributes / kMaxAttributesPerTag + 1; ++i) {
    attributes += "<br";
    for (std::size_t k = 0; k < kMaxAttributesPerTag; ++k) attributes += " a" + std::to_string(k);
    attributes += ">";
  }
  EXPECT_EQ(HtmlDocument(attributes).refusal(), PageRefusal::TooManyAttributes);
}

TEST(HtmlDocumentTest, FoldingLongTextChangesNothingThatIsRead) {
  // Long runs of plain text reach the parser as stand-ins; every place a
  // run can stand in the page must read as it does when parsed whole.
  const std::string run =
      "Shares closed higher on Tuesday as trading volume rose to 12.50 million in a calm session";
  const std::string lead = "  \n\t ";
  const std::vector<std::string> pages = {
      // Blanks before the head and the body go elsewhere than the text.
      "<html>" + lead + run + "<head>" + lead + run + "<title>t</title></head>" + lead + run +
          "<body>" + run + "</body>" + lead + run + "</html>" + lead + run,
      // The first line break of pre, listing and textarea is dropped.
      "<pre>\n" + run + "</pre><listing>\n" + run + "</listing><textarea>\n" + run + "</textarea>",
      // Text in a table moves in front of it; blanks alone stay.
      "<table><tr>" + run + "<td>x</td></tr><tr>" + lead + "<td>" + run +
          "</td></tr></table><table><colgroup>" + lead + run + "<col></table>",
      // A run inside quoted attribute values, equal on three formatting
      // elements and more (which the parser compares).
      "<p><b title='a>" + run + "<z'><b title='a>" + run + "<z'><b title='a>" + run +
          "<z'><b title='a>" + run + "<z'>x</p><a href=\"q>" + run + "<r\">y</a>",
      // Comments, scripts, styles, titles, SVG's character data.
      "<body><!-- a>" + run + "<b --><script>if (a>" + run + "<b) {}</script><style>p>" + run +
          "<a{}</style><svg><![CDATA[ a>" + run + "<b ]]></svg><div>" + run + "</div>",
      // An end tag nothing closes: digits after a run join its text.
      "<p>" + run + "</x>123</p><select><option>" + run + "</select>",
      // Pages that hold the stand-in's characters are parsed as they are.
      "<p>&#xE000;0&#57345;</p><p>" + run + "</p>",
      std::string("<p>\xEE\x80\x80") + "0\xEE\x80\x81</p><p>" + run + "</p>",
      "<p>" + run + "&amp;" + run + "<br>" + run + "</p><plaintext>a>" + run + "<b",
      "<frameset>" + run + "<frame></frameset>" + run,
  };
  for (const std::string& page : pages) {
    SCOPED_TRACE(page);
    HtmlDocument folded(page), whole(page, false);
    EXPECT_EQ(folded.has_body(), whole.has_body());
    EXPECT_EQ(folded.body_html(), whole.body_html());
    for (const std::string_view value : {std::string_view(run), std::string_view("x")}) {
      EXPECT_EQ(folded.count(value), whole.count(value));
      const auto a = folded.find(value, 2), b = whole.find(value, 2);
      ASSERT_EQ(a.has_value(), b.has_value());
      if (a) {
        EXPECT_EQ(a->body_html, b->body_html);
        EXPECT_EQ(a->element_html, b->element_html);
        EXPECT_EQ(a->offset, b->offset);
      }
    }
  }
  // The run is found where it stands, as the whole page finds it.
  const auto found = HtmlDocument("<div><p>" + run + "</p><p> " + run + " </p></div>").find(run, 2);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->element_html, "<p> " + run + " </p>");
}

}  // namespace
}  // namespace quillo::html
