#include "parse/structured_answer.h"

#include <array>
#include <charconv>
#include <optional>

#include <nlohmann/json.hpp>

#include "common/text.h"
#include "parse/value_convert.h"

namespace quillo {

namespace {

using nlohmann::json;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percent_decode(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && hex_value(s[i + 1]) >= 0 &&
               hex_value(s[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// The value of a query key of an address; nullopt when the key is absent.
std::optional<std::string> query_value(std::string_view url, std::string_view key) {
  const std::size_t q = url.find('?');
  if (q == std::string_view::npos) return std::nullopt;
  std::string_view rest = url.substr(q + 1);
  rest = rest.substr(0, rest.find('#'));
  std::optional<std::string> found;
  while (!rest.empty()) {
    const std::size_t amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    const std::size_t eq = pair.find('=');
    if (eq != std::string_view::npos && pair.substr(0, eq) == key) {
      found = percent_decode(pair.substr(eq + 1));  // the last one wins, as query_build appends
    }
    if (amp == std::string_view::npos) break;
    rest.remove_prefix(amp + 1);
  }
  return found;
}

std::optional<double> strict_number(std::string_view s) {
  s = text::trim(s);
  double d = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), d);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return d;
}

// Whether the text is written as JSON writes a number: "-12.5e3", not
// "005930", "+1", ".5" or "inf".
bool json_number_text(std::string_view s) {
  s = text::trim(s);
  std::size_t i = 0;
  auto digits = [&] {
    const std::size_t from = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    return i - from;
  };
  if (i < s.size() && s[i] == '-') ++i;
  const std::size_t start = i;
  const std::size_t whole = digits();
  if (whole == 0 || (whole > 1 && s[start] == '0')) return false;
  if (i < s.size() && s[i] == '.') {
    ++i;
    if (digits() == 0) return false;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == s.size();
}

// A key text compared with a text of the answer (a JSON string, a CSV
// field): as texts, without regard to ASCII letter case. "005930" is not
// "5930" and "1e2" is not "100": codes are texts.
bool key_matches(std::string_view have, std::string_view want) {
  return text::iequals(text::trim(have), text::trim(want));
}

// A JSON number is compared by value with a key written as a JSON number.
bool json_matches(const json& v, std::string_view want) {
  if (v.is_string()) return key_matches(v.get_ref<const std::string&>(), want);
  if (v.is_number()) {
    const auto b = json_number_text(want) ? strict_number(want) : std::nullopt;
    return b && v.get<double>() == *b;
  }
  if (v.is_boolean()) return text::iequals(want, v.get<bool>() ? "true" : "false");
  return false;
}

// One reference token of a pointer: a member name or array index, or the
// selection "[K=V]".
struct Token {
  std::string name;
  bool select = false;
  std::string key;
  std::string value;
};

// "~1" is "/", "~0" is "~"; any other "~" makes the pointer invalid.
std::optional<std::string> unescape(std::string_view raw) {
  std::string out;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '~') {
      out += raw[i];
    } else if (i + 1 < raw.size() && (raw[i + 1] == '0' || raw[i + 1] == '1')) {
      out += raw[i + 1] == '0' ? '~' : '/';
      ++i;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

std::optional<std::vector<Token>> pointer_tokens(std::string_view pointer) {
  std::vector<Token> out;
  if (pointer.empty()) return out;  // the whole document
  if (pointer.front() != '/') return std::nullopt;
  std::size_t i = 1;
  for (;;) {
    const std::size_t slash = pointer.find('/', i);
    const std::string_view raw =
        pointer.substr(i, slash == std::string_view::npos ? std::string_view::npos : slash - i);
    Token t;
    const std::size_t eq = raw.find('=');
    if (raw.size() >= 3 && raw.front() == '[' && raw.back() == ']' &&
        eq != std::string_view::npos) {
      auto key = unescape(raw.substr(1, eq - 1));
      auto value = unescape(raw.substr(eq + 1, raw.size() - eq - 2));
      if (!key || !value) return std::nullopt;
      t.select = true;
      t.key = std::move(*key);
      t.value = std::move(*value);
    } else {
      auto name = unescape(raw);
      if (!name) return std::nullopt;
      t.name = std::move(*name);
    }
    out.push_back(std::move(t));
    if (slash == std::string_view::npos) break;
    i = slash + 1;
  }
  return out;
}

// An array index as RFC 6901 writes it: digits, no leading zero.
std::optional<std::size_t> array_index(std::string_view s) {
  if (s.empty() || (s.size() > 1 && s.front() == '0')) return std::nullopt;
  std::size_t n = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return n;
}

const json* at_pointer(const json& root, const std::vector<Token>& tokens, const AnswerKeys& keys) {
  const json* node = &root;
  for (const Token& t : tokens) {
    if (t.select) {
      std::string want;
      if (!node->is_array() || !keys.resolve(t.value, want)) return nullptr;
      const json* found = nullptr;
      for (const json& e : *node) {
        if (!e.is_object()) continue;
        const auto it = e.find(t.key);
        if (it != e.end() && json_matches(*it, want)) {
          found = &e;
          break;
        }
      }
      if (!found) return nullptr;
      node = found;
    } else if (node->is_object()) {
      const auto it = node->find(t.name);
      if (it == node->end()) return nullptr;
      node = &*it;
    } else if (node->is_array()) {
      const auto index = array_index(t.name);
      if (!index || *index >= node->size()) return nullptr;
      node = &(*node)[*index];
    } else {
      return nullptr;
    }
  }
  return node;
}

bool has_steps(const FieldDef& f) {
  return !f.function.empty() || !f.function1.empty() || f.parseasvalue == "1" ||
         f.parseasvalue == "2";
}

// What a cell shows for a text of the answer: the field's conversion, as
// for a page field; a failed conversion is the error value.
Value converted(const FieldDef& f, Value v) {
  if (!value_convert(f, v, nullptr)) return Value(ErrorCode::Value);
  return v;
}

// The value of a JSON node for a field. Missing or null: "#N/A", as a
// page field whose markers are not found. An object or array, or true or
// false where a figure is wanted, is no value: the error value. A number
// stays a number unless conversion steps are named (they read it as text).
Value json_field_value(const FieldDef& f, const json* node) {
  if (!node || node->is_null()) return Value(std::string(kNotFound));
  if (node->is_object() || node->is_array()) return Value(ErrorCode::Value);
  if (node->is_boolean()) {
    if (f.figureconvert == "1") return Value(ErrorCode::Value);
    if (!has_steps(f)) return Value(node->get<bool>());
    return converted(f, Value(std::string(node->get<bool>() ? "TRUE" : "FALSE")));
  }
  if (node->is_number()) {
    if (!has_steps(f)) return Value(node->get<double>());
    return converted(f, Value(node->get<double>()));
  }
  return converted(f, Value(node->get_ref<const std::string&>()));
}

using Slots = std::array<Value, 8>;

Slots single_slot(Value v) {
  return {std::move(v), "", "", "", "", "", "", ""};
}

Slots all_slots(const Value& v) {
  Slots s;
  for (std::size_t i = 0; i < 7; ++i) s[i] = v;
  return s;
}

bool reads_across(const FieldDef& f) {
  return !f.colvalue.empty();
}

std::string parse_json(std::string_view answer, const Category& category, datarequest& request,
                       const AnswerKeys& keys) {
  if (auto problem = json_depth_problem(answer, kMaxJsonDepth); !problem.empty()) return problem;
  json doc;
  try {
    doc = json::parse(answer.begin(), answer.end());
  } catch (const json::exception& e) {
    // "[json.exception.parse_error.101] parse error at line 1, ..." without its tag.
    std::string_view what = e.what();
    if (const std::size_t tag = what.find("] "); tag != std::string_view::npos)
      what.remove_prefix(tag + 2);
    return "the answer is not JSON: " + std::string(what);
  }
  for (const FieldDef& f : category.fields) {
    const auto id = text::to_int32(f.id);
    if (f.type != "json" || !id || request.find_row(*id)) continue;
    const auto tokens = pointer_tokens(f.pointer);
    const json* node = tokens ? at_pointer(doc, *tokens, keys) : nullptr;
    if (!reads_across(f)) {
      request.parsed.push_back({*id, single_slot(json_field_value(f, node))});
      continue;
    }
    // A row read across: the elements of an array, or a member of each.
    if (!node || !node->is_array()) {
      request.parsed.push_back(
          {*id, all_slots(node ? Value(ErrorCode::Value) : Value(std::string(kNotFound)))});
      continue;
    }
    const auto member = pointer_tokens(f.member);
    Slots slots;
    for (std::size_t k = 0; k < 7; ++k) {
      const json* element = k < node->size() ? &(*node)[k] : nullptr;
      if (element && member) element = at_pointer(*element, *member, keys);
      slots[k] = member ? json_field_value(f, element) : Value(ErrorCode::Value);
    }
    request.parsed.push_back({*id, std::move(slots)});
  }
  return {};
}

char csv_separator(const Category& category) {
  if (category.separator.empty()) return ',';
  if (text::iequals(category.separator, "tab")) return '\t';
  return category.separator.front();
}

std::optional<std::size_t> column_index(const std::vector<std::string>& header,
                                        std::string_view name) {
  for (std::size_t c = 0; c < header.size(); ++c) {
    if (text::iequals(text::trim(header[c]), text::trim(name))) return c;
  }
  return std::nullopt;
}

std::string parse_csv(std::string_view answer, const Category& category, datarequest& request,
                      const AnswerKeys& keys) {
  bool cut_off = false;
  const auto rows = csv_rows(answer, csv_separator(category), &cut_off);
  // A quote never closed took the rest of the answer into one field: the
  // answer was cut off (or is no CSV), and any value read would be wrong.
  if (cut_off) return "the CSV answer is cut off: a quoted field is never closed";
  if (rows.empty() || rows.front().empty() ||
      (rows.front().size() == 1 && text::trim(rows.front().front()).empty())) {
    return "the answer has no CSV header line";
  }
  const std::vector<std::string>& header = rows.front();
  const Value not_found{std::string(kNotFound)};
  for (const FieldDef& f : category.fields) {
    const auto id = text::to_int32(f.id);
    if (f.type != "csv" || !id || request.find_row(*id)) continue;
    // The row: the first whose key column holds the key, else the first data row.
    const std::vector<std::string>* row = nullptr;
    std::optional<std::size_t> key_column;
    if (f.keycolumn.empty()) {
      if (rows.size() > 1) row = &rows[1];
    } else if ((key_column = column_index(header, f.keycolumn))) {
      std::string want;
      if (keys.resolve(f.key, want)) {
        for (std::size_t r = 1; r < rows.size() && !row; ++r) {
          if (*key_column < rows[r].size() && key_matches(rows[r][*key_column], want))
            row = &rows[r];
        }
      }
    }
    const auto column = f.column.empty() ? std::nullopt : column_index(header, f.column);
    auto cell = [&](std::optional<std::size_t> c) {
      if (!row || !c || *c >= row->size()) return not_found;
      return converted(f, Value((*row)[*c]));
    };
    if (!reads_across(f)) {
      request.parsed.push_back({*id, single_slot(cell(column))});
      continue;
    }
    // A row read across: from the named column on, else from the one after
    // the key column.
    std::optional<std::size_t> first = column;
    if (f.column.empty()) first = key_column ? *key_column + 1 : 0;
    Slots slots;
    for (std::size_t k = 0; k < 7; ++k) slots[k] = cell(first ? std::optional(*first + k) : first);
    request.parsed.push_back({*id, std::move(slots)});
  }
  return {};
}

}  // namespace

bool AnswerKeys::resolve(std::string_view key, std::string& out) const {
  if (key == "$instrument") {
    out = instrument;
    return !instrument.empty();
  }
  if (key.size() >= 3 && key.starts_with("${") && key.ends_with("}")) {
    const std::string_view name = key.substr(2, key.size() - 3);
    for (const auto& [n, v] : parameters) {
      if (text::iequals(n, name)) {
        out = v;
        return true;
      }
    }
    return false;
  }
  out = std::string(key);
  return true;
}

AnswerKeys answer_keys_from_url(const Category& category, std::string_view url) {
  AnswerKeys keys;
  for (const Parameter& p : category.parameters) {
    if (p.urlkey.empty()) continue;
    const auto value = query_value(url, p.urlkey);
    if (!value) continue;
    if (p.name == "instrument id") keys.instrument = *value;
    keys.parameters.emplace_back(p.name, *value);
  }
  return keys;
}

AnswerKeys answer_keys_from_choice(const ParameterChoice& choice) {
  AnswerKeys keys;
  for (std::size_t i = 0; i < choice.names.size() && i < choice.values.size(); ++i) {
    if (i >= choice.urlkeys.size() || choice.urlkeys[i].empty()) continue;
    if (choice.names[i] == "instrument id") keys.instrument = choice.values[i];
    keys.parameters.emplace_back(choice.names[i], choice.values[i]);
  }
  return keys;
}

bool is_structured(const Category& category) {
  return text::iequals(category.answer, "json") || text::iequals(category.answer, "csv");
}

bool is_structured_field(const FieldDef& field) {
  return field.type == "json" || field.type == "csv";
}

std::string structured_parse(std::string_view answer, datarequest& request,
                             const Category& category, const AnswerKeys& keys) {
  request.parsed.clear();
  if (answer.size() > kMaxStructuredBytes) {
    return "the answer is larger than " + std::to_string(kMaxStructuredBytes >> 20) + " MiB";
  }
  if (answer.starts_with("\xEF\xBB\xBF")) answer.remove_prefix(3);
  std::string problem = text::iequals(category.answer, "json")
                            ? parse_json(answer, category, request, keys)
                            : parse_csv(answer, category, request, keys);
  request.parsed.shrink_to_fit();
  return problem;
}

std::optional<std::vector<std::string>> json_pointer_keys(std::string_view pointer) {
  const auto tokens = pointer_tokens(pointer);
  if (!tokens) return std::nullopt;
  std::vector<std::string> keys;
  for (const Token& t : *tokens) {
    if (t.select) keys.push_back(t.value);
  }
  return keys;
}

std::string json_depth_problem(std::string_view json_text, int max_depth) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < json_text.size(); ++i) {
    const char c = json_text[i];
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_depth) {
        return "the JSON answer is nested deeper than " + std::to_string(max_depth) +
               " levels (at byte " + std::to_string(i + 1) + ")";
      }
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return {};
}

std::vector<std::vector<std::string>> csv_rows(std::string_view csv, char separator,
                                               bool* cut_off) {
  if (csv.starts_with("\xEF\xBB\xBF")) csv.remove_prefix(3);
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> row;
  std::string field;
  bool quoted = false;
  bool any = false;  // the current line has content
  for (std::size_t i = 0; i < csv.size(); ++i) {
    const char c = csv[i];
    if (quoted) {
      if (c == '"') {
        if (i + 1 < csv.size() && csv[i + 1] == '"') {
          field += '"';
          ++i;
        } else {
          quoted = false;
        }
      } else {
        field += c;
      }
      continue;
    }
    if (c == '"') {
      quoted = true;
      any = true;
    } else if (c == separator) {
      row.push_back(std::move(field));
      field.clear();
      any = true;
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && i + 1 < csv.size() && csv[i + 1] == '\n') ++i;
      // An empty line below the header holds nothing a field could read:
      // not stored, so a run of line breaks costs no memory per line.
      if (!any && row.empty() && !rows.empty()) continue;
      row.push_back(std::move(field));
      field.clear();
      rows.push_back(std::move(row));
      row.clear();
      any = false;
    } else {
      field += c;
      any = true;
    }
  }
  if (any || quoted) {
    row.push_back(std::move(field));
    rows.push_back(std::move(row));
  }
  if (cut_off) *cut_off = quoted;
  return rows;
}

}  // namespace quillo
