#include "spreadsheet/dependencies.h"

#include <algorithm>
#include <bit>

namespace quillo::spreadsheet {

std::size_t DependencyIndex::CellReaders::position(std::uint64_t stored) const {
  const std::size_t mask = m_entries.size() - 1;
  std::size_t i = home(stored);
  while (m_entries[i].stored != stored && m_entries[i].stored != 0) i = (i + 1) & mask;
  return i;
}

void DependencyIndex::CellReaders::rehash(std::size_t size) {
  std::vector<Entry> old = std::move(m_entries);
  m_entries = std::vector<Entry>(size);
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

bool DependencyIndex::add_to_run(SheetIndex& idx, const CellAddr& formula, std::int32_t row,
                                 std::int32_t col) {
  const auto c = static_cast<std::size_t>(col);
  if (c >= idx.runs.size()) idx.runs.resize(c + 1);
  std::vector<Run>& runs = idx.runs[c];
  const std::int32_t offset = row - formula.row;
  auto run = std::find_if(runs.begin(), runs.end(), [&](const Run& r) {
    return r.offset == offset && r.col == formula.col && r.sheet == formula.sheet;
  });
  if (run == runs.end()) {
    if (runs.size() >= kMaxRunsPerColumn) return false;
    runs.push_back(Run{formula.sheet, formula.col, offset, {}});
    run = runs.end() - 1;
  }
  auto& rows = run->rows;
  const std::int32_t r = formula.row;
  auto next = rows.upper_bound(r);  // the first interval starting below r
  if (next != rows.begin()) {
    const auto prev = std::prev(next);
    if (prev->second >= r) return false;  // held already
    if (prev->second + 1 == r) {          // extends the interval above
      prev->second = r;
      if (next != rows.end() && next->first == r + 1) {
        prev->second = next->second;
        rows.erase(next);
      }
      return true;
    }
  }
  if (next != rows.end() && next->first == r + 1) {  // extends the interval below upwards
    const std::int32_t last = next->second;
    rows.emplace_hint(rows.erase(next), r, last);
    return true;
  }
  rows.emplace_hint(next, r, r);
  return true;
}

bool DependencyIndex::remove_from_run(SheetIndex& idx, const CellAddr& formula, std::int32_t row,
                                      std::int32_t col) {
  const auto c = static_cast<std::size_t>(col);
  if (c >= idx.runs.size()) return false;
  std::vector<Run>& runs = idx.runs[c];
  const std::int32_t offset = row - formula.row;
  const auto run = std::find_if(runs.begin(), runs.end(), [&](const Run& r) {
    return r.offset == offset && r.col == formula.col && r.sheet == formula.sheet;
  });
  if (run == runs.end()) return false;
  auto& rows = run->rows;
  const std::int32_t r = formula.row;
  auto it = rows.upper_bound(r);
  if (it == rows.begin()) return false;
  --it;
  if (it->second < r) return false;
  const std::int32_t first = it->first, last = it->second;
  if (first == r) {
    it = rows.erase(it);
    if (last > r) rows.emplace_hint(it, r + 1, last);
  } else {
    it->second = r - 1;
    if (last > r) rows.emplace_hint(std::next(it), r + 1, last);
  }
  if (rows.empty()) runs.erase(run);
  return true;
}

DependencyIndex::SheetIndex* DependencyIndex::sheet_index(SheetId sheet) const {
  if (sheet == m_last_id && m_last) return m_last;
  const auto it = m_sheets.find(sheet);
  if (it == m_sheets.end()) return nullptr;
  m_last_id = sheet;
  m_last = const_cast<SheetIndex*>(&it->second);
  return m_last;
}

void DependencyIndex::add(const CellAddr& formula, SheetId target, const Box& box,
                          bool follows_row) {
  SheetIndex* found = sheet_index(target);
  SheetIndex& idx = found ? *found : m_sheets[target];
  if (box.single()) {
    if (!follows_row || !add_to_run(idx, formula, box.r1, box.c1)) {
      idx.cells[cell_key(box.r1, box.c1)].add(formula);
    }
    count_column(idx, box.c1, 1);
    return;
  }
  if (block_count(box) > kMaxBlocks) {
    idx.wide.add({formula, box});
    return;
  }
  for (std::int32_t c = box.c1; c <= box.c2; ++c) {
    count_column(idx, c, 1);
    for (std::int32_t b = box.r1 >> kRowShift; b <= box.r2 >> kRowShift; ++b) {
      idx.blocks[block_key(b, c)].add({formula, box});
    }
  }
}

void DependencyIndex::remove(const CellAddr& formula, SheetId target, const Box& box) {
  SheetIndex* found = sheet_index(target);
  if (!found) return;  // the sheet was dropped
  SheetIndex& idx = *found;
  if (box.single()) {
    const std::uint64_t key = cell_key(box.r1, box.c1);
    // A reference goes per cell only when no run took it, so the cell's
    // list is looked at first: of a formula reading a cell twice, one
    // reading is in the run and the other in the list.
    if (Readers* readers = idx.cells.find(key)) {
      const bool removed = readers->remove(formula);
      if (readers->empty()) idx.cells.erase(key);
      if (removed) {
        count_column(idx, box.c1, -1);
        return;
      }
    }
    if (remove_from_run(idx, formula, box.r1, box.c1)) count_column(idx, box.c1, -1);
    return;
  }
  if (block_count(box) > kMaxBlocks) {
    idx.wide.remove({formula, box});
    return;
  }
  for (std::int32_t c = box.c1; c <= box.c2; ++c) {
    bool erased = false;
    for (std::int32_t b = box.r1 >> kRowShift; b <= box.r2 >> kRowShift; ++b) {
      const auto block_it = idx.blocks.find(block_key(b, c));
      if (block_it == idx.blocks.end()) continue;
      erased = block_it->second.remove({formula, box}) || erased;
      if (block_it->second.empty()) idx.blocks.erase(block_it);
    }
    if (erased) count_column(idx, c, -1);
  }
}

void DependencyIndex::dependents(const CellAddr& cell, std::vector<CellAddr>& out) const {
  const SheetIndex* found = sheet_index(cell.sheet);
  if (!found) return;
  const SheetIndex& idx = *found;
  const auto col = static_cast<std::size_t>(cell.col);
  if (col < idx.column_refs.size() && idx.column_refs[col] != 0) {
    if (const Readers* readers = idx.cells.find(cell_key(cell.row, cell.col))) {
      readers->for_each([&](const CellAddr& formula) { out.push_back(formula); });
    }
    if (col < idx.runs.size()) {
      for (const Run& run : idx.runs[col]) {
        const std::int32_t r = cell.row - run.offset;
        auto it = run.rows.upper_bound(r);
        if (it != run.rows.begin() && std::prev(it)->second >= r) {
          out.push_back(CellAddr{run.sheet, r, run.col});
        }
      }
    }
    if (const auto it = idx.blocks.find(block_key(cell.row >> kRowShift, cell.col));
        it != idx.blocks.end()) {
      it->second.for_each([&](const std::pair<CellAddr, Box>& read) {
        if (read.second.contains(cell.row, cell.col)) out.push_back(read.first);
      });
    }
  }
  idx.wide.for_each([&](const std::pair<CellAddr, Box>& read) {
    if (read.second.contains(cell.row, cell.col)) out.push_back(read.first);
  });
}

void DependencyIndex::drop_sheet(SheetId sheet, std::vector<CellAddr>& out) {
  const auto sheet_it = m_sheets.find(sheet);
  if (sheet_it == m_sheets.end()) return;
  sheet_it->second.cells.for_each([&](const Readers& readers) {
    readers.for_each([&](const CellAddr& formula) { out.push_back(formula); });
  });
  const auto take = [&](const std::pair<CellAddr, Box>& read) { out.push_back(read.first); };
  for (const std::vector<Run>& runs : sheet_it->second.runs) {
    for (const Run& run : runs) {
      for (const auto& [first, last] : run.rows) {
        for (std::int32_t r = first; r <= last; ++r) out.push_back(CellAddr{run.sheet, r, run.col});
      }
    }
  }
  for (const auto& [key, block] : sheet_it->second.blocks) block.for_each(take);
  sheet_it->second.wide.for_each(take);
  m_last_id = 0;
  m_last = nullptr;
  m_sheets.erase(sheet_it);
}

}  // namespace quillo::spreadsheet
