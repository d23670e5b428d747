// The request registry: the table of web requests, one per URL, and for
// each the cells whose formulas wait on it. A worksheet function finds or
// creates its request, registers its own cell and answers at once (the
// value, or a status text such as "Loading data..."); when the answer has
// been processed the registry makes the spreadsheet evaluate the waiting
// cells again by rewriting their formulas, and the re-entered function
// finds the value.
//
// Numbers given out stay valid until requests_reset. Lookups by URL and
// by cell go through indexes beside the tables, so every operation stays
// fast with a hundred thousand requests.
//
// Loop thread only. Rewriting a formula re-enters worksheet functions
// (which may add requests); the walks go by index and re-read the bounds,
// and the `refreshing` flag is set by a scoped guard.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/application.h"
#include "host/range.h"
#include "parse/datarequest.h"

namespace quillo {

// The texts cells show, by index.
extern const std::array<std::string_view, 17> status_messages;

// "Bad request." for 400, ..., "General error." for any other code.
std::string_view http_errortext(std::int32_t code);

// Workbook name, sheet name, row and column joined by "_"; empty when the
// range is gone.
std::string cellkey(const host::Range& cell);

class RequestRegistry {
 public:
  explicit RequestRegistry(host::Application& app) : m_app(app) {}

  RequestTable& requests() { return m_requests; }
  const RequestTable& requests() const { return m_requests; }

  // The number of the request with exactly this URL, or 0.
  std::int32_t find(std::string_view url) const;
  // Appends a record (with an empty cell list) and indexes its URL.
  std::int32_t append(datarequest request);

  // Registers the calling cell with the request, once per cell. False when
  // there is no calling cell (the worksheet function then fails).
  bool request_register_cell(std::int32_t reqno, const Value& fcaller);
  std::size_t cell_count(std::int32_t reqno) const;
  // Every registered cell's key with the number of the request it waits
  // on (the latest one when it waits on several).
  std::unordered_map<std::string, std::int32_t> cell_requests() const;

  // The text a waiting cell shows for the request's status.
  std::string request_statustext(std::int32_t reqno) const;

  // A front end that keeps the values cells held where no new one arrived
  // (the command line keeps a workbook file's values) answers the value a
  // waiting cell shows in place of its request's status text; nullopt shows
  // the text. Unset: every cell shows the text.
  using KeptFigure =
      std::function<std::optional<Value>(const host::Range& cell, const datarequest& request)>;
  void set_kept_figure(KeptFigure hook) { m_kept_figure = std::move(hook); }
  std::optional<Value> kept_figure(const Value& fcaller, std::int32_t reqno) const;

  // Re-evaluates the waiting cells of one request, or of all when reqno is
  // 0. Cells whose range no longer exists are dropped.
  void request_refresh_cells(std::int32_t reqno);
  // Recalculates every worksheet of the active workbook (or its active
  // sheet only); with keep_registration the formulas register their cells
  // again, without they do not.
  void sheets_recalc(bool active_sheet_only, bool keep_registration);
  // Forgets every request (and, through the hook, the history areas), then
  // recalculates so every formula runs and registers afresh.
  void requests_reset();
  void set_on_reset(std::function<void()> hook) { m_on_reset = std::move(hook); }

  void calc_begin() { m_calculating = true; }
  void calc_end() { m_calculating = false; }

  // Counts the times cells were made to show new answers (or asked again),
  // so an observer can tell that something changed since it last looked.
  std::uint64_t updates() const { return m_updates; }

  bool refreshing() const { return m_refreshing; }
  bool calculating() const { return m_calculating; }
  std::int32_t inflight_count = 0;

 private:
  struct Waiting {
    std::vector<std::pair<std::string, host::RangePtr>> cells;  // in registration order
    std::unordered_set<std::string> keys;
  };
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

  host::Application& m_app;
  RequestTable m_requests;
  std::vector<Waiting> m_waiting;  // parallel to the table: [n - 1] for request n
  std::unordered_map<std::string, std::int32_t> m_by_url;
  std::function<void()> m_on_reset;
  KeptFigure m_kept_figure;
  bool m_refreshing = false;
  bool m_calculating = false;
  std::uint64_t m_updates = 0;
};

}  // namespace quillo
