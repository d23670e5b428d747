// quillo link end to end: the real program marks values on pages of the
// local market-data service, quillo refresh reads them again from later
// copies of the pages (whose figures and attribute values have changed),
// and quillo link list shows what was stored. Every failure leaves the
// workbook as it was.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli_workspace.h"
#include "common/text.h"
#include "demo/weblink_pages.h"
#include "spreadsheet/application.h"
#include "xlsx/workbook_files.h"

namespace quillo {
namespace {

namespace fs = std::filesystem;

using testing_support::read_all;

// 2026-01-01 00:00:00 UTC and a moment 77 seconds later.
constexpr std::int64_t kT1 = 1767225600000;
constexpr std::int64_t kT2 = kT1 + 77000;

class LinkCliTest : public testing_support::CliWorkspace {
 protected:
  void SetUp() override {
    CliWorkspace::SetUp();
    if (HasFatalFailure()) return;
    market.set_time(kT1);
    book = root / "book.xlsx";
    fs::copy_file(fs::path(QUILLO_TESTDATA) / "xlsx" / "openpyxl_book.xlsx", book);
  }
  Run add(const std::string& path, const std::string& value, const std::string& more = "") {
    return quillo("link add " + book.string() + " Data!B2 '" + market.base_url() + path + "' '" +
                  value + "' " + more);
  }
  std::string shown(const std::string& cell) {
    const Run r = quillo("show --raw " + book.string() + " '" + cell + "'");
    const std::size_t tab = r.out.rfind('\t');
    return tab == std::string::npos ? r.out : r.out.substr(tab + 1, r.out.size() - tab - 2);
  }

  double number(const std::string& cell) {
    const std::string s = shown(cell);
    char* end = nullptr;
    const double d = std::strtod(s.c_str(), &end);
    EXPECT_TRUE(!s.empty() && *end == 0) << cell << " shows " << s;
    return d;
  }

  fs::path book;
};

TEST_F(LinkCliTest, AddThenRefreshReadsTheLiveValue) {
  const std::string quote = "/wl/quote?s=ABC";
  const std::string last = service::weblink_last(kT1);
  Run r = add(quote, last, "--name abc_last");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("link abc_last: \"" + last + "\""), std::string::npos) << r.out;
  EXPECT_DOUBLE_EQ(number("Data!B2"), std::stod(last));
  // A second link on the same page, named by the wizard.
  r = quillo("link add " + book.string() + " Data!B3 '" + market.base_url() + quote + "' '" +
             service::weblink_volume(kT1) + "'");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("link weblink_1:"), std::string::npos) << r.out;

  // Later copies of the page have other figures and other attribute values.
  market.set_time(kT2);
  ASSERT_NE(service::weblink_last(kT2), last);
  r = quillo("refresh " + book.string());
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_DOUBLE_EQ(number("Data!B2"), std::stod(service::weblink_last(kT2)));
  std::string volume = service::weblink_volume(kT2);
  text::replace_all(volume, ",", "");
  EXPECT_EQ(shown("Data!B3"), volume);

  r = quillo("link list " + book.string());
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string url = market.base_url() + quote;
  EXPECT_EQ(r.out.find("abc_last\t" + url + "\t<"), 0u) << r.out;
  EXPECT_NE(r.out.find("\t<TD\t</TD\nweblink_1\t" + url + "\t<"), std::string::npos) << r.out;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;

  // A name already stored is refused, not written over.
  const std::string before = read_all(book);
  r = add(quote, service::weblink_last(kT2), "--name abc_last");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("The name of the link already exists, please choose another name!"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(read_all(book), before);
}

TEST_F(LinkCliTest, ValuesThatAreNotPageTextAndBadAnswersChangeNothing) {
  const std::string before = read_all(book);
  struct Case {
    std::string path, value, more, error;
  };
  const std::vector<Case> cases = {
      {"/wl/quote?s=ABC", "session-7f3a", "", "was not found on the page"},  // in a script
      {"/wl/quote?s=ABC", "Quillo Labs", "", "was not found on the page"},   // in attributes
      {"/wl/quote?s=ABC", "usd", "", "was not found on the page"},           // letter case
      {"/wl/many?n=3&v=x", "x", "--occurrence 4", "is on the page 3 times, not 4"},
      {"/wl/nothing", "x", "", "answered HTTP 404"},
      {"/wl/loop", "x", "", "could not be fetched"},
      {"/wl/data", "x", "", "did not answer with an HTML page"},
      {"/wl/json", "x", "", "did not answer with an HTML page"},
  };
  for (const Case& c : cases) {
    const Run r = add(c.path, c.value, c.more);
    EXPECT_EQ(r.code, 1) << c.path << " " << c.value;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << c.path << ": " << r.err;
  }
  // Bad usage.
  EXPECT_EQ(add("/wl/quote?s=ABC", "USD", "--occurrence 0").code, 2);
  EXPECT_EQ(quillo("link add " + book.string() + " Nowhere!B2 '" + market.base_url() +
                   "/wl/quote?s=ABC' USD")
                .code,
            2);
  EXPECT_EQ(quillo("link add " + (root / "missing.xlsx").string() + " B2 '" + market.base_url() +
                   "/wl/quote?s=ABC' USD")
                .code,
            2);
  EXPECT_EQ(read_all(book), before);

  // A page that never answers gives up after the receive time-out.
  ASSERT_EQ(quillo("settings set receive_timeout 1").code, 0);
  const Run r = quillo("link add " + book.string() + " B2 '" + market.fault_url() +
                       "/wl/quote?s=ABC&_fault=stall' USD");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("could not be fetched"), std::string::npos) << r.err;
  EXPECT_EQ(read_all(book), before);
}

// Links store tag names ("<B", "</B"); a name matches only a whole tag
// name, never the start of a longer one (<br>, <button>, <img>, </body>).
TEST_F(LinkCliTest, TagMarkersMatchWholeTagNamesOnly) {
  Run r = add("/wl/price", "7,5", "--name price");
  ASSERT_EQ(r.code, 0) << r.err;
  r = quillo("link add " + book.string() + " Data!B3 '" + market.base_url() +
             "/wl/price' '-0,5' --name change");
  ASSERT_EQ(r.code, 0) << r.err;
  // The page now has <br><button> before the bold price and <img> before
  // the italic change.
  market.set_time(kT2);
  r = quillo("refresh " + book.string());
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_DOUBLE_EQ(number("Data!B2"), 7.5);
  EXPECT_DOUBLE_EQ(number("Data!B3"), -0.5);

  // A bold figure left open: the browser closes it, the page as served
  // does not, and its end marker is not "</BODY".
  const std::string before = read_all(book);
  r = quillo("link add " + book.string() + " Data!B4 '" + market.base_url() +
             "/wl/price?open=1' '5,5' --name open");
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.err.find("nothing saved"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("DIV"), std::string::npos) << r.out;
  EXPECT_EQ(read_all(book), before);
}

// Options are checked before anything is fetched, and refused as typed.
TEST_F(LinkCliTest, BadOptionsAreRefusedInTheirOwnWords) {
  const std::string before = read_all(book);
  struct Case {
    std::string more, error;
  };
  const std::vector<Case> cases = {
      {"--name " + std::string(256, 'n'), "--name is 256 characters long"},
      {"--decimal ab", "--decimal is one character"},
      {"--decimal , --group ab", "--group is one character"},
      {"--occurrence 99999999999999999999",
       "\"99999999999999999999\" is out of range: give a whole number from 1 to"},
      {"--occurrence 1.5", "give a whole number from 1 to 500000, not \"1.5\""},
      {"--timeout 0", "give the seconds to wait as a number greater than 0, not \"0\""},
      {"--timeout 1e300", "\"1e300\" is out of range"},
  };
  for (const Case& c : cases) {
    const Run r = add("/wl/price", "7,5", c.more);
    EXPECT_EQ(r.code, 2) << c.more;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << c.more << ": " << r.err;
    EXPECT_EQ(r.err.find("18446744073709551615"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("0.000000"), std::string::npos) << r.err;
  }
  EXPECT_EQ(read_all(book), before);
}

TEST_F(LinkCliTest, ManyOccurrencesBigPagesAndListings) {
  Run r = quillo("link list " + book.string());
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("has no web links"), std::string::npos) << r.err;
  EXPECT_EQ(quillo("link list " + (root / "missing.xlsx").string()).code, 2);

  r = add("/wl/many?n=300", "n/a", "--occurrence 300 --name many");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("(occurrence 300 of 300)"), std::string::npos) << r.out;
  // The element chosen is the one linked: its chain of references reaches
  // back past the 299 identical cells before it.
  EXPECT_EQ(r.err.find("identical"), std::string::npos) << r.err;
  EXPECT_EQ(shown("Data!B2"), "N/A");  // links read the upper-cased page
  // Cells left without end tags: the browser's markers are not in the page.
  const std::string before = read_all(book);
  r = add("/wl/many?n=3&open=1", "n/a", "--name open");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("nothing saved"), std::string::npos) << r.err;
  EXPECT_EQ(read_all(book), before);

  r = quillo("link add " + book.string() + " Data!C2 '" + market.base_url() +
             "/wl/big?mb=50' 'end of page' --name big");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(shown("Data!C2"), "END OF PAGE");
  r = quillo("link list " + book.string());
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
}

TEST_F(LinkCliTest, TheChosenOccurrenceIsLinkedAndFiguresReadAsThePageWritesThem) {
  const std::string last = service::weblink_last(kT1);
  std::string comma = last;
  comma[comma.find('.')] = ',';
  // Open and Last show the same figure now; the second is Last.
  const std::string page = "/wl/figures?open=" + last;
  const auto at = [&](const char* cell, const std::string& value, const std::string& more) {
    return quillo("link add " + book.string() + " " + cell + " '" + market.base_url() + page +
                  "' '" + value + "' " + more);
  };
  Run r = at("Data!B2", last, "--occurrence 2 --name last");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("(occurrence 2 of 2)"), std::string::npos) << r.out;
  // Values written with character references ("$&nbsp;", "&euro;", "&amp;").
  r = at("Data!B3", "$ " + last, "--name dollar");
  ASSERT_EQ(r.code, 0) << r.err;
  r = at("Data!B4", comma + " \xE2\x82\xAC", "--name euro");
  ASSERT_EQ(r.code, 0) << r.err;
  r = at("Data!B5", "AT&T", "--name company");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("link company: \"AT&T\""), std::string::npos) << r.out;
  // A decimal comma, read by default and with separators the link names.
  r = at("Data!B6", "-0,75", "--name change");
  ASSERT_EQ(r.code, 0) << r.err;
  r = at("Data!B7", "-0,75", "--name change_eu --decimal , --group .");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_DOUBLE_EQ(number("Data!B4"), std::stod(last));
  EXPECT_DOUBLE_EQ(number("Data!B6"), -0.75);

  market.set_time(kT2);
  const double now = std::stod(service::weblink_last(kT2));
  ASSERT_NE(now, std::stod(last));
  r = quillo("refresh " + book.string());
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_DOUBLE_EQ(number("Data!B2"), now);  // Last, not Open
  EXPECT_DOUBLE_EQ(number("Data!B3"), now);
  EXPECT_DOUBLE_EQ(number("Data!B4"), now);
  EXPECT_EQ(shown("Data!B5"), "AT&T");
  EXPECT_DOUBLE_EQ(number("Data!B6"), -0.75);
  EXPECT_DOUBLE_EQ(number("Data!B7"), -0.75);
  r = quillo("link list " + book.string());
  EXPECT_NE(r.out.find("change_eu\t"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\t<TD\t</TD\t,\t.\n"), std::string::npos) << r.out;
}

TEST_F(LinkCliTest, TwoRowsOfOneNameAreTheLowerRowEverywhere) {
  const std::string page = "/wl/figures?open=99.99";
  Run r = add(page, "99.99", "--name first");
  ASSERT_EQ(r.code, 0) << r.err;
  r = quillo("link add " + book.string() + " Data!B3 '" + market.base_url() + page + "' '" +
             service::weblink_last(kT1) + "' --occurrence 1 --name second");
  ASSERT_EQ(r.code, 0) << r.err;
  // The second row takes the first's name: =wlink("first") in B2 is now
  // the lower row's link (Last).
  {
    spreadsheet::Application app;
    spreadsheet::use_xlsx_files(app);
    auto opened = app.workbooks().open(book.string());
    ASSERT_TRUE(opened.ok());
    auto store = (*opened)->worksheet("weblinks_data");
    ASSERT_TRUE(store.ok());
    ASSERT_TRUE((*(*store)->range("A2"))->set_value(Value("first")).ok());
    ASSERT_TRUE((*opened)->save().ok());
  }
  market.set_time(kT2);
  const double now = std::stod(service::weblink_last(kT2));
  // Another link's save evaluates B2 with the link it loaded.
  r = quillo("link add " + book.string() + " Data!C2 '" + market.base_url() + page +
             "' 'AT&T' --name third");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_DOUBLE_EQ(number("Data!B2"), now);
  r = quillo("refresh " + book.string());
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_DOUBLE_EQ(number("Data!B2"), now);
}

TEST_F(LinkCliTest, TheLinkStoreAndMergedCellsAreNoTargets) {
  ASSERT_EQ(add("/wl/quote?s=ABC", "USD", "--name usd").code, 0);
  const std::string before = read_all(book);
  for (const char* cell : {"weblinks_data!B1", "WEBLINKS_DATA!A9"}) {
    const Run r = quillo("link add " + book.string() + " " + cell + " '" + market.base_url() +
                         "/wl/quote?s=ABC' USD --name other");
    EXPECT_EQ(r.code, 2) << cell;
    EXPECT_NE(r.err.find("stores the workbook's web links"), std::string::npos) << r.err;
  }
  // The book merges A13:C13: a formula there would be hidden.
  const Run r = quillo("link add " + book.string() + " Data!B13 '" + market.base_url() +
                       "/wl/quote?s=ABC' USD --name other");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("lies in the merged cells A13:C13"), std::string::npos) << r.err;
  EXPECT_EQ(read_all(book), before);
}

}  // namespace
}  // namespace quillo
