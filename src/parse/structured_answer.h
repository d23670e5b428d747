// Answers that are data rather than pages: JSON and CSV. A category of the
// definitions says by its answer attribute ("json", "csv") that its answer
// is one of them; its fields then name their values by JSON Pointer
// (type "json") or by column header and key column (type "csv") instead of
// text markers, and the parse stores one result row per field just as the
// page parse does, so worksheet functions read them the same way.
//
// JSON pointers are RFC 6901 ("/quotes/0/last", "~1" for "/", "~0" for
// "~") with one extension: a reference token "[K=V]" selects the first
// element of an array that is an object whose member K equals V. V is
// "$instrument" (the instrument asked for), "${NAME}" (the value of the
// category's parameter NAME) or a literal; texts compare as texts without
// regard to ASCII letter case, a JSON number by value with a key written as
// a JSON number. Keys of CSV fields are written the same way and are texts.
//
// Bounded: an answer over kMaxStructuredBytes or nested deeper than
// kMaxJsonDepth is refused with a reason before it is parsed; malformed
// JSON or CSV never crashes. A refused answer reads "#N/A" in every field,
// as a page without any of its markers does. Pure; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "parse/datarequest.h"
#include "parse/definitions.h"

namespace quillo {

inline constexpr std::size_t kMaxStructuredBytes = 64u << 20;  // 64 MiB
inline constexpr int kMaxJsonDepth = 64;

// The values "$instrument" and "${NAME}" stand for: the instrument and
// each parameter's value, by parameter name.
struct AnswerKeys {
  std::string instrument;
  std::vector<std::pair<std::string, std::string>> parameters;
  // The value a key text stands for: a "$" form resolved, else the text
  // itself; false when it names a value not known.
  bool resolve(std::string_view key, std::string& out) const;
};

// The keys of a request: the values of the category's parameters that its
// address sends (percent-decoded). A parameter that is not sent (no
// urlkey) is the same for every cell the answer serves, so it is no key.
AnswerKeys answer_keys_from_url(const Category& category, std::string_view url);
// The keys of a parameter choice, limited the same way to sent parameters.
AnswerKeys answer_keys_from_choice(const ParameterChoice& choice);

// True for a category whose answer is JSON or CSV.
bool is_structured(const Category& category);
// True for a field read from a JSON or CSV answer.
bool is_structured_field(const FieldDef& field);

// Parses the answer of a JSON or CSV category and replaces the request's
// result rows with one per field of type "json" or "csv". Answers why the
// answer was refused (too large, too deep, not JSON, no CSV header), or
// empty when it was read.
std::string structured_parse(std::string_view answer, datarequest& request,
                             const Category& category, const AnswerKeys& keys);

// The key texts of a pointer's selections ("$instrument" for
// "/q/[symbol=$instrument]/last"), in order; nullopt when the text is no
// JSON Pointer (it does not start with "/", or has a "~" not followed by 0
// or 1). For the definitions check.
std::optional<std::vector<std::string>> json_pointer_keys(std::string_view pointer);

// Why the JSON text is nested deeper than max_depth, or empty: a scan that
// needs no parse, so a parser is never handed a text that would exhaust it.
std::string json_depth_problem(std::string_view json, int max_depth);

// A CSV text cut into rows of fields (RFC 4180: fields in double quotes may
// hold separators, line breaks and doubled quotes; lines end with LF or
// CRLF; empty lines below the first are dropped). A byte order mark is
// skipped. A quote never closed ends with the text; cut_off, if given,
// says so.
std::vector<std::vector<std::string>> csv_rows(std::string_view csv, char separator,
                                               bool* cut_off = nullptr);

}  // namespace quillo
