// Evaluator: computes one formula for the cell that holds it, with
// spreadsheet semantics: error values propagate, text that reads as a number
// counts in arithmetic, references reach functions as ranges, array
// constants (and ranges inside array formulas and SUMPRODUCT-like
// functions) compute element by element, also through any function's
// parameters of one value (function_params.h), and a range used where one
// value is wanted in a plain formula gives the cell in the formula's own row
// or column.
//
// The evaluator recurses over the formula tree only (its height is bounded
// by the parser); it reads other cells' current values and never evaluates
// them itself. Event-loop thread only.
#pragma once

#include <functional>

#include "spreadsheet/functions.h"
#include "spreadsheet/model.h"

namespace quillo::spreadsheet {

class ParamKinds;

class Evaluator {
 public:
  Evaluator(Model& model, const CellAddr& cell);
  // The value the cell shows: one value, never a range or an array.
  Value run(const Formula& f);
  // An array formula's whole result, computed for the array's top-left cell
  // (the evaluator's cell) over rows x cols cells: operators work element
  // by element throughout.
  Value run_array(const Formula& f, std::int32_t rows, std::int32_t cols);
  // What the cell (r, c) of the array (0-based) shows of that result: a
  // single row or column stretches, places beyond the result are #N/A.
  Value array_item(const Value& result, std::int32_t r, std::int32_t c) const;

 private:
  enum class Mode : std::uint8_t {
    Any,     // references stay ranges (function arguments)
    Scalar,  // references give one value
    Array,   // references give arrays of their values
  };

  Value eval(const Node& n, Mode mode);
  Value eval_ref(const RefAst& ref, Mode mode);
  Value eval_call(const Node& n, Mode mode);
  // eval_call with a range answer shaped for mode.
  Value eval_call_shaped(const Node& n, Mode mode);
  Value eval_lazy(const Node& n, Mode mode);
  Value eval_if(const Node& n, Mode mode);
  Value eval_iferror(const Node& n, Mode mode, bool only_na);
  Value eval_ifs(const Node& n, Mode mode);
  Value eval_switch(const Node& n, Mode mode);
  Value ifs_items(const Node& n, std::size_t from, const Value& first);
  Value switch_items(const Node& n, const Value& keys);
  Value eval_elementwise(const FunctionDef& def, const ParamKinds& kinds, std::vector<Value> args);
  Value branch(const Node& n, std::size_t i, Mode mode, Value absent);
  Value eval_external(const Node& n);
  Value eval_name(const Node& n, Mode mode);
  Value eval_ref_operator(const Node& n);
  Value eval_3d(const RefAst& ref);
  Value shown(Value v) const;
  // shown, on the value where it is.
  void show_in_place(Value& v) const;
  Value shape(Value v, Mode mode);

  Model& m_model;
  CellAddr m_cell;
  CallContext m_ctx;
  int m_name_depth = 0;  // names being evaluated inside names
  bool m_array_formula = false;
  bool m_ref_call_in_arrays = false;  // the next call is CHOOSE, OFFSET or INDIRECT in SUM(...)
};

// One value where a range or an array stands: the cell of the range in the
// caller's row or column (#VALUE! when there is none), an array's first item.
Value intersect(const Value& v, const CallContext& ctx);

// The arithmetic of the operators, element by element over arrays.
Value apply_unary(Op op, const Value& v);
Value apply_binary(Op op, const Value& a, const Value& b);

// Spreadsheet comparison: numbers before texts before booleans, texts
// ignoring letter case, an empty cell equal to 0, "" or FALSE. Negative,
// zero or positive.
int compare_values(const Value& a, const Value& b);

}  // namespace quillo::spreadsheet
