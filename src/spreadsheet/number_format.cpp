#include "spreadsheet/number_format.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

#include "common/text.h"
#include "spreadsheet/number_format_detail.h"

namespace quillo::spreadsheet {

using namespace number_format_detail;

namespace {

// ---- decimal digits of a number ----

// The digits of |d| to 15 significant places: value = 0.digits x 10^point.
struct Digits {
  std::string digits;  // no trailing zeros; empty for zero
  int point = 0;
};

Digits digits_of(double d) {
  Digits out;
  d = std::fabs(d);
  if (d == 0 || !std::isfinite(d)) return out;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.14e", d);
  const char* e = std::strchr(buf, 'e');
  const char* mantissa_end = e;
  out.digits =
      std::string(1, buf[0]) + std::string(static_cast<const char*>(buf) + 2, mantissa_end);
  out.point = std::atoi(e + 1) + 1;
  while (!out.digits.empty() && out.digits.back() == '0') out.digits.pop_back();
  return out;
}

// |d| rounded half away from zero to decimals places: its whole digits
// (no leading zeros, empty for none) and exactly `decimals` fraction digits.
}  // namespace

std::pair<std::string, std::string> number_format_detail::rounded(double d, int decimals) {
  Digits x = digits_of(d);
  const long keep = static_cast<long>(x.point) + decimals;  // digits that stay
  std::string kept;
  if (keep >= 0) {
    kept = x.digits.substr(
        0, static_cast<std::size_t>(std::min<long>(keep, static_cast<long>(x.digits.size()))));
    const bool up = keep < static_cast<long>(x.digits.size()) &&
                    x.digits[static_cast<std::size_t>(keep)] >= '5';
    kept.resize(static_cast<std::size_t>(keep), '0');
    if (up) {
      long i = keep - 1;
      for (; i >= 0; --i) {
        if (kept[static_cast<std::size_t>(i)] == '9') {
          kept[static_cast<std::size_t>(i)] = '0';
        } else {
          ++kept[static_cast<std::size_t>(i)];
          break;
        }
      }
      if (i < 0) {
        kept.insert(kept.begin(), '1');
        ++x.point;
      }
    }
  }
  // kept holds the digits from 10^(point-1) down to 10^-decimals.
  std::string whole, frac;
  const long point = static_cast<long>(kept.size()) - decimals;
  if (point > 0) {
    whole = kept.substr(0, static_cast<std::size_t>(point));
    frac = kept.substr(static_cast<std::size_t>(point));
  } else {
    frac = std::string(static_cast<std::size_t>(-point), '0') + kept;
  }
  whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
  return {whole, frac};
}

namespace {

std::string grouped_digits(const std::string& digits) {
  std::string out;
  std::size_t count = 0;
  for (char c : digits) count += c >= '0' && c <= '9';
  std::size_t seen = 0;
  for (char c : digits) {
    if (c >= '0' && c <= '9') {
      if (seen > 0 && (count - seen) % 3 == 0) out += ',';
      ++seen;
    }
    out += c;
  }
  return out;
}

// ---- numbers ----

// Places the whole digits into the integer placeholders, right to left; the
// leftmost placeholder takes any digits beyond them.
std::vector<std::string> place_whole(const std::string& digits,
                                     const std::vector<const Token*>& holders) {
  std::vector<std::string> out(holders.size());
  const std::size_t n = holders.size(), len = digits.size();
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t j = n - 1 - k;  // placeholder from the right
    if (k < len) {
      out[j] = std::string(1, digits[len - 1 - k]);
    } else {
      const char h = holders[j]->text[0];
      out[j] = h == '0' ? "0" : h == '?' ? " " : "";
    }
  }
  if (n > 0 && len > n) out[0] = digits.substr(0, len - n) + out[0];
  return out;
}

std::string format_plain(double x, const Section& sec) {
  const auto& t = sec.tokens;
  // The parts: integer placeholders before the point, decimals after it.
  std::size_t point = t.size();
  for (std::size_t k = 0; k < t.size(); ++k) {
    if (t[k].kind == Kind::Point) {
      point = k;
      break;
    }
  }
  std::vector<const Token*> whole_holders, frac_holders;
  bool grouped = false;
  int scale = 0;
  std::vector<bool> comma_is_literal(t.size(), false);
  for (std::size_t k = 0; k < t.size(); ++k) {
    if (t[k].kind == Kind::Digit) (k < point ? whole_holders : frac_holders).push_back(&t[k]);
    if (t[k].kind != Kind::Comma) continue;
    bool digit_before = false, digit_after = false;
    for (std::size_t j = 0; j < k; ++j) digit_before |= t[j].kind == Kind::Digit;
    for (std::size_t j = k + 1; j < t.size() && (k > point || j < point); ++j) {
      digit_after |= t[j].kind == Kind::Digit;
    }
    if (digit_before && digit_after && k < point) {
      grouped = true;
    } else if (digit_before && !digit_after) {
      ++scale;
    } else {
      comma_is_literal[k] = true;
    }
  }
  for (const Token& tok : t) {
    if (tok.kind == Kind::Percent) x *= 100;
  }
  for (int k = 0; k < scale; ++k) x /= 1000;
  auto [whole, frac] = rounded(x, static_cast<int>(frac_holders.size()));
  std::vector<std::string> whole_out = place_whole(whole, whole_holders);
  if (grouped && !whole_holders.empty()) {
    std::string all;
    for (auto& w : whole_out) all += w;
    whole_out.assign(whole_out.size(), "");
    whole_out[0] = grouped_digits(all);
  }
  // Decimals: trailing zeros vanish under # and turn blank under ?.
  std::vector<std::string> frac_out(frac_holders.size());
  bool trimming = true;
  for (std::size_t k = frac_holders.size(); k-- > 0;) {
    const char h = frac_holders[k]->text[0];
    if (trimming && frac[k] == '0' && h != '0') {
      frac_out[k] = h == '?' ? " " : "";
    } else {
      trimming = false;
      frac_out[k] = std::string(1, frac[k]);
    }
  }
  std::string out;
  std::size_t wi = 0, fi = 0;
  bool whole_done = whole_holders.empty() && whole.empty();
  for (std::size_t k = 0; k < t.size(); ++k) {
    const Token& tok = t[k];
    switch (tok.kind) {
      case Kind::Digit:
        if (k < point) {
          out += whole_out[wi++];
        } else {
          out += frac_out[fi++];
        }
        break;
      case Kind::Point:
        if (!whole_done && whole_holders.empty()) out += whole;  // no place held for them
        whole_done = true;
        out += '.';
        break;
      case Kind::Comma:
        if (comma_is_literal[k]) out += ',';
        break;
      case Kind::Percent:
        out += '%';
        break;
      case Kind::General:
        out += format_general(x);
        break;
      case Kind::Slash:
        out += '/';
        break;
      case Kind::Literal:
      case Kind::AmPm:
        out += tok.text;
        break;
      default:
        break;
    }
  }
  return out;
}

std::string format_exponent(double x, const Section& sec) {
  const auto& t = sec.tokens;
  std::size_t e_at = 0;
  while (t[e_at].kind != Kind::Exponent) ++e_at;
  int whole_n = 0, frac_n = 0, exp_zeros = 0;
  bool hash_whole = false, seen_point = false;
  for (std::size_t k = 0; k < t.size(); ++k) {
    if (t[k].kind == Kind::Point && k < e_at) seen_point = true;
    if (t[k].kind != Kind::Digit) continue;
    if (k > e_at) {
      exp_zeros += t[k].text[0] == '0';
    } else if (seen_point) {
      ++frac_n;
    } else {
      ++whole_n;
      hash_whole |= t[k].text[0] == '#';
    }
  }
  const int width = std::max(whole_n, 1);
  int e = 0;
  std::pair<std::string, std::string> m{"", std::string(static_cast<std::size_t>(frac_n), '0')};
  if (x != 0) {
    e = static_cast<int>(std::floor(std::log10(x)));
    for (int attempt = 0; attempt < 2; ++attempt) {
      int shift = e;
      if (hash_whole && width > 1) {
        shift = static_cast<int>(std::floor(static_cast<double>(e) / width)) * width;
      } else {
        shift = e - (width - 1);
      }
      m = rounded(x / std::pow(10.0, shift), frac_n);
      if (static_cast<int>(m.first.size()) > width && !(hash_whole && width > 1)) {
        ++e;  // rounding carried into one more digit
        continue;
      }
      e = shift;
      break;
    }
  }
  std::string out;
  // The mantissa through the placeholders before E, then the exponent.
  std::vector<const Token*> whole_holders;
  bool after_point = false;
  for (std::size_t k = 0; k < e_at; ++k) {
    if (t[k].kind == Kind::Point) after_point = true;
    if (t[k].kind == Kind::Digit && !after_point) whole_holders.push_back(&t[k]);
  }
  const auto whole_out = place_whole(m.first, whole_holders);
  std::size_t wi = 0, fi = 0;
  after_point = false;
  for (std::size_t k = 0; k < t.size(); ++k) {
    const Token& tok = t[k];
    if (k == e_at) {
      out += 'E';
      if (e < 0) out += '-';
      if (e >= 0 && tok.text == "+") out += '+';
      std::string digits = std::to_string(std::abs(e));
      if (static_cast<int>(digits.size()) < exp_zeros) {
        digits.insert(0, static_cast<std::size_t>(exp_zeros) - digits.size(), '0');
      }
      out += digits;
      continue;
    }
    if (k > e_at && tok.kind == Kind::Digit) continue;
    switch (tok.kind) {
      case Kind::Digit:
        if (!after_point) {
          out += whole_out[wi++];
        } else {
          out += m.second[fi++];
        }
        break;
      case Kind::Point:
        after_point = true;
        out += '.';
        break;
      case Kind::Percent:
        out += '%';
        break;
      case Kind::Literal:
        out += tok.text;
        break;
      default:
        break;
    }
  }
  return out;
}

std::string format_fraction(double x, const Section& sec) {
  const auto& t = sec.tokens;
  std::size_t slash = 0;
  while (t[slash].kind != Kind::Slash) ++slash;
  // Numerator: the run of placeholders just before the slash.
  std::size_t num_begin = slash;
  while (num_begin > 0 && t[num_begin - 1].kind == Kind::Digit) --num_begin;
  std::vector<const Token*> whole_holders, num_holders, den_holders;
  for (std::size_t k = 0; k < num_begin; ++k) {
    if (t[k].kind == Kind::Digit) whole_holders.push_back(&t[k]);
  }
  for (std::size_t k = num_begin; k < slash; ++k) num_holders.push_back(&t[k]);
  // Denominator: placeholders, or a fixed number written out.
  std::size_t den_end = slash + 1;
  std::string fixed;
  while (den_end < t.size() && (t[den_end].kind == Kind::Digit ||
                                (t[den_end].kind == Kind::Literal && fixed.empty() &&
                                 t[den_end].text[0] >= '1' && t[den_end].text[0] <= '9'))) {
    if (t[den_end].kind == Kind::Literal) {
      std::size_t n = 0;
      while (n < t[den_end].text.size() &&
             std::isdigit(static_cast<unsigned char>(t[den_end].text[n])))
        ++n;
      fixed += t[den_end].text.substr(0, n);
      if (n < t[den_end].text.size()) break;
    } else if (!fixed.empty()) {
      fixed += t[den_end].text[0] == '0' ? "0" : "";
    } else {
      den_holders.push_back(&t[den_end]);
    }
    ++den_end;
  }
  const bool has_whole = !whole_holders.empty();
  double whole = has_whole ? std::floor(x) : 0;
  const double f = x - whole;
  long long num = 0, den = 1;
  if (!fixed.empty()) {
    den = std::max(1LL, std::atoll(fixed.substr(0, 9).c_str()));
    num = std::llround(f * static_cast<double>(den));
  } else {
    const long long max_den =
        static_cast<long long>(std::pow(10.0, std::min<std::size_t>(den_holders.size(), 5))) - 1;
    double best = 2;
    for (long long d = 1; d <= std::max(1LL, max_den); ++d) {
      const long long n = std::llround(f * static_cast<double>(d));
      const double err = std::fabs(f - static_cast<double>(n) / static_cast<double>(d));
      if (err < best - 1e-12) {
        best = err;
        num = n;
        den = d;
      }
    }
  }
  if (has_whole && num == den) {
    whole += 1;
    num = 0;
  }
  if (!has_whole) num += static_cast<long long>(whole) * den;
  const bool blank_fraction = has_whole && num == 0;
  std::string whole_digits = rounded(whole, 0).first;
  if (has_whole && whole_digits.empty() && blank_fraction) whole_digits = "0";
  const auto whole_out = place_whole(whole_digits, whole_holders);
  const auto num_out = place_whole(std::to_string(num), num_holders);
  std::string den_text = fixed.empty() ? std::to_string(den) : fixed;
  for (std::size_t k = den_text.size(); k < den_holders.size(); ++k) {
    den_text += den_holders[k]->text[0] == '0' ? "" : den_holders[k]->text[0] == '?' ? " " : "";
  }
  std::string out, tail;
  std::size_t wi = 0;
  for (std::size_t k = 0; k < t.size(); ++k) {
    const Token& tok = t[k];
    std::string piece;
    if (k < num_begin) {
      if (tok.kind == Kind::Digit) piece = whole_out[wi++];
      if (tok.kind == Kind::Literal) piece = tok.text;
      if (tok.kind == Kind::Percent) piece = "%";
      out += piece;
      continue;
    }
    if (k < slash) {
      if (k == num_begin)
        piece = [&] {
          std::string s;
          for (const auto& n : num_out) s += n;
          return s;
        }();
    } else if (k == slash) {
      piece = "/" + den_text;
    } else if (k < den_end) {
      continue;
    } else if (tok.kind == Kind::Literal) {
      piece = tok.text;
    }
    tail += piece;
  }
  if (blank_fraction) {
    // A whole number keeps its place but shows no fraction.
    return out + std::string(text::char_count(tail), ' ');
  }
  return out + tail;
}

std::optional<std::string> format_section(double x, const Section& sec) {
  if (sec.is_date) return format_date(x, sec);
  bool exponent = false, fraction = false;
  for (const Token& tok : sec.tokens) {
    exponent |= tok.kind == Kind::Exponent;
    fraction |= tok.kind == Kind::Slash;
  }
  if (exponent) return format_exponent(x, sec);
  if (fraction) {
    bool digit_after = false, slash_seen = false;
    for (const Token& tok : sec.tokens) {
      if (tok.kind == Kind::Slash) slash_seen = true;
      if (slash_seen &&
          (tok.kind == Kind::Digit ||
           (tok.kind == Kind::Literal && std::isdigit(static_cast<unsigned char>(tok.text[0]))))) {
        digit_after = true;
      }
    }
    if (digit_after) return format_fraction(x, sec);
  }
  return format_plain(x, sec);
}

std::string format_text(const std::string& s, const Section& sec) {
  std::string out;
  for (const Token& tok : sec.tokens) {
    if (tok.kind == Kind::At) {
      out += s;
    } else if (tok.kind == Kind::Literal) {
      out += tok.text;
    }
  }
  return out;
}

std::string exponent_text(double a, int mantissa_places) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.*E", mantissa_places, a);
  std::string s = buf;
  const std::size_t e = s.find('E');
  std::string m = s.substr(0, e), x = s.substr(e + 1);
  if (m.find('.') != std::string::npos) {
    while (m.back() == '0') m.pop_back();
    if (m.back() == '.') m.pop_back();
  }
  const char sign = x[0];
  std::string digits = x.substr(1);
  while (digits.size() > 2 && digits[0] == '0') digits.erase(0, 1);
  return m + "E" + sign + digits;
}

}  // namespace

std::string format_general(double d) {
  if (d == 0) return "0";
  if (!std::isfinite(d)) return "#NUM!";
  const std::string sign = d < 0 ? "-" : "";
  const double a = std::fabs(d);
  const Digits digits = digits_of(a);
  if (a >= 1e11 || digits.point < -8) return sign + exponent_text(a, 5);
  // Plain digits in 11 characters: the whole part, the point, decimals.
  const int whole_len = std::max(digits.point, 1);
  const int decimals = std::max(0, 10 - whole_len);
  auto [whole, frac] = rounded(a, decimals);
  while (!frac.empty() && frac.back() == '0') frac.pop_back();
  std::string plain = (whole.empty() ? "0" : whole) + (frac.empty() ? "" : "." + frac);
  // Small numbers whose digits fall off the end show better in scientific form.
  if (digits.point < 0) {
    const std::size_t plain_sig = plain.size() - plain.find_first_not_of("0.");
    const std::string sci = exponent_text(a, 4);
    const std::size_t sci_sig = sci.find('E') - (sci.find('.') == std::string::npos ? 0 : 1);
    if (sci_sig > plain_sig) return sign + sci;
  }
  return sign + plain;
}

std::string format_fixed(double d, int decimals, bool grouped) {
  const double a = std::fabs(d);
  std::string whole, frac;
  if (decimals >= 0) {
    std::tie(whole, frac) = rounded(a, decimals);
  } else {
    const double unit = std::pow(10.0, -decimals);
    std::tie(whole, frac) = rounded(std::round(a / unit) * unit, 0);
  }
  if (whole.empty()) whole = "0";
  if (grouped) whole = grouped_digits(whole);
  const bool zero = whole.find_first_not_of("0,") == std::string::npos &&
                    frac.find_first_not_of('0') == std::string::npos;
  return (d < 0 && !zero ? "-" : "") + whole + (frac.empty() ? "" : "." + frac);
}

std::optional<std::string> format_value(const Value& v, std::string_view code) {
  if (v.is_error()) return std::string(error_text(v.error()));
  if (code.empty() || text::iequals(code, "General")) {
    if (v.is_number()) return format_general(v.number());
    return v.to_text();
  }
  const auto parts = split_sections(code);
  if (!parts) return std::nullopt;
  std::vector<Section> sections;
  for (std::string_view p : *parts) {
    auto sec = parse_section(p);
    if (!sec) return std::nullopt;
    sections.push_back(std::move(*sec));
  }
  if (!v.is_number()) {
    const std::string s = v.to_text();
    if (sections.size() == 4) return format_text(s, sections[3]);
    if (sections[0].is_text) return format_text(s, sections[0]);
    return s;
  }
  const double d = v.number();
  // The section for the number, and whether it shows the minus sign itself
  // (the negative section does, and so does a second section chosen because
  // the first one's condition failed, or a section whose condition only takes
  // negative numbers).
  const std::size_t numeric = sections.size() == 4 ? 3 : sections.size();
  const Section* sec = &sections[0];
  bool signed_by_section = false;
  if (sections[0].condition || (numeric > 1 && sections[1].condition)) {
    auto takes = [&](std::size_t i) {
      return i < numeric && (!sections[i].condition || sections[i].condition->test(d));
    };
    // A number no section takes shows in the first one.
    const std::size_t chosen = takes(0) ? 0 : takes(1) ? 1 : takes(2) ? 2 : 0;
    sec = &sections[chosen];
    if (const auto& c = sec->condition) {
      signed_by_section = (c->op == "<" && c->value <= 0) || (c->op == "<=" && c->value < 0);
    } else {
      signed_by_section = chosen == 1;  // the second section stands where negatives go
    }
  } else if (d < 0 && numeric >= 2) {
    sec = &sections[1];
    signed_by_section = true;
  } else if (d == 0 && numeric >= 3) {
    sec = &sections[2];
  }
  // A number in a text section shows as General where the @ stands.
  if (sec->is_text && !sec->is_date) return format_text(format_general(d), *sec);
  // Dates show only days of the calendar: a negative one has no text.
  auto body = format_section(sec->is_date && !signed_by_section ? d : std::fabs(d), *sec);
  if (!body) return std::nullopt;
  const bool minus = d < 0 && !signed_by_section && !sec->is_date;
  return (minus ? "-" : "") + *body;
}

}  // namespace quillo::spreadsheet