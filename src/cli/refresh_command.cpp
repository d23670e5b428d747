#include "cli/refresh_command.h"

#include <ostream>

#include "spreadsheet/address.h"
#include "spreadsheet/xlsx.h"

namespace quillo::cli {

int run_refresh(const RefreshOptions& options, std::ostream& out, std::ostream& err) {
  auto model = std::make_shared<spreadsheet::Model>();
  auto loaded = spreadsheet::load_xlsx(*model, options.book);
  if (!loaded.ok()) {
    err << "quillo refresh: " << loaded.status().message() << "\n";
    return 2;
  }
  for (const std::string& w : loaded->warnings) err << "quillo refresh: warning: " << w << "\n";
  model->calculate_all();
  for (const spreadsheet::CellAddr& a : model->circular_references()) {
    err << "quillo refresh: warning: " << spreadsheet::quote_sheet_name(model->sheet_name(a.sheet))
        << "!" << spreadsheet::cell_a1(a.row, a.col)
        << ": circular reference; the cell keeps its value\n";
  }
  const std::string& target = options.output.empty() ? options.book : options.output;
  std::vector<std::string> warnings;
  const host::Status st =
      spreadsheet::save_xlsx(*model, loaded->book, loaded->file.get(), target, &warnings);
  for (const std::string& w : warnings) err << "quillo refresh: warning: " << w << "\n";
  if (!st.ok()) {
    err << "quillo refresh: " << st.message() << "\n";
    return 1;
  }
  out << "refreshed " << target << "\n";
  return 0;
}

}  // namespace quillo::cli
