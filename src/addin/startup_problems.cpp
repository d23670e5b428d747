#include "addin/startup_problems.h"

namespace quillo::addin {

std::vector<std::string> startup_problems(modRegistry& registry,
                                          const std::filesystem::path& settings_dir,
                                          std::string_view definitions_error) {
  std::vector<std::string> out;
  if (registry.reg_rootstatus(HKEY_CURRENT_USER) != 0) {
    out.push_back("the settings file in " + settings_dir.string() +
                  " cannot be read: " + registry.last_error().system_error_text);
  }
  if (!definitions_error.empty()) {
    out.push_back("the definitions did not load: " + std::string(definitions_error));
  }
  return out;
}

}  // namespace quillo::addin
