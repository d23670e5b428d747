#include "cli/ui_edits.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "common/value.h"
#include "spreadsheet/typed_entry.h"
#include "ui/web_server.h"

namespace quillo::cli {

namespace {

BlockEditReply refusal(int status, const std::string& message) {
  return {status, "{\"error\":" + ui::json_string(message) + "}", false};
}

std::string a1(std::int32_t row, std::int32_t col) {
  return spreadsheet::column_letters(col) + std::to_string(row);
}

std::string json_texts(const std::vector<std::string>& texts) {
  std::string out = "[";
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i) out += ',';
    out += ui::json_string(texts[i]);
  }
  return out + "]";
}

Result<std::vector<std::optional<std::string>>> texts_of(const nlohmann::json& doc, const char* key,
                                                         std::int64_t cells, bool required) {
  std::vector<std::optional<std::string>> out;
  const auto it = doc.find(key);
  if (it == doc.end()) {
    if (required) return Status(StatusCode::InvalidArgument, std::string("no \"") + key + "\"");
    return out;
  }
  if (!it->is_array() || static_cast<std::int64_t>(it->size()) != cells) {
    return Status(StatusCode::InvalidArgument, std::string("\"") + key + "\" must hold " +
                                                   std::to_string(cells) +
                                                   " texts, one per cell of the block");
  }
  out.reserve(it->size());
  for (const auto& v : *it) {
    if (v.is_null()) {
      out.emplace_back();
    } else if (v.is_string()) {
      out.emplace_back(v.get<std::string>());
    } else {
      return Status(StatusCode::InvalidArgument,
                    std::string("\"") + key + "\" holds texts or nulls only");
    }
  }
  return out;
}

}  // namespace

Status write_cell_text(const host::Range& cell, const std::string& text) {
  if (text.empty()) return cell.clear_contents();
  // Characters, not bytes: UTF-8 continuation bytes are not counted.
  const auto chars = static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char ch) {
    return (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
  }));
  if (chars > kMaxCellTextChars) {
    return Status(StatusCode::InvalidArgument,
                  "a cell holds at most " + std::to_string(kMaxCellTextChars) +
                      " characters; this text has " + std::to_string(chars));
  }
  if (text[0] == '=' && text.size() > 1) return cell.set_formula(text);
  return cell.set_value(Value(text));
}

Result<std::string> cell_edit_text(const host::Range& cell) {
  auto text = cell.formula();
  if (!text.ok()) return text;
  auto has_formula = cell.has_formula();
  if (!has_formula.ok()) return has_formula.status();
  if (*has_formula) return text;
  auto value = cell.value();
  if (!value.ok()) return value.status();
  if (value->type() != ValueType::Text || value->text().empty()) return text;
  const std::string& s = value->text();
  const bool reads_otherwise =
      s[0] == '=' || s[0] == '\'' || spreadsheet::typed_entry(s).value.type() != ValueType::Text;
  return reads_otherwise ? "'" + s : s;
}

Result<BlockEdit> parse_block_edit(std::string_view body, std::int64_t cells) {
  if (cells > kMaxBlockEditCells) {
    return Status(StatusCode::InvalidArgument,
                  "that changes " + std::to_string(cells) + " cells; at most " +
                      std::to_string(kMaxBlockEditCells) + " can be changed at once");
  }
  const nlohmann::json doc = nlohmann::json::parse(body, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    return Status(StatusCode::InvalidArgument, "the edits must be a JSON object");
  }
  BlockEdit edit;
  auto texts = texts_of(doc, "texts", cells, true);
  if (!texts.ok()) return texts.status();
  auto expect = texts_of(doc, "expect", cells, false);
  if (!expect.ok()) return expect.status();
  edit.texts = std::move(*texts);
  edit.expect = std::move(*expect);
  return edit;
}

BlockEditReply apply_block_edit(const host::Worksheet& sheet, const spreadsheet::Box& box,
                                const BlockEdit& edit,
                                const std::vector<spreadsheet::Box>& merges) {
  const auto n = static_cast<std::size_t>(box.area());
  if (edit.texts.size() != n || (!edit.expect.empty() && edit.expect.size() != n)) {
    return refusal(400, "the edits do not match the block");
  }
  std::vector<host::RangePtr> cells;
  std::vector<std::string> before;
  cells.reserve(n);
  before.reserve(n);
  // Every cell is read, and checked against what was expected, before any
  // is written.
  for (std::int32_t r = box.r1; r <= box.r2; ++r) {
    for (std::int32_t c = box.c1; c <= box.c2; ++c) {
      auto cell = sheet.cell(r, c);
      if (!cell.ok()) return refusal(400, a1(r, c) + ": " + cell.status().message());
      auto text = cell_edit_text(**cell);
      if (!text.ok()) return refusal(400, a1(r, c) + ": " + text.status().message());
      const std::size_t i = cells.size();
      if (!edit.expect.empty() && edit.expect[i] && *edit.expect[i] != *text) {
        return refusal(409, a1(r, c) + " has changed since");
      }
      cells.push_back(std::move(*cell));
      before.push_back(std::move(*text));
    }
  }
  // A cell a merged area covers is not written (only its top-left cell
  // is), as blocks inserted elsewhere are refused over merged cells.
  for (std::size_t i = 0; i < n; ++i) {
    if (!edit.texts[i] || *edit.texts[i] == before[i]) continue;
    const auto r = box.r1 + static_cast<std::int32_t>(i / box.cols());
    const auto c = box.c1 + static_cast<std::int32_t>(i % box.cols());
    for (const spreadsheet::Box& m : merges) {
      if (r < m.r1 || r > m.r2 || c < m.c1 || c > m.c2 || (r == m.r1 && c == m.c1)) continue;
      return refusal(400, a1(r, c) + " lies under the merged cells " + a1(m.r1, m.c1) + ":" +
                              a1(m.r2, m.c2) + "; only " + a1(m.r1, m.c1) + " can be written");
    }
  }
  std::vector<std::size_t> written;
  for (std::size_t i = 0; i < n; ++i) {
    if (!edit.texts[i] || *edit.texts[i] == before[i]) continue;
    const Status st = write_cell_text(*cells[i], *edit.texts[i]);
    if (!st.ok()) {
      // All or nothing: what was written goes back, last first.
      for (auto it = written.rbegin(); it != written.rend(); ++it) {
        (void)write_cell_text(*cells[*it], before[*it]);
      }
      const auto r = box.r1 + static_cast<std::int32_t>(i / box.cols());
      const auto c = box.c1 + static_cast<std::int32_t>(i % box.cols());
      return refusal(400, a1(r, c) + ": " + st.message());
    }
    written.push_back(i);
  }
  std::vector<std::string> after = before;
  for (std::size_t i : written) {
    auto now = cell_edit_text(*cells[i]);
    after[i] = now.ok() ? *now : *edit.texts[i];
  }
  return {200,
          "{\"ok\":true,\"before\":" + json_texts(before) + ",\"after\":" + json_texts(after) + "}",
          !written.empty()};
}

}  // namespace quillo::cli
