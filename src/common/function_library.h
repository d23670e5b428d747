// Function libraries: the text file an add-in is (our "tarnvale.xla"),
// declaring one worksheet function per line with the engine method it
// forwards to and the method's arguments in order:
//
//   # comments and blank lines are skipped
//   fsingle  = i_fsingle(inst, field, [options], caller)
//   wlink    = i_wlink(name, caller)
//
// An argument in brackets is optional; the argument named "caller" is not
// written in formulas but receives the calling cell. Names are letters,
// digits, "_" and "." and compare ignoring letter case.
//
// Only the file's format lives here, below the spreadsheet, so that a host
// that does not compute formulas itself (the Windows DLL) can read the
// declarations too; spreadsheet/add_in_catalog.h makes the functions of
// installed libraries callable from formulas. Parsing is pure; loading
// reads the file. Any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"

namespace quillo {

struct LibraryParam {
  std::string name;
  bool optional = false;
  bool caller = false;
};

struct LibraryFunction {
  std::string name;
  std::string method;
  std::vector<LibraryParam> params;
};

struct FunctionLibrary {
  std::vector<LibraryFunction> functions;
  const LibraryFunction* find(std::string_view name) const;
};

// Fails with OperationFailed naming the line of the first mistake.
Result<FunctionLibrary> parse_function_library(std::string_view text);
Result<FunctionLibrary> load_function_library(const std::string& path);

}  // namespace quillo
