#include "assistants/history_assistant.h"

#include "common/text.h"

namespace quillo::assistants {

namespace {

constexpr const char* kHistoryTitle = "History Assistant";
constexpr const char* kFields[] = {"DATE", "OPEN", "HIGH", "LOW", "CLOSE", "VOLUME", "ADJ CLOSE"};

void fill(host::Control& list, std::vector<std::string> items, std::int32_t chosen) {
  list.clear();
  for (std::string& i : items) list.add_item(std::move(i));
  list.list_index = chosen < list.list_count() ? chosen : -1;
  list.text = list.chosen();
}

std::vector<std::string> numbers(int from, int to, int step) {
  std::vector<std::string> out;
  for (int i = from; step > 0 ? i <= to : i >= to; i += step) out.push_back(std::to_string(i));
  return out;
}

// The date of three drop-downs; nullopt unless it is a calendar day.
std::optional<double> date_of(const host::Control& day, const host::Control& month,
                              const host::Control& year) {
  const auto d = text::to_int32(day.chosen());
  const auto m = text::to_int32(month.chosen());
  const auto y = text::to_int32(year.chosen());
  if (!d || !m || !y) return std::nullopt;
  const double serial = date_serial(*y, *m, *d);
  // A day the month does not have would roll into the next month.
  if (civil_from_serial(serial) != CivilDate{*y, *m, *d}) return std::nullopt;
  return serial;
}

// The code of the chosen entry of a two- or three-entry list.
std::string code_of(const host::Control& list, std::initializer_list<const char*> codes) {
  const std::int32_t i = std::max(list.list_index, 0);
  return static_cast<std::size_t>(i) < codes.size() ? *(codes.begin() + i) : *codes.begin();
}

}  // namespace

// ---- wizard_step_1 -------------------------------------------------------

wizard_step_1::wizard_step_1() : Dialog("wizard_step_1", "History Assistant - Step 1 of 3") {
  using host::DialogEvent;
  on("button_search", DialogEvent::Click, [this](std::int32_t) {
    if (on_search) on_search();
  });
  on("button_next", DialogEvent::Click, [this](std::int32_t) {
    m_codes = split_ids(instrument.text);
    hide();
    if (m_mode == 5 && on_next) on_next();
  });
  on("button_cancel", DialogEvent::Click, [this](std::int32_t) { hide(); });
}

void wizard_step_1::init(std::int16_t mode) {
  m_mode = mode;
}

std::string wizard_step_1::code_get(std::int32_t index) const {
  if (index < 1 || static_cast<std::size_t>(index) > m_codes.size()) return {};
  return m_codes[static_cast<std::size_t>(index - 1)];
}

// ---- form_history_options ------------------------------------------------

form_history_options::form_history_options(Workplace& place)
    : Dialog("form_history_options", "History Options"), m_place(place) {
  using host::DialogEvent;
  on("button_ok", DialogEvent::Click, [this](std::int32_t) { button_ok_Click(); });
  on("button_cancel", DialogEvent::Click, [this](std::int32_t) { button_cancel_Click(); });
}

void form_history_options::init() {
  const CivilDate today = m_place.date_today();
  for (auto [day, month, year] :
       {std::tie(start_day, start_month, start_year), std::tie(end_day, end_month, end_year)}) {
    fill(day, numbers(1, 31, 1), today.day - 1);
    fill(month, numbers(1, 12, 1), today.month - 1);
    fill(year, numbers(today.year, today.year - 20, -1), 0);
  }
  fill(sampling, {"Daily", "Weekly", "Monthly"}, 0);
  fill(sort, {"Ascending", "Descending"}, 0);
  fill(orientation, {"Dates in rows", "Dates in columns"}, 0);
  fill(header, {"Yes", "No"}, 0);
}

std::optional<double> form_history_options::startdate_get() const {
  return date_of(start_day, start_month, start_year);
}
std::optional<double> form_history_options::enddate_get() const {
  return date_of(end_day, end_month, end_year);
}
std::string form_history_options::sampling_get() const {
  return code_of(sampling, {"D", "W", "M"});
}
std::string form_history_options::sort_get() const {
  return code_of(sort, {"asc", "desc"});
}
std::string form_history_options::orientation_get() const {
  return code_of(orientation, {"no", "yes"});
}
std::string form_history_options::header_get() const {
  return code_of(header, {"yes", "no"});
}

void form_history_options::button_ok_Click() {
  // A day the month lacks would silently become another date.
  if (!startdate_get()) {
    m_place.message("The start date is not a valid date.", kHistoryTitle);
    return;
  }
  if (!enddate_get()) {
    m_place.message("The end date is not a valid date.", kHistoryTitle);
    return;
  }
  hide();
  if (on_ok) on_ok();
}

// ---- wizard_step_2 -------------------------------------------------------

wizard_step_2::wizard_step_2(Workplace& place, wizard_step_1& step1, form_history_options& options)
    : Dialog("wizard_step_2", "History Assistant - Step 3 of 3"),
      m_place(place),
      m_step1(step1),
      m_options(options) {
  using host::DialogEvent;
  const auto add_chosen = [this](std::int32_t) {
    if (available.list_index >= 0) selected.add_item(available.chosen());
  };
  on("button_add", DialogEvent::Click, add_chosen);
  on("available", DialogEvent::DblClick, add_chosen);
  on("button_addall", DialogEvent::Click, [this](std::int32_t) {
    for (const std::string& f : available.column(0)) selected.add_item(f);
  });
  on("button_remove", DialogEvent::Click,
     [this](std::int32_t) { selected.remove_item(selected.list_index); });
  on("button_back", DialogEvent::Click, [this](std::int32_t) {
    hide();
    if (on_back) on_back();
  });
  on("button_cancel", DialogEvent::Click, [this](std::int32_t) { hide(); });
  on("button_finish", DialogEvent::Click, [this](std::int32_t) {
    if (button_finish_Click() && on_done) on_done();
  });
}

void wizard_step_2::init(const std::string& code, const std::string& source, std::int16_t mode) {
  (void)code;  // the block takes the id from the first step when it is written
  fill(orientation, {"Fields in columns", "Fields in rows"}, 0);
  label_status.caption = "Loading, please wait...";
  const std::string s = text::upper(source);
  m_source_number = s == "REUTERS" ? 1 : s == "YAHOO" ? 2 : s == "BLOOMBERG" ? 3 : 0;
  m_history = mode == 5;
  available.clear();
  for (const char* f : kFields) available.add_item(f);
  available.list_index = 0;
  m_mode = mode;
  m_source = source;
  label_status.caption.clear();
}

bool wizard_step_2::button_finish_Click() {
  auto at = anchor_of(m_place);
  if (!at.ok()) {
    m_place.message("There is no active cell to write the block to.", kHistoryTitle);
    return false;
  }
  ManualCalculation manual(m_place.app);
  if (!history_block_write(at->row, at->col)) return false;
  hide();
  return true;
}

bool wizard_step_2::history_block_write(std::int32_t r, std::int32_t c) {
  auto found = anchor_of(m_place);
  if (!found.ok()) return false;
  Anchor at = *found;
  at.row = r;
  at.col = c;
  const auto start = m_options.startdate_get();
  const auto end = m_options.enddate_get();
  if (!start || !end) {
    m_place.message("The dates of the history are not valid dates.", kHistoryTitle);
    return false;
  }
  if (!block_fits(at, 5, 1)) {
    m_place.message(
        "The history block needs five cells below the active cell; choose a cell "
        "higher up.",
        kHistoryTitle);
    return false;
  }
  if (block_holds_array(at, 5, 1)) {
    m_place.message(
        "The history block would cover cells of an array formula, which cannot be written one by "
        "one; choose another cell.",
        kHistoryTitle);
    return false;
  }
  put_value(at, r, c, m_step1.code_get(1));
  put_value(at, r + 1, c, Date{*start});
  put_value(at, r + 2, c, Date{*end});
  put_value(at, r + 3, c, m_options.sampling_get());
  std::string fields;
  for (const std::string& f : selected.column(0)) fields += f + ",";
  if (!fields.empty()) fields.pop_back();
  const std::string options = "{\"SORT\";\"" + m_options.sort_get() + "\";\"HEADER\";\"" +
                              m_options.header_get() + "\";\"TRANSPOSE\";\"" +
                              m_options.orientation_get() + "\"}";
  const auto R = [](std::int32_t row) { return "R" + std::to_string(row) + "C"; };
  const std::string formula = "=fhistory(" + R(r) + ",\"" + m_source + "\",\"" + fields + "\"," +
                              R(r + 1) + "," + R(r + 2) + "," + R(r + 3) + "," + options + ")";
  // A formula the sheet refuses (a protected sheet) leaves the cells above.
  (void)put_formula_r1c1(at, r + 4, c, formula);
  for (std::int32_t row : {r + 1, r + 2}) {
    auto cell = at.sheet->cell(row, c);
    if (!cell.ok() || !(*cell)->set_number_format(kHistoryDateFormat).ok()) break;
  }
  return true;
}

}  // namespace quillo::assistants
