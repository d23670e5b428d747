#include "host/libreoffice/shared_outcome.h"

#include <cctype>

#include "host/output_blocks.h"

namespace quillo::host::lo {

std::string shared_outcome_text(const std::vector<CellOutcome>& outcomes) {
  if (outcomes.size() == 1) return outcomes.front().text;
  const CellOutcome* first = nullptr;
  std::size_t written = 0;
  for (const CellOutcome& o : outcomes) {
    if (o.text.empty()) {
      ++written;
    } else if (!first) {
      first = &o;
    }
  }
  if (!first) return {};
  // "Blocked: why" -> "Blocked at Sheet1.B5: why".
  const std::string& text = first->text;
  const auto colon = text.find(": ");
  std::string out = colon == std::string::npos
                        ? first->where + ": " + text
                        : text.substr(0, colon) + " at " + first->where + text.substr(colon);
  return out + "; written for " + std::to_string(written) + " of " +
         std::to_string(outcomes.size()) + " cells";
}

std::string calc_cell_name(const std::string& sheet, std::int64_t row, std::int64_t col) {
  bool plain = !sheet.empty();
  for (const char c : sheet) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') plain = false;
  }
  std::string name;
  if (plain) {
    name = sheet;
  } else {
    name = "'";
    for (const char c : sheet) {
      if (c == '\'') name += '\'';
      name += c;
    }
    name += "'";
  }
  return name + "." + a1_address(row, col);
}

}  // namespace quillo::host::lo
