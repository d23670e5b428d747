#include "host/dialog.h"

#include <algorithm>
#include <iterator>

namespace quillo::host {

std::string_view control_kind_name(ControlKind kind) {
  switch (kind) {
    case ControlKind::Label:
      return "label";
    case ControlKind::Frame:
      return "frame";
    case ControlKind::ListBox:
      return "listbox";
    case ControlKind::DropDown:
      return "dropdown";
    case ControlKind::TextBox:
      return "textbox";
    case ControlKind::CheckBox:
      return "checkbox";
    case ControlKind::Tree:
      return "tree";
    case ControlKind::Button:
      return "button";
  }
  return "control";
}

void Control::add_item(std::string item) {
  add_row({std::move(item)});
}

void Control::add_row(std::vector<std::string> row) {
  row.resize(static_cast<std::size_t>(std::max(column_count, 1)));
  more_columns.resize(list.size());
  list.push_back(std::move(row[0]));
  more_columns.emplace_back(std::make_move_iterator(row.begin() + 1),
                            std::make_move_iterator(row.end()));
}

void Control::remove_item(std::int32_t row) {
  if (row < 0 || row >= list_count()) return;
  list.erase(list.begin() + row);
  if (static_cast<std::size_t>(row) < more_columns.size()) {
    more_columns.erase(more_columns.begin() + row);
  }
  // The choice stays on the row that took the removed one's place.
  if (list_index >= list_count()) list_index = list_count() - 1;
}

void Control::clear() {
  list.clear();
  more_columns.clear();
  list_index = -1;
  text.clear();
}

std::string Control::item(std::int32_t row, std::int32_t column) const {
  if (row < 0 || row >= list_count() || column < 0) return {};
  const auto r = static_cast<std::size_t>(row);
  if (column == 0) return list[r];
  const auto c = static_cast<std::size_t>(column - 1);
  return r < more_columns.size() && c < more_columns[r].size() ? more_columns[r][c] : std::string();
}

void Control::set_item(std::int32_t row, std::int32_t column, std::string text) {
  if (row < 0 || row >= list_count() || column < 0) return;
  const auto r = static_cast<std::size_t>(row);
  if (column == 0) {
    list[r] = std::move(text);
    return;
  }
  const auto c = static_cast<std::size_t>(column - 1);
  if (more_columns.size() <= r) more_columns.resize(list.size());
  if (more_columns[r].size() <= c) more_columns[r].resize(c + 1);
  more_columns[r][c] = std::move(text);
}

std::vector<std::string> Control::column(std::int32_t column) const {
  std::vector<std::string> out;
  for (std::int32_t i = 0; i < list_count(); ++i) out.push_back(item(i, column));
  return out;
}

std::vector<std::string> Control::row(std::int32_t row) const {
  std::vector<std::string> out;
  for (std::int32_t c = 0; c < std::max(column_count, 1); ++c) out.push_back(item(row, c));
  return out;
}

Control* Dialog::control(std::string_view name) {
  for (Control& c : m_controls) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

const Control* Dialog::control(std::string_view name) const {
  for (const Control& c : m_controls) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

void Dialog::on(std::string_view control, DialogEvent event, Handler handler) {
  m_handlers[{std::string(control), event}] = std::move(handler);
}

void Dialog::fire(std::string_view control, DialogEvent event, std::int32_t key) {
  const auto it = m_handlers.find(std::pair<std::string, DialogEvent>(control, event));
  if (it == m_handlers.end() || !it->second) return;
  // A handler may replace handlers (or close the dialog): run a copy.
  const Handler h = it->second;
  h(key);
}

void Dialog::click(std::string_view name) {
  Control* c = control(name);
  if (c == nullptr || !c->enabled) return;
  if (c->kind == ControlKind::CheckBox) c->value = c->value == 1 ? 0 : 1;
  fire(name, DialogEvent::Click);
}

void Dialog::double_click(std::string_view name) {
  Control* c = control(name);
  if (c == nullptr || !c->enabled) return;
  fire(name, DialogEvent::DblClick);
}

void Dialog::type(std::string_view name, std::string text) {
  Control* c = control(name);
  if (c == nullptr || !c->enabled) return;
  c->text = std::move(text);
  fire(name, DialogEvent::Change);
}

void Dialog::choose(std::string_view name, std::int32_t row) {
  Control* c = control(name);
  if (c == nullptr || !c->enabled) return;
  c->list_index = row >= 0 && row < c->list_count() ? row : -1;
  c->text = c->chosen();
  fire(name, DialogEvent::Change);
}

void Dialog::choose_node(std::string_view name, std::int32_t node) {
  Control* c = control(name);
  if (c == nullptr || !c->enabled) return;
  c->node_index = node >= 0 && node < static_cast<std::int32_t>(c->nodes.size()) ? node : -1;
  fire(name, DialogEvent::Click);
}

void Dialog::key_down(std::string_view name, std::int32_t key) {
  Control* c = control(name);
  if (c == nullptr || !c->enabled) return;
  fire(name, DialogEvent::KeyDown, key);
}

Control& Dialog::add(ControlKind kind, std::string name, std::string caption) {
  Control& c = m_controls.emplace_back();
  c.kind = kind;
  c.name = std::move(name);
  c.caption = std::move(caption);
  return c;
}

Control& Dialog::add_list(ControlKind kind, std::string name, std::vector<std::string> items,
                          std::int32_t columns, std::vector<std::string> heads) {
  Control& c = add(kind, std::move(name));
  c.column_count = columns;
  c.column_heads = std::move(heads);
  for (std::string& i : items) c.add_item(std::move(i));
  return c;
}

}  // namespace quillo::host
