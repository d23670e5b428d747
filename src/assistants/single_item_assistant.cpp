#include "assistants/single_item_assistant.h"

#include "common/text.h"

namespace quillo::assistants {

namespace {

constexpr const char* kSingleItemTitle = "Single Dataitem Assistant";

// The category a field code "SRC.CAT.FIELD" belongs to, or null.
const Category* category_of(const Definitions& defs, std::string_view code) {
  const std::size_t a = code.find('.');
  if (a == std::string_view::npos) return nullptr;
  const std::size_t b = code.find('.', a + 1);
  if (b == std::string_view::npos) return nullptr;
  const DataSource* s = defs.datasource_find(code.substr(0, a));
  return s ? category_find(*s, code.substr(a + 1, b - a - 1)) : nullptr;
}

bool is_instrument_id(const Parameter& p) {
  return text::iequals(text::trim(p.name), "instrument id");
}

}  // namespace

// ---- wiz1 ---------------------------------------------------------------

wiz1::wiz1(Workplace& place)
    : Dialog("wiz1", "Single Dataitem Assistant - Step 1 of 3"), m_place(place) {
  using host::DialogEvent;
  on("dlg_ids", DialogEvent::Change, [this](std::int32_t) { dlg_ids_Change(); });
  on("button_search", DialogEvent::Click, [this](std::int32_t) {
    if (on_search) on_search();
  });
  on("button_next", DialogEvent::Click, [this](std::int32_t) {
    const auto& sources = m_place.engine.definitions().datasources();
    const std::int32_t i = source_list.list_index;
    if (i < 0 || static_cast<std::size_t>(i) >= sources.size()) {
      m_place.message("Please select a data source.", kSingleItemTitle);
      return;
    }
    const std::string code = sources[static_cast<std::size_t>(i)].code;
    hide();
    m_closed = true;
    if (on_next) on_next(code, dlg_ids.text);
  });
  on("button_cancel", DialogEvent::Click, [this](std::int32_t) {
    hide();
    m_closed = true;
  });
  UserForm_Initialize();
}

void wiz1::UserForm_Initialize() {
  source_list.clear();
  for (const DataSource& s : m_place.engine.definitions().datasources())
    source_list.add_item(s.name);
  source_list.list_index = source_list.list_count() > 0 ? 0 : -1;
  dlg_ids_Change();
}

// ---- wiz2 ---------------------------------------------------------------

wiz2::wiz2(Workplace& place)
    : Dialog("wiz2", "Single Dataitem Assistant - Step 2 of 3"), m_place(place) {
  using host::DialogEvent;
  on("ftree", DialogEvent::DblClick, [this](std::int32_t) { selectfield(); });
  on("button_add", DialogEvent::Click, [this](std::int32_t) { selectfield(); });
  on("button_remove", DialogEvent::Click,
     [this](std::int32_t) { fieldlist.remove_item(fieldlist.list_index); });
  on("button_clear", DialogEvent::Click, [this](std::int32_t) { fieldlist.clear(); });
  on("button_searchfield", DialogEvent::Click,
     [this](std::int32_t) { loadfields(dlg_searchfield.text); });
  on("dlg_searchfield", DialogEvent::KeyDown, [this](std::int32_t key) {
    if (key == host::kKeyEnter) loadfields(dlg_searchfield.text);
  });
  on("button_clearsearch", DialogEvent::Click, [this](std::int32_t) {
    dlg_searchfield.text.clear();
    loadfields({});
  });
  on("button_next", DialogEvent::Click, [this](std::int32_t) {
    hide();
    if (on_next) on_next();
  });
  on("button_cancel", DialogEvent::Click, [this](std::int32_t) { hide(); });
}

void wiz2::setup(const std::string& source_code, const std::string& ids) {
  m_source = source_code;
  m_ids = ids;
  fieldlist.clear();
  dlg_searchfield.text.clear();
  loadfields({});
}

void wiz2::loadfields(const std::string& search) {
  ftree.nodes.clear();
  ftree.node_index = -1;
  label_found.caption.clear();
  const DataSource* source = m_place.engine.definitions().datasource_find(m_source);
  if (source == nullptr) return;
  std::size_t matched = 0;
  for (const Category& cat : source->categories) {
    const auto parent = static_cast<std::int32_t>(ftree.nodes.size());
    ftree.nodes.push_back({{}, cat.name, -1});
    for (const FieldDef& f : cat.fields) {
      if (!search.empty() && text::find_ci(f.name, search) == 0) continue;
      ftree.nodes.push_back({source->code + "." + cat.code + "." + f.name, f.name, parent});
      ++matched;
    }
  }
  if (!search.empty() && matched == 0) {
    label_found.caption = "No field name contains \"" + search + "\".";
  }
}

void wiz2::selectfield() {
  const std::int32_t i = ftree.node_index;
  if (i < 0 || static_cast<std::size_t>(i) >= ftree.nodes.size()) return;
  const std::string& key = ftree.nodes[static_cast<std::size_t>(i)].key;
  if (!key.empty()) fieldlist.add_item(key);  // category nodes stand for no field
}

// ---- wiz3 ---------------------------------------------------------------

wiz3::wiz3(Workplace& place, std::string ids, std::vector<std::string> fields)
    : Dialog("wiz3", "Single Dataitem Assistant - Step 3 of 3"),
      m_place(place),
      m_ids(std::move(ids)),
      m_fields(std::move(fields)) {
  UserForm_Initialize();
  add(host::ControlKind::Button, "button_back", "< Back");
  add(host::ControlKind::Button, "button_finish", "Finish");
  using host::DialogEvent;
  on("button_back", DialogEvent::Click, [this](std::int32_t) {
    hide();
    if (on_back) on_back();
  });
  on("button_finish", DialogEvent::Click, [this](std::int32_t) {
    if (finish()) {
      hide();
      if (on_done) on_done();
    }
  });
}

void wiz3::UserForm_Initialize() {
  orientation.list_index = 0;
  orientation.text = orientation.chosen();
  // The parameters of every category the fields come from, each name once,
  // so that each field's own options reach it.
  std::vector<const Parameter*> params;
  for (const std::string& code : m_fields) {
    const Category* cat = category_of(m_place.engine.definitions(), code);
    if (cat == nullptr) continue;
    for (const Parameter& p : cat->parameters) {
      if (is_instrument_id(p)) continue;
      bool seen = false;
      for (const Parameter* q : params) seen = seen || text::iequals(q->name, p.name);
      if (!seen) params.push_back(&p);
    }
  }
  m_count = static_cast<std::int32_t>(params.size());
  if (params.empty()) {
    add(host::ControlKind::Label, "mylabel1", kNoParameters);
    return;
  }
  for (std::size_t k = 0; k < params.size(); ++k) {
    const std::string n = std::to_string(k + 1);
    add(host::ControlKind::Label, "mylabel" + n, params[k]->name);
    host::Control& d = add(host::ControlKind::DropDown, "mydropdown" + n);
    for (const EnumValue& e : params[k]->enumvalues) {
      if (e.value == params[k]->defaultvalue && d.list_index < 0) d.list_index = d.list_count();
      d.add_item(e.displayname);
    }
    if (d.list_index < 0 && d.list_count() > 0) d.list_index = 0;
    d.text = d.chosen();
  }
}

std::string wiz3::write_parameter_block(const Anchor& at) {
  const std::int32_t r = at.row, c = at.col, n = m_count;
  if (n == 0) return "\"\"";  // no parameters: an empty options text
  for (std::int32_t i = 1; i <= n; ++i) {
    const std::string k = std::to_string(i);
    put_value(at, r + 2 * i - 2, c + 1, control("mylabel" + k)->caption);
    put_value(at, r + 2 * i - 1, c + 1, control("mydropdown" + k)->text);
  }
  return "R" + std::to_string(r) + "C" + std::to_string(c + 1) + ":R" +
         std::to_string(r + 2 * n - 1) + "C" + std::to_string(c + 1);
}

bool wiz3::finish() {
  const std::vector<std::string> ids = split_ids(m_ids);
  if (ids.empty()) {
    m_place.message("Please enter at least one instrument id.", kSingleItemTitle);
    return false;
  }
  if (m_fields.empty()) {
    m_place.message("Please choose at least one field.", kSingleItemTitle);
    return false;
  }
  auto found = anchor_of(m_place);
  if (!found.ok()) {
    m_place.message("There is no active cell to write the table to.", kSingleItemTitle);
    return false;
  }
  const Anchor& at = *found;
  const std::int32_t n = m_count;
  const bool ids_down = orientation.list_index != 1;  // "rows": one instrument per row
  const auto ni = static_cast<std::int32_t>(ids.size());
  const auto nf = static_cast<std::int32_t>(m_fields.size());
  const std::int32_t top = n > 0 ? 2 * n + 1 : 0;  // rows above the table
  const std::int32_t rows = 1 + (ids_down ? ni : nf);
  const std::int32_t cols = 1 + (ids_down ? nf : ni);
  if (!block_fits(at, top + rows, std::max(cols, n > 0 ? 2 : 1))) {
    m_place.message(
        "The table does not fit on the sheet at the active cell; choose a cell "
        "further up or to the left.",
        kSingleItemTitle);
    return false;
  }
  if (block_holds_array(at, top + rows, std::max(cols, n > 0 ? 2 : 1))) {
    m_place.message(
        "The table would cover cells of an array formula, which cannot be written one by one; "
        "choose another cell.",
        kSingleItemTitle);
    return false;
  }
  const std::int32_t r = at.row, c = at.col;
  ManualCalculation manual(m_place.app);
  const std::string options = write_parameter_block(at);
  const std::int32_t rt = r + top;
  const std::vector<std::string>& across = ids_down ? m_fields : ids;
  const std::vector<std::string>& down = ids_down ? ids : m_fields;
  for (std::size_t j = 0; j < across.size(); ++j) {
    put_value(at, rt, c + 1 + static_cast<std::int32_t>(j), across[j]);
  }
  const std::string row_ref = "RC" + std::to_string(c);        // this row's cell in column c
  const std::string col_ref = "R" + std::to_string(rt) + "C";  // this column's cell in row r'
  const std::string formula = "=fsingle(" +
                              (ids_down ? row_ref + "," + col_ref : col_ref + "," + row_ref) + "," +
                              options + ")";
  for (std::size_t i = 0; i < down.size(); ++i) {
    const std::int32_t row = rt + 1 + static_cast<std::int32_t>(i);
    put_value(at, row, c, down[i]);
    for (std::size_t j = 0; j < across.size(); ++j) {
      (void)put_formula_r1c1(at, row, c + 1 + static_cast<std::int32_t>(j), formula);
    }
  }
  return true;
}

}  // namespace quillo::assistants
