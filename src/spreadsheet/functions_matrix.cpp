// Matrix functions: MMULT, MDETERM and MINVERSE. Every item must be a
// number (an empty cell, a text or a logical value is #VALUE!); an error
// item is the answer.
#include <cmath>
#include <utility>
#include <vector>

#include "spreadsheet/function_args.h"

namespace quillo::spreadsheet {

using namespace fn;

namespace {

struct Matrix {
  std::int32_t rows = 0, cols = 0;
  std::vector<double> at;  // row-major

  double& operator()(std::int32_t r, std::int32_t c) {
    return at[static_cast<std::size_t>(r) * static_cast<std::size_t>(cols) +
              static_cast<std::size_t>(c)];
  }
};

std::variant<Matrix, ErrorCode> matrix(const Value& v, const CallContext& ctx) {
  Array a;
  if (auto view = RangeView::of(v)) {
    if (view->gone()) return ErrorCode::Ref;
    a = view->to_array();
  } else {
    a = Array{1, 1, {scalar(v, ctx)}};
  }
  Matrix m{a.rows, a.cols, {}};
  m.at.reserve(a.items.size());
  for (const Value& item : a.items) {
    if (item.is_error()) return item.error();
    if (!item.is_number()) return ErrorCode::Value;
    m.at.push_back(item.number());
  }
  return m;
}

Value to_value(Matrix m) {
  Array out{m.rows, m.cols, {}};
  out.items.reserve(m.at.size());
  for (double d : m.at) out.items.push_back(number_result(d));
  return Value(std::move(out));
}

// Gaussian elimination with partial pivoting on m (square), carrying the
// columns of extra along; answers the determinant. m becomes upper
// triangular, or with reduce the identity (and extra the inverse).
double eliminate(Matrix& m, Matrix* extra, bool reduce) {
  const std::int32_t n = m.rows;
  double det = 1;
  for (std::int32_t c = 0; c < n; ++c) {
    std::int32_t pivot = c;
    for (std::int32_t r = c + 1; r < n; ++r) {
      if (std::fabs(m(r, c)) > std::fabs(m(pivot, c))) pivot = r;
    }
    if (m(pivot, c) == 0) return 0;
    if (pivot != c) {
      for (std::int32_t k = 0; k < n; ++k) std::swap(m(pivot, k), m(c, k));
      if (extra) {
        for (std::int32_t k = 0; k < n; ++k) std::swap((*extra)(pivot, k), (*extra)(c, k));
      }
      det = -det;
    }
    const double p = m(c, c);
    det *= p;
    for (std::int32_t r = reduce ? 0 : c + 1; r < n; ++r) {
      if (r == c) continue;
      const double f = m(r, c) / p;
      if (f == 0) continue;
      for (std::int32_t k = c; k < n; ++k) m(r, k) -= f * m(c, k);
      if (extra) {
        for (std::int32_t k = 0; k < n; ++k) (*extra)(r, k) -= f * (*extra)(c, k);
      }
    }
    if (reduce) {
      for (std::int32_t k = 0; k < n; ++k) m(c, k) /= p;
      for (std::int32_t k = 0; k < n; ++k) (*extra)(c, k) /= p;
    }
  }
  return det;
}

}  // namespace

// MMULT(a, b): the matrix product; a's columns must match b's rows.
Value fn_mmult(const CallContext& ctx, std::span<const Value> args) {
  auto a = matrix(args[0], ctx);
  if (const auto* e = std::get_if<ErrorCode>(&a)) return Value(*e);
  auto b = matrix(args[1], ctx);
  if (const auto* e = std::get_if<ErrorCode>(&b)) return Value(*e);
  Matrix& x = std::get<Matrix>(a);
  Matrix& y = std::get<Matrix>(b);
  if (x.cols != y.rows) return Value(ErrorCode::Value);
  Matrix out{
      x.rows, y.cols,
      std::vector<double>(static_cast<std::size_t>(x.rows) * static_cast<std::size_t>(y.cols))};
  for (std::int32_t r = 0; r < x.rows; ++r) {
    for (std::int32_t c = 0; c < y.cols; ++c) {
      double s = 0;
      for (std::int32_t k = 0; k < x.cols; ++k) s += x(r, k) * y(k, c);
      out(r, c) = s;
    }
  }
  return to_value(std::move(out));
}

Value fn_mdeterm(const CallContext& ctx, std::span<const Value> args) {
  auto a = matrix(args[0], ctx);
  if (const auto* e = std::get_if<ErrorCode>(&a)) return Value(*e);
  Matrix& m = std::get<Matrix>(a);
  if (m.rows != m.cols) return Value(ErrorCode::Value);
  return number_result(eliminate(m, nullptr, false));
}

// MINVERSE(a): the inverse of a square matrix; #NUM! when it has none.
Value fn_minverse(const CallContext& ctx, std::span<const Value> args) {
  auto a = matrix(args[0], ctx);
  if (const auto* e = std::get_if<ErrorCode>(&a)) return Value(*e);
  Matrix& m = std::get<Matrix>(a);
  if (m.rows != m.cols) return Value(ErrorCode::Value);
  Matrix inverse{m.rows, m.cols, std::vector<double>(m.at.size(), 0.0)};
  for (std::int32_t i = 0; i < m.rows; ++i) inverse(i, i) = 1;
  if (eliminate(m, &inverse, true) == 0) return Value(ErrorCode::Num);
  return to_value(std::move(inverse));
}

}  // namespace quillo::spreadsheet
