#include "cli/demo_command.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>

#include "common/text.h"
#include "http/curl_transport.h"
#include "market_service.h"
#include "requests/engine.h"
#include "spreadsheet/application.h"
#include "spreadsheet/function_library.h"
#include "spreadsheet/xlsx.h"

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
  const auto library =
      spreadsheet::load_function_library((install.path() / "tarnvale.xla").string());
  if (!library.ok()) {
    err << "quillo demo: " << library.status().message() << "\n";
    return 2;
  }

  host::PollLoop loop;
  http::CurlTransport transport(loop);
  spreadsheet::Application app;
  Engine engine(app, loop, transport);
  if (!engine.load_definitions(definitions)) {
    err << "quillo demo: " << engine.definitions().error() << "\n";
    return 2;
  }
  if (const host::Status st = engine.install_library((install.path() / "tarnvale.xla").string());
      !st.ok()) {
    err << "quillo demo: " << st.message() << "\n";
    return 2;
  }
  engine.manager().set_send_on_completion(true);
  engine.start_pass(1000);

  spreadsheet::XlsxLoadOptions load_options;
  load_options.external_function = [&](std::string_view name) {
    return library->find(name) != nullptr;
  };
  auto loaded = spreadsheet::load_xlsx(app.model(), (data / "demo.xlsx").string(), load_options);
  if (!loaded.ok()) {
    err << "quillo demo: " << loaded.status().message() << "\n";
    return 2;
  }
  for (const std::string& w : loaded->warnings) err << "quillo demo: warning: " << w << "\n";
  app.model().activate_book(loaded->book);
  (void)app.calculate();  // every formula asks; the answers arrive on the loop
  const bool answered = loop.run_until([&] { return engine.idle(); },
                                       static_cast<std::int64_t>(options.timeout_seconds * 1000));

  std::vector<std::string> warnings;
  const host::Status saved = spreadsheet::save_xlsx(app.model(), loaded->book, loaded->file.get(),
                                                    options.output, &warnings);
  const auto book = app.active_workbook();
  if (book.ok()) print_table(**book, out);
  if (!saved.ok()) {
    err << "quillo demo: " << saved.message() << "\n";
    return 1;
  }
  out << "\nsaved " << options.output << " (" << market.requests()
      << " pages fetched from the local service at " << market.base_url() << ")\n";
  if (!answered) {
    err << "quillo demo: not every request was answered within " << options.timeout_seconds
        << " s\n";
    return 1;
  }
  return 0;
}

}  // namespace quillo::cli
