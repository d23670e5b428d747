// Message boxes on Windows: MessageBoxW with the UTF-8 text and title
// converted, an OK button and the engine's icon, owned by this thread's
// active window (the host's main window when the add-in runs on the host's
// user-interface thread) or, when there is none, by a foreground window of
// this process; with no owner at all the box is task-modal.
//
// Event-loop thread only; the call returns when the user closes the box.
#pragma once

#include <string_view>

#include "host/messages.h"

namespace quillo::host {

class MessageBoxMessages final : public MessageSink {
 public:
  void message_box(std::string_view text, std::string_view title, MessageIcon icon) override;
};

}  // namespace quillo::host
