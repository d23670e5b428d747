// modelmenueventhandler: the click of one model entry of the "Financial
// Templates" menu. It holds the entry's button and, on a click, asks for
// the model with the button's caption to be opened.
//
// Event-loop thread only. The menu is permanent and may outlive this
// object, so the destructor takes its handler off the button: a late click
// then does nothing.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "host/command_bars.h"

namespace quillo::addin {

class modelmenueventhandler {
 public:
  using Launch = std::function<void(const std::string& caption)>;

  explicit modelmenueventhandler(Launch launch) : m_launch(std::move(launch)) {}
  ~modelmenueventhandler() { unbind(); }
  modelmenueventhandler(const modelmenueventhandler&) = delete;
  modelmenueventhandler& operator=(const modelmenueventhandler&) = delete;

  // Binds the handler to a new button (the menu was built again).
  void bind(host::ControlPtr button) {
    unbind();
    EvtHandler = std::move(button);
    if (EvtHandler) {
      (void)EvtHandler->on_click([this](host::CommandBarControl&) { EvtHandler_Click(); });
    }
  }

  void EvtHandler_Click() {
    if (!EvtHandler || !m_launch) return;
    const auto caption = EvtHandler->caption();
    if (caption.ok()) m_launch(*caption);
  }

  host::ControlPtr EvtHandler;

 private:
  void unbind() {
    // A button the user or the host deleted has no handler left to take.
    if (EvtHandler) (void)EvtHandler->on_click({});
  }

  Launch m_launch;
};

}  // namespace quillo::addin
