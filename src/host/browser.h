// Browser openers: how the engine shows a web page (its help pages, the
// support forms) in the user's browser. The engine only ever asks for web
// addresses, so an opener refuses anything that is not http or https; that
// also keeps an address from being read as an option of the program that
// opens it.
//
// XdgOpenBrowser (host/posix/xdg_open_browser.h) hands the address to the
// desktop's opener as an argument, never through a shell, and returns
// without waiting for the browser. RecordingBrowser keeps the addresses for
// tests.
//
// Event-loop thread only. A failure is a Status: InvalidArgument for an
// address that is not a web address, OperationFailed when the opener program
// cannot be started. Nothing is shown to the user here; the caller decides.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"

namespace quillo::host {

class BrowserOpener {
 public:
  virtual ~BrowserOpener() = default;
  virtual Status open(std::string_view url) = 0;
};

// True for an http or https address (scheme in any letter case) with
// something after the "//" and no white space or control characters.
bool is_web_address(std::string_view url);

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
