#include "requests/provenance.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <tuple>

#include "common/dates.h"
#include "common/open_addressing.h"
#include "common/text.h"
#include "common/text_encoding.h"
#include "host/cell_key.h"
#include "host/output_blocks.h"
#include "host/range.h"
#include "host/worksheet.h"
#include "requests/registry.h"

namespace quillo {

namespace {

constexpr std::int64_t kDayMs = 86400000;

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civil_from_days(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

// A field of a record line: tabs and line breaks would split it.
std::string clean(std::string_view s) {
  std::string out(s);
  for (char& ch : out) {
    if (ch == '\t' || ch == '\n' || ch == '\r') ch = ' ';
  }
  return out;
}

std::vector<std::string> split_tabs(std::string_view line) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (true) {
    const std::size_t tab = line.find('\t', start);
    out.emplace_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  return out;
}

std::int32_t to_int(const std::string& s) {
  std::int32_t n = 0;
  for (const char ch : s) {
    if (ch < '0' || ch > '9') return n;
    n = n * 10 + (ch - '0');
    if (n > 100000000) return n;
  }
  return n;
}

std::int64_t column_number(std::string_view letters) {
  std::int64_t col = 0;
  for (const char ch : letters) col = col * 26 + (ch - 'A' + 1);
  return col;
}

std::optional<host::CellPos> parse_cell(std::string_view a1) {
  std::size_t i = 0;
  while (i < a1.size() && a1[i] >= 'A' && a1[i] <= 'Z') ++i;
  if (i == 0 || i > 3 || i == a1.size()) return std::nullopt;
  std::int64_t row = 0;
  for (std::size_t j = i; j < a1.size(); ++j) {
    if (a1[j] < '0' || a1[j] > '9' || j - i > 7) return std::nullopt;
    row = row * 10 + (a1[j] - '0');
  }
  const std::int64_t col = column_number(a1.substr(0, i));
  if (row < 1 || row > host::kSheetRows || col > host::kSheetCols) return std::nullopt;
  return host::CellPos{row, col};
}

std::string block_text(const host::Block& b) {
  if (b.empty()) return {};
  return host::a1_address(b.top, b.left) + ":" + host::a1_address(b.bottom(), b.right());
}

// The text of an argument as the function read it: a cell reference
// through its one cell; nothing for an argument left off or one holding
// several values (the call answered #VALUE! then).
std::string argument_text(const Value& v) {
  const std::optional<Value> one = host::single_value(v);
  if (!one || one->type() == ValueType::Missing) return std::string();
  return one->to_text();
}

// A date argument as a date ("2024-01-31"); other values as their text.
std::string date_text(const Value& v) {
  const Value d = host::single_value(v).value_or(Value());
  if (!d.is_number() || d.number() < 1 || d.number() > 2958465) return argument_text(d);
  const CivilDate c = civil_from_serial(d.number());
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", c.year, c.month, c.day);
  return buf;
}

bool holds_formula(const host::Workbook& book, const std::string& sheet, std::int64_t row,
                   std::int64_t col) {
  if (row < 1 || col < 1 || row > host::kSheetRows || col > host::kSheetCols) return false;
  const auto ws = book.worksheet(sheet);
  if (!ws.ok()) return false;
  const auto cell = (*ws)->cell(static_cast<std::int32_t>(row), static_cast<std::int32_t>(col));
  if (!cell.ok()) return false;
  const auto f = (*cell)->has_formula();
  return f.ok() && *f;
}

using Place = std::tuple<std::string, std::int64_t, std::int64_t>;

}  // namespace

std::string_view kind_name(FilledKind kind) {
  switch (kind) {
    case FilledKind::Single:
      return "single data item";
    case FilledKind::Link:
      return "web link";
    case FilledKind::Table:
      return "price-history table";
    case FilledKind::Series:
      return "indicator series";
  }
  return "";
}

bool ProvenanceRecord::covers(std::int64_t r, std::int64_t c) const {
  if (r == row && c == col) return true;
  return !block.empty() && r >= block.top && r <= block.bottom() && c >= block.left &&
         c <= block.right();
}

std::int64_t ProvenanceRecord::as_of_ms() const {
  return fetch ? fetch->answered_ms : computed_ms;
}

std::string iso_utc(std::int64_t unix_ms) {
  if (unix_ms == 0) return {};
  std::int64_t days = unix_ms / kDayMs;
  std::int64_t rest = unix_ms % kDayMs;
  if (rest < 0) {
    rest += kDayMs;
    --days;
  }
  std::int64_t y = 0;
  unsigned m = 0, d = 0;
  civil_from_days(days, y, m, d);
  const std::int64_t s = rest / 1000;
  auto two = [](std::int64_t v) { return std::string(v < 10 ? "0" : "") + std::to_string(v); };
  std::string year = std::to_string(y);
  if (year.size() < 4) year.insert(0, 4 - year.size(), '0');
  return year + "-" + two(m) + "-" + two(d) + "T" + two(s / 3600) + ":" + two(s / 60 % 60) + ":" +
         two(s % 60) + "Z";
}

std::optional<std::int64_t> parse_iso(std::string_view t) {
  auto digits = [&](std::size_t at, std::size_t n) -> std::optional<int> {
    if (at + n > t.size()) return std::nullopt;
    int v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
      if (t[i] < '0' || t[i] > '9') return std::nullopt;
      v = v * 10 + (t[i] - '0');
    }
    return v;
  };
  const auto y = digits(0, 4), mo = digits(5, 2), d = digits(8, 2);
  const auto h = digits(11, 2), mi = digits(14, 2), s = digits(17, 2);
  if (!y || !mo || !d || !h || !mi || !s || t.size() < 20 || t[4] != '-' || t[7] != '-' ||
      (t[10] != 'T' && t[10] != ' ') || t[13] != ':' || t[16] != ':') {
    return std::nullopt;
  }
  if (*mo < 1 || *mo > 12 || *d < 1 || *d > 31 || *h > 23 || *mi > 59 || *s > 60)
    return std::nullopt;
  std::size_t at = 19;
  if (at < t.size() && t[at] == '.') {
    ++at;
    while (at < t.size() && t[at] >= '0' && t[at] <= '9') ++at;
  }
  std::int64_t offset_s = 0;
  if (at < t.size() && t[at] == 'Z' && at + 1 == t.size()) {
  } else if (at + 6 == t.size() && (t[at] == '+' || t[at] == '-') && t[at + 3] == ':') {
    const auto oh = digits(at + 1, 2), om = digits(at + 4, 2);
    if (!oh || !om) return std::nullopt;
    offset_s = (*oh * 3600 + *om * 60) * (t[at] == '-' ? -1 : 1);
  } else {
    return std::nullopt;
  }
  const std::int64_t days =
      days_from_civil(*y, static_cast<unsigned>(*mo), static_cast<unsigned>(*d));
  return (days * 86400 + *h * 3600 + *mi * 60 + *s - offset_s) * 1000;
}

// A query key as the server reads it: "%5B" as "[", "+" as a space, in
// capitals, so a secret key matches however the address builder encoded it.
static std::string decoded_key(std::string_view key) {
  std::string out;
  for (std::size_t i = 0; i < key.size(); ++i) {
    const auto hex = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    if (key[i] == '%' && i + 2 < key.size() && hex(key[i + 1]) >= 0 && hex(key[i + 2]) >= 0) {
      out += static_cast<char>(hex(key[i + 1]) * 16 + hex(key[i + 2]));
      i += 2;
    } else {
      out += key[i] == '+' ? ' ' : key[i];
    }
  }
  return text::upper(out);
}

std::string strip_secrets(std::string_view url, const std::set<std::string>& secret_keys) {
  std::string out(url);
  // user:password@ after the scheme, or at the start of a scheme-less
  // "//user:password@host/..." address
  const std::size_t scheme = out.find("://");
  const bool relative = out.rfind("//", 0) == 0;
  if (scheme != std::string::npos || relative) {
    const std::size_t host = relative ? 2 : scheme + 3;
    const std::size_t end = out.find_first_of("/?#", host);
    const std::size_t at = out.rfind('@', end == std::string::npos ? out.size() : end);
    if (at != std::string::npos && at >= host) out.erase(host, at + 1 - host);
  }
  if (secret_keys.empty()) return out;
  std::set<std::string> secret;
  // Secret keys are named as written in the definitions; the address holds
  // them encoded, so both sides are compared as the server decodes them.
  for (const std::string& k : secret_keys) secret.insert(decoded_key(text::encode_query_value(k)));
  const std::size_t q = out.find('?');
  if (q == std::string::npos) return out;
  std::string result = out.substr(0, q + 1);
  std::size_t start = q + 1;
  while (start <= out.size()) {
    std::size_t amp = out.find('&', start);
    if (amp == std::string::npos) amp = out.size();
    const std::string pair = out.substr(start, amp - start);
    const std::size_t eq = pair.find('=');
    if (eq != std::string::npos && secret.count(decoded_key(pair.substr(0, eq)))) {
      result += pair.substr(0, eq + 1);
    } else {
      result += pair;
    }
    if (amp < out.size()) result += '&';
    start = amp + 1;
  }
  return result;
}

bool still_filled(const host::Workbook& book, const ProvenanceRecord& record) {
  if (record.row < 1 || record.col < 1 || record.row > host::kSheetRows ||
      record.col > host::kSheetCols) {
    return false;
  }
  const auto sheet = book.worksheet(record.sheet);
  if (!sheet.ok()) return false;
  const auto cell =
      (*sheet)->cell(static_cast<std::int32_t>(record.row), static_cast<std::int32_t>(record.col));
  if (!cell.ok()) return false;
  const auto formula = (*cell)->formula();
  if (!formula.ok() || formula->empty() || (*formula)[0] != '=') return false;
  std::string name;
  switch (record.kind) {
    case FilledKind::Single:
      name = "fsingle";
      break;
    case FilledKind::Link:
      name = "wlink";
      break;
    case FilledKind::Table:
      name = "fhistory";
      break;
    case FilledKind::Series: {
      // The function the recorded formula calls: "=sma(A2:F30, 2)" -> sma.
      const std::size_t open = record.formula.find('(');
      const std::size_t from = record.formula.find_first_not_of("= ");
      if (open == std::string::npos || from == std::string::npos || from >= open) return false;
      name = text::lower(record.formula.substr(from, open - from));
      break;
    }
  }
  return text::calls_any(*formula, {name});
}

std::optional<host::Block> parse_cells(std::string_view a1) {
  const std::size_t colon = a1.find(':');
  const auto first = parse_cell(a1.substr(0, colon));
  if (!first) return std::nullopt;
  if (colon == std::string_view::npos) return host::Block{first->row, first->col, 1, 1};
  const auto last = parse_cell(a1.substr(colon + 1));
  if (!last || last->row < first->row || last->col < first->col) return std::nullopt;
  return host::Block{first->row, first->col, last->row - first->row + 1,
                     last->col - first->col + 1};
}

std::uint64_t LineBlocks::add(std::string_view line) {
  if (m_blocks.empty() || m_blocks.back().size() + line.size() + 1 > m_blocks.back().capacity()) {
    m_blocks.emplace_back().reserve(std::max(kBlock, line.size() + 1));
  }
  std::string& block = m_blocks.back();
  const std::uint64_t where = static_cast<std::uint64_t>(m_blocks.size() - 1) << 32 | block.size();
  block.append(line).append(1, '\n');
  ++m_count;
  return where;
}

std::string_view LineBlocks::at(std::uint64_t where) const {
  const std::string& block = m_blocks[static_cast<std::size_t>(where >> 32)];
  const std::size_t start = static_cast<std::size_t>(where & 0xFFFFFFFFu);
  return std::string_view(block).substr(start, block.find('\n', start) - start);
}

bool LineBlocks::next(std::string& line) {
  for (; m_read_block < m_blocks.size(); ++m_read_block, m_read_at = 0) {
    std::string& block = m_blocks[m_read_block];
    if (m_read_at >= block.size()) continue;
    const std::size_t end = block.find('\n', m_read_at);
    line.assign(block, m_read_at, end - m_read_at);
    m_read_at = end + 1;
    if (m_read_at >= block.size()) {
      std::string().swap(block);  // read to its end: let go of it
      ++m_read_block;
      m_read_at = 0;
    }
    return true;
  }
  return false;
}

void LineBlocks::clear() {
  m_blocks.clear();
  m_count = 0;
  m_read_block = 0;
  m_read_at = 0;
}

std::string_view RecordEncoder::fetch_fields(std::uint32_t index) const {
  // "F\t<id>\t<fields>": the fields follow the second tab.
  const std::string_view line = m_fetch_lines.at(m_fetch_starts[index]);
  return line.substr(line.find('\t', 2) + 1);
}

std::uint32_t& RecordEncoder::index_slot(std::string_view fields, std::size_t hash) {
  const std::size_t mask = m_index.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    std::uint32_t& slot = m_index[i];
    if (slot == 0 || fetch_fields(slot - 1) == fields) return slot;
  }
}

void RecordEncoder::index_grow() {
  // The lines' fields are hashed again from the lines themselves.
  open_addressing::rehash(
      m_index, std::max<std::size_t>(64, m_index.size() * 2), std::uint32_t{0},
      [](std::uint32_t slot) { return slot == 0; },
      [this](std::uint32_t slot) { return std::hash<std::string_view>{}(fetch_fields(slot - 1)); });
}

void RecordEncoder::add(const ProvenanceRecord& r) {
  std::string id;
  if (r.fetch) {
    const FetchInfo& f = *r.fetch;
    const std::string fields =
        clean(f.source) + '\t' + clean(f.category) + '\t' + clean(f.address) + '\t' +
        iso_utc(f.answered_ms) + '\t' + (f.http_status ? std::to_string(f.http_status) : "") +
        '\t' + std::to_string(f.attempts) + '\t' + clean(f.failure) + '\t' + iso_utc(f.failed_ms);
    if ((m_fetch_starts.size() + 1) * 2 > m_index.size()) index_grow();
    std::uint32_t& slot = index_slot(fields, std::hash<std::string_view>{}(fields));
    if (slot != 0) {
      id = std::to_string(slot);
    } else {
      const auto index = static_cast<std::uint32_t>(m_fetch_starts.size());
      id = std::to_string(index + 1);
      m_fetch_starts.push_back(m_fetch_lines.add("F\t" + id + '\t' + fields));
      slot = index + 1;
    }
  }
  // The fields are cleaned of tabs and line breaks: a line ends at '\n'.
  std::string line;
  line.append("C\t")
      .append(clean(r.sheet))
      .append("\t")
      .append(host::a1_address(r.row, r.col))
      .append("\t")
      .append(block_text(r.block))
      .append("\t")
      .append(1, static_cast<char>(r.kind))
      .append("\t")
      .append(id)
      .append("\t")
      .append(clean(r.instrument))
      .append("\t")
      .append(clean(r.field));
  if (!r.fetch) {
    line.append("\t")
        .append(iso_utc(r.computed_ms))
        .append("\t")
        .append(clean(r.inputs))
        .append("\t")
        .append(clean(r.formula));
  }
  m_cell_lines.add(line);
}

std::size_t RecordEncoder::line_count() const {
  return m_fetch_lines.count() + m_cell_lines.count();
}

std::string RecordEncoder::next_line() {
  std::string line;
  if (!m_fetch_lines.next(line)) m_cell_lines.next(line);
  return line;
}

void RecordEncoder::clear() {
  std::vector<std::uint32_t>().swap(m_index);
  m_fetch_starts.clear();
  m_fetch_lines.clear();
  m_cell_lines.clear();
}

std::vector<std::string> RecordEncoder::finish() {
  std::vector<std::uint32_t>().swap(m_index);  // nothing is added any more
  std::vector<std::string> lines;
  const std::size_t count = line_count();
  lines.reserve(count);
  while (lines.size() < count) lines.push_back(next_line());
  clear();
  return lines;
}

bool RecordEncoder::write(host::Workbook& book) {
  // Nothing is added while the lines are written: the index of the fetch
  // lines goes first.
  std::vector<std::uint32_t>().swap(m_index);
  const bool written = write_record_lines(book, line_count(), [this] { return next_line(); });
  clear();
  return written;
}

std::vector<std::string> encode_records(const std::vector<ProvenanceRecord>& records) {
  RecordEncoder encoder;
  for (const ProvenanceRecord& r : records) encoder.add(r);
  return encoder.finish();
}

std::vector<ProvenanceRecord> decode_records(const std::vector<std::string>& lines) {
  std::map<std::string, FetchInfo> fetches;
  std::vector<ProvenanceRecord> out;
  for (const std::string& line : lines) {
    std::vector<std::string> f = split_tabs(line);
    if (f[0] == "F" && f.size() >= 10) {
      FetchInfo info;
      info.source = f[2];
      info.category = f[3];
      info.address = f[4];
      info.answered_ms = parse_iso(f[5]).value_or(0);
      info.http_status = to_int(f[6]);
      info.attempts = to_int(f[7]);
      info.failure = f[8];
      info.failed_ms = parse_iso(f[9]).value_or(0);
      fetches[f[1]] = std::move(info);
    } else if (f[0] == "C" && f.size() >= 8 && f[4].size() == 1) {
      f.resize(11);
      ProvenanceRecord r;
      r.sheet = f[1];
      const auto cell = parse_cells(f[2]);
      if (!cell || cell->rows != 1 || cell->cols != 1) continue;
      r.row = cell->top;
      r.col = cell->left;
      if (!f[3].empty()) {
        const auto block = parse_cells(f[3]);
        if (!block) continue;
        r.block = *block;
      }
      const char k = f[4][0];
      if (k != 'S' && k != 'L' && k != 'T' && k != 'I') continue;
      r.kind = static_cast<FilledKind>(k);
      if (const auto it = fetches.find(f[5]); it != fetches.end()) r.fetch = it->second;
      r.instrument = f[6];
      r.field = f[7];
      r.computed_ms = parse_iso(f[8]).value_or(0);
      r.inputs = f[9];
      r.formula = f[10];
      out.push_back(std::move(r));
    }
  }
  return out;
}

namespace {

struct Sheet {
  host::WorksheetPtr sheet;
  bool ours = false;
  std::int64_t used_rows = 0;
  std::vector<std::string> lines;  // column A after the signature
};

// The record sheet and, with lines, its lines. A write needs only whether
// the sheet is quillo's and how far it is used: it reads the first cell and
// the used range's size, not every line (which would be a second copy of
// the records beside the ones being written).
Sheet read_sheet(const host::Workbook& book, bool lines = true) {
  Sheet s;
  const auto sheet = book.worksheet(kProvenanceSheet);
  if (!sheet.ok()) return s;
  s.sheet = *sheet;
  const auto used = s.sheet->used_range();
  if (!used.ok()) return s;
  if (!lines) {
    const auto first = (*used)->row();
    const auto first_col = (*used)->column();
    const auto rows = (*used)->row_count();
    const auto cols = (*used)->column_count();
    const auto top_left = (*used)->cell(1, 1);
    if (!first.ok() || !first_col.ok() || !rows.ok() || !cols.ok() || !top_left.ok()) return s;
    const auto head = (*top_left)->value();
    s.used_rows = *first + *rows - 1;
    if (s.used_rows == 1 && *cols == 1 && (!head.ok() || head->is_empty())) s.used_rows = 0;
    if (*first != 1 || *first_col != 1) return s;
    s.ours = head.ok() && head->is_text() && head->text() == kProvenanceSignature;
    return s;
  }
  const auto values = (*used)->value();
  const auto first = (*used)->row();
  const auto first_col = (*used)->column();
  if (!values.ok() || !first.ok() || !first_col.ok()) return s;
  Array cells;
  if (values->is_array()) {
    cells = values->array();
  } else {
    cells.rows = cells.cols = 1;
    cells.items.push_back(*values);
  }
  s.used_rows = *first + cells.rows - 1;
  if (s.used_rows == 1 && cells.cols == 1 && cells.at(0, 0).is_empty()) s.used_rows = 0;
  if (*first != 1 || *first_col != 1) return s;
  const Value head = cells.at(0, 0);
  s.ours = head.is_text() && head.text() == kProvenanceSignature;
  if (!s.ours) return s;
  for (std::int32_t r = 1; r < cells.rows; ++r) {
    const Value v = cells.at(r, 0);
    if (v.is_text()) s.lines.push_back(v.text());
  }
  return s;
}

}  // namespace

std::vector<ProvenanceRecord> read_provenance(const host::Workbook& book) {
  return decode_records(read_sheet(book).lines);
}

bool write_provenance(host::Workbook& book, const std::vector<ProvenanceRecord>& records) {
  return write_record_lines(book, encode_records(records));
}

bool write_record_lines(host::Workbook& book, std::vector<std::string> lines) {
  std::size_t i = 0;
  return write_record_lines(book, lines.size(), [&] { return std::move(lines[i++]); });
}

bool write_record_lines(host::Workbook& book, std::size_t count,
                        const std::function<std::string()>& next_line) {
  Sheet s = read_sheet(book, false);
  if (s.sheet && !s.ours && s.used_rows > 0) return false;  // a user's sheet of that name
  if (!s.sheet) {
    if (count == 0) return true;
    // Adding a sheet makes it the active one; the sheet that was active is
    // activated again.
    const auto active = book.active_sheet();
    const auto added = book.add_worksheet(kProvenanceSheet);
    if (!added.ok()) return false;
    s.sheet = *added;
    if (active.ok()) (void)(*active)->activate();
  }
  // Other programs may have turned it into a merely hidden sheet.
  if (const auto v = s.sheet->visible(); !v.ok() || *v != host::Visibility::VeryHidden) {
    (void)s.sheet->set_visible(host::Visibility::VeryHidden);
  }
  const auto rows = static_cast<std::int64_t>(count + 1);
  if (s.used_rows > rows) {
    const auto rest =
        s.sheet->range("A" + std::to_string(rows + 1) + ":A" + std::to_string(s.used_rows));
    if (rest.ok()) (void)(*rest)->clear_contents();
  }
  // Written a block of lines at a time, each line's text moved into the
  // block: the lines are never held twice over, as values and as texts.
  constexpr std::size_t kBlock = 4096;
  std::size_t next = 0;
  for (std::int64_t row = 1; row <= rows;) {
    Array column;
    column.cols = 1;
    column.items.reserve(std::min<std::size_t>(kBlock, count - next + 1));
    if (row == 1) column.items.emplace_back(std::string(kProvenanceSignature));
    while (column.items.size() < kBlock && next < count) {
      column.items.emplace_back(next_line());
      ++next;
    }
    column.rows = static_cast<std::int32_t>(column.items.size());
    const auto at = s.sheet->cell(static_cast<std::int32_t>(row), 1);
    if (!at.ok() || !(*at)->set_value(Value(std::move(column))).ok()) return false;
    row = static_cast<std::int64_t>(next) + 2;
  }
  return true;
}

ProvenanceLog::ProvenanceLog(host::Application& app, const RequestRegistry& registry,
                             const Definitions& definitions)
    : m_app(app), m_registry(registry), m_definitions(definitions) {}

std::int64_t ProvenanceLog::now() const {
  if (m_now) return m_now();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

namespace {

// Whether the argument reads as this text (argument_text), without making a
// copy of a text argument: a cell is noted at each of its evaluations.
bool argument_is(const Value& v, const std::string& text) {
  if (v.is_text()) return v.text() == text;
  return argument_text(v) == text;
}

}  // namespace

namespace {

// Whether two texts are the same, compared in line (a note is checked at
// every call of a worksheet function).
bool same_text(std::string_view a, std::string_view b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

}  // namespace

std::uint32_t ProvenanceLog::Texts::id(std::string_view text) {
  // Cells next to each other mostly ask the same instrument or field.
  if (const std::uint32_t* recent = m_recent.find(text)) return *recent;
  if (const auto it = m_ids.find(text); it != m_ids.end()) {
    m_recent.keep(m_texts[it->second], &it->second);
    return it->second;
  }
  const auto id = static_cast<std::uint32_t>(m_texts.size());
  m_texts.emplace_back(text);
  try {
    m_views.emplace_back(m_texts.back());
  } catch (...) {
    m_texts.pop_back();
    throw;
  }
  const auto added = m_ids.emplace(m_texts.back(), id).first;
  m_recent.keep(m_texts.back(), &added->second);
  return id;
}

std::pair<ProvenanceLog::Notes::Entry*, bool> ProvenanceLog::Notes::try_emplace(
    const CellId& cell) {
  if ((m_count + 1) * 5 > m_slots.size() * 4) grow();
  const std::size_t mask = m_slots.size() - 1;
  for (std::size_t i = CellIdHash{}(cell)&mask;; i = (i + 1) & mask) {
    Entry& e = m_slots[i];
    if (is_free(e)) {
      e = Entry{cell, Note{}};
      ++m_count;
      return {&e, true};
    }
    if (e.first == cell) return {&e, false};
  }
}

void ProvenanceLog::Notes::erase(const CellId& cell) {
  if (m_slots.empty()) return;
  const std::size_t mask = m_slots.size() - 1;
  std::size_t i = CellIdHash{}(cell)&mask;
  while (m_slots[i].first != cell || is_free(m_slots[i])) {
    if (is_free(m_slots[i])) return;
    i = (i + 1) & mask;
  }
  open_addressing::erase_at(m_slots, i, free_slot(), is_free, home);
  --m_count;
}

void ProvenanceLog::Notes::grow() {
  open_addressing::rehash(m_slots, std::max<std::size_t>(16, m_slots.size() * 2), free_slot(),
                          is_free, home);
}

void ProvenanceLog::note_single(const CellId& key, std::string_view instrument,
                                std::string_view field) {
  // The cell's note, looked up once: a blank one when the cell is new.
  const auto [it, added] = m_notes.try_emplace(key);
  Note& note = it->second;
  // A single item evaluated again asking the same is known already.
  if (!added && note.kind == FilledKind::Single &&
      same_text(m_texts.view(note.instrument), instrument) &&
      same_text(m_texts.view(note.field), field)) {
    return;
  }
  try {
    note = Note{m_texts.id(instrument), m_texts.id(field), FilledKind::Single};
  } catch (...) {
    if (added) m_notes.erase(key);
    throw;
  }
  if (!m_derived.empty()) m_derived.erase(key);
  m_dirty = true;
  m_changed = true;
}

CellId ProvenanceLog::key_of_registered(const CellId& registered) {
  RegistryPlace& p = m_registry_place;
  if (!p.known || p.theirs != registered.place || p.changed != m_registry.places_changed()) {
    const PlaceTable& theirs = m_registry.places();
    p = RegistryPlace{
        registered.place,
        m_places.intern(theirs.book(registered.place), theirs.sheet(registered.place)),
        m_registry.places_changed(), true};
  }
  return CellId{p.ours, registered.row, registered.col};
}

void ProvenanceLog::note_call(std::string_view method, host::AddInArgs args) {
  if (args.empty()) return;
  const host::Range* caller = host::as_range(args.back());
  if (!caller) return;
  // The cell's place gives the note's key: taken from the registry when
  // the call registered the cell (every single item's call does), else
  // asked once.
  CellId key;
  if (const CellId* registered = m_registry.registered_as(caller)) {
    key = key_of_registered(*registered);
  } else {
    host::CellPlace scratch;
    const std::optional<host::CellPlaceRef> at = caller->place_ref(scratch);
    if (!at) return;
    key = CellId{m_places.intern(at->book, at->sheet), at->row, at->col};
  }
  const bool single = same_text(method, "i_fsingle");
  // A single item's text arguments (as written in the formula) are looked
  // up in place, uncopied.
  if (single && args.size() >= 2 && args[0].is_text() && args[1].is_text()) {
    note_single(key, args[0].text(), args[1].text());
    return;
  }
  // The cell's note, looked up once: a blank one when the cell is new, which
  // is filled in below (and taken out again should that fail).
  const auto [it, added] = m_notes.try_emplace(key);
  Note& old = it->second;
  // A single item evaluated again asking the same is known already.
  if (!added && single && args.size() >= 2 && old.kind == FilledKind::Single &&
      argument_is(args[0], m_texts[old.instrument]) && argument_is(args[1], m_texts[old.field])) {
    return;
  }
  FilledKind kind = FilledKind::Single;
  Derived derived;
  Note n;
  try {
    std::string instrument;
    std::string field;
    if (single) {
      if (args.size() >= 2) {
        instrument = argument_text(args[0]);
        field = argument_text(args[1]);
      }
    } else if (method == "i_wlink") {
      kind = FilledKind::Link;
      instrument = argument_text(args[0]);
    } else if (method == "i_history_data") {
      kind = FilledKind::Table;
      if (args.size() >= 6) {
        instrument = argument_text(args[0]);
        field = argument_text(args[2]) + ", period " + argument_text(args[5]) + ", from " +
                date_text(args[3]) + " to " + date_text(args[4]);
      }
    } else {
      kind = FilledKind::Series;
      for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        const host::Range* input = host::as_range(args[i]);
        if (!input) continue;
        if (const auto a = input->address(true); a.ok()) {
          if (!derived.inputs.empty()) derived.inputs += ",";
          derived.inputs += *a;
        }
      }
      derived.formula = caller->formula().value_or("");
    }
    n = Note{m_texts.id(instrument), m_texts.id(field), kind};
  } catch (...) {
    if (added) m_notes.erase(key);
    throw;
  }
  if (!added) {
    // A series is noted at every call (it is computed anew); the others
    // only when they ask something else.
    if (old.kind == n.kind && old.instrument == n.instrument && old.field == n.field &&
        n.kind != FilledKind::Series) {
      return;
    }
  }
  old = n;
  if (kind == FilledKind::Series) {
    derived.noted_ms = now();
    m_derived[key] = std::move(derived);
  } else if (!m_derived.empty()) {
    m_derived.erase(key);
  }
  m_dirty = true;
  m_changed = true;
}

void ProvenanceLog::note_answer(std::int32_t reqno, const datarequest& request,
                                std::int16_t http_status, std::int32_t attempts,
                                std::string failure) {
  if (reqno < 1) return;
  const auto at = static_cast<std::size_t>(reqno - 1);
  if (m_fetched.size() <= at) m_fetched.resize(at + 1);
  Fetched& f = m_fetched[at];
  if (!f.noted) {
    // A page fetched before under another number (the table was reset, or
    // its request forgotten) goes on from what was noted then.
    if (const auto e = m_earlier.empty() ? m_earlier.end() : m_earlier.find(request.url.str());
        e != m_earlier.end()) {
      f.answered_ms = e->second.answered_ms;
      f.failed_ms = e->second.failed_ms;
      f.failure = e->second.failure.empty() ? 0 : 1 + m_texts.id(e->second.failure);
      m_earlier.erase(e);
    }
    f.noted = true;
  }
  std::set<std::string> secret;
  if (request.reqtype == RequestType::SingleItem) {
    if (const DataSource* source = m_definitions.datasource_find(request.source)) {
      if (const Category* category = category_find(*source, request.category)) {
        for (const Parameter& p : category->parameters) {
          if (p.secret && !p.urlkey.empty()) secret.insert(text::upper(p.urlkey));
        }
      }
    }
  }
  f.address_from = request.reqtype == RequestType::WebLink && request.url.size() > 8 ? 8 : 0;
  const std::string_view address = std::string_view(request.url).substr(f.address_from);
  std::string stripped = strip_secrets(address, secret);
  if (stripped != address) {
    m_addresses[reqno] = std::move(stripped);
  } else if (!m_addresses.empty()) {
    m_addresses.erase(reqno);
  }
  f.http_status = http_status > 0 ? http_status : 0;
  f.attempts = attempts;
  if (failure.empty()) {
    f.answered_ms = now();
    f.failure = 0;
    f.failed_ms = 0;
  } else {
    f.failure = 1 + m_texts.id(failure);
    f.failed_ms = now();
  }
  m_dirty = true;
  m_changed = true;
}

FetchInfo ProvenanceLog::fetch_info(std::int32_t reqno, const Fetched& f) const {
  const datarequest& request = m_registry.requests().at(reqno);
  FetchInfo info;
  info.source = request.source;
  info.category = request.category;
  if (const auto a = m_addresses.find(reqno); a != m_addresses.end()) {
    info.address = a->second;
  } else {
    info.address = std::string_view(request.url)
                       .substr(std::min<std::size_t>(f.address_from, request.url.size()));
  }
  info.answered_ms = f.answered_ms;
  info.http_status = f.http_status;
  info.attempts = f.attempts;
  if (f.failure > 0) info.failure = m_texts[f.failure - 1];
  info.failed_ms = f.failed_ms;
  return info;
}

void ProvenanceLog::requests_leaving(const std::vector<std::int32_t>& numbers) {
  for (const std::int32_t n : numbers) {
    if (n < 1 || static_cast<std::size_t>(n) > m_fetched.size()) continue;
    Fetched& f = m_fetched[static_cast<std::size_t>(n - 1)];
    if (!f.noted) continue;
    if (m_registry.requests().contains(n)) {
      m_earlier[m_registry.requests().at(n).url.str()] = fetch_info(n, f);
    }
    f = Fetched{};
    if (!m_addresses.empty()) m_addresses.erase(n);
  }
}

void ProvenanceLog::requests_leaving_all() {
  std::vector<std::int32_t> numbers;
  for (std::size_t i = 0; i < m_fetched.size(); ++i) {
    if (m_fetched[i].noted) numbers.push_back(static_cast<std::int32_t>(i + 1));
  }
  requests_leaving(numbers);
  m_fetched.clear();
  m_addresses.clear();
}

std::optional<FetchInfo> ProvenanceLog::fetch_of(const CellId& cell, const CellRequests& requests,
                                                 const ProvenanceRecord* from_file) const {
  const std::optional<FetchInfo> filed =
      from_file && from_file->fetch ? from_file->fetch : std::nullopt;
  const std::int32_t reqno =
      requests.find(m_places.book(cell.place), m_places.sheet(cell.place), cell.row, cell.col);
  if (reqno == 0 || !m_registry.requests().contains(reqno)) return filed;
  FetchInfo info;
  const auto at = static_cast<std::size_t>(reqno - 1);
  if (at < m_fetched.size() && m_fetched[at].noted) {
    info = fetch_info(reqno, m_fetched[at]);
  } else if (const auto e = m_earlier.find(m_registry.requests().at(reqno).url.str());
             e != m_earlier.end()) {
    info = e->second;
  } else {
    return filed;  // not answered yet in this session
  }
  // Failed in this session: the value shown (the file's) is as old as the
  // file's answer.
  if (info.answered_ms == 0 && filed) {
    info.answered_ms = filed->answered_ms;
    if (info.address.empty()) info.address = filed->address;
  }
  return info;
}

const std::vector<ProvenanceRecord>& ProvenanceLog::file_records(host::Workbook& book) {
  const std::string name = book.name().value_or("");
  auto it = m_file.find(name);
  if (it == m_file.end()) it = m_file.emplace(name, read_provenance(book)).first;
  return it->second;
}

void ProvenanceLog::for_each_record(host::Workbook& book,
                                    const std::function<void(const ProvenanceRecord&)>& fn) {
  const std::string name = book.name().value_or("");
  const std::vector<ProvenanceRecord>& filed = file_records(book);
  std::map<Place, const ProvenanceRecord*> by_place;
  for (const ProvenanceRecord& r : filed) by_place[Place{r.sheet, r.row, r.col}] = &r;
  const auto requests = m_registry.cell_requests();

  // The cells to write, in the order of their places: this session's notes
  // and the file's records for the other cells that still hold formulas. A
  // record is made, handed on and dropped one at a time, so a workbook of
  // many filled cells is never held as records all at once.
  struct Entry {
    const std::string* sheet = nullptr;
    std::int32_t row = 0;
    std::int32_t col = 0;
    const Notes::Entry* note = nullptr;
    const ProvenanceRecord* filed = nullptr;
    bool operator<(const Entry& o) const {
      if (*sheet != *o.sheet) return *sheet < *o.sheet;
      return row != o.row ? row < o.row : col < o.col;
    }
    bool same_place(const Entry& o) const {
      return row == o.row && col == o.col && *sheet == *o.sheet;
    }
  };
  std::vector<Entry> entries;
  entries.reserve(m_notes.size());
  m_notes.for_each([&](const Notes::Entry& note) {
    const CellId& cell = note.first;
    const std::string& sheet = m_places.sheet(cell.place);
    if (m_places.book(cell.place) != name || !holds_formula(book, sheet, cell.row, cell.col)) {
      return;
    }
    entries.push_back(Entry{&sheet, cell.row, cell.col, &note, nullptr});
  });
  // Of two notes of one place the later one speaks for it.
  std::stable_sort(entries.begin(), entries.end());
  std::vector<Entry>& unique = entries;  // made in place
  std::size_t kept = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (kept > 0 && entries[kept - 1].same_place(entries[i])) {
      entries[kept - 1] = entries[i];
    } else {
      entries[kept++] = entries[i];
    }
  }
  entries.resize(kept);
  const std::size_t noted = unique.size();
  for (const ProvenanceRecord& r : filed) {
    const Entry e{&r.sheet, static_cast<std::int32_t>(r.row), static_cast<std::int32_t>(r.col),
                  nullptr, &r};
    const auto at =
        std::lower_bound(unique.begin(), unique.begin() + static_cast<std::ptrdiff_t>(noted), e);
    const bool taken =
        at != unique.begin() + static_cast<std::ptrdiff_t>(noted) && at->same_place(e);
    if (!taken && holds_formula(book, r.sheet, r.row, r.col)) unique.push_back(e);
  }
  // A file's record repeated for one place: the first is kept.
  std::stable_sort(unique.begin(), unique.end());
  unique.erase(std::unique(unique.begin(), unique.end(),
                           [](const Entry& a, const Entry& b) { return a.same_place(b); }),
               unique.end());

  for (const Entry& e : unique) {
    if (e.filed) {
      fn(*e.filed);
      continue;
    }
    const CellId& cell = e.note->first;
    const Note& n = e.note->second;
    const std::string& instrument = m_texts[n.instrument];
    const std::string& field = m_texts[n.field];
    const auto old = by_place.find(Place{*e.sheet, cell.row, cell.col});
    // The file's record speaks for the cell only while it asks the same.
    const ProvenanceRecord* from_file = old != by_place.end() && old->second->kind == n.kind &&
                                                old->second->instrument == instrument &&
                                                old->second->field == field
                                            ? old->second
                                            : nullptr;
    ProvenanceRecord r;
    r.sheet = *e.sheet;
    r.row = cell.row;
    r.col = cell.col;
    r.kind = n.kind;
    r.instrument = instrument;
    r.field = field;
    if (n.kind == FilledKind::Series) {
      if (const auto d = m_derived.find(cell); d != m_derived.end()) {
        r.computed_ms = d->second.noted_ms;
        r.inputs = d->second.inputs;
        r.formula = d->second.formula;
      }
    } else {
      r.fetch = fetch_of(cell, requests, from_file);
    }
    if (n.kind == FilledKind::Table || n.kind == FilledKind::Series) {
      const auto block = host::recorded_block(
          book, *e.sheet, cell.row, cell.col,
          n.kind == FilledKind::Table ? host::BlockShape::Table : host::BlockShape::Series);
      if (block) r.block = *block;
    }
    fn(r);
  }
}

std::vector<ProvenanceRecord> ProvenanceLog::records(host::Workbook& book) {
  std::vector<ProvenanceRecord> list;
  for_each_record(book, [&](const ProvenanceRecord& r) { list.push_back(r); });
  return list;
}

bool ProvenanceLog::write(host::Workbook& book) {
  RecordEncoder encoder;
  for_each_record(book, [&](const ProvenanceRecord& r) { encoder.add(r); });
  return encoder.write(book);
}

void ProvenanceLog::write_all() {
  if (!m_dirty) return;
  // Each write rewrites a workbook's whole record, so while answers keep
  // coming (a large workbook loading) the record is written once a minute,
  // and at once when a second passes without one; and after a write that
  // took long, not before twenty times its time has passed. A record
  // rewritten every second would cost a workbook loading for n seconds
  // n times its size.
  const bool busy = m_changed;
  m_changed = false;
  const std::int64_t start = now();
  if (start >= m_last_write_ms) {  // else the clock was set back
    if (start < m_next_write_ms) return;
    if (busy && m_last_write_ms > 0 && start - m_last_write_ms < kBusyWriteSpacingMs) return;
  }
  m_dirty = false;
  std::set<std::string> books;
  m_notes.for_each(
      [&](const Notes::Entry& note) { books.insert(m_places.book(note.first.place)); });
  for (const std::string& name : books) {
    const auto book = m_app.workbooks().item(name);
    if (book.ok()) (void)write(**book);
  }
  const std::int64_t end = now();
  m_last_write_ms = start;
  m_next_write_ms = end + 20 * std::max<std::int64_t>(0, end - start);
}

}  // namespace quillo
