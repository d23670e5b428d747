#include "parse/table_extraction.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/text.h"
#include "common/text_encoding.h"
#include "parse/clsparse.h"
#include "parse/structured_answer.h"
#include "parse/value_convert.h"

namespace quillo {

namespace {

// The character a numeric reference stands for, as browsers read it: codes
// 128 to 159 are the Windows ANSI characters there (the euro sign is &#128;
// on many pages), everything else is Unicode. 0 when the code names no
// character, so the reference stays literal.

// The first position from `from` on (up to n) of a line feed, carriage
// return, tab or ";".
std::size_t next_break_or_semicolon(const char* s, std::size_t from, std::size_t n) {
  std::size_t i = from;
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i tab = _mm_set1_epi8('\t');
  const __m128i semi = _mm_set1_epi8(';');
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)),
                                     _mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, semi)));
    if (const int mask = _mm_movemask_epi8(hit); mask != 0) {
      return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
  }
#endif
  for (; i < n; ++i) {
    if (s[i] == '\n' || s[i] == '\r' || s[i] == '\t' || s[i] == ';') return i;
  }
  return n;
}

}  // namespace

char32_t reference_character(std::uint32_t code) {
  static constexpr char16_t k80[32] = {
      0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x8D,   0x017D, 0x8F,   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
  if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  if (code >= 0x80 && code < 0xA0) return k80[code - 0x80];
  // A character XML forbids (a control, U+FFFE) would make a saved
  // workbook unreadable: it reads as the replacement character.
  if (!text::xml_allowed(code)) return 0xFFFD;
  return code;
}

std::string& entities_decode(std::string& text) {
  // Both passes write in place behind where they read: a reference is never
  // shorter than the UTF-8 it stands for ("&#9;" is 4 bytes for 1, "&#128;"
  // 6 for 3, "&#x10FFFF;" 10 for 4), and removing or shortening only shrinks.
  char* const s = text.data();
  const std::size_t size = text.size();
  std::size_t w = 0;
  std::size_t i = text.find("&#");
  if (i != std::string::npos) {
    w = i;
    while (i < size) {
      const void* amp = std::memchr(s + i, '&', size - i);
      const std::size_t p =
          amp ? static_cast<std::size_t>(static_cast<const char*>(amp) - s) : size;
      if (p > i) {
        if (w != i) std::memmove(s + w, s + i, p - i);
        w += p - i;
        i = p;
        if (i == size) break;
      }
      if (p + 1 >= size || s[p + 1] != '#') {
        s[w++] = s[i++];
        continue;
      }
      std::size_t j = p + 2;
      const bool hex = j < size && (s[j] == 'x' || s[j] == 'X');
      if (hex) ++j;
      const std::size_t digits = j;
      std::uint32_t code = 0;
      while (j < size && j - digits < 9) {
        const char c = s[j];
        int v = -1;
        if (c >= '0' && c <= '9')
          v = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
          v = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
          v = c - 'A' + 10;
        if (v < 0) break;
        code = code * (hex ? 16u : 10u) + static_cast<std::uint32_t>(v);
        ++j;
      }
      const char32_t ch = j > digits && j < size && s[j] == ';' ? reference_character(code) : 0;
      if (ch != 0) {
        std::string utf8;  // at most 4 bytes: no allocation
        text::append_utf8(utf8, ch);
        std::memcpy(s + w, utf8.data(), utf8.size());
        w += utf8.size();
        i = j + 1;
      } else {
        s[w++] = '&';  // not a reference: keep it as written
        s[w++] = '#';
        i = p + 2;
      }
    }
    text.resize(w);
  }
  // Line breaks and tabs go, then "&nbsp;" becomes a blank, as two passes
  // over the text would do: a "&nbsp;" is matched in what is left after the
  // removal, and a blank written for one is never part of another.
  char* const t = text.data();
  const std::size_t n = text.size();
  static constexpr std::string_view kNbsp = "&nbsp;";
  std::size_t r = 0;
  w = 0;
  while (r < n) {
    const std::size_t q = next_break_or_semicolon(t, r, n);
    if (q > r) {
      if (w != r) std::memmove(t + w, t + r, q - r);
      w += q - r;
      r = q;
      if (r == n) break;
    }
    const char c = t[r++];
    if (c != ';') continue;  // a line break or a tab
    t[w++] = c;
    if (w >= kNbsp.size() && std::string_view(t + w - kNbsp.size(), kNbsp.size()) == kNbsp) {
      w -= kNbsp.size();
      t[w++] = ' ';
    }
  }
  text.resize(w);
  return text;
}

namespace {

// The markers of a numbered table, prepared once.
constexpr std::string_view kTableOpen = "<table";
constexpr std::string_view kTableClose = "</table";
const text::CiNeedle kTableOpenNeedle = text::ci_needle(kTableOpen);
const text::CiNeedle kTableCloseNeedle = text::ci_needle(kTableClose);

// The span table_cut cuts, or kNotFound; starts caches the positions of
// "<table" openings found so far (1-based, in order) for later cuts.
std::string_view table_span(std::string_view text, std::int64_t n, std::string_view start_marker,
                            std::string_view end_marker, std::vector<std::size_t>& starts) {
  std::size_t start = 0;
  std::size_t end = 0;
  if (n >= 1) {
    while (static_cast<std::int64_t>(starts.size()) < n) {
      const std::size_t from = starts.empty() ? 1 : starts.back() + 1;
      if (!starts.empty() && starts.back() == 0) return kNotFound;
      starts.push_back(text::find_ci(text, kTableOpen, kTableOpenNeedle, from));
    }
    start = starts[static_cast<std::size_t>(n - 1)];
    if (start == 0) return kNotFound;
    end = text::find_ci(text, kTableClose, kTableCloseNeedle, start);
  } else {
    start = text::find_ci(text, start_marker, 1);
    if (start == 0) return kNotFound;
    end = text::find_ci(text, end_marker, start);
  }
  if (end == 0) return kNotFound;
  return text::mid(text, start, end - start + 1);
}

}  // namespace

std::string table_cut(std::string_view text, std::int64_t n, std::string_view start_marker,
                      std::string_view end_marker) {
  std::vector<std::size_t> starts;
  return std::string(table_span(text, n, start_marker, end_marker, starts));
}

namespace {

// Slot setters that leave a slot alone when it holds that already, as the
// slots of the last field mostly do: a value's assignment costs more than
// the test.
void set_empty(Value& v) {
  if (!v.is_empty()) v = Value();
}
void set_error(Value& v) {
  if (!v.is_error() || v.error() != ErrorCode::Value) v = Value(ErrorCode::Value);
}
void set_not_found(Value& v) {
  if (!v.is_text() || v.text() != kNotFound) v = Value(kNotFound);
}

// The converted value of the table's cell (getcell + value_convert),
// converted from the cell's text where it lies (an absent cell, empty,
// converts as the empty text).
bool cell_value(const FieldDef& g, const cls_parsetable& table, std::int64_t row,
                std::int64_t column, Value& v) {
  return html_value_convert(g, table.cell_text(row, column), v, &table);
}

}  // namespace

bool tablefield_parse(const FieldDef& g, FieldValues& values, const cls_parsetable& table) {
  // Every value is the error value until the field gets it: a value this
  // field does not get (a failed conversion) never shows what another
  // field got. Each slot is set once.
  std::optional<FieldPlan> local;
  const FieldPlan& plan = plan_of(g, local);
  const auto col = plan.col;
  const auto coloffset = plan.coloffset;
  const auto rowoffset = plan.rowoffset;
  const auto headercolumn = plan.headercolumn;
  auto row = plan.row;
  set_error(values[0]);
  const auto fail_from = [&](std::size_t i) {
    for (; i < values.size(); ++i) set_error(values[i]);
    return false;
  };
  if (!col || !coloffset || !rowoffset || !headercolumn || !row) return fail_from(1);

  if (plan.row_label) {
    // Every row whose label holds the text matches; the last one wins, so
    // the search goes from the last row up and stops at the first match.
    if (const std::int32_t i =
            table.last_row_containing(*headercolumn, g.rowvalue, &plan.label, &plan.label_bits);
        i != 0) {
      row = i;
    }
  }
  if (*row <= 0) {
    for (std::size_t i = 1; i <= 7; ++i) set_not_found(values[i]);
    return true;
  }
  const std::int64_t r = std::int64_t{*row} + *rowoffset;
  if (*col == 0) {
    for (std::int64_t i = 1; i <= 7; ++i) {
      const std::int64_t c = i + *coloffset;
      Value& slot = values[static_cast<std::size_t>(i)];
      // The label column is not a value of the row.
      if (c == *headercolumn) {
        set_not_found(slot);
        continue;
      }
      if (!cell_value(g, table, r, c, slot)) return fail_from(static_cast<std::size_t>(i));
    }
  } else {
    for (std::size_t i = 2; i <= 7; ++i) set_empty(values[i]);
    // A failed conversion leaves the error value and the empty rest.
    if (!cell_value(g, table, r, std::int64_t{*col} + *coloffset, values[1])) {
      set_error(values[1]);
      return false;
    }
  }
  return true;
}

void result_add(datarequest& request, std::int32_t id, std::array<Value, 8> slots) {
  request.parsed.push_back(ResultRow{id, std::move(slots)});
}

std::string definition_parse(std::string& text, RequestTable& requests, std::int32_t r,
                             const Definitions& definitions, const ParameterChoice* choice) {
  if (!requests.contains(r)) return {};
  const DataSource* source = definitions.datasource_find(requests.at(r).source);
  const Category* category = source ? category_find(*source, requests.at(r).category) : nullptr;
  if (!category) return {};
  if (is_structured(*category)) {
    datarequest& request = requests.at(r);
    const AnswerKeys keys =
        choice ? answer_keys_from_choice(*choice) : answer_keys_from_url(*category, request.url);
    return structured_parse(text, request, *category, keys);
  }
  entities_decode(text);
  datarequest& request = requests.at(r);

  // The rows are written here and taken into the request at the end, in
  // one buffer of their size; the writer keeps its room for the next page.
  thread_local ResultRowWriter rows;
  rows.clear();
  clsparse parser;
  // The table parse and the openings found keep their room for the next
  // page too. The parse starts empty, as a new one: a conversion before the
  // first table of this page reads no table of the last page.
  thread_local cls_parsetable table;
  table.set_table_view({});
  table.do_parse(true, true);
  FieldValues values;
  const std::vector<FieldDef>& fields = category->fields;
  // Which fields are read, from which tables, in what order: planned when
  // the definitions loaded, as are each field's numbers and markers.
  PagePlan local_page;
  const PagePlan& page = page_plan_of(*category, local_page);
  std::vector<FieldPlan> made;
  const auto plan = [&](std::size_t k) -> const FieldPlan& {
    if (fields[k].plan.resolved) return fields[k].plan;
    if (made.empty()) {
      made.reserve(fields.size());
      for (const FieldDef& field : fields) made.push_back(plan_field(field));
    }
    return made[k];
  };
  thread_local std::vector<std::size_t> table_starts;
  table_starts.clear();
  // The lead marker's position found for the last single field: the next
  // one with the same lead takes it (the text does not change meanwhile).
  std::size_t lead_at = clsparse::kLeadUnknown;
  for (const PageStep& step : page.steps) {
    const FieldDef& f = fields[step.field];
    const FieldPlan& fp = plan(step.field);
    if (!step.table) {
      // A single field lies between markers.
      if (!step.same_lead) lead_at = clsparse::kLeadUnknown;
      std::int64_t window = 0;
      const std::array<text::CiNeedle, 3> marks{fp.ref1, fp.ref2, fp.ref3};
      Value v = parser.convert1(text, *f.ref1, *f.ref2, *f.ref3, window, marks, lead_at);
      if (!value_convert(f, v, &table)) v = Value(ErrorCode::Value);
      rows.add(*fp.id, {&v, 1}, true);
      continue;
    }
    const std::int32_t n = *fp.table;
    const std::string_view start_marker = n == 0 ? std::string_view(f.tablestarttag) : "";
    const std::string_view end_marker = n == 0 ? std::string_view(f.tableendtag) : "";
    table.set_table_view(table_span(text, n, start_marker, end_marker, table_starts));
    // entities_decode took every line break and tab out of the text.
    table.do_parse(true, true);
    for (std::uint32_t m = step.begin; m < step.end; ++m) {
      const std::uint32_t k = page.members[m];
      // A failed conversion stores what the field got before it and the
      // error value for the rest.
      tablefield_parse(fields[k], values, table);
      // Values 1 to 7 are the row's slots 0 to 6; its slot 7 stays empty.
      rows.add(*plan(k).id, {values.data() + 1, 7}, false);
    }
  }
  request.parsed.assign(rows);
  return {};
}

}  // namespace quillo
