#include "spreadsheet/evaluator.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "common/text.h"
#include "spreadsheet/coerce.h"
#include "spreadsheet/function_params.h"
#include "spreadsheet/handles.h"
#include "spreadsheet/range_view.h"
#include "spreadsheet/unicode_text.h"

namespace quillo::spreadsheet {

namespace {

// The largest array a reference turns into element by element.
constexpr std::int64_t kMaxArrayCells = 4'000'000;
// Names defined through names deeper than this answer #REF! (a name that
// refers to itself ends here).
constexpr int kMaxNameDepth = 16;

// Several ranges as one reference: a union (A1:A2,C1:C2) or a 3-D
// reference. Functions that walk their arguments (SUM, COUNT, MAX, ...) see
// the values of the cells that hold something, area after area.
class AreaList final : public RangeRef {
 public:
  explicit AreaList(std::vector<Value> areas) : m_areas(std::move(areas)) {}
  const std::vector<Value>& areas() const { return m_areas; }
  Array values() const override {
    Array out;
    for (const Value& a : m_areas) {
      if (const auto view = RangeView::of(a)) {
        view->for_each([&](const Value& v) { out.items.push_back(v); });
      }
    }
    out.rows = out.items.empty() ? 0 : 1;
    out.cols = static_cast<std::int32_t>(out.items.size());
    return out;
  }

 private:
  std::vector<Value> m_areas;  // range values, one per area
};

// The sheet and box of a value that is one range.
std::optional<std::pair<SheetId, Box>> area_of(const Value& v) {
  if (!v.is_range()) return std::nullopt;
  const auto* h = dynamic_cast<const RangeHandle*>(&v.range());
  if (!h || !h->live()) return std::nullopt;
  return std::make_pair(h->sheet_id(), h->box());
}

Value arith(Op op, double x, double y) {
  switch (op) {
    case Op::Add:
      return number_result(x + y);
    case Op::Sub:
      return number_result(x - y);
    case Op::Mul:
      return number_result(x * y);
    case Op::Div:
      return y == 0 ? Value(ErrorCode::Div0) : number_result(x / y);
    case Op::Pow:
      if (x == 0 && y == 0) return Value(ErrorCode::Num);
      if (x == 0 && y < 0) return Value(ErrorCode::Div0);
      return number_result(std::pow(x, y));
    default:
      return Value(ErrorCode::Value);
  }
}

Value scalar_binary(Op op, const Value& a, const Value& b) {
  if (a.is_error()) return a;
  if (b.is_error()) return b;
  switch (op) {
    case Op::Concat: {
      auto x = to_text(a), y = to_text(b);
      if (auto* e = std::get_if<ErrorCode>(&x)) return Value(*e);
      if (auto* e = std::get_if<ErrorCode>(&y)) return Value(*e);
      return Value(std::get<std::string>(x) + std::get<std::string>(y));
    }
    case Op::Eq:
      return Value(compare_values(a, b) == 0);
    case Op::Ne:
      return Value(compare_values(a, b) != 0);
    case Op::Lt:
      return Value(compare_values(a, b) < 0);
    case Op::Le:
      return Value(compare_values(a, b) <= 0);
    case Op::Gt:
      return Value(compare_values(a, b) > 0);
    case Op::Ge:
      return Value(compare_values(a, b) >= 0);
    default: {
      auto x = to_number(a), y = to_number(b);
      if (auto* e = std::get_if<ErrorCode>(&x)) return Value(*e);
      if (auto* e = std::get_if<ErrorCode>(&y)) return Value(*e);
      return arith(op, std::get<double>(x), std::get<double>(y));
    }
  }
}

Value scalar_unary(Op op, const Value& v) {
  // Unary plus changes nothing: =+"x" is the text, =+TRUE the logical.
  if (op == Op::Plus) return v;
  auto x = to_number(v);
  if (auto* e = std::get_if<ErrorCode>(&x)) return Value(*e);
  const double d = std::get<double>(x);
  switch (op) {
    case Op::Neg:
      return Value(-d);
    default:
      return Value(d / 100.0);
  }
}

// Item (r, c) of an operand that takes part in an element-wise operation: a
// single row or column stretches across, positions beyond it are #N/A.
const Value& item(const Array& a, std::int32_t r, std::int32_t c) {
  static const Value kNA(ErrorCode::NA);
  const std::int32_t rr = a.rows == 1 ? 0 : r;
  const std::int32_t cc = a.cols == 1 ? 0 : c;
  return rr < a.rows && cc < a.cols ? a.at(rr, cc) : kNA;
}

int type_rank(const Value& v) {
  if (v.is_text()) return 1;
  if (v.type() == ValueType::Bool) return 2;
  return 0;
}

}  // namespace

int compare_values(const Value& a0, const Value& b0) {
  // An empty value takes the type of the other side.
  auto blank_like = [](const Value& other) -> Value {
    if (other.is_text()) return Value("");
    if (other.type() == ValueType::Bool) return Value(false);
    return Value(0.0);
  };
  const bool ea = a0.is_empty() || a0.type() == ValueType::Missing;
  const bool eb = b0.is_empty() || b0.type() == ValueType::Missing;
  if (ea && eb) return 0;
  const Value a = ea ? blank_like(b0) : a0;
  const Value b = eb ? blank_like(a0) : b0;
  const int ra = type_rank(a), rb = type_rank(b);
  if (ra != rb) return ra < rb ? -1 : 1;
  if (ra == 1) {
    const std::string x = unicode::case_folded(a.text()), y = unicode::case_folded(b.text());
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  if (ra == 2) return static_cast<int>(a.as_bool()) - static_cast<int>(b.as_bool());
  const double x = a.is_number() ? a.number() : 0, y = b.is_number() ? b.number() : 0;
  if (nearly_equal(x, y)) return 0;
  return x < y ? -1 : 1;
}

Value apply_unary(Op op, const Value& v) {
  if (!v.is_array()) return scalar_unary(op, v);
  const Array& a = v.array();
  Array out{a.rows, a.cols, {}};
  out.items.reserve(a.items.size());
  for (const Value& x : a.items) out.items.push_back(scalar_unary(op, x));
  return Value(std::move(out));
}

Value apply_binary(Op op, const Value& a, const Value& b) {
  if (!a.is_array() && !b.is_array()) return scalar_binary(op, a, b);
  const Array single_a{1, 1, {a}}, single_b{1, 1, {b}};
  const Array& x = a.is_array() ? a.array() : single_a;
  const Array& y = b.is_array() ? b.array() : single_b;
  Array out;
  out.rows = std::max(x.rows, y.rows);
  out.cols = std::max(x.cols, y.cols);
  out.items.reserve(static_cast<std::size_t>(out.rows) * static_cast<std::size_t>(out.cols));
  for (std::int32_t r = 0; r < out.rows; ++r) {
    for (std::int32_t c = 0; c < out.cols; ++c) {
      out.items.push_back(scalar_binary(op, item(x, r, c), item(y, r, c)));
    }
  }
  return Value(std::move(out));
}

Value intersect(const Value& v, const CallContext& ctx) {
  if (v.is_array()) {
    const Array& a = v.array();
    return a.items.empty() ? Value(ErrorCode::Value) : a.items.front();
  }
  if (!v.is_range()) return v;
  const auto view = RangeView::of(v);
  if (!view || view->gone()) return Value(ErrorCode::Ref);
  if (!view->is_range()) return view->rows() > 0 ? view->at(0, 0) : Value(ErrorCode::Value);
  const Box& b = view->box();
  if (b.single()) return view->at(0, 0);
  if (b.c1 == b.c2 && ctx.row >= b.r1 && ctx.row <= b.r2) return view->at(ctx.row - b.r1, 0);
  if (b.r1 == b.r2 && ctx.col >= b.c1 && ctx.col <= b.c2) return view->at(0, ctx.col - b.c1);
  return Value(ErrorCode::Value);
}

Evaluator::Evaluator(Model& model, const CellAddr& cell) : m_model(model), m_cell(cell) {
  m_ctx.sheet = cell.sheet;
  m_ctx.row = cell.row;
  m_ctx.col = cell.col;
  m_ctx.clock = &model;
  m_ctx.model = &model;
}

Value Evaluator::run(const Formula& f) {
  // One value made and returned where it stands (a formula is run at every
  // evaluation of its cell).
  Value v = f.root ? eval(*f.root, Mode::Scalar) : Value(ErrorCode::Value);
  // Most results are single values already: only ranges and arrays need
  // the implicit intersection, and the rest is not copied.
  if (v.is_range() || v.is_array()) v = intersect(v, m_ctx);
  // Made shown where it is: a text, number or error is returned unmoved.
  show_in_place(v);
  return v;
}

Value Evaluator::run_array(const Formula& f, std::int32_t rows, std::int32_t cols) {
  if (!f.root) return Value(ErrorCode::Value);
  m_array_formula = true;
  m_ctx.array_rows = rows;
  m_ctx.array_cols = cols;
  return eval(*f.root, Mode::Array);
}

Value Evaluator::array_item(const Value& result, std::int32_t r, std::int32_t c) const {
  if (!result.is_array()) return shown(result);
  return shown(item(result.array(), r, c));
}

Value Evaluator::shown(Value v) const {
  show_in_place(v);
  return v;
}

void Evaluator::show_in_place(Value& v) const {
  switch (v.type()) {
    case ValueType::Empty:
    case ValueType::Missing:
    case ValueType::Null:
      v = Value(0.0);  // a formula that reads an empty cell shows 0
      return;
    case ValueType::Integer:
      v = Value(v.number());
      return;
    case ValueType::Range:
    case ValueType::Array:
      v = intersect(v, m_ctx);
      return;
    default:
      return;
  }
}

Value Evaluator::shape(Value v, Mode mode) {
  if (mode == Mode::Scalar && v.is_range()) return intersect(v, m_ctx);
  if (mode == Mode::Array && v.is_range()) {
    const auto view = RangeView::of(v);
    if (!view || view->gone()) return Value(ErrorCode::Ref);
    if (std::int64_t{view->rows()} * view->cols() > kMaxArrayCells) return Value(ErrorCode::Num);
    return Value(view->to_array());
  }
  return v;
}

Value Evaluator::eval(const Node& n, Mode mode) {
  switch (n.kind) {
    case Node::Kind::Number:
    case Node::Kind::Text:
    case Node::Kind::Bool:
    case Node::Kind::Error:
    case Node::Kind::Array:
      return n.constant;
    case Node::Kind::Missing:
      return Value(Missing{});
    case Node::Kind::Name:
      return eval_name(n, mode);
    case Node::Kind::Paren:
      return eval(*n.args[0], mode);
    case Node::Kind::Ref:
      return eval_ref(n.ref(), mode);
    case Node::Kind::Unary: {
      const Mode m = mode == Mode::Array || m_array_formula ? Mode::Array : Mode::Scalar;
      return apply_unary(n.op, eval(*n.args[0], m));
    }
    case Node::Kind::Binary: {
      if (n.op == Op::Range || n.op == Op::Union || n.op == Op::Isect) {
        return shape(eval_ref_operator(n), mode);
      }
      const Mode m = mode == Mode::Array || m_array_formula ? Mode::Array : Mode::Scalar;
      const Value a = eval(*n.args[0], m);
      const Value b = eval(*n.args[1], m);
      return apply_binary(n.op, a, b);
    }
    case Node::Kind::Call:
      return eval_call_shaped(n, mode);
  }
  return Value(ErrorCode::Value);
}

Value Evaluator::eval_call_shaped(const Node& n, Mode mode) {
  // Only a range changes shape; any other answer is returned as it is,
  // without a move (a call is made at every evaluation of most formulas):
  // this function returns the one value it makes.
  Value v = eval_call(n, mode);
  if (v.is_range()) v = shape(std::move(v), mode);
  return v;
}

Value Evaluator::eval_ref(const RefAst& ref, Mode mode) {
  if (ref.three_d()) return shape(eval_3d(ref), mode);
  const auto target = m_model.resolve(ref, m_cell);
  if (!target) return Value(ErrorCode::Ref);
  const auto& [sheet, box] = *target;
  if (mode == Mode::Scalar && box.single()) return m_model.value(sheet, box.r1, box.c1);
  return shape(make_range_value(m_model, sheet, box), mode);
}

namespace {

// Whether a node is a written constant, which evaluates to itself.
bool holds_constant(const Node& n) {
  switch (n.kind) {
    case Node::Kind::Number:
    case Node::Kind::Text:
    case Node::Kind::Bool:
    case Node::Kind::Error:
    case Node::Kind::Array:
      return true;
    default:
      return false;
  }
}

// The functions of one value that answer references.
bool answers_reference(const FunctionDef& f) {
  return f.name == "CHOOSE" || f.name == "OFFSET" || f.name == "INDIRECT";
}

}  // namespace

Value Evaluator::eval_call(const Node& n, Mode mode) {
  // Set by a function taking arrays for the reference function it calls.
  const bool arrays_arg = std::exchange(m_ref_call_in_arrays, false);
  const FunctionDef* def = n.builtin;
  if (!def) return eval_external(n);
  // A call without the arguments the function needs (NOT(), OR()).
  if (n.args.size() < static_cast<std::size_t>(def->min_args)) return Value(ErrorCode::Value);
  if (def->mode == ArgMode::Lazy) return eval_lazy(n, mode);
  // How a function that takes arrays receives one argument: a reference, or
  // a call that may answer one (INDEX), stays a range so a whole column costs
  // what it holds; anything computed (operators, element-wise functions, IF)
  // is computed item by item.
  auto array_arg_mode = [](const Node& a) {
    const Node* p = &a;
    while (p->kind == Node::Kind::Paren) p = p->args[0].get();
    if (p->kind == Node::Kind::Ref || p->kind == Node::Kind::Name) return Mode::Any;
    // The reference operators answer references too.
    if (p->kind == Node::Kind::Binary &&
        (p->op == Op::Range || p->op == Op::Union || p->op == Op::Isect)) {
      return Mode::Any;
    }
    if (p->kind == Node::Kind::Call) {
      const FunctionDef* f = p->builtin;
      if (!f || (f->mode != ArgMode::Lazy && !param_kinds(*f)) || answers_reference(*f)) {
        return Mode::Any;
      }
    }
    return Mode::Array;
  };
  // Parameters of one value read ranges as arrays where arrays are computed
  // (an array formula, an argument that takes arrays); an array there makes
  // the function compute item by item.
  const ParamKinds* kinds = param_kinds(*def);
  // CHOOSE, OFFSET and INDIRECT in an argument that takes arrays answer a
  // range, so a whole column costs what it holds, while their own numbers
  // and texts are read as arrays there.
  const bool array_context = mode == Mode::Array || m_array_formula || arrays_arg;
  bool lifted = false;
  std::vector<Value> args;
  args.reserve(n.args.size());
  for (std::size_t i = 0; i < n.args.size(); ++i) {
    const Node& a = *n.args[i];
    // An empty argument (LEFT("Calc",)) is a blank, which counts as 0 or
    // "": only an argument left off altogether takes its default.
    if (a.kind == Node::Kind::Missing) {
      args.push_back(Value());
      continue;
    }
    const bool scalar = kinds && kinds->scalar(i);
    Mode m = Mode::Any;
    if (def->mode == ArgMode::Arrays) {
      m = array_arg_mode(a);
      const Node* p = &a;
      while (p->kind == Node::Kind::Paren) p = p->args[0].get();
      m_ref_call_in_arrays =
          p->kind == Node::Kind::Call && p->builtin && answers_reference(*p->builtin);
    }
    if (scalar && array_context) m = Mode::Array;
    args.push_back(eval(a, m));
    if (scalar && args.back().is_array()) lifted = true;
  }
  // CHOOSE, OFFSET and INDIRECT answer references: given one value as an
  // array of one item (a cell read in an array formula) they answer the
  // reference whole, as given a single value.
  if (lifted && answers_reference(*def)) {
    lifted = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
      if (!kinds->scalar(i) || !args[i].is_array()) continue;
      const Array& a = args[i].array();
      if (a.rows == 1 && a.cols == 1) {
        Value one = a.at(0, 0);
        args[i] = std::move(one);
      } else {
        lifted = true;
      }
    }
  }
  if (lifted && def->name == "CHOOSE") {
    // CHOOSE({1,2}, A1:A3, B1:B3): each index picks among the items in its
    // place, so the chosen columns stand side by side.
    static constexpr ParamKinds kEvery("s");
    for (std::size_t i = 1; i < args.size(); ++i) args[i] = shape(std::move(args[i]), Mode::Array);
    return eval_elementwise(*def, kEvery, std::move(args));
  }
  if (lifted) return eval_elementwise(*def, *kinds, std::move(args));
  return def->impl(m_ctx, args);
}

// A function of single values given arrays: the answer is an array as large
// as the largest array given for one value, each item computed from the
// items in its place (a single row or column stretches across, as for
// operators); arguments taken whole go to every call as they are.
Value Evaluator::eval_elementwise(const FunctionDef& def, const ParamKinds& kinds,
                                  std::vector<Value> args) {
  std::int32_t rows = 0, cols = 0;
  std::vector<bool> spread(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!args[i].is_array() || !kinds.scalar(i)) continue;
    spread[i] = true;
    rows = std::max(rows, args[i].array().rows);
    cols = std::max(cols, args[i].array().cols);
  }
  if (rows == 0 || cols == 0) return def.impl(m_ctx, args);
  Array out{rows, cols, {}};
  out.items.reserve(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
  std::vector<Value> one(args.size());
  for (std::int32_t r = 0; r < rows; ++r) {
    for (std::int32_t c = 0; c < cols; ++c) {
      for (std::size_t i = 0; i < args.size(); ++i) {
        one[i] = spread[i] ? item(args[i].array(), r, c) : args[i];
      }
      out.items.push_back(intersect(def.impl(m_ctx, one), m_ctx));
    }
  }
  return Value(std::move(out));
}

Value Evaluator::branch(const Node& n, std::size_t i, Mode mode, Value absent) {
  if (i >= n.args.size()) return absent;
  if (n.args[i]->kind == Node::Kind::Missing) return Value(0.0);
  return eval(*n.args[i], mode);
}

// IF, IFERROR, IFNA, IFS and SWITCH evaluate only the arguments they need,
// so a branch that is not taken never runs (nor calls the functions it names).
Value Evaluator::eval_lazy(const Node& n, Mode mode) {
  const std::string_view name = n.builtin->name;
  if (name == "IFERROR") return eval_iferror(n, mode, false);
  if (name == "IFNA") return eval_iferror(n, mode, true);
  if (name == "IFS") return eval_ifs(n, mode);
  if (name == "SWITCH") return eval_switch(n, mode);
  return eval_if(n, mode);
}

Value Evaluator::eval_if(const Node& n, Mode mode) {
  const Mode first_mode = mode == Mode::Array ? Mode::Array : Mode::Scalar;
  const Value cond = eval(*n.args[0], first_mode);
  if (cond.is_array()) {
    // Item by item: each item takes the branch its condition picks.
    const Value yes = branch(n, 1, Mode::Array, Value(0.0));
    const Value no = branch(n, 2, Mode::Array, Value(false));
    const Array& c = cond.array();
    auto shape_of = [](const Value& v, std::int32_t& rows, std::int32_t& cols) {
      if (!v.is_array()) return;
      rows = std::max(rows, v.array().rows);
      cols = std::max(cols, v.array().cols);
    };
    std::int32_t rows = c.rows, cols = c.cols;
    shape_of(yes, rows, cols);
    shape_of(no, rows, cols);
    Array out{rows, cols, {}};
    for (std::int32_t r = 0; r < rows; ++r) {
      for (std::int32_t col = 0; col < cols; ++col) {
        const auto b = to_bool(item(c, r, col));
        if (const auto* e = std::get_if<ErrorCode>(&b)) {
          out.items.emplace_back(*e);
          continue;
        }
        const Value& pick = std::get<bool>(b) ? yes : no;
        out.items.push_back(pick.is_array() ? item(pick.array(), r, col) : intersect(pick, m_ctx));
      }
    }
    return Value(std::move(out));
  }
  const auto b = to_bool(intersect(cond, m_ctx));
  if (const auto* e = std::get_if<ErrorCode>(&b)) return Value(*e);
  return std::get<bool>(b) ? branch(n, 1, mode, Value(0.0)) : branch(n, 2, mode, Value(false));
}

Value Evaluator::eval_iferror(const Node& n, Mode mode, bool only_na) {
  const Mode first_mode = mode == Mode::Array ? Mode::Array : Mode::Scalar;
  auto caught = [only_na](const Value& x) {
    return x.is_error() && (!only_na || x.error() == ErrorCode::NA);
  };
  const Value v = eval(*n.args[0], first_mode);
  if (v.is_array()) {
    const Value alt = intersect(branch(n, 1, Mode::Scalar, Value(0.0)), m_ctx);
    Array out = v.array();
    for (Value& x : out.items) {
      if (caught(x)) x = alt;
    }
    return Value(std::move(out));
  }
  return caught(v) ? branch(n, 1, mode, Value(0.0)) : v;
}

namespace {

// The largest shape among values given item by item; 0 by 0 when none is
// an array.
void widen_to(const Value& v, std::int32_t& rows, std::int32_t& cols) {
  if (!v.is_array()) return;
  rows = std::max(rows, v.array().rows);
  cols = std::max(cols, v.array().cols);
}

}  // namespace

// IFS(condition, value, ...): the value of the first true condition; #N/A
// when none is true. Given an array of conditions (an array formula,
// SUMPRODUCT) each item takes the value its conditions pick.
Value Evaluator::eval_ifs(const Node& n, Mode mode) {
  if (n.args.size() % 2 != 0) return Value(ErrorCode::NA);
  const Mode first_mode = mode == Mode::Array || m_array_formula ? Mode::Array : Mode::Scalar;
  for (std::size_t i = 0; i + 1 < n.args.size(); i += 2) {
    const Value cond = eval(*n.args[i], first_mode);
    if (cond.is_array()) return ifs_items(n, i, cond);
    const auto b = to_bool(intersect(cond, m_ctx));
    if (const auto* e = std::get_if<ErrorCode>(&b)) return Value(*e);
    if (std::get<bool>(b)) return branch(n, i + 1, mode, Value(0.0));
  }
  return Value(ErrorCode::NA);
}

// IFS item by item from the pair at `from` on (the pairs before it were
// false), whose condition `first` is an array.
Value Evaluator::ifs_items(const Node& n, std::size_t from, const Value& first) {
  std::vector<Value> conds{first}, values;
  for (std::size_t i = from; i + 1 < n.args.size(); i += 2) {
    if (i != from) conds.push_back(eval(*n.args[i], Mode::Array));
    values.push_back(branch(n, i + 1, Mode::Array, Value(0.0)));
  }
  std::int32_t rows = 0, cols = 0;
  for (const auto* list : {&conds, &values}) {
    for (const Value& v : *list) widen_to(v, rows, cols);
  }
  auto at = [this](const Value& v, std::int32_t r, std::int32_t c) {
    return v.is_array() ? item(v.array(), r, c) : intersect(v, m_ctx);
  };
  Array out{rows, cols, {}};
  for (std::int32_t r = 0; r < rows; ++r) {
    for (std::int32_t c = 0; c < cols; ++c) {
      Value pick(ErrorCode::NA);
      for (std::size_t k = 0; k < conds.size(); ++k) {
        const auto b = to_bool(at(conds[k], r, c));
        if (const auto* e = std::get_if<ErrorCode>(&b)) {
          pick = Value(*e);
          break;
        }
        if (std::get<bool>(b)) {
          pick = at(values[k], r, c);
          break;
        }
      }
      out.items.push_back(std::move(pick));
    }
  }
  return Value(std::move(out));
}

// SWITCH(expression, value, result, ..., [default]): the result of the first
// value equal to the expression, else the default, else #N/A. Given an
// array expression each item is switched on its own.
Value Evaluator::eval_switch(const Node& n, Mode mode) {
  const Mode first_mode = mode == Mode::Array || m_array_formula ? Mode::Array : Mode::Scalar;
  const Value first = eval(*n.args[0], first_mode);
  if (first.is_array()) return switch_items(n, first);
  const Value key = intersect(first, m_ctx);
  if (key.is_error()) return key;
  std::size_t i = 1;
  for (; i + 1 < n.args.size(); i += 2) {
    const Value v = intersect(eval(*n.args[i], Mode::Scalar), m_ctx);
    if (v.is_error()) return v;
    if (compare_values(key, v) == 0) {
      return branch(n, i + 1, mode, Value(0.0));
    }
  }
  return i < n.args.size() ? branch(n, i, mode, Value(0.0)) : Value(ErrorCode::NA);
}

Value Evaluator::switch_items(const Node& n, const Value& keys) {
  std::vector<Value> args;
  for (std::size_t i = 1; i < n.args.size(); ++i) args.push_back(branch(n, i, Mode::Array, {}));
  std::int32_t rows = keys.array().rows, cols = keys.array().cols;
  for (const Value& v : args) widen_to(v, rows, cols);
  auto at = [this](const Value& v, std::int32_t r, std::int32_t c) {
    return v.is_array() ? item(v.array(), r, c) : intersect(v, m_ctx);
  };
  Array out{rows, cols, {}};
  for (std::int32_t r = 0; r < rows; ++r) {
    for (std::int32_t c = 0; c < cols; ++c) {
      const Value key = at(keys, r, c);
      Value pick = key.is_error() ? key : Value(ErrorCode::NA);
      std::size_t i = 0;
      for (; !key.is_error() && i + 1 < args.size(); i += 2) {
        const Value v = at(args[i], r, c);
        if (v.is_error() || compare_values(key, v) == 0) {
          pick = v.is_error() ? v : at(args[i + 1], r, c);
          break;
        }
      }
      if (!key.is_error() && i + 1 >= args.size() && i < args.size()) pick = at(args[i], r, c);
      out.items.push_back(std::move(pick));
    }
  }
  return Value(std::move(out));
}

Value Evaluator::eval_name(const Node& n, Mode mode) {
  if (n.has_book || (n.ref().has_sheet && n.ref().sheet == 0)) return Value(ErrorCode::Ref);
  const DefinedName* d = m_model.find_name(m_cell.sheet, n.ref().sheet, n.name());
  if (!d || !d->formula || !d->formula->root) return Value(ErrorCode::Name);
  if (m_name_depth >= kMaxNameDepth) return Value(ErrorCode::Ref);
  // Held while it runs: a function may redefine the name meanwhile.
  const FormulaPtr f = d->formula;
  ++m_name_depth;
  Value v = eval(*f->root, mode);
  --m_name_depth;
  return v;
}

// A1:INDEX(...), (A1,B2) and "A1:C3 B2:D4": references made of references.
Value Evaluator::eval_ref_operator(const Node& n) {
  const Value a = eval(*n.args[0], Mode::Any);
  const Value b = eval(*n.args[1], Mode::Any);
  if (a.is_error()) return a;
  if (b.is_error()) return b;
  if (n.op == Op::Union) {
    std::vector<Value> areas;
    for (const Value* v : {&a, &b}) {
      if (!v->is_range()) return Value(ErrorCode::Value);
      if (const auto* list = dynamic_cast<const AreaList*>(&v->range())) {
        areas.insert(areas.end(), list->areas().begin(), list->areas().end());
      } else {
        areas.push_back(*v);
      }
    }
    return Value(std::shared_ptr<const RangeRef>(std::make_shared<AreaList>(std::move(areas))));
  }
  const auto x = area_of(a), y = area_of(b);
  if (!x || !y || x->first != y->first) return Value(ErrorCode::Value);
  const Box& p = x->second;
  const Box& q = y->second;
  Box box;
  if (n.op == Op::Range) {
    box =
        Box{std::min(p.r1, q.r1), std::min(p.c1, q.c1), std::max(p.r2, q.r2), std::max(p.c2, q.c2)};
  } else {
    box =
        Box{std::max(p.r1, q.r1), std::max(p.c1, q.c1), std::min(p.r2, q.r2), std::min(p.c2, q.c2)};
    if (box.r1 > box.r2 || box.c1 > box.c2) return Value(ErrorCode::Null);
  }
  return make_range_value(m_model, x->first, box);
}

// Sheet1:Sheet3!A1:B2: the box on each sheet from the first to the last.
Value Evaluator::eval_3d(const RefAst& ref) {
  const auto target = m_model.resolve(ref, m_cell);
  const std::vector<SheetId> sheets = m_model.sheets_between(ref.sheet, ref.sheet2);
  if (!target || sheets.empty()) return Value(ErrorCode::Ref);
  std::vector<Value> areas;
  areas.reserve(sheets.size());
  for (SheetId s : sheets) areas.push_back(make_range_value(m_model, s, target->second));
  return Value(std::shared_ptr<const RangeRef>(std::make_shared<AreaList>(std::move(areas))));
}

namespace {

// The arguments of a library call as its method is handed them, each
// where it lies: a constant (the instrument and field code of fsingle) as
// it stands in the formula, any other argument evaluated into room here,
// on the stack for a call of a few arguments (one is made at every
// evaluation of its cell), made only for those evaluated.
class CallArguments {
 public:
  explicit CallArguments(std::size_t count) {
    if (count > kInline) {
      m_more_items = std::make_unique<const Value*[]>(count);
      m_more_values = std::make_unique<Value[]>(count);
    }
  }
  ~CallArguments() {
    for (std::size_t i = 0; i < m_evaluated; ++i) std::destroy_at(inline_value(i));
  }
  CallArguments(const CallArguments&) = delete;
  CallArguments& operator=(const CallArguments&) = delete;

  void add_constant(const Value& v) { items()[m_count++] = &v; }
  void add_evaluated(Value v) {
    Value* at = nullptr;
    if (m_more_values) {
      at = &m_more_values[m_count];
      *at = std::move(v);
    } else {
      at = std::construct_at(inline_value(m_evaluated), std::move(v));
      ++m_evaluated;
    }
    items()[m_count++] = at;
  }
  std::span<const Value* const> list() { return {items(), m_count}; }

 private:
  static constexpr std::size_t kInline = 8;
  const Value** items() { return m_more_items ? m_more_items.get() : m_inline_items.data(); }
  Value* inline_value(std::size_t i) { return reinterpret_cast<Value*>(m_inline_values) + i; }

  std::array<const Value*, kInline> m_inline_items;
  alignas(Value) std::byte m_inline_values[kInline * sizeof(Value)];
  std::size_t m_count = 0;
  std::size_t m_evaluated = 0;  // the values made in m_inline_values
  std::unique_ptr<const Value*[]> m_more_items;
  std::unique_ptr<Value[]> m_more_values;
};

}  // namespace

Value Evaluator::eval_external(const Node& n) {
  // The answer is made where it is returned: every return names it.
  Value result;
  if (ExternalFunctions* ext = m_model.external_functions()) {
    CallArguments args(n.args.size());
    for (const auto& a : n.args) {
      if (holds_constant(*a)) {
        args.add_constant(a->constant);
      } else {
        args.add_evaluated(eval(*a, Mode::Any));
      }
    }
    if (ext->call(n.name(), n.has_book ? &n.book() : nullptr, args.list(), m_cell, result)) {
      return result;
    }
  }
  result = Value(ErrorCode::Name);
  return result;
}

}  // namespace quillo::spreadsheet
