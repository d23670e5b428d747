#include "assistants/form_search1.h"

#include "common/text.h"
#include "common/text_encoding.h"
#include "parse/cls_parsetable.h"
#include "parse/table_extraction.h"

namespace quillo::assistants {

namespace {

constexpr const char* kSearchTitle = "Search";

// A column attribute as a number; anything else (or below 1) hides the column.
std::int32_t column_of(const std::string& attribute) {
  const auto n = text::to_int32(text::trim(attribute));
  return n && *n >= 1 ? *n : 0;
}

}  // namespace

form_search1::form_search1(Workplace& place) : Dialog("form_search1", "Search"), m_place(place) {
  using host::DialogEvent;
  on("CommandButton1", DialogEvent::Click, [this](std::int32_t) { CommandButton1_Click(); });
  on("CommandButton2", DialogEvent::Click, [this](std::int32_t) { CommandButton2_Click(); });
  on("CommandButton3", DialogEvent::Click, [this](std::int32_t) { CommandButton3_Click(); });
  on("CommandButton4", DialogEvent::Click, [this](std::int32_t) { CommandButton4_Click(); });
  on("CommandButton5", DialogEvent::Click, [this](std::int32_t) { CommandButton5_Click(); });
  on("resultlist", DialogEvent::DblClick, [this](std::int32_t) { resultlist_DblClick(); });
  on("instrument_name", DialogEvent::KeyDown,
     [this](std::int32_t key) { instrument_name_KeyDown(key); });
  on("source_list", DialogEvent::Change, [this](std::int32_t) { source_list_Change(); });
}

void form_search1::init() {
  source_list.clear();
  for (const DataSource& s : m_place.engine.definitions().datasources())
    source_list.add_item(s.name);
  source_list.list_index = source_list.list_count() > 0 ? 0 : -1;
  source_list.text = source_list.chosen();
  source_list_Change();
}

const DataSource* form_search1::chosen_source() const {
  const auto& sources = m_place.engine.definitions().datasources();
  const std::int32_t i = source_list.list_index;
  if (i < 0 || static_cast<std::size_t>(i) >= sources.size()) return nullptr;
  return &sources[static_cast<std::size_t>(i)];
}

// A source without a search page cannot be searched: say so at once.
void form_search1::source_list_Change() {
  const DataSource* s = chosen_source();
  CommandButton1.enabled = s != nullptr && s->search.has_value();
}

void form_search1::do_search() {
  const DataSource* source = chosen_source();
  const std::string typed = instrument_name.text;
  resultlist.clear();
  m_status_row = false;
  if (source == nullptr) {
    m_place.message("Please select a data source.", kSearchTitle);
    return;
  }
  if (!source->search || source->search->url.empty()) {
    m_place.message("The data source \"" + source->name + "\" offers no symbol search.",
                    kSearchTitle);
    return;
  }
  if (text::trim(typed).empty()) {
    m_place.message("Please enter the name of an instrument to search for.", kSearchTitle);
    return;
  }
  m_search = source->search;
  // The typed text goes into the address as one query value: a "&", "#"
  // or blank must not end or split it.
  const std::string url = m_search->url + text::encode_query_value(typed);
  searching.show();
  m_waiting = true;
  if (!m_place.engine.send(url, kSearchProcessor, kSearchRequestNumber, "search")) {
    search_results({}, http::kTransportFailure, "the search could not be sent");
  }
}

void form_search1::status(std::string text) {
  resultlist.add_item(std::move(text));
  m_status_row = true;
}

void form_search1::search_results(const std::string& body, std::int16_t http_status,
                                  const std::string& error) {
  searching.hide();
  m_waiting = false;
  resultlist.clear();
  m_status_row = false;
  if (http_status == http::kTransportFailure) {
    status("Error - " + error);
    return;
  }
  if (http_status < 200 || http_status > 299) {
    // An error page is no list of hits, whatever it says.
    status("Error - the search page answered with HTTP status " + std::to_string(http_status));
    return;
  }
  if (!m_search) return;
  if (body.find_first_not_of(" \t\r\n") == std::string::npos) {
    // Even a page without hits is a page; an empty answer is none.
    status("Error - the search page answered with an empty page");
    return;
  }
  const SearchDef& search = *m_search;
  if (!search.noresults.empty() && text::find_ci(body, search.noresults) != 0) {
    status(kNoResults);
    return;
  }
  const auto n = text::to_int32(text::trim(search.tablenumber));
  std::string table = n ? table_cut(body, *n, "", "") : std::string(kNotFound);
  if (table == kNotFound) {
    status(kNoResults);
    return;
  }
  cls_parsetable parsed;
  parsed.set_table(std::move(table));
  parsed.do_parse(false);
  const std::int32_t rows = parsed.get_rownum();
  const std::int32_t columns[3] = {column_of(search.namecolumn), column_of(search.symbolcolumn),
                                   column_of(search.exchangecolumn)};
  for (std::int32_t r = 2; r <= rows; ++r) {
    std::vector<std::string> row(3);
    bool any = false;
    for (std::size_t k = 0; k < 3; ++k) {
      if (columns[k] >= 1) row[k] = parsed.getcell(r, columns[k]).to_text();
      any = any || (!text::trim(row[k]).empty() && row[k] != kNotFound);
    }
    // A row of empty cells (a spacer, a template row) is no hit.
    if (any) resultlist.add_row(std::move(row));
  }
  if (resultlist.list_count() == 0) status(kNoResults);
}

void form_search1::CommandButton4_Click() {
  // Status rows (an error, no results) are no hits and cannot be chosen.
  if (m_status_row) return;
  const std::int32_t r = resultlist.list_index;
  if (r < 0 || r >= resultlist.list_count()) return;
  if (resultlist.item(r, 0) == kNoResults) return;
  selection.add_row({resultlist.item(r, 0), resultlist.item(r, 1)});
}

void form_search1::CommandButton5_Click() {
  selection.remove_item(selection.list_index);
}

void form_search1::instrument_name_KeyDown(std::int32_t key) {
  if (key == host::kKeyEnter) do_search();
}

void form_search1::CommandButton3_Click() {
  const std::int32_t n = selection.list_count();
  if (m_mode == 2) {
    std::string ids;
    for (std::int32_t i = 0; i < n; ++i) {
      if (i > 0) ids += ",";
      ids += selection.item(i, 1);
    }
    if (n > 0 && m_receiver) m_receiver(ids);
    close();
    return;
  }
  if (n > 0) {
    auto at = anchor_of(m_place);
    if (!at.ok()) {
      m_place.message("There is no active cell to write the instrument ids to.", kSearchTitle);
      return;
    }
    if (!block_fits(*at, n, 1)) {
      m_place.message("The " + std::to_string(n) +
                          " instrument ids do not fit below the active cell; choose a cell "
                          "higher up.",
                      kSearchTitle);
      return;
    }
    if (block_holds_array(*at, n, 1)) {
      m_place.message(
          "The instrument ids would cover cells of an array formula, which cannot be written one "
          "by one; choose another cell.",
          kSearchTitle);
      return;
    }
    ManualCalculation manual(m_place.app);
    for (std::int32_t i = 0; i < n; ++i) put_value(*at, at->row + i, at->col, selection.item(i, 1));
  }
  close();
}

void form_search1::close() {
  searching.hide();
  hide();
  m_closed = true;
}

}  // namespace quillo::assistants
