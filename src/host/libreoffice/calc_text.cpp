#include "host/libreoffice/calc_text.h"

#include <cctype>

#include "common/text.h"

namespace quillo::host::lo {

bool calls_quillo(std::string_view formula) {
  return text::upper(formula).find(kFormulaPrefix) != std::string::npos;
}

namespace {

bool joined_before(const std::string& upper, std::size_t i) {
  return i > 0 && (std::isalnum(static_cast<unsigned char>(upper[i - 1])) || upper[i - 1] == '.' ||
                   upper[i - 1] == '_');
}

// Where the formula's first call of kFormulaPrefix + function starts (the
// prefix's first letter), outside quoted texts; npos when there is none.
// `upper` is the formula in capitals; `enclosing` gets the quillo
// functions (without the prefix) whose parentheses are open there,
// outermost first.
std::size_t first_call(const std::string& upper, std::string_view function,
                       std::vector<std::string>* enclosing) {
  const std::string name = std::string(kFormulaPrefix) + text::upper(function) + "(";
  // Each open parenthesis and the quillo function it belongs to ("" for
  // any other).
  std::vector<std::string> open;
  bool quoted = false;
  for (std::size_t i = 0; i < upper.size(); ++i) {
    const char c = upper[i];
    if (c == '"') quoted = !quoted;
    if (quoted) continue;
    if (upper.compare(i, name.size(), name) == 0 && !joined_before(upper, i)) {
      if (enclosing) {
        enclosing->clear();
        for (const auto& f : open) {
          if (!f.empty()) enclosing->push_back(f);
        }
      }
      return i;
    }
    if (c == '(') {
      // The name before it, when it is one of quillo's functions.
      std::size_t b = i;
      while (b > 0 && (std::isalnum(static_cast<unsigned char>(upper[b - 1])) ||
                       upper[b - 1] == '.' || upper[b - 1] == '_')) {
        --b;
      }
      const std::string_view word(upper.data() + b, i - b);
      open.emplace_back(word.starts_with(kFormulaPrefix) ? word.substr(kFormulaPrefix.size())
                                                         : std::string_view());
    } else if (c == ')' && !open.empty()) {
      open.pop_back();
    }
  }
  return std::string::npos;
}

}  // namespace

bool formula_arguments(std::string_view formula, std::string_view function,
                       std::vector<std::string>& out) {
  out.clear();
  const std::string upper = text::upper(formula);
  const std::size_t found = first_call(upper, function, nullptr);
  const std::size_t start = found == std::string::npos
                                ? found
                                : found + kFormulaPrefix.size() + function.size() + 1;  // after "("
  if (start == std::string::npos) return false;
  const std::size_t at = start;
  int depth = 0;
  std::string current;
  bool quoted = false;
  bool any = false;
  for (std::size_t i = at; i < formula.size(); ++i) {
    const char c = formula[i];
    if (quoted) {
      current += c;
      if (c == '"') quoted = false;  // a doubled quote re-opens at once
      continue;
    }
    if (c == '"') {
      quoted = true;
      current += c;
    } else if (c == '(' || c == '{') {
      ++depth;
      current += c;
    } else if ((c == ')' || c == '}') && depth > 0) {
      --depth;
      current += c;
    } else if (c == ')') {
      const std::string_view t = text::trim(current);
      if (any || !t.empty()) out.emplace_back(t);
      return true;
    } else if ((c == ';' || c == ',') && depth == 0) {
      out.emplace_back(text::trim(current));
      current.clear();
      any = true;
    } else {
      current += c;
    }
  }
  out.clear();
  return false;
}

bool nested_in_writing_call(std::string_view formula, std::string_view function) {
  std::vector<std::string> enclosing;
  if (first_call(text::upper(formula), function, &enclosing) == std::string::npos) return false;
  for (const auto& f : enclosing) {
    if (f != "FSINGLE" && f != "WLINK") return true;
  }
  return false;
}

bool text_literal(std::string_view argument, std::string& out) {
  if (argument.size() < 2 || argument.front() != '"' || argument.back() != '"') return false;
  out.clear();
  for (std::size_t i = 1; i + 1 < argument.size(); ++i) {
    if (argument[i] == '"') {
      if (i + 2 < argument.size() && argument[i + 1] == '"') {
        out += '"';
        ++i;
        continue;
      }
      return false;  // a lone quote inside: two texts joined, not one literal
    }
    out += argument[i];
  }
  return true;
}

std::string whole_lines_address(std::string_view ref, long last_row, long last_col) {
  const auto colon = ref.find(':');
  if (colon == std::string_view::npos) return std::string(ref);
  // Each side is all letters or all digits, after an optional "$".
  auto part = [](std::string_view p, bool& letters) {
    if (!p.empty() && p.front() == '$') p.remove_prefix(1);
    if (p.empty()) return false;
    const bool alpha = std::isalpha(static_cast<unsigned char>(p.front())) != 0;
    for (const char c : p) {
      if ((alpha ? std::isalpha(static_cast<unsigned char>(c))
                 : std::isdigit(static_cast<unsigned char>(c))) == 0) {
        return false;
      }
    }
    letters = alpha;
    return true;
  };
  const std::string_view a = ref.substr(0, colon), b = ref.substr(colon + 1);
  bool a_letters = false, b_letters = false;
  if (!part(a, a_letters) || !part(b, b_letters) || a_letters != b_letters) {
    return std::string(ref);
  }
  if (a_letters) {
    return std::string(a) + "1:" + std::string(b) + std::to_string(last_row);
  }
  std::string last;
  for (long c = last_col; c > 0; c = (c - 1) / 26) {
    last.insert(last.begin(), static_cast<char>('A' + (c - 1) % 26));
  }
  return "A" + std::string(a) + ":" + last + std::string(b);
}

std::string menu_caption(std::string_view command) {
  for (const MenuCommand& m : kMenuCommands) {
    if (text::iequals(m.command, command)) return std::string(m.caption);
  }
  return {};
}

}  // namespace quillo::host::lo
