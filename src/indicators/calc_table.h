// CalcTable: the calc records of the indicator functions, one per formula
// cell, and the timer pass that writes their computed series into the sheet.
//
// An indicator works in two phases because a worksheet function cannot
// write outside its own cell: evaluating the formula computes the series
// into the cell's record (state kComputed) and answers "Calculating...";
// calc_pass, run by the one-second timer, writes each computed series below
// (and for two-line indicators beside) the formula cell, then sets the
// formula again so the cell answers its caption. Before writing, the pass
// clears the block the cell wrote last (recorded with the workbook) and
// nothing beyond it; a series with a formula in its way is not written and
// the cell answers which cell blocks it.
//
// Indexes given out stay valid while the table lives (records are never
// removed). Loop thread only: writing re-enters worksheet functions, so the
// pass walks by index and re-reads each record after a write.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/application.h"
#include "host/output_blocks.h"
#include "host/range.h"

namespace quillo::indicators {

enum class CalcState : std::int16_t {
  Idle = 1001,       // the next evaluation computes
  Computed = 1002,   // series waiting for the timer pass
  Written = 1003,    // series written; the formula was entered again
  Abandoned = 1010,  // the cell's formula changed before the write
};

struct CalcRecord {
  std::string key;
  std::string workbook;
  std::string sheet;
  std::int32_t row = 0;
  std::int32_t col = 0;
  CalcState state = CalcState::Idle;
  host::RangePtr cell;
  std::string formula;
  // One element per row of the table range; none() (ta.h) shows as the
  // empty text, an infinity or another NaN as #NUM!.
  // Only the first `filled` elements (the data rows) are written; the
  // rows after the last data row are left alone.
  std::vector<double> values;
  std::vector<double> values2;
  std::size_t filled = 0;
  std::string caption;
  std::string caption2;
  // Evaluated while the pass wrote another series: its table may be that
  // series, so it computes again once that write is done.
  bool deferred = false;
  // The block written last (the workbook records it too, so a later
  // session clears it as well).
  host::Block out;
  // The table ranges the formula reads that lie on its own sheet: a series
  // written over one would change its own input.
  std::vector<host::Block> inputs;
  // The series could not be computed: the pass clears the one written
  // before, so nothing reads stale values.
  bool clear_pending = false;
};

// How the frame reaches the add-in's `calculating` flag (set while the
// add-in itself writes cells, so formulas evaluated then do not compute).
struct CalcFlag {
  std::function<bool()> calculating;
  // Runs the function given with the flag set, and restores it afterwards.
  std::function<void(const std::function<void()>&)> while_calculating;
};

class CalcTable {
 public:
  CalcTable(host::Application& app, CalcFlag flag) : m_app(app), m_flag(std::move(flag)) {}

  std::size_t size() const { return m_calcs.size(); }
  // Record index (1-based); valid until the table is destroyed.
  CalcRecord& at(std::size_t index) { return m_calcs[index - 1]; }

  std::size_t calc_find_or_add(const std::string& key);
  // Finds or adds the calling cell's record and stores where it is and its
  // formula. A record computed or abandoned for another formula starts
  // again idle: what it holds belongs to a formula the cell no longer has.
  // nullopt when the cell is gone.
  std::optional<std::size_t> calc_register(const host::Range& fcaller);
  // Writes every computed record (the one-second timer). An indicator
  // whose table is a series written in the pass (an average of an average)
  // computes from it and is written in the same pass, after it.
  void calc_pass();
  void calc_write(std::size_t index);
  // Records waiting to be written.
  std::size_t computed_count() const;
  // Counts the series written into the sheet, and the ones cleared there:
  // cells changed that a front end saving the workbook has to save.
  std::uint64_t writes() const { return m_writes; }
  // Called by the frame for a record it evaluated without computing while
  // `calculating` was set: when another record's write in the pass caused
  // it, the record computes again once that write is done.
  void defer(std::size_t index);

  const CalcFlag& flag() const { return m_flag; }

 private:
  void write_series(CalcRecord& r);
  // Clears the series the record wrote before (as far as it still holds
  // what was written) and records that it has none.
  void clear_series(CalcRecord& r);
  // Enters the record's formula again, outside `calculating`, so the frame
  // computes its series from what the sheet holds now.
  void recompute(std::size_t index);

  host::Application& m_app;
  CalcFlag m_flag;
  std::vector<CalcRecord> m_calcs;
  std::unordered_map<std::string, std::size_t> m_by_key;
  std::size_t m_writing = 0;  // the record the pass writes now, 0 outside
  std::uint64_t m_writes = 0;
};

}  // namespace quillo::indicators
