#include "cli/demo_command.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>

#include "addin/cls_accmanager.h"
#include "cli/session.h"
#include "common/text.h"
#include "market_service.h"

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
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "quillo-demo-XXXXXX").string();
    if (::mkdtemp(pattern.data())) m_path = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    if (!m_path.empty()) fs::remove_all(m_path, ec);
  }
  const fs::path& path() const { return m_path; }

 private:
  fs::path m_path;
};

// The values of the workbook's first sheet, a row per line, tab-separated.
void print_table(host::Workbook& book, std::ostream& out) {
  const auto sheet = book.worksheet(1);
  if (!sheet.ok()) return;
  const auto used = (*sheet)->used_range();
  if (!used.ok()) return;
  const auto values = (*used)->value();
  if (!values.ok()) return;
  if (!values->is_array()) {
    out << values->to_text() << "\n";
    return;
  }
  const Array& a = values->array();
  for (std::int32_t r = 0; r < a.rows; ++r) {
    std::string line;
    for (std::int32_t c = 0; c < a.cols; ++c) {
      if (c > 0) line += '\t';
      // Numbers as a cell shows them: at most 15 significant digits.
      const Value& v = a.at(r, c);
      line += v.is_number() ? text::format_number_15(v.number()) : v.to_text();
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
  service::MarketService market;
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
  }
  Session session(so, err);
  auto book = session.open((data / "demo.xlsx").string());
  if (!book.ok()) {
    err << "quillo demo: " << book.status().message() << "\n";
    return 2;
  }
  session.calculate_full();  // every formula asks; the answers arrive on the loop
  const bool answered =
      session.wait_answered(static_cast<std::int64_t>(options.timeout_seconds * 1000));

  const Summary summary = session.summarize(**book);  // before the book takes the new name
  const host::Status saved = (*book)->save_as(options.output);
  print_table(**book, out);
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
