#include "cli/link_command.h"

#include <chrono>
#include <memory>
#include <ostream>
#include <unordered_map>

#include "cli/merged_cells.h"
#include "cli/session.h"
#include "cli/show_command.h"
#include "common/text.h"
#include "parse/clsparse.h"
#include "parse/html_document.h"
#include "requests/engine_facade.h"
#include "spreadsheet/address.h"
#include "xlsx/workbook_files.h"

namespace quillo::cli {

namespace {

constexpr const char* kAdd = "quillo link add";
constexpr const char* kList = "quillo link list";

// The response processor of the wizard's page fetch.
constexpr const char* kLinkPageProcessor = "weblinkResponseProcessor";

// What the page fetch came to.
struct PageAnswer {
  bool answered = false;
  std::int16_t status = 0;  // http::kTransportFailure when no HTTP answer came
  std::string text;         // decoded to UTF-8
  std::string message;      // the transport's reason for a failure
};

// Fetches url through the engine's request manager as the wizard's browser
// would; waits at most timeout_ms. The answer is routed to this fetch and
// nowhere else; a late one (after the wait) is dropped.
PageAnswer fetch_page(Session& session, const std::string& url, std::int64_t timeout_ms) {
  EngineFacade& engine = *session.state().engine();
  auto answer = std::make_shared<PageAnswer>();
  if (!engine.fetch_page(kLinkPageProcessor, url,
                         [answer](const std::string& text, std::int32_t, std::int16_t status,
                                  const std::string& message) {
                           if (answer->answered) return;
                           answer->answered = true;
                           answer->status = status;
                           answer->text = text;
                           answer->message = message;
                         })) {
    answer->answered = true;
    answer->status = http::kTransportFailure;
    answer->message = "the request manager has no channel for web links";
    return *answer;
  }
  session.loop().run_until([&] { return answer->answered; }, timeout_ms);
  // Nothing more for this fetch: withdraw it, and let any late answer fall
  // into a processor that discards it.
  engine.end_page_fetch(kLinkPageProcessor);
  return std::move(*answer);
}

// Whether a text has at least one tag ("<" and a letter, "<!" or "</"): an
// answer without any is not an HTML page (JSON, CSV, an image).
bool looks_like_html(std::string_view text) {
  for (std::size_t i = text.find('<'); i != std::string_view::npos && i + 1 < text.size();
       i = text.find('<', i + 1)) {
    const char c = text[i + 1];
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '!' || c == '/') return true;
  }
  return false;
}

// The cell "B2" (on the active sheet) or "Sheet 2!B2" / "'Sheet 2'!B2".
Result<host::RangePtr> resolve_cell(host::Workbook& book, const std::string& cell) {
  std::string address = cell;
  Result<host::WorksheetPtr> sheet = book.active_sheet();
  if (const std::size_t bang = cell.rfind('!'); bang != std::string::npos) {
    std::string name = cell.substr(0, bang);
    if (name.size() >= 2 && name.front() == '\'' && name.back() == '\'') {
      name = name.substr(1, name.size() - 2);
    }
    sheet = book.worksheet(name);
    address = cell.substr(bang + 1);
  }
  if (!sheet.ok()) return Status::failed(cell + ": no such sheet");
  // The links' own store: a formula there would overwrite a stored link.
  if (const auto name = (*sheet)->name(); name.ok() && text::iequals(*name, link_sheet_name())) {
    return Status::failed(cell + ": the sheet " + std::string(link_sheet_name()) +
                          " stores the workbook's web links; choose a cell on another sheet");
  }
  auto range = (*sheet)->range(address);
  if (!range.ok()) return Status::failed(cell + ": not a cell address");
  auto rows = (*range)->row_count();
  auto cols = (*range)->column_count();
  if (!rows.ok() || !cols.ok() || *rows != 1 || *cols != 1) {
    return Status::failed(cell + ": not a single cell");
  }
  if (!(*sheet)->activate().ok()) return Status::failed(cell + ": the sheet cannot be activated");
  return range;
}

}  // namespace

namespace {

// "Sheet1!B2", for messages.
std::string cell_name(const host::Range& cell, const std::string& fallback) {
  auto sheet = cell.worksheet();
  auto row = cell.row();
  auto col = cell.column();
  if (!sheet.ok() || !row.ok() || !col.ok()) return fallback;
  return spreadsheet::quote_sheet_name((*sheet)->name().value_or("")) + "!" +
         spreadsheet::cell_a1(*row, *col);
}

// Whether a link's reading (upper-cased, non-breaking spaces removed) is
// the value marked (as shown, non-breaking spaces as blanks): equal but for
// letter case and whitespace.
bool same_value(std::string_view read, std::string_view marked) {
  std::string a = text::upper(read);
  std::string b = text::upper(marked);
  for (std::string* s : {&a, &b}) text::remove_chars(*s, " \t\r\n\f");
  return a == b;
}

}  // namespace

int run_link_add(const LinkAddOptions& options, std::ostream& out, std::ostream& err) {
  if (html::shown_text(options.value).empty()) {
    err << kAdd << ": the value to look for is empty\n";
    return 2;
  }
  if (options.occurrence == 0) {
    err << kAdd << ": --occurrence counts from 1\n";
    return 2;
  }
  if (text::char_count(text::trim(options.name)) > EngineFacade::kMaxLinkNameLength) {
    err << kAdd << ": --name is " << text::char_count(text::trim(options.name))
        << " characters long; a link's name has at most " << EngineFacade::kMaxLinkNameLength
        << " (it is a text in the cell's formula)\n";
    return 2;
  }
  for (const auto& [option, separator] :
       {std::pair{"--decimal", &options.decimal}, std::pair{"--group", &options.group}}) {
    if (!separator->empty() && text::char_count(*separator) != 1) {
      err << kAdd << ": " << option << " is one character, such as , or ., not \"" << *separator
          << "\"\n";
      return 2;
    }
  }
  SessionOptions so;
  so.command = kAdd;
  Session session(so, err);
  const host::WorkbookPtr book = session.open_ready(options.book);
  if (!book) return 2;
  auto cell = resolve_cell(*book, options.cell);
  if (!cell.ok()) {
    err << kAdd << ": " << cell.status().message() << "\n";
    return 2;
  }
  // A formula under a merge would be hidden by it.
  if (const auto sheet = (*cell)->worksheet(); sheet.ok()) {
    const auto areas = merged_areas(options.book, (*sheet)->name().value_or(""));
    if (const auto* area =
            merged_area_at(areas, (*cell)->row().value_or(0), (*cell)->column().value_or(0))) {
      err << kAdd << ": " << options.cell << " lies in the merged cells "
          << spreadsheet::box_a1(*area, false) << "; choose a cell outside merged cells\n";
      return 2;
    }
  }

  if (options.decimal.empty() != options.group.empty() && options.decimal.empty()) {
    err << kAdd << ": --group needs --decimal\n";
    return 2;
  }
  if (!options.decimal.empty() && options.decimal == options.group) {
    err << kAdd << ": --decimal and --group must differ\n";
    return 2;
  }
  const auto timeout_ms = static_cast<std::int64_t>(options.timeout_seconds * 1000);
  const auto started = std::chrono::steady_clock::now();
  const auto out_of_time = [&] {
    return std::chrono::steady_clock::now() - started > std::chrono::milliseconds(timeout_ms);
  };
  PageAnswer page = fetch_page(session, options.url, timeout_ms);
  if (!page.answered) {
    err << kAdd << ": " << options.url << " did not answer within " << options.timeout_seconds
        << " s\n";
    return 1;
  }
  if (page.status == http::kTransportFailure) {
    err << kAdd << ": " << options.url << " could not be fetched: " << page.message << "\n";
    return 1;
  }
  if (page.status < 200 || page.status > 299) {
    err << kAdd << ": " << options.url << " answered HTTP " << page.status << "\n";
    return 1;
  }
  if (!looks_like_html(page.text)) {
    err << kAdd << ": " << options.url << " did not answer with an HTML page\n";
    return 1;
  }

  // The page's tree is needed only to find the element; it goes before the
  // link is made, which fetches the page again.
  auto doc = std::make_unique<html::HtmlDocument>(page.text);
  switch (doc->refusal()) {
    case html::PageRefusal::None:
      break;
    case html::PageRefusal::TooDeep:
      err << kAdd << ": " << options.url << " nests its elements more than " << html::kMaxNesting
          << " levels deep; it is not read\n";
      return 1;
    case html::PageRefusal::TooManyTags:
      err << kAdd << ": " << options.url << " has more than " << html::kMaxTags
          << " tags; it is not read\n";
      return 1;
    case html::PageRefusal::TooManyAttributes:
      err << kAdd << ": " << options.url << " has more than " << html::kMaxAttributes
          << " attributes; it is not read\n";
      return 1;
  }
  if (!doc->has_body()) {
    err << kAdd << ": " << options.url
        << " has no body (a frameset page): open the address of the frame that shows the value\n";
    return 1;
  }
  auto found = doc->find(options.value, options.occurrence);
  const std::size_t count = doc->count(options.value);
  doc.reset();
  if (!found) {
    if (count == 0) {
      err << kAdd << ": \"" << options.value << "\" was not found on the page "
          << "(as the first text of an element)\n";
    } else {
      err << kAdd << ": \"" << options.value << "\" is on the page " << count
          << (count == 1 ? " time" : " times") << ", not " << options.occurrence << "\n";
    }
    return 1;
  }
  if (out_of_time()) {
    err << kAdd << ": " << options.url << " was not read within " << options.timeout_seconds
        << " s\n";
    return 1;
  }

  EngineFacade& engine = *session.state().engine();
  engine.load_stored_links(*book);
  host::RecordingMessages messages;
  const host::RangePtr target = *cell;
  LinkRequest request;
  request.url = options.url;
  request.name = options.name;
  request.separators = LinkSeparators{options.decimal, options.group};
  request.has_selection = true;
  request.body_html = std::move(found->body_html);
  request.parent_html = found->element_html;
  request.parent_offset = found->offset;
  request.cell = [target]() -> Result<host::RangePtr> { return target; };
  const LinkMade made = engine.create_link(std::move(request), messages);
  for (const auto& m : messages.messages) err << kAdd << ": " << m.text << "\n";
  if (!made.stored) return 1;

  const std::string where = cell_name(*target, options.cell);
  out << "link " << made.name << ": \"" << made.value << "\" (occurrence " << options.occurrence
      << " of " << count << ") in " << where << "\n";
  // The link reads the page as the server sends it, not as the browser
  // rebuilt it: a page that leaves out end tags a browser adds (</b>,
  // </td>, </p>) can give markers that close nothing in the page itself,
  // so the value read would run on into the markup after it, or be missing.
  // Read from the copy just fetched, the link must give the value marked.
  // The page is not needed after this reading: it is prepared where it lies.
  const std::string served = link_reads(std::move(page.text), made);
  if (!same_value(served, made.value)) {
    err << kAdd << ": the link was made, but reading the page as it is served gives "
        << (served == kNotFound ? std::string(kNotFound) : "\"" + one_line(served) + "\"")
        << " (the page may leave out end tags a browser adds, such as </" << found->tag
        << ">); nothing saved\n";
    return 1;
  }
  // The new formula fetched the page again: save the cell's first value,
  // not "Loading data...".
  if (!session.wait_answered(timeout_ms)) {
    err << kAdd << ": the link's first value did not arrive within " << options.timeout_seconds
        << " s; saving what is there\n";
  }
  const Value shown = target->value().value_or(Value());
  out << where << " shows " << shown.to_text() << "\n";
  // A page that changed since it was read for the link may no longer hold
  // the value where the link finds it. A link that cannot read its own
  // value is not worth a save.
  if (shown.is_text() && shown.text() == kNotFound) {
    err << kAdd << ": the link was made, but reading the page as it is served gives " << kNotFound
        << " (the page may leave out end tags a browser adds, such as </" << found->tag
        << ">); nothing saved\n";
    return 1;
  }
  const Status saved = book->save();
  if (!saved.ok()) {
    err << kAdd << ": " << saved.message() << "\n";
    return 1;
  }
  out << "saved " << book->full_name().value_or(options.book) << "\n";
  return 0;
}

int run_link_list(const LinkListOptions& options, std::ostream& out, std::ostream& err) {
  spreadsheet::Application app;
  // Warnings about formulas quillo does not compute say nothing about links.
  spreadsheet::XlsxHostOptions xlsx;
  xlsx.on_warning = [](const std::string&) {};
  spreadsheet::use_xlsx_files(app, xlsx);
  auto book = app.workbooks().open(options.book);
  if (!book.ok()) {
    err << kList << ": " << book.status().message() << "\n";
    return 2;
  }
  const Result<std::vector<LinkRow>> rows = stored_links(**book);
  if (!rows.ok()) {
    err << kList << ": " << options.book << ": " << rows.status().message() << "\n";
    return 2;
  }
  if (rows->empty()) {
    err << kList << ": " << options.book << " has no web links\n";
    return 0;
  }
  if (options.header) out << "name\turl\treferences\tstart marker\tend marker\n";
  for (const LinkRow& r : *rows) {
    out << one_line(r.name) << '\t' << one_line(r.url) << '\t' << one_line(r.references) << '\t'
        << one_line(r.startmarker) << '\t' << one_line(r.endmarker);
    if (!r.separators.automatic()) {
      out << '\t' << one_line(r.separators.decimal) << '\t' << one_line(r.separators.group);
    }
    out << '\n';
  }
  return 0;
}

}  // namespace quillo::cli
