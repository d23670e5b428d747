// cls_gui: the add-in's menu. build_menus puts a "&Tarnvale" pop-up into the
// worksheet menu bar just before the built-in Help menu; its entries open
// the symbol search, refresh all data, start the assistants, open the
// settings dialog, and open help and support pages in the browser.
//
// The dialogs and the refresh belong to the add-in's owner, which hands
// them in as GuiActions; an action left empty makes its entry do nothing.
// The menu's controls are permanent, so a menu left over from an earlier run
// (the host kept it) is replaced rather than doubled by build_menus.
//
// Event-loop thread only. cls_gui must outlive clicks on the menu it built;
// its destructor disconnects the entries so a late click does nothing. A
// page that cannot be opened is reported in a message box titled "Error".
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "addin/form_about.h"
#include "common/status.h"
#include "host/browser.h"
#include "host/command_bars.h"
#include "host/messages.h"

namespace quillo::addin {

// Where the help and support pages live.
inline constexpr std::string_view kProductSite = "https://quillo.example.org";
// The caption of the add-in's pop-up in the worksheet menu bar.
inline constexpr std::string_view kMenuCaption = "&Tarnvale";
inline constexpr std::string_view kUpdateDataCaption = "Update data";

struct GuiActions {
  std::function<void()> search;                 // "Search..."
  std::function<void()> single_item_assistant;  // "Single Dataitem Assistant"
  std::function<void()> history_assistant;      // "History Assistant"
  std::function<void()> create_weblink;         // "Create Weblink"
  std::function<void()> update_data;            // "Update data": the full refresh
  std::function<void()> settings;               // "Settings...": load and show the dialog
  std::function<std::string()> status_text;     // the About box's status line
};

class cls_gui {
 public:
  // site is the address of the help pages, without a trailing "/".
  cls_gui(host::CommandBars& bars, host::MessageSink& messages, host::BrowserOpener& browser,
          GuiActions actions, std::string site = std::string(kProductSite));
  ~cls_gui();
  cls_gui(const cls_gui&) = delete;
  cls_gui& operator=(const cls_gui&) = delete;

  // Replaces any "&Tarnvale" menus in the worksheet menu bar with a fresh
  // one. Fails (and leaves no menu) when the bar or its Help menu is missing
  // or a control cannot be added.
  Status build_menus();
  // Deletes the "&Tarnvale" menus; a missing menu is not an error.
  void remove_menus();

  // The entries' click handlers.
  void m1_Click();   // Search...
  void m2_Click();   // Single Dataitem Assistant
  void m6_Click();   // History Assistant
  void m8_Click();   // Create Weblink
  void m11_Click();  // About
  void m12_Click();  // Online help
  void m13_Click();  // Ask a question
  void m14_Click();  // Report a bug
  void m16_Click();  // Settings...
  void m17_Click();  // Update data

  // Opens address in the browser; when that fails, shows failure_message.
  void iexplorer_open(std::string_view address, std::string_view failure_message);

  // The About box once it has been shown or given a status, else null.
  const form_about* about() const { return m_about.get(); }
  // The About box, made (not shown) when there is none yet.
  form_about& about_box() {
    if (!m_about) m_about = std::make_unique<form_about>();
    return *m_about;
  }

  // The entries of the last menu built (stale handles once it is removed).
  host::ControlPtr m1, m2, m6, m8, m11, m12, m13, m14, m16, m17;

 private:
  Status add_menu_entries(host::CommandBarControls& menu);
  static void run(const std::function<void()>& action);

  host::CommandBars& m_bars;
  host::MessageSink& m_messages;
  host::BrowserOpener& m_browser;
  GuiActions m_actions;
  std::string m_site;
  std::unique_ptr<form_about> m_about;
};

// Enable or disable the "Update data" entry of the "&Tarnvale" menu (while a
// refresh runs, or as the update mode says). Nothing happens when the menu
// is absent.
void enable_updatedatamenu(host::CommandBars& bars);
void disable_updatedatamenu(host::CommandBars& bars);

}  // namespace quillo::addin
