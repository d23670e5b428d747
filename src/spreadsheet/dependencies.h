// DependencyIndex: which formulas read which cells, so a change reaches its
// dependents without rescanning every formula. Single-cell references are
// kept per cell, in a list in the order they came (most cells have a reader
// or two), with a table of places when a cell has many readers. A reference
// that follows its formula's row (A2 in a formula of row 3) goes instead
// into a run when it can: the formulas of one column of one sheet that read
// the cell the same number of rows away, kept as intervals of their rows, so
// a formula filled down a column costs its index nothing beyond the ends of
// its interval. Ranges are
// kept in such lists for blocks of rows per column, and ranges too large for
// blocks (whole columns, big areas) in one list per sheet that is checked on
// every change of that sheet. Adding and removing a reference are constant time, so rewriting
// formulas over and over does not accumulate. A count of references by column lets a change in
// a column nothing reads skip the lookups (the results of most formulas are read by no other).
// Event-loop thread only; the index holds addresses, never cells.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "spreadsheet/cell_addr.h"

namespace quillo::spreadsheet {

class DependencyIndex {
 public:
  // formula reads box on target; add and remove come in pairs. follows_row
  // says the reference moves with the formula's row (a relative row), which
  // lets a single cell go into a run; remove needs no such hint.
  void add(const CellAddr& formula, SheetId target, const Box& box, bool follows_row = false);
  void remove(const CellAddr& formula, SheetId target, const Box& box);

  // Appends the formulas that read the cell (duplicates possible).
  void dependents(const CellAddr& cell, std::vector<CellAddr>& out) const;
  // Appends every formula that reads any cell of the sheet (used when the
  // sheet goes away) and forgets the sheet.
  void drop_sheet(SheetId sheet, std::vector<CellAddr>& out);

 private:
  static constexpr int kRowShift = 8;               // 256 rows per block
  static constexpr std::int64_t kMaxBlocks = 1024;  // larger ranges go to the wide list

  // Items (formulas, or formulas with the box they read), each with how
  // many times it was added, in the order they came: marking and evaluating
  // the many readers of a cell or block goes down the sheet as they were
  // written, not in hash order. Past kFew of them a table of their places
  // finds one without a scan; removal moves the last item into the gap.
  template <typename Item, typename Hash>
  class CountedList {
   public:
    static constexpr std::size_t kFew = 16;

    void add(const Item& item) {
      if (m_places) {
        const auto [it, added] =
            m_places->try_emplace(item, static_cast<std::uint32_t>(m_list.size()));
        if (added) {
          m_list.emplace_back(item, 1);
        } else {
          ++m_list[it->second].second;
        }
        return;
      }
      const std::size_t i = place(item);
      if (i < m_list.size()) {
        ++m_list[i].second;
        return;
      }
      m_list.emplace_back(item, 1);
      if (m_list.size() > kFew) {
        m_places = std::make_unique<std::unordered_map<Item, std::uint32_t, Hash>>();
        for (std::size_t k = 0; k < m_list.size(); ++k) {
          m_places->emplace(m_list[k].first, static_cast<std::uint32_t>(k));
        }
      }
    }
    // False when the item was not there.
    bool remove(const Item& item) {
      const std::size_t i = place(item);
      if (i == m_list.size()) return false;
      if (--m_list[i].second != 0) return true;
      if (m_places) m_places->erase(item);
      if (i + 1 != m_list.size()) {
        m_list[i] = m_list.back();
        if (m_places) (*m_places)[m_list[i].first] = static_cast<std::uint32_t>(i);
      }
      m_list.pop_back();
      if (m_list.empty()) {
        m_places.reset();
        m_list.shrink_to_fit();
      }
      return true;
    }
    bool empty() const { return m_list.empty(); }
    template <typename Fn>
    void for_each(Fn&& fn) const {
      for (const auto& [item, count] : m_list) fn(item);
    }

   private:
    std::size_t place(const Item& item) const {  // m_list.size() when absent
      if (m_places) {
        const auto it = m_places->find(item);
        return it == m_places->end() ? m_list.size() : it->second;
      }
      for (std::size_t i = 0; i < m_list.size(); ++i) {
        if (m_list[i].first == item) return i;
      }
      return m_list.size();
    }

    std::vector<std::pair<Item, std::uint32_t>> m_list;
    std::unique_ptr<std::unordered_map<Item, std::uint32_t, Hash>> m_places;
  };

  struct FormulaBoxHash {
    std::size_t operator()(const std::pair<CellAddr, Box>& p) const {
      std::uint64_t h = CellAddrHash{}(p.first);
      for (const std::int32_t x : {p.second.r1, p.second.c1, p.second.r2, p.second.c2}) {
        h = (h ^ static_cast<std::uint32_t>(x)) * 0x9E3779B97F4A7C15ull;
      }
      return static_cast<std::size_t>(h ^ (h >> 32));
    }
  };
  // The formulas reading one cell; the formulas reading a block of rows of
  // a column, or a sheet's wide ranges, with the box each reads.
  using Readers = CountedList<CellAddr, CellAddrHash>;
  using BoxReaders = CountedList<std::pair<CellAddr, Box>, FormulaBoxHash>;

  // Readers by cell key in one open-addressing table (linear probing,
  // entries shifted back on erase): a sheet's formulas may read hundreds of
  // thousands of cells, and a table with a node per cell cost an
  // allocation each and a cache miss a lookup.
  class CellReaders {
   public:
    Readers& operator[](std::uint64_t key);  // added empty when absent
    const Readers* find(std::uint64_t key) const;
    Readers* find(std::uint64_t key) {
      return const_cast<Readers*>(static_cast<const CellReaders*>(this)->find(key));
    }
    void erase(std::uint64_t key);
    template <typename Fn>
    void for_each(Fn&& fn) const {
      for (const Entry& e : m_entries) {
        if (e.stored != 0) fn(e.readers);
      }
    }

   private:
    struct Entry {
      std::uint64_t stored = 0;  // the key + 1; 0: free
      Readers readers;
    };
    // Runs of eight rows of a column share a home group of eight entries,
    // in row order, so a walk down a column finds the readers of its cells
    // side by side rather than at a cache miss each. At least 16 entries.
    std::size_t home(std::uint64_t stored) const {
      const std::uint64_t group = ((stored >> 3) * 0x9E3779B97F4A7C15ull) >> (m_shift + 3);
      return static_cast<std::size_t>(group << 3 | (stored & 7));
    }
    std::size_t position(std::uint64_t stored) const;  // of the key, or the free entry it goes in
    void grow() { rehash(std::max<std::size_t>(16, m_entries.size() * 2)); }
    void rehash(std::size_t size);

    std::vector<Entry> m_entries;  // a power of two of them, at most 3/4 used
    std::size_t m_size = 0;
    int m_shift = 64;
  };

  // The formulas of column col of sheet that read the cell offset rows
  // from their own row: their rows as intervals, first row -> last row.
  struct Run {
    SheetId sheet = 0;
    std::int32_t col = 0;
    std::int32_t offset = 0;
    std::map<std::int32_t, std::int32_t> rows;
  };
  // A column read by runs of more shapes than this takes further ones per
  // cell, so finding a cell's readers never goes through many runs.
  static constexpr std::size_t kMaxRunsPerColumn = 16;

  struct SheetIndex {
    // By column: how many single-cell and block references read it.
    std::vector<std::uint32_t> column_refs;
    // By column: the runs reading its cells.
    std::vector<std::vector<Run>> runs;
    CellReaders cells;
    std::unordered_map<std::uint64_t, BoxReaders> blocks;
    BoxReaders wide;
  };

  static std::uint64_t block_key(std::int32_t block_row, std::int32_t col) {
    return cell_key(block_row, col);
  }
  static std::int64_t block_count(const Box& box) {
    return std::int64_t{(box.r2 >> kRowShift) - (box.r1 >> kRowShift) + 1} * box.cols();
  }
  static void count_column(SheetIndex& idx, std::int32_t col, int delta);
  // Adds formula's reading of (row, col) to a run; false when it goes per
  // cell instead (the column has too many runs, or the run holds the
  // formula already: a formula reading one cell twice).
  static bool add_to_run(SheetIndex& idx, const CellAddr& formula, std::int32_t row,
                         std::int32_t col);
  // Takes it off its run; false when no run holds it.
  static bool remove_from_run(SheetIndex& idx, const CellAddr& formula, std::int32_t row,
                              std::int32_t col);

  // The sheet's index, or null; the last one found is answered without a
  // hash lookup (a change marks cell after cell of one sheet).
  SheetIndex* sheet_index(SheetId sheet) const;

  std::unordered_map<SheetId, SheetIndex> m_sheets;
  mutable SheetId m_last_id = 0;
  mutable SheetIndex* m_last = nullptr;
};

}  // namespace quillo::spreadsheet
