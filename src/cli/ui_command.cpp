#include "cli/ui_command.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <tuple>
#include <utility>

#include "cli/disk_changes.h"
#include "cli/explain_command.h"
#include "cli/link_command.h"
#include "cli/session.h"
#include "cli/show_command.h"
#include "cli/ui_dialogs.h"
#include "cli/ui_edits.h"
#include "cli/ui_layout.h"
#include "common/text.h"
#include "host/browser.h"
#include "host/posix/xdg_open_browser.h"
#include "host/process.h"
#include "requests/engine_facade.h"
#include "spreadsheet/address.h"
#include "spreadsheet/handles.h"
#include "ui/access_token.h"
#include "ui/web_server.h"
#include "xlsx/workbook_files.h"

namespace quillo::cli {

namespace fs = std::filesystem;

namespace {

constexpr const char* kUiCommand = "quillo ui";
// How often the cells the pages show are compared with what they were sent.
constexpr std::int64_t kWatchMs = 200;
// The most cells one page may watch: a screenful, with room to spare.
constexpr std::int64_t kMaxWindowCells = 20000;
// How often the workbook's file is looked at for changes made elsewhere.
constexpr std::int64_t kDiskCheckMs = 1000;
// A page that has neither called nor held its event stream open for this
// long is gone (closed, or reloaded under a new id): the dialogs it had
// open are cancelled.
constexpr std::int64_t kPageGoneMs = 5000;
// How many pages are remembered before those gone are forgotten.
constexpr std::size_t kMaxPages = 64;
// The pages are told when values last arrived at most this often.
constexpr std::int64_t kArrivedMs = 5000;

// What a page draws for a cell: the shown text and what kind of text it is,
// so that statuses and errors look like what they are and numbers align
// to the right.
struct ShownCell {
  std::string text;
  const char* kind = "text";  // "number", "text", "status", "error"
  bool operator==(const ShownCell& o) const {
    return text == o.text && std::string_view(kind) == o.kind;
  }
};

ShownCell shown_cell(const spreadsheet::Model& model, spreadsheet::SheetId sheet, std::int32_t r,
                     std::int32_t c) {
  const Value v = model.value(sheet, r, c);
  ShownCell out;
  if (v.is_empty()) return out;
  out.text = shown_text(v, model.number_format(sheet, r, c));
  if (v.is_error()) {
    out.kind = "error";
  } else if (v.is_text()) {
    switch (shown_kind(v.text())) {
      case ShownKind::Progress:
        out.kind = "status";
        break;
      case ShownKind::Failure:
        out.kind = "error";
        break;
      case ShownKind::Other:
        break;
    }
  } else {
    out.kind = "number";
  }
  return out;
}

struct Window {
  spreadsheet::SheetId sheet = 0;
  spreadsheet::Box box;
  std::map<std::pair<std::int32_t, std::int32_t>, ShownCell> sent;
};

std::string cell_json(std::int32_t r, std::int32_t c, const ShownCell& cell) {
  return "[" + std::to_string(r) + "," + std::to_string(c) + "," + ui::json_string(cell.text) +
         ",\"" + cell.kind + "\"]";
}

std::optional<std::int32_t> int_param(const ui::ApiRequest& req, const std::string& name,
                                      std::int32_t low, std::int32_t high) {
  auto it = req.params.find(name);
  if (it == req.params.end()) return std::nullopt;
  std::int32_t v = 0;
  const char* end = it->second.data() + it->second.size();
  auto [p, ec] = std::from_chars(it->second.data(), end, v);
  if (ec != std::errc() || p != end || v < low || v > high) return std::nullopt;
  return v;
}

ui::ApiReply error_reply(int status, std::string_view message) {
  return {status, "{\"error\":" + ui::json_string(message) + "}"};
}

// The link wizard's page fetch: the request manager answers it through
// this response processor, as it answers the wizard's browser.
constexpr const char* kUiPageProcessor = "uiWeblinkPage";

struct PageFetch {
  std::uint64_t id = 0;
  bool answered = false;
  std::int16_t status = 0;
  std::string text;
  std::string message;
};

// The interface the pages talk to, on the loop thread. Every page (a tab,
// or one load of it) sends the id it made up at load with each call
// ("client"); its cell cursor, the link wizard and the add-in's dialogs
// it opened are its own, so that what one tab does never lands at another
// tab's cursor.
class WorkbookApi {
 public:
  WorkbookApi(Session& session, host::WorkbookPtr book, PageMessages& messages)
      : m_session(session), m_book(book), m_messages(messages) {
    const auto* handle = dynamic_cast<const spreadsheet::BookHandle*>(m_book.get());
    m_book_id = handle ? handle->book_id() : 0;
    m_path = m_book->full_name().value_or("");
    m_stamp = m_seen_stamp = file_stamp(m_path);
    // A file another program puts in place while Save writes is not saved
    // over: the save is refused at the last moment, as a conflict.
    (void)spreadsheet::set_save_check(m_session.app().model(), m_book_id, [this] {
      m_save_refused = m_save_over && file_stamp(m_path) != *m_save_over;
      return !m_save_refused;
    });
    // "Create Weblink" opens the link wizard of the page that clicked it.
    session.state().set_link_wizard([this] { m_link_page = m_acting; });
    // The assistants write where the cell cursor of the page acting on
    // them is.
    session.state().set_active_cell(
        [this]() -> Result<host::RangePtr> { return cursor_cell(m_acting); });
  }
  ~WorkbookApi() { (void)spreadsheet::set_save_check(m_session.app().model(), m_book_id, {}); }
  WorkbookApi(const WorkbookApi&) = delete;
  WorkbookApi& operator=(const WorkbookApi&) = delete;

  void set_server(ui::WebServer* server) { m_server = server; }

  ui::ApiReply handle(const ui::ApiRequest& req) {
    auto client = req.params.find("client");
    m_acting = client != req.params.end() && client->second.size() <= 64 ? client->second : "";
    m_seen[m_acting] = now_ms();
    m_messages.page = m_acting;
    // What the user does through the add-in's menu and dialogs (an
    // assistant inserting a table, the search writing ids) is an edit of
    // theirs too; answers arriving meanwhile are not.
    const bool acts = req.method == "POST" && (req.name == "menu" || req.name == "dialog");
    const std::size_t before = acts ? contents_fingerprint() : 0;
    ui::ApiReply reply = dispatch(req);
    if (acts && contents_fingerprint() != before) {
      ++m_edits;
      push_changes();
    }
    m_messages.page.clear();
    return reply;
  }

  // Sends each page the cells of its window that changed since it was
  // last told, and the book's state when that changed.
  void push_changes() {
    if (!m_server) return;
    keep_opened_models();
    const auto open = m_server->clients();
    const std::set<std::string> streaming(open.begin(), open.end());
    const std::int64_t now = now_ms();
    for (const std::string& page : streaming) m_seen[page] = now;
    forget_gone_pages();
    if (m_dialog_page && gone(*m_dialog_page)) drop_dialogs();
    spreadsheet::Model& model = m_session.app().model();
    for (auto& [client, window] : m_windows) {
      if (!streaming.count(client) || !model.sheet(window.sheet)) continue;
      std::string changes;
      walk(window, [&](std::int32_t r, std::int32_t c, const ShownCell& now_shown) {
        auto& before = window.sent[{r, c}];
        if (before == now_shown) return;
        before = now_shown;
        if (!changes.empty()) changes += ',';
        changes += cell_json(r, c, now_shown);
      });
      if (!changes.empty()) {
        m_server->publish(client, "cells",
                          "{\"sheet\":" + std::to_string(sheet_index(window.sheet)) + ",\"seq\":" +
                              std::to_string(++m_cells_sent) + ",\"cells\":[" + changes + "]}");
      }
    }
    // Dialogs change by themselves too (a search answer fills a list);
    // each page is told what it shows.
    for (const std::string& page : streaming) {
      std::string dialogs = dialogs_for(page);
      std::string& told = m_told_dialogs[page];
      if (dialogs != told) {
        m_server->publish(page, "dialogs", stamped(dialogs));
        told = std::move(dialogs);
      }
    }
    std::erase_if(m_told_dialogs, [&](const auto& e) { return !streaming.count(e.first); });
    if (now >= m_next_disk_check) {
      m_next_disk_check = now + kDiskCheckMs;
      check_disk();
    }
    const bool now_dirty = dirty();
    const std::string sheets = sheet_list();
    // When values last arrived, told at most every few seconds.
    if (const std::uint64_t n = updates(); n != m_updates_seen) {
      m_updates_seen = n;
      m_arrived_ms = wall_clock_ms();
    }
    const bool arrived = m_arrived_ms != m_told_arrived && now >= m_next_arrived_told;
    if (now_dirty != m_told_dirty || m_changed_on_disk != m_told_changed ||
        sheets != m_told_sheets || arrived || m_taken_in != m_told_taken_in) {
      m_told_taken_in = m_taken_in;
      m_told_arrived = m_arrived_ms;
      m_next_arrived_told = now + kArrivedMs;
      m_told_dirty = now_dirty;
      m_told_changed = m_changed_on_disk;
      m_told_sheets = sheets;
      m_server->publish("", "book", book().json);
    }
  }

  // Unsaved edits of the user's (typed, pasted, inserted through the
  // add-in's dialogs, web links created). Values quillo refreshed (answers,
  // history tables, indicator series) are not edits: saving keeps them, but
  // leaving without saving loses nothing of the user's.
  bool dirty() const { return m_edits != m_saved_edits; }

 private:
  struct Active {
    std::int32_t sheet = 0, row = 1, col = 1;
  };

  ui::ApiReply dispatch(const ui::ApiRequest& req) {
    if (req.name == "book") return book();
    if (req.name == "view" && req.method == "POST") return view(req);
    if (req.name == "layout") return layout(req);
    if (req.name == "width" && req.method == "POST") return width(req);
    if (req.name == "cell") return cell(req);
    if (req.name == "provenance") return provenance(req);
    if (req.name == "edit" && req.method == "POST") return edit(req);
    if (req.name == "edits" && req.method == "POST") return edits(req);
    if (req.name == "save" && req.method == "POST") return save(req);
    if (req.name == "reload" && req.method == "POST") return reload();
    if (req.name == "select" && req.method == "POST") return select(req);
    if (req.name == "menu") return menu(req);
    if (req.name == "dialogs") return {200, stamped(dialogs_for(m_acting))};
    if (req.name == "dialog" && req.method == "POST") return dialog(req);
    if (req.name == "charts") return charts(req);
    if (req.name == "link" && req.method == "POST") return link(req);
    if (req.name == "link_fetch" && req.method == "POST") return link_fetch(req);
    if (req.name == "link_page") return link_page(req);
    if (req.name == "link_create" && req.method == "POST") return link_create(req);
    if (req.name == "message" && req.method == "POST") {
      m_messages.dismiss(m_acting);
      return after_action();
    }
    return error_reply(404, "no such call");
  }

  std::int64_t now_ms() { return m_session.loop().now_ms(); }

  bool gone(const std::string& page) {
    auto it = m_seen.find(page);
    return it == m_seen.end() || now_ms() - it->second > kPageGoneMs;
  }

  // The add-in's dialogs are one set, shown by one page at a time: the page
  // whose action opened them, until they close or that page is gone (then
  // they are cancelled).
  bool dialogs_belong_to(const std::string& page) {
    if (!any_dialog_shown(m_session.state())) m_dialog_page.reset();
    if (m_dialog_page && *m_dialog_page != page && gone(*m_dialog_page)) drop_dialogs();
    return !m_dialog_page || *m_dialog_page == page;
  }

  // The page that had the add-in's dialogs is gone (closed, or its stream
  // not back for a while): they are cancelled, so that no later page finds
  // another's half-filled dialog or is kept from opening its own.
  void drop_dialogs() {
    m_dialog_page.reset();
    const std::string acting = m_messages.page;
    m_messages.page.clear();
    cancel_dialogs(m_session.state());
    m_messages.page = acting;
  }

  // A state of the dialogs numbered in the order it was made: a page gets
  // states both as replies and on its event stream, which may overtake one
  // another, and shows none older than one it has shown.
  std::string stamped(std::string dialogs) {
    if (dialogs.empty() || dialogs.back() != '}') return dialogs;
    dialogs.pop_back();
    return dialogs + ",\"seq\":" + std::to_string(++m_dialogs_made) + "}";
  }

  std::string dialogs_for(const std::string& page) {
    return dialogs_json(m_session.state(), m_messages, page, dialogs_belong_to(page),
                        m_link_page && *m_link_page == page);
  }

  // A message of a page that is gone (closed, or reloaded under a new id)
  // is shown by every page, so that it is not lost. The pages remembered
  // are bounded: when there are many, those gone are forgotten (a page
  // whose connection broke for a while keeps its cursor until then).
  void forget_gone_pages() {
    for (auto& m : m_messages.waiting) {
      if (!m.page.empty() && gone(m.page)) m.page.clear();
    }
    if (m_seen.size() < kMaxPages) return;
    std::erase_if(m_seen, [&](const auto& e) { return now_ms() - e.second > kPageGoneMs; });
    // Only calls made up to flood it leave it this full.
    if (m_seen.size() >= 4 * kMaxPages) m_seen.clear();
    std::erase_if(m_cursors, [&](const auto& e) { return !m_seen.count(e.first); });
  }

  // The cell at page's cursor (A1 of the first sheet before it moved).
  Result<host::RangePtr> cursor_cell(const std::string& page) const {
    auto it = m_cursors.find(page);
    const Active at = it == m_cursors.end() ? Active{} : it->second;
    auto ws = m_book->worksheet(at.sheet + 1);
    if (!ws.ok()) return ws.status();
    return (*ws)->cell(at.row, at.col);
  }

  // The workbook's file changed on disk since it was loaded or saved: when
  // nothing here is unsaved, its cells are taken in (as `watch` does);
  // otherwise the pages are told, and Save refuses until the user chooses
  // to reload or to overwrite.
  void check_disk() {
    if (m_path.empty()) return;
    const FileStamp now = file_stamp(m_path);
    if (now == m_stamp || now == m_seen_stamp) return;
    m_seen_stamp = now;
    if (!dirty() && now.type == fs::file_type::regular && take_in(now).ok()) {
      return;
    }
    if (!m_changed_on_disk) m_told_stamp = now;
    m_changed_on_disk = true;
  }

  Status take_in(const FileStamp& stamp) {
    const auto taken = m_session.take_in(*m_book, m_book_id, m_path);
    if (!taken.ok()) return taken.status();
    m_stamp = m_seen_stamp = stamp;
    m_changed_on_disk = false;
    m_saved_edits = m_edits;
    ++m_taken_in;
    return {};
  }
  // The times cells were made to show new answers.
  std::uint64_t updates() const {
    const EngineFacade* engine = m_session.state().engine();
    return engine ? engine->updates() : 0;
  }

  // A digest of what the user may have entered: the workbook's formulas
  // and constants (not the formulas' values, which quillo refreshes).
  std::size_t contents_fingerprint() const {
    const auto* b = model_book();
    if (!b) return 0;
    const spreadsheet::Model& model = m_session.app().model();
    std::size_t h = b->sheets.size();
    auto mix = [&h](std::size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
    for (const spreadsheet::SheetId id : b->sheets) {
      mix(std::hash<std::string>{}(model.sheet_name(id)));
      model.for_each_cell(
          id, spreadsheet::Box{1, 1, spreadsheet::kMaxRows, spreadsheet::kMaxCols},
          [&](std::int32_t r, std::int32_t c, const spreadsheet::Cell&) {
            mix(static_cast<std::size_t>(r) * 16411u + static_cast<std::size_t>(c));
            if (model.has_formula(id, r, c)) {
              mix(std::hash<std::string>{}(
                  model.formula_text(id, r, c, spreadsheet::Notation::A1)));
            } else {
              const Value v = model.value(id, r, c);
              mix(std::hash<std::string>{}(v.is_empty() ? std::string() : shown_text(v, "")));
            }
          });
    }
    return h;
  }

  // The sheets' names and whether each is hidden: when they change (the
  // link wizard adds its sheet) the pages are sent the book again, and
  // draw their tabs again.
  std::string sheet_list() const {
    const auto* b = model_book();
    if (!b) return {};
    const spreadsheet::Model& model = m_session.app().model();
    std::string out;
    for (const spreadsheet::SheetId id : b->sheets) {
      const spreadsheet::Sheet* s = model.sheet(id);
      out += model.sheet_name(id);
      out += s && s->visibility != host::Visibility::Visible ? "\x01h\x02" : "\x01v\x02";
    }
    return out;
  }

  // A model of the Financial Templates menu opens as a workbook of its own,
  // which a page (showing one workbook) cannot show: as `quillo models open`
  // does, it is saved as a file, here beside this workbook (under a name
  // not yet taken), closed, and the page that clicked the menu is told
  // where it is and how to open it.
  void keep_opened_models() {
    host::Workbooks& books = m_session.app().workbooks();
    for (std::int32_t i = books.count(); i >= 1; --i) {
      auto opened = books.item(i);
      if (!opened.ok()) continue;
      host::WorkbookPtr model = *opened;
      const fs::path file = model->full_name().value_or("");
      const fs::path download = file.parent_path();
      if (!download.filename().string().starts_with("quillo-model-")) continue;
      const fs::path folder = fs::path(m_path).parent_path();
      fs::path target = folder / file.filename();
      std::error_code ec;
      for (int n = 2; fs::exists(target, ec) && n < 1000; ++n) {
        target = folder / (file.stem().string() + " (" + std::to_string(n) + ")" +
                           file.extension().string());
      }
      const Status saved = fs::exists(target, ec)
                               ? Status::failed("no free file name in " + folder.string())
                               : model->save_as(target.string());
      (void)model->close(false);
      fs::remove_all(download, ec);
      // It opened as the active workbook; this one is again.
      m_session.app().model().activate_book(m_book_id);
      const std::string acting = std::exchange(m_messages.page, m_menu_page);
      if (saved.ok()) {
        m_messages.message_box("The model " + file.filename().string() + " is saved as " +
                                   target.string() +
                                   ".\nThis page shows one workbook; to work in the model, run\n"
                                   "quillo ui \"" +
                                   target.string() + "\"",
                               "Financial Templates", host::MessageIcon::Information);
      } else {
        m_messages.message_box(
            "The model " + file.filename().string() + " could not be saved: " + saved.message(),
            "Financial Templates", host::MessageIcon::Exclamation);
      }
      m_messages.page = acting;
    }
  }

  const spreadsheet::Book* model_book() const { return m_session.app().model().book(m_book_id); }

  std::int32_t sheet_index(spreadsheet::SheetId id) const {
    const auto* b = model_book();
    if (!b) return -1;
    auto it = std::find(b->sheets.begin(), b->sheets.end(), id);
    return it == b->sheets.end() ? -1 : static_cast<std::int32_t>(it - b->sheets.begin());
  }

  spreadsheet::SheetId sheet_param(const ui::ApiRequest& req) const {
    const auto* b = model_book();
    if (!b) return 0;
    const auto i = int_param(req, "sheet", 0, static_cast<std::int32_t>(b->sheets.size()) - 1);
    return i ? b->sheets[static_cast<std::size_t>(*i)] : 0;
  }

  // The page writes no very hidden sheet: those are the records quillo (and
  // other add-ins) keep in the file, which no spreadsheet shows or edits.
  bool very_hidden(spreadsheet::SheetId id) const {
    const spreadsheet::Sheet* s = m_session.app().model().sheet(id);
    return s != nullptr && s->visibility == host::Visibility::VeryHidden;
  }
  static ui::ApiReply very_hidden_reply() {
    return error_reply(
        400, "that sheet is very hidden (records kept in the file); it is not edited here");
  }

  // Calls fn for every cell of the window, empty ones included.
  template <typename Fn>
  void walk(const Window& w, Fn&& fn) {
    spreadsheet::Model& model = m_session.app().model();
    for (std::int32_t r = w.box.r1; r <= w.box.r2; ++r) {
      for (std::int32_t c = w.box.c1; c <= w.box.c2; ++c)
        fn(r, c, shown_cell(model, w.sheet, r, c));
    }
  }

  ui::ApiReply book() {
    const auto* b = model_book();
    if (!b) return error_reply(410, "the workbook is closed");
    spreadsheet::Model& model = m_session.app().model();
    std::string sheets;
    for (const spreadsheet::SheetId id : b->sheets) {
      auto [rows, cols] = model.extent(id);
      if (!sheets.empty()) sheets += ',';
      // Hidden sheets (quillo's own stores among them) get no tab; their
      // place in the list stays, since the page names sheets by index.
      const spreadsheet::Sheet* s = model.sheet(id);
      // A merged area is used in whole, its empty cells too (Ctrl+End goes
      // to its far corner, as in the peers).
      if (s) {
        for (const spreadsheet::Box& m : s->look.merges) {
          rows = std::max(rows, m.r2);
          cols = std::max(cols, m.c2);
        }
      }
      const bool hidden = s && s->visibility != host::Visibility::Visible;
      sheets += "{\"name\":" + ui::json_string(model.sheet_name(id)) +
                ",\"rows\":" + std::to_string(rows) + ",\"cols\":" + std::to_string(cols) +
                ",\"hidden\":" + (hidden ? "true" : "false") + "}";
    }
    return {200, "{\"name\":" + ui::json_string(b->name) +
                     ",\"path\":" + ui::json_string(m_book->full_name().value_or(b->path)) +
                     ",\"sheets\":[" + sheets +
                     "],\"active\":" + std::to_string(std::max(0, sheet_index(b->active))) +
                     ",\"dirty\":" + (dirty() ? "true" : "false") +
                     ",\"changed_on_disk\":" + (m_changed_on_disk ? "true" : "false") +
                     ",\"taken_in\":" + std::to_string(m_taken_in) +
                     ",\"arrived\":" + ui::json_string(iso_utc(m_arrived_ms)) + "}"};
  }

  // A page shows a window of a sheet: answers its cells now and remembers
  // it, so that its changes are pushed from now on.
  ui::ApiReply view(const ui::ApiRequest& req) {
    auto client = req.params.find("client");
    const spreadsheet::SheetId sheet = sheet_param(req);
    const auto r1 = int_param(req, "r1", 1, spreadsheet::kMaxRows);
    const auto c1 = int_param(req, "c1", 1, spreadsheet::kMaxCols);
    const auto r2 = int_param(req, "r2", 1, spreadsheet::kMaxRows);
    const auto c2 = int_param(req, "c2", 1, spreadsheet::kMaxCols);
    if (client == req.params.end() || client->second.empty() || client->second.size() > 64 ||
        !sheet || !r1 || !c1 || !r2 || !c2 || *r2 < *r1 || *c2 < *c1) {
      return error_reply(400, "view needs client, sheet, r1, c1, r2 and c2");
    }
    if (std::int64_t(*r2 - *r1 + 1) * (*c2 - *c1 + 1) > kMaxWindowCells) {
      return error_reply(400, "the window is too large");
    }
    // A page that went away for good leaves its window behind; pages are
    // few, but the number of windows is bounded all the same.
    if (m_windows.size() >= 64 && !m_windows.count(client->second)) m_windows.clear();
    Window& w = m_windows[client->second];
    w.sheet = sheet;
    w.box = spreadsheet::Box{*r1, *c1, *r2, *c2};
    w.sent.clear();
    std::string cells;
    walk(w, [&](std::int32_t r, std::int32_t c, const ShownCell& now) {
      w.sent[{r, c}] = now;
      if (now.text.empty()) return;
      if (!cells.empty()) cells += ',';
      cells += cell_json(r, c, now);
    });
    // The changes sent from now on are numbered past seq: a page that had
    // some of them before this answer (the event stream is another
    // connection) applies those again over the window's cells.
    return {200, "{\"sheet\":" + std::to_string(sheet_index(sheet)) +
                     ",\"seq\":" + std::to_string(m_cells_sent) + ",\"cells\":[" + cells +
                     "],\"look\":" + window_look_json(m_session.app().model(), sheet, w.box) + "}"};
  }

  // The sheet's sizes and frozen panes (ui_layout.h).
  ui::ApiReply layout(const ui::ApiRequest& req) {
    const spreadsheet::SheetId sheet = sheet_param(req);
    if (!sheet) return error_reply(400, "layout needs sheet");
    return {200, sheet_layout_json(m_session.app().model(), sheet)};
  }

  // The user set a column's width (characters): an edit, saved with the
  // workbook.
  ui::ApiReply width(const ui::ApiRequest& req) {
    const spreadsheet::SheetId sheet = sheet_param(req);
    const auto col = int_param(req, "col", 1, spreadsheet::kMaxCols);
    auto text = req.params.find("width");
    double chars = 0;
    bool read = false;
    if (text != req.params.end()) {
      const char* end = text->second.data() + text->second.size();
      const auto got = std::from_chars(text->second.data(), end, chars);
      read = got.ec == std::errc() && got.ptr == end;
    }
    if (!sheet || !col || !read) return error_reply(400, "width needs sheet, col and width");
    if (very_hidden(sheet)) return very_hidden_reply();
    // As the file format bounds a column's width: up to 255 characters, and
    // no less than the hundredth of one the page sends.
    if (!(chars >= 0.01 && chars <= 255)) {
      return error_reply(400, "a column's width is from 0.01 to 255 characters");
    }
    const Status st = m_session.app().model().set_column_width(sheet, *col, chars);
    if (!st.ok()) return error_reply(400, st.message());
    ++m_edits;
    push_changes();
    return {200, "{\"width\":" + std::to_string(chars) + "}"};
  }

  Result<host::RangePtr> range_of(const ui::ApiRequest& req) const {
    const auto i = int_param(req, "sheet", 0, 1 << 20);
    const auto r = int_param(req, "row", 1, spreadsheet::kMaxRows);
    const auto c = int_param(req, "col", 1, spreadsheet::kMaxCols);
    if (!i || !r || !c) return Status(StatusCode::InvalidArgument, "needs sheet, row and col");
    auto ws = m_book->worksheet(*i + 1);
    if (!ws.ok()) return ws.status();
    return (*ws)->cell(*r, *c);
  }

  // What the formula bar shows for a cell: its formula, or its constant as
  // it would be typed.
  ui::ApiReply cell(const ui::ApiRequest& req) {
    auto range = range_of(req);
    if (!range.ok()) return error_reply(400, range.status().message());
    auto formula = cell_edit_text(**range);
    if (!formula.ok()) return error_reply(400, formula.status().message());
    return {200, "{\"formula\":" + ui::json_string(*formula) + "}"};
  }

  // Where the values of quillo's cells came from (requests/provenance.h),
  // each record with "stale" set when its value is older than the `stale`
  // parameter's minutes (60 unless given) or was never answered.
  ui::ApiReply provenance(const ui::ApiRequest& req) {
    double minutes = 60;
    if (const auto it = req.params.find("stale"); it != req.params.end()) {
      char* end = nullptr;
      const double v = std::strtod(it->second.c_str(), &end);
      if (end == it->second.c_str() || *end != '\0' || !(v >= 0)) {
        return error_reply(400, "stale must be a number of minutes");
      }
      minutes = v;
    }
    const std::int64_t now = wall_clock_ms();
    const std::vector<ProvenanceRecord> records = m_session.provenance(*m_book);
    std::set<std::tuple<std::string, std::int64_t, std::int64_t>> stale;
    for (const ProvenanceRecord& r : older_than(records, minutes, now)) {
      stale.emplace(r.sheet, r.row, r.col);
    }
    auto field = [](std::string_view name, const std::string& value) {
      return "\"" + std::string(name) + "\":" + ui::json_string(value);
    };
    std::string json = "{\"records\":[";
    for (std::size_t i = 0; i < records.size(); ++i) {
      const ProvenanceRecord& r = records[i];
      if (i) json += ",";
      json += "{" + field("sheet", r.sheet) + ",\"row\":" + std::to_string(r.row) +
              ",\"col\":" + std::to_string(r.col);
      if (!r.block.empty()) {
        json += ",\"block\":[" + std::to_string(r.block.top) + "," + std::to_string(r.block.left) +
                "," + std::to_string(r.block.bottom()) + "," + std::to_string(r.block.right()) +
                "]";
      }
      json += "," + field("kind", std::string(kind_name(r.kind))) + "," +
              field("instrument", r.instrument) + "," + field("field", r.field);
      if (r.fetch) {
        const FetchInfo& f = *r.fetch;
        json += "," + field("source", f.source) + "," + field("category", f.category) + "," +
                field("address", f.address) + "," + field("answered", iso_utc(f.answered_ms)) +
                ",\"status\":" + std::to_string(f.http_status) +
                ",\"attempts\":" + std::to_string(f.attempts) + "," + field("failure", f.failure) +
                "," + field("failed", iso_utc(f.failed_ms));
      } else {
        json += "," + field("computed", iso_utc(r.computed_ms)) + "," + field("inputs", r.inputs) +
                "," + field("formula", r.formula);
      }
      json += std::string(",\"stale\":") +
              (stale.count({r.sheet, r.row, r.col}) ? "true" : "false") + "}";
    }
    json += "]}";
    return {200, json};
  }

  // The user typed text into a cell: a formula when it starts with "=",
  // nothing clears the cell, anything else is entered as typed (numbers
  // and dates become numbers).
  ui::ApiReply edit(const ui::ApiRequest& req) {
    auto range = range_of(req);
    if (!range.ok()) return error_reply(400, range.status().message());
    const spreadsheet::SheetId id = sheet_param(req);
    if (very_hidden(id)) return very_hidden_reply();
    const std::string& text = req.body;
    if (const auto* s = m_session.app().model().sheet(id)) {
      const std::int32_t r = *int_param(req, "row", 1, spreadsheet::kMaxRows);
      const std::int32_t c = *int_param(req, "col", 1, spreadsheet::kMaxCols);
      for (const spreadsheet::Box& m : s->look.merges) {
        if (r < m.r1 || r > m.r2 || c < m.c1 || c > m.c2 || (r == m.r1 && c == m.c1)) continue;
        return error_reply(400, "that cell lies under the merged cells " +
                                    spreadsheet::column_letters(m.c1) + std::to_string(m.r1) + ":" +
                                    spreadsheet::column_letters(m.c2) + std::to_string(m.r2));
      }
    }
    const Status st = write_cell_text(**range, text);
    if (!st.ok()) return error_reply(400, st.message());
    ++m_edits;
    push_changes();
    // The cell's text as it is now kept (a number typed "1.50" reads
    // "1.5"): the page's undo checks cells against it.
    auto now = cell_edit_text(**range);
    return {200, "{\"ok\":true,\"formula\":" + ui::json_string(now.ok() ? *now : text) + "}"};
  }

  // The page's edits of a block of cells (a clear, a paste, or the undo
  // or redo of one) in one call, all or nothing (ui_edits.h): the block is
  // sheet, r1, c1, r2, c2; the body gives each cell's text.
  ui::ApiReply edits(const ui::ApiRequest& req) {
    const auto i = int_param(req, "sheet", 0, 1 << 20);
    const auto r1 = int_param(req, "r1", 1, spreadsheet::kMaxRows);
    const auto c1 = int_param(req, "c1", 1, spreadsheet::kMaxCols);
    const auto r2 = int_param(req, "r2", 1, spreadsheet::kMaxRows);
    const auto c2 = int_param(req, "c2", 1, spreadsheet::kMaxCols);
    if (!i || !r1 || !c1 || !r2 || !c2 || *r2 < *r1 || *c2 < *c1) {
      return error_reply(400, "edits needs sheet and a block r1, c1, r2, c2 within the sheet");
    }
    const spreadsheet::Box box{*r1, *c1, *r2, *c2};
    auto edit = parse_block_edit(req.body, box.area());
    if (!edit.ok()) return error_reply(400, edit.status().message());
    auto ws = m_book->worksheet(*i + 1);
    if (!ws.ok()) return error_reply(400, ws.status().message());
    const spreadsheet::SheetId id = sheet_param(req);
    if (very_hidden(id)) return very_hidden_reply();
    const spreadsheet::Sheet* s = m_session.app().model().sheet(id);
    BlockEditReply reply =
        apply_block_edit(**ws, box, *edit, s ? s->look.merges : std::vector<spreadsheet::Box>{});
    if (reply.wrote) {
      ++m_edits;
      push_changes();
    }
    return {reply.status, std::move(reply.json)};
  }

  // The page's cell cursor moved: the add-in's active cell follows it.
  ui::ApiReply select(const ui::ApiRequest& req) {
    const auto* b = model_book();
    const auto i =
        int_param(req, "sheet", 0, b ? static_cast<std::int32_t>(b->sheets.size()) - 1 : -1);
    const auto r = int_param(req, "row", 1, spreadsheet::kMaxRows);
    const auto c = int_param(req, "col", 1, spreadsheet::kMaxCols);
    if (!i || !r || !c) return error_reply(400, "select needs sheet, row and col");
    m_cursors[m_acting] = {*i, *r, *c};
    if (auto ws = m_book->worksheet(*i + 1); ws.ok()) (void)(*ws)->activate();
    return {200, "{\"ok\":true}"};
  }

  // The state of the dialogs and messages after a user's action: the page
  // that acted now has the dialogs its action opened.
  ui::ApiReply after_action() {
    if (!m_dialog_page && any_dialog_shown(m_session.state())) m_dialog_page = m_acting;
    push_changes();
    return {200, stamped(dialogs_for(m_acting))};
  }

  ui::ApiReply dialogs_elsewhere() {
    return error_reply(409,
                       "a dialog of the add-in is open in another tab of this workbook; finish "
                       "or close it there first");
  }

  ui::ApiReply menu(const ui::ApiRequest& req) {
    host::CommandBars& bars = m_session.app().command_bars();
    if (req.method == "POST") {
      if (!dialogs_belong_to(m_acting)) return dialogs_elsewhere();
      auto path = req.params.find("path");
      const Status st = path == req.params.end() ? Status(StatusCode::InvalidArgument, "no path")
                                                 : click_menu(bars, path->second);
      if (!st.ok()) return error_reply(400, st.message());
      m_menu_page = m_acting;
      return after_action();
    }
    return {200, menu_json(bars)};
  }

  ui::ApiReply dialog(const ui::ApiRequest& req) {
    auto param = [&](const char* name) {
      auto it = req.params.find(name);
      return it == req.params.end() ? std::string() : it->second;
    };
    if (!dialogs_belong_to(m_acting)) return dialogs_elsewhere();
    const Status st = dialog_action(m_session.state(), param("dialog"), param("control"),
                                    param("action"), req.body);
    if (!st.ok()) return error_reply(400, st.message());
    return after_action();
  }

  // The price-history tables of a sheet and the indicator series beside
  // them, as a chart beside each table draws them: for every fhistory
  // formula whose table has been written, the dates of its first column,
  // its CLOSE column, and every column to the right of the table that holds
  // numbers in the table's rows (indicators write their series there, a
  // formula in the header row naming it).
  ui::ApiReply charts(const ui::ApiRequest& req) {
    const spreadsheet::SheetId sheet = sheet_param(req);
    if (!sheet) return error_reply(400, "charts needs sheet");
    spreadsheet::Model& model = m_session.app().model();
    std::vector<std::pair<std::int32_t, std::int32_t>> tables;
    model.for_each_cell(sheet, spreadsheet::Box{1, 1, spreadsheet::kMaxRows, spreadsheet::kMaxCols},
                        [&](std::int32_t r, std::int32_t c, const spreadsheet::Cell&) {
                          if (!model.has_formula(sheet, r, c)) return;
                          std::string f =
                              model.formula_text(sheet, r, c, spreadsheet::Notation::A1);
                          for (char& ch : f)
                            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
                          if (f.find("fhistory(") != std::string::npos) tables.emplace_back(r, c);
                        });
    // Each chart is titled with the instrument and sampling its formula
    // asked for, as quillo noted them when it asked.
    const std::vector<ProvenanceRecord> records =
        tables.empty() ? std::vector<ProvenanceRecord>{} : m_session.provenance(*m_book);
    const std::string sheet_name = model.sheet_name(sheet);
    std::string out;
    for (const auto& [r, c] : tables) {
      std::string title = "Price history of " + spreadsheet::cell_a1(r, c);
      for (const ProvenanceRecord& rec : records) {
        if (rec.kind == FilledKind::Table && rec.sheet == sheet_name && rec.row == r &&
            rec.col == c && !rec.instrument.empty()) {
          title = chart_title(rec.instrument, rec.field);
        }
      }
      const std::string chart = chart_json(model, sheet, r, c, title);
      if (chart.empty()) continue;
      if (!out.empty()) out += ',';
      out += chart;
    }
    return {200, "{\"charts\":[" + out + "]}"};
  }

  // One chart; empty when the formula's table is not (yet) there: its
  // header row (below the formula) must name DATE first.
  // "IBM — daily": the instrument and the sampling of a table's fields
  // ("DATE,CLOSE, period d, from ... to ...").
  static std::string chart_title(const std::string& instrument, const std::string& field) {
    std::string period;
    if (const auto at = field.find(", period "); at != std::string::npos) {
      period = field.substr(at + 9, field.find(", from ", at) - (at + 9));
    }
    static const std::map<std::string, std::string> kNames = {
        {"d", "daily"}, {"w", "weekly"}, {"m", "monthly"}, {"q", "quarterly"}, {"y", "yearly"}};
    std::string key = period;
    for (char& ch : key) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    const auto name = kNames.find(key);
    if (name != kNames.end()) period = name->second;
    // A formula that left the sampling out asks for daily prices.
    if (period.empty()) period = "daily";
    return instrument + " \xe2\x80\x94 " + period;
  }

  static std::string chart_json(const spreadsheet::Model& model, spreadsheet::SheetId sheet,
                                std::int32_t r, std::int32_t c, const std::string& title) {
    constexpr std::int32_t kMaxRows = 20000;
    const std::int32_t head = r + 1;
    auto text_at = [&](std::int32_t row, std::int32_t col) {
      const Value v = model.value(sheet, row, col);
      return v.is_empty() ? std::string() : shown_text(v, model.number_format(sheet, row, col));
    };
    if (!text::iequals(text_at(head, c), "date")) return {};
    std::int32_t last_row = head;
    while (last_row - head < kMaxRows && model.value(sheet, last_row + 1, c).is_number())
      ++last_row;
    if (last_row == head) return {};
    std::int32_t last_col = c;
    while (!model.value(sheet, head, last_col + 1).is_empty()) ++last_col;
    auto column = [&](std::int32_t col) {
      std::string values;
      bool any = false;
      for (std::int32_t row = head + 1; row <= last_row; ++row) {
        const Value v = model.value(sheet, row, col);
        if (row > head + 1) values += ',';
        if (v.is_number() && std::isfinite(v.number())) {
          values += text::format_number_15(v.number());
          any = true;
        } else {
          values += "null";
        }
      }
      return any ? "[" + values + "]" : std::string();
    };
    std::string series;
    auto add = [&](const std::string& label, const std::string& values) {
      if (values.empty()) return;
      if (!series.empty()) series += ',';
      series += "{\"label\":" + ui::json_string(label) + ",\"values\":" + values + "}";
    };
    for (std::int32_t col = c + 1; col <= last_col; ++col) {
      if (text::iequals(text_at(head, col), "close")) add(text_at(head, col), column(col));
    }
    // Indicator series: the columns right of the table, up to the first
    // one without numbers; a column without a caption continues the one
    // before it (the second line of MACD, the lower band).
    std::string label = "series";
    std::int32_t last_used = last_col;
    for (std::int32_t col = last_col + 1; col <= last_col + 16; ++col) {
      const std::string values = column(col);
      if (values.empty()) {
        if (col == last_col + 1) continue;  // one empty column may separate them
        break;
      }
      const std::string caption = text_at(head, col);
      label = caption.empty() ? label + " (2)" : caption;
      add(label, values);
      last_used = col;
    }
    const std::string x = column(c);
    if (x.empty() || series.empty()) return {};
    return "{\"row\":" + std::to_string(head) + ",\"col\":" + std::to_string(c) +
           ",\"after\":" + std::to_string(last_used + 1) + ",\"title\":" + ui::json_string(title) +
           ",\"x\":" + x + ",\"series\":[" + series + "]}";
  }

  // The link wizard opens (from the menu, or the page) and closes.
  ui::ApiReply link(const ui::ApiRequest& req) {
    auto action = req.params.find("action");
    if (action != req.params.end() && action->second == "open") {
      m_link_page = m_acting;
    } else if (m_link_page == m_acting) {
      m_link_page.reset();
    }
    return after_action();
  }

  // Fetches the page to mark a value on through the engine's request
  // manager (its transport, proxy and time-outs); the page asks for the
  // answer with link_page.
  ui::ApiReply link_fetch(const ui::ApiRequest& req) {
    auto url = req.params.find("url");
    if (url == req.params.end() || !host::is_web_address(url->second)) {
      return error_reply(400, "enter a web address (http:// or https://)");
    }
    EngineFacade* engine = m_session.state().engine();
    if (!engine) return error_reply(503, "the add-in is not loaded");
    auto fetch = std::make_shared<PageFetch>();
    fetch->id = ++m_fetches;
    m_fetch = fetch;
    if (!engine->fetch_page(kUiPageProcessor, url->second,
                            [fetch](const std::string& text, std::int32_t, std::int16_t status,
                                    const std::string& why) {
                              if (fetch->answered) return;
                              fetch->answered = true;
                              fetch->status = status;
                              fetch->text = text;
                              fetch->message = why;
                            })) {
      return error_reply(500, "the request manager has no channel for web links");
    }
    return {200, "{\"fetch\":" + std::to_string(fetch->id) + "}"};
  }

  ui::ApiReply link_page(const ui::ApiRequest& req) {
    auto id = req.params.find("fetch");
    if (!m_fetch || id == req.params.end() || id->second != std::to_string(m_fetch->id)) {
      return error_reply(404, "no such page fetch");
    }
    const PageFetch& f = *m_fetch;
    if (!f.answered) return {200, "{\"state\":\"waiting\"}"};
    if (f.status == http::kTransportFailure) {
      return {200, "{\"state\":\"failed\",\"error\":" +
                       ui::json_string("the page could not be fetched: " + f.message) + "}"};
    }
    if (f.status < 200 || f.status > 299) {
      return {200, "{\"state\":\"failed\",\"error\":" +
                       ui::json_string("the page answered HTTP " + std::to_string(f.status)) + "}"};
    }
    return {200, "{\"state\":\"page\",\"html\":" + ui::json_string(f.text) + "}"};
  }

  // The user marked a value and pressed create: the body holds the outer
  // HTML of the selection's parent element (its first parent_length bytes)
  // and then that of the page's body; parent_offset, when given, is where
  // the element starts in the body's HTML (bytes). The wizard stores the link and
  // writes the formula at the cell cursor; what went wrong it says in a
  // message box.
  ui::ApiReply link_create(const ui::ApiRequest& req) {
    auto param = [&](const char* name) {
      auto it = req.params.find(name);
      return it == req.params.end() ? std::string() : it->second;
    };
    const auto parent_length = int_param(req, "parent_length", 0, 1 << 30);
    EngineFacade* engine = m_session.state().engine();
    if (!parent_length || static_cast<std::size_t>(*parent_length) > req.body.size()) {
      return error_reply(400, "link_create needs parent_length within the body");
    }
    if (!engine) return error_reply(503, "the add-in is not loaded");
    LinkRequest link;
    link.has_selection = *parent_length > 0;
    link.parent_html = req.body.substr(0, static_cast<std::size_t>(*parent_length));
    link.body_html = req.body.substr(static_cast<std::size_t>(*parent_length));
    // Where the page found the element in its body's HTML: of two identical
    // elements, the one selected is linked.
    if (const auto at = int_param(req, "parent_offset", 0, 1 << 30)) {
      link.parent_offset = static_cast<std::size_t>(*at);
    }
    link.url = param("url");
    link.name = param("name");
    link.cell = [this, page = m_acting]() { return cursor_cell(page); };
    engine->load_stored_links(*m_book);
    const LinkMade made = engine->create_link(std::move(link), m_messages);
    const bool stored = made.stored;
    if (stored) {
      ++m_edits;
      if (m_link_page == m_acting) m_link_page.reset();
    }
    push_changes();
    return {200, "{\"stored\":" + std::string(stored ? "true" : "false") +
                     ",\"name\":" + ui::json_string(made.name) +
                     ",\"value\":" + ui::json_string(made.value) + "}"};
  }

  // Saves over the workbook's file, atomically, as the command line does;
  // but not over changes another program (or another `quillo ui`) saved to
  // it since it was loaded or saved here, unless the user chose to
  // overwrite them (overwrite=1): that is answered 409 with "conflict".
  // The overwrite covers the file the user was told of, not one saved after
  // it, nor one put there while this save is written.
  ui::ApiReply save(const ui::ApiRequest& req) {
    auto overwrite = req.params.find("overwrite");
    const bool overwriting = overwrite != req.params.end() && overwrite->second == "1";
    const SaveLock lock(m_path);
    const FileStamp now = file_stamp(m_path);
    if (!m_path.empty() && now != m_stamp && (!overwriting || now != m_told_stamp)) {
      return save_conflict(now);
    }
    m_save_over = now;
    m_save_refused = false;
    (void)m_session.write_provenance(*m_book);
    const Status st = m_book->save();
    m_save_over.reset();
    if (!st.ok() && m_save_refused) return save_conflict(file_stamp(m_path));
    if (!st.ok()) return error_reply(500, st.message());
    m_saved_edits = m_edits;
    m_stamp = m_seen_stamp = saved_stamp(m_session.app().model(), m_book_id, m_path);
    m_changed_on_disk = false;
    push_changes();
    return {200, "{\"saved\":" + ui::json_string(m_book->full_name().value_or("")) + "}"};
  }

  ui::ApiReply save_conflict(const FileStamp& told) {
    m_told_stamp = told;
    m_changed_on_disk = true;
    push_changes();
    return {409, "{\"error\":" +
                     ui::json_string("the file was changed by another program since it was "
                                     "opened or saved here") +
                     ",\"conflict\":true}"};
  }

  // Reads the file again: its cells replace the workbook's, so the user's
  // edits since the last save are lost (the user chose that).
  ui::ApiReply reload() {
    if (m_path.empty()) return error_reply(400, "the workbook has no file");
    const FileStamp stamp = file_stamp(m_path);
    if (const Status st = take_in(stamp); !st.ok()) {
      return error_reply(500, "the file cannot be read: " + st.message());
    }
    push_changes();
    return {200, "{\"reloaded\":true}"};
  }

  Session& m_session;
  host::WorkbookPtr m_book;
  PageMessages& m_messages;
  std::string m_acting;                               // the page whose call runs now
  std::map<std::string, std::int64_t> m_seen;         // when each page last called or streamed
  std::map<std::string, Active> m_cursors;            // each page's cell cursor
  std::map<std::string, std::string> m_told_dialogs;  // by page
  std::uint64_t m_dialogs_made = 0;                   // the number of the last dialog state made
  std::optional<std::string> m_dialog_page;           // the page the add-in's dialogs belong to
  std::optional<std::string> m_link_page;             // the page whose link wizard is open
  std::string m_path;
  FileStamp m_stamp;                     // the file as loaded or last saved or taken in
  FileStamp m_seen_stamp;                // the file as last looked at
  std::optional<FileStamp> m_save_over;  // the file the save under way may replace
  bool m_save_refused = false;           // the save under way found another file there
  FileStamp m_told_stamp;  // the changed file the pages were told of (Overwrite replaces it)
  bool m_changed_on_disk = false;
  bool m_told_changed = false;
  std::uint64_t m_taken_in = 0;  // times the file's cells were taken in (reloads too)
  std::uint64_t m_told_taken_in = 0;
  std::int64_t m_next_disk_check = 0;
  spreadsheet::BookId m_book_id = 0;
  ui::WebServer* m_server = nullptr;
  std::map<std::string, Window> m_windows;
  std::uint64_t m_edits = 0;
  // The "cells" events sent to the pages, numbered.
  std::uint64_t m_cells_sent = 0;
  std::uint64_t m_saved_edits = 0;
  bool m_told_dirty = false;
  std::string m_told_sheets;  // the sheet list the pages were last sent
  std::uint64_t m_updates_seen = 0;
  std::int64_t m_arrived_ms = 0;  // when values last arrived (wall clock)
  std::int64_t m_told_arrived = 0;
  std::int64_t m_next_arrived_told = 0;
  std::string m_menu_page;  // the page that last clicked the add-in's menu
  std::shared_ptr<PageFetch> m_fetch;
  std::uint64_t m_fetches = 0;
};

}  // namespace

std::string shipped_web_folder(const std::string& module_folder) {
  const fs::path candidates[] = {fs::path(module_folder) / ".." / "share" / "quillo" / "web",
                                 fs::path(QUILLO_WEB_DIR)};
  for (const fs::path& c : candidates) {
    std::error_code ec;
    if (fs::exists(c / "index.html", ec)) return fs::weakly_canonical(c, ec).string();
  }
  return {};
}

int run_ui(const UiOptions& options, std::ostream& out, std::ostream& err) {
  if (options.port < 0 || options.port > 65535) {
    err << kUiCommand << ": --port must be between 0 and 65535\n";
    return 2;
  }
  const std::string web_root =
      options.web_root.empty()
          ? shipped_web_folder(fs::path(own_module_path()).parent_path().string())
          : options.web_root;
  std::error_code ec;
  if (web_root.empty() || !fs::exists(fs::path(web_root) / "index.html", ec)) {
    err << kUiCommand << ": the browser front end is not built (no index.html in "
        << (web_root.empty() ? "share/quillo/web or web/dist" : web_root)
        << "); scripts/setup.sh --web builds it\n";
    return 2;
  }
  host::StopRequests stops;
  if (!stops.ok()) {
    err << kUiCommand << ": cannot watch for stop signals\n";
    return 2;
  }
  auto token = ui::new_access_token();
  if (!token.ok()) {
    err << kUiCommand << ": " << token.status().message() << "\n";
    return 2;
  }
  PageMessages messages;
  SessionOptions so;
  so.command = kUiCommand;
  so.messages = &messages;
  Session session(so, err);
  const host::WorkbookPtr book = session.open_ready(options.book);
  if (!book) return 2;
  WorkbookApi api(session, book, messages);
  ui::WebServer server(session.loop(), *token, web_root,
                       [&api](const ui::ApiRequest& req) { return api.handle(req); });
  if (const Status st = server.start(options.port); !st.ok()) {
    err << kUiCommand << ": " << st.message() << "\n";
    return 2;
  }
  api.set_server(&server);
  host::PollLoop& loop = session.loop();
  const host::TimerId watch = loop.set_timer(kWatchMs, [&] { api.push_changes(); });
  session.calculate_full();
  out << "quillo ui: " << server.address() << std::endl;
  // The browser gets the address through a page only this user can read:
  // as an argument, every user could read the token in the process list.
  // The page goes when the server does.
  std::optional<host::LaunchPage> launch;
  if (options.open_browser) {
    launch.emplace(server.address());
    Status st = launch->status();
    if (st.ok()) st = host::XdgOpenBrowser().open_page(*launch);
    if (!st.ok())
      err << kUiCommand << ": " << st.message() << "; open the address above yourself\n";
  }
  session.run_until_stopped(stops);
  loop.kill_timer(watch);
  api.set_server(nullptr);
  server.stop();
  launch.reset();
  if (api.dirty())
    out << "stopped: changes since the last save were not saved" << std::endl;
  else
    out << "stopped" << std::endl;
  return 0;
}

}  // namespace quillo::cli
