#include "host/add_ins.h"

#include "common/text.h"

namespace quillo::host {

void AddInMethods::add(std::string_view name, AddInMethod method) {
  m_methods[text::lower(name)] = std::make_shared<const AddInMethod>(std::move(method));
}

bool AddInMethods::remove(std::string_view name) {
  return m_methods.erase(text::lower(name)) > 0;
}

std::shared_ptr<const AddInMethod> AddInMethods::find(std::string_view name) const {
  const auto it = m_methods.find(text::lower(name));
  return it == m_methods.end() ? nullptr : it->second;
}

}  // namespace quillo::host
