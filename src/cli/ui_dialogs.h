// The add-in's menu, dialogs and message boxes as the browser page sees
// them: JSON descriptions built from the menu and dialog models, and the
// user's actions on them handed back to the models. The page renders any
// dialog from its description (controls in creation order, with kind,
// name, caption, text, lists, enabled state), so a new dialog needs no
// front-end code.
//
// Loop thread only.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "addin/dataload.h"
#include "common/status.h"
#include "host/command_bars.h"
#include "host/dialog.h"
#include "host/messages.h"

namespace quillo::cli {

// Message boxes kept for the pages, which show them one at a time as modal
// messages and take each away when the user closes it. A message belongs to
// the page whose action raised it (page is set while that action runs);
// one raised by no page's action (an empty page) is every page's.
class PageMessages final : public host::MessageSink {
 public:
  void message_box(std::string_view text, std::string_view title, host::MessageIcon icon) override;
  struct Message {
    std::string text;
    std::string title;
    host::MessageIcon icon;
    std::string page;
  };
  std::deque<Message> waiting;
  std::string page;  // the page whose action is running now
  // Whether page shows m.
  static bool seen_by(const Message& m, const std::string& page) {
    return m.page.empty() || m.page == page;
  }
  // Takes away the first message page shows.
  void dismiss(const std::string& page);
};

// The entries of the add-in's menu: [{"path":"1","caption":"&Search...",
// "enabled":true,"group":false,"items":[...]}]; "[]" when it has none.
std::string menu_json(host::CommandBars& bars);
// Clicks the entry at path ("3" or "2.1": 1-based positions).
Status click_menu(host::CommandBars& bars, std::string_view path);

// Whether any dialog of the add-in (the About box included) is shown.
bool any_dialog_shown(addin::AddinState& state);

// What one page shows: every dialog of the add-in that is shown now (when
// the dialogs are that page's; else none, and "elsewhere" says that another
// page has them), the messages waiting for that page and whether its link
// wizard is open:
// {"dialogs":[...],"messages":[...],"weblink":false,"elsewhere":false}.
std::string dialogs_json(addin::AddinState& state, const PageMessages& messages,
                         const std::string& page, bool dialogs_here, bool link_wizard_open);

// Closes every shown dialog of the add-in as the user's Cancel would: its
// Cancel (or Close) button is clicked, so the add-in tidies up as usual; a
// dialog without one is hidden.
void cancel_dialogs(addin::AddinState& state);

// A user's action on a control of a shown dialog: "click", "dblclick",
// "type" (value: the text), "choose" (value: the row, -1 for none),
// "node" (value: the node) or "key" (value: the key code).
Status dialog_action(addin::AddinState& state, std::string_view dialog, std::string_view control,
                     std::string_view action, const std::string& value);

}  // namespace quillo::cli
