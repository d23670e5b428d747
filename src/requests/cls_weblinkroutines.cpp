#include "requests/cls_weblinkroutines.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/text.h"
#include "host/range.h"
#include "parse/clsparse.h"

namespace quillo {

namespace {

// A store sheet is read this many rows at a time, so a hand-edited sheet
// with something far down another column costs only the rows of the list.
constexpr std::int32_t kRowsPerRead = 256;
constexpr std::int32_t kLinkColumns = 7;

// The page from its body's start tag on. The tag may carry attributes
// ("<body class=...>"), which differ between copies of a page; without the
// cut, tags of the head could match the references before the body does.
std::string_view body_part(std::string_view page) {
  std::size_t from = 1;
  while (const std::size_t p = text::find_ci(page, "<BODY", from)) {
    const std::size_t after = p - 1 + 5;
    if (after >= page.size()) break;
    const char c = page[after];
    if (c == '>' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '/') {
      return page.substr(p - 1);
    }
    from = p + 1;
  }
  return page;
}

}  // namespace

std::int32_t LinkTable::add(weblink link) {
  m_links.push_back(std::move(link));
  const auto num = static_cast<std::int32_t>(m_links.size());
  m_first_by_name.try_emplace(m_links.back().name, num);
  return num;
}

std::int32_t LinkTable::find(std::string_view key) const {
  const auto it = m_first_by_name.find(std::string(key));
  return it == m_first_by_name.end() ? 0 : it->second;
}

Result<std::vector<LinkRow>> link_rows(const host::Worksheet& sheet) {
  std::vector<LinkRow> rows;
  for (std::int32_t first = 1;; first += kRowsPerRead) {
    const std::int32_t last = first + kRowsPerRead - 1;
    auto block = sheet.range("A" + std::to_string(first) + ":G" + std::to_string(last));
    if (!block.ok()) {
      // The last rows of the sheet: a block that would pass its end.
      if (first > 1) return rows;
      return block.status();
    }
    auto values = (*block)->value();
    if (!values.ok()) return values.status();
    if (!values->is_array()) return Status::failed("the link store could not be read");
    const Array& a = values->array();
    for (std::int32_t r = 0; r < a.rows; ++r) {
      std::array<std::string, kLinkColumns> cells;
      for (std::int32_t c = 0; c < kLinkColumns && c < a.cols; ++c) cells[c] = a.at(r, c).to_text();
      if (cells[0].empty()) return rows;
      rows.push_back(
          {cells[0], cells[1], cells[2], cells[3], cells[4], LinkSeparators{cells[5], cells[6]}});
    }
  }
}

std::size_t last_row_named(const std::vector<LinkRow>& rows, std::string_view name) {
  for (std::size_t i = rows.size(); i > 0; --i) {
    if (rows[i - 1].name == name) return i;
  }
  return 0;
}

void link_from_row(weblink& link, const LinkRow& row) {
  link.url = row.url;
  link.references = row.references;
  link.startmarker = row.startmarker;
  link.endmarker = row.endmarker;
  link.separators = row.separators;
}

std::string cls_weblinkroutines::generate_name() const {
  constexpr std::string_view prefix = kLinkRequestPrefix;
  for (std::int32_t i = m_links.upper_bound(); i >= 1; --i) {
    const std::string& name = m_links.at(i).name;
    const std::size_t p = text::find_ci(name, prefix);
    if (p == 0) continue;
    std::int64_t n = 0;
    for (const char c : text::mid(name, p + prefix.size(), 10)) {
      if (c < '0' || c > '9') break;
      n = n * 10 + (c - '0');
    }
    return std::string(prefix) + std::to_string(n + 1);
  }
  return std::string(prefix) + "1";
}

std::int32_t cls_weblinkroutines::link_create(std::string key) {
  weblink link;
  link.name = std::move(key);
  return m_links.add(std::move(link));
}

Value cls_weblinkroutines::getvalue(std::int32_t num) const {
  if (!m_links.contains(num)) return Value();
  const weblink& link = m_links.at(num);
  const Value& v = link.value;
  if (v.is_text()) {
    if (const auto n = link_number(v.text(), link.separators)) return Value(*n);
  }
  return v;
}

namespace {

constexpr std::string_view kTableSectionTags[] = {"<TBODY>",  "</TBODY>", "<THEAD>",
                                                  "</THEAD>", "</TFOOT>", "<TFOOT>"};

// Removes each tag from s in place, left to right as text::replace_all
// does. When mark is given, it moves back by the tags removed in front of
// it; true when a tag removed starts at it.
bool remove_tags(std::string& s, std::string_view tag, std::size_t* mark) {
  std::size_t p = s.find(tag);
  if (p == std::string::npos) return false;
  bool at_mark = false;
  std::size_t in_front = 0;
  std::size_t write = p;
  std::size_t read = p;
  while (p != std::string::npos) {
    if (p > read) std::memmove(s.data() + write, s.data() + read, p - read);
    write += p - read;
    if (mark && p < *mark) in_front += tag.size();
    if (mark && p == *mark) at_mark = true;
    read = p + tag.size();
    p = s.find(tag, read);
  }
  if (read < s.size()) std::memmove(s.data() + write, s.data() + read, s.size() - read);
  s.resize(write + (s.size() - read));
  if (mark) *mark -= in_front;
  return at_mark;
}

}  // namespace

void prepare_link_text(std::string& html, std::size_t* mark) {
  for (char& c : html) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  // While the mark is at a "<", no tag removed reaches over it (a tag has
  // its "<" only in front), so what lies in front of it is prepared as that
  // text alone would be. Once a tag starting at it is removed, or when it is
  // not at a "<", the text in front of it is prepared apart.
  std::string front;
  bool apart = false;
  if (mark && (*mark >= html.size() || html[*mark] != '<')) {
    front = html.substr(0, std::min(*mark, html.size()));
    apart = true;
  }
  for (const std::string_view tag : kTableSectionTags) {
    if (apart) remove_tags(front, tag, nullptr);
    if (remove_tags(html, tag, apart ? nullptr : mark)) {
      front = html.substr(0, *mark);
      apart = true;
    }
  }
  if (mark && apart) *mark = front.size();
}

std::string link_page(std::string page) {
  const std::string_view body = body_part(page);
  page.erase(0, static_cast<std::size_t>(body.data() - page.data()));
  prepare_link_text(page);
  return page;
}

std::string link_value(std::string_view prepared, std::string_view references,
                       std::string_view startmarker, std::string_view endmarker) {
  // The value as a reader sees it: character references decoded (in any
  // letter case, the page being upper-cased), line breaks, tabs and
  // non-breaking spaces removed.
  return decode_link_text(
      clsparse().convert3(prepared, references, startmarker, endmarker).to_text());
}

void cls_weblinkroutines::wlinkparse(std::string_view page, std::int32_t reqno) {
  const std::string cut = link_page(std::string(page));
  // After a reset a number may name another page's request; a link still
  // holding the old number must not take that page's values.
  std::string request_url;
  if (m_registry.requests().contains(reqno))
    request_url = m_registry.requests().at(reqno).url.str();
  for (std::int32_t i = 1; i <= m_links.upper_bound(); ++i) {
    weblink& link = m_links.at(i);
    if (link.reqno != reqno) continue;
    if (!request_url.empty() && request_url != std::string(kLinkRequestPrefix) + link.url) continue;
    std::string value = link_value(cut, link.references, link.startmarker, link.endmarker);
    // With "keep the last figure" a page that lost the value keeps the
    // one the link had.
    const bool had_value = link.value.is_text() && link.value.text() != kNotFound;
    if (value == kNotFound && had_value && m_policy.parseerrorhandling == 2) continue;
    link.value = Value(std::move(value));
  }
}

std::int32_t cls_weblinkroutines::link_load(const host::Workbook& book, const std::string& name,
                                            const std::string& key) {
  const auto sheet = book.worksheet(kLinkSheet);
  if (!sheet.ok()) return 0;
  const auto rows = link_rows(**sheet);
  if (!rows.ok()) return 0;
  const std::size_t row = last_row_named(*rows, name);
  // A row without a page address names nothing that could be fetched.
  if (row == 0 || (*rows)[row - 1].url.empty()) return 0;
  const LinkRow& found = (*rows)[row - 1];
  const std::int32_t num = link_create(key);
  link_from_row(m_links.at(num), found);
  return num;
}

Value cls_weblinkroutines::wlink(const Value& name_value, const Value& fcaller) {
  // A name written as a cell reference is read through its one cell;
  // several names where one is taken show #VALUE!, an error value that
  // error.
  const std::optional<Value> one = host::single_value(name_value);
  if (!one) return Value(ErrorCode::Value);
  if (one->is_error()) return *one;
  const std::string name = one->to_text();
  if (name.empty()) return Value(std::string());
  const host::Range* caller = host::as_range(fcaller);
  if (!caller) return Value(ErrorCode::Value);  // no calling cell
  const Value not_found(status_message(StatusText::LinkNotFound));
  const auto sheet = caller->worksheet();
  if (!sheet.ok()) return not_found;
  const auto book = (*sheet)->workbook();
  if (!book.ok()) return not_found;
  const auto book_name = (*book)->name();
  if (!book_name.ok()) return not_found;

  const std::string key = *book_name + "_" + name;
  std::int32_t num = getlinknum(key);
  const bool just_loaded = num == 0;
  if (just_loaded) {
    num = link_load(**book, name, key);
    if (num == 0) return not_found;
  }
  const std::string url = std::string(kLinkRequestPrefix) + m_links.at(num).url;
  const std::int32_t r =
      m_dispatch.request_add(url, RequestType::WebLink, "wlink", "", 1, "", false);
  m_links.at(num).reqno = r;
  // Registered even while answers are being shown: a cell evaluated then
  // may read another call's new value and so ask for a request of its own.
  if (!m_registry.request_register_cell(r, fcaller)) {
    return Value(ErrorCode::Value);
  }
  const Value loading(status_message(StatusText::Loading));
  RequestStatus status = m_registry.requests().at(r).status;
  if (status == RequestStatus::NotSent || just_loaded) {
    m_dispatch.request_send(r);
    status = m_registry.requests().at(r).status;
    if (status != RequestStatus::ConnectionError) return loading;
  } else if (status == RequestStatus::Loaded || status == RequestStatus::Sent) {
    // A second cell of a link whose first answer is still out.
    if (status == RequestStatus::Sent && m_links.at(num).value.is_empty()) return loading;
    return getvalue(num);
  }
  // A failure: a front end that keeps what the cell showed may answer that.
  return m_registry.waiting_value(m_registry.requests().at(r), fcaller);
}

}  // namespace quillo
