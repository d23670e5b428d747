#include "requests/file_values.h"

#include <algorithm>

namespace quillo {

void FileValues::remember(const host::CellPlace& at, Value value) {
  Entry e{CellId{m_places.intern(at.book, at.sheet), at.row, at.col}, kEmpty};
  if (!value.is_empty()) {
    e.value = static_cast<std::uint32_t>(m_values.size());
    m_values.push_back(std::move(value));
  }
  if (!m_entries.empty() && !(m_entries.back().cell < e.cell)) m_sorted = false;
  m_entries.push_back(e);
}

void FileValues::sort() const {
  // Of one cell's entries the later one (the later value) is kept.
  std::stable_sort(m_entries.begin(), m_entries.end(),
                   [](const Entry& a, const Entry& b) { return a.cell < b.cell; });
  auto last = m_entries.begin();
  for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
    if (last != m_entries.begin() && std::prev(last)->cell == it->cell) {
      *std::prev(last) = *it;
    } else {
      *last++ = *it;
    }
  }
  m_entries.erase(last, m_entries.end());
  m_sorted = true;
}

const Value* FileValues::find(const host::CellPlace& at) const {
  static const Value kEmptyValue;
  const auto place = m_places.find(at.book, at.sheet);
  if (!place) return nullptr;
  if (!m_sorted) sort();
  const CellId cell{*place, at.row, at.col};
  const auto it = std::lower_bound(m_entries.begin(), m_entries.end(), cell,
                                   [](const Entry& e, const CellId& c) { return e.cell < c; });
  if (it == m_entries.end() || it->cell != cell) return nullptr;
  return it->value == kEmpty ? &kEmptyValue : &m_values[it->value];
}

}  // namespace quillo
