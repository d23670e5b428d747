#include "spreadsheet/dependencies.h"

namespace quillo::spreadsheet {

void DependencyIndex::Readers::add(const CellAddr& formula) {
  if (many) {
    ++(*many)[formula];
    return;
  }
  for (auto& [f, count] : few) {
    if (f == formula) {
      ++count;
      return;
    }
  }
  if (few.size() < kFew) {
    few.emplace_back(formula, 1);
    return;
  }
  many = std::make_unique<std::unordered_map<CellAddr, std::uint32_t, CellAddrHash>>(few.begin(),
                                                                                     few.end());
  few.clear();
  few.shrink_to_fit();
  ++(*many)[formula];
}

void DependencyIndex::Readers::remove(const CellAddr& formula) {
  if (many) {
    const auto it = many->find(formula);
    if (it != many->end() && --it->second == 0) many->erase(it);
    return;
  }
  for (std::size_t i = 0; i < few.size(); ++i) {
    if (few[i].first == formula) {
      if (--few[i].second == 0) {
        few[i] = few.back();
        few.pop_back();
      }
      return;
    }
  }
}

void DependencyIndex::add(const CellAddr& formula, SheetId target, const Box& box) {
  SheetIndex& idx = m_sheets[target];
  if (box.single()) {
    idx.cells[cell_key(box.r1, box.c1)].add(formula);
    return;
  }
  if (block_count(box) > kMaxBlocks) {
    idx.wide.emplace(formula, box);
    return;
  }
  for (std::int32_t c = box.c1; c <= box.c2; ++c) {
    for (std::int32_t b = box.r1 >> kRowShift; b <= box.r2 >> kRowShift; ++b) {
      idx.blocks[block_key(b, c)].emplace(formula, box);
    }
  }
}

void DependencyIndex::erase_one(std::unordered_multimap<CellAddr, Box, CellAddrHash>& map,
                                const CellAddr& formula, const Box& box) {
  auto [it, end] = map.equal_range(formula);
  for (; it != end; ++it) {
    if (it->second == box) {
      map.erase(it);
      return;
    }
  }
}

void DependencyIndex::remove(const CellAddr& formula, SheetId target, const Box& box) {
  const auto sheet_it = m_sheets.find(target);
  if (sheet_it == m_sheets.end()) return;  // the sheet was dropped
  SheetIndex& idx = sheet_it->second;
  if (box.single()) {
    const auto cell_it = idx.cells.find(cell_key(box.r1, box.c1));
    if (cell_it == idx.cells.end()) return;
    cell_it->second.remove(formula);
    if (cell_it->second.empty()) idx.cells.erase(cell_it);
    return;
  }
  if (block_count(box) > kMaxBlocks) {
    erase_one(idx.wide, formula, box);
    return;
  }
  for (std::int32_t c = box.c1; c <= box.c2; ++c) {
    for (std::int32_t b = box.r1 >> kRowShift; b <= box.r2 >> kRowShift; ++b) {
      const auto block_it = idx.blocks.find(block_key(b, c));
      if (block_it == idx.blocks.end()) continue;
      erase_one(block_it->second, formula, box);
      if (block_it->second.empty()) idx.blocks.erase(block_it);
    }
  }
}

void DependencyIndex::dependents(const CellAddr& cell, std::vector<CellAddr>& out) const {
  const auto sheet_it = m_sheets.find(cell.sheet);
  if (sheet_it == m_sheets.end()) return;
  const SheetIndex& idx = sheet_it->second;
  if (const auto it = idx.cells.find(cell_key(cell.row, cell.col)); it != idx.cells.end()) {
    it->second.for_each([&](const CellAddr& formula) { out.push_back(formula); });
  }
  if (const auto it = idx.blocks.find(block_key(cell.row >> kRowShift, cell.col));
      it != idx.blocks.end()) {
    for (const auto& [formula, box] : it->second) {
      if (box.contains(cell.row, cell.col)) out.push_back(formula);
    }
  }
  for (const auto& [formula, box] : idx.wide) {
    if (box.contains(cell.row, cell.col)) out.push_back(formula);
  }
}

void DependencyIndex::drop_sheet(SheetId sheet, std::vector<CellAddr>& out) {
  const auto sheet_it = m_sheets.find(sheet);
  if (sheet_it == m_sheets.end()) return;
  for (const auto& [key, readers] : sheet_it->second.cells) {
    readers.for_each([&](const CellAddr& formula) { out.push_back(formula); });
  }
  for (const auto& [key, block] : sheet_it->second.blocks) {
    for (const auto& [formula, box] : block) out.push_back(formula);
  }
  for (const auto& [formula, box] : sheet_it->second.wide) out.push_back(formula);
  m_sheets.erase(sheet_it);
}

}  // namespace quillo::spreadsheet
