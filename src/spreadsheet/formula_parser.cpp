// The formula parser: precedence climbing over the text, one character of
// look-ahead at a time. Recursion is bounded by kMaxFormulaHeight, so deeply
// nested input fails cleanly instead of exhausting the stack. The whole
// grammar is one class (operators, references and their operators, calls,
// names, sheet and workbook prefixes), which is why the file is long; the
// scanning of references and of structured references lives beside it.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <utility>
#include <vector>

#include "common/text.h"
#include "spreadsheet/address.h"
#include "spreadsheet/formula.h"
#include "spreadsheet/formula_refs.h"
#include "spreadsheet/formula_shape.h"
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

// The arguments of a call, read before its node is made. An argument
// read as a node is held here until then (and goes with this if the call
// fails); a leaf (a plain text, a missing argument) is only noted, to be
// made in the room of the call's node. Most calls have a few arguments,
// kept here; more go to a vector.
class CallArgs {
 public:
  struct Arg {
    Node* node;             // owned here until taken; null for a leaf
    Node::Kind leaf;        // a leaf's kind: Text or Missing
    std::string_view text;  // a Text leaf's text, in the formula's text
  };
  CallArgs() = default;
  CallArgs(const CallArgs&) = delete;
  CallArgs& operator=(const CallArgs&) = delete;
  // (Once the call's node is made, it holds them all.)
  ~CallArgs() {
    if (m_held > 0) free_held();
  }

  void add(NodePtr node) {
    push({node.get(), node->kind, {}});
    (void)node.release();  // held here now
    ++m_held;
  }
  void add_leaf(Node::Kind kind, std::string_view text = {}) {
    push({nullptr, kind, text});
    ++m_leaves;
  }
  std::size_t size() const { return m_in_near + m_far.size(); }
  std::uint32_t leaves() const { return m_leaves; }
  const Arg& operator[](std::size_t i) const {
    return i < m_near.size() ? m_near[i] : m_far[i - m_near.size()];
  }
  // The node of argument i, no longer held here.
  NodePtr take(std::size_t i) {
    Arg& a = i < m_near.size() ? m_near[i] : m_far[i - m_near.size()];
    if (a.node) --m_held;
    return NodePtr(std::exchange(a.node, nullptr));
  }

 private:
  void free_held() {
    for (std::size_t i = 0; i < size(); ++i) delete (*this)[i].node;
  }
  void push(const Arg& a) {
    if (m_in_near < m_near.size()) {
      m_near[m_in_near++] = a;
    } else {
      m_far.push_back(a);
    }
  }

  std::array<Arg, 6> m_near;  // a slot is written before it is read
  std::size_t m_in_near = 0;
  std::vector<Arg> m_far;
  std::uint32_t m_leaves = 0;
  std::uint32_t m_held = 0;  // nodes not yet taken
};

class Parser {
 public:
  Parser(std::string_view s, Notation notation, std::int32_t row, std::int32_t col,
         const SheetResolver& resolve, const TableResolver& tables)
      : m_s(s),
        m_notation(notation),
        m_row(row),
        m_col(col),
        m_resolve(resolve),
        m_tables(tables) {}

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
    f->shape = shape_digest(*f);
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

  // A node of kind; its constant (or name) made from constant in place.
  template <typename... A>
  NodePtr make(Node::Kind kind, A&&... constant) {
    return std::make_unique<Node>(kind, std::forward<A>(constant)...);
  }
  // A node of kind with its operands, in one allocation.
  NodePtr make_with(std::initializer_list<NodePtr*> operands, Node::Kind kind, Op op) {
    NodePtr n = Node::with_room(static_cast<std::uint32_t>(operands.size()), kind);
    n->op = op;
    for (NodePtr* o : operands) n->args.push_back(std::move(*o));
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
      lhs = seal(make_with({&lhs, &rhs}, Node::Kind::Binary, op));
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
      n = seal(make_with({&operand}, Node::Kind::Unary, op));
    } else {
      n = intersection();
      skip_ws();
      while (n && peek() == '%') {
        ++m_pos;
        n = seal(make_with({&n}, Node::Kind::Unary, Op::Percent));
        skip_ws();
      }
    }
    --m_depth;
    return n;
  }

  // Whether a node can stand for a reference, so the reference operators
  // apply to it (functions such as INDEX may answer one).
  static bool ref_like(const Node& n) {
    switch (n.kind) {
      case Node::Kind::Ref:
      case Node::Kind::Name:
      case Node::Kind::Call:
      case Node::Kind::Error:  // where a reference was lost: #REF!
        return true;
      case Node::Kind::Paren:
        return ref_like(*n.args[0]);
      case Node::Kind::Binary:
        return n.op == Op::Range || n.op == Op::Union || n.op == Op::Isect;
      default:
        return false;
    }
  }

  NodePtr binary_node(Op op, NodePtr lhs, NodePtr rhs) {
    return seal(make_with({&lhs, &rhs}, Node::Kind::Binary, op));
  }

  // The intersection operator: a blank between two references.
  NodePtr intersection() {
    NodePtr lhs = range_op();
    while (lhs && ref_like(*lhs)) {
      const std::size_t before = m_pos;
      skip_ws();
      const char c = peek();
      const bool operand = m_pos > before && (is_alpha(c) || is_digit(c) || c == '$' || c == '\'' ||
                                              c == '(' || c == '_' || c == '[' || c == '#');
      if (!operand) {
        m_pos = before;
        break;
      }
      NodePtr rhs = range_op();
      if (!rhs) return nullptr;
      lhs = binary_node(Op::Isect, std::move(lhs), std::move(rhs));
    }
    return lhs;
  }

  // The range operator between references that are not one written range:
  // A1:B2:C3, A1:INDEX(...). The box the two span is also recorded, so the
  // formula recalculates when any cell of it changes.
  NodePtr range_op() {
    NodePtr lhs = primary();
    while (lhs && peek() == ':' && ref_like(*lhs)) {
      ++m_pos;
      NodePtr rhs = primary();
      if (!rhs) return nullptr;
      if (lhs->kind == Node::Kind::Ref && rhs->kind == Node::Kind::Ref &&
          lhs->ref().has_sheet == rhs->ref().has_sheet && lhs->ref().sheet == rhs->ref().sheet &&
          !lhs->ref().three_d() && lhs->ref().kind != RefAst::Kind::Columns &&
          lhs->ref().kind != RefAst::Kind::Rows && rhs->ref().kind != RefAst::Kind::Columns &&
          rhs->ref().kind != RefAst::Kind::Rows) {
        RefAst span = lhs->ref();
        span.kind = RefAst::Kind::Area;
        span.r2 = rhs->ref().r2;
        span.c2 = rhs->ref().c2;
        m_formula->refs.push_back(std::move(span));
      }
      lhs = binary_node(Op::Range, std::move(lhs), std::move(rhs));
    }
    return lhs;
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
      // Inside parentheses a comma is the union of references: SUM((A1,C1:C2)).
      while (peek() == ',') {
        ++m_pos;
        NodePtr rhs = expr(0);
        if (!rhs) return nullptr;
        inner = binary_node(Op::Union, std::move(inner), std::move(rhs));
        if (!inner) return nullptr;
        skip_ws();
      }
      if (peek() != ')') return fail("missing \")\"");
      ++m_pos;
      return seal(make_with({&inner}, Node::Kind::Paren, Op::Add));
    }
    if (c == '"') return string_literal();
    if (c == '{') return array_constant();
    if (c == '#') return error_literal();
    if (c == '\'') return quoted_prefix();
    if (c == '[') return book_prefix();
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
    return make(Node::Kind::Number, d);
  }

  bool read_string(std::string& out) {
    ++m_pos;  // opening quote
    while (true) {
      // The run up to the next quote goes in whole; a doubled quote is one.
      const std::size_t quote = m_s.find('"', m_pos);
      if (quote == std::string_view::npos) {
        m_pos = m_s.size();
        return false;
      }
      out.append(m_s.data() + m_pos, quote - m_pos);
      m_pos = quote + 1;
      if (peek() != '"') return true;
      out += '"';
      ++m_pos;
    }
  }

  NodePtr string_literal() {
    std::string s;
    if (!read_string(s)) return fail("text without closing quote");
    return make(Node::Kind::Text, std::move(s));
  }

  // A text constant followed by "," or ")" is a whole argument, read
  // without the climb through the operators (most arguments of the calls
  // filled down a sheet are such texts). A text without a doubled quote
  // (most) is what stands between its quotes, set in plain as it is; one
  // with a doubled quote is read into a node, set in node. False with the
  // position unchanged for anything else.
  bool text_argument(std::string_view& plain, NodePtr& node) {
    if (peek() != '"' || m_depth + 1 > kMaxFormulaHeight) return false;
    const std::size_t start = m_pos;
    const std::size_t quote = m_s.find('"', start + 1);
    if (quote == std::string_view::npos) return false;
    const bool is_plain = quote + 1 >= m_s.size() || m_s[quote + 1] != '"';
    std::string s;
    if (is_plain) {
      m_pos = quote + 1;
    } else if (!read_string(s)) {
      m_pos = start;
      return false;
    }
    const std::size_t end = m_pos;
    skip_ws();
    const char next = peek();
    m_pos = end;
    if (next != ',' && next != ')') {
      m_pos = start;
      return false;
    }
    if (is_plain) {
      plain = m_s.substr(start + 1, quote - start - 1);
    } else {
      node = make(Node::Kind::Text, std::move(s));
    }
    return true;
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
    if (*code == ErrorCode::Ref) skip_lost_reference();
    return make(Node::Kind::Error, *code);
  }

  // What follows "#REF!" where a formula's sheet was deleted: a file keeps
  // the reference's cells or name after it (#REF!A1, #REF!$A$1:$B$2,
  // #REF!A:A, #REF!Total), or #REF! again where the cells went too
  // (#REF!#REF!); they read nothing now, and the formula reads #REF!
  // there, as the program that deleted the sheet shows it.
  void skip_lost_reference() {
    if (peek() == '#') {
      const std::size_t hash = m_pos;
      if (read_error() != ErrorCode::Ref) m_pos = hash;
      return;
    }
    if (!is_word(peek())) return;
    const RefScan scan = scan_reference(m_s, m_pos, m_notation, m_row, m_col);
    if (scan.found) return;
    while (is_word(peek()) || peek() == '\\') ++m_pos;
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
    return make(Node::Kind::Array, std::move(a));
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
    // Sheet names cannot hold ":", so one here spans sheets: 'Jan 1:Mar 1'!A1,
    // unless it follows a drive letter: 'C:\lib\tarnvale.xla'!fsingle(...).
    const std::size_t colon = name.find(':');
    const bool drive =
        colon == 1 && is_alpha(name[0]) && name.size() > 2 && (name[2] == '\\' || name[2] == '/');
    if (colon != std::string::npos && colon > 0 && colon + 1 < name.size() && !drive &&
        name.find('[') == std::string::npos) {
      return after_prefix(name.substr(0, colon), name.substr(colon + 1));
    }
    return after_prefix(name);
  }

  // "[1]" of a reference into another workbook as the file format counts
  // them: [1]!name(...), [1]!Name, [1]Sheet1!A1 ([0] is this workbook).
  NodePtr book_prefix() {
    const std::size_t start = m_pos;
    // Unquoted, a workbook is one of the file's external links by number;
    // any other workbook is named inside a quoted sheet name.
    auto in_name = [](char c) { return c >= '0' && c <= '9'; };
    ++m_pos;
    while (m_pos < m_s.size() && m_s[m_pos] != ']' && in_name(m_s[m_pos])) ++m_pos;
    if (m_pos >= m_s.size() || m_s[m_pos] != ']' || m_pos == start + 1) {
      m_pos = start;
      return fail("unexpected character \"[\"");
    }
    ++m_pos;
    const std::string book(m_s.substr(start, m_pos - start));
    if (peek() == '!') {
      ++m_pos;
      const std::size_t w = m_pos;
      while (is_word(peek()) || peek() == '\\') ++m_pos;
      if (m_pos == w) return fail("expected a name after \"!\"");
      const std::string name(m_s.substr(w, m_pos - w));
      if (peek() == '(') return call(name, &book);
      // The name follows the rules of names written without a workbook.
      if ((!is_alpha(name[0]) && name[0] != '_' && name[0] != '\\') ||
          name.find('$') != std::string::npos || reads_as_reference(name)) {
        return fail("invalid name \"" + name + "\"");
      }
      NodePtr n = make(Node::Kind::Name, name);
      if (book != "[0]") {
        n->has_book = true;
        n->set_book(book);
      }
      m_formula->uses_names = true;
      return n;
    }
    const std::size_t w = m_pos;
    while (is_word(peek()) || peek() == ' ') ++m_pos;
    if (m_pos == w || peek() != '!') return fail("expected \"!\" after a workbook and sheet");
    const std::string sheet(m_s.substr(w, m_pos - w));
    ++m_pos;
    return after_prefix(book + sheet);
  }

  NodePtr after_prefix(const std::string& prefix, const std::string& last = {}) {
    RefAst ref;
    ref.has_sheet = true;
    ref.set_sheet_names(prefix, last);
    ref.sheet = m_resolve ? m_resolve(prefix) : 0;
    if (!last.empty()) ref.sheet2 = m_resolve ? m_resolve(last) : 0;
    // A sheet that is not there yet may come; one in another workbook
    // ([1]Data, 'C:\dir\[book.xlsx]Data') never does, as no sheet name
    // holds "[".
    const bool unfound = (ref.sheet == 0 || (!last.empty() && ref.sheet2 == 0)) &&
                         prefix.find('[') == std::string::npos;
    if (NodePtr n = reference(&ref)) {
      if (unfound) m_formula->unfound_sheet = true;
      return n;
    }
    if (!m_error.empty()) return nullptr;
    // Sheet1!#REF!: a reference to cells deleted from that sheet.
    if (peek() == '#') {
      const std::size_t hash = m_pos;
      if (read_error() == ErrorCode::Ref) return make(Node::Kind::Error, ErrorCode::Ref);
      m_pos = hash;
    }
    // Not a reference: a function of an external workbook, 'book'!name(...),
    // or a name of one sheet, Sheet1!Name.
    const std::size_t start = m_pos;
    while (is_word(peek()) || peek() == '\\') ++m_pos;
    if (m_pos == start || !last.empty()) return fail("expected a reference after \"!\"");
    const std::string w(m_s.substr(start, m_pos - start));
    if (peek() == '(') return call(w, &prefix);
    if ((!is_alpha(w[0]) && w[0] != '_' && w[0] != '\\') || reads_as_reference(w)) {
      return fail("invalid name \"" + w + "\"");
    }
    NodePtr n = make(Node::Kind::Name, w);
    n->set_ref(std::move(ref));
    m_formula->uses_names = true;
    if (unfound) m_formula->unfound_sheet = true;
    return n;
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
    // Sheet1:Sheet3!A1, a reference through several sheets.
    if (peek() == ':' && !w.empty()) {
      std::size_t p = m_pos + 1;
      while (p < m_s.size() && is_word(m_s[p])) ++p;
      if (p > m_pos + 1 && p < m_s.size() && m_s[p] == '!') {
        const std::string last(m_s.substr(m_pos + 1, p - m_pos - 1));
        m_pos = p + 1;
        return after_prefix(w, last);
      }
    }
    if (peek() == '(') return call(w, nullptr);
    if (peek() == '[') return structured(w, start);
    if (m_tables && m_tables(w)) return structured(w, start);
    if (text::iequals(w, "TRUE") || text::iequals(w, "FALSE")) {
      return make(Node::Kind::Bool, text::iequals(w, "TRUE"));
    }
    const bool plain = !w.empty() &&
                       (is_alpha(w[0]) || w[0] == '_' || w[0] == '\\' ||
                        static_cast<unsigned char>(w[0]) >= 0x80) &&
                       w.find('$') == std::string::npos;
    if (!plain || reads_as_reference(w)) return fail("invalid name \"" + w + "\"");
    NodePtr n = make(Node::Kind::Name, w);
    m_formula->uses_names = true;
    return n;
  }

  // Table[Col], Table[[#This Row],[Col]], Table[@Col], Table[#All],
  // Table[[Col1]:[Col2]], or the table's name alone (its data): a
  // reference to the table's cells, written back as it was written.
  NodePtr structured(const std::string& table, std::size_t start) {
    const TableInfo* t = m_tables ? m_tables(table) : nullptr;
    if (!t) return fail("unknown table \"" + table + "\"");
    StructuredScan scan = scan_structured(m_s, m_pos, *t);
    if (!scan.error.empty()) return fail(scan.error);
    NodePtr n = make(Node::Kind::Ref, m_s.substr(start, m_pos - start));
    n->set_ref(scan.ref);
    m_formula->refs.push_back(std::move(scan.ref));
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

  // The function a name written in a file stands for: functions newer than
  // the file format carry "_xlfn." (and "_xlws." for some), user-defined
  // ones "_xludf.".
  static std::string_view strip_prefix(std::string_view name, std::string_view prefix) {
    if (name.size() > prefix.size() && text::iequals(name.substr(0, prefix.size()), prefix)) {
      name.remove_prefix(prefix.size());
    }
    return name;
  }

  // Whether the function reads only where its reference argument points.
  static bool reads_position_only(const FunctionDef* def) {
    if (!def) return false;
    const std::string_view name = def->name;
    return name == "ROW" || name == "COLUMN" || name == "ROWS" || name == "COLUMNS" ||
           name == "ISREF";
  }

  NodePtr call(const std::string& written, const std::string* book) {
    const bool valid = !written.empty() && (is_alpha(written[0]) || written[0] == '_') &&
                       written.find('$') == std::string::npos;
    if (!valid) return fail("invalid function name \"" + written + "\"");
    ++m_pos;  // (
    std::string_view name = written;
    // Each prefix starts with "_": other names (nearly all) skip the checks.
    if (!book && written[0] == '_') {
      const std::string_view udf = strip_prefix(written, "_xludf.");
      const std::string_view fn = strip_prefix(strip_prefix(written, "_xlfn."), "_xlws.");
      if (udf.size() < written.size() && (is_alpha(udf[0]) || udf[0] == '_')) {
        name = udf;  // the function library's function of that name
      } else if (fn.size() < written.size() && find_builtin(fn)) {
        name = fn;
      }
    }
    const FunctionDef* builtin = book ? nullptr : find_builtin(name);
    if (!builtin) m_formula->calls_external = true;
    // The arguments are read first, so the node is made with room for just
    // them, and for those of them that are plain texts or missing, made in
    // that room then: a call of such arguments takes one allocation.
    CallArgs args;
    skip_ws();
    if (peek() == ')') {
      ++m_pos;
    } else {
      while (true) {
        skip_ws();
        std::string_view plain;
        NodePtr text;
        if (peek() == ',' || peek() == ')') {
          args.add_leaf(Node::Kind::Missing);
        } else if (text_argument(plain, text)) {
          if (text) {
            args.add(std::move(text));
          } else {
            args.add_leaf(Node::Kind::Text, plain);
          }
        } else {
          const std::size_t refs_before = m_formula->refs.size();
          NodePtr arg = expr(0);
          if (!arg) return nullptr;
          if (arg->kind == Node::Kind::Ref && m_formula->refs.size() == refs_before + 1 &&
              reads_position_only(builtin)) {
            m_formula->refs.back().position_only = true;
          }
          args.add(std::move(arg));
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
        return fail("expected \",\" or \")\" in the arguments of " + std::string(name));
      }
    }
    // (A formula's length bounds the counts.)
    const auto count = static_cast<std::uint32_t>(args.size());
    Node* room = nullptr;
    NodePtr n = count == 0
                    ? make(Node::Kind::Call, name)
                    : Node::with_leaf_room(count, args.leaves(), &room, Node::Kind::Call, name);
    n->builtin = builtin;
    if (book) {
      n->has_book = true;
      n->set_book(*book);
    }
    for (std::size_t i = 0; i < count; ++i) {
      const CallArgs::Arg& a = args[i];
      if (a.node) {
        n->args.push_back(args.take(i));
      } else if (a.leaf == Node::Kind::Text) {
        n->args.push_back(Node::in_room(room++, Node::Kind::Text, a.text));
      } else {
        n->args.push_back(Node::in_room(room++, a.leaf));
      }
    }
    if (const FunctionDef* def = n->builtin) {
      const auto count = static_cast<std::int16_t>(std::min<std::size_t>(n->args.size(), 1000));
      // Too few arguments parse (files hold such calls, NOT() or OR()) and
      // evaluate to #VALUE!; too many never do.
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
    RefScan scan =
        scan_reference(m_s, m_pos, m_notation, m_row, m_col,
                       prefix && !prefix->three_d() ? std::string_view(prefix->sheet_name()) : "");
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
    n->set_ref(ref);
    m_formula->refs.push_back(std::move(ref));
    return n;
  }

  std::string_view m_s;
  std::size_t m_pos = 0;
  Notation m_notation;
  std::int32_t m_row, m_col;
  const SheetResolver& m_resolve;
  const TableResolver& m_tables;
  Formula* m_formula = nullptr;
  int m_depth = 0;
  std::string m_error;
  std::size_t m_error_pos = 0;
};

}  // namespace

Result<FormulaPtr> parse_formula(std::string_view text, Notation notation, std::int32_t row,
                                 std::int32_t col, const SheetResolver& resolve,
                                 const TableResolver& tables) {
  return Parser(text, notation, row, col, resolve, tables).run();
}

}  // namespace quillo::spreadsheet
