#include "cli/session.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "common/text.h"
#include "host/output_blocks.h"
#include "host/process.h"
#include "indicators/indicator_frame.h"
#include "requests/cls_weblinkroutines.h"
#include "requests/fhistory.h"
#include "requests/fsingle.h"
#include "requests/registry.h"
#include "spreadsheet/handles.h"
#include "xlsx/workbook_files.h"

namespace quillo::cli {

namespace fs = std::filesystem;

namespace {

// Sent and not answered yet.
bool awaits_answer(RequestStatus status) {
  return status == RequestStatus::Loading || status == RequestStatus::NotSent;
}

// Whether a cell waiting on a request in this status keeps the value it had:
// no answer yet, or a failure where the settings say to keep the last
// figure. Final answers (an invalid instrument, no data) are shown.

bool keeps_value(RequestStatus status, const addin::Configuration& config) {
  switch (status) {
    case RequestStatus::Loading:
    case RequestStatus::NotSent:
      return true;
    case RequestStatus::ConnectionError:
      return config.connectionerrorhandling == 2;
    case RequestStatus::ParseError:
      return config.parseerrorhandling == 2;
    default:
      return false;
  }
}

}  // namespace

std::string own_module_path() {
  return host::own_module_path();
}

std::string shipped_data_folder(const std::string& module_folder) {
  // Installed: <prefix>/bin/quillo with <prefix>/share/quillo; built: the
  // source tree's data folder.
  const fs::path candidates[] = {fs::path(module_folder) / ".." / "share" / "quillo",
                                 fs::path(QUILLO_DATA_DIR)};
  for (const fs::path& c : candidates) {
    std::error_code ec;
    if (fs::exists(c / "tarnvale.xla", ec)) {
      std::string folder = fs::weakly_canonical(c, ec).string();
      if (folder.empty() || folder.back() != '/') folder += '/';
      return folder;
    }
  }
  return module_folder;
}

Session::Session(SessionOptions options, std::ostream& err)
    : m_options(std::move(options)),
      m_err(err),
      m_transport(m_loop),
      m_registry(m_options.registry,
                 [this](std::string_view w) { m_err << m_options.command << ": " << w << "\n"; }),
      m_messages(err) {
  // What quillo changes is known from the start, so formulas left with the
  // file's value can be told apart from ones still right.
  m_app.model().track_changes();
  spreadsheet::XlsxHostOptions xlsx;
  xlsx.on_warning = [this](const std::string& w) {
    m_err << m_options.command << ": warning: " << w << "\n";
  };
  spreadsheet::use_xlsx_files(m_app, xlsx);
  addin::Platform platform{m_loop,
                           m_transport,
                           m_registry,
                           m_options.messages ? *m_options.messages : m_messages,
                           m_browser,
                           m_objects,
                           m_options.data_folder,
                           m_options.minute_ms,
                           1000,
                           nullptr,
                           m_options.site_at_startup,
                           m_options.site_log};
  m_state = std::make_shared<addin::AddinState>(platform);
  addin::register_classes(m_objects, m_options.module_path, m_state);
  // Registered before the add-in's own handler (handlers run in the order
  // they were added), so the values are those of the file, before link
  // repair evaluates the formulas it rewrites.
  m_open_handler = m_app.on_workbook_open([this](const host::WorkbookPtr& book) {
    if (book) keep_values(*book);
  });
  auto made = m_objects.create(addin::kConnectProgId);
  if (made.ok()) m_connection = std::dynamic_pointer_cast<addin::Connectexcel>(*made);
  if (m_connection) {
    m_connection->IDTExtensibility2_OnConnection(m_app, addin::ConnectMode::CommandLine, nullptr);
  }
  if (m_state->engine()) {
    m_state->engine()->registry().set_kept_figure(
        [this](const host::Range& cell, const datarequest& request) -> std::optional<Value> {
          const std::string key = cellkey(cell);
          // A price-history cell shows "Updating..." until its table is
          // written: no answer yet, so it keeps its value too.
          const bool awaited = awaits_answer(request.status) ||
                               (request.reqtype == RequestType::History && table_pending(key));
          if (!awaited && !keeps_value(request.status, m_state->config())) return std::nullopt;
          const auto it = m_kept.find(key);
          if (it == m_kept.end()) return std::nullopt;
          // A cell the file left empty stays empty while its answer is
          // awaited, so no status text ("Loading data...") is saved; a
          // failure shows itself rather than an empty "last figure".
          if (!it->second.is_empty()) return it->second;
          if (!awaited) return std::nullopt;
          // A formula's empty result would show 0; the empty text shows
          // nothing, as the file did.
          return Value(std::string());
        });
  }
}

namespace {

bool g_leave_to_exit = false;

}  // namespace

void leave_workbooks_to_exit() {
  g_leave_to_exit = true;
}

void keep_until_exit(std::shared_ptr<spreadsheet::Model> model) {
  if (!g_leave_to_exit) return;
  // Never freed, on purpose; the list stays reachable to the end.
  static auto* kept = new std::vector<std::shared_ptr<spreadsheet::Model>>();
  kept->push_back(std::move(model));
}

Session::~Session() {
  keep_until_exit(m_app.shared_model());
  m_app.remove_handler(m_open_handler);
  if (m_connection) {
    m_connection->IDTExtensibility2_OnDisconnection(addin::DisconnectMode::HostShutdown);
  }
  addin::unregister_classes(m_objects);
}

std::string Session::not_ready() {
  if (!m_connection || !m_state->engine()) return "the add-in could not be connected";
  // Settings that cannot be read would be replaced by defaults (another
  // install folder, other error handling) without a word.
  if (m_registry.reg_rootstatus(addin::HKEY_CURRENT_USER) != 0) {
    return "the settings file in " + m_options.registry.user_dir.string() +
           " cannot be read: " + m_registry.last_error().system_error_text;
  }
  if (!m_state->definitions_error().empty()) {
    return "the definitions did not load: " + m_state->definitions_error();
  }
  return {};
}

Result<host::WorkbookPtr> Session::open(const std::string& path) {
  return m_app.workbooks().open(path);
}

void Session::run_until_stopped(host::StopRequests& stops) {
  bool stopping = false;
  stops.watch(m_loop, [&] {
    stopping = true;
    m_loop.stop();
  });
  while (!stopping) m_loop.run();
  stops.unwatch(m_loop);
}

host::WorkbookPtr Session::open_ready(const std::string& path) {
  if (const std::string why = not_ready(); !why.empty()) {
    m_err << m_options.command << ": " << why << "\n";
    return nullptr;
  }
  auto book = open(path);
  if (!book.ok()) {
    m_err << m_options.command << ": " << path << ": " << book.status().message() << "\n";
    return nullptr;
  }
  return *book;
}

void Session::calculate_full() {
  m_app.model().calculate_all();
}

bool Session::idle() const {
  return !m_state->engine() || m_state->engine()->idle();
}

bool Session::answered() const {
  if (!m_state->engine()) return true;
  const RequestTable& requests = m_state->engine()->registry().requests();
  for (std::int32_t i = 1; i <= requests.upper_bound(); ++i) {
    // A first send shows "Loading data..." until its answer; sends of the
    // update timer show the last answer meanwhile.
    const RequestStatus s = requests.at(i).status;
    if (s == RequestStatus::Loading || s == RequestStatus::NotSent) return false;
    // A web link's page goes out as a plain send even the first time: it
    // has been answered once any link it feeds holds a value.
    if (s == RequestStatus::Sent && requests.at(i).reqtype == RequestType::WebLink &&
        !link_answered(i)) {
      return false;
    }
  }
  const history::AreaTable& areas = m_state->engine()->areas();
  for (std::size_t i = 1; i <= areas.size(); ++i) {
    if (areas.at(i).pending) return false;
  }
  return m_state->engine()->calcs().computed_count() == 0;
}

bool Session::table_pending(const std::string& key) const {
  const history::AreaTable& areas = m_state->engine()->areas();
  for (std::size_t i = 1; i <= areas.size(); ++i) {
    if (areas.at(i).key == key) return areas.at(i).pending;
  }
  return false;
}

bool Session::link_answered(std::int32_t reqno) const {
  const LinkTable& links = m_state->engine()->links();
  for (std::int32_t n = 1; n <= links.upper_bound(); ++n) {
    if (links.at(n).reqno == reqno && !links.at(n).value.is_empty()) return true;
  }
  return false;
}

bool Session::wait_answered(std::int64_t timeout_ms, const std::function<void()>& on_tick) {
  const std::int64_t start = m_loop.now_ms();
  while (true) {
    std::int64_t slice = 1000;
    if (timeout_ms >= 0) {
      const std::int64_t left = timeout_ms - (m_loop.now_ms() - start);
      if (left <= 0) return answered();
      slice = std::min(slice, left);
    }
    if (m_loop.run_until([this] { return answered(); }, slice)) {
      if (on_tick) on_tick();
      return true;
    }
    if (on_tick) on_tick();
  }
}

void Session::write_computed_series() {
  if (m_state->engine()) m_state->engine()->calcs().calc_pass();
}

Progress Session::progress() const {
  Progress p;
  if (!m_state->engine()) return p;
  const RequestTable& requests = m_state->engine()->registry().requests();
  p.total = requests.upper_bound();
  for (std::int32_t i = 1; i <= p.total; ++i) {
    // A request sent again by the update timer (kSent) has been answered.
    switch (requests.at(i).status) {
      case RequestStatus::Loading:
      case RequestStatus::NotSent:
        break;
      case RequestStatus::ConnectionError:
      case RequestStatus::ParseError:
        ++p.answered;
        ++p.errors;
        break;
      default:
        ++p.answered;
    }
  }
  return p;
}

namespace {

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool name_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '.';
}

// Whether the formula calls one of the functions (a name followed by "(").
bool calls_any(std::string_view formula, const std::vector<std::string>& names) {
  const std::string lower = ascii_lower(formula);
  for (const std::string& name : names) {
    std::size_t at = 0;
    while ((at = lower.find(name, at)) != std::string::npos) {
      const std::size_t end = at + name.size();
      if ((at == 0 || !name_char(lower[at - 1])) && end < lower.size() && lower[end] == '(') {
        return true;
      }
      at = end;
    }
  }
  return false;
}

// What a cell waiting on a request in this status shows, as a kind of
// failure; empty when the cell shows its value (a request sent again by the
// update timer keeps showing the last answer).
std::string_view failure_kind(RequestStatus status) {
  switch (status) {
    case RequestStatus::Loading:
    case RequestStatus::NotSent:
      return "not answered";
    case RequestStatus::ConnectionError:
      return "connection error";
    case RequestStatus::InvalidInstrument:
      return "invalid instrument";
    case RequestStatus::ParseError:
      return "data parse error";
    case RequestStatus::NoData:
      return "no data";
    default:
      return {};
  }
}

// The library's price-history function and its indicator functions.
const std::vector<std::string> kHistoryFunctions{"fhistory"};
const std::vector<std::string> kIndicatorFunctions{
    "sma",          "wma",      "ema", "rsi",        "macd", "sto_fast", "sto_slow", "bollinger",
    "pricechannel", "momentum", "roc", "money_flow", "osc",  "w_close",  "vol_ctc",  "beta"};

// What a history or indicator formula shows when it has no table or series,
// as a kind of failure; empty for anything else.
std::string_view answer_failure_kind(const std::string& shown) {
  if (shown == status_message(StatusText::Updating) || shown == indicators::kCalculating)
    return "not answered";
  if (shown == indicators::kCalculationError) return "calculation error";
  if (shown == indicators::kNotEnoughColumns) return "not enough table columns";
  if (shown == kNoHistoryService) return "no history service";
  if (shown.starts_with(host::kBlockedPrefix)) return "blocked by a formula";
  if (shown.starts_with(host::kCutPrefix)) return "cut at the sheet's edge";
  if (shown == indicators::kLongAfterShort || shown == indicators::kSameRows ||
      shown == indicators::kPeriodInvalid || shown == "start_date and end_date must be dates" ||
      shown == status_message(StatusText::InvalidSource)) {
    return "invalid arguments";
  }
  return {};
}

// What a text an add-in's cell shows says when it is no value, as a kind
// of failure; empty for a value. A cell shows a value only when it holds
// one: the empty text, the not-found marker, link and status texts, and
// texts of a value still on its way are none.
std::string shown_failure_kind(const std::string& shown) {
  if (shown.empty()) return "empty";
  if (shown == kInvalidField) return "invalid field";
  if (const std::string_view kind = answer_failure_kind(shown); !kind.empty()) {
    return std::string(kind);
  }
  if (shown == kNotFound) return "value not found";
  if (shown == status_message(StatusText::LinkNotFound)) return "link not found";
  if (shown == status_message(StatusText::Loading) ||
      shown == status_message(StatusText::Initializing)) {
    return "not answered";
  }
  if (shown == status_message(StatusText::InvalidInstrument)) return "invalid instrument";
  if (shown == status_message(StatusText::ParseError)) return "data parse error";
  if (shown == status_message(StatusText::NoData)) return "no data";
  if (shown.rfind("Connection error", 0) == 0) return "connection error";
  if (shown == status_message(StatusText::DataLoaded)) return {};  // a history table's
  for (int i = 0; i <= static_cast<int>(StatusText::NoData); ++i) {
    const std::string_view m = status_message(static_cast<StatusText>(i));
    if (!m.empty() && shown == m) return ascii_lower(m);
  }
  return {};
}

}  // namespace

ShownKind shown_kind(std::string_view shown) {
  if (shown == status_message(StatusText::Loading) ||
      shown == status_message(StatusText::Initializing) ||
      shown == status_message(StatusText::Updating) ||
      shown == status_message(StatusText::DataLoaded) || shown == indicators::kCalculating) {
    return ShownKind::Progress;
  }
  if (shown == kInvalidField) return ShownKind::Failure;
  const std::string text(shown);
  if (!answer_failure_kind(text).empty()) return ShownKind::Failure;
  for (int i = 0; i <= static_cast<int>(StatusText::NoData); ++i) {
    const std::string_view m = status_message(static_cast<StatusText>(i));
    if (!m.empty() && shown == m) return ShownKind::Failure;
  }
  return ShownKind::Other;
}

std::vector<AddinCell> Session::addin_cells(host::Workbook& book) {
  std::vector<AddinCell> out;
  const auto* handle = dynamic_cast<const spreadsheet::BookHandle*>(&book);
  const spreadsheet::Model& model = m_app.model();
  const spreadsheet::Book* b = handle ? model.book(handle->book_id()) : nullptr;
  if (!b) return out;
  // The functions of the libraries installed in the host, as formulas write them.
  std::vector<std::string> names = m_app.add_in_catalog().declared_functions();
  for (std::string& name : names) name = ascii_lower(name);
  for (const spreadsheet::SheetId id : b->sheets) {
    const spreadsheet::Sheet* sheet = model.sheet(id);
    if (!sheet) continue;
    for (const std::uint64_t key : sheet->formulas) {
      // Only a formula that calls a function not built in can call the library's.
      if (!sheet->cells.formula(key)->formula->calls_external) continue;
      const std::int32_t row = spreadsheet::key_row(key), col = spreadsheet::key_col(key);
      const std::string formula = model.formula_text(id, row, col, spreadsheet::Notation::A1);
      if (calls_any(formula, names)) out.push_back(AddinCell{id, row, col});
    }
  }
  return out;
}

bool Session::library_installed() const {
  return !m_app.add_in_catalog().declared_functions().empty();
}

void Session::keep_values(host::Workbook& book) {
  const spreadsheet::Model& model = m_app.model();
  for (const AddinCell& c : addin_cells(book)) {
    // Empty values too: a cell the file left empty stays so until answered.
    Value v = model.value(c.sheet, c.row, c.col);
    const spreadsheet::RangeHandle cell(m_app.shared_model(), c.sheet,
                                        spreadsheet::Box{c.row, c.col, c.row, c.col});
    m_kept[cellkey(cell)] = std::move(v);
  }
}

Summary Session::summarize(host::Workbook& book) {
  Summary s;
  if (!m_state->engine()) return s;
  const auto registered = m_state->engine()->registry().cell_requests();
  const RequestTable& requests = m_state->engine()->registry().requests();
  const spreadsheet::Model& model = m_app.model();
  for (const AddinCell& c : addin_cells(book)) {
    ++s.cells;
    const Value shown = model.value(c.sheet, c.row, c.col);
    const spreadsheet::RangeHandle cell(m_app.shared_model(), c.sheet,
                                        spreadsheet::Box{c.row, c.col, c.row, c.col});
    const std::string key = cellkey(cell);
    const auto req = registered.find(key);
    std::string kind;
    if (req != registered.end() && requests.contains(req->second)) {
      const datarequest& request = requests.at(req->second);
      kind = failure_kind(request.status);
      bool awaited = awaits_answer(request.status);
      // A table still on its way: not answered, whatever the cell shows.
      if (kind.empty() && request.reqtype == RequestType::History && table_pending(key)) {
        kind = "not answered";
        awaited = true;
      }
      // As the kept figure above: an empty value only while awaited.
      const auto file_value = m_kept.find(key);
      if (!kind.empty() && file_value != m_kept.end() &&
          (awaited ||
           (keeps_value(request.status, m_state->config()) && !file_value->second.is_empty()))) {
        ++s.kept;
      }
    }
    if (kind.empty()) {
      if (shown.is_error()) {
        kind = shown.to_text();
      } else if (shown.is_empty()) {
        kind = "empty";
      } else if (shown.is_text()) {
        kind = shown_failure_kind(shown.text());
      }
    }
    if (kind.empty()) {
      ++s.filled;
      const std::string formula =
          model.formula_text(c.sheet, c.row, c.col, spreadsheet::Notation::A1);
      if (calls_any(formula, kHistoryFunctions)) ++s.history_tables;
      if (calls_any(formula, kIndicatorFunctions)) ++s.indicator_series;
    } else {
      ++s.failures[kind];
    }
  }
  return s;
}

std::vector<StaleFormula> Session::stale_formulas(host::Workbook& book) {
  std::vector<StaleFormula> out;
  const auto* handle = dynamic_cast<const spreadsheet::BookHandle*>(&book);
  const spreadsheet::Model& model = m_app.model();
  const spreadsheet::Book* b = handle ? model.book(handle->book_id()) : nullptr;
  if (!b) return out;
  auto in_book = [&](spreadsheet::SheetId id) {
    return std::find(b->sheets.begin(), b->sheets.end(), id) != b->sheets.end();
  };
  auto name = [&](const spreadsheet::CellAddr& a) {
    return spreadsheet::quote_sheet_name(model.sheet_name(a.sheet)) + "!" +
           spreadsheet::cell_a1(a.row, a.col);
  };
  const spreadsheet::AddInCatalog& catalog = m_app.add_in_catalog();
  for (const spreadsheet::CellAddr& a : model.stale_formulas()) {
    if (!in_book(a.sheet)) continue;
    const spreadsheet::FormulaPtr f = model.formula_at(a);
    const std::string fn =
        f ? spreadsheet::missing_function(*f,
                                          [&](std::string_view n, const std::string* lib) {
                                            return catalog.computes(n, lib);
                                          })
          : std::string();
    out.push_back(StaleFormula{
        name(a), fn.empty() ? "it uses a name or sheet quillo does not know" : "calls " + fn});
  }
  // What a formula quillo cannot read reads is unknown: any change may reach it.
  // The changed cells are only looked for when there is such a formula.
  const auto unread = b->file ? b->file->unread_formulas(model, b->id)
                              : std::vector<std::pair<spreadsheet::CellAddr, std::string>>();
  if (unread.empty()) return out;
  const std::vector<spreadsheet::CellAddr> changed = model.changed_cells();
  if (std::none_of(changed.begin(), changed.end(),
                   [&](const spreadsheet::CellAddr& a) { return in_book(a.sheet); })) {
    return out;
  }
  for (const auto& [a, why] : unread) {
    if (in_book(a.sheet)) out.push_back(StaleFormula{name(a), why});
  }
  return out;
}

std::string summary_line(const Summary& summary) {
  std::string line = std::to_string(summary.cells) + " cells with quillo formulas, " +
                     std::to_string(summary.filled) + " filled";
  if (summary.history_tables > 0) {
    line += " (" + std::to_string(summary.history_tables) + " history table" +
            (summary.history_tables == 1 ? "" : "s");
    if (summary.indicator_series > 0) {
      line += ", " + std::to_string(summary.indicator_series) + " indicator series";
    }
    line += ")";
  } else if (summary.indicator_series > 0) {
    line += " (" + std::to_string(summary.indicator_series) + " indicator series)";
  }
  for (const auto& [kind, n] : summary.failures) line += ", " + std::to_string(n) + " " + kind;
  if (summary.kept > 0) {
    line += "; the file's value kept in " + std::to_string(summary.kept) + " of them";
  }
  if (summary.stale > 0) {
    line += "; " + std::to_string(summary.stale) + (summary.stale == 1 ? " formula" : " formulas") +
            " quillo cannot compute kept the file's value though cells they read changed";
  }
  return line;
}

}  // namespace quillo::cli
