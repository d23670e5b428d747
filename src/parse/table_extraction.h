// The definition-based parse of a page: every field of the request's
// category is cut out of the page (between text markers for "single"
// fields, from an HTML table for "tablecell" fields), converted, and stored
// as a result row of the request. Fields that share one table are read
// from a single cut and parse of it.
//
// Runs on the event-loop thread when an answer arrives; no input can make
// it crash or hang, and its cost is linear in the page size (times the
// number of fields and tables).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/value.h"
#include "parse/cls_parsetable.h"
#include "parse/datarequest.h"
#include "parse/definitions.h"

namespace quillo {

// The character a numeric character reference stands for, as a browser
// reads it (the Windows-1252 meaning of 128..159, the replacement
// character for what a workbook cannot hold); 0 when it names none.
char32_t reference_character(std::uint32_t code);

// Decodes numeric character references (decimal and hexadecimal) to UTF-8,
// removes line feeds, carriage returns and tabs, and turns "&nbsp;" into a
// blank. A malformed reference stays as it is written. In place; returns text.
std::string& entities_decode(std::string& text);

// The n-th table of the page (counting "<table" openings, letter case
// ignored) or, for n below 1, the text from the start marker to the end
// marker; the result runs through the first character of the closing tag
// or end marker. "#N/A" when it is not there.
std::string table_cut(std::string_view text, std::int64_t n, std::string_view start_marker,
                      std::string_view end_marker);

// The values of one table field: values 1 to 7 (0 unused).
using FieldValues = std::array<Value, 8>;

// Fills the field values of one table field from the current table parse.
// A row read across gives "#N/A" at the label (header) column; a single
// column gives value 1 and leaves 2 to 7 empty. False when a conversion
// failed: the values written before it are kept, the others are the error
// value #VALUE!, never what another field got.
bool tablefield_parse(const FieldDef& field, FieldValues& values, const cls_parsetable& table);

// Appends one result row to the request.
void result_add(datarequest& request, std::int32_t id, std::array<Value, 8> slots);

// Parses the page for request r: decodes entities in text (in place),
// replaces the request's result rows with one per stored field. When the
// request's source or category is unknown nothing changes. A category whose
// answer is JSON or CSV is read by structured_parse instead (the text is
// left as it is), with the keys of the request's address, or of choice when
// given; the answer is why such an answer was refused, else empty.
std::string definition_parse(std::string& text, RequestTable& requests, std::int32_t r,
                             const Definitions& definitions,
                             const ParameterChoice* choice = nullptr);

}  // namespace quillo
