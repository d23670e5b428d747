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

// Message boxes kept for the page, which shows them one at a time as modal
// messages and takes each away when the user closes it.
class PageMessages final : public host::MessageSink {
 public:
  void message_box(std::string_view text, std::string_view title, host::MessageIcon icon) override;
  struct Message {
    std::string text;
    std::string title;
    host::MessageIcon icon;
  };
  std::deque<Message> waiting;
};

// The entries of the add-in's menu: [{"path":"1","caption":"&Search...",
// "enabled":true,"group":false,"items":[...]}]; "[]" when it has none.
std::string menu_json(host::CommandBars& bars);
// Clicks the entry at path ("3" or "2.1": 1-based positions).
Status click_menu(host::CommandBars& bars, std::string_view path);

// Every dialog of the add-in that is shown now, the waiting messages and
// whether the page's link wizard is open:
// {"dialogs":[...],"messages":[...],"weblink":false}.
std::string dialogs_json(addin::AddinState& state, const PageMessages& messages,
                         bool link_wizard_open);

// A user's action on a control of a shown dialog: "click", "dblclick",
// "type" (value: the text), "choose" (value: the row, -1 for none),
// "node" (value: the node) or "key" (value: the key code).
Status dialog_action(addin::AddinState& state, std::string_view dialog, std::string_view control,
                     std::string_view action, const std::string& value);

}  // namespace quillo::cli
