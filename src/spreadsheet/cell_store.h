// CellStore: one sheet's cells, stored by what they hold rather than one
// object per cell.
//
// Cells sit column by column in chunks of 64 rows. A chunk keeps a bit per
// row it holds and, in row order, the 8 bytes of each occupied row: a
// number, date, truth value or error code inline, a text as the id of an
// interned, reference-counted string, and a formula cell as the index of
// its state, which lives out of line with the formula's last result. Beside
// them, in the same order, what each is (4 bytes: its kind and number
// format, interned to a small id per store), kept only while the chunk
// holds something other than plain numbers: a column of numbers without a
// format costs 8 bytes a cell plus a share of its chunk; empty rows cost
// nothing.
//
// The store answers copies (Cell, Value), never references into its
// tables, except FormulaState pointers: those stay valid until that cell's
// formula is removed or the cell erased, whatever else is written meanwhile.
// A number format string answered by format() stays valid for the store's
// lifetime.
//
// Event-loop thread only.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <deque>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/value.h"
#include "spreadsheet/cell_addr.h"
#include "spreadsheet/formula.h"

namespace quillo::spreadsheet {

struct FormulaState {
  FormulaPtr formula;
  bool dirty = false;
  // A formula read from a file that quillo cannot compute: it is never
  // evaluated, and keeps the value the file held until it is replaced.
  bool frozen = false;
  // A cell of a multi-cell array formula: the formula's box, whose top-left
  // cell the formula is written for; each cell shows its item of the result.
  bool in_array = false;
  // Which formula of the book's file this cell held when it was loaded: a
  // number the file format gave it (0 = none). It stays while the cell holds
  // a formula, whatever formula that is: the file format compares the two
  // when saving, so a formula rewritten with the same meaning (as the engine
  // does to re-evaluate a cell) is saved as the file wrote it.
  std::uint32_t source = 0;
  // The array's box while in_array; behind a pointer, as few formulas are
  // array formulas.
  std::unique_ptr<Box> array;
  // What the formula reads beyond its own references: the cells of the
  // names it uses and the sheets of its 3-D references, as registered with
  // the dependency index (so they come off it exactly as they went on).
  // Null for most formulas, which read neither: a pointer rather than a
  // list in every formula cell keeps the state at 48 bytes.
  std::unique_ptr<std::vector<std::pair<SheetId, Box>>> extra;
};

// What one cell holds, as the store answers it: its value (the constant, or
// the formula's last result), its formula (null for constants) and its
// number format (empty = General).
struct Cell {
  Value value;
  const FormulaState* formula = nullptr;
  const std::string& format;

  bool blank() const { return value.is_empty() && !formula && format.empty(); }
};

class CellStore {
 public:
  CellStore();
  CellStore(const CellStore&) = delete;
  CellStore& operator=(const CellStore&) = delete;
  ~CellStore();

  // ---- reading ----
  bool contains(std::uint64_t key) const { return find_place(key).chunk != nullptr; }
  // The cell at key; nullopt when there is none.
  std::optional<Cell> find(std::uint64_t key) const;
  Value value(std::uint64_t key) const;  // empty when there is no cell
  const std::string& format(std::uint64_t key) const;
  FormulaState* formula(std::uint64_t key);
  const FormulaState* formula(std::uint64_t key) const;
  // The formula states of the cell at key and of the cells right above and
  // below it (null where there is none), found with one search of their
  // column: entering a formula compares it with its neighbours'.
  struct FormulasAround {
    FormulaState* above = nullptr;
    FormulaState* own = nullptr;
    FormulaState* below = nullptr;
  };
  FormulasAround formulas_around(std::uint64_t key);
  std::size_t size() const { return m_size; }
  // The positions of every cell (blank ones with a format too), column by
  // column.
  std::vector<std::uint64_t> keys() const;
  // A number that changes at every write or erase of a cell of the column
  // and never repeats, except 0, which a column holding no cell answers:
  // what was worked out from a column's values holds while it is the same.
  std::uint64_t column_version(std::int32_t col) const;

  // Calls fn(row, col, cell) for the non-blank cells of box, column by
  // column and down each column. fn must not change the store.
  template <typename Fn>
  void for_each(const Box& box, Fn&& fn) const;

  // ---- writing ----
  // Stores the cell's value (a formula cell's result), creating the cell.
  // Throws std::bad_alloc, or std::length_error for a text of 4 GiB or more,
  // leaving the store as it was.
  void set_value(std::uint64_t key, const Value& v);
  // Sets the number format ("" = General), creating the cell.
  void set_format(std::uint64_t key, std::string_view format);
  // Makes the cell a formula cell (creating it) and answers its state: a
  // fresh one whose result is the value the cell held; the existing one
  // when the cell holds a formula already.
  FormulaState& add_formula(std::uint64_t key);
  // Makes a formula cell a constant holding the formula's last result.
  void remove_formula(std::uint64_t key);
  void erase(std::uint64_t key);
  // Erases the cell when it holds nothing: no value, formula or format.
  void erase_if_blank(std::uint64_t key);

 private:
  // Integer only for a formula's result, which keeps the type its formula
  // gave it; a constant integer is stored as a number. Its underlying type
  // is the format's, so that the two bit-fields share one 4-byte unit in
  // every compiler's layout (the Windows one starts a new unit when the
  // declared type changes).
  enum class Kind : std::uint32_t {
    Empty,
    Number,
    Date,
    Bool,
    Error,
    Text,
    Formula,
    Other,
    Integer
  };
  // What a cell's 8 bytes hold (the value, or the id of its text, formula
  // or boxed value) and its number format.
  struct Meta {
    std::uint32_t format : 24 = 0;  // interned number format; 0 = General
    Kind kind : 8 = Kind::Empty;
    bool plain() const { return kind == Kind::Number && format == 0; }
  };
  static_assert(sizeof(Meta) == 4);
  static constexpr int kChunkShift = 6;  // 64 rows per chunk
  struct Chunk {
    std::int32_t index = 0;           // row >> kChunkShift
    std::uint8_t odd = 0;             // rows present that are not plain numbers
    std::uint64_t mask = 0;           // the rows present
    std::vector<std::uint64_t> bits;  // one per row present, in row order
    std::vector<Meta> meta;           // the same; none while odd is 0
    Meta meta_at(std::size_t pos) const { return meta.empty() ? Meta{0, Kind::Number} : meta[pos]; }
  };
  struct Column;
  // A row of a chunk, found or made.
  struct Place {
    Chunk* chunk = nullptr;
    std::size_t pos = 0;
    bool fresh = false;        // made just now: it holds nothing yet
    Column* column = nullptr;  // the chunk's column
  };
  struct Column {
    std::int32_t col = 0;
    std::uint64_t version = 0;  // see column_version
    std::vector<Chunk> chunks;  // by index
  };
  // Where chunk index is, or goes, in chunks.
  static std::vector<Chunk>::const_iterator find_chunk(const std::vector<Chunk>& chunks,
                                                       std::int32_t index);
  // The formula's last result, held as a cell's bits and kind are: a text
  // result is interned like any other.
  struct Result {
    std::uint64_t bits = 0;
    Kind kind = Kind::Empty;
  };
  struct FormulaCell {
    FormulaState state;
    Result value;
  };
  // Reference-counted interned texts, so a column of repeated labels holds
  // each text once and a text no cell holds any more is let go. The texts
  // sit one after another in blocks of bytes rather than as a string each
  // (a record sheet of a hundred thousand lines is two hundred thousand
  // texts): a text costs its bytes, a 16-byte entry and a place in the
  // index. The bytes of texts let go are given back with their block when
  // none of its texts is held any more, or by moving the held ones into
  // new blocks once the dead bytes outweigh them.
  class TextPool {
   public:
    TextPool() = default;
    TextPool(const TextPool&) = delete;
    TextPool& operator=(const TextPool&) = delete;
    // Throws (std::bad_alloc, std::length_error) with nothing changed.
    std::uint32_t add(std::string_view text);
    // Never fails: what it cannot tidy for want of memory waits.
    void release(std::uint32_t id) noexcept;
    // Valid until the next add or release.
    std::string_view text(std::uint32_t id) const {
      const Entry& e = entry(id);
      return {m_blocks[e.block].bytes.get() + e.at, e.size};
    }

   private:
    struct Entry {
      std::uint32_t block = 0;
      std::uint32_t at = 0;  // where the text starts in its block
      std::uint32_t size = 0;
      std::uint32_t refs = 0;  // 0: a free entry
    };
    struct Block {
      std::unique_ptr<char[]> bytes;
      std::uint32_t capacity = 0;
      std::uint32_t used = 0;
      std::uint32_t live = 0;  // bytes of texts held
    };
    static constexpr std::uint32_t kBlockBytes = 64 * 1024;
    static constexpr std::size_t kMaxTextBytes = 0xFFFFFFFFu;
    static constexpr std::uint32_t kEntryBlock = 1024;  // entries a block of them holds
    static constexpr std::uint32_t kEmptySlot = 0xFFFFFFFFu;
    static constexpr std::uint32_t kDeadSlot = 0xFFFFFFFEu;

    Entry& entry(std::uint32_t id) { return m_entries[id / kEntryBlock][id % kEntryBlock]; }
    const Entry& entry(std::uint32_t id) const {
      return m_entries[id / kEntryBlock][id % kEntryBlock];
    }
    // add, without the check of the text added last.
    std::uint32_t add_new(std::string_view text);
    // Copies the text into a block; answers where it went.
    std::pair<std::uint32_t, std::uint32_t> place(std::string_view text);
    // Lets a block none of whose texts is held go.
    void free_block(std::uint32_t b) noexcept;
    // The index slot holding id's text or, when none does, where it goes.
    std::size_t slot_of(std::string_view text, std::size_t hash) const;
    void grow_index(std::size_t texts);
    // Moves the held texts into new blocks, in id order.
    void compact();

    // The entries by id, in blocks of kEntryBlock: the table grows a block
    // at a time rather than doubling, which at its copy held up to three
    // times the entries' room.
    std::vector<std::unique_ptr<Entry[]>> m_entries;
    std::uint32_t m_entry_count = 0;  // entries made, free ones included
    std::vector<std::uint32_t> m_free;
    std::vector<Block> m_blocks;
    std::vector<std::uint32_t> m_free_blocks;  // emptied blocks, reused first
    std::uint32_t m_current = kEmptySlot;      // the block texts are added to
    std::uint64_t m_live = 0, m_dead = 0;      // bytes of held and of let-go texts
    // Open addressing by the texts' hash, probing linearly: ids, or the
    // empty and dead marks.
    std::vector<std::uint32_t> m_index;
    std::size_t m_index_used = 0;       // slots holding an id or the dead mark
    std::uint32_t m_last = kEmptySlot;  // the id add answered last
  };
  // A table of values that need more than a slot (formula cells and the
  // rare constant a slot cannot hold), reusing freed entries. The entries
  // sit in blocks of kBlock that never move as the table grows: pointers to
  // them stay valid without an allocation of their own per entry, and
  // (unlike a deque's 512-byte pieces, which hold four formula cells in
  // room for almost five) a block wastes nothing but its unused tail.
  template <typename T>
  class Side {
   public:
    std::uint32_t add(T item);
    void release(std::uint32_t id) noexcept {
      (*this)[id] = T{};  // lets go of what the entry held; the entry waits for reuse
      try {
        m_free.push_back(id);
      } catch (const std::bad_alloc&) {
        // The entry is not given out again; nothing else is lost.
      }
    }
    T& operator[](std::uint32_t id) { return m_blocks[id / kBlock][id % kBlock]; }
    const T& operator[](std::uint32_t id) const { return m_blocks[id / kBlock][id % kBlock]; }

   private:
    static constexpr std::uint32_t kBlock = 64;
    std::vector<std::unique_ptr<T[]>> m_blocks;
    std::uint32_t m_size = 0;  // entries made, freed ones included
    std::vector<std::uint32_t> m_free;
  };

  // The column col; null when it holds no cell.
  const Column* column_of(std::int32_t col) const;
  // The cell's chunk and position; a null chunk when there is no cell.
  Place find_place(std::uint64_t key) const;
  Place place_or_new(std::uint64_t key);
  // Sets what the row holds, keeping the chunk's metas only while needed.
  static void set_meta(Chunk& ch, std::size_t pos, Meta m);
  Value value_of(Kind kind, std::uint64_t bits) const;
  // The kind and bits v is held as (interning a text, boxing what needs
  // it); a formula's result keeps integers as integers.
  Result encode(const Value& v, bool result);
  void release(Kind kind, std::uint64_t bits) noexcept;  // frees what the bits refer to
  std::uint32_t format_id(std::string_view format);

  std::vector<Column> m_columns;          // by col
  mutable std::size_t m_last_column = 0;  // where column_of found a column last
  // The cell find_place found last and its place (a null chunk: none); any
  // write that may move rows, chunks or columns replaces or clears it.
  mutable std::uint64_t m_last_key = 0;
  mutable Place m_last_place;
  std::size_t m_size = 0;
  std::uint64_t m_clock = 0;  // the last column version given
  TextPool m_texts;
  Side<FormulaCell> m_formulas;
  Side<Value> m_boxed;
  std::deque<std::string> m_format_texts;  // by id; 0 is ""
  std::unordered_map<std::string_view, std::uint32_t> m_format_ids;
};

template <typename Fn>
void CellStore::for_each(const Box& box, Fn&& fn) const {
  auto col_it = std::lower_bound(m_columns.begin(), m_columns.end(), box.c1,
                                 [](const Column& c, std::int32_t col) { return c.col < col; });
  const std::int32_t first_chunk = box.r1 >> kChunkShift, last_chunk = box.r2 >> kChunkShift;
  for (; col_it != m_columns.end() && col_it->col <= box.c2; ++col_it) {
    const auto& chunks = col_it->chunks;
    auto ch = std::lower_bound(chunks.begin(), chunks.end(), first_chunk,
                               [](const Chunk& c, std::int32_t i) { return c.index < i; });
    for (; ch != chunks.end() && ch->index <= last_chunk; ++ch) {
      const std::int32_t base = ch->index << kChunkShift;
      std::uint64_t bits = ch->mask;
      std::size_t pos = 0;
      while (bits != 0) {
        const int bit = std::countr_zero(bits);
        bits &= bits - 1;
        const std::size_t at = pos++;
        const std::int32_t row = base + bit;
        if (row < box.r1) continue;
        if (row > box.r2) break;
        const Meta m = ch->meta_at(at);
        const std::uint64_t b = ch->bits[at];
        const Cell cell{
            value_of(m.kind, b),
            m.kind == Kind::Formula ? &m_formulas[static_cast<std::uint32_t>(b)].state : nullptr,
            m_format_texts[m.format]};
        if (!cell.blank()) fn(row, col_it->col, cell);
      }
    }
  }
}

}  // namespace quillo::spreadsheet
