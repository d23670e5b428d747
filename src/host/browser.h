// Browser openers: how the engine shows a web page (its help pages, the
// support forms) in the user's browser. The engine only ever asks for web
// addresses, so an opener refuses anything that is not http or https; that
// also keeps an address from being read as an option of the program that
// opens it.
//
// XdgOpenBrowser hands the address to the desktop's opener (xdg-open) as an
// argument, never through a shell, and returns without waiting for the
// browser. RecordingBrowser keeps the addresses for tests.
//
// Event-loop thread only. A failure is a Status: InvalidArgument for an
// address that is not a web address, OperationFailed when the opener program
// cannot be started. Nothing is shown to the user here; the caller decides.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "host/status.h"

namespace quillo::host {

class BrowserOpener {
 public:
  virtual ~BrowserOpener() = default;
  virtual Status open(std::string_view url) = 0;
};

// True for an http or https address (scheme in any letter case) with
// something after the "//" and no white space or control characters.
bool is_web_address(std::string_view url);

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

// Keeps every address it is asked to open, including refused ones; when
// fail is set every open fails as if no browser could be started.
class RecordingBrowser final : public BrowserOpener {
 public:
  Status open(std::string_view url) override {
    urls.emplace_back(url);
    if (fail) return Status::failed("the browser could not be started");
    return {};
  }
  std::vector<std::string> urls;
  bool fail = false;
};

}  // namespace quillo::host
