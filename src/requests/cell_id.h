// CellId: a formula cell as the engine's per-cell tables name it - its
// workbook and sheet as one number of a PlaceTable, its row and column. It
// takes twelve bytes where a text key took a string, and it is exact: two
// cells are the same only when workbook, sheet, row and column all are (a
// key joining the names with "_" cannot tell workbook "a_b" with sheet "c"
// from workbook "a" with sheet "b_c").
//
// Loop thread only.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quillo {

struct CellId {
  std::uint32_t place = 0;
  std::int32_t row = 0;
  std::int32_t col = 0;
  auto operator<=>(const CellId&) const = default;
};

struct CellIdHash {
  std::size_t operator()(const CellId& id) const noexcept {
    const std::uint64_t cell =
        (static_cast<std::uint64_t>(static_cast<std::uint32_t>(id.row)) << 32) |
        static_cast<std::uint32_t>(id.col);
    const std::uint64_t h =
        (cell ^ (static_cast<std::uint64_t>(id.place) << 20)) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(h ^ (h >> 29));
  }
};

// The workbook and sheet names the cells of a table lie on, each pair
// numbered once. A number freed (release) may be given to another pair
// later.
class PlaceTable {
 public:
  // The number of the pair, added when new.
  std::uint32_t intern(std::string_view book, std::string_view sheet) {
    return is_last(book, sheet) ? m_last : intern_new(book, sheet);
  }
  // The number of the pair; nullopt when it has none.
  std::optional<std::uint32_t> find(std::string_view book, std::string_view sheet) const {
    if (is_last(book, sheet)) return m_last;
    return find_other(book, sheet);
  }
  const std::string& book(std::uint32_t place) const { return m_names[place].book; }
  const std::string& sheet(std::uint32_t place) const { return m_names[place].sheet; }
  // The numbers given out so far are below this.
  std::uint32_t bound() const { return static_cast<std::uint32_t>(m_names.size()); }
  // Forgets the pair of this number, which may then be given out again.
  void release(std::uint32_t place);
  void clear();

 private:
  struct Names {
    std::string book;
    std::string sheet;
  };
  // "sheet/book": a sheet name never holds "/", so the pair reads back.
  static std::string joined(std::string_view book, std::string_view sheet);
  // Whether the pair is the one asked last (tried first, in line: a cell's
  // place is asked at every call of a worksheet function).
  bool is_last(std::string_view book, std::string_view sheet) const {
    return m_last < m_names.size() && same(m_names[m_last].book, book) &&
           same(m_names[m_last].sheet, sheet);
  }
  static bool same(std::string_view a, std::string_view b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
  }
  std::optional<std::uint32_t> find_other(std::string_view book, std::string_view sheet) const;
  std::uint32_t intern_new(std::string_view book, std::string_view sheet);

  std::vector<Names> m_names;
  std::unordered_map<std::string, std::uint32_t> m_ids;
  std::vector<std::uint32_t> m_free;
  // A formula filled down a column asks for one pair over and over.
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  mutable std::uint32_t m_last = kNone;
};

}  // namespace quillo
