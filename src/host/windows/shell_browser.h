// Opens web addresses in the user's browser through the shell's "open"
// verb (ShellExecuteW), which returns without waiting for the browser.
// Only http and https addresses are handed over: anything else would let a
// caller start programs or open local files.
//
// Event-loop thread only. Failures as BrowserOpener says.
#pragma once

#include <string_view>

#include "host/browser.h"

namespace quillo::host {

class ShellBrowser final : public BrowserOpener {
 public:
  Status open(std::string_view url) override;
};

}  // namespace quillo::host
