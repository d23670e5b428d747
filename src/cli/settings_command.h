// `quillo settings`: prints every setting of the configuration store with
// its value; `quillo settings set NAME VALUE` changes one. Values are
// checked as the settings dialog checks them (its lists, a whole number for
// the time-outs) and saved as the dialog saves them.
#pragma once

#include <iosfwd>
#include <string>

namespace quillo::cli {

struct SettingsOptions {
  std::string name;  // empty: print every setting
  std::string value;
};

// Exit codes: 0 printed or saved, 1 the store could not be written, 2 an
// unknown setting or a value it does not take.
int run_settings(const SettingsOptions& options, std::ostream& out, std::ostream& err);

}  // namespace quillo::cli
