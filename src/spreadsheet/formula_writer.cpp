// Writes a parsed formula back as text. The tree keeps the user's
// parentheses, so writing needs no precedence rules of its own and the text
// parses back to the same tree.
#include "common/text.h"
#include "spreadsheet/address.h"
#include "spreadsheet/formula.h"
#include "spreadsheet/functions.h"

namespace quillo::spreadsheet {

namespace {

std::string_view op_text(Op op) {
  switch (op) {
    case Op::Add:
      return "+";
    case Op::Sub:
      return "-";
    case Op::Mul:
      return "*";
    case Op::Div:
      return "/";
    case Op::Pow:
      return "^";
    case Op::Concat:
      return "&";
    case Op::Eq:
      return "=";
    case Op::Ne:
      return "<>";
    case Op::Lt:
      return "<";
    case Op::Le:
      return "<=";
    case Op::Gt:
      return ">";
    case Op::Ge:
      return ">=";
    case Op::Neg:
      return "-";
    case Op::Plus:
      return "+";
    case Op::Percent:
      return "%";
    case Op::Range:
      return ":";
    case Op::Union:
      return ",";
    case Op::Isect:
      return " ";
  }
  return "";
}

std::string quote_text(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    out += c;
    if (c == '"') out += '"';
  }
  out += '"';
  return out;
}

// The text of an external workbook before "!": quoted as a sheet name is.
// A workbook numbered as the file format counts external links ("[1]")
// stays as it is.
std::string book_prefix(std::string_view book) {
  const bool numbered = book.size() > 2 && book.front() == '[' && book.back() == ']' &&
                        book.find_first_not_of("0123456789", 1) == book.size() - 1;
  return numbered ? std::string(book) : quote_sheet_name(book);
}

// The sheets of a 3-D reference: Sheet1:Sheet3, quoted as one when either
// name needs quotes.
std::string sheet_span(const std::string& first, const std::string& last) {
  if (quote_sheet_name(first) == first && quote_sheet_name(last) == last) {
    return first + ":" + last;
  }
  std::string out = "'";
  for (char c : first + ":" + last) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

// The prefix a workbook file gives a function newer than its format ("" for
// the others), so the applications that read the file know the function.
std::string_view file_prefix(std::string_view fn) {
  static constexpr std::string_view kWorksheet[] = {"FILTER", "SORT", "SORTBY", "UNIQUE"};
  static constexpr std::string_view kNewer[] = {"AGGREGATE",
                                                "BITAND",
                                                "BITOR",
                                                "BITXOR",
                                                "CEILING.MATH",
                                                "CONCAT",
                                                "DAYS",
                                                "FLOOR.MATH",
                                                "IFNA",
                                                "IFS",
                                                "ISOWEEKNUM",
                                                "LET",
                                                "MAXIFS",
                                                "MINIFS",
                                                "MODE.SNGL",
                                                "NORM.DIST",
                                                "NORM.INV",
                                                "NORM.S.DIST",
                                                "NORM.S.INV",
                                                "NUMBERVALUE",
                                                "PERCENTILE.EXC",
                                                "PERCENTILE.INC",
                                                "QUARTILE.EXC",
                                                "QUARTILE.INC",
                                                "RANDARRAY",
                                                "RANK.AVG",
                                                "RANK.EQ",
                                                "SEQUENCE",
                                                "STDEV.P",
                                                "STDEV.S",
                                                "SWITCH",
                                                "TEXTJOIN",
                                                "VAR.P",
                                                "VAR.S",
                                                "XLOOKUP",
                                                "XMATCH",
                                                "COVARIANCE.P",
                                                "COVARIANCE.S",
                                                "CHISQ.TEST",
                                                "T.TEST",
                                                "XOR",
                                                "ISFORMULA",
                                                "FORECAST.LINEAR",
                                                "UNICHAR",
                                                "UNICODE",
                                                "PERCENTRANK.INC",
                                                "PERCENTRANK.EXC",
                                                "NETWORKDAYS.INTL",
                                                "WORKDAY.INTL",
                                                "MODE.MULT",
                                                "NETWORKDAYS.INTL",
                                                "WORKDAY.INTL",
                                                "LOGNORM.DIST",
                                                "LOGNORM.INV",
                                                "PHI",
                                                "GAUSS",
                                                "CONFIDENCE.NORM",
                                                "CONFIDENCE.T",
                                                "ERF.PRECISE",
                                                "ERFC.PRECISE",
                                                "T.DIST",
                                                "T.DIST.2T",
                                                "T.DIST.RT",
                                                "T.INV",
                                                "T.INV.2T",
                                                "CHISQ.DIST",
                                                "CHISQ.DIST.RT",
                                                "CHISQ.INV",
                                                "CHISQ.INV.RT",
                                                "F.DIST",
                                                "F.DIST.RT",
                                                "F.INV",
                                                "F.INV.RT",
                                                "BETA.DIST",
                                                "BETA.INV",
                                                "GAMMA",
                                                "GAMMALN.PRECISE",
                                                "GAMMA.DIST",
                                                "GAMMA.INV",
                                                "BINOM.DIST",
                                                "BINOM.INV",
                                                "POISSON.DIST",
                                                "EXPON.DIST",
                                                "WEIBULL.DIST",
                                                "COTH",
                                                "CSCH",
                                                "SECH",
                                                "ACOTH",
                                                "COT",
                                                "CSC",
                                                "SEC",
                                                "ACOT",
                                                "PERMUTATIONA",
                                                "COMBINA",
                                                "MUNIT",
                                                "ARABIC",
                                                "BASE",
                                                "DECIMAL",
                                                "BITLSHIFT",
                                                "BITRSHIFT",
                                                "SKEW.P",
                                                "PDURATION",
                                                "RRI",
                                                "CEILING.PRECISE",
                                                "FLOOR.PRECISE",
                                                "HYPGEOM.DIST",
                                                "NEGBINOM.DIST",
                                                "Z.TEST",
                                                "F.TEST"};
  for (std::string_view w : kWorksheet) {
    if (w == fn) return "_xlfn._xlws.";
  }
  for (std::string_view n : kNewer) {
    if (n == fn) return "_xlfn.";
  }
  return "";
}

class Writer {
 public:
  Writer(Notation notation, std::int32_t row, std::int32_t col, const SheetNamer& name_of,
         FormulaText form)
      : m_notation(notation), m_row(row), m_col(col), m_name_of(name_of), m_form(form) {}

  void node(const Node& n, std::string& out) const {
    switch (n.kind) {
      case Node::Kind::Number:
      case Node::Kind::Text:
      case Node::Kind::Bool:
      case Node::Kind::Error:
      case Node::Kind::Array:
        out += write_constant(n.constant);
        return;
      case Node::Kind::Ref:
        if (!n.name().empty()) {
          out += n.name();  // a structured reference, as written
        } else {
          ref(n.ref(), out);
        }
        return;
      case Node::Kind::Unary:
        if (n.op == Op::Percent) {
          node(*n.args[0], out);
          out += '%';
        } else {
          out += op_text(n.op);
          node(*n.args[0], out);
        }
        return;
      case Node::Kind::Binary:
        operand(n, *n.args[0], out);
        out += op_text(n.op);
        operand(n, *n.args[1], out);
        return;
      case Node::Kind::Paren:
        out += '(';
        node(*n.args[0], out);
        out += ')';
        return;
      case Node::Kind::Call:
        call(n, out);
        return;
      case Node::Kind::Missing:
        return;
      case Node::Kind::Name:
        if (n.has_book) {
          out += book_prefix(n.book()) + "!";
        } else if (n.ref().has_sheet) {
          const std::string sheet = sheet_of(n.ref());
          if (sheet.empty()) {
            out += "#REF!";
            return;
          }
          out += quote_sheet_name(sheet) + "!";
        }
        out += n.name();
        return;
    }
  }

 private:
  // Beside ":" only cell and area references, calls and bracketed or
  // combined parts stand as they are. Anything else goes in parentheses so
  // that it reads back as itself: a name could read as a column, a row or
  // the rest of a reference (Sh:eeR in A1), whole rows or columns would take
  // the next reference as their second part (R[-1]:R[-1]C[-2] in R1C1), and
  // a number would read as a row; a reference beside a name goes in
  // parentheses too.
  void operand(const Node& op, const Node& n, std::string& out) const {
    const Node& other = &n == op.args[0].get() ? *op.args[1] : *op.args[0];
    bool plain = n.kind == Node::Kind::Call || n.kind == Node::Kind::Paren ||
                 n.kind == Node::Kind::Binary || n.kind == Node::Kind::Unary;
    if (n.kind == Node::Kind::Ref) {
      const bool box = !n.name().empty() || n.ref().kind == RefAst::Kind::Cell ||
                       n.ref().kind == RefAst::Kind::Area;
      plain = box && other.kind != Node::Kind::Name;
    }
    const bool paren = op.op == Op::Range && !plain;
    if (paren) out += '(';
    node(n, out);
    if (paren) out += ')';
  }

  void call(const Node& n, std::string& out) const {
    if (n.has_book) out += book_prefix(n.book()) + "!";
    if (n.builtin && m_form == FormulaText::File) out += file_prefix(n.builtin->name);
    out += n.builtin ? std::string(n.builtin->name) : n.name();
    out += '(';
    for (std::size_t i = 0; i < n.args.size(); ++i) {
      if (i > 0) out += ',';
      node(*n.args[i], out);
    }
    out += ')';
  }

  std::int64_t resolve(const RefPart& p, std::int32_t base) const {
    return p.abs ? p.n : std::int64_t{base} + p.n;
  }

  void a1_row(const RefPart& p, std::string& out) const {
    if (p.abs) out += '$';
    out += std::to_string(resolve(p, m_row));
  }
  void a1_col(const RefPart& p, std::string& out) const {
    if (p.abs) out += '$';
    out += column_letters(static_cast<std::int32_t>(resolve(p, m_col)));
  }
  static void r1c1_part(char letter, const RefPart& p, std::string& out) {
    out += letter;
    if (p.abs) {
      out += std::to_string(p.n);
    } else if (p.n != 0) {
      out.append("[").append(std::to_string(p.n)).append("]");
    }
  }

  bool in_bounds(const RefAst& r) const {
    auto ok = [](std::int64_t v, std::int32_t limit) { return v >= 1 && v <= limit; };
    const bool rows = r.kind == RefAst::Kind::Columns ||
                      (ok(resolve(r.r1, m_row), kMaxRows) && ok(resolve(r.r2, m_row), kMaxRows));
    const bool cols = r.kind == RefAst::Kind::Rows ||
                      (ok(resolve(r.c1, m_col), kMaxCols) && ok(resolve(r.c2, m_col), kMaxCols));
    return rows && cols;
  }

  // The current name of a reference's sheet; empty when it was deleted.
  std::string sheet_of(const RefAst& r, bool last = false) const {
    const SheetId id = last ? r.sheet2 : r.sheet;
    if (id == 0) return last ? r.sheet2_name() : r.sheet_name();
    return m_name_of ? m_name_of(id) : std::string();
  }

  void ref(const RefAst& r, std::string& out) const {
    if (r.has_sheet) {
      const std::string name = sheet_of(r);
      const std::string last = r.three_d() ? sheet_of(r, true) : std::string();
      if (name.empty() || (r.three_d() && last.empty())) {  // the sheet was deleted
        out += "#REF!";
        return;
      }
      out += (r.three_d() ? sheet_span(name, last) : quote_sheet_name(name)) + "!";
    }
    if (m_notation == Notation::A1 && !in_bounds(r)) {
      out += "#REF!";
      return;
    }
    m_notation == Notation::A1 ? ref_a1(r, out) : ref_r1c1(r, out);
  }

  void ref_a1(const RefAst& r, std::string& out) const {
    switch (r.kind) {
      case RefAst::Kind::Cell:
        a1_col(r.c1, out);
        a1_row(r.r1, out);
        return;
      case RefAst::Kind::Area:
        a1_col(r.c1, out);
        a1_row(r.r1, out);
        out += ':';
        a1_col(r.c2, out);
        a1_row(r.r2, out);
        return;
      case RefAst::Kind::Columns:
        a1_col(r.c1, out);
        out += ':';
        a1_col(r.c2, out);
        return;
      case RefAst::Kind::Rows:
        a1_row(r.r1, out);
        out += ':';
        a1_row(r.r2, out);
        return;
    }
  }

  void ref_r1c1(const RefAst& r, std::string& out) const {
    const bool rows = r.kind != RefAst::Kind::Columns;
    const bool cols = r.kind != RefAst::Kind::Rows;
    if (rows) r1c1_part('R', r.r1, out);
    if (cols) r1c1_part('C', r.c1, out);
    const bool single_line = (r.kind == RefAst::Kind::Columns && r.c1 == r.c2) ||
                             (r.kind == RefAst::Kind::Rows && r.r1 == r.r2);
    if (r.kind == RefAst::Kind::Cell || single_line) return;
    out += ':';
    if (rows) r1c1_part('R', r.r2, out);
    if (cols) r1c1_part('C', r.c2, out);
  }

  Notation m_notation;
  std::int32_t m_row, m_col;
  const SheetNamer& m_name_of;
  FormulaText m_form;
};

}  // namespace

std::string write_constant(const Value& v) {
  switch (v.type()) {
    case ValueType::Text:
      return quote_text(v.text());
    case ValueType::Array: {
      const Array& a = v.array();
      std::string out = "{";
      for (std::int32_t r = 0; r < a.rows; ++r) {
        if (r > 0) out += ';';
        for (std::int32_t c = 0; c < a.cols; ++c) {
          if (c > 0) out += ',';
          out += write_constant(a.at(r, c));
        }
      }
      return out + "}";
    }
    case ValueType::Integer:
    case ValueType::Double:
    case ValueType::Date: {
      std::string s = v.to_text();  // shortest form that reads back exactly
      for (char& c : s) {
        if (c == 'e') c = 'E';
      }
      return s;
    }
    default:
      return v.to_text();  // TRUE/FALSE, error literals
  }
}

std::string write_formula(const Formula& f, Notation notation, std::int32_t row, std::int32_t col,
                          const SheetNamer& name_of, FormulaText form) {
  std::string out = "=";
  if (f.root) Writer(notation, row, col, name_of, form).node(*f.root, out);
  return out;
}

}  // namespace quillo::spreadsheet
