// The history assistant: three dialogs that write a price-history block -
// the instrument id, start date, end date and sampling code in four cells
// of one column, and below them an fhistory formula (R1C1) that reads
// those four cells, so the user can later change them and the table
// follows.
//
//   wizard_step_1         source and instrument ids (mode 5)
//   form_history_options  dates, sampling, sort, orientation, header
//   wizard_step_2         the history columns to show; finish writes
//
// Event-loop thread only. The dialogs keep their entries while hidden, so
// Back shows them unchanged. Nothing is written before finish; a block that
// does not fit on the sheet is not written at all (message box titled
// "History Assistant").
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "assistants/workplace.h"
#include "host/dialog.h"

namespace quillo::assistants {

inline constexpr const char* kHistoryDateFormat = "[$-409]d-mmm-yy;@";

class wizard_step_1 : public host::Dialog {
 public:
  wizard_step_1();

  host::Control& Label1 = add(host::ControlKind::Label, "Label1", "Source:");
  host::Control& source_list = add(host::ControlKind::DropDown, "source_list");
  host::Control& Label2 = add(host::ControlKind::Label, "Label2", "Instrument id:");
  host::Control& instrument = add(host::ControlKind::TextBox, "instrument");
  host::Control& button_search = add(host::ControlKind::Button, "button_search", "Search...");
  host::Control& button_next = add(host::ControlKind::Button, "button_next", "Next >");
  host::Control& button_cancel = add(host::ControlKind::Button, "button_cancel", "Cancel");

  void init(std::int16_t mode);
  std::int16_t codenum_get() const { return static_cast<std::int16_t>(m_codes.size()); }
  // The index-th id (from 1); empty when there is none.
  std::string code_get(std::int32_t index) const;
  std::string source_get() const { return source_list.text; }

  std::function<void()> on_search;  // open the search, ids back into the box
  std::function<void()> on_next;    // show the options

 private:
  std::int16_t m_mode = 0;
  std::vector<std::string> m_codes;
};

class form_history_options : public host::Dialog {
 public:
  explicit form_history_options(Workplace& place);

  host::Control& Label1 = add(host::ControlKind::Label, "Label1", "Start date:");
  host::Control& start_day = add(host::ControlKind::DropDown, "start_day");
  host::Control& start_month = add(host::ControlKind::DropDown, "start_month");
  host::Control& start_year = add(host::ControlKind::DropDown, "start_year");
  host::Control& Label2 = add(host::ControlKind::Label, "Label2", "End date:");
  host::Control& end_day = add(host::ControlKind::DropDown, "end_day");
  host::Control& end_month = add(host::ControlKind::DropDown, "end_month");
  host::Control& end_year = add(host::ControlKind::DropDown, "end_year");
  host::Control& Label3 = add(host::ControlKind::Label, "Label3", "Sampling:");
  host::Control& sampling = add(host::ControlKind::DropDown, "sampling");
  host::Control& Label4 = add(host::ControlKind::Label, "Label4", "Sort:");
  host::Control& sort = add(host::ControlKind::DropDown, "sort");
  host::Control& Label5 = add(host::ControlKind::Label, "Label5", "Orientation:");
  host::Control& orientation = add(host::ControlKind::DropDown, "orientation");
  host::Control& Label6 = add(host::ControlKind::Label, "Label6", "Header:");
  host::Control& header = add(host::ControlKind::DropDown, "header");
  host::Control& button_ok = add(host::ControlKind::Button, "button_ok", "Ok");
  host::Control& button_cancel = add(host::ControlKind::Button, "button_cancel", "Cancel");

  void init();
  // Serials of the chosen dates; nullopt when the choice is no calendar
  // day (31 February) or incomplete.
  std::optional<double> startdate_get() const;
  std::optional<double> enddate_get() const;
  std::string sampling_get() const;
  std::string sort_get() const;
  std::string orientation_get() const;
  std::string header_get() const;

  void button_ok_Click();
  void button_cancel_Click() { hide(); }

  std::function<void()> on_ok;  // show the second step

 private:
  Workplace& m_place;
};

class wizard_step_2 : public host::Dialog {
 public:
  wizard_step_2(Workplace& place, wizard_step_1& step1, form_history_options& options);

  host::Control& orientation = add_list(host::ControlKind::DropDown, "orientation", {});
  host::Control& label_status = add(host::ControlKind::Label, "label_status");
  host::Control& Label1 = add(host::ControlKind::Label, "Label1", "Available fields:");
  host::Control& available = add(host::ControlKind::ListBox, "available");
  host::Control& Label2 = add(host::ControlKind::Label, "Label2", "Selected fields:");
  host::Control& selected = add(host::ControlKind::ListBox, "selected");
  host::Control& button_add = add(host::ControlKind::Button, "button_add", "Add ->");
  host::Control& button_addall = add(host::ControlKind::Button, "button_addall", "Add all");
  host::Control& button_remove = add(host::ControlKind::Button, "button_remove", "<- Remove");
  host::Control& button_back = add(host::ControlKind::Button, "button_back", "< Back");
  host::Control& button_cancel = add(host::ControlKind::Button, "button_cancel", "Cancel");
  host::Control& button_finish = add(host::ControlKind::Button, "button_finish", "Finish");

  void init(const std::string& code, const std::string& source, std::int16_t mode);
  // The request number of the block last written; 0 before (the block's
  // own request is made by its formula).
  std::int32_t get_request_num() const { return 0; }
  std::uint8_t source_number() const { return m_source_number; }
  bool history() const { return m_history; }

  // Writes the block at (r, c) of the active sheet; false when it was not
  // written (the reason shown).
  bool history_block_write(std::int32_t r, std::int32_t c);
  bool button_finish_Click();

  std::function<void()> on_back;  // show the options again
  std::function<void()> on_done;

 private:
  Workplace& m_place;
  wizard_step_1& m_step1;
  form_history_options& m_options;
  std::int16_t m_mode = 0;
  std::string m_source;
  std::uint8_t m_source_number = 0;
  bool m_history = false;
};

}  // namespace quillo::assistants
