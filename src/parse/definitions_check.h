// A check of a definitions file for the people who write one: what the
// loader accepts without complaint but reads in a way the author hardly
// meant. It reports unknown elements and attributes (a misspelt name is
// silently ignored when loading), field types and row or column rules that
// are not among the known ones, conversion functions that do not exist,
// numbers that are not numbers, duplicate field ids, codes that are not
// three characters long (field codes are cut by position), and categories
// without their url, updatefrq or invalidrequest, each with its line and
// column. A file that does not load at all gives the loader's error.
//
// Pure: takes the whole text, does no I/O. Any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quillo {

struct DefinitionsFinding {
  std::size_t line = 0;
  std::size_t column = 0;
  std::string message;
};

struct DefinitionsCheck {
  bool loaded = false;
  std::string load_error;                    // when not loaded: the loader's message
  std::vector<DefinitionsFinding> findings;  // in document order
};

// Checks the text of a definitions file; name is the file named in a load error.
DefinitionsCheck check_definitions(std::string_view xml, std::string_view name);

}  // namespace quillo
