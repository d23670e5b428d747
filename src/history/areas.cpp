#include "history/areas.h"

namespace quillo::history {

std::size_t AreaTable::area_find_or_add(const std::string& key) {
  if (const auto it = m_by_key.find(key); it != m_by_key.end()) return it->second;
  Area a;
  a.key = key;
  m_areas.push_back(std::move(a));
  m_by_key.emplace(key, m_areas.size());
  return m_areas.size();
}

void AreaTable::reset() {
  m_areas.clear();
  m_by_key.clear();
  areas_dirty = false;
}

}  // namespace quillo::history
