#include "cli/show_command.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>

#include "cli/explain_command.h"
#include "cli/session.h"
#include "common/text.h"
#include "spreadsheet/address.h"
#include "spreadsheet/date_serials.h"
#include "spreadsheet/number_format.h"
#include "xlsx/workbook_files.h"
#include "xlsx/xlsx.h"

namespace quillo::cli {

namespace {

using spreadsheet::Box;

std::string raw_text(const Value& v) {
  if (v.type() != ValueType::Date) return one_line(v.to_text());
  const double serial = v.number();
  const CivilDate d = spreadsheet::day_of_serial(std::max(serial, 0.0));
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", d.year, d.month, d.day);
  std::string out = serial >= 1 ? buf : "";
  const long seconds = std::lround((serial - std::floor(serial)) * 86400.0);
  if (seconds > 0 && seconds < 86400) {
    std::snprintf(buf, sizeof buf, "%s%02ld:%02ld:%02ld", out.empty() ? "" : " ", seconds / 3600,
                  seconds / 60 % 60, seconds % 60);
    out += buf;
  }
  return out.empty() ? "1899-12-30" : out;
}

}  // namespace

std::string shown_text(const Value& v, const std::string& format) {
  if (v.type() == ValueType::Date && (format.empty() || format == "General")) return raw_text(v);
  if (auto text = spreadsheet::format_value(v, format)) return one_line(*text);
  return raw_text(v);
}

std::string one_line(std::string_view s) {
  std::string out;
  for (const char c : s) {
    switch (c) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        out += c;
    }
  }
  return out;
}

int run_show(const ShowOptions& options, std::ostream& out, std::ostream& err) {
  Box box{1, 1, spreadsheet::kMaxRows, spreadsheet::kMaxCols};
  std::string only_sheet;
  if (!options.range.empty()) {
    const auto parsed = spreadsheet::parse_sheet_box(options.range);
    if (!parsed) {
      err << "quillo show: \"" << options.range << "\" is not a range such as 'Sheet 2'!A1:C10\n";
      return 2;
    }
    box = parsed->box;
    only_sheet = parsed->sheet;
  }
  if (options.stale_minutes) {
    spreadsheet::Application app;
    spreadsheet::use_xlsx_files(app);
    const auto book = app.workbooks().open(options.book);
    if (!book.ok()) {
      err << "quillo show: " << book.status().message() << "\n";
      return 2;
    }
    const std::int64_t now = wall_clock_ms();
    std::vector<ProvenanceRecord> stale;
    for (ProvenanceRecord& r : older_than(read_provenance(**book), *options.stale_minutes, now)) {
      if (!only_sheet.empty() && !text::iequals(r.sheet, only_sheet)) continue;
      if (!still_filled(**book, r)) continue;  // edited elsewhere since
      if (!box.contains(static_cast<std::int32_t>(r.row), static_cast<std::int32_t>(r.col))) {
        continue;
      }
      stale.push_back(std::move(r));
    }
    print_stale(stale, now, out);
    return 0;
  }
  auto owner = std::make_shared<spreadsheet::Model>();
  keep_until_exit(owner);
  spreadsheet::Model& model = *owner;
  auto loaded = spreadsheet::load_xlsx(model, options.book);
  if (!loaded.ok()) {
    err << "quillo show: " << loaded.status().message() << "\n";
    return 2;
  }
  std::vector<spreadsheet::SheetId> sheets = model.book(loaded->book)->sheets;
  if (!only_sheet.empty()) {
    const spreadsheet::SheetId id = model.find_sheet(loaded->book, only_sheet);
    if (id == 0) {
      err << "quillo show: the workbook has no sheet \"" << only_sheet << "\"\n";
      return 2;
    }
    sheets = {id};
  } else {
    // Very hidden sheets are the records quillo and other add-ins keep in the
    // file, which no spreadsheet lists; they are shown when named.
    std::erase_if(sheets, [&](spreadsheet::SheetId id) {
      const spreadsheet::Sheet* sheet = model.sheet(id);
      return sheet != nullptr && sheet->visibility == host::Visibility::VeryHidden;
    });
  }
  for (const spreadsheet::SheetId id : sheets) {
    // The model keeps cells column by column; people read row by row.
    std::vector<std::pair<std::int32_t, std::int32_t>> cells;
    model.for_each_cell(id, box, [&](std::int32_t r, std::int32_t c, const spreadsheet::Cell&) {
      cells.emplace_back(r, c);
    });
    // A formula kept as the file wrote it may have no value to hold a cell.
    for (const auto& [r, c] : spreadsheet::xlsx_kept_formula_cells(*loaded->file, id)) {
      if (box.contains(r, c)) cells.emplace_back(r, c);
    }
    std::sort(cells.begin(), cells.end());
    cells.erase(std::unique(cells.begin(), cells.end()), cells.end());
    const std::string prefix = spreadsheet::quote_sheet_name(model.sheet_name(id)) + "!";
    for (const auto& [r, c] : cells) {
      const Value v = model.value(id, r, c);
      std::string formula = model.has_formula(id, r, c)
                                ? model.formula_text(id, r, c, spreadsheet::Notation::A1)
                                : spreadsheet::xlsx_kept_formula(*loaded->file, id, r, c);
      if (formula.empty() && v.is_empty()) continue;  // formatted but empty
      const std::string value =
          options.raw ? raw_text(v) : shown_text(v, model.number_format(id, r, c));
      out << prefix << spreadsheet::cell_a1(r, c) << '\t' << one_line(formula) << '\t' << value
          << '\n';
    }
  }
  return 0;
}

}  // namespace quillo::cli
