// weblink_wizard: the model behind link creation. A page view (the browser
// interface, or a test) shows a page; when the user has selected a value
// and presses create, it hands the wizard the page's HTML and the
// selection's element. The wizard finds the value in the page, derives the
// tag names in front of it (start marker), after it (end marker) and a chain
// of tag names before it (the references) such that cutting any copy of the
// page with them (clsparse::convert3, as wlinkparse does) yields the value
// again, stores them on the active workbook's "weblinks_data" sheet and
// writes the wlink formula into the active cell.
//
// Only tag names are kept, never attributes, so a link survives attribute
// values that change from one copy of the page to the next.
//
// Event-loop thread only. Failures are shown through the message sink, with
// the progress window already closed; nothing is written then. Writing
// the row and the formula evaluates formulas; the wizard holds no reference
// into the engine's tables across those writes.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/application.h"
#include "host/dialog.h"
#include "host/messages.h"
#include "requests/cls_weblinkroutines.h"

namespace quillo {

// What a page view hands the wizard when the user presses create.
struct PageSelection {
  bool has_selection = false;  // false: nothing is selected on the page
  std::string body_html;       // outer HTML of the document's body
  std::string parent_html;     // outer HTML of the selection's parent element
  // Where parent_html starts in body_html (0-based), when the page view
  // knows it; otherwise the first place the same HTML stands is taken, which
  // for an element repeated verbatim (two cells "<td>5</td>") is the first.
  std::size_t parent_offset = std::string::npos;
};

// The small window shown while the references are searched.
class form_progress final : public host::Dialog {
 public:
  form_progress();
};

class weblink_wizard {
 public:
  // Where the formula goes; unset: A1 of the active sheet.
  using ActiveCell = std::function<Result<host::RangePtr>()>;
  // Told whenever the progress window is shown or closed.
  using ProgressObserver = std::function<void(const host::Dialog& progress)>;

  // The caption of the wizard's message boxes.
  static constexpr std::string_view kTitle = "Create Weblink";
  // The reference chain grows one tag name at a time from the value
  // backwards; a chain this long that still does not single the value out
  // is given up, which bounds the search on huge pages.
  static constexpr std::size_t kMaxReferences = 2000;
  // The longest link name, in characters: the name is a text constant of
  // the =wlink("name") formula, and spreadsheets keep those to 255.
  static constexpr std::size_t kMaxNameLength = 255;

  weblink_wizard(cls_weblinkroutines& routines, host::Application& app, host::MessageSink& messages,
                 ActiveCell active_cell = {});

  std::string location;  // the browser's current location (the page address)
  std::string name_box;  // the link name typed by the user; empty: a name is proposed
  // How the link's figures are written; both empty: a comma counts as a
  // decimal sign only where it cannot separate groups of three digits.
  LinkSeparators separators;

  // The create button: finds the value, derives references and markers,
  // stores the link on the active workbook's "weblinks_data" sheet and writes
  // the wlink formula into the active cell. True when stored; otherwise the
  // message was shown through the message sink and nothing was written.
  // The selection's page is prepared where it lies (a page may be large).
  bool create(PageSelection selection);

  // The tag that ends at or before position (1-based): back to the nearest
  // ">", then back to the "<" before it. Records its bounds; "#N/A" when no
  // complete tag lies there.
  std::string htmltag_find(std::string_view html, std::size_t position);
  // The first complete tag from position on (its "<" at or after position,
  // as the last "<" before the first ">" that follows one). Records its
  // start; "#N/A" when there is none.
  std::string htmltag_next(std::string_view html, std::size_t position);
  // Builds markers and references for the value at position (1-based) of the
  // prepared page (upper-cased, table sections removed) and stores the link.
  bool data_parse2(std::string_view page, std::size_t position);

  // The value the last create found: the first text of the selected
  // element, character references decoded, non-breaking spaces as blanks.
  const std::string& value() const { return m_value; }
  // The bounds (1-based) of the last tag located.
  std::size_t tag_start() const { return m_tag_start; }
  std::size_t tag_end() const { return m_tag_end; }
  // The name the last stored link got, and what it stored to find its value.
  const std::string& stored_name() const { return m_stored_name; }
  const std::string& stored_references() const { return m_references; }
  const std::string& stored_startmarker() const { return m_startmarker; }
  const std::string& stored_endmarker() const { return m_endmarker; }
  // False while the progress window is in front.
  bool topmost() const { return m_topmost; }
  form_progress& progress() { return m_progress; }
  void set_progress_observer(ProgressObserver observer) { m_observer = std::move(observer); }

 private:
  void message(std::string_view text);
  void show_progress(bool shown);
  // data_parse2 for a value already named by create.
  bool find_and_store(std::string_view page, std::size_t position);
  Result<host::RangePtr> active_cell() const;
  // The proposed name, or the first "weblink_N" after it that no loaded
  // link of the book and no stored row has.
  std::string free_name(std::string name, const std::string& book,
                        const std::vector<LinkRow>& rows) const;
  // Stores the link row and writes the formula.
  bool store(const std::string& references, const std::string& startmarker,
             const std::string& endmarker);

  cls_weblinkroutines& m_routines;
  host::Application& m_app;
  host::MessageSink& m_messages;
  ActiveCell m_active_cell;
  form_progress m_progress;
  ProgressObserver m_observer;
  std::string m_value;
  std::string m_stored_name;
  std::string m_references;
  std::string m_startmarker;
  std::string m_endmarker;
  std::size_t m_tag_start = 0;
  std::size_t m_tag_end = 0;
  bool m_topmost = true;
};

}  // namespace quillo
