#include "host/command_bars.h"

#include <algorithm>

#include "common/text.h"

namespace quillo::host {

namespace {

Status gone() {
  return Status::object_required("the control was deleted");
}

// Captions compare ignoring letter case and the "&" that marks an accelerator.
bool same_caption(std::string_view a, std::string_view b) {
  std::string x(a), y(b);
  text::remove_chars(x, "&");
  text::remove_chars(y, "&");
  return text::iequals(x, y);
}

template <typename Pred>
ControlPtr find_in(const CommandBarControls& controls, bool recursive, const Pred& pred) {
  // Walk by index and copy each handle: a predicate never changes the tree,
  // but the handles keep the walk safe regardless.
  for (std::int32_t i = 1; i <= controls.count(); ++i) {
    auto item = controls.item(i);
    if (!item.ok()) continue;
    ControlPtr control = item.value();
    if (pred(*control)) return control;
    if (recursive) {
      auto children = control->controls();
      if (children.ok()) {
        if (ControlPtr found = find_in(*children.value(), true, pred)) return found;
      }
    }
  }
  return nullptr;
}

}  // namespace

// ---- CommandBarControls ----

CommandBarControls::~CommandBarControls() {
  for (const ControlPtr& c : m_items) c->detach();
}

Result<ControlPtr> CommandBarControls::item(std::int32_t index) const {
  if (m_gone) return gone();
  if (index < 1 || index > count()) return Status(StatusCode::OutOfRange, "no such control");
  return m_items[static_cast<std::size_t>(index - 1)];
}

Result<ControlPtr> CommandBarControls::item(std::string_view caption) const {
  if (m_gone) return gone();
  for (const ControlPtr& c : m_items) {
    if (same_caption(c->m_caption, caption)) return c;
  }
  return Status(StatusCode::OutOfRange, "no control captioned " + std::string(caption));
}

Result<ControlPtr> CommandBarControls::add(ControlType type, std::int32_t before, bool temporary) {
  if (m_gone) return gone();
  if (before < 0 || before > count() + 1) {
    return Status(StatusCode::InvalidArgument, "position out of range");
  }
  auto control =
      std::make_shared<CommandBarControl>(this, type, kCustomControlId, false, temporary);
  const std::size_t at = before == 0 ? m_items.size() : static_cast<std::size_t>(before - 1);
  m_items.insert(m_items.begin() + static_cast<std::ptrdiff_t>(at), control);
  return control;
}

ControlPtr CommandBarControls::add_built_in(ControlType type, std::int32_t id,
                                            std::string caption) {
  auto control = std::make_shared<CommandBarControl>(this, type, id, true, false);
  control->m_caption = std::move(caption);
  m_items.push_back(control);
  return control;
}

// ---- CommandBarControl ----

CommandBarControl::CommandBarControl(CommandBarControls* parent, ControlType type, std::int32_t id,
                                     bool built_in, bool temporary)
    : m_parent(parent), m_type(type), m_id(id), m_built_in(built_in), m_temporary(temporary) {
  if (type == ControlType::Popup) m_children = std::make_unique<CommandBarControls>();
}

void CommandBarControl::detach() {
  m_parent = nullptr;
  m_handler = nullptr;
  if (m_children) {
    m_children->m_gone = true;
    for (const ControlPtr& c : m_children->m_items) c->detach();
  }
}

Result<std::int32_t> CommandBarControl::id() const {
  if (!alive()) return gone();
  return m_id;
}
Result<ControlType> CommandBarControl::type() const {
  if (!alive()) return gone();
  return m_type;
}
Result<bool> CommandBarControl::built_in() const {
  if (!alive()) return gone();
  return m_built_in;
}
Result<bool> CommandBarControl::temporary() const {
  if (!alive()) return gone();
  return m_temporary;
}
Result<std::string> CommandBarControl::caption() const {
  if (!alive()) return gone();
  return m_caption;
}
Status CommandBarControl::set_caption(std::string_view caption) {
  if (!alive()) return gone();
  m_caption = std::string(caption);
  return {};
}
Result<std::string> CommandBarControl::tag() const {
  if (!alive()) return gone();
  return m_tag;
}
Status CommandBarControl::set_tag(std::string_view tag) {
  if (!alive()) return gone();
  m_tag = std::string(tag);
  return {};
}
Result<bool> CommandBarControl::enabled() const {
  if (!alive()) return gone();
  return m_enabled;
}
Status CommandBarControl::set_enabled(bool on) {
  if (!alive()) return gone();
  m_enabled = on;
  return {};
}
Result<bool> CommandBarControl::begin_group() const {
  if (!alive()) return gone();
  return m_begin_group;
}
Status CommandBarControl::set_begin_group(bool on) {
  if (!alive()) return gone();
  m_begin_group = on;
  return {};
}

Result<std::int32_t> CommandBarControl::index() const {
  if (!alive()) return gone();
  const auto& items = m_parent->m_items;
  const auto it = std::find_if(items.begin(), items.end(),
                               [this](const ControlPtr& c) { return c.get() == this; });
  return static_cast<std::int32_t>(it - items.begin()) + 1;
}

Result<CommandBarControls*> CommandBarControl::controls() {
  if (!alive()) return gone();
  if (!m_children) return Status(StatusCode::NotSupported, "a button has no controls");
  return m_children.get();
}

Status CommandBarControl::on_click(ClickHandler handler) {
  if (!alive()) return gone();
  m_handler = std::move(handler);
  return {};
}

Status CommandBarControl::click() {
  if (!alive()) return gone();
  if (!m_enabled) return Status::failed("the control is disabled");
  if (!m_handler) return {};
  // The handler may delete this control or replace its handler: keep both
  // alive for the duration of the call.
  const auto self = shared_from_this();
  const ClickHandler handler = m_handler;
  handler(*this);
  return {};
}

Status CommandBarControl::remove() {
  if (!alive()) return gone();
  auto& items = m_parent->m_items;
  const auto self = shared_from_this();
  items.erase(std::remove(items.begin(), items.end(), self), items.end());
  detach();
  return {};
}

// ---- CommandBar and CommandBars ----

ControlPtr CommandBar::find_control(std::int32_t id, bool recursive) const {
  return find_in(m_controls, recursive,
                 [id](const CommandBarControl& c) { return c.id().value_or(0) == id; });
}

ControlPtr CommandBar::find_control_by_caption(std::string_view caption, bool recursive) const {
  return find_in(m_controls, recursive, [caption](const CommandBarControl& c) {
    return same_caption(c.caption().value_or(""), caption);
  });
}

CommandBars::CommandBars() {
  auto bar = std::make_unique<CommandBar>(std::string(kWorksheetMenuBar));
  // The built-in menus of the worksheet menu bar with their platform ids.
  static constexpr struct {
    std::int32_t id;
    const char* caption;
  } kMenus[] = {{30002, "&File"},   {30003, "&Edit"},   {30004, "&View"},
                {30005, "&Insert"}, {30006, "F&ormat"}, {30007, "&Tools"},
                {30011, "&Data"},   {30009, "&Window"}, {kHelpMenuId, "&Help"}};
  for (const auto& m : kMenus) bar->controls().add_built_in(ControlType::Popup, m.id, m.caption);
  m_bars.push_back(std::move(bar));
}

Result<CommandBar*> CommandBars::item(std::int32_t index) const {
  if (index < 1 || index > count()) return Status(StatusCode::OutOfRange, "no such command bar");
  return m_bars[static_cast<std::size_t>(index - 1)].get();
}

Result<CommandBar*> CommandBars::item(std::string_view name) const {
  for (const auto& bar : m_bars) {
    if (text::iequals(bar->name(), name)) return bar.get();
  }
  return Status(StatusCode::OutOfRange, "no command bar named " + std::string(name));
}

Result<CommandBar*> CommandBars::add(std::string_view name) {
  if (name.empty() || item(name).ok()) return Status::failed("invalid command bar name");
  m_bars.push_back(std::make_unique<CommandBar>(std::string(name)));
  return m_bars.back().get();
}

ControlPtr CommandBars::find_control(std::int32_t id) const {
  for (const auto& bar : m_bars) {
    if (ControlPtr c = bar->find_control(id)) return c;
  }
  return nullptr;
}

}  // namespace quillo::host
