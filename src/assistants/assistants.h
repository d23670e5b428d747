// Assistants: the owner of the assistant dialogs - the symbol search, the
// single data item assistant and the history assistant. Each dialog is made
// on first use and reused; one that closed itself is made afresh at its
// next use. It also routes the answer of the search page (response
// processor "search_responseprocessor") to the open search dialog.
//
// Event-loop thread only. The engine in the workplace must outlive this
// object; an answer arriving after it is gone is dropped.
#pragma once

#include <memory>

#include "assistants/form_search1.h"
#include "assistants/history_assistant.h"
#include "assistants/single_item_assistant.h"
#include "assistants/workplace.h"

namespace quillo::assistants {

class Assistants {
 public:
  explicit Assistants(Workplace place);
  ~Assistants() = default;
  Assistants(const Assistants&) = delete;
  Assistants& operator=(const Assistants&) = delete;

  // "Search...": the search that writes ids below the active cell.
  form_search1& open_search();
  // "Single Dataitem Assistant": its first step.
  wiz1& open_single_item();
  // "History Assistant": its first step, with the single source "Yahoo".
  wizard_step_1& open_history();

  // The dialogs as they stand (null before first use).
  form_search1* search() { return m_search.get(); }
  wiz1* single_step1() { return m_wiz1.get(); }
  wiz2* single_step2() { return m_wiz2.get(); }
  wiz3* single_step3() { return m_wiz3.get(); }
  wizard_step_1* history_step1() { return m_step1.get(); }
  form_history_options* history_options() { return m_options.get(); }
  wizard_step_2* history_step2() { return m_step2.get(); }

  Workplace& workplace() { return m_place; }

 private:
  // The search in mode 2, handing the chosen ids to receiver.
  form_search1& open_search_for(std::function<void(const std::string&)> receiver);
  form_search1& fresh_search();
  wiz2& step2();

  Workplace m_place;
  std::unique_ptr<form_search1> m_search;
  std::unique_ptr<wiz1> m_wiz1;
  std::unique_ptr<wiz2> m_wiz2;
  std::unique_ptr<wiz3> m_wiz3;
  std::unique_ptr<wizard_step_1> m_step1;
  std::unique_ptr<form_history_options> m_options;
  std::unique_ptr<wizard_step_2> m_step2;
  std::shared_ptr<int> m_alive = std::make_shared<int>(0);
};

}  // namespace quillo::assistants
