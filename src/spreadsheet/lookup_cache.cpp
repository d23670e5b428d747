#include "spreadsheet/lookup_cache.h"

#include <algorithm>
#include <cmath>

#include "common/text.h"
#include "spreadsheet/coerce.h"
#include "spreadsheet/unicode_text.h"

namespace quillo::spreadsheet {

ColumnIndex::ColumnIndex(const CellStore& cells, std::int32_t col, std::int32_t r1,
                         std::int32_t r2) {
  cells.for_each(Box{r1, col, r2, col}, [&](std::int32_t row, std::int32_t, const Cell& cell) {
    const auto pos = row - r1;
    const Value& v = cell.value;
    if (v.is_number()) {
      // NaN equals nothing, and would break the order.
      if (!std::isnan(v.number())) m_numbers.emplace_back(v.number(), pos);
    } else if (v.is_text()) {
      m_texts.emplace(unicode::case_folded(v.text()), pos);  // the first one stays
    } else if (v.type() == ValueType::Bool) {
      std::int32_t& first = v.as_bool() ? m_true : m_false;
      if (first < 0) first = pos;
    }
  });
  std::sort(m_numbers.begin(), m_numbers.end());
}

std::int64_t ColumnIndex::find(const Value& want) const {
  if (want.is_text()) {
    const auto it = m_texts.find(unicode::case_folded(want.text()));
    return it == m_texts.end() ? -1 : it->second;
  }
  if (want.type() == ValueType::Bool) return want.as_bool() ? m_true : m_false;
  if (!want.is_number()) return -1;
  // The values nearly equal to want lie side by side around it; each run
  // of one value starts with its first position.
  const double w = want.number();
  const auto by_value = [](const std::pair<double, std::int32_t>& p, double v) {
    return p.first < v;
  };
  const auto before_value = [](double v, const std::pair<double, std::int32_t>& p) {
    return v < p.first;
  };
  std::int64_t best = -1;
  const auto take = [&](std::int32_t pos) {
    if (best < 0 || pos < best) best = pos;
  };
  const auto begin = m_numbers.begin(), end = m_numbers.end();
  const auto at = std::lower_bound(begin, end, w, by_value);
  for (auto it = at; it != end && nearly_equal(it->first, w);) {
    take(it->second);
    it = std::upper_bound(it, end, it->first, before_value);
  }
  for (auto it = at; it != begin && nearly_equal((it - 1)->first, w);) {
    it = std::lower_bound(begin, it, (it - 1)->first, by_value);
    take(it->second);
  }
  return best;
}

std::size_t LookupCache::KeyHash::operator()(const Key& k) const {
  std::uint64_t h = k.sheet;
  for (const std::int32_t x : {k.col, k.r1, k.r2}) {
    h = (h ^ static_cast<std::uint32_t>(x)) * 0x9E3779B97F4A7C15ull;
  }
  return static_cast<std::size_t>(h ^ (h >> 29));
}

std::shared_ptr<const ColumnIndex> LookupCache::find(SheetId sheet, const CellStore& cells,
                                                     std::int32_t col, std::int32_t r1,
                                                     std::int32_t r2) {
  const std::uint64_t version = cells.column_version(col);
  const Key key{sheet, col, r1, r2};
  const auto it = m_entries.find(key);
  if (it == m_entries.end()) {
    if (m_entries.size() >= kMaxEntries) m_entries.clear();
    m_entries.emplace(key, Entry{version, nullptr});
    return nullptr;
  }
  Entry& e = it->second;
  if (e.version != version) {
    e.version = version;
    e.index.reset();
    return nullptr;
  }
  if (!e.index) e.index = std::make_shared<const ColumnIndex>(cells, col, r1, r2);
  return e.index;
}

}  // namespace quillo::spreadsheet
