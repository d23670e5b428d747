// Command bars: the menu model the engine builds its menu in. A bar (such as
// "Worksheet Menu Bar") holds controls; a pop-up control holds controls of its
// own; a button runs its click handler. Built-in controls carry the platform's
// control ids (Help is 30010), custom ones id 1.
//
// Controls are shared handles. Deleting a control (or its bar) removes it and
// its children from the tree; any handle still held then fails every
// operation with ObjectRequired (424). Event-loop thread only; a click
// handler may change the tree, including deleting its own control.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"

namespace quillo::host {

class CommandBarControl;
using ControlPtr = std::shared_ptr<CommandBarControl>;

enum class ControlType : std::int32_t { Button = 1, Popup = 10 };

// Built-in control ids of the worksheet menu bar.
inline constexpr std::int32_t kCustomControlId = 1;
inline constexpr std::int32_t kHelpMenuId = 30010;

// The controls of a bar or of a pop-up, in display order.
class CommandBarControls {
 public:
  CommandBarControls() = default;
  CommandBarControls(const CommandBarControls&) = delete;
  CommandBarControls& operator=(const CommandBarControls&) = delete;
  ~CommandBarControls();

  std::int32_t count() const { return static_cast<std::int32_t>(m_items.size()); }
  Result<ControlPtr> item(std::int32_t index) const;  // 1-based
  // By caption, ignoring letter case and "&" accelerator marks.
  Result<ControlPtr> item(std::string_view caption) const;
  // Adds a custom control before the control at index before (1-based), or
  // at the end when before is 0.
  Result<ControlPtr> add(ControlType type, std::int32_t before = 0, bool temporary = false);
  // Adds a built-in control (used to lay out the default bars).
  ControlPtr add_built_in(ControlType type, std::int32_t id, std::string caption);

 private:
  friend class CommandBarControl;
  std::vector<ControlPtr> m_items;
  bool m_gone = false;  // the owner was deleted
};

class CommandBarControl : public std::enable_shared_from_this<CommandBarControl> {
 public:
  using ClickHandler = std::function<void(CommandBarControl&)>;

  CommandBarControl(CommandBarControls* parent, ControlType type, std::int32_t id, bool built_in,
                    bool temporary);

  Result<std::int32_t> id() const;
  Result<ControlType> type() const;
  Result<bool> built_in() const;
  Result<bool> temporary() const;
  Result<std::string> caption() const;
  Status set_caption(std::string_view caption);
  Result<std::string> tag() const;
  Status set_tag(std::string_view tag);
  Result<bool> enabled() const;
  Status set_enabled(bool on);
  // True draws a separator line above the control.
  Result<bool> begin_group() const;
  Status set_begin_group(bool on);
  // Position among its siblings, 1-based.
  Result<std::int32_t> index() const;
  // The controls of a pop-up; NotSupported for a button.
  Result<CommandBarControls*> controls();

  Status on_click(ClickHandler handler);
  // Runs the click handler; a disabled control fails with OperationFailed.
  Status click();
  // Deletes the control and everything under it.
  Status remove();

  bool alive() const { return m_parent != nullptr; }

 private:
  friend class CommandBarControls;
  void detach();  // marks this control and its children as deleted

  CommandBarControls* m_parent;  // null once deleted
  ControlType m_type;
  std::int32_t m_id;
  bool m_built_in;
  bool m_temporary;
  std::string m_caption;
  std::string m_tag;
  bool m_enabled = true;
  bool m_begin_group = false;
  ClickHandler m_handler;
  std::unique_ptr<CommandBarControls> m_children;  // pop-ups only
};

class CommandBar {
 public:
  explicit CommandBar(std::string name) : m_name(std::move(name)) {}
  const std::string& name() const { return m_name; }
  CommandBarControls& controls() { return m_controls; }
  // The first control with that id, searching pop-ups too when recursive;
  // a null pointer when there is none.
  ControlPtr find_control(std::int32_t id, bool recursive = true) const;
  ControlPtr find_control_by_caption(std::string_view caption, bool recursive = true) const;

 private:
  std::string m_name;
  CommandBarControls m_controls;
};

// The application's command bars. A new set holds the "Worksheet Menu Bar"
// with its built-in menus (File ... Help).
class CommandBars {
 public:
  CommandBars();
  std::int32_t count() const { return static_cast<std::int32_t>(m_bars.size()); }
  Result<CommandBar*> item(std::int32_t index) const;     // 1-based
  Result<CommandBar*> item(std::string_view name) const;  // any letter case
  Result<CommandBar*> add(std::string_view name);
  ControlPtr find_control(std::int32_t id) const;  // across all bars

 private:
  std::vector<std::unique_ptr<CommandBar>> m_bars;
};

inline constexpr std::string_view kWorksheetMenuBar = "Worksheet Menu Bar";

}  // namespace quillo::host
