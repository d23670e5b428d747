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

std::optional<std::int32_t> int_param(std::string_view p) {
  return text::to_int32(p);
}

// Keeps of t only part, a view into t.
void keep(std::string& t, std::string_view part) {
  const auto at = static_cast<std::size_t>(part.data() - t.data());
  t.resize(at + part.size());
  t.erase(0, at);
}

// Puts the text of a step's value in place of t.
void take(std::string& t, Value&& v) {
  if (v.is_text()) {
    t = std::move(v.text_in_place());
  } else {
    t = as_text(v);
  }
}

// The steps work on the text of the value, in place: a value between
// steps is its text (a number as as_text writes it, which is what the next
// step would read of it), so a step's result need not be a value of its
// own. A step answers false, leaving the text alone, when its parameters
// do not fit. A plain function rather than a std::function: the steps
// capture nothing.
using Step = bool (*)(std::string&, std::string_view, std::string_view, const FieldDef&,
                      const cls_parsetable*);

struct NamedStep {
  std::string_view name;
  Step run;
};

// The conversion functions a field may name, looked up by exact name.
const NamedStep kSteps[] = {
    {"convert2",
     [](std::string& t, std::string_view p1, std::string_view, const FieldDef&,
        const cls_parsetable*) {
       const auto mode = int_param(p1);
       if (!mode) return false;
       take(t, clsparse().convert2(t, *mode));
       return true;
     }},
    {"convert4",
     [](std::string& t, std::string_view p1, std::string_view p2, const FieldDef&,
        const cls_parsetable*) {
       const auto mode = int_param(p2);
       if (!mode) return false;
       take(t, clsparse().convert4(t, p1, *mode));
       return true;
     }},
    {"mid",
     [](std::string& t, std::string_view p1, std::string_view p2, const FieldDef&,
        const cls_parsetable*) {
       const auto start = int_param(p1);
       const auto length = int_param(p2);
       if (!start || !length || *start < 1 || *length < 0) return false;
       keep(t, text::mid_chars(t, static_cast<std::size_t>(*start),
                               static_cast<std::size_t>(*length)));
       return true;
     }},
    {"left",
     [](std::string& t, std::string_view p1, std::string_view, const FieldDef&,
        const cls_parsetable*) {
       const auto n = int_param(p1);
       if (!n || *n < 0) return false;
       keep(t, text::left_chars(t, static_cast<std::size_t>(*n)));
       return true;
     }},
    {"right",
     [](std::string& t, std::string_view p1, std::string_view, const FieldDef&,
        const cls_parsetable*) {
       const auto n = int_param(p1);
       if (!n || *n < 0) return false;
       keep(t, text::right_chars(t, static_cast<std::size_t>(*n)));
       return true;
     }},
    {"concat",
     [](std::string& t, std::string_view p1, std::string_view, const FieldDef&,
        const cls_parsetable*) {
       t.append(p1);
       return true;
     }},
    {"multiply",
     [](std::string& t, std::string_view p1, std::string_view, const FieldDef&,
        const cls_parsetable*) {
       t = as_text(multiply(t, p1));
       return true;
     }},
    {"reu_pct_chng",
     [](std::string& t, std::string_view, std::string_view, const FieldDef&,
        const cls_parsetable*) {
       keep(t, reu_pct_chng(t));
       return true;
     }},
    {"reu_pcheck",
     [](std::string& t, std::string_view p1, std::string_view p2, const FieldDef& field,
        const cls_parsetable* table) {
       const auto back = int_param(p2);
       if (!back) return false;
       std::optional<Value> checked = reu_pcheck(Value(t), field, p1, *back, table);
       if (!checked) return false;
       take(t, std::move(*checked));
       return true;
     }},
    {"figure_convert",
     [](std::string& t, std::string_view, std::string_view, const FieldDef& field,
        const cls_parsetable*) {
       take(t, clsparse().figure_convert1(t, field.figures));
       return true;
     }},
};

// Applies the step of that number; none (-1) leaves the text alone.
bool apply_step(int step, std::string_view p1, std::string_view p2, const FieldDef& field,
                std::string& t, const cls_parsetable* table) {
  return step < 0 || kSteps[step].run(t, p1, p2, field, table);
}

// Cuts the blanks off both ends of t, as text::trim does, in place.
void trim_in_place(std::string& t) {
  std::size_t b = 0;
  std::size_t e = t.size();
  while (b < e && t[b] == ' ') ++b;
  while (e > b && t[e - 1] == ' ') --e;
  t.resize(e);
  t.erase(0, b);
}

// The conversion up to the figure, on the value's text t in place: markup
// stripped before or after the steps (clsparse::getallvalue_fromhtml), the
// steps, the blanks at the ends cut. False when a step failed, with t as
// it stood before that step.
bool convert_text(const FieldPlan& plan, const FieldDef& field, std::string& t,
                  const cls_parsetable* table) {
  clsparse parser;
  if (plan.parseasvalue == 2) parser.allvalue_fromhtml_in_place(t);
  if (!apply_step(plan.step1, field.fparam11, field.fparam12, field, t, table)) return false;
  if (!apply_step(plan.step2, field.fparam21, field.fparam22, field, t, table)) return false;
  if (plan.parseasvalue == 1) parser.allvalue_fromhtml_in_place(t);
  trim_in_place(t);
  return true;
}

}  // namespace

int conversion_step(std::string_view name) {
  for (std::size_t i = 0; i < std::size(kSteps); ++i) {
    if (!name.empty() && kSteps[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

bool value_convert(const FieldDef& field, Value& value, const cls_parsetable* table) {
  std::optional<FieldPlan> local;
  const FieldPlan& plan = plan_of(field, local);
  // The conversion works on the value's own text; a value of another kind
  // becomes its text first.
  if (!value.is_text()) value = Value(as_text(value));
  std::string& t = value.text_in_place();
  if (!convert_text(plan, field, t, table)) return false;
  // The figure is made before value is replaced, so t is read whole.
  if (plan.figureconvert) value = clsparse().figure_convert1(t, field.figures);
  return true;
}

bool html_value_convert(const FieldDef& field, std::string_view html, Value& value,
                        const cls_parsetable* table) {
  std::optional<FieldPlan> local;
  const FieldPlan& plan = plan_of(field, local);
  // The text is made in a buffer kept for the next cell: a figure needs no
  // string of its own, and a text one of its size.
  thread_local std::string t;
  t.assign(html);
  const bool converted = convert_text(plan, field, t, table);
  if (converted && plan.figureconvert) {
    value = clsparse().figure_convert1(t, field.figures);
  } else {
    value = Value(t);
  }
  return converted;
}

Value multiply(std::string_view value, std::string_view factor) {
  return Value(text::leading_number(value) * text::leading_number(factor));
}

std::string_view reu_pct_chng(std::string_view value) {
  const std::size_t n = text::char_count(value);
  if (n < 2) return value;
  return text::mid_chars(value, 2, n - 2);
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
