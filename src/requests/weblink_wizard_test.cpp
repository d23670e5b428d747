// Link creation as a user does it: a page view hands the wizard the page and
// the selected element; the link lands on the hidden store sheet, the
// formula in the active cell, and refreshes read the value from later copies
// of the page.
#include "requests/weblink_wizard.h"

#include <filesystem>

#include "requests/weblinks_test_support.h"
#include "xlsx/workbook_files.h"

namespace quillo::weblink_tests {
namespace {

constexpr const char* kWizardUrl = "http://quotes.test/big";

// Records each message with whether the progress window was still showing.
class Sink final : public host::MessageSink {
 public:
  void message_box(std::string_view text, std::string_view, host::MessageIcon) override {
    texts.emplace_back(text);
    progress_shown_at_message.push_back(progress && progress->visible);
  }
  const host::Dialog* progress = nullptr;
  std::vector<std::string> texts;
  std::vector<bool> progress_shown_at_message;
};

class WizardTest : public WebLinkFixture {
 protected:
  WizardTest()
      : page1(read_testdata("quote-1.html")),
        page2(read_testdata("quote-2.html")),
        wizard(engine.weblinks(), app, sink, [this] { return sheet->range(active); }) {
    sink.progress = &wizard.progress();
    wizard.set_progress_observer(
        [this](const host::Dialog& d) { progress_states.push_back(d.visible); });
    wizard.location = kWizardUrl;
    transport.script(kWizardUrl, http::ScriptedTransport::complete(200, page2, 20));
  }
  PageSelection select(const std::string& page, const std::string& open, const std::string& close) {
    return {true, outer_html(page, "<body", "</body>"), outer_html(page, open, close)};
  }
  bool create_at(const char* cell, const PageSelection& selection) {
    active = cell;
    return wizard.create(selection);
  }
  std::vector<std::string> store_row(int row) {
    std::vector<std::string> cells;
    auto store = *book->worksheet("weblinks_data");
    for (int c = 1; c <= 5; ++c) cells.push_back((*(*store->cell(row, c))->value()).to_text());
    return cells;
  }

  std::string page1;
  std::string page2;
  Sink sink;
  std::string active = "A1";
  weblink_wizard wizard;
  std::vector<bool> progress_states;
};

TEST_F(WizardTest, LinksMadeOnOneCopyOfAPageReadALaterCopy) {
  EXPECT_TRUE(create_at("B1", select(page1, "<b>12.50", "</b>")));  // inside inline markup
  EXPECT_EQ(wizard.value(), "12.50");
  EXPECT_TRUE(create_at("B2", select(page1, "<td class=\"num\">12.50", "</td>")));  // equal text
  EXPECT_TRUE(create_at("B3", select(page1, "<td class=\"num\">1,234,500", "</td>")));
  EXPECT_TRUE(create_at("B4", select(page1, "<i>15.00", "</i>")));  // a table in a table
  EXPECT_TRUE(create_at("B5", select(page1, "<span class=\"chg\">", "</span>")));
  EXPECT_TRUE(create_at("B6", select(page1, "<span id=\"ts-1732\">", "</span>")));
  EXPECT_TRUE(sink.texts.empty()) << sink.texts.front();
  EXPECT_EQ(wizard.stored_name(), "weblink_6");
  EXPECT_EQ(*(*sheet->range("B2"))->formula(), "=wlink(\"weblink_2\")");
  EXPECT_EQ(shown("B1").to_text(), "Loading data...");
  run();
  // Attributes, ids and the head's script changed; the figures follow the page.
  EXPECT_EQ(shown("B1"), Value(13.1));
  EXPECT_EQ(shown("B2"), Value(12.6));
  EXPECT_EQ(shown("B3"), Value(2045100.0));
  EXPECT_EQ(shown("B4"), Value(15.4));
  EXPECT_EQ(shown("B5"), Value(0.6));
  EXPECT_EQ(shown("B6"), Value("16:00 ET"));
  EXPECT_EQ(transport.requests().size(), 1u);

  auto store = *book->worksheet("weblinks_data");
  EXPECT_EQ(*store->visible(), host::Visibility::Hidden);
  EXPECT_EQ(*(*app.active_sheet())->name(), *sheet->name());
  const auto row = store_row(1);
  EXPECT_EQ(row[0], "weblink_1");
  EXPECT_EQ(row[1], kWizardUrl);
  EXPECT_EQ(row[3], "<B");
  EXPECT_EQ(row[4], "</B");
  EXPECT_EQ(row[2].rfind("<", 0), 0u);
  EXPECT_EQ(row[2].find(' '), std::string::npos);  // tag names only
  EXPECT_EQ(progress_states, std::vector<bool>({true, false, true, false, true, false, true, false,
                                                true, false, true, false}));
}

TEST_F(WizardTest, TheSelectedOfEqualCellsAndFiguresAsPagesWriteThem) {
  const std::string url = "http://quotes.test/figures";
  const std::string f1 = read_testdata("figures-1.html");
  transport.script(url,
                   http::ScriptedTransport::complete(200, read_testdata("figures-2.html"), 20));
  wizard.location = url;
  // Open and Last both show <td>12.50</td>: the page view says which one.
  const std::string body = outer_html(f1, "<body", "</body>");
  const std::string cell = "<td>12.50</td>";
  const std::size_t second = body.find(cell, body.find(cell) + 1);
  EXPECT_TRUE(create_at("B1", {true, body, cell, second}));
  // Values written with references are found by their place and decoded.
  EXPECT_TRUE(create_at("B2", select(f1, "<td>$&nbsp;", "</td>")));
  EXPECT_EQ(wizard.value(), "$ 12.50");
  EXPECT_TRUE(create_at("B3", select(f1, "<td>AT&amp;T", "</td>")));
  EXPECT_EQ(wizard.value(), "AT&T");
  EXPECT_TRUE(create_at("B4", select(f1, "<td>12,50&nbsp;", "</td>")));
  EXPECT_EQ(wizard.value(), "12,50 \xE2\x82\xAC");
  // Decimal commas where they cannot separate groups of three digits.
  EXPECT_TRUE(create_at("B5", select(f1, "<td>-0,75", "</td>")));
  EXPECT_TRUE(create_at("B6", select(f1, "<td>0,075", "</td>")));
  EXPECT_TRUE(create_at("B7", select(f1, "<td>1,2,3", "</td>")));
  EXPECT_TRUE(create_at("B8", select(f1, "<td>1,234,500", "</td>")));
  wizard.separators = {",", "."};
  EXPECT_TRUE(create_at("B9", select(f1, "<td>1.234,56", "</td>")));
  EXPECT_TRUE(sink.texts.empty()) << sink.texts.front();
  run();
  EXPECT_EQ(shown("B1"), Value(13.1));  // Last, not Open (which stayed 12.50)
  EXPECT_EQ(shown("B2"), Value(13.1));
  EXPECT_EQ(shown("B3"), Value("AT&T"));
  EXPECT_EQ(shown("B4"), Value(13.1));
  EXPECT_EQ(shown("B5"), Value(-0.8));
  EXPECT_EQ(shown("B6"), Value(0.08));
  EXPECT_EQ(shown("B7"), Value("1,2,4"));
  EXPECT_EQ(shown("B8"), Value(2045100.0));
  EXPECT_EQ(shown("B9"), Value(2345.67));
  // The separators are stored with the link that names them only.
  auto store = *book->worksheet("weblinks_data");
  EXPECT_EQ((*(*store->range("F9"))->value()).to_text(), ",");
  EXPECT_EQ((*(*store->range("G9"))->value()).to_text(), ".");
  EXPECT_TRUE((*(*store->range("F8"))->value()).is_empty());
}

TEST_F(WizardTest, FailuresShowTheirMessageAfterTheProgressWindowAndWriteNothing) {
  EXPECT_FALSE(wizard.create(PageSelection{}));
  EXPECT_FALSE(create_at("A1", {true, outer_html(page1, "<body", "</body>"), "<b>99.99</b>"}));
  wizard.name_box = "say \"hi\"";
  EXPECT_FALSE(create_at("A1", select(page1, "<b>12.50", "</b>")));
  // The name is a text of the formula: at most 255 characters (here of two bytes).
  wizard.name_box.clear();
  for (int i = 0; i < 256; ++i) wizard.name_box += "\xC3\xA9";
  EXPECT_FALSE(create_at("A1", select(page1, "<b>12.50", "</b>")));
  wizard.name_box.clear();
  wizard.location = " ";
  EXPECT_FALSE(create_at("A1", select(page1, "<b>12.50", "</b>")));
  wizard.location = kWizardUrl;
  // Found only in an attribute of an element that shows no text.
  EXPECT_FALSE(create_at("A1", {true, "<body><img alt=\"7\"></body>", "<img alt=\"7\">"}));
  EXPECT_EQ(
      sink.texts,
      std::vector<std::string>(
          {"Nothing has been selected on the web page", "Could not find 99.99 in the document.",
           "The name of the link must not contain double quotes or control "
           "characters, please choose another name!",
           "The name of the link is longer than 255 characters, please choose a shorter name!",
           "There is no page address to link to.", "Could not find #N/A in the document."}));
  EXPECT_FALSE(book->worksheet("weblinks_data").ok());
  EXPECT_EQ(shown("A1"), Value());

  wizard.name_box = "last";
  ASSERT_TRUE(create_at("A1", select(page1, "<b>12.50", "</b>")));
  EXPECT_FALSE(create_at("A2", select(page1, "<td class=\"num\">12.50", "</td>")));
  EXPECT_EQ(sink.texts.back(), "The name of the link already exists, please choose another name!");
  EXPECT_EQ(shown("A2"), Value());
  for (const bool shown_then : sink.progress_shown_at_message) EXPECT_FALSE(shown_then);
  EXPECT_TRUE(wizard.topmost());
}

TEST_F(WizardTest, NamesAreTrimmedRowsOnTheSheetReusedAndProposalsNeverTakeAnother) {
  WebLinkFixture::store_row(book, 1, {"old", "http://old.test/", "<P", "<B", "</B"});
  WebLinkFixture::store_row(book, 2, {"weblink_4", "http://old.test/", "<P", "<B", "</B"});
  wizard.name_box = "  old ";
  ASSERT_TRUE(create_at("A1", select(page1, "<b>12.50", "</b>")));
  EXPECT_EQ(*(*sheet->range("A1"))->formula(), "=wlink(\"old\")");
  EXPECT_EQ(store_row(1)[1], kWizardUrl);  // the row that was there, overwritten
  // weblink_3 is loaded and weblink_4 stored: the proposal moves past both.
  engine.weblinks().link_create(*book->name() + "_weblink_3");
  engine.weblinks().link_create(*book->name() + "_weblink_2");
  wizard.name_box.clear();
  ASSERT_TRUE(create_at("A2", select(page1, "<i>15.00", "</i>")));
  EXPECT_EQ(wizard.stored_name(), "weblink_5");
  EXPECT_EQ(store_row(3)[0], "weblink_5");
  EXPECT_EQ(store_row(2)[1], "http://old.test/");
}

// A value that appears on every row of a long table: the chain of tag names
// must reach back far enough to single out the chosen row, and the search
// stays bounded when it would have to reach back further than that.
TEST_F(WizardTest, AValueRepeatedOnEveryRowIsFoundByPlaceOrGivenUp) {
  auto table = [](int rows, int marked) {
    std::string html = "<body><div class=\"x\"><table>";
    for (int i = 1; i <= rows; ++i) {
      html += "<tr><td id=\"r" + std::to_string(i) + "\">" + (i == marked ? "7.77" : "0.00") +
              "</td></tr>";
    }
    return html + "</table></div></body>";
  };
  const std::string page = table(1000, 0);
  ASSERT_TRUE(create_at("A1", {true, page, "<td id=\"r300\">0.00</td>"}));
  engine.weblinks().wlinkparse(table(1000, 300), 1);
  const std::int32_t num = engine.weblinks().getlinknum(*book->name() + "_weblink_1");
  EXPECT_EQ(engine.weblinks().getvalue(num), Value(7.77));

  const std::string big = table(20000, 0);
  EXPECT_FALSE(create_at("A2", {true, big, "<td id=\"r19000\">0.00</td>"}));
  EXPECT_EQ(sink.texts.back(), "Could not find references to parse 0.00");
}

// Two cells whose HTML is the same: the page view says which one was
// selected, and the link follows that one on later copies.
TEST_F(WizardTest, OfTwoEqualElementsTheSelectedOneIsLinked) {
  auto page = [](const char* last, const char* open) {
    return std::string("<body><table><tbody><tr><td>Last</td><td>") + last +
           "</td></tr><tr><td>Open</td><td>" + open + "</td></tr></tbody></table></body>";
  };
  const std::string first = page("5", "5");
  PageSelection selection{true, first, "<td>5</td>", first.rfind("<td>5</td>")};
  ASSERT_TRUE(create_at("A1", selection));
  selection.parent_offset = std::string::npos;  // not known: the first is taken
  ASSERT_TRUE(create_at("A2", selection));
  selection.parent_offset = 3;  // not where the element stands: not trusted
  ASSERT_TRUE(create_at("A3", selection));
  for (std::int32_t r = 1; r <= engine.links().upper_bound(); ++r) {
    engine.links().at(r).reqno = 9;  // as if all were fed by one request
  }
  engine.weblinks().wlinkparse(page("6", "5.5"), 9);
  EXPECT_EQ(engine.weblinks().getvalue(1), Value(5.5));
  EXPECT_EQ(engine.weblinks().getvalue(2), Value(6.0));
  EXPECT_EQ(engine.weblinks().getvalue(3), Value(6.0));
}

// The store sheet hidden in a file: saved, opened again, still hidden, and
// every text exactly as written (no formula, number or date made of it).
TEST_F(WizardTest, TheStoreSheetRoundTripsThroughAFile) {
  ASSERT_TRUE(create_at("A1", select(page1, "<b>12.50", "</b>")));
  const std::vector<std::string> texts = {
      "=wlink(\"x\")", "<TD<TR", "12.50", "2010-01-04", "a \"quoted\" & <b>bold</b> ",
      "'apostrophe",   "TRUE"};
  for (std::size_t i = 0; i < texts.size(); ++i) {
    WebLinkFixture::store_row(book, static_cast<int>(i) + 2,
                              {texts[i], texts[i], texts[i], texts[i], texts[i]});
  }
  const auto before = store_row(1);
  spreadsheet::use_xlsx_files(app, {});
  const std::string path =
      (std::filesystem::path(::testing::TempDir()) / "weblinks-roundtrip.xlsx").string();
  const Status saved = book->save_as(path);
  ASSERT_TRUE(saved.ok()) << saved.message();
  ASSERT_TRUE(book->close().ok());
  auto opened = app.workbooks().open(path);
  ASSERT_TRUE(opened.ok()) << opened.status().message();
  book = *opened;
  auto store = *book->worksheet("weblinks_data");
  EXPECT_EQ(*store->visible(), host::Visibility::Hidden);
  EXPECT_EQ(store_row(1), before);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    for (int c = 1; c <= 5; ++c) {
      auto cell = *store->cell(static_cast<int>(i) + 2, c);
      EXPECT_EQ(*cell->value(), Value(texts[i])) << texts[i];
      EXPECT_FALSE(*cell->has_formula());
    }
  }
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace quillo::weblink_tests
