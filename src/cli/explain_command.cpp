#include "cli/explain_command.h"

#include <chrono>
#include <cmath>
#include <ostream>

#include "cli/session.h"
#include "common/text.h"
#include "spreadsheet/address.h"
#include "xlsx/workbook_files.h"

namespace quillo::cli {

namespace {

constexpr const char* kExplainCommand = "quillo explain";

std::string age_text(std::int64_t then_ms, std::int64_t now_ms) {
  const double minutes = static_cast<double>(now_ms - then_ms) / 60000.0;
  if (minutes < 0) return "in the future";
  if (minutes < 1) return "less than a minute ago";
  if (minutes < 2) return "1 minute ago";
  if (minutes < 120) return std::to_string(static_cast<long long>(minutes)) + " minutes ago";
  if (minutes < 48 * 60) return std::to_string(static_cast<long long>(minutes / 60)) + " hours ago";
  return std::to_string(static_cast<long long>(minutes / 1440)) + " days ago";
}

std::string when(std::int64_t ms, std::int64_t now_ms) {
  return ms == 0 ? std::string("never") : iso_utc(ms) + " (" + age_text(ms, now_ms) + ")";
}

void print_fetch(const FetchInfo& f, std::int64_t now_ms, std::ostream& out) {
  out << "  source: " << f.source;
  if (!f.category.empty()) out << ", category " << f.category;
  out << "\n  address: " << f.address << "\n  answered: " << when(f.answered_ms, now_ms) << "\n";
  out << "  HTTP status: " << (f.http_status ? std::to_string(f.http_status) : "none") << ", "
      << f.attempts << (f.attempts == 1 ? " attempt" : " attempts") << "\n";
  out << "  last failure: "
      << (f.failure.empty() ? std::string("none") : f.failure + " at " + iso_utc(f.failed_ms))
      << "\n";
}

// The record that filled the cell an input range starts at, if any.
const ProvenanceRecord* input_source(const std::vector<ProvenanceRecord>& all,
                                     const std::string& input) {
  const auto parsed = spreadsheet::parse_sheet_box(input.substr(0, input.find(',')));
  if (!parsed) return nullptr;
  for (const ProvenanceRecord& r : all) {
    if (r.sheet == parsed->sheet && r.covers(parsed->box.r1, parsed->box.c1)) return &r;
  }
  return nullptr;
}

void print_record(const ProvenanceRecord& r, const std::vector<ProvenanceRecord>& all,
                  std::int64_t now_ms, std::ostream& out) {
  out << record_place(r) << ": " << kind_name(r.kind) << "\n";
  if (r.kind == FilledKind::Link) {
    out << "  asked: web link " << r.instrument << "\n";
  } else if (r.kind != FilledKind::Series) {
    out << "  asked: instrument " << r.instrument << ", field " << r.field << "\n";
  }
  if (r.fetch) {
    print_fetch(*r.fetch, now_ms, out);
  } else if (r.kind != FilledKind::Series) {
    out << "  answered: never (nothing was fetched for it)\n";
  }
  if (r.kind == FilledKind::Series) {
    out << "  computed: " << when(r.computed_ms, now_ms) << "\n";
    out << "  from: " << r.inputs << "\n  formula: " << r.formula << "\n";
    if (const ProvenanceRecord* in = input_source(all, r.inputs)) {
      out << "  input filled by: " << record_place(*in) << ", " << kind_name(in->kind);
      if (in->fetch) {
        out << " of " << in->instrument << ", answered " << when(in->fetch->answered_ms, now_ms);
      }
      out << "\n";
    }
  }
}

}  // namespace

std::int64_t wall_clock_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string record_place(const ProvenanceRecord& r) {
  std::string s = spreadsheet::quote_sheet_name(r.sheet) + "!" + host::a1_address(r.row, r.col);
  if (!r.block.empty()) {
    s += " (" + host::a1_address(r.block.top, r.block.left) + ":" +
         host::a1_address(r.block.bottom(), r.block.right()) + ")";
  }
  return s;
}

std::vector<ProvenanceRecord> older_than(const std::vector<ProvenanceRecord>& records,
                                         double max_age_minutes, std::int64_t now_ms) {
  const auto limit = static_cast<std::int64_t>(std::llround(max_age_minutes * 60000.0));
  std::vector<ProvenanceRecord> out;
  for (const ProvenanceRecord& r : records) {
    const std::int64_t t = r.as_of_ms();
    if (t == 0 || now_ms - t > limit) out.push_back(r);
  }
  return out;
}

void print_stale(const std::vector<ProvenanceRecord>& stale, std::int64_t now_ms,
                 std::ostream& out) {
  for (const ProvenanceRecord& r : stale) {
    const std::int64_t t = r.as_of_ms();
    out << record_place(r) << '\t' << (t ? iso_utc(t) : "never") << '\t'
        << (t ? std::to_string((now_ms - t) / 60000) : "") << '\t' << kind_name(r.kind) << '\n';
  }
}

int run_explain(const ExplainOptions& options, std::ostream& out, std::ostream& err) {
  const auto parsed = spreadsheet::parse_sheet_box(options.cells);
  if (!parsed) {
    err << kExplainCommand << ": \"" << options.cells
        << "\" is not a cell or range such as Sheet1!B2 or 'My Sheet'!B2:C9\n";
    return 2;
  }
  spreadsheet::Application app;
  spreadsheet::use_xlsx_files(app);
  const auto book = app.workbooks().open(options.book);
  if (!book.ok()) {
    err << kExplainCommand << ": " << book.status().message() << "\n";
    return 2;
  }
  if (!parsed->sheet.empty() && !(*book)->worksheet(parsed->sheet).ok()) {
    err << kExplainCommand << ": the workbook has no sheet \"" << parsed->sheet << "\"\n";
    return 2;
  }
  // Records of cells edited elsewhere since (a value or another formula
  // there now) describe nothing the workbook shows.
  std::vector<ProvenanceRecord> records = read_provenance(**book);
  std::erase_if(records, [&](const ProvenanceRecord& r) { return !still_filled(**book, r); });
  const spreadsheet::Box& box = parsed->box;
  const std::int64_t now = wall_clock_ms();
  bool any = false;
  for (const ProvenanceRecord& r : records) {
    if (!parsed->sheet.empty() && !text::iequals(r.sheet, parsed->sheet)) continue;
    // The record's cells and the range asked for meet.
    const host::Block own = r.block.empty() ? host::Block{r.row, r.col, 1, 1} : r.block;
    const bool anchor_in =
        box.contains(static_cast<std::int32_t>(r.row), static_cast<std::int32_t>(r.col));
    const bool block_meets =
        own.top <= box.r2 && box.r1 <= own.bottom() && own.left <= box.c2 && box.c1 <= own.right();
    if (!anchor_in && !block_meets) continue;
    print_record(r, records, now, out);
    any = true;
  }
  if (!any) {
    out << options.cells << ": not filled by quillo (the workbook keeps no record of it)\n";
    return 1;
  }
  return 0;
}

}  // namespace quillo::cli
