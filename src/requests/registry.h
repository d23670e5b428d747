// The request registry: the table of web requests, one per URL, and for
// each the cells whose formulas wait on it. A worksheet function finds or
// creates its request, registers its own cell and answers at once (the
// value, or a status text such as "Loading data..."); when the answer has
// been processed the registry makes the spreadsheet evaluate the waiting
// cells again (host::Worksheet::reenter_formula, as if their formulas were
// entered anew), and the re-entered function finds the value.
//
// Numbers given out stay valid until requests_reset (a forgotten request
// keeps its number, emptied, so none is ever given out twice). Lookups by URL and
// by cell go through indexes beside the tables, so every operation stays
// fast with a hundred thousand requests. A waiting cell is kept as its
// workbook and sheet (a number shared by the cells of one sheet, with the
// sheet's handle), row and column: a few bytes, where a range handle and a
// text key per cell took hundreds.
//
// Loop thread only. Rewriting a formula re-enters worksheet functions
// (which may add requests); the walks go by index and re-read the bounds,
// and the `refreshing` flag is set by a scoped guard.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/application.h"
#include "host/cell_key.h"
#include "host/range.h"
#include "host/worksheet.h"
#include "parse/datarequest.h"
#include "requests/cell_id.h"

namespace quillo {

// The status texts cells show, each named; the numbers are their fixed
// places in the table of texts.
enum class StatusText : std::uint8_t {
  InvalidSource = 0,          // "Error 1 - Invalid source."
  FieldNotFound = 1,          // "The specified field could not be found."
  Loading = 2,                // "Loading data..."
  Initializing = 3,           // "Initializing..."
  RetrievalError = 4,         // "Error 2 - data retrieval error"
  InvalidInstrument = 5,      // "Invalid instrument id"
  ReportNotAvailable = 6,     // "Report is not available for this instrument"
  DataLoaded = 7,             // "Data loaded."
  HttpError = 8,              // "Http error"
  Updating = 9,               // "Updating..."
  LinkNotFound = 10,          // "Link references could not be found"
  Empty = 11,                 // ""
  PeriodInvalid = 12,         // "period parameter is invalid"
  PeriodNotBelowZero = 13,    // "period parameter should be smaller than zero"
  PeriodNotAboveMinus1 = 14,  // "period parameter should be greater than -1"
  ParseError = 15,            // "data parse error"
  NoData = 16,                // "no data available for this instrument"
};
// The text of a status.
std::string_view status_message(StatusText which);

// "Bad request." for 400, ..., "General error." for any other code.
std::string_view http_errortext(std::int32_t code);

// Workbook name, sheet name, row and column joined by "_"; empty when the
// range is gone.
using host::cellkey;

// Every registered cell with the number of the request it waits on (the
// latest one when it waits on several), as RequestRegistry::cell_requests
// answers them; valid until the registry next changes.
class CellRequests {
 public:
  // The request the cell waits on; 0 when none.
  std::int32_t find(std::string_view book, std::string_view sheet, std::int32_t row,
                    std::int32_t col) const;
  std::int32_t find(const host::CellPlace& at) const {
    return find(at.book, at.sheet, at.row, at.col);
  }
  std::size_t size() const { return m_cells.size(); }

 private:
  friend class RequestRegistry;
  const PlaceTable* m_places = nullptr;
  std::vector<std::pair<CellId, std::int32_t>> m_cells;  // sorted by cell
};

class RequestRegistry {
 public:
  explicit RequestRegistry(host::Application& app) : m_app(app) {}
  // The URL index refers to this object's table.
  RequestRegistry(const RequestRegistry&) = delete;
  RequestRegistry& operator=(const RequestRegistry&) = delete;

  RequestTable& requests() { return m_requests; }
  const RequestTable& requests() const { return m_requests; }

  // The number of the request with exactly this URL, or 0.
  std::int32_t find(std::string_view url) const;
  // Appends a record (with an empty cell list) and indexes its URL.
  std::int32_t append(datarequest request);

  // Registers the calling cell with the request, once per cell. False when
  // there is no calling cell (the worksheet function then fails).
  bool request_register_cell(std::int32_t reqno, const Value& fcaller);
  // The cell request_register_cell registered last, when it came as this
  // range and forget_registered was not called since: the one call of a
  // worksheet function that registered it is still running, so others told
  // of that call (the provenance log) need not ask the range for its place
  // again. The place is in places(); null otherwise.
  const CellId* registered_as(const host::Range* range) const {
    return range && range == m_registered.range ? &m_registered.cell : nullptr;
  }
  // Called before each call of a worksheet function: what the last call
  // registered says nothing of the next one's range.
  void forget_registered() { m_registered.range = nullptr; }
  // The workbooks and sheets of registered cells by place, and a count
  // that changes whenever a place may name another pair.
  const PlaceTable& places() const { return m_places; }
  std::uint64_t places_changed() const { return m_places_changed; }
  std::size_t cell_count(std::int32_t reqno) const;
  // Every registered cell with the number of the request it waits on.
  CellRequests cell_requests() const;

  // The text a waiting cell shows for the request's status.
  std::string request_statustext(std::int32_t reqno) const;
  // What a cell waiting on the request shows while it has no value: the
  // kept figure (set_kept_figure) where there is one, else the status text.
  Value waiting_value(const datarequest& request, const Value& fcaller) const;

  // Changes whenever a request number may stop naming the record of its
  // URL (a request forgotten, the table reset), and differs between
  // registries: a number found for a URL while it stays the same still
  // names that URL's record, unchecked.
  std::uint64_t numbering() const { return m_numbering; }

  // A front end that keeps the values cells held where no new one arrived
  // (the command line keeps a workbook file's values) answers the value a
  // waiting cell shows in place of its request's status text; nullopt shows
  // the text. Unset: every cell shows the text.
  using KeptFigure =
      std::function<std::optional<Value>(const host::Range& cell, const datarequest& request)>;
  void set_kept_figure(KeptFigure hook) { m_kept_figure = std::move(hook); }
  std::optional<Value> kept_figure(const Value& fcaller, std::int32_t reqno) const;
  std::optional<Value> kept_figure(const Value& fcaller, const datarequest& request) const;

  // Re-evaluates the waiting cells of one request, or of all when reqno is
  // 0. Cells whose range no longer exists are dropped.
  void request_refresh_cells(std::int32_t reqno);
  // Recalculates every worksheet of the active workbook (or its active
  // sheet only); with keep_registration the formulas register their cells
  // again, without they do not.
  void sheets_recalc(bool active_sheet_only, bool keep_registration);
  // Forgets every request (and, through the hook, the history areas),
  // withdraws the requests in flight (through the abort hook, which runs
  // while the table still holds them: an answer for the old table must
  // never fill a new request that reuses its number),
  // then recalculates so every formula runs and registers afresh.
  void requests_reset();
  void set_on_reset(std::function<void()> hook) { m_on_reset = std::move(hook); }
  void set_on_abort(std::function<void()> hook) { m_on_abort = std::move(hook); }
  // Forgets only the requests no cell waits on any more (their cells'
  // ranges are gone: a sheet or a document was closed); the others keep
  // their answers and their cells, and nothing is evaluated again. The
  // waiting cells whose ranges are gone are dropped first; each request
  // left without one is withdrawn (through the forget hook: its sends in
  // flight or queued, whatever else the engine keeps for it), leaves the
  // URL index and is emptied, and its number stays taken, so an answer
  // that still comes for it fills nothing. A formula that asks for the
  // same page later makes a new request. Answers how many were forgotten.
  std::size_t requests_forget_unwaited();
  // Forgets, as requests_forget_unwaited does, the requests whose last
  // waiting cells left them because they no longer ask for them: re-entered
  // for an answer, each asked for other requests and not this one (its
  // input changed, another instrument). Cheap: only those requests are
  // looked at. The update timer runs it before a round, so what no cell
  // asks for is not fetched again. Answers how many were forgotten.
  std::size_t requests_forget_unasked();
  // The next recalculation of the sheets (sheets_recalc) notes what every
  // cell asks for, and the cells evaluated that asked for other requests and
  // not for one they wait on leave its list; a list so emptied is forgotten
  // by requests_forget_unasked. The update timer asks for it each round;
  // the note costs 16 bytes a waiting cell while the recalculation runs.
  void audit_next_recalc() { m_audit = true; }
  void set_on_forget(std::function<void(const std::vector<std::int32_t>&)> hook) {
    m_on_forget = std::move(hook);
  }
  // The cells' formulas were replaced (a file saved elsewhere was taken
  // in): nothing else tells the registry that a cell stopped asking for a
  // request. Each cell leaves the waiting list of every request and, where
  // it still holds a formula, is evaluated again, so it waits on exactly the
  // requests its formula makes now: a cell moved from one request to
  // another no longer waits on the first. Requests left without a waiting
  // cell stay until requests_forget_unwaited. Answers how many cells were
  // evaluated again.
  std::size_t cells_replaced(const std::vector<host::CellPlace>& cells);

  // Sets `calculating` for its scope (a forced recalculation); the
  // indicator functions read it. Restores the earlier value when it ends.
  class CalculatingScope {
   public:
    explicit CalculatingScope(RequestRegistry& registry)
        : m_flag(registry.m_calculating), m_saved(m_flag) {
      m_flag = true;
    }
    ~CalculatingScope() { m_flag = m_saved; }
    CalculatingScope(const CalculatingScope&) = delete;
    CalculatingScope& operator=(const CalculatingScope&) = delete;

   private:
    bool& m_flag;
    bool m_saved;
  };

  // Requests sent and not yet answered: a send raises the count, an answer
  // lowers it (never below 0), and the periodic pass may clear it when an
  // answer was lost.
  std::int32_t inflight_count() const { return m_inflight; }
  void inflight_sent() { ++m_inflight; }
  void inflight_answered() {
    if (m_inflight > 0) --m_inflight;
  }
  void inflight_clear() { m_inflight = 0; }

  // Counts the times cells were made to show new answers (or asked again),
  // so an observer can tell that something changed since it last looked.
  std::uint64_t updates() const { return m_updates; }
  // Counts the resets of the table (request numbers start again after each).
  std::uint64_t resets() const { return m_resets; }

  bool refreshing() const { return m_refreshing; }
  bool calculating() const { return m_calculating; }

 private:
  // A request's waiting cells, in registration order. Nearly every request
  // has one cell: it sits in the list itself, 24 bytes and no allocation (a
  // vector and an index pointer took 32 bytes and a 32-byte block of its
  // own for the one cell). A second cell moves them all into an array
  // behind a pointer; past kScanLimit they are indexed as well.
  static constexpr std::size_t kScanLimit = 16;
  class Waiting {
   public:
    std::size_t size() const { return m_more ? m_more->cells.size() : m_has_one; }
    bool empty() const { return size() == 0; }
    const CellId* begin() const { return m_more ? m_more->cells.data() : &m_one; }
    const CellId* end() const { return begin() + size(); }
    const CellId& operator[](std::size_t i) const { return begin()[i]; }
    bool contains(const CellId& cell) const;
    // Adds the cell at the end (it is not in the list).
    void push_back(const CellId& cell);
    // Removes the cell at place i.
    void erase_at(std::size_t i);
    // Removes, in order, the cells for which drop(cell) is true.
    template <typename Drop>
    void erase_if(Drop drop) {
      if (!m_more) {
        if (m_has_one != 0 && drop(static_cast<const CellId&>(m_one))) m_has_one = 0;
        return;
      }
      std::erase_if(m_more->cells, [&](const CellId& cell) {
        if (!drop(cell)) return false;
        if (m_more->keys) m_more->keys->erase(cell);
        return true;
      });
    }
    // An emptied list lets go of its array and index.
    void release_if_empty() {
      if (empty()) {
        m_more.reset();
        m_has_one = 0;
      }
    }

   private:
    struct More {
      std::vector<CellId> cells;
      std::unique_ptr<std::unordered_set<CellId, CellIdHash>> keys;  // once there are many
    };
    CellId m_one{};               // the one cell while m_more is null
    std::uint32_t m_has_one = 0;  // 0 or 1 while m_more is null
    std::unique_ptr<More> m_more;
  };
  static_assert(sizeof(Waiting) == 24, "a waiting list of one cell stays 24 bytes");
  // Sets refreshing for a scope and restores what it was.
  class RefreshingGuard {
   public:
    RefreshingGuard(bool& flag, bool value) : m_flag(flag), m_saved(flag) { m_flag = value; }
    ~RefreshingGuard() { m_flag = m_saved; }

   private:
    bool& m_flag;
    bool m_saved;
  };
  void refresh_one(std::int32_t reqno);
  // Withdraws and empties the requests (see requests_forget_unwaited).
  void forget(const std::vector<std::int32_t>& gone);
  // The place of a calling cell's workbook and sheet, added (with the
  // sheet's handle) when new.
  // known is what m_places found for the pair (which the caller asks
  // first, in line: it is nearly always there, with its handle).
  std::optional<std::uint32_t> place_of(std::optional<std::uint32_t> known,
                                        const host::CellPlaceRef& at, const host::Range& cell);
  // Evaluates the waiting cell's formula again; ObjectRequired when its
  // sheet is gone.
  Status reenter(const CellId& cell);
  // Whether the waiting cell's sheet is still there.
  bool still_there(const CellId& cell);
  // The sheet of the place, found again by its names (a sheet deleted and
  // another added under its name); null when there is none.
  host::WorksheetPtr find_sheet(std::uint32_t place) const;

  // The waiting lists, parallel to the table: [n - 1] for request n. In
  // blocks that never move (a list stays where it is while the formulas
  // re-entered add requests), found with a shift and a mask where a deque
  // divided by its block's count at every look.
  class WaitingLists {
   public:
    std::size_t size() const { return m_size; }
    Waiting& operator[](std::size_t i) { return m_blocks[i >> kShift][i & kMask]; }
    const Waiting& operator[](std::size_t i) const { return m_blocks[i >> kShift][i & kMask]; }
    // Appends an empty list.
    void emplace_back() {
      if ((m_size & kMask) == 0) m_blocks.push_back(std::make_unique<Waiting[]>(kMask + 1));
      ++m_size;
    }
    void clear() {
      m_blocks.clear();
      m_size = 0;
    }

   private:
    static constexpr std::size_t kShift = 8;
    static constexpr std::size_t kMask = (std::size_t{1} << kShift) - 1;
    std::vector<std::unique_ptr<Waiting[]>> m_blocks;
    std::size_t m_size = 0;
  };
  Waiting& waiting(std::int32_t reqno) { return m_waiting[static_cast<std::size_t>(reqno - 1)]; }
  // A value no registry has had (see numbering).
  static std::uint64_t next_numbering();

  host::Application& m_app;
  RequestTable m_requests;
  WaitingLists m_waiting;
  std::uint64_t m_numbering = next_numbering();
  // The workbooks and sheets of the waiting cells, with each sheet's handle
  // by place; a place no cell waits on any more is let go at
  // requests_forget_unwaited.
  PlaceTable m_places;
  std::vector<host::WorksheetPtr> m_sheets;
  std::uint64_t m_places_changed = 0;  // at a clear or release of m_places
  // What request_register_cell registered last (see registered_as).
  struct Registered {
    const host::Range* range = nullptr;
    CellId cell{};
  };
  Registered m_registered;
  // The index of the table by URL holds request numbers only, each beside
  // 32 bits of its URL's hash, and compares the records' URLs (no second
  // copy of every URL); it is searched with the URL itself. Open addressing
  // with linear probing over a power-of-two array, at most four fifths
  // full: 8 bytes a slot, where a hash-set node took 32 with its allocation
  // and its bucket 8 to 16 more. Only the first record of a URL is in it.
  class UrlIndex {
   public:
    explicit UrlIndex(const RequestTable& table) : m_table(table) {}
    // The number of the indexed record with this URL, or 0.
    std::int32_t find(std::string_view url) const;
    // Indexes record n unless a record of its URL is indexed.
    void insert(std::int32_t n);
    // Takes record n (and no other of its URL) out of the index.
    void erase(std::int32_t n);
    void clear();

   private:
    struct Slot {
      std::uint32_t hash = 0;
      std::int32_t n = 0;  // 0: free
    };
    static std::uint32_t hash_of(std::string_view url);
    static bool is_free(const Slot& slot) { return slot.n == 0; }
    static std::size_t home(const Slot& slot) { return slot.hash; }
    std::string_view url(std::int32_t n) const { return m_table.at(n).url; }
    void grow();
    const RequestTable& m_table;
    std::vector<Slot> m_slots;
    std::size_t m_count = 0;
  };
  UrlIndex m_by_url{m_requests};
  std::function<void()> m_on_reset;
  std::function<void()> m_on_abort;
  std::function<void(const std::vector<std::int32_t>&)> m_on_forget;
  std::int32_t m_inflight = 0;
  KeptFigure m_kept_figure;
  bool m_refreshing = false;
  bool m_calculating = false;
  std::uint64_t m_updates = 0;
  std::uint64_t m_resets = 0;
  // While refresh_one re-enters a waiting cell: the cell and the request it
  // waits on, and whether its evaluation asked for any request and for
  // this one (request_register_cell notes both).
  struct Probe {
    CellId cell{};
    std::int32_t reqno = 0;  // 0: no cell is watched
    std::size_t at = 0;      // where the cell stood in the request's list
    bool asked_any = false;
    bool asked_this = false;
  };
  Probe m_probe;
  // While sheets_recalc evaluates sheets: every (cell, request) registered,
  // so cells evaluated without asking for a request they wait on leave it.
  std::vector<std::pair<CellId, std::int32_t>>* m_asked_log = nullptr;
  bool m_audit = false;
  // Drops, from every waiting list, the cells on the places evaluated that
  // asked for requests (in log, which it sorts) but not for that list's.
  void drop_unasked(std::vector<std::pair<CellId, std::int32_t>>& log,
                    const std::vector<bool>& evaluated);
  // Requests whose lists refresh_one emptied; requests_forget_unasked
  // forgets those still without a cell.
  std::vector<std::int32_t> m_unasked;
};

}  // namespace quillo
