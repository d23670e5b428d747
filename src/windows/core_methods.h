// The function library's engine methods as quillo.core answers them: the
// names of data/tarnvale.xla's methods (built into the DLL), their
// dispatch identifiers and argument counts.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::windows {

struct CoreMethod {
  std::string name;          // "i_fsingle"
  std::size_t arguments{0};  // in the library's order, the calling cell included
  DISPID id{0};              // 1-based, in the library's order
};

// Every method the built-in function library declares, each once.
const std::vector<CoreMethod>& core_methods();
// The method of that name (letter case ignored), or null.
const CoreMethod* find_core_method(std::wstring_view name);
const CoreMethod* find_core_method(DISPID id);

}  // namespace quillo::windows
