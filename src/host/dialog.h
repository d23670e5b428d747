// Dialog models: the controls of a dialog and the handlers that give it its
// behaviour, with nothing drawn. A front end (or a test) reads the
// controls, changes them as a user would - types into a text box, picks a
// list entry, ticks a box, clicks a button - and fires the matching event;
// the dialog's handlers do the rest. Every dialog can list its controls in
// the order it created them, with kind and name, so a front end can render
// any dialog without knowing it.
//
// Event-loop thread only. Controls live as long as their dialog and keep
// their addresses (a dialog may hold references to them). Events for a
// control that does not exist, or that nobody handles, do nothing.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillo::host {

enum class ControlKind : std::int32_t {
  Label,
  Frame,
  ListBox,   // a list, possibly with several columns
  DropDown,  // a drop-down list (combo box)
  TextBox,
  CheckBox,
  Tree,
  Button,
};
std::string_view control_kind_name(ControlKind kind);

enum class DialogEvent : std::int32_t { Click, Change, DblClick, KeyDown };

// Key codes a KeyDown handler sees, numbered as the platform numbers them.
inline constexpr std::int32_t kKeyEnter = 13;

// A node of a tree control. key identifies what the node stands for; the
// parent is an index into the same tree's node list, -1 for a top node.
struct TreeNode {
  std::string key;
  std::string text;
  std::int32_t parent = -1;
};

struct Control {
  ControlKind kind = ControlKind::Label;
  std::string name;
  std::string caption;  // labels, frames, check boxes, buttons
  std::string text;     // text boxes; the chosen entry's text for drop-downs
  bool enabled = true;
  bool visible = true;

  // Lists: list holds column 0 of each row, more_columns the texts of
  // columns 1 and up of the same rows; list_index -1 means nothing is
  // chosen. The helpers below keep the two in step.
  std::int32_t column_count = 1;
  std::vector<std::string> column_heads;
  std::vector<std::string> list;
  std::vector<std::vector<std::string>> more_columns;
  std::int32_t list_index = -1;

  std::int32_t value = 0;  // check boxes: 1 ticked

  // Trees: the nodes in order; node_index -1 means no node is chosen.
  std::vector<TreeNode> nodes;
  std::int32_t node_index = -1;

  // List helpers. add_item appends a row with text in column 0.
  void add_item(std::string item);
  void add_row(std::vector<std::string> row);
  void remove_item(std::int32_t row);
  void clear();
  std::int32_t list_count() const { return static_cast<std::int32_t>(list.size()); }
  // The text at (row, column), empty outside the list.
  std::string item(std::int32_t row, std::int32_t column = 0) const;
  void set_item(std::int32_t row, std::int32_t column, std::string text);
  // One column of every row; every column of one row.
  std::vector<std::string> column(std::int32_t column = 0) const;
  std::vector<std::string> row(std::int32_t row) const;
  // The chosen row's column 0, empty when none is chosen.
  std::string chosen() const { return item(list_index, 0); }
};

class Dialog {
 public:
  using Handler = std::function<void(std::int32_t key)>;

  explicit Dialog(std::string name, std::string caption = {})
      : name(std::move(name)), caption(std::move(caption)) {}
  virtual ~Dialog() = default;
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  std::string name;
  std::string caption;
  bool visible = false;

  // The controls in creation order.
  const std::deque<Control>& controls() const { return m_controls; }
  // The control with this name (exact), or null.
  Control* control(std::string_view name);
  const Control* control(std::string_view name) const;

  // Registers the handler of an event on a control (one per pair).
  void on(std::string_view control, DialogEvent event, Handler handler);
  // Runs the handler of an event, if there is one.
  void fire(std::string_view control, DialogEvent event, std::int32_t key = 0);

  // A user's actions: each changes the control and fires its event. A click
  // on a disabled control does nothing; clicking a check box toggles it.
  void click(std::string_view control);
  void double_click(std::string_view control);
  void type(std::string_view control, std::string text);    // text box: Change
  void choose(std::string_view control, std::int32_t row);  // list: Change
  void choose_node(std::string_view control, std::int32_t node);
  void key_down(std::string_view control, std::int32_t key);

  void show() { visible = true; }
  void hide() { visible = false; }

 protected:
  Control& add(ControlKind kind, std::string name, std::string caption = {});
  Control& add_list(ControlKind kind, std::string name, std::vector<std::string> items,
                    std::int32_t columns = 1, std::vector<std::string> heads = {});

 private:
  std::deque<Control> m_controls;
  std::map<std::pair<std::string, DialogEvent>, Handler, std::less<>> m_handlers;
};

}  // namespace quillo::host
