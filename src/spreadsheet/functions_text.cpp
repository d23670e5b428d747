// Logical, information and text functions. Texts are UTF-8 and positions
// and lengths count characters.
#include <algorithm>
#include <cmath>
#include <vector>

#include "common/text.h"
#include "spreadsheet/criteria.h"
#include "spreadsheet/function_args.h"
#include "spreadsheet/unicode_text.h"

namespace quillo::spreadsheet {

using namespace fn;

// ---- logical ----

namespace {

// AND, OR and XOR: in ranges booleans and numbers count, text is skipped; given
// directly, a text must read TRUE or FALSE. With nothing to judge: #VALUE!.
template <typename Combine>
Value logical(const CallContext& ctx, std::span<const Value> args, bool start, Combine combine) {
  bool acc = start, any = false;
  for (const Value& a : args) {
    if (a.type() == ValueType::Missing) continue;
    std::optional<ErrorCode> error;
    if (auto view = RangeView::of(a)) {
      view->for_each([&](const Value& v) {
        if (error) return;
        if (v.is_error()) {
          error = v.error();
        } else if (v.type() == ValueType::Bool || v.is_number()) {
          acc = combine(acc, std::get<bool>(to_bool(v)));
          any = true;
        }
      });
    } else {
      const auto b = to_bool(scalar(a, ctx));
      if (const auto* e = std::get_if<ErrorCode>(&b)) return Value(*e);
      acc = combine(acc, std::get<bool>(b));
      any = true;
    }
    if (error) return Value(*error);
  }
  return any ? Value(acc) : Value(ErrorCode::Value);
}

}  // namespace

Value fn_and(const CallContext& ctx, std::span<const Value> args) {
  return logical(ctx, args, true, [](bool a, bool b) { return a && b; });
}

Value fn_or(const CallContext& ctx, std::span<const Value> args) {
  return logical(ctx, args, false, [](bool a, bool b) { return a || b; });
}

// TRUE when an odd number of the arguments are TRUE.
Value fn_xor(const CallContext& ctx, std::span<const Value> args) {
  return logical(ctx, args, false, [](bool a, bool b) { return a != b; });
}

Value fn_not(const CallContext& ctx, std::span<const Value> args) {
  const auto b = to_bool(scalar(args[0], ctx));
  if (const auto* e = std::get_if<ErrorCode>(&b)) return Value(*e);
  return Value(!std::get<bool>(b));
}

// ---- information ----

Value fn_isnumber(const CallContext& ctx, std::span<const Value> args) {
  return Value(scalar(args[0], ctx).is_number());
}
Value fn_istext(const CallContext& ctx, std::span<const Value> args) {
  return Value(scalar(args[0], ctx).is_text());
}
Value fn_isblank(const CallContext& ctx, std::span<const Value> args) {
  return Value(scalar(args[0], ctx).is_empty());
}
Value fn_iserror(const CallContext& ctx, std::span<const Value> args) {
  return Value(scalar(args[0], ctx).is_error());
}

// ---- text ----

namespace {

// A character count argument: whole, not negative.
Arg<std::size_t> count_arg(std::span<const Value> args, std::size_t i, double fallback,
                           const CallContext& ctx) {
  const auto n = number_or(args, i, fallback, ctx);
  if (failed(n)) return std::get<Fail>(n);
  const double d = std::trunc(std::get<double>(n));
  if (d < 0) return Fail{ErrorCode::Value};
  return static_cast<std::size_t>(std::min(d, 1e9));
}

}  // namespace

Value fn_left(const CallContext& ctx, std::span<const Value> args) {
  const auto s = text(args[0], ctx);
  const auto n = count_arg(args, 1, 1, ctx);
  if (failed(s)) return error_of(s);
  if (failed(n)) return error_of(n);
  return Value(text::left_chars(std::get<std::string>(s), std::get<std::size_t>(n)));
}

Value fn_right(const CallContext& ctx, std::span<const Value> args) {
  const auto s = text(args[0], ctx);
  const auto n = count_arg(args, 1, 1, ctx);
  if (failed(s)) return error_of(s);
  if (failed(n)) return error_of(n);
  return Value(text::right_chars(std::get<std::string>(s), std::get<std::size_t>(n)));
}

Value fn_mid(const CallContext& ctx, std::span<const Value> args) {
  const auto s = text(args[0], ctx);
  const auto start = count_arg(args, 1, 1, ctx);
  const auto n = count_arg(args, 2, 0, ctx);
  if (failed(s)) return error_of(s);
  if (failed(start)) return error_of(start);
  if (failed(n)) return error_of(n);
  if (std::get<std::size_t>(start) < 1) return Value(ErrorCode::Value);
  return Value(text::mid_chars(std::get<std::string>(s), std::get<std::size_t>(start),
                               std::get<std::size_t>(n)));
}

Value fn_len(const CallContext& ctx, std::span<const Value> args) {
  const auto s = text(args[0], ctx);
  if (failed(s)) return error_of(s);
  return Value(static_cast<double>(text::char_count(std::get<std::string>(s))));
}

Value fn_upper(const CallContext& ctx, std::span<const Value> args) {
  const auto s = text(args[0], ctx);
  if (failed(s)) return error_of(s);
  return Value(unicode::upper(std::get<std::string>(s)));
}

Value fn_lower(const CallContext& ctx, std::span<const Value> args) {
  const auto s = text(args[0], ctx);
  if (failed(s)) return error_of(s);
  return Value(unicode::lower(std::get<std::string>(s)));
}

// Removes blanks at both ends and shortens inner runs of blanks to one.
Value fn_trim(const CallContext& ctx, std::span<const Value> args) {
  const auto s = text(args[0], ctx);
  if (failed(s)) return error_of(s);
  std::string out;
  for (char c : text::trim(std::get<std::string>(s))) {
    if (c == ' ' && !out.empty() && out.back() == ' ') continue;
    out += c;
  }
  return Value(std::move(out));
}

Value fn_concatenate(const CallContext& ctx, std::span<const Value> args) {
  std::string out;
  for (const Value& a : args) {
    const auto s = text(a, ctx);
    if (failed(s)) return error_of(s);
    out += std::get<std::string>(s);
  }
  return Value(std::move(out));
}

namespace {

// Calls fn(value) for every value of the argument: each cell of a range
// (row by row, empty ones too unless skip_trailing_empty allows leaving out
// the rows below the last used one), each item of an array, or the value.
template <typename Fn>
void for_each_item(const Value& a, const CallContext& ctx, bool skip_trailing_empty, Fn&& fn) {
  if (auto view = RangeView::of(a)) {
    const std::int32_t rows = skip_trailing_empty ? view->used_rows() : view->rows();
    for (std::int32_t r = 0; r < rows; ++r) {
      for (std::int32_t c = 0; c < view->cols(); ++c) {
        if (!fn(view->at(r, c))) return;
      }
    }
  } else {
    fn(scalar(a, ctx));
  }
}

}  // namespace

// Capital letter at the start of every run of letters, small ones after.
Value fn_proper(const CallContext& ctx, std::span<const Value> args) {
  const auto s0 = text(args[0], ctx);
  if (failed(s0)) return error_of(s0);
  const std::string& s = std::get<std::string>(s0);
  std::string out;
  bool in_word = false;
  for (std::size_t i = 0; i < s.size();) {
    const auto [cp, n] = unicode::decode(s, i);
    if (n == 1 && cp >= 0x80) {
      out += s[i];
      in_word = false;
    } else {
      const bool letter = unicode::is_letter(cp);
      text::append_utf8(out, !letter   ? cp
                             : in_word ? unicode::to_lower(cp)
                                       : unicode::to_upper(cp));
      in_word = letter;
    }
    i += n;
  }
  return Value(std::move(out));
}

// Removes the control characters 0 to 31.
Value fn_clean(const CallContext& ctx, std::span<const Value> args) {
  const auto s = text(args[0], ctx);
  if (failed(s)) return error_of(s);
  std::string out;
  for (char c : std::get<std::string>(s)) {
    if (static_cast<unsigned char>(c) >= 32) out += c;
  }
  return Value(std::move(out));
}

// Every value of every argument, ranges cell by cell.
Value fn_concat(const CallContext& ctx, std::span<const Value> args) {
  std::string out;
  std::optional<ErrorCode> error;
  for (const Value& a : args) {
    for_each_item(a, ctx, true, [&](const Value& v) {
      const auto t = to_text(v);
      if (const auto* e = std::get_if<ErrorCode>(&t)) error = *e;
      if (!error) out += std::get<std::string>(t);
      return !error && out.size() <= 4 * kMaxTextChars;
    });
    if (error) return Value(*error);
  }
  return text_result(std::move(out));
}

// TEXTJOIN(delimiter, ignore_empty, texts...): the delimiters (one, or a
// range of them taken in turn) go between the texts.
Value fn_textjoin(const CallContext& ctx, std::span<const Value> args) {
  std::vector<std::string> delimiters;
  std::optional<ErrorCode> error;
  for_each_item(args[0], ctx, false, [&](const Value& v) {
    const auto t = to_text(v);
    if (const auto* e = std::get_if<ErrorCode>(&t)) error = *e;
    if (!error) delimiters.push_back(std::get<std::string>(t));
    return !error && delimiters.size() < kMaxTextChars;
  });
  if (error) return Value(*error);
  const auto skip = to_bool(scalar(args[1], ctx));
  if (const auto* e = std::get_if<ErrorCode>(&skip)) return Value(*e);
  const bool ignore_empty = std::get<bool>(skip);
  std::string out;
  std::size_t joined = 0;
  for (std::size_t i = 2; i < args.size(); ++i) {
    for_each_item(args[i], ctx, ignore_empty, [&](const Value& v) {
      const auto t = to_text(v);
      if (const auto* e = std::get_if<ErrorCode>(&t)) {
        error = *e;
        return false;
      }
      const std::string& piece = std::get<std::string>(t);
      if (ignore_empty && piece.empty()) return true;
      if (joined > 0 && !delimiters.empty()) out += delimiters[(joined - 1) % delimiters.size()];
      out += piece;
      ++joined;
      return out.size() <= 4 * kMaxTextChars;
    });
    if (error) return Value(*error);
  }
  return text_result(std::move(out));
}

Value fn_rept(const CallContext& ctx, std::span<const Value> args) {
  const auto s = text(args[0], ctx);
  const auto n = count_arg(args, 1, 0, ctx);
  if (failed(s)) return error_of(s);
  if (failed(n)) return error_of(n);
  const std::string& piece = std::get<std::string>(s);
  const std::size_t times = std::get<std::size_t>(n);
  if (piece.empty() || times == 0) return Value("");
  if (text::char_count(piece) * std::min<std::size_t>(times, kMaxTextChars + 1) > kMaxTextChars) {
    return Value(ErrorCode::Value);
  }
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return Value(std::move(out));
}

// SUBSTITUTE(text, old, new, [instance]): every occurrence of old (letter
// case significant), or only the instance-th.
Value fn_substitute(const CallContext& ctx, std::span<const Value> args) {
  const auto s = text(args[0], ctx);
  const auto from = text(args[1], ctx);
  const auto to = text(args[2], ctx);
  if (failed(s)) return error_of(s);
  if (failed(from)) return error_of(from);
  if (failed(to)) return error_of(to);
  std::size_t instance = 0;
  if (!missing(args, 3)) {
    const auto n = count_arg(args, 3, 0, ctx);
    if (failed(n)) return error_of(n);
    instance = std::get<std::size_t>(n);
    if (instance < 1) return Value(ErrorCode::Value);
  }
  const std::string& hay = std::get<std::string>(s);
  const std::string& old = std::get<std::string>(from);
  if (old.empty()) return Value(hay);
  std::string out;
  std::size_t at = 0, seen = 0;
  for (std::size_t p; (p = hay.find(old, at)) != std::string::npos;) {
    ++seen;
    out.append(hay, at, p - at);
    out += instance == 0 || seen == instance ? std::get<std::string>(to) : old;
    at = p + old.size();
    if (out.size() > 4 * kMaxTextChars) return Value(ErrorCode::Value);
  }
  out.append(hay, at);
  return text_result(std::move(out));
}

// REPLACE(text, start, count, new): count characters from start replaced.
Value fn_replace(const CallContext& ctx, std::span<const Value> args) {
  const auto s = text(args[0], ctx);
  const auto start = count_arg(args, 1, 0, ctx);
  const auto n = count_arg(args, 2, 0, ctx);
  const auto with = text(args[3], ctx);
  if (failed(s)) return error_of(s);
  if (failed(start)) return error_of(start);
  if (failed(n)) return error_of(n);
  if (failed(with)) return error_of(with);
  const std::size_t from = std::get<std::size_t>(start);
  if (from < 1) return Value(ErrorCode::Value);
  const std::string& hay = std::get<std::string>(s);
  const std::vector<std::size_t> starts = unicode::char_starts(hay);
  const std::size_t chars = starts.size() - 1;
  const std::size_t b = starts[std::min(from - 1, chars)];
  const std::size_t e =
      starts[std::min(from - 1 + std::min(std::get<std::size_t>(n), chars), chars)];
  return text_result(hay.substr(0, b) + std::get<std::string>(with) + hay.substr(e));
}

namespace {

// FIND and SEARCH: the character position of what in where from start.
Value find_text(const CallContext& ctx, std::span<const Value> args, bool search) {
  const auto what0 = text(args[0], ctx);
  const auto where0 = text(args[1], ctx);
  const auto start0 = count_arg(args, 2, 1, ctx);
  if (failed(what0)) return error_of(what0);
  if (failed(where0)) return error_of(where0);
  if (failed(start0)) return error_of(start0);
  std::string what = std::get<std::string>(what0), where = std::get<std::string>(where0);
  if (search) {
    what = unicode::lower(what);
    where = unicode::lower(where);
  }
  const std::vector<std::size_t> starts = unicode::char_starts(where);
  const std::size_t chars = starts.size() - 1;
  const std::size_t start = std::get<std::size_t>(start0);
  if (start < 1 || start > chars + 1) return Value(ErrorCode::Value);
  if (what.empty()) return Value(static_cast<double>(start));
  if (search && has_wildcards(what)) {
    const std::string pattern = what + "*";
    // A leading run can absorb any prefix, so only the first place counts.
    const std::size_t last = what[0] == '*' ? start : chars;
    for (std::size_t i = start - 1; i < last; ++i) {
      if (wildcard_match(pattern, std::string_view(where).substr(starts[i]))) {
        return Value(static_cast<double>(i + 1));
      }
    }
    return Value(ErrorCode::Value);
  }
  const std::size_t p = where.find(what, starts[start - 1]);
  if (p == std::string::npos) return Value(ErrorCode::Value);
  const auto at = std::lower_bound(starts.begin(), starts.end(), p);
  return Value(static_cast<double>(at - starts.begin() + 1));
}

}  // namespace

Value fn_find(const CallContext& ctx, std::span<const Value> args) {
  return find_text(ctx, args, false);
}

// Letter case ignored; "?", "*" and "~" are wildcards.
Value fn_search(const CallContext& ctx, std::span<const Value> args) {
  return find_text(ctx, args, true);
}

Value fn_exact(const CallContext& ctx, std::span<const Value> args) {
  const auto a = text(args[0], ctx);
  const auto b = text(args[1], ctx);
  if (failed(a)) return error_of(a);
  if (failed(b)) return error_of(b);
  return Value(std::get<std::string>(a) == std::get<std::string>(b));
}

}  // namespace quillo::spreadsheet
