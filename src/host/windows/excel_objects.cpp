#include "host/windows/excel_objects.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "host/windows/variant_value.h"

namespace quillo::host::win {
namespace {

// Object model constants.
constexpr std::int32_t kXlNext = 1;
constexpr std::int32_t kXlA1 = 1;
constexpr std::int32_t kLinkTypeExcelLinks = 1;

// A host answer as a row-major block: arrays as they are, a scalar as 1x1.
Array as_block(const Value& v) {
  if (v.is_array()) return v.array();
  return Array{1, 1, {v}};
}

Result<std::int32_t> get_int(IDispatch* object, std::string_view name) {
  auto r = call(object, name);
  if (!r.ok()) return r.status();
  return r->to_int();
}

Result<bool> get_bool(IDispatch* object, std::string_view name) {
  auto r = call(object, name);
  if (!r.ok()) return r.status();
  return r->to_bool();
}

Result<std::string> get_text(IDispatch* object, std::string_view name) {
  auto r = call(object, name);
  if (!r.ok()) return r.status();
  return r->to_text();
}

Status run(IDispatch* object, std::string_view name, std::initializer_list<Variant> args = {}) {
  auto r = call(object, name, args);
  return r.ok() ? Status() : r.status();
}

// The count of a collection member such as Rows or Worksheets.
Result<std::int32_t> count_of(IDispatch* object, std::string_view collection) {
  auto c = call_object(object, collection);
  if (!c.ok()) return c.status();
  return get_int(c->get(), "Count");
}

bool equal_text(std::string_view a, std::string_view b, bool match_case) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (match_case ? x != y : std::tolower(x) != std::tolower(y)) return false;
  }
  return true;
}

// text with every occurrence of what replaced (or all of it, for a whole
// match); letter case compared as match_case says (ASCII letters).
std::string replaced(const std::string& text, std::string_view what, std::string_view with,
                     LookAt look_at, bool match_case) {
  if (what.empty()) return text;
  if (look_at == LookAt::Whole) {
    return equal_text(text, what, match_case) ? std::string(with) : text;
  }
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (i + what.size() <= text.size() &&
        equal_text(std::string_view(text).substr(i, what.size()), what, match_case)) {
      out += with;
      i += what.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

}  // namespace

// ---- Session ----

std::shared_ptr<HostRef> Session::hold(Dispatch object) {
  auto ref = std::make_shared<HostRef>();
  if (m_closed) return ref;  // the adapter is gone: an empty handle
  ref->object = std::move(object);
  // Drop the entries of wrappers already gone now and then, so the list
  // tracks the live wrappers rather than every wrapper ever made.
  if (m_refs.size() >= 2 * m_pruned_at + 64) {
    std::erase_if(m_refs, [](const std::weak_ptr<HostRef>& w) { return w.expired(); });
    m_pruned_at = m_refs.size();
  }
  m_refs.push_back(ref);
  return ref;
}

void Session::release_all() {
  m_closed = true;
  for (auto& w : m_refs) {
    if (auto ref = w.lock()) ref->object.reset();
  }
  m_refs.clear();
}

Result<RangePtr> make_range(const SessionPtr& session, Result<Dispatch> object) {
  if (!object.ok()) return object.status();
  return RangePtr(std::make_shared<ExcelRange>(session, std::move(object).value()));
}

Result<WorksheetPtr> make_sheet(const SessionPtr& session, Result<Dispatch> object) {
  if (!object.ok()) return object.status();
  return WorksheetPtr(std::make_shared<ExcelWorksheet>(session, std::move(object).value()));
}

Result<WorkbookPtr> make_book(const SessionPtr& session, Result<Dispatch> object) {
  if (!object.ok()) return object.status();
  return WorkbookPtr(std::make_shared<ExcelWorkbook>(session, std::move(object).value()));
}

// ---- Range ----

Array ExcelRange::values() const {
  auto v = value();
  if (!v.ok()) return Array{1, 1, {ErrorCode::Ref}};
  return as_block(v.value());
}

Result<std::shared_ptr<Worksheet>> ExcelRange::worksheet() const {
  return make_sheet(m_session, call_object(object(), "Worksheet"));
}

Result<std::int32_t> ExcelRange::row() const {
  return get_int(object(), "Row");
}
Result<std::int32_t> ExcelRange::column() const {
  return get_int(object(), "Column");
}
Result<std::int32_t> ExcelRange::row_count() const {
  return count_of(object(), "Rows");
}
Result<std::int32_t> ExcelRange::column_count() const {
  return count_of(object(), "Columns");
}

namespace {

// Excel's external address names the workbook too ("[Book1]Sheet1!$A$1",
// "'C:\dir\[My Book.xlsx]Sheet 1'!$A$1"); the engine's names the sheet
// only, quoted when its name is not a plain word.
std::string without_workbook(const std::string& address) {
  const std::size_t bang = address.rfind('!');
  if (bang == std::string::npos) return address;
  const bool quoted = address.front() == '\'' && bang > 1 && address[bang - 1] == '\'';
  std::string name = quoted ? address.substr(1, bang - 2) : address.substr(0, bang);
  if (quoted) {
    for (std::size_t i = 0; (i = name.find("''", i)) != std::string::npos; ++i) name.erase(i, 1);
  }
  const std::size_t close = name.rfind(']');
  if (close == std::string::npos) return address;
  name.erase(0, close + 1);
  bool plain = !name.empty() && !(name[0] >= '0' && name[0] <= '9');
  for (char c : name) {
    const bool word = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '_' || c == '.';
    plain = plain && word;
  }
  std::string sheet = name;
  if (!plain) {
    sheet = "'";
    for (char c : name) sheet += c == '\'' ? std::string("''") : std::string(1, c);
    sheet += "'";
  }
  return sheet + address.substr(bang);
}

}  // namespace

Result<std::string> ExcelRange::address(bool external) const {
  auto r = call(object(), "Address", {true, true, kXlA1, external});
  if (!r.ok()) return r.status();
  Result<std::string> text = r->to_text();
  if (!text.ok() || !external) return text;
  return without_workbook(*text);
}

Result<RangePtr> ExcelRange::cell(std::int32_t row, std::int32_t col) const {
  return make_range(m_session, call_object(object(), "Item", {row, col}));
}

Result<Value> ExcelRange::value() const {
  auto r = call(object(), "Value");
  if (!r.ok()) return r.status();
  return value_from_variant(r->get());
}

Status ExcelRange::set_value(const Value& v) const {
  Variant var;
  if (FAILED(variant_from_value(v, var.put()))) return Status::failed("out of memory");
  return put(object(), "Value", var);
}

Result<std::string> ExcelRange::top_left_text(std::string_view member) const {
  auto r = call(object(), member);
  if (!r.ok()) return r.status();
  const Value v = value_from_variant(r->get());
  if (v.is_array() && !v.array().items.empty()) {
    const Value& first = v.array().items.front();
    return first.is_text() ? first.text() : first.to_text();
  }
  if (v.type() == ValueType::Null) {
    // A range whose cells differ answers Null; ask its first cell.
    auto first = call_object(object(), "Item", {1, 1});
    if (!first.ok()) return first.status();
    return get_text(first->get(), member);
  }
  return r->to_text();
}

Result<std::string> ExcelRange::formula() const {
  return top_left_text("Formula");
}
Result<std::string> ExcelRange::formula_r1c1() const {
  return top_left_text("FormulaR1C1");
}

Status ExcelRange::set_formula(std::string_view formula) const {
  return put(object(), "Formula", Variant(formula));
}

Status ExcelRange::set_formula_r1c1(std::string_view formula) const {
  return put(object(), "FormulaR1C1", Variant(formula));
}

Result<bool> ExcelRange::has_formula() const {
  auto r = call(object(), "HasFormula");
  if (!r.ok()) return r.status();
  if (r->type() == VT_NULL) return false;  // some cells have one, some not
  return r->to_bool();
}

Result<std::string> ExcelRange::number_format() const {
  return top_left_text("NumberFormat");
}

Status ExcelRange::set_number_format(std::string_view format) const {
  return put(object(), "NumberFormat", Variant(format));
}

Status ExcelRange::clear_contents() const {
  return run(object(), "ClearContents");
}

Result<RangePtr> ExcelRange::find(std::string_view what, const FindOptions& options) const {
  auto r = call(object(), "Find",
                {what, Variant::missing(), static_cast<std::int32_t>(options.look_in),
                 static_cast<std::int32_t>(options.look_at),
                 static_cast<std::int32_t>(options.order), kXlNext, options.match_case});
  if (!r.ok()) return r.status();
  Dispatch found = r->object();
  if (!found) return RangePtr();  // Nothing: no cell matches
  return RangePtr(std::make_shared<ExcelRange>(m_session, std::move(found)));
}

Result<bool> ExcelRange::replace(std::string_view what, std::string_view replacement,
                                 const ReplaceOptions& options) const {
  if (options.formulas_only) return replace_in_formulas(what, replacement, options);
  auto r = call(object(), "Replace",
                {what, replacement, static_cast<std::int32_t>(options.look_at),
                 static_cast<std::int32_t>(options.order), options.match_case});
  if (!r.ok()) return r.status();
  if (r->type() == VT_EMPTY) return false;
  return r->to_bool();
}

// The host's Replace changes constants too, so a replacement limited to
// formulas reads the formulas and writes back each one that changes.
Result<bool> ExcelRange::replace_in_formulas(std::string_view what, std::string_view replacement,
                                             const ReplaceOptions& options) const {
  auto r = call(object(), "Formula");
  if (!r.ok()) return r.status();
  const Array formulas = as_block(value_from_variant(r->get()));
  bool changed = false;
  for (std::int32_t row = 0; row < formulas.rows; ++row) {
    for (std::int32_t col = 0; col < formulas.cols; ++col) {
      const Value& f = formulas.at(row, col);
      if (!f.is_text() || f.text().empty() || f.text()[0] != '=') continue;
      const std::string next =
          replaced(f.text(), what, replacement, options.look_at, options.match_case);
      if (next == f.text()) continue;
      auto cell = call_object(object(), "Item", {row + 1, col + 1});
      if (!cell.ok()) return cell.status();
      // A formula that would not parse is refused by the host; that cell stays.
      if (put(cell->get(), "Formula", Variant(next)).ok()) changed = true;
    }
  }
  return changed;
}

// ---- Worksheet ----

Result<std::string> ExcelWorksheet::name() const {
  return get_text(object(), "Name");
}

Status ExcelWorksheet::set_name(std::string_view name) {
  return put(object(), "Name", Variant(name));
}

Result<std::int32_t> ExcelWorksheet::index() const {
  return get_int(object(), "Index");
}

Result<WorkbookPtr> ExcelWorksheet::workbook() const {
  return make_book(m_session, call_object(object(), "Parent"));
}

Result<Visibility> ExcelWorksheet::visible() const {
  auto v = get_int(object(), "Visible");
  if (!v.ok()) return v.status();
  switch (v.value()) {
    case 0:
      return Visibility::Hidden;
    case 2:
      return Visibility::VeryHidden;
    default:
      return Visibility::Visible;  // -1, or any other true value
  }
}

Status ExcelWorksheet::set_visible(Visibility v) {
  return put(object(), "Visible", Variant(static_cast<std::int32_t>(v)));
}

Result<RangePtr> ExcelWorksheet::cells() const {
  return make_range(m_session, call_object(object(), "Cells"));
}

Result<RangePtr> ExcelWorksheet::cell(std::int32_t row, std::int32_t col) const {
  auto all = call_object(object(), "Cells");
  if (!all.ok()) return all.status();
  return make_range(m_session, call_object(all->get(), "Item", {row, col}));
}

Result<RangePtr> ExcelWorksheet::range(std::string_view address) const {
  return make_range(m_session, call_object(object(), "Range", {address}));
}

Result<RangePtr> ExcelWorksheet::used_range() const {
  return make_range(m_session, call_object(object(), "UsedRange"));
}

// Reads the used range's values and formulas in two calls and lists the
// cells that hold either, so the walk costs the used range, not a call per
// cell of it.
Status ExcelWorksheet::for_each_cell(const std::function<void(const RangePtr&)>& fn) const {
  auto used = call_object(object(), "UsedRange");
  if (!used.ok()) return used.status();
  auto top = get_int(used->get(), "Row");
  if (!top.ok()) return top.status();
  auto left = get_int(used->get(), "Column");
  if (!left.ok()) return left.status();
  auto values = call(used->get(), "Value");
  if (!values.ok()) return values.status();
  auto formulas = call(used->get(), "Formula");
  if (!formulas.ok()) return formulas.status();
  const Array v = as_block(value_from_variant(values->get()));
  const Array f = as_block(value_from_variant(formulas->get()));

  std::vector<std::pair<std::int32_t, std::int32_t>> found;
  for (std::int32_t c = 0; c < v.cols; ++c) {
    for (std::int32_t r = 0; r < v.rows; ++r) {
      const bool has_value = !v.at(r, c).is_empty();
      const bool has_formula =
          r < f.rows && c < f.cols && f.at(r, c).is_text() && !f.at(r, c).text().empty();
      if (has_value || has_formula) found.emplace_back(top.value() + r, left.value() + c);
    }
  }
  if (found.empty()) return {};
  auto all = call_object(object(), "Cells");
  if (!all.ok()) return all.status();
  for (const auto& [row, col] : found) {
    auto cell = make_range(m_session, call_object(all->get(), "Item", {row, col}));
    if (!cell.ok()) return cell.status();  // fn removed the sheet
    fn(cell.value());
  }
  return {};
}

Result<bool> ExcelWorksheet::enable_calculation() const {
  return get_bool(object(), "EnableCalculation");
}

Status ExcelWorksheet::set_enable_calculation(bool on) {
  return put(object(), "EnableCalculation", Variant(on));
}

Status ExcelWorksheet::calculate() {
  return run(object(), "Calculate");
}
Status ExcelWorksheet::activate() {
  return run(object(), "Activate");
}

Status ExcelWorksheet::remove() {
  auto r = call(object(), "Delete");
  if (!r.ok()) return r.status();
  // The host answers False when the deletion was refused or cancelled.
  if (r->type() == VT_BOOL && r->get().boolVal == VARIANT_FALSE) {
    return Status::failed("the sheet was not deleted");
  }
  return {};
}

// ---- Workbook ----

Result<std::string> ExcelWorkbook::name() const {
  return get_text(object(), "Name");
}
Result<std::string> ExcelWorkbook::full_name() const {
  return get_text(object(), "FullName");
}

Result<std::int32_t> ExcelWorkbook::worksheet_count() const {
  return count_of(object(), "Worksheets");
}

Result<WorksheetPtr> ExcelWorkbook::sheet_item(const Variant& index) const {
  auto sheets = call_object(object(), "Worksheets");
  if (!sheets.ok()) return sheets.status();
  return make_sheet(m_session, call_object(sheets->get(), "Item", {index}));
}

Result<WorksheetPtr> ExcelWorkbook::worksheet(std::int32_t index) const {
  return sheet_item(Variant(index));
}

Result<WorksheetPtr> ExcelWorkbook::worksheet(std::string_view name) const {
  return sheet_item(Variant(name));
}

Result<WorksheetPtr> ExcelWorkbook::add_worksheet(std::string_view name) {
  auto sheets = call_object(object(), "Worksheets");
  if (!sheets.ok()) return sheets.status();
  auto count = get_int(sheets->get(), "Count");
  if (!count.ok()) return count.status();
  Variant after = Variant::missing();
  if (count.value() > 0) {
    auto last = call_object(sheets->get(), "Item", {count.value()});
    if (!last.ok()) return last.status();
    after = Variant(last->get());
  }
  auto added = call_object(sheets->get(), "Add", {Variant::missing(), after});
  if (!added.ok()) return added.status();
  if (!name.empty()) {
    if (auto st = put(added->get(), "Name", Variant(name)); !st.ok()) {
      // A bad or duplicate name: leave no unnamed sheet behind.
      (void)call(added->get(), "Delete");
      return st;
    }
  }
  return make_sheet(m_session, std::move(added));
}

Result<WorksheetPtr> ExcelWorkbook::active_sheet() const {
  return make_sheet(m_session, call_object(object(), "ActiveSheet"));
}

Status ExcelWorkbook::activate() {
  return run(object(), "Activate");
}

Result<std::vector<std::string>> ExcelWorkbook::link_sources() const {
  auto r = call(object(), "LinkSources", {kLinkTypeExcelLinks});
  if (!r.ok()) return r.status();
  const Value v = value_from_variant(r->get());
  std::vector<std::string> out;
  if (v.is_array()) {
    for (const Value& item : v.array().items) {
      if (item.is_text()) out.push_back(item.text());
    }
  } else if (v.is_text()) {
    out.push_back(v.text());
  }
  return out;
}

Status ExcelWorkbook::save() {
  return run(object(), "Save");
}

Status ExcelWorkbook::save_as(std::string_view path) {
  if (path.empty()) return Status(StatusCode::InvalidArgument, "save as: no file name");
  return run(object(), "SaveAs", {path});
}

Status ExcelWorkbook::close(bool save_changes) {
  return run(object(), "Close", {save_changes});
}

// ---- Workbooks ----

std::int32_t ExcelWorkbooks::count() const {
  return count_of(m_application, "Workbooks").value_or(0);
}

Result<WorkbookPtr> ExcelWorkbooks::book(std::string_view member,
                                         std::initializer_list<Variant> args) const {
  auto books = call_object(m_application, "Workbooks");
  if (!books.ok()) return books.status();
  return make_book(m_session, call_object(books->get(), member, args));
}

Result<WorkbookPtr> ExcelWorkbooks::item(std::int32_t index) const {
  return book("Item", {index});
}

Result<WorkbookPtr> ExcelWorkbooks::item(std::string_view name) const {
  return book("Item", {name});
}

Result<WorkbookPtr> ExcelWorkbooks::add() {
  return book("Add", {});
}

Result<WorkbookPtr> ExcelWorkbooks::open(std::string_view path) {
  if (path.empty()) return Status(StatusCode::InvalidArgument, "open: no file name");
  return book("Open", {path});
}

// ---- Add-ins ----

Result<std::string> ExcelAddIn::name() const {
  return get_text(m_ref->object.get(), "Name");
}

Result<std::string> ExcelAddIn::full_name() const {
  return get_text(m_ref->object.get(), "FullName");
}

Result<bool> ExcelAddIn::installed() const {
  return get_bool(m_ref->object.get(), "Installed");
}

Status ExcelAddIn::set_installed(bool on) {
  return put(m_ref->object.get(), "Installed", Variant(on));
}

std::int32_t ExcelAddIns::count() const {
  return count_of(m_application, "AddIns").value_or(0);
}

Result<AddInPtr> ExcelAddIns::add_in(std::string_view member,
                                     std::initializer_list<Variant> args) const {
  auto add_ins = call_object(m_application, "AddIns");
  if (!add_ins.ok()) return add_ins.status();
  auto item = call_object(add_ins->get(), member, args);
  if (!item.ok()) return item.status();
  return AddInPtr(std::make_shared<ExcelAddIn>(m_session, std::move(item).value()));
}

Result<AddInPtr> ExcelAddIns::item(std::int32_t index) const {
  return add_in("Item", {index});
}

Result<AddInPtr> ExcelAddIns::item(std::string_view name) const {
  return add_in("Item", {name});
}

Result<AddInPtr> ExcelAddIns::add(std::string_view path) {
  return add_in("Add", {path});
}

// ---- Worksheet functions ----

Result<double> ExcelFunctions::run(std::string_view name, std::span<const Value> args) {
  auto functions = call_object(m_application, "WorksheetFunction");
  if (!functions.ok()) return functions.status();
  std::vector<Variant> list(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    // Ranges go as the host's own Range objects, so the host reads their cells.
    if (FAILED(variant_from_value(args[i], list[i].put(), range_dispatch))) {
      return Status::failed("out of memory");
    }
  }
  auto r = call_with(functions->get(), name, list);
  if (!r.ok()) return r.status();
  return r->to_double();
}

Result<double> ExcelFunctions::average(std::span<const Value> args) {
  return run("Average", args);
}
Result<double> ExcelFunctions::sum(std::span<const Value> args) {
  return run("Sum", args);
}
Result<double> ExcelFunctions::sum_product(std::span<const Value> args) {
  return run("SumProduct", args);
}
Result<double> ExcelFunctions::max(std::span<const Value> args) {
  return run("Max", args);
}
Result<double> ExcelFunctions::min(std::span<const Value> args) {
  return run("Min", args);
}

Result<double> ExcelFunctions::slope(const Value& known_ys, const Value& known_xs) {
  const Value args[] = {known_ys, known_xs};
  return run("Slope", args);
}

IDispatch* range_dispatch(const Range& range) {
  const auto* ours = dynamic_cast<const ExcelRange*>(&range);
  if (!ours || !ours->object()) return nullptr;
  ours->object()->AddRef();
  return ours->object();
}

}  // namespace quillo::host::win
