#include "cli/demo_command.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>

#include "addin/cls_accmanager.h"
#include "cli/session.h"
#include "common/text.h"
#include "demo/market_server.h"
#include "host/process.h"
#include "parse/definitions.h"
#include "spreadsheet/handles.h"

namespace quillo::cli {

namespace fs = std::filesystem;

namespace {

bool read_file(const fs::path& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buf;
  buf << in.rdbuf();
  text = buf.str();
  return !in.bad();
}

// A folder in the system's temporary folder, removed with this object.
class TempFolder {
 public:
  TempFolder() { m_path = host::make_private_temp_folder("quillo-demo-"); }
  ~TempFolder() {
    std::error_code ec;
    if (!m_path.empty()) fs::remove_all(m_path, ec);
  }
  const fs::path& path() const { return m_path; }

 private:
  fs::path m_path;
};

// The values of the workbook's first sheet, a row per line, tab-separated,
// from its first used column; runs of empty rows show as one empty line.
// The walk visits the cells that exist, however far apart they are.
void print_table(spreadsheet::Application& app, host::Workbook& book, std::ostream& out) {
  const auto* handle = dynamic_cast<const spreadsheet::BookHandle*>(&book);
  const spreadsheet::Model& model = app.model();
  const spreadsheet::Book* b = handle ? model.book(handle->book_id()) : nullptr;
  if (!b || b->sheets.empty()) return;
  const spreadsheet::SheetId sheet = b->sheets.front();
  const auto [rows, cols] = model.extent(sheet);
  std::map<std::int32_t, std::map<std::int32_t, std::string>> table;
  std::int32_t first_col = cols;
  model.for_each_cell(sheet, spreadsheet::Box{1, 1, rows, cols},
                      [&](std::int32_t r, std::int32_t c, const spreadsheet::Cell& cell) {
                        // Numbers as a cell shows them: at most 15 significant digits.
                        const Value& v = cell.value;
                        table[r][c] =
                            v.is_number() ? text::format_number_15(v.number()) : v.to_text();
                        first_col = std::min(first_col, c);
                      });
  std::int32_t last_row = 0;
  for (const auto& [r, cells] : table) {
    if (last_row != 0 && r > last_row + 1) out << "\n";
    last_row = r;
    std::string line;
    std::int32_t at = first_col;
    for (const auto& [c, shown] : cells) {
      line.append(static_cast<std::size_t>(c - at), '\t');
      line += shown;
      at = c;
    }
    line.erase(line.find_last_not_of("\t ") + 1);
    out << line << "\n";
  }
}

}  // namespace

int run_demo(const DemoOptions& options, std::ostream& out, std::ostream& err) {
  const fs::path data = options.data_dir;
  std::string definitions;
  if (!read_file(data / "ds.xml", definitions)) {
    err << "quillo demo: cannot read " << (data / "ds.xml").string() << "\n";
    return 2;
  }
  // Definitions that do not load would only fill the table with errors.
  if (Definitions check; !check.load_text(definitions)) {
    err << "quillo demo: " << (data / "ds.xml").string() << ": " << check.error() << "\n";
    return 2;
  }
  service::MarketServer market;
  if (!market.running()) {
    err << "quillo demo: the local market-data service could not start\n";
    return 2;
  }
  // The install folder: the definitions pointing at the service, and the
  // function library the workbook's formulas call.
  TempFolder install;
  if (install.path().empty()) {
    err << "quillo demo: cannot create a temporary install folder\n";
    return 2;
  }
  text::replace_all(definitions, "{port}", std::to_string(market.port()));
  std::error_code ec;
  fs::copy_file(data / "tarnvale.xla", install.path() / "tarnvale.xla", ec);
  if (ec) {
    err << "quillo demo: cannot copy the function library: " << ec.message() << "\n";
    return 2;
  }
  std::ofstream(install.path() / "ds.xml", std::ios::binary) << definitions;

  // The add-in's settings live in a store of the run's own, which names the
  // install folder; the user's settings are not touched.
  TempFolder store;
  if (store.path().empty()) {
    err << "quillo demo: cannot create a temporary settings folder\n";
    return 2;
  }
  SessionOptions so;
  so.command = "quillo demo";
  so.registry.user_dir = store.path() / "user";
  so.registry.machine_dir = store.path() / "machine";
  {
    addin::modRegistry registry(so.registry, {});
    addin::cls_accmanager store_keys(registry);
    store_keys.config_writekey(addin::kInstallPathName, Value(install.path().string() + "/"));
    // Price history comes from the local service too.
    store_keys.config_writekey("history_service", Value(market.base_url()));
    // So does the product site: its newer definitions and model library.
    store_keys.config_writekey("product_site", Value(market.base_url() + "/site/"));
  }
  Session session(so, err);
  const host::WorkbookPtr book = session.open_ready((data / "demo.xlsx").string());
  if (!book) return 2;
  session.calculate_full();  // every formula asks; the answers arrive on the loop
  const bool answered =
      session.wait_answered(static_cast<std::int64_t>(options.timeout_seconds * 1000));

  const Summary summary = session.summarize(*book);  // before the book takes the new name
  (void)session.write_provenance(*book);
  const Status saved = book->save_as(options.output);
  print_table(session.app(), *book, out);
  if (!saved.ok()) {
    err << "quillo demo: " << saved.message() << "\n";
    return 1;
  }
  out << "\nsaved " << options.output << " (" << market.requests()
      << " pages fetched from the local service at " << market.base_url() << ")\n"
      << summary_line(summary) << "\n";
  if (!answered) {
    err << "quillo demo: not every request was answered within " << options.timeout_seconds
        << " s\n";
    return 1;
  }
  return 0;
}

}  // namespace quillo::cli
