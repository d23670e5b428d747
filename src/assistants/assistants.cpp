#include "assistants/assistants.h"

namespace quillo::assistants {

Assistants::Assistants(Workplace place) : m_place(std::move(place)) {
  std::weak_ptr<int> alive = m_alive;
  m_place.engine.set_processor(
      kSearchProcessor, [this, alive](const std::string& body, std::int32_t, std::int16_t status,
                                      const std::string& message) {
        // Only a search still waiting takes the answer: a closed dialog's
        // late answer must not fill a fresh one.
        if (alive.expired() || !m_search || m_search->closed() || !m_search->searching_now()) {
          return;
        }
        m_search->search_results(body, status, message);
      });
}

form_search1& Assistants::fresh_search() {
  if (!m_search || m_search->closed()) m_search = std::make_unique<form_search1>(m_place);
  return *m_search;
}

form_search1& Assistants::open_search() {
  form_search1& s = fresh_search();
  s.init();
  // Opened from the menu the ids go into the sheet, even when an assistant
  // opened this dialog in mode 2 before.
  s.setmode(0);
  s.set_receiver({});
  s.show();
  return s;
}

form_search1& Assistants::open_search_for(std::function<void(const std::string&)> receiver) {
  form_search1& s = fresh_search();
  s.init();
  s.setmode(2);
  s.set_receiver(std::move(receiver));
  s.show();
  return s;
}

wiz2& Assistants::step2() {
  if (!m_wiz2) {
    m_wiz2 = std::make_unique<wiz2>(m_place);
    m_wiz2->on_next = [this] {
      m_wiz3 = std::make_unique<wiz3>(m_place, m_wiz2->ids(), m_wiz2->fields());
      m_wiz3->on_back = [this] { m_wiz2->show(); };
      m_wiz3->show();
    };
  }
  return *m_wiz2;
}

wiz1& Assistants::open_single_item() {
  if (!m_wiz1 || m_wiz1->closed()) {
    m_wiz1 = std::make_unique<wiz1>(m_place);
    m_wiz1->on_search = [this] {
      open_search_for([this](const std::string& ids) {
        if (m_wiz1) m_wiz1->type("dlg_ids", ids);
      });
    };
    m_wiz1->on_next = [this](const std::string& source, const std::string& ids) {
      wiz2& w = step2();
      w.setup(source, ids);
      w.show();
    };
  }
  m_wiz1->show();
  return *m_wiz1;
}

wizard_step_1& Assistants::open_history() {
  if (!m_step1) {
    m_step1 = std::make_unique<wizard_step_1>();
    m_options = std::make_unique<form_history_options>(m_place);
    m_step2 = std::make_unique<wizard_step_2>(m_place, *m_step1, *m_options);
    m_step1->on_search = [this] {
      open_search_for([this](const std::string& ids) { m_step1->type("instrument", ids); });
    };
    m_step1->on_next = [this] {
      m_options->init();
      m_options->show();
    };
    m_options->on_ok = [this] {
      m_step2->init(m_step1->code_get(1), m_step1->source_get(), 5);
      m_step2->show();
    };
    m_step2->on_back = [this] { m_options->show(); };
  }
  m_step1->source_list.clear();
  m_step1->source_list.add_item("Yahoo");
  m_step1->source_list.list_index = 0;
  m_step1->source_list.text = "Yahoo";
  m_step1->init(5);
  m_step1->show();
  return *m_step1;
}

}  // namespace quillo::assistants
