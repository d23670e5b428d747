#include "addin/cls_gui.h"

#include <utility>

namespace quillo::addin {

namespace {

using host::CommandBarControls;
using host::ControlPtr;
using host::ControlType;

// Adds a control with its caption and separator at the end of menu.
Result<ControlPtr> add_control(CommandBarControls& menu, ControlType type, std::string_view caption,
                               bool begin_group) {
  auto added = menu.add(type, 0, false);
  if (!added.ok()) return added.status();
  ControlPtr control = added.value();
  if (Status s = control->set_caption(caption); !s.ok()) return s;
  if (Status s = control->set_begin_group(begin_group); !s.ok()) return s;
  return control;
}

// Deletes every top-level control captioned like the add-in's menu. Errors
// end the sweep quietly; the number of tries is bounded by the bar's size so
// a control that refuses to go cannot keep the loop turning.
void delete_menus(host::CommandBars& bars) {
  auto bar = bars.item(host::kWorksheetMenuBar);
  if (!bar.ok()) return;
  CommandBarControls& controls = bar.value()->controls();
  for (std::int32_t tries = controls.count(); tries > 0; --tries) {
    auto menu = controls.item(kMenuCaption);
    if (!menu.ok() || !menu.value()->remove().ok()) return;
  }
}

void set_update_data_enabled(host::CommandBars& bars, bool on) {
  auto bar = bars.item(host::kWorksheetMenuBar);
  if (!bar.ok()) return;
  auto menu = bar.value()->controls().item(kMenuCaption);
  if (!menu.ok()) return;
  auto entries = menu.value()->controls();
  if (!entries.ok()) return;
  auto update = entries.value()->item(kUpdateDataCaption);
  // Like the lookups above, a failure leaves the entry as it was: the menu
  // is only a convenience, and the command checks its own preconditions.
  if (update.ok()) (void)update.value()->set_enabled(on);
}

}  // namespace

cls_gui::cls_gui(host::CommandBars& bars, host::MessageSink& messages, host::BrowserOpener& browser,
                 GuiActions actions, std::string site)
    : m_bars(bars),
      m_messages(messages),
      m_browser(browser),
      m_actions(std::move(actions)),
      m_site(std::move(site)) {
  while (!m_site.empty() && m_site.back() == '/') m_site.pop_back();
}

cls_gui::~cls_gui() {
  // The menu is permanent and may outlive this object: its handlers point
  // here, so take them away.
  // A control the user or the host removed already has no handler to take.
  for (const ControlPtr& c : {m1, m2, m6, m8, m11, m12, m13, m14, m16, m17}) {
    if (c) (void)c->on_click({});
  }
}

Status cls_gui::build_menus() {
  delete_menus(m_bars);

  auto bar = m_bars.item(host::kWorksheetMenuBar);
  if (!bar.ok()) return bar.status();
  ControlPtr help = bar.value()->find_control(host::kHelpMenuId, false);
  if (!help) return Status::failed("the worksheet menu bar has no Help menu");
  auto help_index = help->index();
  if (!help_index.ok()) return help_index.status();

  auto added = bar.value()->controls().add(ControlType::Popup, help_index.value(), false);
  if (!added.ok()) return added.status();
  ControlPtr menu = added.value();
  Status s = menu->set_caption(kMenuCaption);
  if (s.ok()) {
    auto entries = menu->controls();
    s = entries.ok() ? add_menu_entries(*entries.value()) : entries.status();
  }
  // A half-built menu would be a trap for the user: take it away again, and
  // say so when even that fails.
  if (!s.ok()) {
    if (const Status removed = menu->remove(); !removed.ok()) {
      return Status(s.code(), s.message() + "; the half-built menu stays: " + removed.message());
    }
  }
  return s;
}

Status cls_gui::add_menu_entries(CommandBarControls& menu) {
  struct Entry {
    std::string_view caption;
    bool begin_group;
    ControlPtr cls_gui::*member;
    void (cls_gui::*click)();
  };
  static constexpr Entry kMain[] = {
      {"Search...", false, &cls_gui::m1, &cls_gui::m1_Click},
      {"Update data", true, &cls_gui::m17, &cls_gui::m17_Click},
      {"Single Dataitem Assistant", true, &cls_gui::m2, &cls_gui::m2_Click},
      {"History Assistant", false, &cls_gui::m6, &cls_gui::m6_Click},
      {"Create Weblink", false, &cls_gui::m8, &cls_gui::m8_Click},
      {"Settings...", false, &cls_gui::m16, &cls_gui::m16_Click},
  };
  static constexpr Entry kHelp[] = {
      {"Online help", false, &cls_gui::m12, &cls_gui::m12_Click},
      {"Ask a question", false, &cls_gui::m13, &cls_gui::m13_Click},
      {"Report a bug", false, &cls_gui::m14, &cls_gui::m14_Click},
      {"About", false, &cls_gui::m11, &cls_gui::m11_Click},
  };
  const auto add_buttons = [this](CommandBarControls& to, const auto& entries) -> Status {
    for (const Entry& e : entries) {
      auto button = add_control(to, ControlType::Button, e.caption, e.begin_group);
      if (!button.ok()) return button.status();
      this->*e.member = button.value();
      const auto click = e.click;
      if (Status s = button.value()->on_click(
              [this, click](host::CommandBarControl&) { (this->*click)(); });
          !s.ok()) {
        return s;
      }
    }
    return {};
  };

  if (Status s = add_buttons(menu, kMain); !s.ok()) return s;
  auto help = add_control(menu, ControlType::Popup, "Help", true);
  if (!help.ok()) return help.status();
  auto help_entries = help.value()->controls();
  if (!help_entries.ok()) return help_entries.status();
  return add_buttons(*help_entries.value(), kHelp);
}

void cls_gui::remove_menus() {
  delete_menus(m_bars);
}

void cls_gui::run(const std::function<void()>& action) {
  if (action) action();
}

void cls_gui::m1_Click() {
  run(m_actions.search);
}
void cls_gui::m2_Click() {
  run(m_actions.single_item_assistant);
}
void cls_gui::m6_Click() {
  run(m_actions.history_assistant);
}
void cls_gui::m8_Click() {
  run(m_actions.create_weblink);
}
void cls_gui::m16_Click() {
  run(m_actions.settings);
}
void cls_gui::m17_Click() {
  run(m_actions.update_data);
}

void cls_gui::m11_Click() {
  if (!m_about) m_about = std::make_unique<form_about>();
  m_about->show();
  m_about->status = m_actions.status_text ? m_actions.status_text() : std::string();
}

void cls_gui::m12_Click() {
  iexplorer_open(
      m_site + "/Tarnvale/help_1_1_11.html",
      "Unable to open Internet Explorer. Visit help at " + m_site + "/Tarnvale/help.html");
}

void cls_gui::m13_Click() {
  iexplorer_open(m_site + "/modules.php?name=Recommend_Us",
                 "Unable to open Internet Explorer. Visit Brenmoor for support.");
}

void cls_gui::m14_Click() {
  iexplorer_open(m_site + "/modules.php?name=Recommend_Us&qtype=2",
                 "Unable to open Internet Explorer. Visit Brenmoor for reporting a bug.");
}

void cls_gui::iexplorer_open(std::string_view address, std::string_view failure_message) {
  if (m_browser.open(address).ok()) return;
  m_messages.message_box(failure_message, "Error", host::MessageIcon::None);
}

void enable_updatedatamenu(host::CommandBars& bars) {
  set_update_data_enabled(bars, true);
}
void disable_updatedatamenu(host::CommandBars& bars) {
  set_update_data_enabled(bars, false);
}

}  // namespace quillo::addin
