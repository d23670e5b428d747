// form_about: the About box as a model. It names the product and its version
// and carries a status line (what the engine is doing, filled in by whoever
// shows the box). A front end draws it; tests read the fields.
//
// Event-loop thread only. Plain data; nothing here can fail.
#pragma once

#include <string>

namespace quillo::addin {

struct form_about {
  std::string caption = "About";
  std::string product = "Tarnvale";
  std::string version = "v 1.5a";
  std::string status;  // the status label
  bool visible = false;

  void show() { visible = true; }
  void hide() { visible = false; }
};

}  // namespace quillo::addin
