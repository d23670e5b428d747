#include "spreadsheet/criteria.h"

#include <cstddef>
#include <vector>

#include "common/text.h"

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

}  // namespace quillo::spreadsheet
