#include "requests/registry.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <limits>
#include <utility>

#include "common/open_addressing.h"
#include "host/worksheet.h"
#include "http/response_processors.h"

namespace quillo {

namespace {
// Indexed by StatusText.
constexpr std::array<std::string_view, 17> kStatusMessages = {
    "Error 1 - Invalid source.",
    "The specified field could not be found.",
    "Loading data...",
    "Initializing...",
    "Error 2 - data retrieval error",
    "Invalid instrument id",
    "Report is not available for this instrument",
    "Data loaded.",
    "Http error",
    "Updating...",
    "Link references could not be found",
    "",
    "period parameter is invalid",
    "period parameter should be smaller than zero",
    "period parameter should be greater than -1",
    "data parse error",
    "no data available for this instrument",
};
}  // namespace

std::string_view status_message(StatusText which) {
  return kStatusMessages[static_cast<std::size_t>(which)];
}

std::string_view http_errortext(std::int32_t code) {
  switch (code) {
    case 400:
      return "Bad request.";
    case 408:
      return "Request time out.";
    case 500:
      return "Internal server error.";
    case 502:
      return "Bad gateway.";
    case 504:
      return "Gateway timeout.";
    default:
      return "General error.";
  }
}

std::uint32_t RequestRegistry::UrlIndex::hash_of(std::string_view url) {
  const std::size_t h = std::hash<std::string_view>{}(url);
  return static_cast<std::uint32_t>(h ^ (h >> 32));
}

std::int32_t RequestRegistry::UrlIndex::find(std::string_view url) const {
  if (m_slots.empty()) return 0;
  const std::uint32_t h = hash_of(url);
  const std::size_t mask = m_slots.size() - 1;
  for (std::size_t i = h & mask;; i = (i + 1) & mask) {
    const Slot& slot = m_slots[i];
    if (slot.n == 0) return 0;
    if (slot.hash == h && this->url(slot.n) == url) return slot.n;
  }
}

void RequestRegistry::UrlIndex::insert(std::int32_t n) {
  if ((m_count + 1) * 5 > m_slots.size() * 4) grow();
  const std::string_view text = url(n);
  const std::uint32_t h = hash_of(text);
  const std::size_t mask = m_slots.size() - 1;
  for (std::size_t i = h & mask;; i = (i + 1) & mask) {
    Slot& slot = m_slots[i];
    if (slot.n == 0) {
      slot = Slot{h, n};
      ++m_count;
      return;
    }
    if (slot.hash == h && url(slot.n) == text) return;
  }
}

void RequestRegistry::UrlIndex::erase(std::int32_t n) {
  if (m_slots.empty()) return;
  const std::size_t mask = m_slots.size() - 1;
  std::size_t i = hash_of(url(n)) & mask;
  while (m_slots[i].n != n) {
    if (m_slots[i].n == 0) return;  // not indexed
    i = (i + 1) & mask;
  }
  open_addressing::erase_at(m_slots, i, Slot{}, is_free, home);
  --m_count;
}

void RequestRegistry::UrlIndex::clear() {
  std::vector<Slot>().swap(m_slots);
  m_count = 0;
}

void RequestRegistry::UrlIndex::grow() {
  open_addressing::rehash(m_slots, std::max<std::size_t>(16, m_slots.size() * 2), Slot{}, is_free,
                          home);
}

std::int32_t RequestRegistry::find(std::string_view url) const {
  return m_by_url.find(url);
}

std::int32_t RequestRegistry::append(datarequest request) {
  const std::int32_t n = m_requests.add(std::move(request));
  m_waiting.emplace_back();
  m_by_url.insert(n);  // the first record with a URL is the one found
  return n;
}

bool RequestRegistry::Waiting::contains(const CellId& cell) const {
  if (m_more && m_more->keys) return m_more->keys->contains(cell);
  for (const CellId& c : *this) {
    if (c == cell) return true;
  }
  return false;
}

void RequestRegistry::Waiting::push_back(const CellId& cell) {
  if (!m_more) {
    if (m_has_one == 0) {
      m_one = cell;
      m_has_one = 1;
      return;
    }
    // Room for four at once: a request asked for by a row of cells
    // otherwise grew its list through two and four as well.
    m_more = std::make_unique<More>();
    m_more->cells.reserve(4);
    m_more->cells.push_back(m_one);
  }
  std::vector<CellId>& cells = m_more->cells;
  cells.push_back(cell);
  if (m_more->keys) {
    m_more->keys->insert(cell);
  } else if (cells.size() > kScanLimit) {
    m_more->keys =
        std::make_unique<std::unordered_set<CellId, CellIdHash>>(cells.begin(), cells.end());
  }
}

void RequestRegistry::Waiting::erase_at(std::size_t i) {
  if (!m_more) {
    m_has_one = 0;
    return;
  }
  if (m_more->keys) m_more->keys->erase(m_more->cells[i]);
  m_more->cells.erase(m_more->cells.begin() + static_cast<std::ptrdiff_t>(i));
}

std::uint64_t RequestRegistry::next_numbering() {
  static std::atomic<std::uint64_t> last{0};
  return ++last;
}

std::optional<std::uint32_t> RequestRegistry::place_of(std::optional<std::uint32_t> known,
                                                       const host::CellPlaceRef& at,
                                                       const host::Range& cell) {
  if (known) {
    if (!m_sheets[*known]) {
      if (const auto sheet = cell.worksheet(); sheet.ok()) m_sheets[*known] = *sheet;
    }
    return known;
  }
  const auto sheet = cell.worksheet();
  if (!sheet.ok() || !*sheet) return std::nullopt;
  const std::uint32_t place = m_places.intern(at.book, at.sheet);
  if (m_sheets.size() <= place) m_sheets.resize(place + 1);
  m_sheets[place] = *sheet;
  return place;
}

bool RequestRegistry::request_register_cell(std::int32_t reqno, const Value& fcaller) {
  const host::Range* range = host::as_range(fcaller);
  if (!range) return false;
  if (!m_requests.contains(reqno)) return true;
  host::CellPlace scratch;
  const std::optional<host::CellPlaceRef> at = range->place_ref(scratch);
  if (!at) return true;  // a range that is gone: nothing to wait for
  std::optional<std::uint32_t> place = m_places.find(at->book, at->sheet);
  if (!place || !m_sheets[*place]) place = place_of(place, *at, *range);
  if (!place) return true;
  const CellId cell{*place, at->row, at->col};
  m_registered = Registered{range, cell};
  if (m_asked_log) m_asked_log->emplace_back(cell, reqno);
  Waiting& w = waiting(reqno);
  bool listed = false;
  if (m_probe.reqno != 0 && cell == m_probe.cell) {
    m_probe.asked_any = true;
    if (reqno == m_probe.reqno) {
      m_probe.asked_this = true;
      // The cell re-entered for this request's answer: it is in the list
      // where refresh_one took it from, unless the list changed meanwhile.
      listed = m_probe.at < w.size() && w[m_probe.at] == cell;
    }
  }
  if (!listed && !w.contains(cell)) w.push_back(cell);
  return true;
}

std::size_t RequestRegistry::cell_count(std::int32_t reqno) const {
  return m_requests.contains(reqno) ? m_waiting[static_cast<std::size_t>(reqno - 1)].size() : 0;
}

CellRequests RequestRegistry::cell_requests() const {
  CellRequests out;
  out.m_places = &m_places;
  std::size_t n = 0;
  for (std::size_t i = 0; i < m_waiting.size(); ++i) n += m_waiting[i].size();
  out.m_cells.reserve(n);
  for (std::size_t i = 0; i < m_waiting.size(); ++i) {
    for (const CellId& cell : m_waiting[i]) {
      out.m_cells.emplace_back(cell, static_cast<std::int32_t>(i + 1));
    }
  }
  // By cell, and of one cell's requests the latest last, which is kept.
  std::sort(out.m_cells.begin(), out.m_cells.end());
  auto last = out.m_cells.begin();
  for (auto it = out.m_cells.begin(); it != out.m_cells.end(); ++it) {
    if (last != out.m_cells.begin() && std::prev(last)->first == it->first) {
      std::prev(last)->second = it->second;
    } else {
      *last++ = *it;
    }
  }
  out.m_cells.erase(last, out.m_cells.end());
  return out;
}

std::int32_t CellRequests::find(std::string_view book, std::string_view sheet, std::int32_t row,
                                std::int32_t col) const {
  if (!m_places) return 0;
  const auto place = m_places->find(book, sheet);
  if (!place) return 0;
  const CellId cell{*place, row, col};
  const auto it = std::lower_bound(
      m_cells.begin(), m_cells.end(), cell,
      [](const std::pair<CellId, std::int32_t>& a, const CellId& b) { return a.first < b; });
  return it != m_cells.end() && it->first == cell ? it->second : 0;
}

namespace {

// The text a waiting cell shows for the request's status, as a view of a
// fixed text or of the request's own message; nullopt for the text of a
// connection error, which is made (connection_errortext).
std::optional<std::string_view> statustext_view(const datarequest& r) {
  switch (r.status) {
    case RequestStatus::ConnectionError:
      if (r.httpcode == http::kTransportFailure) return std::string_view(r.message.str());
      return std::nullopt;
    case RequestStatus::Loading:
      return status_message(StatusText::Loading);
    case RequestStatus::InvalidInstrument:
      return status_message(StatusText::InvalidInstrument);
    case RequestStatus::ParseError:
      // A history answer that was no price table says what it was.
      if (r.reqtype == RequestType::History && !r.message.empty()) {
        return std::string_view(r.message.str());
      }
      return status_message(StatusText::ParseError);
    case RequestStatus::NoData:
      return status_message(StatusText::NoData);
    default:
      return std::string_view();
  }
}

std::string connection_errortext(const datarequest& r) {
  return "Connection error. Code: " + std::to_string(r.httpcode) + " - " +
         std::string(http_errortext(r.httpcode));
}

}  // namespace

std::string RequestRegistry::request_statustext(std::int32_t reqno) const {
  if (!m_requests.contains(reqno)) return {};
  const datarequest& r = m_requests.at(reqno);
  if (const auto text = statustext_view(r)) return std::string(*text);
  return connection_errortext(r);
}

Value RequestRegistry::waiting_value(const datarequest& request, const Value& fcaller) const {
  if (std::optional<Value> kept = kept_figure(fcaller, request)) return std::move(*kept);
  if (const auto text = statustext_view(request)) return Value(*text);
  return Value(connection_errortext(request));
}

std::optional<Value> RequestRegistry::kept_figure(const Value& fcaller,
                                                  const datarequest& request) const {
  const host::Range* cell = m_kept_figure ? host::as_range(fcaller) : nullptr;
  if (!cell) return std::nullopt;
  return m_kept_figure(*cell, request);
}

std::optional<Value> RequestRegistry::kept_figure(const Value& fcaller, std::int32_t reqno) const {
  if (!m_requests.contains(reqno)) return std::nullopt;
  return kept_figure(fcaller, m_requests.at(reqno));
}

host::WorksheetPtr RequestRegistry::find_sheet(std::uint32_t place) const {
  const auto book = m_app.workbooks().item(m_places.book(place));
  if (!book.ok() || !*book) return nullptr;
  const auto sheet = (*book)->worksheet(m_places.sheet(place));
  return sheet.ok() ? *sheet : nullptr;
}

Status RequestRegistry::reenter(const CellId& cell) {
  // A copy of the handle: evaluating the formula may add places.
  // The sheet re-enters the cell itself (no range handle is made for it).
  const host::WorksheetPtr sheet = m_sheets[cell.place];
  if (sheet) {
    const Status written = sheet->reenter_formula(cell.row, cell.col);
    if (!written.is_object_required()) return written;
  }
  // The sheet kept is gone; another of its name may stand there now.
  const host::WorksheetPtr found = find_sheet(cell.place);
  if (!found) return Status::object_required("waiting cell");
  m_sheets[cell.place] = found;
  return found->reenter_formula(cell.row, cell.col);
}

bool RequestRegistry::still_there(const CellId& cell) {
  const host::WorksheetPtr sheet = m_sheets[cell.place];
  if (sheet) {
    if (const auto range = sheet->cell(cell.row, cell.col); range.ok() && *range) {
      if ((*range)->place()) return true;
    }
  }
  const host::WorksheetPtr found = find_sheet(cell.place);
  if (!found) return false;
  m_sheets[cell.place] = found;
  return true;
}

void RequestRegistry::refresh_one(std::int32_t reqno) {
  // By index, re-reading the count: evaluating a formula re-enters worksheet
  // functions, which may register cells or add requests meanwhile (the list
  // itself stays where it is: the lists only grow at the end, and a reset,
  // which empties them, ends the walk).
  const std::uint64_t resets = m_resets;
  std::size_t j = 0;
  while (j < waiting(reqno).size()) {
    const CellId cell = waiting(reqno)[j];
    const Probe outer = std::exchange(m_probe, Probe{cell, reqno, j, false, false});
    const Status written = reenter(cell);
    const Probe seen = std::exchange(m_probe, outer);
    if (m_resets != resets) return;
    Waiting& w = waiting(reqno);
    std::size_t at = j;  // where the cell stays unless the list changed meanwhile
    if (at >= w.size() || w[at] != cell) {
      const CellId* it = std::find(w.begin(), w.end(), cell);
      if (it == w.end()) continue;  // it left the list while evaluated
      at = static_cast<std::size_t>(it - w.begin());
    }
    // A cell whose sheet is gone no longer waits; nor does one whose
    // evaluation asked for other requests and not for this one. One that
    // asked for nothing may not have been evaluated at all (its formula
    // asks conditionally, or calculation is off): it stays.
    const bool gone = written.code() == StatusCode::ObjectRequired;
    if (gone || (written.ok() && seen.asked_any && !seen.asked_this)) {
      w.erase_at(at);
      if (!gone && w.empty()) m_unasked.push_back(reqno);
      j = at;
    } else {
      j = at + 1;
    }
  }
}

void RequestRegistry::request_refresh_cells(std::int32_t reqno) {
  ++m_updates;
  const RefreshingGuard guard(m_refreshing, true);
  if (reqno != 0) {
    if (m_requests.contains(reqno)) refresh_one(reqno);
    return;
  }
  for (std::int32_t r = 1; r <= m_requests.upper_bound(); ++r) refresh_one(r);
}

void RequestRegistry::sheets_recalc(bool active_sheet_only, bool keep_registration) {
  ++m_updates;
  const CalculatingScope calculating(*this);
  // An audited recalculation logs what the cells ask for; one nested in
  // it (an evaluation may recalculate) adds to the same log.
  const bool outermost = m_audit && m_asked_log == nullptr;
  std::vector<std::pair<CellId, std::int32_t>> log;
  if (outermost) {
    m_audit = false;
    m_asked_log = &log;
  }
  const std::uint64_t resets = m_resets;
  // The places of the sheets recalculated: every formula on them was
  // evaluated, so what their cells asked for now is what they wait on.
  std::vector<bool> evaluated;
  {
    const RefreshingGuard guard(m_refreshing, !keep_registration);
    auto recalc = [&](host::Worksheet& sheet, std::string_view book) {
      if (!sheet.set_enable_calculation(false).ok() || !sheet.set_enable_calculation(true).ok() ||
          !sheet.calculate().ok()) {
        return false;
      }
      const auto name = sheet.name();
      if (!name.ok() || book.empty()) return true;
      if (const auto place = m_places.find(book, *name)) {
        if (evaluated.size() <= *place) evaluated.resize(*place + 1, false);
        evaluated[*place] = true;
      }
      return true;
    };
    if (active_sheet_only) {
      if (const auto sheet = m_app.active_sheet(); sheet.ok()) {
        const auto book = (*sheet)->workbook();
        recalc(**sheet, book.ok() ? (*book)->name().value_or("") : "");
      }
    } else if (const auto book = m_app.active_workbook(); book.ok()) {
      const std::string named = (*book)->name().value_or("");
      const auto count = (*book)->worksheet_count();
      for (std::int32_t i = 1; count.ok() && i <= *count; ++i) {
        const auto sheet = (*book)->worksheet(i);
        if (!sheet.ok() || !recalc(**sheet, named)) break;  // errors end the loop
      }
    }
  }
  if (!outermost) return;
  m_asked_log = nullptr;
  // A reset meanwhile numbered the places afresh: the log means nothing.
  if (m_resets == resets && !evaluated.empty()) drop_unasked(log, evaluated);
}

void RequestRegistry::drop_unasked(std::vector<std::pair<CellId, std::int32_t>>& log,
                                   const std::vector<bool>& evaluated) {
  std::sort(log.begin(), log.end());
  auto asked_any = [&](const CellId& cell) {
    const auto it = std::lower_bound(log.begin(), log.end(),
                                     std::pair{cell, std::numeric_limits<std::int32_t>::min()});
    return it != log.end() && it->first == cell;
  };
  for (std::size_t i = 0; i < m_waiting.size(); ++i) {
    Waiting& w = m_waiting[i];
    const auto reqno = static_cast<std::int32_t>(i + 1);
    const std::size_t before = w.size();
    w.erase_if([&](const CellId& cell) {
      if (cell.place >= evaluated.size() || !evaluated[cell.place]) return false;
      // One that asked for nothing may not compute its call now (its
      // formula asks conditionally): it stays.
      return asked_any(cell) && !std::binary_search(log.begin(), log.end(), std::pair{cell, reqno});
    });
    if (before != 0 && w.empty()) m_unasked.push_back(reqno);
  }
}

void RequestRegistry::requests_reset() {
  if (m_on_abort) m_on_abort();
  m_inflight = 0;
  ++m_resets;
  m_requests.reset();
  m_waiting.clear();
  m_numbering = next_numbering();
  m_places.clear();
  ++m_places_changed;
  m_registered = {};
  m_sheets.clear();
  m_by_url.clear();
  m_unasked.clear();
  m_audit = false;
  if (m_on_reset) m_on_reset();
  sheets_recalc(false, true);
}

std::size_t RequestRegistry::cells_replaced(const std::vector<host::CellPlace>& cells) {
  std::unordered_set<CellId, CellIdHash> replaced;
  for (const host::CellPlace& at : cells) {
    if (const auto place = m_places.find(at.book, at.sheet)) {
      replaced.insert(CellId{*place, at.row, at.col});
    }
  }
  if (replaced.empty()) return 0;
  std::vector<CellId> waited;
  for (std::size_t i = 0; i < m_waiting.size(); ++i) {
    m_waiting[i].erase_if([&](const CellId& cell) {
      if (!replaced.contains(cell)) return false;
      waited.push_back(cell);
      return true;
    });
  }
  std::sort(waited.begin(), waited.end());
  waited.erase(std::unique(waited.begin(), waited.end()), waited.end());
  // Evaluated again, each formula registers its cell with what it asks now.
  // A cell holding a constant now is left alone (entering it again would
  // read its text as typed entry).
  std::size_t evaluated = 0;
  for (const CellId& cell : waited) {
    host::WorksheetPtr sheet = m_sheets[cell.place];
    if (!sheet) sheet = find_sheet(cell.place);
    if (!sheet) continue;
    const auto range = sheet->cell(cell.row, cell.col);
    if (!range.ok() || !*range) continue;
    const auto formula = (*range)->has_formula();
    if (!formula.ok() || !*formula) continue;
    if ((*range)->reenter_formula().ok()) ++evaluated;
  }
  return evaluated;
}

std::size_t RequestRegistry::requests_forget_unwaited() {
  std::vector<std::int32_t> gone;
  for (std::int32_t r = 1; r <= m_requests.upper_bound(); ++r) {
    datarequest& request = m_requests.at(r);
    if (request.forgotten) continue;
    Waiting& w = waiting(r);
    w.erase_if([&](const CellId& cell) { return !still_there(cell); });
    if (w.empty()) gone.push_back(r);
  }
  // The places no cell waits on any more let their sheets go (a closed
  // document's sheets are freed) and may be given out again.
  std::vector<bool> used(m_places.bound(), false);
  for (std::size_t i = 0; i < m_waiting.size(); ++i) {
    for (const CellId& cell : m_waiting[i]) used[cell.place] = true;
  }
  for (std::uint32_t p = 0; p < m_places.bound(); ++p) {
    if (used[p] || !m_sheets[p]) continue;
    m_sheets[p] = nullptr;
    m_places.release(p);
    ++m_places_changed;
    m_registered = {};
  }
  forget(gone);
  return gone.size();
}

std::size_t RequestRegistry::requests_forget_unasked() {
  std::vector<std::int32_t> gone;
  std::sort(m_unasked.begin(), m_unasked.end());
  m_unasked.erase(std::unique(m_unasked.begin(), m_unasked.end()), m_unasked.end());
  for (const std::int32_t r : m_unasked) {
    if (!m_requests.contains(r)) continue;
    // One a cell asks for again meanwhile stays.
    const bool empty = waiting(r).empty();
    if (!m_requests.at(r).forgotten && empty) gone.push_back(r);
  }
  m_unasked.clear();
  forget(gone);
  return gone.size();
}

void RequestRegistry::forget(const std::vector<std::int32_t>& gone) {
  if (gone.empty()) return;
  for (const std::int32_t r : gone) {
    waiting(r).release_if_empty();
    // A request sent and not answered leaves the count of those in flight:
    // its answer will not come.
    const RequestStatus status = m_requests.at(r).status;
    if (status == RequestStatus::Sent || status == RequestStatus::Loading) inflight_answered();
  }
  if (m_on_forget) m_on_forget(gone);
  for (const std::int32_t r : gone) {
    // The index is hashed by the record's URL: out of it before the URL is
    // emptied (and only this record, not another of the same URL).
    m_by_url.erase(r);
    datarequest& request = m_requests.at(r);
    request.forgotten = true;
    request.status = RequestStatus::Loaded;  // it awaits nothing
    request.url = ExactText();
    request.message.clear();
    request.source = {};
    request.category = {};
    request.extra.clear();
    request.parsed = {};
  }
  // Their numbers no longer name their URLs' records.
  m_numbering = next_numbering();
}

}  // namespace quillo
