#include "parse/value_convert.h"

#include <iterator>
#include <optional>
#include <string>

#include "common/text.h"
#include "parse/clsparse.h"

namespace quillo {

namespace {

// The text of a value as a conversion sees it: a number written with at
// most 15 significant digits, as a cell shows it (0.0725 * 100 reads
// "7.25", not "7.249999999999999").
std::string as_text(const Value& v) {
  return v.is_number() ? text::format_number_15(v.number()) : v.to_text();
}

// The text of a value as a conversion sees it, without a copy of a text
// value: a step reads it and makes a new value, so the view outlives no
// change of v.
class TextOf {
 public:
  std::string_view operator()(const Value& v) {
    if (v.is_text()) return v.text();
    m_made = as_text(v);
    return m_made;
  }

 private:
  std::string m_made;
};

std::optional<std::int32_t> int_param(std::string_view p) {
  return text::to_int32(p);
}

// A plain function rather than a std::function: the steps capture nothing.
using Step = std::optional<Value> (*)(const Value&, std::string_view, std::string_view,
                                      const FieldDef&, const cls_parsetable*);

struct NamedStep {
  std::string_view name;
  Step run;
};

// The conversion functions a field may name, looked up by exact name.
const NamedStep kSteps[] = {
    {"convert2",
     [](const Value& v, std::string_view p1, std::string_view, const FieldDef&,
        const cls_parsetable*) -> std::optional<Value> {
       const auto mode = int_param(p1);
       if (!mode) return std::nullopt;
       return clsparse().convert2(TextOf()(v), *mode);
     }},
    {"convert4",
     [](const Value& v, std::string_view p1, std::string_view p2, const FieldDef&,
        const cls_parsetable*) -> std::optional<Value> {
       const auto mode = int_param(p2);
       if (!mode) return std::nullopt;
       return clsparse().convert4(TextOf()(v), p1, *mode);
     }},
    {"mid",
     [](const Value& v, std::string_view p1, std::string_view p2, const FieldDef&,
        const cls_parsetable*) -> std::optional<Value> {
       const auto start = int_param(p1);
       const auto length = int_param(p2);
       if (!start || !length || *start < 1 || *length < 0) return std::nullopt;
       return Value(text::mid_chars(TextOf()(v), static_cast<std::size_t>(*start),
                                    static_cast<std::size_t>(*length)));
     }},
    {"left",
     [](const Value& v, std::string_view p1, std::string_view, const FieldDef&,
        const cls_parsetable*) -> std::optional<Value> {
       const auto n = int_param(p1);
       if (!n || *n < 0) return std::nullopt;
       return Value(text::left_chars(TextOf()(v), static_cast<std::size_t>(*n)));
     }},
    {"right",
     [](const Value& v, std::string_view p1, std::string_view, const FieldDef&,
        const cls_parsetable*) -> std::optional<Value> {
       const auto n = int_param(p1);
       if (!n || *n < 0) return std::nullopt;
       return Value(text::right_chars(TextOf()(v), static_cast<std::size_t>(*n)));
     }},
    {"concat",
     [](const Value& v, std::string_view p1, std::string_view, const FieldDef&,
        const cls_parsetable*) -> std::optional<Value> {
       return Value(as_text(v) + std::string(p1));
     }},
    {"multiply",
     [](const Value& v, std::string_view p1, std::string_view, const FieldDef&,
        const cls_parsetable*) -> std::optional<Value> { return multiply(v, p1); }},
    {"reu_pct_chng",
     [](const Value& v, std::string_view, std::string_view, const FieldDef&,
        const cls_parsetable*) -> std::optional<Value> { return reu_pct_chng(v); }},
    {"reu_pcheck",
     [](const Value& v, std::string_view p1, std::string_view p2, const FieldDef& field,
        const cls_parsetable* table) -> std::optional<Value> {
       const auto back = int_param(p2);
       if (!back) return std::nullopt;
       return reu_pcheck(v, field, p1, *back, table);
     }},
    {"figure_convert",
     [](const Value& v, std::string_view, std::string_view, const FieldDef& field,
        const cls_parsetable*) -> std::optional<Value> {
       std::string t = as_text(v);
       return clsparse().figure_convert1(t, field.figures);
     }},
};

// Applies the step of that number; none (-1) leaves the value alone.
bool apply_step(int step, std::string_view p1, std::string_view p2, const FieldDef& field,
                Value& value, const cls_parsetable* table) {
  if (step < 0) return true;
  std::optional<Value> result = kSteps[step].run(value, p1, p2, field, table);
  if (!result) return false;
  value = std::move(*result);
  return true;
}

}  // namespace

namespace {

// The text of the value's HTML (clsparse::getallvalue_fromhtml), made in
// place of a text value: a text without tags, as most marked values are,
// stays as it is, and a table cell's tag is cut off its figure uncopied.
void html_text(clsparse& parser, Value& value) {
  if (value.is_text()) {
    parser.allvalue_fromhtml_in_place(value.text_in_place());
    return;
  }
  value = Value(parser.getallvalue_fromhtml(as_text(value)));
}

}  // namespace

int conversion_step(std::string_view name) {
  for (std::size_t i = 0; i < std::size(kSteps); ++i) {
    if (!name.empty() && kSteps[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

namespace {

// Cuts the blanks off both ends of t, as text::trim does, in place.
void trim_in_place(std::string& t) {
  std::size_t b = 0;
  std::size_t e = t.size();
  while (b < e && t[b] == ' ') ++b;
  while (e > b && t[e - 1] == ' ') --e;
  t.resize(e);
  t.erase(0, b);
}

// The last part of every conversion: the trimmed text, or the figure read
// from it. A number that a step produced becomes text here.
void finish(clsparse& parser, const FieldPlan& plan, const FieldDef& field, Value& value) {
  if (!value.is_text()) value = Value(as_text(value));
  std::string& t = value.text_in_place();
  trim_in_place(t);
  // The figure is made before value is replaced, so t is read whole.
  if (plan.figureconvert) value = parser.figure_convert1(t, field.figures);
}

}  // namespace

bool value_convert(const FieldDef& field, Value& value, const cls_parsetable* table) {
  FieldPlan local;
  const FieldPlan& plan = plan_of(field, local);
  clsparse parser;
  if (plan.parseasvalue == 2) html_text(parser, value);
  if (!apply_step(plan.step1, field.fparam11, field.fparam12, field, value, table)) return false;
  if (!apply_step(plan.step2, field.fparam21, field.fparam22, field, value, table)) return false;
  if (plan.parseasvalue == 1) html_text(parser, value);
  finish(parser, plan, field, value);
  return true;
}

bool html_value_convert(const FieldDef& field, std::string_view html, Value& value,
                        const cls_parsetable* table) {
  FieldPlan local;
  const FieldPlan& plan = plan_of(field, local);
  if (plan.parseasvalue != 2 || plan.step1 >= 0 || plan.step2 >= 0) {
    value = Value(html);
    return value_convert(field, value, table);
  }
  clsparse parser;
  // The text is made in a buffer kept for the next cell: a figure needs no
  // string of its own, and a text one of its size.
  thread_local std::string t;
  t.assign(html);
  parser.allvalue_fromhtml_in_place(t);
  trim_in_place(t);
  if (plan.figureconvert) {
    value = parser.figure_convert1(t, field.figures);
  } else {
    value = Value(t);
  }
  return true;
}

Value multiply(const Value& value, std::string_view factor) {
  return Value(text::leading_number(as_text(value)) * text::leading_number(factor));
}

Value reu_pct_chng(const Value& value) {
  const std::string t = as_text(value);
  const std::size_t n = text::char_count(t);
  if (n < 2) return value;
  return Value(text::mid_chars(t, 2, n - 2));
}

std::optional<Value> reu_pcheck(const Value& value, const FieldDef& field, std::string_view marker,
                                std::int32_t back, const cls_parsetable* table) {
  const auto row = text::to_int32(field.rowvalue);
  if (!row) return std::nullopt;
  const cls_parsetable empty;
  const cls_parsetable& t = table ? *table : empty;
  if (text::find_ci(t.getcell(*row, 1).to_text(), marker) != 0) return value;
  if (back > 0 && text::find_ci(t.getcell(*row - back, 1).to_text(), marker) != 0) {
    const auto col = text::to_int32(field.colvalue);
    if (!col) return std::nullopt;
    return t.getcell(*row - back, *col);
  }
  return Value(kNotFound);
}

}  // namespace quillo
