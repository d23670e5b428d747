// Typed entry: what a text becomes when it is written into a cell as a user
// would type it. Numeric text becomes a number ("1,234.5", "$12", "(3)"),
// "12.5%" a fraction, an ISO date ("2010-01-04", optionally with a time
// "10:30" or "10:30:15") a date serial, TRUE/FALSE a boolean, an error
// literal an error value; a leading apostrophe keeps the rest as text.
// Anything else stays text. Pure; any thread. Formulas ("=...") are the
// caller's business.
#pragma once

#include <string_view>

#include "common/value.h"

namespace quillo::spreadsheet {

struct TypedEntry {
  Value value;
  std::string_view format;  // a number format the entry implies ("yyyy-mm-dd"), or empty
};

TypedEntry typed_entry(std::string_view text);

}  // namespace quillo::spreadsheet
