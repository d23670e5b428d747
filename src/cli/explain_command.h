// `quillo explain BOOK CELL`: where the values of quillo's cells came from,
// as the workbook's provenance record keeps them (requests/provenance.h):
// for each filled cell, table or series in CELL (a cell or range, with or
// without its sheet), what was asked, the source, category and address
// fetched, the time of the last good answer (ISO 8601, UTC), the HTTP
// status and attempts, the last failure; for an indicator series the
// ranges it read and its formula, and what those came from.
//
// The stale listing of `quillo show --stale` and the age check of `quillo
// refresh --max-age` read the same record.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "requests/engine_facade.h"

namespace quillo::cli {

struct ExplainOptions {
  std::string book;
  std::string cells;  // "Sheet1!B2", "'My Sheet'!B2:C9", "B2" (every sheet)
};

// Exit codes: 0 printed, 1 no cell in CELL was filled by quillo (it says
// so), 2 the workbook could not be read or CELL is no cell or range.
int run_explain(const ExplainOptions& options, std::ostream& out, std::ostream& err);

// The records whose values are older than max_age_minutes at now_ms (or
// were never answered), in the records' order.
std::vector<ProvenanceRecord> older_than(const std::vector<ProvenanceRecord>& records,
                                         double max_age_minutes, std::int64_t now_ms);
// "'My Sheet'!B2" and, for a table or series, " (B3:G250)".
std::string record_place(const ProvenanceRecord& r);
// The system's calendar clock, ms since 1970 UTC.
std::int64_t wall_clock_ms();

// The lines `quillo show --stale` prints for the stale records: the cell,
// the time of its value (or "never"), its age in minutes and its kind,
// tab-separated.
void print_stale(const std::vector<ProvenanceRecord>& stale, std::int64_t now_ms,
                 std::ostream& out);

}  // namespace quillo::cli
