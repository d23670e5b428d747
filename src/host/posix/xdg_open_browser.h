// Opens web addresses with the desktop's opener program (xdg-open): the
// address is its only argument, never read by a shell; the program's
// standard input is /dev/null and it gets the default signal mask.
//
// Event-loop thread only. Failures as BrowserOpener says.
#pragma once

#include <string>
#include <string_view>

#include "host/browser.h"

namespace quillo::host {

class XdgOpenBrowser final : public BrowserOpener {
 public:
  // program is looked up on PATH; tests name another one.
  explicit XdgOpenBrowser(std::string program = "xdg-open") : m_program(std::move(program)) {}

  // Starts the program with the address as its only argument. The child is
  // reaped by a detached thread, so neither the caller waits for the browser
  // nor does a finished child linger as a zombie.
  Status open(std::string_view url) override;

 private:
  std::string m_program;
};

}  // namespace quillo::host
