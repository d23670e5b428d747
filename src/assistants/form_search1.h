// form_search1: the symbol search. The user picks a data source, types a
// name and searches; the source's search page is fetched on the "search"
// channel (request number 100002, answer to "search_responseprocessor"),
// its result table is listed as name, instrument id and exchange, and the
// user moves hits into a selection. "Ok" writes the selected ids down from
// the active cell, or, in mode 2, hands them as one comma-separated text to
// the assistant that opened the search.
//
// window_searching is the small box shown while a search runs.
//
// Event-loop thread only. The answer arrives later through search_results;
// an answer for a dialog that has closed meanwhile is ignored by its owner.
// A failed fetch, an answer with an HTTP status other than 2xx and an empty
// answer list one status row "Error - " and the reason, never "No results
// found."; rows of the result table whose cells are all empty are no hits.
// Problems the user must act on (no text, a source without a search page,
// a block that does not fit) are shown as message boxes titled "Search".
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "assistants/workplace.h"
#include "host/dialog.h"
#include "parse/definitions.h"

namespace quillo::assistants {

inline constexpr std::int32_t kSearchRequestNumber = 100002;
inline constexpr const char* kSearchProcessor = "search_responseprocessor";
inline constexpr const char* kNoResults = "No results found.";

class window_searching : public host::Dialog {
 public:
  window_searching() : Dialog("window_searching", "Searching") {}
  host::Control& Label1 = add(host::ControlKind::Label, "Label1", "Searching.... Please wait.");
};

class form_search1 : public host::Dialog {
 public:
  explicit form_search1(Workplace& place);

  host::Control& Label1 = add(host::ControlKind::Label, "Label1", "Select Source:");
  host::Control& source_list = add(host::ControlKind::DropDown, "source_list");
  host::Control& Label2 = add(host::ControlKind::Label, "Label2", "Instrument Name:");
  host::Control& instrument_name = add(host::ControlKind::TextBox, "instrument_name");
  host::Control& CommandButton1 = add(host::ControlKind::Button, "CommandButton1", "Search");
  host::Control& resultlist = add_list(host::ControlKind::ListBox, "resultlist", {}, 3,
                                       {"Name", "Instrument Id", "Exchange"});
  host::Control& Label3 = add(host::ControlKind::Label, "Label3", "Selected results:");
  host::Control& selection =
      add_list(host::ControlKind::ListBox, "selection", {}, 2, {"Name", "Instrument Id"});
  host::Control& CommandButton4 = add(host::ControlKind::Button, "CommandButton4", "->");
  host::Control& CommandButton5 = add(host::ControlKind::Button, "CommandButton5", "<-");
  host::Control& CommandButton3 = add(host::ControlKind::Button, "CommandButton3", "Ok");
  host::Control& CommandButton2 = add(host::ControlKind::Button, "CommandButton2", "Cancel");

  window_searching searching;

  // Fills the source list from the definitions and selects the first.
  void init();
  void setmode(std::int16_t mode) { m_mode = mode; }
  std::int16_t mode() const { return m_mode; }
  // Where mode 2 hands the chosen ids.
  void set_receiver(std::function<void(const std::string&)> receiver) {
    m_receiver = std::move(receiver);
  }

  void do_search();
  // The answer of the search page (body, HTTP status or -9999, error text).
  void search_results(const std::string& body, std::int16_t status, const std::string& error);

  void CommandButton1_Click() { do_search(); }
  void CommandButton4_Click();
  void resultlist_DblClick() { CommandButton4_Click(); }
  void CommandButton5_Click();
  void instrument_name_KeyDown(std::int32_t key);
  void CommandButton3_Click();
  void CommandButton2_Click() { close(); }
  void source_list_Change();

  // True while a search has been sent and not answered.
  bool searching_now() const { return m_waiting; }
  // True when the list holds a status row (an error, no results), not hits.
  bool status_row() const { return m_status_row; }
  // Closed (unloaded): the owner makes a fresh dialog at the next use.
  bool closed() const { return m_closed; }

 private:
  const DataSource* chosen_source() const;
  void status(std::string text);
  void close();

  Workplace& m_place;
  std::int16_t m_mode = 0;
  std::function<void(const std::string&)> m_receiver;
  std::optional<SearchDef> m_search;  // the searched source's search page, copied
  bool m_waiting = false;
  bool m_status_row = false;
  bool m_closed = false;
};

}  // namespace quillo::assistants
