// A spreadsheet with the add-in's engine on a scripted transport and a
// virtual clock, for the web link tests: store rows are written as the
// wizard writes them, pages are served by address, answers arrive when the
// clock is advanced.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "host/event_loop.h"
#include "http/scripted_transport.h"
#include "requests/engine.h"
#include "spreadsheet/application.h"

namespace quillo::weblink_tests {

inline std::string read_testdata(const std::string& name) {
  std::ifstream in(std::string(QUILLO_TESTDATA_DIR) + "/weblinks/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The text from the first occurrence of open up to and including the first
// close after it: an element's outer HTML as a browser would hand it.
inline std::string outer_html(const std::string& html, const std::string& open,
                              const std::string& close) {
  const std::size_t a = html.find(open);
  const std::size_t b = a == std::string::npos ? a : html.find(close, a);
  EXPECT_NE(b, std::string::npos) << open;
  if (b == std::string::npos) return {};
  return html.substr(a, b + close.size() - a);
}

class WebLinkFixture : public ::testing::Test {
 protected:
  WebLinkFixture() : transport(loop), engine(app, loop, transport) {
    EXPECT_TRUE(engine.install_library(std::string(QUILLO_DATA_DIR) + "/tarnvale.xla").ok());
    book = *app.workbooks().add();
    sheet = *book->active_sheet();
  }

  // Writes one store row (texts kept exactly) on the book's link sheet,
  // adding the sheet when it is missing.
  void store_row(const host::WorkbookPtr& in, int row, const std::vector<std::string>& cells) {
    auto s = in->worksheet("weblinks_data");
    if (!s.ok()) s = in->add_worksheet("weblinks_data");
    ASSERT_TRUE(s.ok());
    for (std::size_t c = 0; c < cells.size(); ++c) {
      if (cells[c].empty()) continue;
      ASSERT_TRUE(
          (*(*s)->cell(row, static_cast<int>(c) + 1))->set_value(Value("'" + cells[c])).ok());
    }
  }
  void set(const host::WorksheetPtr& on, const char* address, const std::string& formula) {
    ASSERT_TRUE((*on->range(address))->set_formula(formula).ok()) << formula;
  }
  void set(const char* address, const std::string& formula) { set(sheet, address, formula); }
  Value shown(const host::WorksheetPtr& on, const char* address) {
    return *(*on->range(address))->value();
  }
  Value shown(const char* address) { return shown(sheet, address); }
  void run(int seconds = 3) {
    for (int i = 0; i < seconds; ++i) {
      loop.advance(1000);
      engine.manager().httpqueue_sendout();
    }
  }

  host::VirtualLoop loop;
  http::ScriptedTransport transport;
  spreadsheet::Application app;
  Engine engine;
  host::WorkbookPtr book;
  host::WorksheetPtr sheet;
};

}  // namespace quillo::weblink_tests
