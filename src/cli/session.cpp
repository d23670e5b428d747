#include "cli/session.h"

#include <algorithm>
#include <filesystem>

#include "addin/dataload.h"
#include "addin/startup_problems.h"
#include "cli/disk_changes.h"
#include "common/text.h"
#include "host/process.h"
#include "spreadsheet/handles.h"
#include "xlsx/workbook_files.h"

namespace quillo::cli {

namespace fs = std::filesystem;

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
  // Calls of a copy of the function library elsewhere are computed: the
  // add-in points them at the installed one as the workbook opens.
  xlsx.redirected_calls = [](std::string_view book) { return addin::link_repaired(book); };
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
  const auto problems = addin::startup_problems(m_registry, m_options.registry.user_dir,
                                                m_state->definitions_error());
  return problems.empty() ? std::string() : problems.front();
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
  return !m_state->engine() || m_state->engine()->answered();
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
  if (m_state->engine()) m_state->engine()->write_computed_series();
}

bool Session::write_provenance(host::Workbook& book) {
  return !m_state->engine() || m_state->engine()->write_provenance(book);
}

std::vector<ProvenanceRecord> Session::provenance(host::Workbook& book) {
  return m_state->engine() ? m_state->engine()->provenance(book) : std::vector<ProvenanceRecord>{};
}

Progress Session::progress() const {
  return m_state->engine() ? m_state->engine()->progress() : Progress{};
}

namespace {

// The functions of the libraries installed in the host, as formulas write
// them (lower case).
std::vector<std::string> library_functions(const spreadsheet::Application& app) {
  std::vector<std::string> names = app.add_in_catalog().declared_functions();
  for (std::string& name : names) name = text::lower(name);
  return names;
}

// Whether the cell's formula calls one of the library's functions.
bool calls_library(const spreadsheet::Model& model, spreadsheet::SheetId sheet, std::int32_t row,
                   std::int32_t col, const std::vector<std::string>& names) {
  const spreadsheet::Sheet* s = model.sheet(sheet);
  const spreadsheet::FormulaState* f =
      s ? s->cells.formula(spreadsheet::cell_key(row, col)) : nullptr;
  // Only a formula that calls a function not built in can call the library's.
  if (!f || !f->formula->calls_external) return false;
  return text::calls_any(model.formula_text(sheet, row, col, spreadsheet::Notation::A1), names);
}

}  // namespace

std::vector<AddinCell> Session::addin_cells(host::Workbook& book) {
  std::vector<AddinCell> out;
  const auto* handle = dynamic_cast<const spreadsheet::BookHandle*>(&book);
  const spreadsheet::Model& model = m_app.model();
  const spreadsheet::Book* b = handle ? model.book(handle->book_id()) : nullptr;
  if (!b) return out;
  const std::vector<std::string> names = library_functions(m_app);
  for (const spreadsheet::SheetId id : b->sheets) {
    const spreadsheet::Sheet* sheet = model.sheet(id);
    if (!sheet) continue;
    for (const std::uint64_t key : sheet->formulas) {
      const std::int32_t row = spreadsheet::key_row(key), col = spreadsheet::key_col(key);
      if (calls_library(model, id, row, col, names)) out.push_back(AddinCell{id, row, col});
    }
  }
  return out;
}

bool Session::library_installed() const {
  return !m_app.add_in_catalog().declared_functions().empty();
}

Result<std::int32_t> Session::take_in(host::Workbook& book, spreadsheet::BookId id,
                                      const std::string& path, bool* save_owed) {
  std::vector<host::CellPlace> replaced;
  std::vector<spreadsheet::CellAddr> written, behind;
  const auto taken = take_in_file(
      m_app, id, path, &replaced,
      [&](const spreadsheet::CellAddr& cell, const Value& value) {
        keep_value(cell, value);
        written.push_back(cell);
      },
      &behind);
  if (!taken.ok()) return taken.status();
  if (EngineFacade* engine = m_state->engine()) engine->formulas_replaced(replaced);
  addin::link_repair(m_app, book);
  if (save_owed) {
    // The file lacks what quillo now has for one of its cells: a value, or
    // (for a formula written anew) the record of what the cell asks.
    const std::vector<std::string> names = library_functions(m_app);
    auto ours = [&](const spreadsheet::CellAddr& a) {
      return calls_library(m_app.model(), a.sheet, a.row, a.col, names);
    };
    *save_owed = std::any_of(behind.begin(), behind.end(), ours) ||
                 std::any_of(written.begin(), written.end(), ours);
  }
  return taken;
}

void Session::keep_values(host::Workbook& book) {
  EngineFacade* engine = m_state->engine();
  if (!engine) return;
  const spreadsheet::Model& model = m_app.model();
  for (const AddinCell& c : addin_cells(book)) {
    // Empty values too: a cell the file left empty stays so until answered.
    const spreadsheet::RangeHandle cell(m_app.shared_model(), c.sheet,
                                        spreadsheet::Box{c.row, c.col, c.row, c.col});
    engine->remember_file_value(cell, model.value(c.sheet, c.row, c.col));
  }
}

void Session::empty_while_waiting(host::Workbook& book) {
  EngineFacade* engine = m_state->engine();
  if (!engine) return;
  spreadsheet::Model& model = m_app.model();
  for (const AddinCell& c : addin_cells(book)) {
    const spreadsheet::RangeHandle cell(m_app.shared_model(), c.sheet,
                                        spreadsheet::Box{c.row, c.col, c.row, c.col});
    const CellState state = engine->cell_state(cell, model.value(c.sheet, c.row, c.col));
    if (state.kind != CellState::Kind::Waiting || state.file_value_kept) continue;
    engine->remember_file_value(cell, Value());
    (void)model.reenter_formula(c.sheet, c.row, c.col);
  }
}

void Session::keep_value(const spreadsheet::CellAddr& cell, const Value& value) {
  EngineFacade* engine = m_state->engine();
  if (!engine) return;
  const spreadsheet::RangeHandle range(m_app.shared_model(), cell.sheet,
                                       spreadsheet::Box{cell.row, cell.col, cell.row, cell.col});
  engine->remember_file_value(range, value);
}

Summary Session::summarize(host::Workbook& book) {
  if (!m_state->engine()) return {};
  const spreadsheet::Model& model = m_app.model();
  const std::vector<AddinCell> cells = addin_cells(book);
  std::size_t i = 0;
  return m_state->engine()->summarize_each([&](ShownCell& shown) {
    if (i == cells.size()) return false;
    const AddinCell& c = cells[i++];
    const spreadsheet::RangeHandle cell(m_app.shared_model(), c.sheet,
                                        spreadsheet::Box{c.row, c.col, c.row, c.col});
    shown = ShownCell{cell.place().value_or(host::CellPlace{}), model.value(c.sheet, c.row, c.col),
                      model.formula_text(c.sheet, c.row, c.col, spreadsheet::Notation::A1)};
    return true;
  });
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

}  // namespace quillo::cli
