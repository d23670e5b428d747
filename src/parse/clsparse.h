// clsparse: text operations on HTML fragments, figures and option lists.
//
// The parsers cut values out of pages with these operations: anchor and
// marker extraction (convert1/3/5), splitting (convert2/4), figure reading
// ("1,234.5M" -> 1.2345e9), tag helpers, text between tags, table-row
// splitting and option lists. Positions are 1-based, marker searches ignore
// ASCII letter case, and a missing marker, tag or value answers the
// not-found text "#N/A" (getitag answers "#/N/A", the option helpers "n/a");
// callers compare those texts exactly. No operation throws for bad input,
// and each runs in time linear in its input (no page can make it hang).
//
// An instance holds no state between calls; any thread may use its own.
// In/out parameters (references to std::string or integers) are changed in
// place only where an operation's comment says so.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "common/value.h"
#include "parse/figures.h"

namespace quillo {

// Whether text holds a "<" or ">" (so may hold markup); one pass, where
// find_first_of("<>") looks each byte up in the set.
inline bool has_angle_bracket(std::string_view text) {
  for (const char c : text) {
    if (c == '<' || c == '>') return true;
  }
  return false;
}

// Markers that are tag names ("<TD", "</B": "<" or "</", a letter, then
// no whitespace, "/", ">" or "<") stand for whole tag names: "<B" is not
// found in "<BR>" nor "</B" in "</BODY>". Links store their references and
// markers in that form.
bool is_tag_marker(std::string_view marker);
// Whether a tag-name marker found at text[at] (0-based) spans the whole
// name: what follows is whitespace, ">", "/" or the end of the text.
bool whole_tag_name_at(std::string_view text, std::size_t at, std::size_t length);
// The 1-based position of the first occurrence of marker at or after from
// (ignoring letter case), 0 when none; a tag-name marker only where it
// spans a whole tag name, other text wherever it stands.
std::size_t find_marker(std::string_view text, std::string_view marker, std::size_t from = 1);

class clsparse {
 public:
  // The text between the first start marker after the lead marker and the
  // next end marker. With a non-empty lead marker the search window starts
  // right after it and is `window` bytes long; a window of 0 becomes the
  // length of the text (and the caller sees that).
  Value convert1(std::string_view text, std::string_view lead, std::string_view start,
                 std::string_view end, std::int64_t& window);
  // The same with the markers' searches prepared: marks[0..2] are
  // text::ci_needle of lead, start and end. lead_at is the lead's position
  // in this text when it was looked for before (0: not there), or
  // kLeadUnknown; the position looked for is kept in it.
  static constexpr std::size_t kLeadUnknown = static_cast<std::size_t>(-1);
  Value convert1(std::string_view text, std::string_view lead, std::string_view start,
                 std::string_view end, std::int64_t& window,
                 std::span<const text::CiNeedle, 3> marks, std::size_t& lead_at);
  // Walks the template's pieces (cut before each "<" after the first
  // character) through the text, then takes the text between the markers;
  // a result holding ">" keeps only the part after the first ">". Pieces
  // and markers that are tag names match whole tag names (find_marker).
  Value convert3(std::string_view text, std::string_view templ, std::string_view start,
                 std::string_view end);
  // Mode 1: the text before the first "("; mode 2: the text inside "(...)".
  Value convert2(std::string_view text, std::int32_t mode);
  // Mode 1: the text before the marker; mode 2: the text after it.
  Value convert4(std::string_view text, std::string_view marker, std::int32_t mode);
  // Drops everything up to the last ";" and then anything before the first
  // digit or "-". Changes text in place and returns it.
  Value left_clear(std::string& text);
  // A figure as pages show it ("1,234.5M", "(12.5)", "12.5%", "350pM",
  // "-$1,234.50", "5-", "(1.2M)", "\u22122.50", "5M") as a double; a text
  // that is no figure comes back as text, "NM" and "#N/A" as "#N/A". Group
  // separators are removed and the decimal separator read as format says.
  // Changes text in place (steps of the conversion).
  Value figure_convert1(std::string& text, const FigureFormat& format = {});
  // "#N/A" stays; otherwise the leading number after removing "," (in place).
  Value figure_convert2(std::string& text);
  std::string firsttag_remove(std::string_view text);
  std::string firsttag_get(std::string_view text);
  // The n-th tag ("<" up to the next ">"), "" when there are fewer than n
  // "<", "#/N/A" when the n-th "<" is not closed.
  std::string getitag(std::string_view text, std::int64_t n);
  // The value of key="..." in a tag, or "#N/A".
  std::string key_fromtag(std::string_view tag, std::string_view key);
  // The n-th non-empty run of text between tags (after removing line
  // breaks and tabs and simplifying a few entities), or "#N/A".
  std::string getvalue_fromhtml(std::string_view html, std::int64_t n);
  // Every non-empty run of text between tags, joined by one blank, or "#N/A".
  std::string getallvalue_fromhtml(std::string_view html);
  // The same, made of html in place.
  void allvalue_fromhtml_in_place(std::string& html);
  // Takes the first <td>/<th> element (with its closing tag) off the front
  // of row and returns it; "#N/A" when there is none.
  std::string getfirsttdthelement(std::string& row);
  // Splits a table row into cells[1..]: element k goes to cells[k] (the
  // 31st and later all go to cells[30]); raw keeps each element's HTML,
  // otherwise its text. Returns false, with the cells stored so far kept,
  // when a cell number falls outside the span. row is consumed.
  bool parsetablerow(std::string& row, std::span<Value> cells, bool raw);
  // The value as a double if it reads as one, also with "." taken as ","; else unchanged.
  Value createdouble(const Value& value);
  // The option value that follows the name in an option array, upper-cased; "n/a" if none.
  Value getoption(const Value& options, std::string_view name);
  // Flattens an array (or a range's values) into target[1..]; target[0] is
  // unused. Anything else gives the one-element list "n/a".
  void options2array(const Value& source, std::vector<Value>& target);
  // Reduces every opening tag to "<NAME>" (name upper-cased). In place; also returned.
  std::string removealltagattribute(std::string& html);
  // Removes every attribute with a non-empty value from the elements of the html. In place.
  void removealltagattribute2(std::string& html);
  // Like convert3, but the tags after the anchor must follow it in that
  // order; tag names after the anchor and tag-name markers match whole names.
  Value convert5(std::string_view text, std::string_view templ, std::string_view start,
                 std::string_view end);
  // "<td class=x>" -> "<td".
  std::string gettagname(std::string_view tag);
  // Upper-cases the html and removes tbody/thead/tfoot tags. In place; also returned.
  std::string removedomspecificelement(std::string& html);
};

}  // namespace quillo
