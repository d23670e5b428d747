#include "requests/cell_id.h"

namespace quillo {

std::string PlaceTable::joined(std::string_view book, std::string_view sheet) {
  std::string key;
  key.reserve(sheet.size() + 1 + book.size());
  key.append(sheet).append("/").append(book);
  return key;
}

std::optional<std::uint32_t> PlaceTable::find_other(std::string_view book,
                                                    std::string_view sheet) const {
  const auto it = m_ids.find(joined(book, sheet));
  if (it == m_ids.end()) return std::nullopt;
  m_last = it->second;
  return it->second;
}

std::uint32_t PlaceTable::intern_new(std::string_view book, std::string_view sheet) {
  if (const auto known = find_other(book, sheet)) return *known;
  std::uint32_t place = 0;
  if (!m_free.empty()) {
    place = m_free.back();
    m_free.pop_back();
    m_names[place] = Names{std::string(book), std::string(sheet)};
  } else {
    place = static_cast<std::uint32_t>(m_names.size());
    m_names.push_back(Names{std::string(book), std::string(sheet)});
  }
  m_ids.emplace(joined(book, sheet), place);
  m_last = place;
  return place;
}

void PlaceTable::release(std::uint32_t place) {
  if (place >= m_names.size()) return;
  Names& names = m_names[place];
  if (const auto it = m_ids.find(joined(names.book, names.sheet));
      it != m_ids.end() && it->second == place) {
    m_ids.erase(it);
    names = Names{};
    m_free.push_back(place);
    if (m_last == place) m_last = kNone;
  }
}

void PlaceTable::clear() {
  m_names.clear();
  m_ids.clear();
  m_free.clear();
  m_last = kNone;
}

}  // namespace quillo
