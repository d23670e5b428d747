// The wlink function and the link store: links read from a workbook's
// "weblinks_data" sheet, pages fetched through the request registry, values
// re-read from every answer.
#include "requests/cls_weblinkroutines.h"
#include "requests/weblinks_test_support.h"

#include "parse/clsparse.h"

namespace quillo::weblink_tests {
namespace {

constexpr const char* kUrl = "http://quotes.test/big";
constexpr const char* kPage =
    "<html><head><title>Big</title></head><body><table><tbody>"
    "<tr><td>Last</td><td class=\"v\">12.5</td></tr><tr><td>Open</td><td>12.1</td></tr>"
    "</tbody></table></body></html>";
constexpr const char* kLaterPage =
    "<html><head></head><body id=\"p2\"><table><tr><td>Last</td><td class=\"w\">13</td></tr>"
    "<tr><td>Open</td><td>12.9</td></tr></table></body></html>";

using Row = std::vector<std::string>;
const Row kLast{"last", kUrl, "<TD", "<TD", "</TD"};
const Row kOpen{"open", kUrl, "<TR<TR<TD", "<TD", "</TD"};

class WebLinkTest : public WebLinkFixture {
 protected:
  WebLinkTest() { transport.script(kUrl, http::ScriptedTransport::complete(200, kPage, 20)); }
  std::string text(const char* address) { return shown(address).to_text(); }
};

TEST_F(WebLinkTest, ProposedNamesCountOnFromTheLastWeblinkName) {
  cls_weblinkroutines& w = engine.weblinks();
  EXPECT_EQ(w.generate_name(), "weblink_1");
  for (const char* key : {"Book1_weblink_1", "Book1_weblink_2", "Book1_mine"}) w.link_create(key);
  EXPECT_EQ(w.generate_name(), "weblink_3");
  for (const char* key : {"Book2_weblink_7", "Book2_WebLink_2b"}) w.link_create(key);
  EXPECT_EQ(w.generate_name(), "weblink_3");
  EXPECT_EQ(w.getlinknum("Book1_mine"), 3);
  EXPECT_EQ(w.getlinknum("book1_mine"), 0);  // names compare exactly
}

TEST_F(WebLinkTest, LinksOnOnePageShareOneRequestAndEveryAnswerUpdatesThemAll) {
  store_row(book, 1, kLast);
  store_row(book, 2, kOpen);
  set("A1", "=wlink(\"last\")");
  set("A2", "=wlink(\"open\")");
  set("A3", "=wlink(\"last\")");  // the same link in another cell
  EXPECT_EQ(text("A1"), "Loading data...");
  EXPECT_EQ(text("A3"), "Loading data...");
  EXPECT_EQ(engine.links().upper_bound(), 2);
  ASSERT_EQ(engine.registry().requests().upper_bound(), 1);
  EXPECT_EQ(engine.registry().requests().at(1).url, std::string("weblink_") + kUrl);
  run();
  ASSERT_EQ(transport.requests().size(), 1u);
  EXPECT_EQ(transport.requests()[0].url, kUrl);  // sent without the prefix
  EXPECT_EQ(shown("A1"), Value(12.5));           // a number, not text
  EXPECT_EQ(shown("A2"), Value(12.1));
  EXPECT_EQ(shown("A3"), Value(12.5));
  // Where the value came from: the link asked, the page without the prefix.
  const std::vector<ProvenanceRecord> records = engine.provenance().records(*book);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].kind, FilledKind::Link);
  EXPECT_EQ(records[0].instrument, "last");
  ASSERT_TRUE(records[0].fetch);
  EXPECT_EQ(records[0].fetch->address, kUrl);
  EXPECT_EQ(records[0].fetch->http_status, 200);
  // The periodic update: one answer, both links follow it.
  transport.script(kUrl, http::ScriptedTransport::complete(200, kLaterPage, 20));
  engine.dispatch().request_send(1);
  run();
  EXPECT_EQ(shown("A1"), Value(13.0));
  EXPECT_EQ(shown("A2"), Value(12.9));
  transport.script(kUrl, http::ScriptedTransport::complete(404, ""));
  engine.dispatch().request_send(1);
  run();
  EXPECT_EQ(text("A2"), "Connection error. Code: 404 - General error.");
  EXPECT_EQ(transport.requests().size(), 3u);
}

TEST_F(WebLinkTest, TheSameNameInTwoWorkbooksIsTwoLinks) {
  const char* other_url = "http://quotes.test/other";
  transport.script(other_url, http::ScriptedTransport::complete(200, kLaterPage, 20));
  store_row(book, 1, kLast);
  host::WorkbookPtr second = *app.workbooks().add();
  host::WorksheetPtr second_sheet = *second->active_sheet();
  store_row(second, 1, {"last", other_url, "<TD", "<TD", "</TD"});
  set("A1", "=wlink(\"last\")");
  set(second_sheet, "A1", "=wlink(\"last\")");
  run();
  EXPECT_EQ(engine.links().upper_bound(), 2);
  EXPECT_EQ(shown("A1"), Value(12.5));
  EXPECT_EQ(shown(second_sheet, "A1"), Value(13.0));
}

// A store edited by hand: duplicate names (the last row wins), a row
// without references or markers, rows without an address, a blank row
// ending the list, a name typed as a number.
TEST_F(WebLinkTest, HandEditedStoresGiveTheLastRowOrAClearMessage) {
  set("A1", "=wlink(\"last\")");
  EXPECT_EQ(text("A1"), "Link references could not be found");  // no store sheet yet
  store_row(book, 1, {"dup", kUrl, "<TR<TR<TD", "<TD", "</TD"});
  store_row(book, 2, {"bare", kUrl});
  store_row(book, 3, {"dup", kUrl, "<TD", "<TD", "</TD"});
  store_row(book, 4, {"noaddress", "", "<TD", "<TD", "</TD"});
  store_row(book, 6, {"below", kUrl, "<TD", "<TD", "</TD"});
  auto store = *book->worksheet("weblinks_data");
  ASSERT_TRUE((*store->cell(5, 2))->set_value(Value("stray")).ok());  // column 1 empty
  set("A2", "=wlink(\"dup\")");
  set("A3", "=wlink(\"bare\")");
  set("A4", "=wlink(\"noaddress\")");
  set("A5", "=wlink(\"below\")");
  set("A6", "=wlink(\"\")");
  run();
  EXPECT_EQ(shown("A2"), Value(12.5));
  EXPECT_EQ(text("A3"), "");  // no markers: the empty text between them
  EXPECT_EQ(text("A4"), "Link references could not be found");
  EXPECT_EQ(text("A5"), "Link references could not be found");
  EXPECT_EQ(shown("A6"), Value(std::string()));
  EXPECT_EQ(engine.links().upper_bound(), 2);
  EXPECT_EQ(transport.requests().size(), 1u);
}

TEST_F(WebLinkTest, AnswersAreCleanedAndAPageThatLostTheValueShowsNotFound) {
  cls_weblinkroutines& w = engine.weblinks();
  const std::int32_t num = w.link_create("Book1_vol");
  weblink& link = engine.links().at(num);
  link.references = "<TD";
  link.startmarker = "<TD";
  link.endmarker = "</TD";
  link.reqno = 42;
  // The page is upper-cased before the cut, references with it; they are
  // decoded in any letter case, non-breaking spaces and line breaks removed.
  w.wlinkparse("<body><td>Volume<td>\n\t&#36;&nbsp;1,234</td></body>", 42);
  EXPECT_EQ(w.getvalue(num), Value(1234.0));
  w.wlinkparse("<body><td>Volume<td>AT&amp;T &euro;&#8364;&nbsp;&bogus;</td></body>", 42);
  EXPECT_EQ(w.getvalue(num), Value("AT&T \xE2\x82\xAC\xE2\x82\xAC&BOGUS;"));
  w.wlinkparse("<body><td>Volume<td>n/a</td></body>", 42);
  EXPECT_EQ(w.getvalue(num), Value("N/A"));
  w.wlinkparse("<body><p>Service unavailable</p></body>", 42);
  EXPECT_EQ(w.getvalue(num), Value("#N/A"));
  // "Keep the last figure": a lost value leaves the one the link had.
  w.wlinkparse("<body><td>Volume<td>7</td></body>", 42);
  engine.policy().parseerrorhandling = 2;
  w.wlinkparse("<body><p>Service unavailable</p></body>", 42);
  EXPECT_EQ(w.getvalue(num), Value(7.0));
  w.wlinkparse("<body><td>Volume<td>9</td></body>", 99);  // another request's page
  EXPECT_EQ(w.getvalue(num), Value(7.0));
}

// The head of a page may hold what looks like the value's markup (a script
// writing a table); the cut starts at the body's tag even when it carries
// attributes.
TEST_F(WebLinkTest, TheHeadNeverFeedsALinkWhateverTheBodyTagCarries) {
  cls_weblinkroutines& w = engine.weblinks();
  const std::int32_t num = w.link_create("Book1_x");
  engine.links().at(num).startmarker = "<I";
  engine.links().at(num).endmarker = "</I";
  engine.links().at(num).reqno = 7;
  w.wlinkparse(
      "<html><head><script>w('<i>99</i>')</script></head><body class=\"a\" id=\"b\">"
      "<i>12.5</i></body></html>",
      7);
  EXPECT_EQ(w.getvalue(num), Value(12.5));
  w.wlinkparse("<HTML><HEAD><SCRIPT>w('<i>99</i>')</SCRIPT></HEAD>\n<BODY>\n<i>12.75</i>", 7);
  EXPECT_EQ(w.getvalue(num), Value(12.75));
}

// A page that gains tags whose names start like the link's (<br> before
// <b>, <img> after <i>, <button>) still gives the value; a page whose
// element is left open gives "#N/A", not the markup after it.
TEST_F(WebLinkTest, TagMarkersMatchWholeTagNamesOnly) {
  cls_weblinkroutines& w = engine.weblinks();
  const std::int32_t num = w.link_create("Book1_price");
  weblink& link = engine.links().at(num);
  link.references = "<BODY<DIV<P";
  link.startmarker = "<B";
  link.endmarker = "</B";
  link.reqno = 5;
  w.wlinkparse("<body><div><p>Price <b>7,5</b> EUR</p></div></body>", 5);
  EXPECT_EQ(w.getvalue(num), Value(7.5));
  w.wlinkparse("<body><div><p>Price <br><button>b</button><b>8,5</b> EUR</p></div></body>", 5);
  EXPECT_EQ(w.getvalue(num), Value(8.5));
  w.wlinkparse("<body><div><p>Price <b>9,5</p></div><div>x</div></body>", 5);
  EXPECT_EQ(w.getvalue(num), Value("#N/A"));
  link.startmarker = "<I";
  link.endmarker = "</I";
  w.wlinkparse("<body><div><p>Price <img src=x><i>6,5</i> EUR</p></div></body>", 5);
  EXPECT_EQ(w.getvalue(num), Value(6.5));
}

TEST_F(WebLinkTest, AfterAResetTheLinkInMemoryFetchesItsPageAgain) {
  store_row(book, 1, kLast);
  set("A1", "=wlink(\"last\")");
  run();
  ASSERT_EQ(shown("A1"), Value(12.5));
  // The store row goes; the link stays loaded and keeps working.
  ASSERT_TRUE((*(*book->worksheet("weblinks_data"))->range("A1:E1"))->clear_contents().ok());
  engine.registry().requests_reset();
  EXPECT_EQ(text("A1"), "Loading data...");
  run();
  EXPECT_EQ(shown("A1"), Value(12.5));
  EXPECT_EQ(engine.links().upper_bound(), 1);
  EXPECT_EQ(transport.requests().size(), 2u);
}

TEST(LinkPageTest, PreparingInPlaceGivesWhatPreparingACopyGives) {
  // The page is upper-cased and loses its table section tags one kind after
  // the other (so removing one kind may join another); a place in it moves
  // as the text in front of it would, prepared alone.
  for (const std::string& page :
       {std::string("<table><tbody><tr><td>1</td></tr></tbody><tfoot></tfoot></table><p>x</p>"),
        std::string("<th<tbody>ead>a</TH</tbody>EAD><tbody><tbody>b</thead><td>"),
        std::string("plain text, no tags"), std::string("")}) {
    std::string whole = page;
    clsparse().removedomspecificelement(whole);
    for (std::size_t mark = 0; mark <= page.size(); ++mark) {
      SCOPED_TRACE(page + " at " + std::to_string(mark));
      std::string in_place = page;
      std::size_t moved = mark;
      prepare_link_text(in_place, &moved);
      std::string front = page.substr(0, mark);
      EXPECT_EQ(in_place, whole);
      EXPECT_EQ(moved, clsparse().removedomspecificelement(front).size());
    }
  }
  EXPECT_EQ(link_page("<head><tbody></head><Body x=1><tbody>v"), "<BODY X=1>V");
}

}  // namespace
}  // namespace quillo::weblink_tests
