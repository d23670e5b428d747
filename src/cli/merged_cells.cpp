#include "cli/merged_cells.h"

#include <fstream>
#include <memory>
#include <sstream>

#include "common/text.h"
#include "host/worksheet.h"
#include "xlsx/package.h"
#include "xlsx/xlsx.h"

namespace quillo::cli {

namespace {

// The value of attribute name in the start tag tag ("" when absent), with
// the five predefined entities decoded. Prefixes are ignored: "r:id"
// is found as "id" after a colon.
std::string attribute(std::string_view tag, std::string_view name) {
  for (std::size_t p = tag.find(name); p != std::string_view::npos; p = tag.find(name, p + 1)) {
    const char before = p == 0 ? ' ' : tag[p - 1];
    if (before != ' ' && before != ':' && before != '\t' && before != '\n') continue;
    std::size_t k = p + name.size();
    if (k + 1 >= tag.size() || tag[k] != '=' || (tag[k + 1] != '"' && tag[k + 1] != '\'')) continue;
    const std::size_t end = tag.find(tag[k + 1], k + 2);
    if (end == std::string_view::npos) return {};
    std::string value(tag.substr(k + 2, end - k - 2));
    text::replace_all(value, "&lt;", "<");
    text::replace_all(value, "&gt;", ">");
    text::replace_all(value, "&quot;", "\"");
    text::replace_all(value, "&apos;", "'");
    text::replace_all(value, "&amp;", "&");
    return value;
  }
  return {};
}

// Each start tag whose local name is element, in order.
std::vector<std::string_view> tags(std::string_view xml, std::string_view element) {
  std::vector<std::string_view> out;
  for (std::size_t p = xml.find('<'); p != std::string_view::npos; p = xml.find('<', p + 1)) {
    std::size_t name = p + 1;
    const std::size_t end = xml.find_first_of(" \t\r\n/>", name);
    if (end == std::string_view::npos) break;
    const std::size_t colon = xml.substr(name, end - name).find(':');
    if (colon != std::string_view::npos) name += colon + 1;
    if (xml.substr(name, end - name) != element) continue;
    const std::size_t gt = xml.find('>', end);
    if (gt == std::string_view::npos) break;
    out.push_back(xml.substr(p, gt - p + 1));
  }
  return out;
}

}  // namespace

std::vector<spreadsheet::Box> merged_areas(const std::string& path, const std::string& sheet) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream bytes;
  bytes << in.rdbuf();
  auto zip = spreadsheet::xlsx::ZipReader::open(std::make_shared<const std::string>(bytes.str()),
                                                spreadsheet::XlsxLimits{});
  if (!zip.ok()) return {};
  const auto workbook = (*zip)->read("xl/workbook.xml");
  const auto rels = (*zip)->read("xl/_rels/workbook.xml.rels");
  if (!workbook.ok() || !rels.ok()) return {};
  std::string id;
  for (const std::string_view tag : tags(*workbook, "sheet")) {
    if (text::iequals(attribute(tag, "name"), sheet)) id = attribute(tag, "id");
  }
  if (id.empty()) return {};
  std::string target;
  for (const std::string_view tag : tags(*rels, "Relationship")) {
    if (attribute(tag, "Id") == id) target = attribute(tag, "Target");
  }
  if (target.empty()) return {};
  const std::string part = target.front() == '/' ? target.substr(1) : "xl/" + target;
  const auto xml = (*zip)->read(part);
  if (!xml.ok()) return {};
  std::vector<spreadsheet::Box> areas;
  for (const std::string_view tag : tags(*xml, "mergeCell")) {
    if (const auto box = spreadsheet::parse_box_a1(attribute(tag, "ref"))) areas.push_back(*box);
  }
  return areas;
}

const spreadsheet::Box* merged_area_at(const std::vector<spreadsheet::Box>& areas, std::int32_t row,
                                       std::int32_t col) {
  for (const spreadsheet::Box& box : areas) {
    if (box.contains(row, col)) return &box;
  }
  return nullptr;
}

MergedCellsWatch::MergedCellsWatch(const std::string& path, const host::Range& cell) {
  // Merges are small; a sheet with absurdly large ones is watched in part.
  constexpr std::size_t kMaxWatched = 100000;
  const auto sheet = cell.worksheet();
  const auto name = sheet.ok() ? (*sheet)->name() : Result<std::string>(sheet.status());
  if (!name.ok()) return;
  for (const spreadsheet::Box& area : merged_areas(path, *name)) {
    for (std::int32_t r = area.r1; r <= area.r2; ++r) {
      for (std::int32_t c = area.c1; c <= area.c2; ++c) {
        if ((r == area.r1 && c == area.c1) || m_cells.size() >= kMaxWatched) continue;
        auto covered = (*sheet)->cell(r, c);
        if (!covered.ok()) continue;
        m_cells.push_back({area, *covered, (*covered)->formula().value_or("")});
      }
    }
  }
}

std::optional<spreadsheet::Box> MergedCellsWatch::written() const {
  for (const Covered& c : m_cells) {
    if (c.cell->formula().value_or("") != c.formula) return c.area;
  }
  return std::nullopt;
}

}  // namespace quillo::cli
