// The single data item assistant: three dialogs that write a table of
// fsingle formulas - instrument ids along one edge, field codes along the
// other, the chosen parameter values in a block above it.
//
//   wiz1  data source and instrument ids (the search opens form_search1
//         in mode 2, whose "Ok" fills the ids box)
//   wiz2  fields, picked from a tree of the source's categories and fields
//   wiz3  a drop-down per parameter of the chosen fields' categories, the
//         orientation, and finish, which writes the block
//
// Event-loop thread only. Nothing is written before finish; finish writes
// the whole block or, when it cannot (no ids, no fields, not enough room
// on the sheet), nothing, and says why in a message box titled
// "Single Dataitem Assistant".
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "assistants/workplace.h"
#include "host/dialog.h"

namespace quillo::assistants {

inline constexpr const char* kNoParameters = "There are no parameters to setup.";

class wiz1 : public host::Dialog {
 public:
  explicit wiz1(Workplace& place);

  host::Control& Label1 = add(host::ControlKind::Label, "Label1", "Data source:");
  host::Control& source_list = add(host::ControlKind::ListBox, "source_list");
  host::Control& Label2 =
      add(host::ControlKind::Label, "Label2", "Instrument ids (separated by \",\" or \";\"):");
  host::Control& dlg_ids = add(host::ControlKind::TextBox, "dlg_ids");
  host::Control& button_search = add(host::ControlKind::Button, "button_search", "Search...");
  host::Control& button_next = add(host::ControlKind::Button, "button_next", "Next >");
  host::Control& button_cancel = add(host::ControlKind::Button, "button_cancel", "Cancel");

  void UserForm_Initialize();
  void dlg_ids_Change() { button_next.enabled = !dlg_ids.text.empty(); }

  // What the buttons lead to, wired by the owner.
  std::function<void()> on_search;  // open the search in mode 2
  std::function<void(const std::string& source_code, const std::string& ids)> on_next;

  bool closed() const { return m_closed; }

 private:
  Workplace& m_place;
  bool m_closed = false;
};

class wiz2 : public host::Dialog {
 public:
  explicit wiz2(Workplace& place);

  host::Control& Label1 = add(host::ControlKind::Label, "Label1", "Available fields:");
  host::Control& ftree = add(host::ControlKind::Tree, "ftree");
  host::Control& dlg_searchfield = add(host::ControlKind::TextBox, "dlg_searchfield");
  host::Control& button_searchfield =
      add(host::ControlKind::Button, "button_searchfield", "Search");
  host::Control& button_clearsearch =
      add(host::ControlKind::Button, "button_clearsearch", "Clear search");
  host::Control& label_found = add(host::ControlKind::Label, "label_found");
  host::Control& Label2 = add(host::ControlKind::Label, "Label2", "Selected fields:");
  host::Control& fieldlist = add(host::ControlKind::ListBox, "fieldlist");
  host::Control& button_add = add(host::ControlKind::Button, "button_add", "Add ->");
  host::Control& button_remove = add(host::ControlKind::Button, "button_remove", "<- Remove");
  host::Control& button_clear = add(host::ControlKind::Button, "button_clear", "Clear list");
  host::Control& button_next = add(host::ControlKind::Button, "button_next", "Next >");
  host::Control& button_cancel = add(host::ControlKind::Button, "button_cancel", "Cancel");

  void setup(const std::string& source_code, const std::string& ids);
  void loadfields(const std::string& search);
  void selectfield();

  const std::string& source_code() const { return m_source; }
  const std::string& ids() const { return m_ids; }
  std::vector<std::string> fields() const { return fieldlist.column(0); }

  std::function<void()> on_next;  // show wiz3

 private:
  Workplace& m_place;
  std::string m_source;
  std::string m_ids;
};

class wiz3 : public host::Dialog {
 public:
  // Builds the parameter controls from the categories of the fields.
  wiz3(Workplace& place, std::string ids, std::vector<std::string> fields);

  host::Control& Label1 = add(host::ControlKind::Label, "Label1", "Orientation:");
  host::Control& orientation =
      add_list(host::ControlKind::DropDown, "orientation", {"rows", "columns"});

  void UserForm_Initialize();
  // Writes the parameter block and the table at the active cell.
  bool finish();

  // Parameter controls: mylabel1.., mydropdown1..
  std::int32_t parameter_count() const { return m_count; }

  std::function<void()> on_back;  // show wiz2 again
  std::function<void()> on_done;  // the table was written

 private:
  // Writes the parameter names and values one column right of the anchor;
  // answers the options argument of the formulas.
  std::string write_parameter_block(const Anchor& at);

  Workplace& m_place;
  std::string m_ids;
  std::vector<std::string> m_fields;
  std::int32_t m_count = 0;
};

}  // namespace quillo::assistants
