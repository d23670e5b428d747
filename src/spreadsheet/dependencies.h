// DependencyIndex: which formulas read which cells, so a change reaches its
// dependents without rescanning every formula. Single-cell references are
// kept per cell, in a short list (most cells have a reader or two), turned
// into a hash table when a cell has many readers; ranges are kept in blocks of rows per column, and
// ranges too large for blocks (whole columns, big areas) in one list per sheet that is checked on
// every change of that sheet. Adding and removing a reference are constant time, so rewriting
// formulas over and over does not accumulate. A count of references by column lets a change in
// a column nothing reads skip the lookups (the results of most formulas are read by no other).
// Event-loop thread only; the index holds addresses, never cells.
#pragma once

#include <memory>
#include <unordered_map>
#include <vector>

#include "spreadsheet/cell_addr.h"

namespace quillo::spreadsheet {

class DependencyIndex {
 public:
  // formula reads box on target; add and remove come in pairs.
  void add(const CellAddr& formula, SheetId target, const Box& box);
  void remove(const CellAddr& formula, SheetId target, const Box& box);

  // Appends the formulas that read the cell (duplicates possible).
  void dependents(const CellAddr& cell, std::vector<CellAddr>& out) const;
  // Appends every formula that reads any cell of the sheet (used when the
  // sheet goes away) and forgets the sheet.
  void drop_sheet(SheetId sheet, std::vector<CellAddr>& out);

 private:
  static constexpr int kRowShift = 8;               // 256 rows per block
  static constexpr std::int64_t kMaxBlocks = 1024;  // larger ranges go to the wide list

  // The formulas reading one cell, each with how many of its references do.
  struct Readers {
    static constexpr std::size_t kFew = 16;
    std::vector<std::pair<CellAddr, std::uint32_t>> few;
    std::unique_ptr<std::unordered_map<CellAddr, std::uint32_t, CellAddrHash>> many;

    void add(const CellAddr& formula);
    bool remove(const CellAddr& formula);  // false when the formula was not there
    bool empty() const { return many ? many->empty() : few.empty(); }
    template <typename Fn>
    void for_each(Fn&& fn) const {
      if (many) {
        for (const auto& [formula, count] : *many) fn(formula);
      } else {
        for (const auto& [formula, count] : few) fn(formula);
      }
    }
  };

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
    void grow();

    std::vector<Entry> m_entries;  // a power of two of them, at most 3/4 used
    std::size_t m_size = 0;
    int m_shift = 64;
  };

  struct SheetIndex {
    // By column: how many single-cell and block references read it.
    std::vector<std::uint32_t> column_refs;
    CellReaders cells;
    std::unordered_map<std::uint64_t, std::unordered_multimap<CellAddr, Box, CellAddrHash>> blocks;
    std::unordered_multimap<CellAddr, Box, CellAddrHash> wide;
  };

  static std::uint64_t block_key(std::int32_t block_row, std::int32_t col) {
    return cell_key(block_row, col);
  }
  static std::int64_t block_count(const Box& box) {
    return std::int64_t{(box.r2 >> kRowShift) - (box.r1 >> kRowShift) + 1} * box.cols();
  }
  static bool erase_one(std::unordered_multimap<CellAddr, Box, CellAddrHash>& map,
                        const CellAddr& formula, const Box& box);
  static void count_column(SheetIndex& idx, std::int32_t col, int delta);

  std::unordered_map<SheetId, SheetIndex> m_sheets;
};

}  // namespace quillo::spreadsheet
