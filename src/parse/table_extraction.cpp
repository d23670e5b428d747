#include "parse/table_extraction.h"

#include <unordered_set>

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

std::optional<std::int32_t> int_or(std::string_view attribute, std::int32_t when_empty) {
  if (attribute.empty()) return when_empty;
  return text::to_int32(attribute);
}

// The table number as the parse treats it: an empty attribute counts as "0".
std::string_view table_number_text(const FieldDef& f) {
  return f.tablenumber.empty() ? std::string_view("0") : std::string_view(f.tablenumber);
}

std::array<Value, 8> slots_of(const FieldValues& values) {
  std::array<Value, 8> slots;
  for (std::size_t i = 1; i <= 7; ++i) slots[i - 1] = values[i];
  return slots;  // slot 7 stays empty
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
  if (text.find("&#") != std::string::npos) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
      const std::size_t p = text.find("&#", i);
      if (p == std::string::npos) {
        out.append(text, i, std::string::npos);
        break;
      }
      out.append(text, i, p - i);
      std::size_t j = p + 2;
      const bool hex = j < text.size() && (text[j] == 'x' || text[j] == 'X');
      if (hex) ++j;
      const std::size_t digits = j;
      std::uint32_t code = 0;
      while (j < text.size() && j - digits < 9) {
        const char c = text[j];
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
      const char32_t ch =
          j > digits && j < text.size() && text[j] == ';' ? reference_character(code) : 0;
      if (ch != 0) {
        text::append_utf8(out, ch);
        i = j + 1;
      } else {
        out.append("&#");  // not a reference: keep it as written
        i = p + 2;
      }
    }
    text.swap(out);
  }
  text::remove_chars(text, "\n\r\t");
  text::replace_all(text, "&nbsp;", " ");
  return text;
}

std::string table_cut(std::string_view text, std::int64_t n, std::string_view start_marker,
                      std::string_view end_marker) {
  std::size_t start = 0;
  std::size_t end = 0;
  if (n >= 1) {
    for (std::int64_t k = 0; k < n; ++k) {
      start = text::find_ci(text, "<table", start + 1);
      if (start == 0) return std::string(kNotFound);
    }
    end = text::find_ci(text, "</table", start);
  } else {
    start = text::find_ci(text, start_marker, 1);
    if (start == 0) return std::string(kNotFound);
    end = text::find_ci(text, end_marker, start);
  }
  if (end == 0) return std::string(kNotFound);
  return std::string(text::mid(text, start, end - start + 1));
}

bool tablefield_parse(const FieldDef& g, FieldValues& values, const cls_parsetable& table) {
  // Every value starts out as the error value: a value this field does not
  // get (a failed conversion) never shows what another field got.
  values.fill(Value(ErrorCode::Value));
  std::optional<std::int32_t> col = 0;
  if (g.coltype == "Fixednumeric") col = text::to_int32(g.colvalue);
  const auto coloffset = int_or(g.coloffset, 0);
  const auto rowoffset = int_or(g.rowoffset, 0);
  const auto headercolumn = int_or(g.headercolumn, 1);
  std::optional<std::int32_t> row = 0;
  if (g.rowtype == "Fixednumeric") row = text::to_int32(g.rowvalue);
  if (!col || !coloffset || !rowoffset || !headercolumn || !row) return false;

  if (g.rowtype == "Fixedstring") {
    // Every row whose label holds the text matches; the last one wins.
    for (std::int32_t i = 1; i <= table.get_rownum(); ++i) {
      if (text::find_ci(table.cell_text(i, *headercolumn), g.rowvalue) != 0) row = i;
    }
  }
  if (*row <= 0) {
    for (std::size_t i = 1; i <= 7; ++i) values[i] = Value(kNotFound);
    return true;
  }
  const std::int64_t r = std::int64_t{*row} + *rowoffset;
  if (*col == 0) {
    for (std::int64_t i = 1; i <= 7; ++i) {
      const std::int64_t c = i + *coloffset;
      // The label column is not a value of the row.
      if (c == *headercolumn) {
        values[static_cast<std::size_t>(i)] = Value(kNotFound);
        continue;
      }
      Value v = table.getcell(r, c);
      if (!value_convert(g, v, &table)) return false;
      values[static_cast<std::size_t>(i)] = std::move(v);
    }
  } else {
    for (std::size_t i = 2; i <= 7; ++i) values[i] = Value();
    Value v = table.getcell(r, std::int64_t{*col} + *coloffset);
    if (!value_convert(g, v, &table)) return false;
    values[1] = std::move(v);
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
  request.parsed.clear();

  clsparse parser;
  cls_parsetable table;
  FieldValues values;
  std::unordered_set<std::int32_t> stored;
  auto store = [&](std::int32_t id, std::array<Value, 8> slots) {
    result_add(request, id, std::move(slots));
    stored.insert(id);
  };
  const std::vector<FieldDef>& fields = category->fields;
  for (std::size_t k0 = 0; k0 < fields.size(); ++k0) {
    const FieldDef& f = fields[k0];
    const auto id = text::to_int32(f.id);
    if (!id || stored.contains(*id)) continue;  // stored with an earlier table

    if (f.type == "single") {
      // A single field lies between markers; without them it stores nothing.
      if (!f.ref1 || !f.ref2 || !f.ref3) continue;
      std::int64_t window = 0;
      Value v = parser.convert1(text, *f.ref1, *f.ref2, *f.ref3, window);
      if (!value_convert(f, v, &table)) v = Value(ErrorCode::Value);
      store(*id, {v, "", "", "", "", "", "", ""});
      continue;
    }

    const auto n = text::to_int32(table_number_text(f));
    if (!n) continue;
    const std::string_view start_marker = *n == 0 ? std::string_view(f.tablestarttag) : "";
    const std::string_view end_marker = *n == 0 ? std::string_view(f.tableendtag) : "";
    table.set_table(table_cut(text, *n, start_marker, end_marker));
    table.do_parse(true);
    for (std::size_t k = k0; k < fields.size(); ++k) {
      const FieldDef& g = fields[k];
      if (g.type != "tablecell") continue;
      const bool by_markers = g.tablestarttag == start_marker && g.tableendtag == end_marker &&
                              text::to_int32(table_number_text(g)) == 0;
      const bool by_number = *n > 0 && table_number_text(g) == table_number_text(f);
      if (!by_markers && !by_number) continue;
      // A failed conversion stores what the field got before it and the
      // error value for the rest.
      tablefield_parse(g, values, table);
      if (const auto gid = text::to_int32(g.id)) store(*gid, slots_of(values));
    }
  }
  return {};
}

}  // namespace quillo
