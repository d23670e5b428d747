#include "demo/weblink_pages.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace quillo::service {

namespace {

std::int64_t seconds_of(std::int64_t now_ms) {
  return now_ms / 1000;
}

// 1234567 -> "1,234,567".
std::string with_commas(std::int64_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string cents(std::int64_t c) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s%lld.%02lld", c < 0 ? "-" : "", std::llabs(c) / 100,
                std::llabs(c) % 100);
  return buf;
}

std::int64_t last_cents(std::int64_t now_ms) {
  return 10000 + seconds_of(now_ms) / 60 % 1000;
}

Reply quote(std::string_view id, std::int64_t now_ms) {
  const std::int64_t ts = seconds_of(now_ms);
  const std::string last = weblink_last(now_ms);
  const std::string change =
      (last_cents(now_ms) >= 10000 ? "+" : "") + cents(last_cents(now_ms) - 10000);
  const std::string sid(id);
  const std::string t = std::to_string(ts);
  Reply r;
  r.body = "<!DOCTYPE html>\n<html><head><title>" + sid + " quote</title>\n" +
           "<script>var quote = {last: \"" + last + "\", ts: " + t +
           "}; var session = \"session-7f3a\";</script>\n" + "</head>\n<body class=\"page t" + t +
           "\">\n<div id=\"hdr-" + t + "\"><h1>" + sid + " Corp. (" + sid + ")</h1></div>\n" +
           "<table class=\"quote r" + std::to_string(ts % 97) + "\">\n" +
           "<tr><th>Last</th><td class=\"last\" data-ts=\"" + t + "\">" + last + "</td></tr>\n" +
           "<tr><th>Change</th><td class=\"chg c" + std::to_string(ts % 7) + "\">" + change +
           "</td></tr>\n" + "<tr><th>Volume</th><td data-v=\"" + std::to_string(ts) + "\">" +
           weblink_volume(now_ms) + "</td></tr>\n" +
           "<tr><th>Currency</th><td>USD</td></tr>\n</table>\n" +
           "<p>Data delayed <b>15</b> minutes &amp; more.\n" +
           "<div data-owner=\"Quillo Labs\" title=\"Quillo Labs\">&copy; 2026</div>\n" +
           "</body></html>\n";
  return r;
}

// Figures written as pages write them: the open price (given) beside the
// last price (which follows the clock), the last price with a dollar sign
// and a non-breaking space, with a decimal comma and a euro sign, a name
// with an ampersand, and a change with a decimal comma.
Reply figures(std::string_view open, std::int64_t now_ms) {
  std::string last = weblink_last(now_ms);
  std::string comma = last;
  comma[comma.find('.')] = ',';
  Reply r;
  r.body = "<html><body><h1>Figures</h1>\n<table>\n<tr><th>Open</th><td>" + std::string(open) +
           "</td></tr>\n<tr><th>Last</th><td>" + last +
           "</td></tr>\n<tr><th>Price</th><td>$&nbsp;" + last +
           "</td></tr>\n<tr><th>Euro</th><td>" + comma +
           "&nbsp;&euro;</td></tr>\n<tr><th>Name</th><td>AT&amp;T</td></tr>\n"
           "<tr><th>Change</th><td>-0,75</td></tr>\n</table></body></html>\n";
  return r;
}

// Prices in bold and italics inside a paragraph. In odd minutes tags whose
// names start like theirs stand around them (<br>, <button>, <img>); with
// open=1 the bold price is left without its end tag, which a browser adds.
Reply price(bool open, std::int64_t now_ms) {
  const bool odd = seconds_of(now_ms) / 60 % 2 == 1;
  Reply r;
  if (open) {
    r.body = "<html><body><div><b>5,5</div><div>x</div><div>y</div></body></html>\n";
    return r;
  }
  r.body = std::string("<html><body><div><p>Price ") + (odd ? "<br><button>Buy</button>" : "") +
           "<b>7,5</b> EUR</p>\n<p>Change " + (odd ? "<img src=\"up.png\">" : "") +
           "<i>-0,5</i> %</p></div></body></html>\n";
  return r;
}

Reply many(std::string_view n_text, std::string v, bool open) {
  const long n = std::clamp(std::atol(std::string(n_text).c_str()), 0L, 100000L);
  if (v.empty()) v = "n/a";
  Reply r;
  r.body = "<html><body><h1>Many rows</h1>\n<table>\n";
  for (long i = 1; i <= n; ++i) {
    if (open) {
      r.body += "<tr><td>row " + std::to_string(i) + "<td>" + v + "\n";
    } else {
      r.body += "<tr><td>row " + std::to_string(i) + "</td><td>" + v + "</td></tr>\n";
    }
  }
  r.body += "</table></body></html>\n";
  return r;
}

Reply big(std::string_view mb_text) {
  const long mb = std::clamp(std::atol(std::string(mb_text).c_str()), 0L, 100L);
  const std::size_t size = static_cast<std::size_t>(mb) * 1024 * 1024;
  Reply r;
  r.body.reserve(size + 200);
  r.body = "<html><body>\n";
  const std::string filler =
      "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor. ";
  std::int64_t k = 0;
  while (r.body.size() < size) {
    r.body += "<p>" + std::to_string(++k) + " ";
    for (int i = 0; i < 12; ++i) r.body += filler;
    r.body += "</p>\n";
  }
  r.body += "<div>end of page</div>\n</body></html>\n";
  return r;
}

}  // namespace

std::optional<std::string> weblink_redirect(std::string_view target) {
  if (target.substr(0, target.find('?')) != "/wl/loop") return std::nullopt;
  return std::string(target);
}

std::string weblink_last(std::int64_t now_ms) {
  return cents(last_cents(now_ms));
}

std::string weblink_volume(std::int64_t now_ms) {
  return with_commas(1000000 + (seconds_of(now_ms) % 86400) / 60 * 3701);
}

std::optional<Reply> weblink_page(std::string_view target, std::int64_t now_ms) {
  const std::string_view path = target.substr(0, target.find('?'));
  if (!path.starts_with("/wl/")) return std::nullopt;
  if (path == "/wl/quote") {
    const std::string id = query_value(target, "s");
    if (id.empty()) return Reply{400, "text/html", "<html><body>Bad Request</body></html>\n"};
    return quote(id, now_ms);
  }
  if (path == "/wl/many")
    return many(query_value(target, "n"), query_value(target, "v"),
                query_value(target, "open") == "1");
  if (path == "/wl/big") return big(query_value(target, "mb"));
  if (path == "/wl/price") return price(query_value(target, "open") == "1", now_ms);
  if (path == "/wl/figures") return figures(query_value(target, "open"), now_ms);
  if (path == "/wl/data") {
    std::string bytes;
    for (int i = 0; i < 4096; ++i) bytes += static_cast<char>((i * 131 + 7) % 256);
    return Reply{200, "application/octet-stream", bytes};
  }
  if (path == "/wl/json") {
    return Reply{200, "application/json",
                 "{\"s\": \"ABC\", \"last\": \"" + weblink_last(now_ms) + "\"}\n"};
  }
  return Reply{404, "text/html", "<html><body><h1>Not Found</h1></body></html>\n"};
}

}  // namespace quillo::service
