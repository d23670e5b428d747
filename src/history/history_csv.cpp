#include "history/history_csv.h"

#include <algorithm>
#include <array>

#include "common/text.h"

namespace quillo::history {

namespace {

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// Fields 1 to 7 of a line; missing ones are empty, further ones dropped.
std::array<std::string_view, kColumns> fields_of(std::string_view line) {
  std::array<std::string_view, kColumns> out{};
  std::size_t start = 0;
  for (int k = 0; k < kColumns; ++k) {
    const std::size_t comma = line.find(',', start);
    out[static_cast<std::size_t>(k)] = line.substr(start, comma - start);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return out;
}

}  // namespace

std::string table_problem(std::string_view csv) {
  const std::string_view body = text::trim(csv);
  if (body.empty()) return "Not a price table: the history service's answer is empty";
  if (body.front() == '<') return "Not a price table: the history service answered with a web page";
  const std::size_t lf = csv.find('\n');
  std::string_view header = csv.substr(0, lf);
  if (!header.empty() && header.back() == '\r') header.remove_suffix(1);
  // DATE, OPEN, HIGH, LOW and CLOSE at least, in this order.
  int matched = 0;
  for (std::size_t start = 0;
       lf != std::string_view::npos && matched < kColumns && start <= header.size();) {
    const std::size_t comma = std::min(header.find(',', start), header.size());
    if (!text::iequals(text::trim(header.substr(start, comma - start)), kColumnNames[matched]))
      break;
    ++matched;
    start = comma + 1;
  }
  if (matched < 5) {
    return "Not a price table: the history service's answer has no Date,Open,High,Low,Close "
           "header";
  }
  return {};
}

std::vector<int> select_columns(std::string_view fields) {
  std::vector<int> out;
  const std::string all = upper(fields);
  if (all == "ALL") {
    for (int k = 1; k <= kColumns; ++k) out.push_back(k);
    return out;
  }
  std::size_t start = 0;
  while (start <= all.size()) {
    const std::size_t comma = std::min(all.find(',', start), all.size());
    const std::string_view piece = std::string_view(all).substr(start, comma - start);
    for (int k = 0; k < kColumns; ++k) {
      if (piece == kColumnNames[k]) out.push_back(k + 1);
    }
    start = comma + 1;
  }
  return out;
}

Block history_block(std::string_view csv, const std::vector<int>& columns,
                    const LayoutOptions& options) {
  std::vector<std::string_view> lines;
  for (std::size_t start = 0;;) {
    const std::size_t lf = csv.find('\n', start);
    if (lf == std::string_view::npos) break;
    std::string_view line = csv.substr(start, lf - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = lf + 1;
  }
  // The order of writing: the header first, then the periods as chosen.
  std::vector<std::string_view> order;
  order.reserve(lines.size());
  if (!lines.empty() && options.header) order.push_back(lines.front());
  if (options.ascending) {
    for (std::size_t j = lines.size(); j > 1; --j) order.push_back(lines[j - 1]);
  } else {
    for (std::size_t j = 1; j < lines.size(); ++j) order.push_back(lines[j]);
  }

  Block b;
  const auto written = static_cast<std::int32_t>(order.size());
  const auto selections = static_cast<std::int32_t>(columns.size());
  const std::int32_t laid = std::min(selections, kColumns);
  b.rows = options.transpose ? laid : written;
  b.cols = options.transpose ? written : laid;
  b.out_rows = options.transpose ? selections : written;
  b.out_cols = options.transpose ? written : selections;
  b.cells.resize(static_cast<std::size_t>(b.rows) * static_cast<std::size_t>(b.cols));
  for (std::int32_t l = 0; l < written; ++l) {
    const auto fields = fields_of(order[static_cast<std::size_t>(l)]);
    for (std::int32_t s = 0; s < laid; ++s) {
      const std::string_view f = fields[static_cast<std::size_t>(columns[s] - 1)];
      const std::int32_t r = options.transpose ? s : l;
      const std::int32_t c = options.transpose ? l : s;
      b.cells[static_cast<std::size_t>(r) * static_cast<std::size_t>(b.cols) +
              static_cast<std::size_t>(c)] = f;
    }
  }
  return b;
}

}  // namespace quillo::history
