// Conversion of the text cut out of a page into the value a cell shows.
//
// A field of the definitions says, by attributes, whether markup is
// stripped before or after its conversion steps (parseasvalue "2" / "1"),
// which of the conversion functions run (function, function1, with two
// parameters each), and whether the final text becomes a number
// (figureconvert "1"). Blanks at the ends are always removed.
//
// A step whose parameters do not fit (a position that is not a number, a
// start below 1, a negative length) abandons the conversion: the functions
// below answer false and leave the value as it stood before the failing
// step (as its text: the steps work on the text of the value, a number
// written as a cell shows it). Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/value.h"
#include "parse/cls_parsetable.h"
#include "parse/definitions.h"

namespace quillo {

// Converts value in place. table is the current table parse, which the
// "reu_pcheck" step reads (nullptr: no table parsed yet).
bool value_convert(const FieldDef& field, Value& value, const cls_parsetable* table);

// The same for a value that is the text html (a table cell): the text is
// converted in a buffer kept for the next cell, so a figure, as most cells
// are, costs no allocation, and a text one of its size.
bool html_value_convert(const FieldDef& field, std::string_view html, Value& value,
                        const cls_parsetable* table);

// The number of the conversion function of this name (exact), for
// FieldPlan; -1 for an empty or unknown name, which converts nothing.
int conversion_step(std::string_view name);

// The leading number of the value's text times the leading number of the factor.
Value multiply(std::string_view value, std::string_view factor);
// The text without its first and last character (unchanged below two characters).
std::string_view reu_pct_chng(std::string_view value);
// A row check on the current table: the value when column 1 of the field's
// row holds the marker; else, looking `back` rows up, that row's cell in the
// field's column; else "#N/A". nullopt when the field's row or column is
// not a number.
std::optional<Value> reu_pcheck(const Value& value, const FieldDef& field, std::string_view marker,
                                std::int32_t back, const cls_parsetable* table);

}  // namespace quillo
