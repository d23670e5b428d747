#include "parse/datarequest.h"

namespace quillo {

const ResultRow* datarequest::find_row(std::int32_t id) const {
  for (const ResultRow& row : parsed) {
    if (row.id == id) return &row;
  }
  return nullptr;
}

std::int32_t RequestTable::add(datarequest request) {
  m_requests.push_back(std::move(request));
  return static_cast<std::int32_t>(m_requests.size());
}

}  // namespace quillo
