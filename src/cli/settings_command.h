// `quillo settings`: prints every setting of the configuration store with
// its value; `get NAME` prints one, `set NAME VALUE` changes one and `unset
// NAME` removes it (its default applies again). Values are checked as the
// settings dialog checks them (its lists, a whole number of seconds from 1
// to 86400 for the time-outs, texts of at most 1024 bytes, which is what
// the store reads back). A change writes only its own value, inside the
// store's lock, so concurrent changes of other settings are kept; a settings
// file that exists but cannot be read is never written over.
#pragma once

#include <iosfwd>
#include <string>

namespace quillo::cli {

struct SettingsOptions {
  enum class Action { Print, Get, Set, Unset };
  std::string name;  // empty with Set (the default action when a name is given): print all
  std::string value;
  Action action = Action::Set;
};

// Exit codes: 0 printed or saved, 1 the store could not be read or written,
// 2 an unknown setting or a value it does not take.
int run_settings(const SettingsOptions& options, std::ostream& out, std::ostream& err);

}  // namespace quillo::cli
