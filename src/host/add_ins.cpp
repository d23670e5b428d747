#include "host/add_ins.h"

#include "common/text.h"

namespace quillo::host {

std::vector<Value> AddInArgs::copied() const {
  std::vector<Value> values;
  values.reserve(m_items.size());
  for (const Value* v : m_items) values.push_back(*v);
  return values;
}

Value call_method(const AddInMethod& method, const std::vector<Value>& args) {
  std::vector<const Value*> items;
  items.reserve(args.size());
  for (const Value& v : args) items.push_back(&v);
  return method(AddInArgs(items));
}

void AddInMethods::add(std::string_view name, AddInMethod method) {
  m_methods[text::lower(name)] = std::make_shared<const AddInMethod>(std::move(method));
  ++m_generation;
}

bool AddInMethods::remove(std::string_view name) {
  ++m_generation;
  return m_methods.erase(text::lower(name)) > 0;
}

std::shared_ptr<const AddInMethod> AddInMethods::find(std::string_view name) const {
  // Every evaluation of a call to a library function asks: a short name is
  // lower-cased on the stack rather than into a new string.
  char lower[64];
  if (name.size() <= sizeof lower) {
    for (std::size_t i = 0; i < name.size(); ++i) lower[i] = text::lower_char(name[i]);
    const auto it = m_methods.find(std::string_view(lower, name.size()));
    return it == m_methods.end() ? nullptr : it->second;
  }
  const auto it = m_methods.find(text::lower(name));
  return it == m_methods.end() ? nullptr : it->second;
}

}  // namespace quillo::host
