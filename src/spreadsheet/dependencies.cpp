#include "spreadsheet/dependencies.h"

#include <algorithm>
#include <bit>

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

bool DependencyIndex::Readers::remove(const CellAddr& formula) {
  if (many) {
    const auto it = many->find(formula);
    if (it == many->end()) return false;
    if (--it->second == 0) many->erase(it);
    return true;
  }
  for (std::size_t i = 0; i < few.size(); ++i) {
    if (few[i].first == formula) {
      if (--few[i].second == 0) {
        few[i] = few.back();
        few.pop_back();
      }
      return true;
    }
  }
  return false;
}

std::size_t DependencyIndex::CellReaders::position(std::uint64_t stored) const {
  const std::size_t mask = m_entries.size() - 1;
  std::size_t i = home(stored);
  while (m_entries[i].stored != stored && m_entries[i].stored != 0) i = (i + 1) & mask;
  return i;
}

void DependencyIndex::CellReaders::grow() {
  std::vector<Entry> old = std::move(m_entries);
  m_entries = std::vector<Entry>(std::max<std::size_t>(16, old.size() * 2));
  m_shift = 64 - std::countr_zero(m_entries.size());
  for (Entry& e : old) {
    if (e.stored != 0) m_entries[position(e.stored)] = std::move(e);
  }
}

DependencyIndex::Readers& DependencyIndex::CellReaders::operator[](std::uint64_t key) {
  if ((m_size + 1) * 4 > m_entries.size() * 3) grow();
  Entry& e = m_entries[position(key + 1)];
  if (e.stored == 0) {
    e.stored = key + 1;
    ++m_size;
  }
  return e.readers;
}

const DependencyIndex::Readers* DependencyIndex::CellReaders::find(std::uint64_t key) const {
  if (m_size == 0) return nullptr;
  const Entry& e = m_entries[position(key + 1)];
  return e.stored == 0 ? nullptr : &e.readers;
}

void DependencyIndex::CellReaders::erase(std::uint64_t key) {
  if (m_size == 0) return;
  const std::size_t mask = m_entries.size() - 1;
  std::size_t hole = position(key + 1);
  if (m_entries[hole].stored == 0) return;
  m_entries[hole] = Entry{};
  --m_size;
  // The entries after the hole that probed past it move back into it, so
  // every key stays reachable from its home without markers of erased ones.
  for (std::size_t j = (hole + 1) & mask; m_entries[j].stored != 0; j = (j + 1) & mask) {
    const std::size_t h = home(m_entries[j].stored);
    const bool stays = hole < j ? (hole < h && h <= j) : (hole < h || h <= j);
    if (stays) continue;
    m_entries[hole] = std::move(m_entries[j]);
    m_entries[j] = Entry{};
    hole = j;
  }
}

void DependencyIndex::count_column(SheetIndex& idx, std::int32_t col, int delta) {
  const auto c = static_cast<std::size_t>(col);
  if (c >= idx.column_refs.size()) idx.column_refs.resize(c + 1, 0);
  idx.column_refs[c] += static_cast<std::uint32_t>(delta);
}

void DependencyIndex::add(const CellAddr& formula, SheetId target, const Box& box) {
  SheetIndex& idx = m_sheets[target];
  if (box.single()) {
    idx.cells[cell_key(box.r1, box.c1)].add(formula);
    count_column(idx, box.c1, 1);
    return;
  }
  if (block_count(box) > kMaxBlocks) {
    idx.wide.emplace(formula, box);
    return;
  }
  for (std::int32_t c = box.c1; c <= box.c2; ++c) {
    count_column(idx, c, 1);
    for (std::int32_t b = box.r1 >> kRowShift; b <= box.r2 >> kRowShift; ++b) {
      idx.blocks[block_key(b, c)].emplace(formula, box);
    }
  }
}

bool DependencyIndex::erase_one(std::unordered_multimap<CellAddr, Box, CellAddrHash>& map,
                                const CellAddr& formula, const Box& box) {
  auto [it, end] = map.equal_range(formula);
  for (; it != end; ++it) {
    if (it->second == box) {
      map.erase(it);
      return true;
    }
  }
  return false;
}

void DependencyIndex::remove(const CellAddr& formula, SheetId target, const Box& box) {
  const auto sheet_it = m_sheets.find(target);
  if (sheet_it == m_sheets.end()) return;  // the sheet was dropped
  SheetIndex& idx = sheet_it->second;
  if (box.single()) {
    const std::uint64_t key = cell_key(box.r1, box.c1);
    Readers* readers = idx.cells.find(key);
    if (!readers) return;
    if (readers->remove(formula)) count_column(idx, box.c1, -1);
    if (readers->empty()) idx.cells.erase(key);
    return;
  }
  if (block_count(box) > kMaxBlocks) {
    erase_one(idx.wide, formula, box);
    return;
  }
  for (std::int32_t c = box.c1; c <= box.c2; ++c) {
    bool erased = false;
    for (std::int32_t b = box.r1 >> kRowShift; b <= box.r2 >> kRowShift; ++b) {
      const auto block_it = idx.blocks.find(block_key(b, c));
      if (block_it == idx.blocks.end()) continue;
      erased = erase_one(block_it->second, formula, box) || erased;
      if (block_it->second.empty()) idx.blocks.erase(block_it);
    }
    if (erased) count_column(idx, c, -1);
  }
}

void DependencyIndex::dependents(const CellAddr& cell, std::vector<CellAddr>& out) const {
  const auto sheet_it = m_sheets.find(cell.sheet);
  if (sheet_it == m_sheets.end()) return;
  const SheetIndex& idx = sheet_it->second;
  const auto col = static_cast<std::size_t>(cell.col);
  if (col < idx.column_refs.size() && idx.column_refs[col] != 0) {
    if (const Readers* readers = idx.cells.find(cell_key(cell.row, cell.col))) {
      readers->for_each([&](const CellAddr& formula) { out.push_back(formula); });
    }
    if (const auto it = idx.blocks.find(block_key(cell.row >> kRowShift, cell.col));
        it != idx.blocks.end()) {
      for (const auto& [formula, box] : it->second) {
        if (box.contains(cell.row, cell.col)) out.push_back(formula);
      }
    }
  }
  for (const auto& [formula, box] : idx.wide) {
    if (box.contains(cell.row, cell.col)) out.push_back(formula);
  }
}

void DependencyIndex::drop_sheet(SheetId sheet, std::vector<CellAddr>& out) {
  const auto sheet_it = m_sheets.find(sheet);
  if (sheet_it == m_sheets.end()) return;
  sheet_it->second.cells.for_each([&](const Readers& readers) {
    readers.for_each([&](const CellAddr& formula) { out.push_back(formula); });
  });
  for (const auto& [key, block] : sheet_it->second.blocks) {
    for (const auto& [formula, box] : block) out.push_back(formula);
  }
  for (const auto& [formula, box] : sheet_it->second.wide) out.push_back(formula);
  m_sheets.erase(sheet_it);
}

}  // namespace quillo::spreadsheet
