// LiveBook: the host the engine sees inside LibreOffice Calc. Calc calls an
// add-in function once per distinct argument list and keeps the answer as a
// live result; it never says which cell asked. So the engine works on a
// book of its own, in memory: every live call (a function with its
// argument list) is a sheet of that book with the call's formula in A1.
// The engine registers that cell as waiting, rewrites its formula when the
// data arrives (which evaluates the call again) and writes a price-history
// table or an indicator series below or beside it, as on any sheet. What
// changed - the value in A1, the cells around it - is collected here and
// handed out by take_changes, for the front end to show in Calc's cells.
//
// A table argument (a range in Calc) arrives as its values; the call sees
// it as a range of a read-only sheet holding them, as the indicators read
// their history tables through a range.
//
// Event-loop thread only (the engine's thread); nothing here knows UNO.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/application.h"

namespace quillo::host::lo {

class LiveSheet;

// A function of the library with the engine method behind it and its
// arguments in the method's order; the calling cell is not among them.
struct LiveCall {
  std::string function;     // "fsingle"
  std::string method;       // "i_fsingle"
  std::vector<Value> args;  // Missing for an argument left out
  bool takes_caller = true;
  // The calling document's web-link store (its "weblinks_data" sheet as an
  // array; Empty when it has none), for WLINK, which looks its link up
  // there: the book shows it as its own read-only sheet of that name.
  Value link_store;
};

// What changed for one call since the last take_changes.
struct LiveChange {
  std::int64_t call = 0;
  bool value_changed = false;
  Value value;  // what the call's cell shows
  // The cells around the call's cell, offsets from it (row, col >= 0, not
  // both 0), when any of them changed: the whole area written so far, an
  // empty cell where a value was removed.
  bool block_changed = false;
  std::int32_t block_rows = 0;
  std::int32_t block_cols = 0;
  std::vector<Value> block;  // row-major, block_rows x block_cols, (0,0) unused
};

// The text that identifies a call: the function (any letter case) and
// every argument with its type, so equal argument lists - and only those -
// share one live result (with the link store, when there is one: WLINK of
// the same name in documents with different links are different calls).
std::string live_call_key(const LiveCall& call);

// Whether a formula cell makes the call, from the values of its arguments
// as far as they can be known (nullopt: an argument whose value cannot be
// told; arguments left out of the formula are Missing). Unknown when every
// known argument agrees but some cannot be told: the cell may or may not
// make the call.
enum class CallMatch { Makes, Not, Unknown };
CallMatch match_call(const std::vector<std::optional<Value>>& cell_args, const LiveCall& wanted);

class LiveApplication final : public Application {
 public:
  LiveApplication();
  ~LiveApplication() override;
  LiveApplication(const LiveApplication&) = delete;
  LiveApplication& operator=(const LiveApplication&) = delete;

  // Adds a call under an id of the caller's choosing (unique) and
  // evaluates it; a call with an id already used is ignored.
  void add_call(std::int64_t id, LiveCall call);
  // Evaluates the call again (its arguments may have changed meaning: a
  // full refresh does this for every call).
  void evaluate(std::int64_t call);
  // Forgets the call: the engine's later writes to its cell fail as to a
  // deleted cell, so its tables drop it.
  void remove_call(std::int64_t call);
  // True once after calls were removed: the engine's requests that only
  // they made are to be forgotten (a document was closed).
  bool take_removed() { return std::exchange(m_removed, false); }
  std::size_t call_count() const { return m_calls.size(); }
  // The value the call's cell shows now (Empty for an unknown call).
  Value value_of(std::int64_t call) const;
  // The changes since the last take, one entry per call that changed.
  std::vector<LiveChange> take_changes();

  // host::Application
  Workbooks& workbooks() override;
  Result<WorkbookPtr> active_workbook() const override;
  Result<WorksheetPtr> active_sheet() const override;
  AddIns& add_ins() override;
  AddInMethods& add_in_methods() override { return m_methods; }
  CommandBars& command_bars() override { return m_bars; }
  WorksheetFunctions& worksheet_functions() override;
  Calculation calculation() const override { return m_calculation; }
  Status set_calculation(Calculation mode) override;
  Status calculate() override;
  bool screen_updating() const override { return m_screen_updating; }
  void set_screen_updating(bool on) override { m_screen_updating = on; }
  bool display_alerts() const override { return m_display_alerts; }
  void set_display_alerts(bool on) override { m_display_alerts = on; }
  bool ask_to_update_links() const override { return m_ask_links; }
  void set_ask_to_update_links(bool on) override { m_ask_links = on; }
  HandlerId on_workbook_open(WorkbookOpenHandler handler) override;
  void remove_handler(HandlerId id) override;

  // The sheets' side (used by the book's objects).
  struct Impl;
  Impl& impl() { return *m_impl; }

 private:
  void show_link_store(const Array& rows);

  std::unique_ptr<Impl> m_impl;
  AddInMethods m_methods;
  CommandBars m_bars;
  Calculation m_calculation = Calculation::Automatic;
  bool m_screen_updating = true;
  bool m_display_alerts = true;
  bool m_ask_links = true;
  std::map<HandlerId, WorkbookOpenHandler> m_open_handlers;
  HandlerId m_next_handler = 1;
  std::map<std::int64_t, std::shared_ptr<LiveSheet>> m_calls;
  bool m_removed = false;
};

// "$A$1" style address of a 1-based cell; parses "A1", "$B$2", "A1:C3".
std::string live_a1(std::int32_t row, std::int32_t col);
struct LiveArea {
  std::int32_t row = 0;
  std::int32_t col = 0;
  std::int32_t rows = 0;
  std::int32_t cols = 0;
};
Result<LiveArea> parse_live_address(std::string_view address);

}  // namespace quillo::host::lo
