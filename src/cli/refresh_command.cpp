#include "cli/refresh_command.h"

#include <ostream>
#include <vector>

#include "addin/dataload.h"
#include "cli/explain_command.h"
#include "cli/session.h"
#include "host/output_blocks.h"
#include "spreadsheet/address.h"

namespace quillo::cli {

namespace {

constexpr const char* kRefreshCommand = "quillo refresh";

void warn_circular(spreadsheet::Application& app, std::ostream& err) {
  spreadsheet::Model& model = app.model();
  for (const spreadsheet::CellAddr& a : model.circular_references()) {
    err << kRefreshCommand
        << ": warning: " << spreadsheet::quote_sheet_name(model.sheet_name(a.sheet)) << "!"
        << spreadsheet::cell_a1(a.row, a.col)
        << ": circular reference; the cell keeps its value (#REF! when it has none)\n";
  }
}

// Names the first few formulas left with the file's value that may be out
// of date; the summary line counts them all.
void warn_stale(const std::vector<StaleFormula>& stale, std::ostream& err) {
  constexpr std::size_t kNamed = 5;
  for (std::size_t i = 0; i < stale.size() && i < kNamed; ++i) {
    err << kRefreshCommand << ": warning: " << stale[i].cell
        << ": kept the file's value though cells it "
        << "reads changed (" << stale[i].why << ")\n";
  }
  if (stale.size() > kNamed) {
    err << kRefreshCommand << ": ... and " << stale.size() - kNamed
        << " more formulas like these\n";
  }
}

}  // namespace

int run_refresh(const RefreshOptions& options, std::ostream& out, std::ostream& err) {
  SessionOptions so;
  so.command = kRefreshCommand;
  Session session(so, err);
  const host::WorkbookPtr book = session.open_ready(options.book);
  if (!book) return 2;
  session.calculate_full();
  warn_circular(session.app(), err);
  const bool library = session.library_installed();
  if (!library) {
    err << kRefreshCommand << ": the function library " << addin::kLibraryName
        << " is not installed: no quillo formula can be filled\n";
  }

  bool shown = false;
  auto show_progress = [&] {
    if (!options.progress) return;
    const Progress p = session.progress();
    err << "\r" << kRefreshCommand << ": " << p.answered << " of " << p.total
        << " requests answered, " << p.errors << " errors" << std::flush;
    shown = true;
  };
  const bool answered = session.wait_answered(
      static_cast<std::int64_t>(options.timeout_seconds * 1000), show_progress);
  if (shown) err << "\n";
  if (!answered) {
    err << kRefreshCommand << ": not every request was answered within " << options.timeout_seconds
        << " s; saving what arrived\n";
    // Series computed since the timer's last pass are written, not saved
    // as "Calculating...".
    session.write_computed_series();
  }

  // Summarised before a save under another name renames the workbook (the
  // cells are registered under its name).
  Summary summary = session.summarize(*book);
  const std::vector<StaleFormula> stale = session.stale_formulas(*book);
  summary.stale = static_cast<std::int32_t>(stale.size());
  warn_stale(stale, err);
  if (host::foreign_record_sheet(*book)) {
    err << kRefreshCommand << ": warning: the sheet " << host::kBlockStoreSheet
        << " is not quillo's; where tables and series lie is not kept with the workbook\n";
  }
  // Values older than asked for: named (the first few), and failing --strict.
  std::vector<ProvenanceRecord> old;
  if (options.max_age_minutes) {
    old = older_than(session.provenance(*book), *options.max_age_minutes, wall_clock_ms());
    constexpr std::size_t kNamed = 5;
    for (std::size_t i = 0; i < old.size() && i < kNamed; ++i) {
      const std::int64_t t = old[i].as_of_ms();
      err << kRefreshCommand << ": warning: " << record_place(old[i]) << ": "
          << (t ? "value from " + iso_utc(t) : std::string("never answered")) << ", older than "
          << *options.max_age_minutes << " minutes\n";
    }
    if (old.size() > kNamed) {
      err << kRefreshCommand << ": ... and " << old.size() - kNamed
          << " more values older than that\n";
    }
  }
  // Blocks of formulas the user has since removed are the user's cells now.
  (void)host::drop_stale_records(*book);
  if (!session.write_provenance(*book)) {
    err << kRefreshCommand << ": warning: the sheet " << kProvenanceSheet
        << " is not quillo's; where values came from is not kept with the workbook\n";
  }
  const Status saved = options.output.empty() ? book->save() : book->save_as(options.output);
  if (!saved.ok()) {
    err << kRefreshCommand << ": " << saved.message() << "\n";
    return 1;
  }
  out << "saved " << book->full_name().value_or(options.book) << "\n"
      << summary_line(summary) << "\n";
  if (options.strict && (!library || !summary.failures.empty() || !stale.empty() || !old.empty()))
    return 1;
  return 0;
}

}  // namespace quillo::cli
