// The worksheet functions as Calc's Function Wizard shows them: display
// name, description, and each argument's name and description, in the
// order of the UNO interface (data/tarnvale.xla's order, without the
// calling cell). The programmatic name is the interface's method name.
#pragma once

#include <array>
#include <string_view>

namespace quillo::lo {

struct ArgumentInfo {
  std::string_view name;
  std::string_view description;
};

struct FunctionInfo {
  std::string_view function;      // the library's name: "fsingle"
  std::string_view programmatic;  // the UNO method: "FSINGLE"
  std::string_view description;
  std::array<ArgumentInfo, 7> arguments;
  std::size_t argument_count;
};

// Every function, in the interface's order.
extern const std::array<FunctionInfo, 19> kFunctions;
// The function with that programmatic or display name (letter case
// ignored), or null.
const FunctionInfo* find_function(std::string_view name);

}  // namespace quillo::lo
