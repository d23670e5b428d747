#include "requests/weblink_wizard.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <unordered_map>
#include <vector>

#include "common/text.h"
#include "parse/clsparse.h"
#include "parse/link_text.h"

namespace quillo {

namespace {

constexpr std::size_t npos = std::string_view::npos;

constexpr std::string_view kNothingSelected = "Nothing has been selected on the web page";
constexpr std::string_view kNameExists =
    "The name of the link already exists, please choose another name!";
constexpr std::string_view kNoReferences = "Could not find references to parse ";
// A double quote would end the name inside the formula's text, and control
// characters cannot be typed into a formula at all.
constexpr std::string_view kBadName =
    "The name of the link must not contain double quotes or control characters, please choose "
    "another name!";
constexpr std::string_view kLongName =
    "The name of the link is longer than 255 characters, please choose a shorter name!";
constexpr std::string_view kNoWorkbook = "There is no active workbook to store the link in.";
constexpr std::string_view kNoSheet = "The sheet \"weblinks_data\" could not be made ready.";
constexpr std::string_view kNoLocation = "There is no page address to link to.";
constexpr std::string_view kNoCell = "There is no active cell to write the link's formula into.";
constexpr std::string_view kNoFormula =
    "The link was stored, but its formula could not be written into the active cell.";

// convert3's cut, answered from the positions of each tag name in the page
// rather than by searching the page again for every candidate chain. The
// page is upper-cased and the names come from it, so an exact search finds
// what convert3's letter-case-blind search finds. A chain of k names costs
// k binary searches, which keeps the search for long chains on big pages
// fast; the chain that passes is still confirmed by convert3 itself.
class ChainCutter {
 public:
  explicit ChainCutter(std::string_view page) : m_page(page) {}

  // Puts a tag name in front of the chain.
  void add_front(const std::string& name) { m_chain.push_back({name.size(), &offsets(name)}); }

  // The text convert3(page, the chain's names joined, start, end) answers,
  // as a view into the page (so its place can be checked), or nullopt where
  // convert3 answers the not-found text.
  std::optional<std::string_view> cut(const std::string& start, const std::string& end) {
    std::size_t pos = 0;
    for (auto it = m_chain.rbegin(); it != m_chain.rend(); ++it) {
      const auto at = next(*it->offsets, pos);
      if (!at) return std::nullopt;
      pos = *at + it->size;
    }
    const auto s = next(start, pos);
    if (!s) return std::nullopt;
    const std::size_t from = *s + start.size();
    const auto e = next(end, from);
    if (!e) return std::nullopt;
    std::string_view result = m_page.substr(from, *e - from);
    const std::size_t gt = result.find('>');
    if (gt != npos) result = result.substr(gt + 1);
    return result;
  }

 private:
  struct Link {
    std::size_t size;
    const std::vector<std::size_t>* offsets;  // owned by m_offsets, whose nodes stay put
  };
  // The first offset at or after from where needle starts.
  std::optional<std::size_t> next(const std::string& needle, std::size_t from) {
    if (from > m_page.size()) return std::nullopt;
    if (needle.empty()) return from;
    return next(offsets(needle), from);
  }
  std::optional<std::size_t> next(const std::vector<std::size_t>& at, std::size_t from) const {
    if (from > m_page.size()) return std::nullopt;
    const auto it = std::lower_bound(at.begin(), at.end(), from);
    if (it == at.end()) return std::nullopt;
    return *it;
  }
  const std::vector<std::size_t>& offsets(const std::string& needle) {
    auto [it, fresh] = m_offsets.try_emplace(needle);
    if (fresh && !needle.empty()) {
      // As convert3 reads them: a tag name only where it is a whole name.
      const bool tag = is_tag_marker(needle);
      for (std::size_t p = m_page.find(needle); p != npos; p = m_page.find(needle, p + 1)) {
        if (!tag || whole_tag_name_at(m_page, p, needle.size())) it->second.push_back(p);
      }
    }
    return it->second;
  }

  std::string_view m_page;
  std::unordered_map<std::string, std::vector<std::size_t>> m_offsets;
  std::vector<Link> m_chain;  // nearest the value first
};

bool valid_name(std::string_view name) {
  return std::none_of(name.begin(), name.end(), [](char c) {
    return c == '"' || (static_cast<unsigned char>(c) < 0x20) || c == 0x7f;
  });
}

// A text as a cell keeps it: the apostrophe stops typed entry from turning
// "<TD" chains, numeric names or a leading "=" into anything else.
Value stored_text(const std::string& s) {
  return s.empty() ? Value() : Value("'" + s);
}

}  // namespace

form_progress::form_progress() : host::Dialog("form_progress", "Creating weblink") {
  add(host::ControlKind::Label, "label_text", "Finding references, please wait...");
}

weblink_wizard::weblink_wizard(cls_weblinkroutines& routines, host::Application& app,
                               host::MessageSink& messages, ActiveCell active_cell)
    : m_routines(routines),
      m_app(app),
      m_messages(messages),
      m_active_cell(std::move(active_cell)) {}

void weblink_wizard::message(std::string_view text) {
  m_messages.message_box(text, kTitle, host::MessageIcon::Exclamation);
}

void weblink_wizard::show_progress(bool shown) {
  m_topmost = !shown;
  if (shown) {
    m_progress.show();
  } else {
    m_progress.hide();
  }
  if (m_observer) m_observer(m_progress);
}

std::string weblink_wizard::htmltag_find(std::string_view html, std::size_t position) {
  if (position == 0 || html.empty()) return std::string(kNotFound);
  const std::size_t from = std::min(position, html.size()) - 1;
  const std::size_t gt = html.find_last_of('>', from);
  if (gt == npos || gt == 0) return std::string(kNotFound);
  const std::size_t lt = html.find_last_of('<', gt - 1);
  if (lt == npos) return std::string(kNotFound);
  m_tag_start = lt + 1;
  m_tag_end = gt + 1;
  return std::string(html.substr(lt, gt - lt + 1));
}

std::string weblink_wizard::htmltag_next(std::string_view html, std::size_t position) {
  if (position == 0 || position > html.size()) return std::string(kNotFound);
  std::size_t last_lt = npos;
  for (std::size_t i = position - 1; i < html.size(); ++i) {
    if (html[i] == '<') last_lt = i;
    if (html[i] == '>' && last_lt != npos) {
      m_tag_start = last_lt + 1;
      m_tag_end = i + 1;
      return std::string(html.substr(last_lt, i - last_lt + 1));
    }
  }
  return std::string(kNotFound);
}

bool weblink_wizard::create(PageSelection selection) {
  if (!selection.has_selection) {
    message(kNothingSelected);
    return false;
  }
  // The value is the element's first text run, read as the browser shows
  // it (references decoded), and it is found in the page by the place of
  // that run, not by searching its text: the run may be written with
  // references ("AT&amp;T", "$&nbsp;12.50") that the shown text has not.
  std::size_t run_length = 0;
  const std::size_t run = first_text_run(selection.parent_html, &run_length);
  m_value =
      run == npos
          ? std::string(kNotFound)
          : decode_link_text(std::string_view(selection.parent_html).substr(run, run_length), true);
  // The page is prepared where it lies: a page may be large.
  std::string& page = selection.body_html;
  std::string part = selection.parent_html;
  // Where the element stands in the page, when the view told it.
  std::size_t at = std::string::npos;
  if (selection.parent_offset < page.size() &&
      std::string_view(page).substr(selection.parent_offset).starts_with(selection.parent_html)) {
    at = selection.parent_offset;
  }
  // The same preparation of the text in front of the element gives its
  // place in the prepared page (only whole tags are removed).
  prepare_link_text(page, at == std::string::npos ? nullptr : &at);
  prepare_link_text(part);
  std::size_t p = 0;
  if (!part.empty()) p = at != std::string::npos ? at + 1 : text::find_ci(page, part);
  const std::size_t in_part = first_text_run(part, nullptr);
  const std::size_t q =
      run == npos || text::trim(m_value).empty() || in_part == npos ? 0 : in_part + 1;
  if (p == 0 || q == 0) {
    message("Could not find " + m_value + " in the document.");
    return false;
  }
  return find_and_store(page, p + q - 1);
}

bool weblink_wizard::data_parse2(std::string_view page, std::size_t position) {
  m_value.clear();
  return find_and_store(page, position);
}

bool weblink_wizard::find_and_store(std::string_view page, std::size_t position) {
  const std::string start_tag = position > 1 ? htmltag_find(page, position - 1) : "";
  const std::size_t start_begin = m_tag_start;
  const std::size_t start_end = m_tag_end;
  const std::string end_tag = htmltag_next(page, position);
  const std::size_t end_begin = m_tag_start;
  if (start_tag.empty() || start_tag == kNotFound || end_tag == kNotFound ||
      end_begin <= start_end) {
    message(std::string(kNoReferences) + (m_value.empty() ? std::string(kNotFound) : m_value));
    return false;
  }
  clsparse parser;
  const std::string startmarker = parser.gettagname(start_tag);
  const std::string endmarker = parser.gettagname(end_tag);
  const std::string_view target = page.substr(start_end, end_begin - 1 - start_end);
  // Called on its own, the wizard names the value by what lies between the tags.
  if (m_value.empty()) m_value = std::string(target);

  show_progress(true);
  ChainCutter cutter(page);
  std::vector<std::string> names;  // nearest the value first
  std::string references;
  bool found = false;
  std::size_t cursor = start_begin;
  while (!found && cursor >= 2 && names.size() < kMaxReferences) {
    const std::string tag = htmltag_find(page, cursor - 1);
    if (tag == kNotFound) break;
    names.push_back(parser.gettagname(tag));
    cutter.add_front(names.back());
    cursor = m_tag_start;
    // The cut must land on the value itself, not on an equal text elsewhere
    // (a price that equals the day's open): the next copy of the page would
    // show the other figure.
    const auto cut = cutter.cut(startmarker, endmarker);
    if (!cut || cut->data() != target.data() || cut->size() != target.size()) continue;
    references.clear();
    for (auto it = names.rbegin(); it != names.rend(); ++it) references += *it;
    found = parser.convert3(page, references, startmarker, endmarker).to_text() == target;
  }
  show_progress(false);
  if (!found) {
    message(std::string(kNoReferences) + m_value);
    return false;
  }
  return store(references, startmarker, endmarker);
}

namespace {
// The workbook's store sheet, added (hidden) when it is missing. Adding a
// sheet makes it the active one; the sheet that was active is activated again.
Result<host::WorksheetPtr> store_sheet(host::Workbook& book) {
  auto sheet = book.worksheet(kLinkSheet);
  if (sheet.ok()) return sheet;
  const auto active = book.active_sheet();
  sheet = book.add_worksheet(kLinkSheet);
  if (sheet.ok()) (void)(*sheet)->set_visible(host::Visibility::Hidden);
  if (active.ok()) (void)(*active)->activate();
  return sheet;
}
}  // namespace

Result<host::RangePtr> weblink_wizard::active_cell() const {
  if (m_active_cell) return m_active_cell();
  auto sheet = m_app.active_sheet();
  if (!sheet.ok()) return sheet.status();
  return (*sheet)->cell(1, 1);
}

std::string weblink_wizard::free_name(std::string name, const std::string& book,
                                      const std::vector<LinkRow>& rows) const {
  std::int64_t n = 0;
  const std::string_view digits = std::string_view(name).substr(kLinkRequestPrefix.size());
  (void)std::from_chars(digits.data(), digits.data() + digits.size(), n);
  while (m_routines.getlinknum(book + "_" + name) != 0 || last_row_named(rows, name) != 0) {
    name = std::string(kLinkRequestPrefix) + std::to_string(++n);
  }
  return name;
}

bool weblink_wizard::store(const std::string& references, const std::string& startmarker,
                           const std::string& endmarker) {
  const auto book = m_app.active_workbook();
  const auto book_name = book.ok() ? (*book)->name() : Result<std::string>(book.status());
  if (!book_name.ok()) {
    message(kNoWorkbook);
    return false;
  }
  // A row without an address could never be fetched.
  if (text::trim(location).empty()) {
    message(kNoLocation);
    return false;
  }
  std::string name(text::trim(name_box));
  const bool proposed = name.empty();
  if (proposed) name = m_routines.generate_name();
  if (!valid_name(name)) {
    message(kBadName);
    return false;
  }
  if (text::char_count(name) > kMaxNameLength) {
    message(kLongName);
    return false;
  }
  if (!proposed && m_routines.getlinknum(*book_name + "_" + name) != 0) {
    message(kNameExists);
    return false;
  }
  // The cell is taken before the store sheet may be added and made active.
  const auto cell = active_cell();
  if (!cell.ok()) {
    message(kNoCell);
    return false;
  }
  const auto sheet = store_sheet(**book);
  const auto rows = sheet.ok() ? link_rows(**sheet) : Result<std::vector<LinkRow>>(sheet.status());
  if (!rows.ok()) {
    message(kNoSheet);
    return false;
  }
  // A proposed name never takes the row or the name of another link: the
  // proposal counts from the last link loaded, not from what is stored.
  if (proposed) name = free_name(name, *book_name, *rows);
  std::size_t row = last_row_named(*rows, name);
  if (row == 0) row = rows->size() + 1;
  const std::string r = std::to_string(row);
  const auto target = (*sheet)->range("A" + r + ":G" + r);
  Array values{
      1,
      7,
      {stored_text(name), stored_text(location), stored_text(references), stored_text(startmarker),
       stored_text(endmarker), stored_text(separators.decimal), stored_text(separators.group)}};
  if (!target.ok() || !(*target)->set_value(Value(std::move(values))).ok()) {
    message(kNoSheet);
    return false;
  }
  m_stored_name = name;
  m_references = references;
  m_startmarker = startmarker;
  m_endmarker = endmarker;
  if (!(*cell)->set_formula("=wlink(\"" + name + "\")").ok()) {
    message(kNoFormula);
    return false;
  }
  return true;
}

}  // namespace quillo
