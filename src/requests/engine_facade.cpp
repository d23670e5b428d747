#include "requests/engine_facade.h"

#include <cmath>

#include "common/text.h"
#include "host/cell_key.h"
#include "host/output_blocks.h"
#include "indicators/indicator_frame.h"
#include "requests/engine.h"
#include "requests/weblink_wizard.h"

namespace quillo {

namespace {

// The manager's channel for the link wizard's pages.
constexpr const char* kLinkChannel = "wlink";
// The request number of a page fetched for the link wizard.
constexpr std::int32_t kPageRequest = -1;

// Sent and not answered yet.
bool awaits_answer(RequestStatus status) {
  return status == RequestStatus::Loading || status == RequestStatus::NotSent;
}

// Whether a cell waiting on a request in this status keeps the value it had:
// no answer yet, or a failure where the settings say to keep the last
// figure. Final answers (an invalid instrument, no data) are shown.
bool keeps_value(RequestStatus status, const ErrorPolicy& policy) {
  switch (status) {
    case RequestStatus::Loading:
    case RequestStatus::NotSent:
      return true;
    case RequestStatus::ConnectionError:
      return policy.connectionerrorhandling == 2;
    case RequestStatus::ParseError:
      return policy.parseerrorhandling == 2;
    default:
      return false;
  }
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
    if (!m.empty() && shown == m) return text::lower(m);
  }
  return {};
}

// The kind of failure a value shows, by the value alone; empty for a value.
std::string shown_value_kind(const Value& shown) {
  if (shown.is_error()) return shown.to_text();
  // Written to the file as #NUM!: a value no reader can show is no value.
  if (shown.is_number() && !std::isfinite(shown.number())) return Value(ErrorCode::Num).to_text();
  if (shown.is_empty()) return "empty";
  if (shown.is_text()) return shown_failure_kind(shown.text());
  return {};
}

constexpr std::string_view kNotAnswered = "not answered";

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

std::string_view link_sheet_name() {
  return kLinkSheet;
}

Result<std::vector<LinkRow>> stored_links(host::Workbook& book) {
  auto sheet = book.worksheet(kLinkSheet);
  if (!sheet.ok()) return std::vector<LinkRow>{};
  return link_rows(**sheet);
}

std::string link_reads(std::string page, const LinkMade& link) {
  return link_value(link_page(std::move(page)), link.references, link.startmarker, link.endmarker);
}

EngineFacade::EngineFacade(host::Application& app, host::EventLoop& loop,
                           http::HttpTransport& transport)
    : m_engine(std::make_unique<Engine>(app, loop, transport)) {
  m_engine->registry().set_kept_figure([this](const host::Range& cell,
                                              const datarequest& request) -> std::optional<Value> {
    if (m_file_values.empty()) return std::nullopt;
    const std::optional<host::CellPlace> at = cell.place();
    if (!at) return std::nullopt;
    // A price-history cell shows "Updating..." until its table is
    // written: no answer yet, so it keeps its value too.
    const bool awaited = awaits_answer(request.status) ||
                         (request.reqtype == RequestType::History && table_pending(cellkey(*at)));
    if (!awaited && !keeps_value(request.status, m_engine->policy())) return std::nullopt;
    const Value* held = m_file_values.find(*at);
    if (!held) return std::nullopt;
    // A cell the file left empty stays empty while its answer is
    // awaited, so no status text ("Loading data...") is saved; a
    // failure shows itself rather than an empty "last figure".
    if (!held->is_empty()) return *held;
    if (!awaited) return std::nullopt;
    // A formula's empty result would show 0; the empty text shows
    // nothing, as the file did.
    return Value(std::string());
  });
}

EngineFacade::~EngineFacade() = default;

void EngineFacade::register_methods() {
  m_engine->register_methods();
}

Status EngineFacade::install_library(const std::string& path) {
  return m_engine->install_library(path);
}

core& EngineFacade::core_object() {
  return m_engine->m_core;
}

bool EngineFacade::load_definitions(std::string_view xml) {
  return m_engine->load_definitions(xml);
}

Status EngineFacade::load_definitions_file(const std::string& file) {
  Definitions& definitions = m_engine->definitions();
  if (definitions.definitions_loadfile(file)) return {};
  return Status::failed(definitions.error().empty() ? "cannot be loaded" : definitions.error());
}

const Definitions& EngineFacade::definitions() const {
  return m_engine->definitions();
}

void EngineFacade::configure(const EngineSettings& s) {
  m_engine->policy().connectionerrorhandling = s.connectionerrorhandling;
  m_engine->policy().parseerrorhandling = s.parseerrorhandling;
  http::clsXMLHttpManager& manager = m_engine->manager();
  http::HttpSettings http = manager.settings();
  http.useproxy = s.useproxy;
  http.proxy_server = s.proxy_server;
  http.proxy_user = s.proxy_user;
  http.proxy_password = s.proxy_password;
  http.connection_timeout = s.connection_timeout;
  http.receive_timeout = s.receive_timeout;
  manager.set_settings(http);
  manager.set_send_on_completion(s.send_on_completion);
  m_engine->set_history_service(s.history_service);
}

EngineSettings EngineFacade::settings() const {
  EngineSettings s;
  s.connectionerrorhandling = m_engine->policy().connectionerrorhandling;
  s.parseerrorhandling = m_engine->policy().parseerrorhandling;
  const http::HttpSettings& http = m_engine->manager().settings();
  s.useproxy = http.useproxy;
  s.proxy_server = http.proxy_server;
  s.proxy_user = http.proxy_user;
  s.proxy_password = http.proxy_password;
  s.connection_timeout = http.connection_timeout;
  s.receive_timeout = http.receive_timeout;
  s.send_on_completion = m_engine->manager().send_on_completion();
  s.history_service = m_engine->m_history.service;
  return s;
}

http::HttpSettings EngineFacade::http_settings() const {
  return m_engine->manager().settings();
}

void EngineFacade::start_pass(std::int64_t interval_ms) {
  m_engine->start_pass(interval_ms);
}

void EngineFacade::send_due_updates(const UpdateRound& round) {
  RequestRegistry& registry = m_engine->registry();
  const auto n = registry.requests().upper_bound();
  // The recalculation this round brings shows which cells stopped asking
  // for what they waited on.
  registry.audit_next_recalc();
  if (registry.inflight_count() != 0) {
    registry.sheets_recalc(false, false);
    registry.inflight_clear();
  }
  // What no cell asks for any more (their inputs changed) is not fetched.
  (void)registry.requests_forget_unasked();
  for (std::int32_t i = 1; i <= n; ++i) {
    // Re-read the record each time: sending may re-evaluate cells.
    if (!registry.requests().contains(i)) break;
    const datarequest& r = registry.requests().at(i);
    const bool due =
        (round.every_interval && (r.updatefrq == 1 || r.reqtype == RequestType::WebLink)) ||
        (r.updatefrq == 30 && round.half_hour) || (r.updatefrq == 15 && round.quarter_hour) ||
        r.status == RequestStatus::ConnectionError || r.status == RequestStatus::ParseError;
    if (due) m_engine->dispatch().request_send(i);
  }
}

void EngineFacade::send_queued() {
  m_engine->manager().httpqueue_sendout();
}

bool EngineFacade::take_areas_dirty() {
  history::AreaTable& areas = m_engine->areas();
  if (!areas.areas_dirty) return false;
  areas.areas_dirty = false;
  return true;
}

void EngineFacade::write_computed_series() {
  m_engine->m_calcs.calc_pass();
  // The record of where values came from goes with the values, through
  // the host, so every host's saved workbook holds it.
  m_engine->m_provenance.write_all();
}

std::vector<ProvenanceRecord> EngineFacade::provenance(host::Workbook& book) {
  return m_engine->m_provenance.records(book);
}

bool EngineFacade::write_provenance(host::Workbook& book) {
  return m_engine->m_provenance.write(book);
}

void EngineFacade::set_calendar_clock(std::function<std::int64_t()> now) {
  m_engine->m_provenance.set_now(std::move(now));
}

void EngineFacade::reset_requests() {
  m_engine->registry().requests_reset();
}

std::size_t EngineFacade::forget_unwaited_requests() {
  return m_engine->registry().requests_forget_unwaited();
}

void EngineFacade::formulas_replaced(const std::vector<host::CellPlace>& cells) {
  if (cells.empty()) return;
  (void)m_engine->registry().cells_replaced(cells);
  (void)m_engine->registry().requests_forget_unwaited();
}

void EngineFacade::forget_in_flight() {
  m_engine->registry().inflight_clear();
}

void EngineFacade::close_requests() {
  m_engine->manager().close_monitors();
}

void EngineFacade::set_processor(const std::string& processor, HttpAnswer answer) {
  m_engine->m_processors.add(processor, std::move(answer));
}

bool EngineFacade::send(const std::string& url, const std::string& processor, std::int32_t reqno,
                        std::string_view channel) {
  http::clsXMLHttpManager& manager = m_engine->manager();
  return manager.XMLHttpCall("GET", url, processor, reqno,
                             manager.getchannelid(std::string(channel)));
}

void EngineFacade::ensure_channels() {
  http::clsXMLHttpManager& manager = m_engine->manager();
  if (manager.channel_count() == 0) manager.manager_setup({});
}

std::string EngineFacade::add_rand(std::string_view url) {
  return m_engine->dispatch().add_rand(url);
}

void EngineFacade::log_event(std::string_view source, std::string_view text) {
  m_engine->manager().log().logevent(1, Value(std::string(source)), Value(), text);
}

bool EngineFacade::idle() const {
  return m_engine->idle();
}

bool EngineFacade::answered() const {
  const RequestRegistry& registry = m_engine->registry();
  const RequestTable& requests = registry.requests();
  if (m_settled_resets != registry.resets() || m_settled > requests.upper_bound()) {
    m_settled = 0;
    m_settled_resets = registry.resets();
  }
  bool settled = true;  // every request before i is a data request answered
  for (std::int32_t i = m_settled + 1; i <= requests.upper_bound(); ++i) {
    // A first send shows "Loading data..." until its answer; sends of the
    // update timer show the last answer meanwhile.
    const RequestStatus s = requests.at(i).status;
    if (awaits_answer(s)) return false;
    // A web link's page goes out as a plain send even the first time: it
    // has been answered once any link it feeds holds a value. Whether one
    // does may change, so web links are asked again every time.
    if (requests.at(i).reqtype == RequestType::WebLink) {
      settled = false;
      if (s == RequestStatus::Sent && !link_answered(i)) return false;
    }
    if (settled) m_settled = i;
  }
  const history::AreaTable& areas = m_engine->areas();
  for (std::size_t i = 1; i <= areas.size(); ++i) {
    if (areas.at(i).pending) return false;
  }
  return m_engine->m_calcs.computed_count() == 0;
}

Progress EngineFacade::progress() const {
  Progress p;
  const RequestTable& requests = m_engine->registry().requests();
  p.total = requests.upper_bound();
  for (std::int32_t i = 1; i <= requests.upper_bound(); ++i) {
    if (requests.at(i).forgotten) {
      --p.total;  // nobody waits on it
      continue;
    }
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

std::uint64_t EngineFacade::updates() const {
  // A series written a pass after the answer that computed it is news too.
  return m_engine->registry().updates() + m_engine->m_calcs.writes();
}

void EngineFacade::remember_file_value(const host::Range& cell, Value value) {
  if (const std::optional<host::CellPlace> at = cell.place()) {
    m_file_values.remember(*at, std::move(value));
  }
}

CellState EngineFacade::cell_state(const host::Range& cell, const Value& shown) const {
  const std::optional<host::CellPlace> at = cell.place();
  return state_of(at.value_or(host::CellPlace{}), shown, m_engine->registry().cell_requests());
}

Summary EngineFacade::summarize(const std::vector<ShownCell>& cells) const {
  std::size_t i = 0;
  return summarize_each([&](ShownCell& c) {
    if (i == cells.size()) return false;
    c = cells[i++];
    return true;
  });
}

Summary EngineFacade::summarize_each(const std::function<bool(ShownCell&)>& next) const {
  Summary s;
  const auto requests = m_engine->registry().cell_requests();
  ShownCell c;
  while (next(c)) {
    ++s.cells;
    const CellState state = state_of(c.cell, c.shown, requests);
    if (state.kind == CellState::Kind::Answered) {
      ++s.filled;
      if (text::calls_any(c.formula, kHistoryFunctions)) ++s.history_tables;
      if (text::calls_any(c.formula, kIndicatorFunctions)) ++s.indicator_series;
    } else {
      ++s.failures[state.reason];
      if (state.file_value_kept) ++s.kept;
    }
  }
  return s;
}

CellState EngineFacade::state_of(const host::CellPlace& cell, const Value& shown,
                                 const CellRequests& cell_requests) const {
  CellState state;
  const RequestTable& requests = m_engine->registry().requests();
  const std::int32_t reqno = cell_requests.find(cell);
  if (reqno != 0 && requests.contains(reqno)) {
    const datarequest& request = requests.at(reqno);
    state.reason = failure_kind(request.status);
    bool awaited = awaits_answer(request.status);
    // A table still on its way: not answered, whatever the cell shows.
    if (state.reason.empty() && request.reqtype == RequestType::History &&
        table_pending(cellkey(cell))) {
      state.reason = kNotAnswered;
      awaited = true;
    }
    // As the kept figure: an empty value only while awaited. Kept only
    // where the cell shows it: a price-history cell writes its own status
    // text (a connection error) whatever the settings keep.
    const Value* file_value = m_file_values.find(cell);
    state.file_value_kept =
        !state.reason.empty() && file_value &&
        (awaited || (keeps_value(request.status, m_engine->policy()) && !file_value->is_empty())) &&
        (shown == *file_value || (file_value->is_empty() && shown == Value(std::string())));
  }
  if (state.reason.empty()) state.reason = shown_value_kind(shown);
  if (state.reason.empty()) {
    state.kind = CellState::Kind::Answered;
  } else {
    state.kind = state.reason == kNotAnswered ? CellState::Kind::Waiting : CellState::Kind::Failed;
  }
  return state;
}

bool EngineFacade::table_pending(const std::string& key) const {
  const history::AreaTable& areas = m_engine->areas();
  for (std::size_t i = 1; i <= areas.size(); ++i) {
    if (areas.at(i).key == key) return areas.at(i).pending;
  }
  return false;
}

bool EngineFacade::link_answered(std::int32_t reqno) const {
  const LinkTable& links = m_engine->links();
  for (std::int32_t n = 1; n <= links.upper_bound(); ++n) {
    if (links.at(n).reqno == reqno && !links.at(n).value.is_empty()) return true;
  }
  return false;
}

void EngineFacade::load_stored_links(host::Workbook& book) {
  auto sheet = book.worksheet(kLinkSheet);
  auto book_name = book.name();
  if (!sheet.ok() || !book_name.ok()) return;
  auto rows = link_rows(**sheet);
  if (!rows.ok()) return;
  cls_weblinkroutines& routines = m_engine->weblinks();
  // Of two rows of one name the lower is the link, as wlink loads it.
  std::unordered_map<std::string_view, std::size_t> last;
  for (std::size_t i = 0; i < rows->size(); ++i) last[(*rows)[i].name] = i;
  for (std::size_t i = 0; i < rows->size(); ++i) {
    const LinkRow& row = (*rows)[i];
    if (last[row.name] != i) continue;
    const std::string key = *book_name + "_" + row.name;
    if (routines.getlinknum(key) != 0) continue;
    link_from_row(routines.links().at(routines.link_create(key)), row);
  }
}

LinkMade EngineFacade::create_link(LinkRequest request, host::MessageSink& messages) {
  weblink_wizard wizard(m_engine->weblinks(), m_engine->m_app, messages, request.cell);
  wizard.location = request.url;
  wizard.name_box = request.name;
  if (request.separators) wizard.separators = *request.separators;
  PageSelection selection;
  selection.has_selection = request.has_selection;
  selection.body_html = std::move(request.body_html);
  selection.parent_html = std::move(request.parent_html);
  selection.parent_offset = request.parent_offset;
  LinkMade made;
  made.stored = wizard.create(std::move(selection));
  made.name = wizard.stored_name();
  made.value = wizard.value();
  made.references = wizard.stored_references();
  made.startmarker = wizard.stored_startmarker();
  made.endmarker = wizard.stored_endmarker();
  return made;
}

bool EngineFacade::fetch_page(const std::string& processor, const std::string& url,
                              HttpAnswer answer) {
  http::clsXMLHttpManager& manager = m_engine->manager();
  manager.abort_processor(processor);
  m_engine->m_processors.add(processor, std::move(answer));
  return manager.XMLHttpCall("GET", url, processor, kPageRequest,
                             manager.getchannelid(kLinkChannel));
}

void EngineFacade::end_page_fetch(const std::string& processor) {
  m_engine->manager().abort_processor(processor);
  m_engine->m_processors.add(
      processor, [](const std::string&, std::int32_t, std::int16_t, const std::string&) {});
}

}  // namespace quillo
