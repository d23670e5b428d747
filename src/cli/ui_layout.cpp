#include "cli/ui_layout.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <set>

namespace quillo::cli {

namespace {

using spreadsheet::CellLook;
using spreadsheet::SheetLook;

// The most row runs sent: rows beyond them are drawn at the default
// height (a file listing this many different heights is rare).
constexpr std::size_t kMaxRowRuns = 200000;

std::string num(double v) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, v);
  return ec == std::errc() ? std::string(text, end) : "0";
}

std::string hex(std::int32_t rgb) {
  char text[8];
  std::snprintf(text, sizeof text, "#%06x", static_cast<unsigned>(rgb) & 0xFFFFFFu);
  return std::string("\"") + text + "\"";
}

std::string look_json(const CellLook& l) {
  std::string out;
  auto add = [&out](const std::string& field) { out += (out.empty() ? "" : ",") + field; };
  if (l.bold) add("\"b\":1");
  if (l.italic) add("\"i\":1");
  if (l.underline) add("\"u\":1");
  if (l.wrap) add("\"wrap\":1");
  if (l.font_size > 0) add("\"size\":" + num(l.font_size));
  if (l.color >= 0) add("\"color\":" + hex(l.color));
  if (l.fill >= 0) add("\"fill\":" + hex(l.fill));
  switch (l.align) {
    case CellLook::Align::Left:
      add("\"align\":\"left\"");
      break;
    case CellLook::Align::Center:
      add("\"align\":\"center\"");
      break;
    case CellLook::Align::Right:
      add("\"align\":\"right\"");
      break;
    case CellLook::Align::General:
      break;
  }
  return "{" + out + "}";
}

}  // namespace

std::string sheet_layout_json(const spreadsheet::Model& model, spreadsheet::SheetId sheet) {
  const spreadsheet::Sheet* s = model.sheet(sheet);
  static const SheetLook kNone;
  const SheetLook& look = s ? s->look : kNone;
  std::string cols;
  for (const SheetLook::Columns& c : look.columns) {
    if (!cols.empty()) cols += ',';
    cols += "[" + std::to_string(c.c1) + "," + std::to_string(c.c2) + "," + num(c.width) + "," +
            (c.hidden ? "1" : "0") + "]";
  }
  for (const auto& [c, width] : look.set_widths) {
    if (!cols.empty()) cols += ',';
    cols += "[" + std::to_string(c) + "," + std::to_string(c) + "," + num(width) + ",0]";
  }
  std::string rows;
  for (std::size_t i = 0; i < look.rows.size() && i < kMaxRowRuns; ++i) {
    const SheetLook::Rows& r = look.rows[i];
    if (!rows.empty()) rows += ',';
    rows += "[" + std::to_string(r.r1) + "," + std::to_string(r.r2) + "," + num(r.height) + "]";
  }
  return "{\"width\":" + num(look.default_width) + ",\"height\":" + num(look.default_height) +
         ",\"cols\":[" + cols + "],\"rows\":[" + rows + "],\"frozen\":[" +
         std::to_string(look.frozen_rows) + "," + std::to_string(look.frozen_cols) + "]}";
}

std::string window_look_json(const spreadsheet::Model& model, spreadsheet::SheetId sheet,
                             const spreadsheet::Box& w) {
  const spreadsheet::Sheet* s = model.sheet(sheet);
  if (!s) return "{\"runs\":[],\"looks\":{},\"merges\":[]}";
  const SheetLook& look = s->look;
  std::string runs;
  std::set<std::uint32_t> used;
  auto first =
      std::lower_bound(look.styled.begin(), look.styled.end(), w.r1,
                       [](const SheetLook::Styled& a, std::int32_t row) { return a.row < row; });
  for (auto it = first; it != look.styled.end() && it->row <= w.r2; ++it) {
    if (it->c2 < w.c1 || it->c1 > w.c2) continue;
    if (!runs.empty()) runs += ',';
    runs += "[" + std::to_string(it->row) + "," + std::to_string(std::max(it->c1, w.c1)) + "," +
            std::to_string(std::min(it->c2, w.c2)) + "," + std::to_string(it->look) + "]";
    used.insert(it->look);
  }
  std::string looks;
  for (const std::uint32_t id : used) {
    if (!look.looks || id >= look.looks->size()) continue;
    if (!looks.empty()) looks += ',';
    looks += "\"" + std::to_string(id) + "\":" + look_json((*look.looks)[id]);
  }
  std::string merges;
  for (const spreadsheet::Box& m : look.merges) {
    if (m.r2 < w.r1 || m.r1 > w.r2 || m.c2 < w.c1 || m.c1 > w.c2) continue;
    if (!merges.empty()) merges += ',';
    merges += "[" + std::to_string(m.r1) + "," + std::to_string(m.c1) + "," + std::to_string(m.r2) +
              "," + std::to_string(m.c2) + "]";
  }
  return "{\"runs\":[" + runs + "],\"looks\":{" + looks + "},\"merges\":[" + merges + "]}";
}

}  // namespace quillo::cli
