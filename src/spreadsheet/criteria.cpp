#include "spreadsheet/criteria.h"

#include <cstddef>
#include <vector>

#include "common/text.h"
#include "spreadsheet/coerce.h"
#include "spreadsheet/evaluator.h"

namespace quillo::spreadsheet {

namespace {

// One piece of a pattern: a literal character (as its UTF-8 bytes), any one
// character, or any run.
struct Piece {
  enum class Kind { Literal, One, Run } kind;
  std::string_view bytes;
};

std::size_t char_length(std::string_view s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  if (i + n > s.size()) n = s.size() - i;
  // Continuation bytes that do not follow a lead byte count one by one.
  return (c & 0xC0) == 0x80 ? 1 : n;
}

std::vector<Piece> pieces(std::string_view p) {
  std::vector<Piece> out;
  for (std::size_t i = 0; i < p.size();) {
    if (p[i] == '~' && i + 1 < p.size() &&
        (p[i + 1] == '*' || p[i + 1] == '?' || p[i + 1] == '~')) {
      out.push_back({Piece::Kind::Literal, p.substr(i + 1, 1)});
      i += 2;
    } else if (p[i] == '*') {
      out.push_back({Piece::Kind::Run, {}});
      ++i;
    } else if (p[i] == '?') {
      out.push_back({Piece::Kind::One, {}});
      ++i;
    } else {
      const std::size_t n = char_length(p, i);
      out.push_back({Piece::Kind::Literal, p.substr(i, n)});
      i += n;
    }
  }
  return out;
}

bool literal_at(std::string_view text, std::size_t i, std::string_view bytes) {
  return text.size() - i >= bytes.size() && text::iequals(text.substr(i, bytes.size()), bytes);
}

}  // namespace

bool wildcard_match(std::string_view pattern, std::string_view text) {
  const std::vector<Piece> ps = pieces(pattern);
  // Greedy matching with one back-tracking point: the last "*" seen, which
  // is enough because a later "*" can absorb whatever an earlier one could.
  std::size_t pi = 0, ti = 0;
  std::size_t star = ps.size(), star_text = 0;
  while (ti < text.size()) {
    if (pi < ps.size() && ps[pi].kind == Piece::Kind::Run) {
      star = pi++;
      star_text = ti;
      continue;
    }
    if (pi < ps.size() && ps[pi].kind == Piece::Kind::One) {
      ti += char_length(text, ti);
      ++pi;
      continue;
    }
    if (pi < ps.size() && literal_at(text, ti, ps[pi].bytes)) {
      ti += ps[pi].bytes.size();
      ++pi;
      continue;
    }
    if (star == ps.size()) return false;
    star_text += char_length(text, star_text);
    ti = star_text;
    pi = star + 1;
  }
  while (pi < ps.size() && ps[pi].kind == Piece::Kind::Run) ++pi;
  return pi == ps.size();
}

bool has_wildcards(std::string_view pattern) {
  return pattern.find_first_of("*?") != std::string_view::npos;
}

Criterion::Criterion(const Value& criterion) {
  switch (criterion.type()) {
    case ValueType::Bool:
      m_kind = Kind::Bool;
      m_bool = criterion.as_bool();
      return;
    case ValueType::Error:
      m_kind = Kind::Error;
      m_error = criterion.error();
      return;
    case ValueType::Text:
      break;
    default:
      // Numbers, and an empty criterion cell, which counts as 0.
      m_number = criterion.is_number() ? criterion.number() : 0.0;
      return;
  }
  std::string_view s = criterion.text();
  static constexpr std::pair<std::string_view, Op> kOps[] = {
      {"<>", Op::Ne}, {"<=", Op::Le}, {">=", Op::Ge}, {"<", Op::Lt}, {">", Op::Gt}, {"=", Op::Eq}};
  bool has_op = false;
  for (const auto& [text, op] : kOps) {
    if (s.substr(0, text.size()) == text) {
      m_op = op;
      s.remove_prefix(text.size());
      has_op = true;
      break;
    }
  }
  if (s.empty() && (m_op == Op::Eq || m_op == Op::Ne)) {
    m_kind = has_op ? Kind::EmptyOnly : Kind::Blank;
    return;
  }
  const auto number = to_number(Value(s));
  if (const auto* d = std::get_if<double>(&number); d && !text::trim(s).empty()) {
    m_number = *d;
  } else if (text::iequals(s, "TRUE") || text::iequals(s, "FALSE")) {
    m_kind = Kind::Bool;
    m_bool = text::iequals(s, "TRUE");
  } else if (const auto e = error_from_text(s)) {
    m_kind = Kind::Error;
    m_error = *e;
  } else {
    m_kind = Kind::Text;
    m_text = std::string(s);
  }
}

bool Criterion::equal(const Value& cell, bool numeric_text) const {
  switch (m_kind) {
    case Kind::Number:
      if (cell.is_number()) return nearly_equal(cell.number(), m_number);
      if (cell.is_text() && numeric_text) {
        const auto d = text::locale_number(cell.text());
        return d && nearly_equal(*d, m_number);
      }
      return false;
    case Kind::Text:
      return cell.is_text() && wildcard_match(m_text, cell.text());
    case Kind::Bool:
      return cell.type() == ValueType::Bool && cell.as_bool() == m_bool;
    case Kind::Error:
      return cell.is_error() && cell.error() == m_error;
    case Kind::Blank:
      return cell.is_empty() || (cell.is_text() && cell.text().empty());
    case Kind::EmptyOnly:
      return cell.is_empty();
  }
  return false;
}

bool Criterion::matches(const Value& cell) const {
  if (m_op == Op::Eq) return equal(cell, true);
  if (m_op == Op::Ne) return !equal(cell, false);
  int c = 0;
  switch (m_kind) {
    case Kind::Number:
      if (!cell.is_number()) return false;
      c = compare_values(cell, Value(m_number));
      break;
    case Kind::Text:
      if (!cell.is_text()) return false;
      c = compare_values(cell, Value(m_text));
      break;
    case Kind::Bool:
      if (cell.type() != ValueType::Bool) return false;
      c = static_cast<int>(cell.as_bool()) - static_cast<int>(m_bool);
      break;
    default:
      return false;
  }
  switch (m_op) {
    case Op::Lt:
      return c < 0;
    case Op::Le:
      return c <= 0;
    case Op::Gt:
      return c > 0;
    default:
      return c >= 0;
  }
}

}  // namespace quillo::spreadsheet
