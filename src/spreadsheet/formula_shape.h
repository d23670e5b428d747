// What a parsed formula's text must hold, known without writing the text.
// Internal to the spreadsheet library.
#pragma once

#include <string_view>

#include "spreadsheet/formula.h"

namespace quillo::spreadsheet {

// False when text cannot be the formula f written out (write_formula):
// some text constant of f without a quote in it is not in text. True says
// nothing more than that it may be; the caller then writes f and compares.
// Entering a formula under another asks this first, as most such pairs
// differ in a text constant (a filled-down column of calls for different
// instruments).
bool may_be_written_as(const Formula& f, std::string_view text);

// A digest of what same_shape compares (never 0): formulas of one shape
// have the same digest, so differing digests tell two shapes apart at
// once. The parser stores it in Formula::shape.
std::uint32_t shape_digest(const Formula& f);

}  // namespace quillo::spreadsheet
