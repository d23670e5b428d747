#include "cli/assist_commands.h"

#include <ostream>

#include "assistants/assistants.h"
#include "cli/merged_cells.h"
#include "cli/session.h"
#include "common/dates.h"
#include "common/text.h"

namespace quillo::cli {

namespace {

// A session with the add-in connected and the assistants on its engine; the
// dialogs' message boxes are kept, to be reported as the command's errors.
class AssistSession {
 public:
  AssistSession(const char* command, std::ostream& err)
      : m_command(command), m_err(err), m_session(options(command), err) {}

  // False (and said why) when the add-in has no definitions to work with.
  bool ready() {
    EngineFacade* engine = m_session.state().engine();
    if (engine == nullptr || engine->definitions().datasources().empty()) {
      m_err << m_command << ": no data sources: the definitions (ds.xml) did not load\n";
      return false;
    }
    assistants::Workplace place{m_session.app(),
                                *engine,
                                m_messages,
                                [this]() -> Result<host::RangePtr> {
                                  if (!m_cell) return Status::failed("no cell");
                                  return m_cell;
                                },
                                {}};
    m_assistants = std::make_unique<assistants::Assistants>(std::move(place));
    return true;
  }

  // Prints the dialogs' messages; true when there were any.
  bool report_messages() {
    for (const auto& m : m_messages.messages) m_err << m_command << ": " << m.text << "\n";
    const bool any = !m_messages.messages.empty();
    m_messages.messages.clear();
    return any;
  }
  int fail(const std::string& why) {
    report_messages();
    m_err << m_command << ": " << why << "\n";
    return 2;
  }

  // Opens the workbook and finds the target cell ("B2" or "Sheet!B2").
  bool open(const std::string& path, const std::string& cell) {
    auto book = m_session.open(path);
    if (!book.ok()) {
      m_err << m_command << ": " << path << ": " << book.status().message() << "\n";
      return false;
    }
    m_book = *book;
    std::string address = cell;
    Result<host::WorksheetPtr> sheet = m_book->active_sheet();
    if (const std::size_t bang = cell.rfind('!'); bang != std::string::npos) {
      std::string name = cell.substr(0, bang);
      if (name.size() >= 2 && name.front() == '\'' && name.back() == '\'') {
        name = name.substr(1, name.size() - 2);
      }
      sheet = m_book->worksheet(name);
      address = cell.substr(bang + 1);
    }
    if (!sheet.ok()) {
      m_err << m_command << ": " << cell << ": no such sheet\n";
      return false;
    }
    auto range = (*sheet)->range(address);
    if (!range.ok()) {
      m_err << m_command << ": " << cell << ": not a cell address\n";
      return false;
    }
    m_cell = *range;
    return true;
  }

  int save(std::ostream& out) {
    // The block's quillo formulas are not answered yet: saved empty.
    m_session.empty_while_waiting(*m_book);
    const Status saved = m_book->save();
    if (!saved.ok()) {
      m_err << m_command << ": " << saved.message() << "\n";
      return 1;
    }
    out << "saved " << m_book->full_name().value_or("") << "\n";
    return 0;
  }

  assistants::Assistants& assistants() { return *m_assistants; }
  const host::RangePtr& cell() const { return m_cell; }
  Session& session() { return m_session; }

 private:
  static SessionOptions options(const char* command) {
    SessionOptions o;
    o.command = command;
    return o;
  }

  const char* m_command;
  std::ostream& m_err;
  Session m_session;
  host::RecordingMessages m_messages;
  host::WorkbookPtr m_book;
  host::RangePtr m_cell;
  std::unique_ptr<assistants::Assistants> m_assistants;
};

// The row of a list whose column 0 equals text (letter case ignored), or -1.
std::int32_t row_of(const host::Control& list, std::string_view text) {
  for (std::int32_t i = 0; i < list.list_count(); ++i) {
    if (text::iequals(list.item(i), text::trim(text))) return i;
  }
  return -1;
}

std::string joined(const std::vector<std::string>& items) {
  std::string s;
  for (const std::string& i : items) s += (s.empty() ? "" : ", ") + i;
  return s;
}

}  // namespace

int run_search(const SearchOptions& options, std::ostream& out, std::ostream& err) {
  AssistSession as("quillo search", err);
  if (!as.ready()) return 2;
  assistants::form_search1& f = as.assistants().open_search();
  std::int32_t source = 0;
  if (!options.source.empty()) {
    source = -1;
    const auto& sources = as.session().state().engine()->definitions().datasources();
    for (std::size_t i = 0; i < sources.size(); ++i) {
      if (text::iequals(sources[i].name, options.source) ||
          text::iequals(sources[i].code, options.source)) {
        source = static_cast<std::int32_t>(i);
        break;
      }
    }
    if (source < 0) {
      std::vector<std::string> names;
      for (const auto& s : sources) names.push_back(s.code + " (" + s.name + ")");
      return as.fail("no data source \"" + options.source + "\"; there are " + joined(names));
    }
  }
  f.choose("source_list", source);
  f.type("instrument_name", options.text);
  // The button is what a user presses; a source without a search page has
  // it disabled, and do_search says why.
  f.do_search();
  if (as.report_messages()) return 2;
  const auto timeout = static_cast<std::int64_t>(options.timeout_seconds * 1000);
  if (!as.session().loop().run_until([&f] { return !f.searching_now(); }, timeout)) {
    return as.fail("no answer from the search page within " +
                   text::format_number(options.timeout_seconds) + " s");
  }
  if (f.status_row()) {
    const std::string row = f.resultlist.item(0, 0);
    if (row == assistants::kNoResults) {
      err << "quillo search: " << row << "\n";
      return 1;
    }
    return as.fail(row);
  }
  for (std::int32_t i = 0; i < f.resultlist.list_count(); ++i) {
    out << f.resultlist.item(i, 0) << "\t" << f.resultlist.item(i, 1) << "\t"
        << f.resultlist.item(i, 2) << "\n";
  }
  if (f.resultlist.list_count() == 0) {
    err << "quillo search: " << assistants::kNoResults << "\n";
    return 1;
  }
  return 0;
}

int run_insert_single(const InsertSingleOptions& options, std::ostream& out, std::ostream& err) {
  AssistSession as("quillo insert single", err);
  if (options.fields.empty()) return as.fail("--fields names no field");
  if (!as.ready() || !as.open(options.book, options.cell)) return 2;
  // The source is the first field's; the tree lists that source's fields.
  const std::string first(text::trim(options.fields[0]));
  const std::string code = first.substr(0, first.find('.'));
  const auto& sources = as.session().state().engine()->definitions().datasources();
  std::int32_t source = -1;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    if (text::iequals(sources[i].code, code)) source = static_cast<std::int32_t>(i);
  }
  if (source < 0) return as.fail("no data source \"" + code + "\" (field " + first + ")");

  const MergedCellsWatch merged(options.book, *as.cell());
  assistants::wiz1& w1 = as.assistants().open_single_item();
  w1.choose("source_list", source);
  std::string ids;
  for (const std::string& id : options.ids) ids += (ids.empty() ? "" : ",") + id;
  w1.type("dlg_ids", ids);
  w1.click("button_next");
  assistants::wiz2* w2 = as.assistants().single_step2();
  if (w2 == nullptr || !w2->visible) return as.fail("no instrument ids given (--ids)");
  for (const std::string& field : options.fields) {
    std::int32_t node = -1;
    for (std::size_t n = 0; n < w2->ftree.nodes.size() && node < 0; ++n) {
      if (text::iequals(w2->ftree.nodes[n].key, text::trim(field))) {
        node = static_cast<std::int32_t>(n);
      }
    }
    if (node < 0) {
      return as.fail("no field \"" + field + "\" in the data source " +
                     sources[static_cast<std::size_t>(source)].code);
    }
    w2->choose_node("ftree", node);
    w2->click("button_add");
  }
  w2->click("button_next");
  assistants::wiz3& w3 = *as.assistants().single_step3();
  for (const auto& [name, value] : options.params) {
    std::int32_t k = 0;
    for (std::int32_t i = 1; i <= w3.parameter_count() && k == 0; ++i) {
      if (text::iequals(w3.control("mylabel" + std::to_string(i))->caption, text::trim(name)))
        k = i;
    }
    if (k == 0) return as.fail("the fields have no parameter \"" + name + "\"");
    const std::string dropdown = "mydropdown" + std::to_string(k);
    const std::int32_t row = row_of(*w3.control(dropdown), value);
    if (row < 0) {
      return as.fail("parameter " + name + " has no value \"" + value + "\"; choose one of " +
                     joined(w3.control(dropdown)->column()));
    }
    w3.choose(dropdown, row);
  }
  if (options.orientation != "rows" && options.orientation != "columns") {
    return as.fail("--orientation is rows or columns");
  }
  w3.choose("orientation", options.orientation == "rows" ? 0 : 1);
  w3.click("button_finish");
  if (w3.visible) return as.fail("nothing was written");
  // Formulas under a merge would be hidden by it: nothing is saved.
  if (const auto area = merged.written()) {
    return as.fail("the block would lie over the merged cells " +
                   spreadsheet::box_a1(*area, false) + "; nothing was saved");
  }
  return as.save(out);
}

int run_insert_history(const InsertHistoryOptions& options, std::ostream& out, std::ostream& err) {
  AssistSession as("quillo insert history", err);
  const auto from = parse_iso_date(options.from);
  const auto to = parse_iso_date(options.to);
  if (!from || !to) return as.fail("--from and --to take dates as YYYY-MM-DD");
  const std::vector<std::string> samplings = {"d", "w", "m"};
  const auto sampling =
      std::find(samplings.begin(), samplings.end(), text::lower(options.sampling));
  if (sampling == samplings.end()) return as.fail("--sampling is d, w or m");
  const std::string sort = text::lower(options.sort);
  if (sort != "asc" && sort != "desc") return as.fail("--sort is asc or desc");
  // The block's first cell gets the id as given: no id would write an empty
  // cell over what is there, and a list would quietly use its first id.
  const std::vector<std::string> ids = assistants::split_ids(options.id);
  if (ids.empty()) return as.fail("no instrument id given (--id)");
  if (ids.size() > 1) {
    return as.fail("--id takes one instrument id, not \"" + options.id + "\"");
  }
  if (!as.ready() || !as.open(options.book, options.cell)) return 2;

  const MergedCellsWatch merged(options.book, *as.cell());
  assistants::wizard_step_1& s1 = as.assistants().open_history();
  s1.type("instrument", options.id);
  s1.click("button_next");
  assistants::form_history_options& o = *as.assistants().history_options();
  const auto set_date = [&o](const char* prefix, double serial) {
    const CivilDate d = civil_from_serial(serial);
    const std::string p(prefix);
    o.choose(p + "_day", d.day - 1);
    o.choose(p + "_month", d.month - 1);
    const std::int32_t year = row_of(*o.control(p + "_year"), std::to_string(d.year));
    o.choose(p + "_year", year);
    return year >= 0;
  };
  if (!set_date("start", *from) || !set_date("end", *to)) {
    const auto& years = o.start_year;
    return as.fail("the assistant offers the years " + years.item(years.list_count() - 1) + " to " +
                   years.item(0));
  }
  o.choose("sampling", static_cast<std::int32_t>(sampling - samplings.begin()));
  o.choose("sort", sort == "asc" ? 0 : 1);
  o.choose("orientation", options.transpose ? 1 : 0);
  o.choose("header", options.no_header ? 1 : 0);
  o.click("button_ok");
  if (o.visible) return as.fail("the dates were not accepted");
  assistants::wizard_step_2& s2 = *as.assistants().history_step2();
  for (const std::string& field : options.fields) {
    const std::int32_t row = row_of(s2.available, field);
    if (row < 0) {
      return as.fail("no history field \"" + field + "\"; choose from " +
                     joined(s2.available.column()));
    }
    s2.choose("available", row);
    s2.click("button_add");
  }
  s2.click("button_finish");
  if (s2.visible) return as.fail("nothing was written");
  // An argument under a merge would be hidden by it: nothing is saved.
  if (const auto area = merged.written()) {
    return as.fail("the block would lie over the merged cells " +
                   spreadsheet::box_a1(*area, false) + "; nothing was saved");
  }
  return as.save(out);
}

}  // namespace quillo::cli
