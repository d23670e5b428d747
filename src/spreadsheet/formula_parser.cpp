// The formula parser: precedence climbing over the text, one character of
// look-ahead at a time. Recursion is bounded by kMaxFormulaHeight, so deeply
// nested input fails cleanly instead of exhausting the stack.
#include <algorithm>
#include <charconv>
#include <cmath>

#include "common/text.h"
#include "spreadsheet/address.h"
#include "spreadsheet/formula.h"
#include "spreadsheet/formula_refs.h"
#include "spreadsheet/functions.h"

namespace quillo::spreadsheet {

namespace {

using namespace formula_chars;
using NodePtr = std::unique_ptr<Node>;

int precedence(Op op) {
  switch (op) {
    case Op::Eq:
    case Op::Ne:
    case Op::Lt:
    case Op::Le:
    case Op::Gt:
    case Op::Ge:
      return 1;
    case Op::Concat:
      return 2;
    case Op::Add:
    case Op::Sub:
      return 3;
    case Op::Mul:
    case Op::Div:
      return 4;
    default:
      return 5;  // Pow
  }
}

class Parser {
 public:
  Parser(std::string_view s, Notation notation, std::int32_t row, std::int32_t col,
         const SheetResolver& resolve)
      : m_s(s), m_notation(notation), m_row(row), m_col(col), m_resolve(resolve) {}

  Result<FormulaPtr> run() {
    if (m_s.size() > kMaxFormulaLength) return error_status("formula too long");
    if (!m_s.empty() && m_s[0] == '=') ++m_pos;
    auto f = std::make_shared<Formula>();
    m_formula = f.get();
    f->root = expr(0);
    if (f->root) {
      skip_ws();
      if (m_pos < m_s.size()) fail(m_s[m_pos] == ')' ? "unbalanced \")\"" : "unexpected text");
    }
    if (!m_error.empty()) return error_status(m_error);
    return FormulaPtr(std::move(f));
  }

 private:
  Status error_status(const std::string& msg) const {
    return Status::failed("formula error at position " + std::to_string(m_error_pos + 1) + ": " +
                          msg);
  }

  NodePtr fail(const std::string& msg) {
    if (m_error.empty()) {
      m_error = msg;
      m_error_pos = m_pos;
    }
    return nullptr;
  }

  char peek(std::size_t ahead = 0) const {
    return m_pos + ahead < m_s.size() ? m_s[m_pos + ahead] : '\0';
  }
  void skip_ws() {
    while (m_pos < m_s.size() &&
           (m_s[m_pos] == ' ' || m_s[m_pos] == '\t' || m_s[m_pos] == '\n' || m_s[m_pos] == '\r')) {
      ++m_pos;
    }
  }

  NodePtr make(Node::Kind kind) {
    auto n = std::make_unique<Node>();
    n->kind = kind;
    return n;
  }

  // Finishes a node with children: its height, checked against the limit.
  NodePtr seal(NodePtr n) {
    int h = 0;
    for (const auto& a : n->args) h = std::max<int>(h, a->height);
    if (h + 1 > kMaxFormulaHeight) return fail("formula nested too deeply");
    n->height = static_cast<std::uint16_t>(h + 1);
    return n;
  }

  bool binary_op(Op& op, std::size_t& len) const {
    const char c = peek(), d = peek(1);
    len = 1;
    switch (c) {
      case '+':
        op = Op::Add;
        return true;
      case '-':
        op = Op::Sub;
        return true;
      case '*':
        op = Op::Mul;
        return true;
      case '/':
        op = Op::Div;
        return true;
      case '^':
        op = Op::Pow;
        return true;
      case '&':
        op = Op::Concat;
        return true;
      case '=':
        op = Op::Eq;
        return true;
      case '<':
        if (d == '=') {
          op = Op::Le;
          len = 2;
        } else if (d == '>') {
          op = Op::Ne;
          len = 2;
        } else {
          op = Op::Lt;
        }
        return true;
      case '>':
        if (d == '=') {
          op = Op::Ge;
          len = 2;
        } else {
          op = Op::Gt;
        }
        return true;
      default:
        return false;
    }
  }

  NodePtr expr(int min_prec) {
    NodePtr lhs = unary();
    while (lhs) {
      skip_ws();
      Op op;
      std::size_t len;
      if (!binary_op(op, len) || precedence(op) < min_prec) break;
      m_pos += len;
      NodePtr rhs = expr(precedence(op) + 1);  // left-associative, as spreadsheets are
      if (!rhs) return nullptr;
      NodePtr n = make(Node::Kind::Binary);
      n->op = op;
      n->args.push_back(std::move(lhs));
      n->args.push_back(std::move(rhs));
      lhs = seal(std::move(n));
    }
    return lhs;
  }

  NodePtr unary() {
    if (++m_depth > kMaxFormulaHeight) return fail("formula nested too deeply");
    skip_ws();
    NodePtr n;
    if (peek() == '-' || peek() == '+') {
      const Op op = peek() == '-' ? Op::Neg : Op::Plus;
      ++m_pos;
      NodePtr operand = unary();
      if (!operand) return nullptr;
      n = make(Node::Kind::Unary);
      n->op = op;
      n->args.push_back(std::move(operand));
      n = seal(std::move(n));
    } else {
      n = primary();
      skip_ws();
      while (n && peek() == '%') {
        ++m_pos;
        NodePtr p = make(Node::Kind::Unary);
        p->op = Op::Percent;
        p->args.push_back(std::move(n));
        n = seal(std::move(p));
        skip_ws();
      }
    }
    --m_depth;
    return n;
  }

  NodePtr primary() {
    skip_ws();
    const char c = peek();
    if (c == '\0') return fail("formula ends too early");
    if (c == '(') {
      ++m_pos;
      NodePtr inner = expr(0);
      if (!inner) return nullptr;
      skip_ws();
      if (peek() != ')') return fail("missing \")\"");
      ++m_pos;
      NodePtr n = make(Node::Kind::Paren);
      n->args.push_back(std::move(inner));
      return seal(std::move(n));
    }
    if (c == '"') return string_literal();
    if (c == '{') return array_constant();
    if (c == '#') return error_literal();
    if (c == '\'') return quoted_prefix();
    if (m_notation == Notation::A1 && (is_digit(c) || c == '$')) {
      if (NodePtr rows = reference(nullptr, true)) return rows;
      if (!m_error.empty()) return nullptr;
    }
    if (is_digit(c) || c == '.') return number();
    if (is_word(c) || c == '\\') return word();
    return fail(std::string("unexpected character \"") + c + "\"");
  }

  NodePtr number() {
    const std::size_t start = m_pos;
    while (is_digit(peek())) ++m_pos;
    if (peek() == '.') {
      ++m_pos;
      while (is_digit(peek())) ++m_pos;
    }
    if ((peek() == 'e' || peek() == 'E') &&
        (is_digit(peek(1)) || ((peek(1) == '+' || peek(1) == '-') && is_digit(peek(2))))) {
      m_pos += 2;
      while (is_digit(peek())) ++m_pos;
    }
    const std::string_view digits = m_s.substr(start, m_pos - start);
    if (digits == ".") return fail("invalid number");
    double d = 0;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), d);
    if (r.ec != std::errc() || !std::isfinite(d)) return fail("invalid number");
    if (is_alpha(peek()) || peek() == '_') return fail("invalid number");
    NodePtr n = make(Node::Kind::Number);
    n->constant = Value(d);
    return n;
  }

  bool read_string(std::string& out) {
    ++m_pos;  // opening quote
    while (true) {
      if (m_pos >= m_s.size()) return false;
      const char c = m_s[m_pos++];
      if (c == '"') {
        if (peek() != '"') return true;
        ++m_pos;
      }
      out += c;
    }
  }

  NodePtr string_literal() {
    std::string s;
    if (!read_string(s)) return fail("text without closing quote");
    NodePtr n = make(Node::Kind::Text);
    n->constant = Value(std::move(s));
    return n;
  }

  std::optional<ErrorCode> read_error() {
    for (int i = 1; i <= 7; ++i) {
      const auto code = static_cast<ErrorCode>(i);
      const std::string_view t = error_text(code);
      if (text::iequals(m_s.substr(m_pos, t.size()), t)) {
        m_pos += t.size();
        return code;
      }
    }
    return std::nullopt;
  }

  NodePtr error_literal() {
    const auto code = read_error();
    if (!code) return fail("unknown error value");
    NodePtr n = make(Node::Kind::Error);
    n->constant = Value(*code);
    return n;
  }

  // One constant of an array: a signed number, a text, a boolean or an error.
  bool array_item(Value& out) {
    skip_ws();
    const char c = peek();
    if (c == '"') {
      std::string s;
      if (!read_string(s)) return false;
      out = Value(std::move(s));
      return true;
    }
    if (c == '#') {
      const auto code = read_error();
      if (!code) return false;
      out = Value(*code);
      return true;
    }
    if (is_alpha(c)) {
      const std::size_t start = m_pos;
      while (is_alpha(peek())) ++m_pos;
      const std::string_view w = m_s.substr(start, m_pos - start);
      if (text::iequals(w, "TRUE"))
        out = Value(true);
      else if (text::iequals(w, "FALSE"))
        out = Value(false);
      else
        return false;
      return true;
    }
    double sign = 1;
    if (c == '-' || c == '+') {
      sign = c == '-' ? -1 : 1;
      ++m_pos;
    }
    if (!is_digit(peek()) && peek() != '.') return false;
    NodePtr num = number();
    if (!num) return false;
    out = Value(sign * num->constant.number());
    return true;
  }

  NodePtr array_constant() {
    ++m_pos;  // {
    Array a;
    std::int32_t cols_in_row = 0;
    while (true) {
      Value item;
      if (!array_item(item)) return fail("invalid array constant");
      a.items.push_back(std::move(item));
      ++cols_in_row;
      skip_ws();
      const char c = peek();
      if (c == ',') {
        ++m_pos;
        continue;
      }
      if (c == ';' || c == '}') {
        if (a.rows == 0) a.cols = cols_in_row;
        if (cols_in_row != a.cols) return fail("array rows differ in length");
        ++a.rows;
        cols_in_row = 0;
        ++m_pos;
        if (c == '}') break;
        continue;
      }
      return fail("invalid array constant");
    }
    NodePtr n = make(Node::Kind::Array);
    n->constant = Value(std::move(a));
    return n;
  }

  // 'quoted name' followed by "!": a sheet, or an external workbook whose
  // function is called.
  NodePtr quoted_prefix() {
    ++m_pos;
    std::string name;
    while (true) {
      if (m_pos >= m_s.size()) return fail("name without closing quote");
      const char c = m_s[m_pos++];
      if (c == '\'') {
        if (peek() != '\'') break;
        ++m_pos;
      }
      name += c;
    }
    if (peek() != '!' || name.empty()) return fail("expected \"!\" after a quoted name");
    ++m_pos;
    return after_prefix(name);
  }

  NodePtr after_prefix(const std::string& prefix) {
    RefAst ref;
    ref.has_sheet = true;
    ref.sheet_name = prefix;
    ref.sheet = m_resolve ? m_resolve(prefix) : 0;
    if (NodePtr n = reference(&ref)) return n;
    if (!m_error.empty()) return nullptr;
    // Not a reference: a function of an external workbook, 'book'!name(...).
    const std::size_t start = m_pos;
    while (is_word(peek())) ++m_pos;
    if (m_pos == start || peek() != '(') return fail("expected a reference after \"!\"");
    return call(std::string(m_s.substr(start, m_pos - start)), &prefix);
  }

  // A word: a reference, a function call, a sheet prefix, a boolean or a name.
  NodePtr word() {
    if (NodePtr ref = reference(nullptr)) return ref;
    if (!m_error.empty()) return nullptr;
    const std::size_t start = m_pos;
    while (is_word(peek()) || peek() == '\\') ++m_pos;
    const std::string w(m_s.substr(start, m_pos - start));
    if (peek() == '!') {
      ++m_pos;
      return after_prefix(w);
    }
    if (peek() == '(') return call(w, nullptr);
    if (text::iequals(w, "TRUE") || text::iequals(w, "FALSE")) {
      NodePtr n = make(Node::Kind::Bool);
      n->constant = Value(text::iequals(w, "TRUE"));
      return n;
    }
    const bool plain = !w.empty() && (is_alpha(w[0]) || w[0] == '_' || w[0] == '\\') &&
                       w.find('$') == std::string::npos;
    if (!plain || reads_as_reference(w)) return fail("invalid name \"" + w + "\"");
    NodePtr n = make(Node::Kind::Name);
    n->name = w;
    return n;
  }

  // A name must not read as a reference in either notation ("C", "R1C1",
  // "U6"), or the formula would change meaning when written in the other.
  bool reads_as_reference(std::string_view w) const {
    for (Notation n : {Notation::A1, Notation::R1C1}) {
      std::size_t p = 0;
      const RefScan scan = scan_reference(w, p, n, m_row, m_col);
      if ((scan.found && p == w.size()) || !scan.error.empty()) return true;
    }
    return false;
  }

  NodePtr call(const std::string& name, const std::string* book) {
    const bool valid = !name.empty() && (is_alpha(name[0]) || name[0] == '_') &&
                       name.find('$') == std::string::npos;
    if (!valid) return fail("invalid function name \"" + name + "\"");
    ++m_pos;  // (
    NodePtr n = make(Node::Kind::Call);
    n->name = name;
    if (book) {
      n->has_book = true;
      n->book = *book;
    } else {
      n->builtin = find_builtin(name);
    }
    if (!n->builtin) m_formula->calls_external = true;
    skip_ws();
    if (peek() == ')') {
      ++m_pos;
    } else {
      while (true) {
        skip_ws();
        if (peek() == ',' || peek() == ')') {
          n->args.push_back(make(Node::Kind::Missing));
        } else {
          NodePtr arg = expr(0);
          if (!arg) return nullptr;
          n->args.push_back(std::move(arg));
        }
        skip_ws();
        if (peek() == ',') {
          ++m_pos;
          continue;
        }
        if (peek() == ')') {
          ++m_pos;
          break;
        }
        return fail("expected \",\" or \")\" in the arguments of " + name);
      }
    }
    if (const FunctionDef* def = n->builtin) {
      const auto count = static_cast<std::int16_t>(std::min<std::size_t>(n->args.size(), 1000));
      if (count < def->min_args) return fail("too few arguments for " + std::string(def->name));
      if (count > def->max_args) return fail("too many arguments for " + std::string(def->name));
      if (def->is_volatile) m_formula->is_volatile = true;
    }
    return seal(std::move(n));
  }

  // ---- references ----

  // Tries a reference at the current position; on no match restores the
  // position and returns null without an error.
  NodePtr reference(const RefAst* prefix, bool rows_only = false) {
    const std::size_t start = m_pos;
    RefScan scan = scan_reference(m_s, m_pos, m_notation, m_row, m_col);
    if (!scan.error.empty()) {
      m_pos = scan.error_pos;
      return fail(scan.error);
    }
    if (!scan.found || (rows_only && scan.ref.kind != RefAst::Kind::Rows)) {
      m_pos = start;
      return nullptr;
    }
    RefAst ref = prefix ? *prefix : RefAst{};
    ref.kind = scan.ref.kind;
    ref.r1 = scan.ref.r1;
    ref.c1 = scan.ref.c1;
    ref.r2 = scan.ref.r2;
    ref.c2 = scan.ref.c2;
    NodePtr n = make(Node::Kind::Ref);
    n->ref = ref;
    m_formula->refs.push_back(std::move(ref));
    return n;
  }

  std::string_view m_s;
  std::size_t m_pos = 0;
  Notation m_notation;
  std::int32_t m_row, m_col;
  const SheetResolver& m_resolve;
  Formula* m_formula = nullptr;
  int m_depth = 0;
  std::string m_error;
  std::size_t m_error_pos = 0;
};

}  // namespace

Result<FormulaPtr> parse_formula(std::string_view text, Notation notation, std::int32_t row,
                                 std::int32_t col, const SheetResolver& resolve) {
  return Parser(text, notation, row, col, resolve).run();
}

}  // namespace quillo::spreadsheet
