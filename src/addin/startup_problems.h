// What keeps the add-in from working as its files say, in words for the
// user, each naming the file and why: a settings file that exists but
// cannot be read (its settings would be replaced by defaults - another
// install folder, another history service - without a word), definitions
// that did not load (every field would only be called invalid). The
// command line refuses to run on the first; a host that runs on shows
// them (the Calc extension, as messages).
//
// A damaged settings file (one that reads, but is no settings file) is
// not among them: the registry store says so on its warning sink once, as
// it reads it.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "addin/modRegistry.h"

namespace quillo::addin {

// settings_dir: where the user's settings file is kept;
// definitions_error: AddinState::definitions_error() after connecting.
// Empty when nothing is wrong.
std::vector<std::string> startup_problems(modRegistry& registry,
                                          const std::filesystem::path& settings_dir,
                                          std::string_view definitions_error);

}  // namespace quillo::addin
