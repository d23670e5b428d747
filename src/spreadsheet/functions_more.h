// The second table of built-in functions (functions_table_more.cpp), which
// find_builtin consults after the first. Internal to the spreadsheet library.
#pragma once

#include <span>
#include <string_view>

#include "spreadsheet/functions.h"

namespace quillo::spreadsheet {

// Every function of the second table, sorted by name.
std::span<const FunctionDef> more_builtins();

}  // namespace quillo::spreadsheet
