// What a sheet shows, from the file: column widths, row heights, merged
// areas and frozen panes gathered by the SheetScanner as the part goes by,
// the cell styles' fonts, fills and alignment from styles.xml, and the
// <cols> a save writes when the user set widths.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "spreadsheet/address.h"
#include "xlsx/package.h"

namespace quillo::spreadsheet::xlsx {

namespace {

double number(std::string_view v) {
  double out = 0;
  const auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
  if (ec != std::errc() || !std::isfinite(out)) return 0;
  return out;
}

std::int32_t whole(std::string_view v) {
  std::int32_t out = 0;
  std::from_chars(v.data(), v.data() + v.size(), out);
  return out;
}

bool yes(std::string_view v) {
  return v == "1" || v == "true";
}

// The attribute's value, or "" when the element has none.
std::string_view attribute(const char* const* attributes, std::string_view name) {
  for (const char* const* a = attributes; a[0]; a += 2) {
    if (is_name(a[0], name)) return a[1];
  }
  return {};
}

// "FFRRGGBB" (or "RRGGBB") as 0xRRGGBB; -1 when it is not one.
std::int32_t rgb(std::string_view argb) {
  if (argb.size() == 8) argb.remove_prefix(2);
  if (argb.size() != 6) return -1;
  std::int32_t out = 0;
  const auto [p, ec] = std::from_chars(argb.data(), argb.data() + 6, out, 16);
  return ec == std::errc() && p == argb.data() + 6 ? out : -1;
}

// A <color> or <fgColor>: by rgb, or by the first of the legacy palette's
// indexes (the ones files write for plain colours); theme colours are not
// read (-1).
std::int32_t color_of(const pugi::xml_node& c) {
  if (!c) return -1;
  if (auto a = c.attribute("rgb")) return rgb(a.value());
  if (auto a = c.attribute("indexed")) {
    static constexpr std::int32_t kPalette[] = {0x000000, 0xFFFFFF, 0xFF0000, 0x00FF00,
                                                0x0000FF, 0xFFFF00, 0xFF00FF, 0x00FFFF};
    const unsigned i = a.as_uint(64);
    if (i < 16) return kPalette[i % 8];
  }
  return -1;
}

}  // namespace

void SheetScanner::start_look(std::string_view local, const char* const* attributes) {
  SheetLook& look = m_layout.look;
  if (m_depth == 2 && local == "sheetFormatPr") {
    const double own = number(attribute(attributes, "defaultColWidth"));
    const double base = number(attribute(attributes, "baseColWidth"));
    // A base width of characters grows by the cell's padding and rounds up
    // to whole 8-pixel steps (of a 7-pixel digit), as the peers draw it.
    if (own > 0) {
      look.default_width = own;
    } else if (base > 0) {
      look.default_width = std::ceil((base * 7 + 5) / 8) * 8 / 7;
    }
    look.default_height = std::max(0.0, number(attribute(attributes, "defaultRowHeight")));
  } else if (m_depth == 3 && m_top_local == "cols" && local == "col" && !m_layout.cols.found) {
    SheetLayout::Col col;
    for (const char* const* a = attributes; a[0]; a += 2) col.attributes.emplace_back(a[0], a[1]);
    col.min = whole(attribute(attributes, "min"));
    col.max = whole(attribute(attributes, "max"));
    if (col.min < 1 || col.max < col.min || col.max > kMaxCols) return;
    const bool hidden = yes(attribute(attributes, "hidden"));
    const double width = number(attribute(attributes, "width"));
    if (hidden || width > 0) look.columns.push_back({col.min, col.max, width, hidden});
    m_layout.col_list.push_back(std::move(col));
  } else if (m_depth == 3 && m_top_local == "sheetViews" && local == "sheetView") {
    ++m_views;
  } else if (m_depth == 4 && m_top_local == "sheetViews" && m_views == 1 && local == "pane") {
    const std::string_view state = attribute(attributes, "state");
    if (state != "frozen" && state != "frozenSplit") return;
    look.frozen_cols = std::clamp(whole(attribute(attributes, "xSplit")), 0, kMaxCols);
    look.frozen_rows = std::clamp(whole(attribute(attributes, "ySplit")), 0, kMaxRows);
  } else if (m_depth == 3 && m_top_local == "mergeCells" && local == "mergeCell") {
    const std::string_view ref = attribute(attributes, "ref");
    const std::size_t colon = ref.find(':');
    if (colon == std::string_view::npos) return;
    const auto a = parse_cell_ref(ref.substr(0, colon));
    const auto b = parse_cell_ref(ref.substr(colon + 1));
    if (!a || !b) return;
    look.merges.push_back(Box{std::min(a->first, b->first), std::min(a->second, b->second),
                              std::max(a->first, b->first), std::max(a->second, b->second)});
  }
}

void SheetScanner::row_look(std::int32_t row, const char* const* attributes) {
  double height = 0;
  if (yes(attribute(attributes, "hidden"))) {
    height = 0;
  } else if (const std::string_view ht = attribute(attributes, "ht"); !ht.empty()) {
    height = number(ht);
    if (height <= 0) return;
  } else {
    return;
  }
  std::vector<SheetLook::Rows>& rows = m_layout.look.rows;
  if (!rows.empty() && rows.back().r2 + 1 == row && rows.back().height == height) {
    rows.back().r2 = row;
    return;
  }
  if (!rows.empty() && rows.back().r2 >= row) return;  // out of order: the first listing counts
  rows.push_back({row, row, height});
}

std::vector<CellLook> read_cell_looks(const pugi::xml_document& styles) {
  const pugi::xml_node root = styles.document_element();
  std::vector<CellLook> fonts, fills;
  for (pugi::xml_node f : child(root, "fonts").children()) {
    if (local_name(f) != "font") continue;
    CellLook look;
    // <b/>, or <b val="1"/>; val="0" turns it off.
    auto on = [&f](std::string_view name) {
      const pugi::xml_node n = child(f, name);
      return n && (!n.attribute("val") || yes(n.attribute("val").value()));
    };
    look.bold = on("b");
    look.italic = on("i");
    const pugi::xml_node u = child(f, "u");
    look.underline = u && std::string_view(u.attribute("val").as_string("single")) != "none";
    look.font_size = child(f, "sz").attribute("val").as_double(0);
    if (!std::isfinite(look.font_size) || look.font_size < 1 || look.font_size > 409) {
      look.font_size = 0;
    }
    look.color = color_of(child(f, "color"));
    fonts.push_back(look);
  }
  for (pugi::xml_node f : child(root, "fills").children()) {
    if (local_name(f) != "fill") continue;
    CellLook look;
    const pugi::xml_node pattern = child(f, "patternFill");
    if (std::string_view(pattern.attribute("patternType").value()) == "solid") {
      look.fill = color_of(child(pattern, "fgColor"));
    }
    fills.push_back(look);
  }
  // The first font is the default: a cell with it shows the page's own size and colour.
  const CellLook normal = fonts.empty() ? CellLook{} : fonts.front();
  std::vector<CellLook> out;
  for (pugi::xml_node xf : child(root, "cellXfs").children()) {
    if (local_name(xf) != "xf") continue;
    CellLook look;
    const unsigned font = xf.attribute("fontId").as_uint(0);
    if (font < fonts.size()) {
      look = fonts[font];
      if (look.font_size == normal.font_size) look.font_size = 0;
      if (look.color == normal.color) look.color = -1;
    }
    const unsigned fill = xf.attribute("fillId").as_uint(0);
    if (fill < fills.size()) look.fill = fills[fill].fill;
    const pugi::xml_node align = child(xf, "alignment");
    const std::string_view h = align.attribute("horizontal").value();
    if (h == "left") look.align = CellLook::Align::Left;
    if (h == "center" || h == "centerContinuous") look.align = CellLook::Align::Center;
    if (h == "right") look.align = CellLook::Align::Right;
    look.wrap = yes(align.attribute("wrapText").value());
    out.push_back(look);
  }
  return out;
}

std::string cols_element(const std::string& qualified, const SheetLayout& layout,
                         const std::map<std::int32_t, double>& widths) {
  std::vector<SheetLayout::Col> cols = layout.col_list;
  std::sort(cols.begin(), cols.end(),
            [](const SheetLayout::Col& a, const SheetLayout::Col& b) { return a.min < b.min; });
  auto set = [](std::vector<std::pair<std::string, std::string>>& attributes,
                const std::string& name, const std::string& value) {
    for (auto& [k, v] : attributes) {
      if (k == name) {
        v = value;
        return;
      }
    }
    attributes.emplace_back(name, value);
  };
  for (const auto& [c, width] : widths) {
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, width);
    const std::string w(text, ec == std::errc() ? end : text);
    auto at = std::find_if(cols.begin(), cols.end(), [c = c](const SheetLayout::Col& col) {
      return col.min <= c && c <= col.max;
    });
    SheetLayout::Col mine;
    if (at == cols.end()) {
      mine.attributes = {{"min", ""}, {"max", ""}};
    } else {
      // The span is cut around the column, which keeps its other attributes.
      mine = *at;
      SheetLayout::Col before = *at, after = *at;
      before.max = c - 1;
      after.min = c + 1;
      at = cols.erase(at);
      if (after.min <= after.max) at = cols.insert(at, after);
      if (before.min <= before.max) at = cols.insert(at, before);
    }
    mine.min = mine.max = c;
    set(mine.attributes, "width", w);
    set(mine.attributes, "customWidth", "1");
    std::erase_if(mine.attributes, [](const auto& a) { return a.first == "hidden"; });
    cols.insert(std::upper_bound(cols.begin(), cols.end(), mine,
                                 [](const SheetLayout::Col& a, const SheetLayout::Col& b) {
                                   return a.min < b.min;
                                 }),
                std::move(mine));
  }
  const std::string prefix = qualified.substr(0, qualified.size() - 4);  // "cols"
  std::string out = "<" + qualified + ">";
  for (SheetLayout::Col& col : cols) {
    set(col.attributes, "min", std::to_string(col.min));
    set(col.attributes, "max", std::to_string(col.max));
    out += "<" + prefix + "col";
    for (const auto& [k, v] : col.attributes) {
      out += ' ' + k + "=\"";
      append_xml_text(out, v, true);
      out += '"';
    }
    out += "/>";
  }
  return out + "</" + qualified + ">";
}

}  // namespace quillo::spreadsheet::xlsx
