#include "windows/core_methods.h"

#include <algorithm>
#include <cctype>

#include "common/function_library.h"
#include "common/text.h"
#include "windows/library_text.h"

namespace quillo::windows {

namespace {

std::vector<CoreMethod> read_methods() {
  std::vector<CoreMethod> methods;
  auto library = parse_function_library(kLibraryText);
  if (!library.ok()) return methods;  // the build's own file; its tests parse it
  for (const LibraryFunction& f : library->functions) {
    const bool listed = std::any_of(methods.begin(), methods.end(), [&](const CoreMethod& m) {
      return text::iequals(m.name, f.method);
    });
    if (listed) continue;
    methods.push_back(
        CoreMethod{f.method, f.params.size(), static_cast<DISPID>(methods.size() + 1)});
  }
  return methods;
}

}  // namespace

const std::vector<CoreMethod>& core_methods() {
  static const std::vector<CoreMethod> methods = read_methods();
  return methods;
}

const CoreMethod* find_core_method(std::wstring_view name) {
  for (const CoreMethod& m : core_methods()) {
    if (m.name.size() != name.size()) continue;
    // The names are ASCII; anything else never matches.
    const bool same = std::equal(m.name.begin(), m.name.end(), name.begin(), [](char a, wchar_t b) {
      return b < 128 && std::tolower(static_cast<unsigned char>(a)) ==
                            std::tolower(static_cast<unsigned char>(b));
    });
    if (same) return &m;
  }
  return nullptr;
}

const CoreMethod* find_core_method(DISPID id) {
  const auto& methods = core_methods();
  if (id < 1 || static_cast<std::size_t>(id) > methods.size()) return nullptr;
  return &methods[static_cast<std::size_t>(id) - 1];
}

}  // namespace quillo::windows
