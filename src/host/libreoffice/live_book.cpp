#include "host/libreoffice/live_book.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <utility>

#include "common/dates.h"
#include "common/text.h"

namespace quillo::host::lo {

namespace {

constexpr std::string_view kBookName = "quillo live cells";
// The sheet a workbook keeps its web links on, as the engine looks for it.
constexpr std::string_view kLinkStoreSheet = "weblinks_data";

struct Cell {
  Value value;
  std::string formula;  // empty for a constant
  std::string format;
};

Status stale() {
  return Status::object_required("the live cell is gone");
}

// A value as a formula writes it, for the text of a call's formula.
std::string literal(const Value& v) {
  switch (v.type()) {
    case ValueType::Missing:
    case ValueType::Empty:
      return {};
    case ValueType::Text: {
      std::string out = "\"";
      for (char c : v.text()) {
        if (c == '"') out += '"';
        out += c;
      }
      return out + "\"";
    }
    case ValueType::Array:
      return "{...}";
    default:
      return v.to_text();
  }
}

void key_of(const Value& v, std::string& out) {
  switch (v.type()) {
    case ValueType::Missing:
      out += 'm';
      break;
    case ValueType::Empty:
      out += 'e';
      break;
    case ValueType::Text:
      out += 's' + std::to_string(v.text().size()) + ':' + v.text();
      break;
    case ValueType::Error:
      out += '!' + std::to_string(static_cast<int>(v.error()));
      break;
    case ValueType::Array: {
      const Array& a = v.array();
      out += 'a' + std::to_string(a.rows) + 'x' + std::to_string(a.cols) + '[';
      for (const Value& item : a.items) key_of(item, out);
      out += ']';
      break;
    }
    default:
      if (v.is_number()) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "n%.17g", v.number());
        out += buf;
      } else {
        out += 'v' + v.to_text();
      }
  }
  out += ';';
}

}  // namespace

std::string live_call_key(const LiveCall& call) {
  std::string out = text::lower(call.function) + "(";
  for (const Value& v : call.args) key_of(v, out);
  out += ")";
  if (!call.link_store.is_empty()) key_of(call.link_store, out);
  return out;
}

CallMatch match_call(const std::vector<std::optional<Value>>& cell_args, const LiveCall& wanted) {
  // A formula may leave trailing arguments out; one with more arguments
  // than the call is another call.
  if (cell_args.size() > wanted.args.size()) return CallMatch::Not;
  bool unknown = false;
  for (std::size_t i = 0; i < wanted.args.size(); ++i) {
    const std::optional<Value> arg = i < cell_args.size() ? cell_args[i] : Value(Missing{});
    if (!arg) {
      unknown = true;
      continue;
    }
    std::string have, want;
    key_of(*arg, have);
    key_of(wanted.args[i], want);
    if (have != want) return CallMatch::Not;
  }
  return unknown ? CallMatch::Unknown : CallMatch::Makes;
}

std::string live_a1(std::int32_t row, std::int32_t col) {
  std::string letters;
  for (std::int32_t c = col; c > 0; c = (c - 1) / 26) {
    letters.insert(letters.begin(), static_cast<char>('A' + (c - 1) % 26));
  }
  return "$" + letters + "$" + std::to_string(row);
}

Result<LiveArea> parse_live_address(std::string_view address) {
  auto one = [](std::string_view a, std::int32_t& row, std::int32_t& col) {
    std::size_t i = 0;
    if (i < a.size() && a[i] == '$') ++i;
    col = 0;
    while (i < a.size() && std::isalpha(static_cast<unsigned char>(a[i]))) {
      col = col * 26 + (std::toupper(static_cast<unsigned char>(a[i])) - 'A' + 1);
      if (col > 16384) return false;
      ++i;
    }
    if (i < a.size() && a[i] == '$') ++i;
    row = 0;
    const std::size_t digits = i;
    while (i < a.size() && std::isdigit(static_cast<unsigned char>(a[i]))) {
      row = row * 10 + (a[i] - '0');
      if (row > 1048576) return false;
      ++i;
    }
    return i == a.size() && i > digits && col > 0 && row > 0;
  };
  const auto colon = address.find(':');
  LiveArea area;
  std::int32_t r1 = 0, c1 = 0, r2 = 0, c2 = 0;
  if (!one(address.substr(0, colon), r1, c1)) return Status::failed("not an address");
  r2 = r1;
  c2 = c1;
  if (colon != std::string_view::npos && !one(address.substr(colon + 1), r2, c2)) {
    return Status::failed("not an address");
  }
  area.row = std::min(r1, r2);
  area.col = std::min(c1, c2);
  area.rows = std::max(r1, r2) - area.row + 1;
  area.cols = std::max(c1, c2) - area.col + 1;
  return area;
}

// ---------------------------------------------------------------------------
// The book's sheets and their cells.

class LiveBookObj;

class LiveSheet final : public Worksheet, public std::enable_shared_from_this<LiveSheet> {
 public:
  LiveSheet(LiveApplication& app, std::string name) : m_app(app), m_name(std::move(name)) {}

  LiveApplication& app() const { return m_app; }
  bool alive = true;
  bool read_only = false;
  std::map<std::pair<std::int32_t, std::int32_t>, Cell> grid;
  // The call whose cell is A1 (none for the book's other sheets).
  std::optional<LiveCall> call;
  std::string call_formula;
  std::int64_t call_id = 0;
  std::vector<std::shared_ptr<LiveSheet>> argument_sheets;
  // What was last handed out, and what changed since.
  Value shown;
  bool shown_once = false;
  bool block_dirty = false;
  std::int32_t extent_rows = 1;  // rows and columns written around A1 so far
  std::int32_t extent_cols = 1;

  const Cell* find(std::int32_t r, std::int32_t c) const {
    const auto it = grid.find({r, c});
    return it == grid.end() ? nullptr : &it->second;
  }
  void note_write(std::int32_t r, std::int32_t c) {
    if (!call || (r == 1 && c == 1)) return;
    block_dirty = true;
    extent_rows = std::max(extent_rows, r);
    extent_cols = std::max(extent_cols, c);
  }
  Status put(std::int32_t r, std::int32_t c, Cell cell) {
    if (!alive) return stale();
    if (read_only) return Status::failed("the sheet is read-only");
    if (call && r == 1 && c == 1) {
      // The call's own cell: rewriting its formula evaluates the call again.
      if (cell.formula == call_formula) {
        evaluate();
        return alive ? Status() : stale();
      }
      grid[{1, 1}].value = cell.value;
      return Status();
    }
    const bool empty = cell.formula.empty() && cell.value.is_empty() && cell.format.empty();
    if (empty) {
      if (grid.erase({r, c}) > 0) note_write(r, c);
    } else {
      grid[{r, c}] = std::move(cell);
      note_write(r, c);
    }
    return Status();
  }
  void evaluate();

  Result<std::string> name() const override {
    if (!alive) return stale();
    return m_name;
  }
  Status set_name(std::string_view name) override {
    if (!alive) return stale();
    m_name = std::string(name);
    return Status();
  }
  Result<std::int32_t> index() const override;
  Result<WorkbookPtr> workbook() const override;
  Result<Visibility> visible() const override {
    if (!alive) return stale();
    return Visibility::Visible;
  }
  Status set_visible(Visibility) override { return alive ? Status() : stale(); }
  Result<RangePtr> cells() const override;
  Result<RangePtr> cell(std::int32_t row, std::int32_t col) const override;
  Result<RangePtr> range(std::string_view address) const override;
  Result<RangePtr> used_range() const override;
  Status for_each_cell(const std::function<void(const RangePtr&)>& fn) const override;
  Result<bool> enable_calculation() const override {
    if (!alive) return stale();
    return m_enabled;
  }
  Status set_enable_calculation(bool on) override {
    if (!alive) return stale();
    m_enabled = on;
    return Status();
  }
  Status calculate() override {
    if (!alive) return stale();
    if (call && m_enabled) evaluate();
    return Status();
  }
  Status activate() override { return alive ? Status() : stale(); }
  Status remove() override;

 private:
  LiveApplication& m_app;
  std::string m_name;
  bool m_enabled = true;
};

class LiveRange final : public Range {
 public:
  LiveRange(std::shared_ptr<LiveSheet> sheet, LiveArea area)
      : m_sheet(std::move(sheet)), m_area(area) {}

  Array values() const override {
    Array a;
    if (!m_sheet->alive) {
      a.rows = a.cols = 1;
      a.items.emplace_back(ErrorCode::Ref);
      return a;
    }
    a.rows = m_area.rows;
    a.cols = m_area.cols;
    a.items.reserve(static_cast<std::size_t>(a.rows) * static_cast<std::size_t>(a.cols));
    for (std::int32_t r = 0; r < a.rows; ++r) {
      for (std::int32_t c = 0; c < a.cols; ++c) {
        const Cell* cell = m_sheet->find(m_area.row + r, m_area.col + c);
        a.items.push_back(cell ? cell->value : Value());
      }
    }
    return a;
  }
  Result<std::shared_ptr<Worksheet>> worksheet() const override {
    if (!m_sheet->alive) return stale();
    return std::shared_ptr<Worksheet>(m_sheet);
  }
  Result<std::int32_t> row() const override { return checked(m_area.row); }
  Result<std::int32_t> column() const override { return checked(m_area.col); }
  Result<std::int32_t> row_count() const override { return checked(m_area.rows); }
  Result<std::int32_t> column_count() const override { return checked(m_area.cols); }
  Result<std::string> address(bool external) const override {
    if (!m_sheet->alive) return stale();
    std::string a = live_a1(m_area.row, m_area.col);
    if (m_area.rows > 1 || m_area.cols > 1) {
      a += ":" + live_a1(m_area.row + m_area.rows - 1, m_area.col + m_area.cols - 1);
    }
    if (external) a = "'" + *m_sheet->name() + "'!" + a;
    return a;
  }
  Result<RangePtr> cell(std::int32_t row, std::int32_t col) const override {
    if (!m_sheet->alive) return stale();
    const std::int32_t r = m_area.row + row - 1;
    const std::int32_t c = m_area.col + col - 1;
    if (r < 1 || c < 1 || r > 1048576 || c > 16384) return Status::failed("outside the sheet");
    return RangePtr(std::make_shared<LiveRange>(m_sheet, LiveArea{r, c, 1, 1}));
  }
  Result<Value> value() const override {
    if (!m_sheet->alive) return stale();
    if (m_area.rows == 1 && m_area.cols == 1) {
      const Cell* cell = m_sheet->find(m_area.row, m_area.col);
      return cell ? cell->value : Value();
    }
    return Value(values());
  }
  Status set_value(const Value& v) const override {
    if (!m_sheet->alive) return stale();
    if (v.is_array()) {
      const Array& a = v.array();
      for (std::int32_t r = 0; r < a.rows; ++r) {
        for (std::int32_t c = 0; c < a.cols; ++c) {
          if (Status s = write(m_area.row + r, m_area.col + c, a.at(r, c)); !s.ok()) return s;
        }
      }
      return Status();
    }
    return each([&](std::int32_t r, std::int32_t c) { return write(r, c, v); });
  }
  Result<std::string> formula() const override {
    if (!m_sheet->alive) return stale();
    const Cell* cell = m_sheet->find(m_area.row, m_area.col);
    if (!cell) return std::string();
    return cell->formula.empty() ? cell->value.to_text() : cell->formula;
  }
  Result<std::string> formula_r1c1() const override { return formula(); }
  Status set_formula(std::string_view formula) const override {
    if (!m_sheet->alive) return stale();
    return each([&](std::int32_t r, std::int32_t c) {
      if (formula.empty() || formula.front() != '=') return write(r, c, Value(formula));
      Cell cell;
      cell.formula = std::string(formula);
      if (const Cell* old = m_sheet->find(r, c)) cell.format = old->format;
      // A formula of our own book is kept as written; only the calls' cells
      // are evaluated (the engine writes no other formulas).
      cell.value = formula == "=\"\"" ? Value(std::string()) : Value();
      return m_sheet->put(r, c, std::move(cell));
    });
  }
  Status set_formula_r1c1(std::string_view formula) const override { return set_formula(formula); }
  Result<bool> has_formula() const override {
    if (!m_sheet->alive) return stale();
    const Cell* cell = m_sheet->find(m_area.row, m_area.col);
    return cell != nullptr && !cell->formula.empty();
  }
  Result<std::string> number_format() const override {
    if (!m_sheet->alive) return stale();
    const Cell* cell = m_sheet->find(m_area.row, m_area.col);
    return cell && !cell->format.empty() ? cell->format : std::string("General");
  }
  Status set_number_format(std::string_view format) const override {
    if (!m_sheet->alive) return stale();
    return each([&](std::int32_t r, std::int32_t c) {
      Cell cell;
      if (const Cell* old = m_sheet->find(r, c)) cell = *old;
      cell.format = format == "General" ? std::string() : std::string(format);
      return m_sheet->put(r, c, std::move(cell));
    });
  }
  Status clear_contents() const override {
    if (!m_sheet->alive) return stale();
    return each([&](std::int32_t r, std::int32_t c) {
      Cell cell;
      if (const Cell* old = m_sheet->find(r, c)) cell.format = old->format;
      return m_sheet->put(r, c, std::move(cell));
    });
  }
  Result<RangePtr> find(std::string_view what, const FindOptions& options) const override {
    if (!m_sheet->alive) return stale();
    for (const auto& [pos, cell] : m_sheet->grid) {
      if (!inside(pos.first, pos.second)) continue;
      const std::string text = options.look_in == LookIn::Formulas && !cell.formula.empty()
                                   ? cell.formula
                                   : cell.value.to_text();
      const bool hit = options.look_at == LookAt::Whole
                           ? text::iequals(text, what)
                           : text::lower(text).find(text::lower(what)) != std::string::npos;
      if (hit) {
        return RangePtr(
            std::make_shared<LiveRange>(m_sheet, LiveArea{pos.first, pos.second, 1, 1}));
      }
    }
    return RangePtr();
  }
  Result<bool> replace(std::string_view, std::string_view, const ReplaceOptions&) const override {
    if (!m_sheet->alive) return stale();
    return false;  // the book holds no formulas a user wrote
  }

 private:
  template <typename T>
  Result<T> checked(T v) const {
    if (!m_sheet->alive) return stale();
    return v;
  }
  bool inside(std::int32_t r, std::int32_t c) const {
    return r >= m_area.row && r < m_area.row + m_area.rows && c >= m_area.col &&
           c < m_area.col + m_area.cols;
  }
  Status each(const std::function<Status(std::int32_t, std::int32_t)>& fn) const {
    for (std::int32_t r = 0; r < m_area.rows; ++r) {
      for (std::int32_t c = 0; c < m_area.cols; ++c) {
        if (Status s = fn(m_area.row + r, m_area.col + c); !s.ok()) return s;
      }
    }
    return Status();
  }
  // Typed entry: "=..." is a formula, numeric text a number, an ISO date
  // ("2024-01-02") a date, a leading apostrophe keeps the rest as text,
  // the rest as is.
  Status write(std::int32_t r, std::int32_t c, const Value& v) const {
    Cell cell;
    if (const Cell* old = m_sheet->find(r, c)) cell.format = old->format;
    if (v.is_text() && !v.text().empty() && v.text().front() == '=') {
      cell.formula = v.text();
    } else if (v.is_text() && !v.text().empty() && v.text().front() == '\'') {
      cell.value = Value(v.text().substr(1));
    } else if (const auto day = v.is_text() ? parse_iso_date(v.text()) : std::nullopt) {
      cell.value = Value(Date{*day});
    } else if (v.is_text() && !v.text().empty() && v.to_number()) {
      cell.value = Value(*v.to_number());
    } else if (v.type() != ValueType::Missing && v.type() != ValueType::Null) {
      cell.value = v;
    }
    return m_sheet->put(r, c, std::move(cell));
  }

  std::shared_ptr<LiveSheet> m_sheet;
  LiveArea m_area;
};

// ---------------------------------------------------------------------------
// The book, the add-ins list and the worksheet functions.

class LiveBookObj final : public Workbook {
 public:
  explicit LiveBookObj(LiveApplication& app) : m_app(app) {}
  std::vector<std::shared_ptr<LiveSheet>> sheets;

  Result<std::string> name() const override { return std::string(kBookName); }
  Result<std::string> full_name() const override { return std::string(kBookName); }
  Result<std::int32_t> worksheet_count() const override {
    return static_cast<std::int32_t>(sheets.size());
  }
  Result<WorksheetPtr> worksheet(std::int32_t index) const override {
    if (index < 1 || index > static_cast<std::int32_t>(sheets.size())) {
      return Status::failed("no such sheet");
    }
    return WorksheetPtr(sheets[static_cast<std::size_t>(index - 1)]);
  }
  Result<WorksheetPtr> worksheet(std::string_view name) const override {
    for (const auto& s : sheets) {
      if (text::iequals(*s->name(), name)) return WorksheetPtr(s);
    }
    return Status::failed("no such sheet");
  }
  Result<WorksheetPtr> add_worksheet(std::string_view name) override {
    std::string n(name);
    for (int i = static_cast<int>(sheets.size()) + 1; n.empty(); ++i) {
      const std::string candidate = "Sheet" + std::to_string(i);
      if (!worksheet(candidate).ok()) n = candidate;
    }
    if (worksheet(n).ok()) return Status::failed("a sheet of that name exists");
    auto sheet = std::make_shared<LiveSheet>(m_app, n);
    sheets.push_back(sheet);
    return WorksheetPtr(sheet);
  }
  Result<WorksheetPtr> active_sheet() const override {
    if (sheets.empty()) return Status::failed("no sheet");
    return WorksheetPtr(sheets.front());
  }
  Status activate() override { return Status(); }
  Result<std::vector<std::string>> link_sources() const override {
    return std::vector<std::string>{};
  }
  Status save() override { return Status::failed("the live cells have no file"); }
  Status save_as(std::string_view) override { return save(); }
  Status close(bool) override { return Status::failed("the live cells stay open"); }

 private:
  LiveApplication& m_app;
};

class LiveBooks final : public Workbooks {
 public:
  explicit LiveBooks(std::shared_ptr<LiveBookObj> book) : m_book(std::move(book)) {}
  std::int32_t count() const override { return 1; }
  Result<WorkbookPtr> item(std::int32_t index) const override {
    if (index != 1) return Status::failed("no such workbook");
    return WorkbookPtr(m_book);
  }
  Result<WorkbookPtr> item(std::string_view name) const override {
    if (!text::iequals(name, kBookName)) return Status::failed("no such workbook");
    return WorkbookPtr(m_book);
  }
  Result<WorkbookPtr> add() override { return WorkbookPtr(m_book); }
  Result<WorkbookPtr> open(std::string_view) override {
    return Status::failed("Calc opens the workbooks");
  }

 private:
  std::shared_ptr<LiveBookObj> m_book;
};

class LiveAddIn final : public AddIn {
 public:
  explicit LiveAddIn(std::string path) : m_path(std::move(path)) {}
  Result<std::string> name() const override {
    const auto slash = m_path.find_last_of("/\\");
    return slash == std::string::npos ? m_path : m_path.substr(slash + 1);
  }
  Result<std::string> full_name() const override { return m_path; }
  Result<bool> installed() const override { return m_installed; }
  // The functions are Calc's (the extension declares them); installing
  // only records the library as the engine's.
  Status set_installed(bool on) override {
    m_installed = on;
    return Status();
  }

 private:
  std::string m_path;
  bool m_installed = false;
};

class LiveAddIns final : public AddIns {
 public:
  std::int32_t count() const override { return static_cast<std::int32_t>(m_items.size()); }
  Result<AddInPtr> item(std::int32_t index) const override {
    if (index < 1 || index > count()) return Status::failed("no such add-in");
    return m_items[static_cast<std::size_t>(index - 1)];
  }
  Result<AddInPtr> item(std::string_view name) const override {
    for (const auto& a : m_items) {
      if (text::iequals(*a->name(), name)) return a;
    }
    return Status::failed("no such add-in");
  }
  Result<AddInPtr> add(std::string_view path) override {
    for (const auto& a : m_items) {
      if (*a->full_name() == path) return a;
    }
    m_items.push_back(std::make_shared<LiveAddIn>(std::string(path)));
    return m_items.back();
  }

 private:
  std::vector<AddInPtr> m_items;
};

// The numbers of the arguments as the spreadsheet's functions take them:
// numbers of ranges and arrays (texts and empty cells skipped), scalars
// converted. An error value anywhere fails.
Result<std::vector<double>> numbers_of(std::span<const Value> args) {
  std::vector<double> out;
  auto take_block = [&out](const Array& a) -> Status {
    for (const Value& v : a.items) {
      if (v.is_error()) return Status::failed(std::string(error_text(v.error())));
      if (v.is_number()) out.push_back(v.number());
    }
    return Status();
  };
  for (const Value& v : args) {
    if (v.is_range()) {
      if (Status s = take_block(v.range().values()); !s.ok()) return s;
    } else if (v.is_array()) {
      if (Status s = take_block(v.array()); !s.ok()) return s;
    } else if (v.is_error()) {
      return Status::failed(std::string(error_text(v.error())));
    } else if (v.type() != ValueType::Missing) {
      const auto n = v.to_number();
      if (!n) return Status::failed("#VALUE!");
      out.push_back(*n);
    }
  }
  return out;
}

Array block_of(const Value& v) {
  if (v.is_range()) return v.range().values();
  if (v.is_array()) return v.array();
  Array a;
  a.rows = a.cols = 1;
  a.items.push_back(v);
  return a;
}

class LiveFunctions final : public WorksheetFunctions {
 public:
  Result<double> average(std::span<const Value> args) override {
    const auto n = numbers_of(args);
    if (!n.ok()) return n.status();
    if (n->empty()) return Status::failed("#DIV/0!");
    double s = 0;
    for (double x : *n) s += x;
    return s / static_cast<double>(n->size());
  }
  Result<double> sum(std::span<const Value> args) override {
    const auto n = numbers_of(args);
    if (!n.ok()) return n.status();
    double s = 0;
    for (double x : *n) s += x;
    return s;
  }
  Result<double> sum_product(std::span<const Value> args) override {
    if (args.empty()) return Status::failed("#VALUE!");
    std::vector<Array> blocks;
    for (const Value& v : args) blocks.push_back(block_of(v));
    const std::size_t size = blocks.front().items.size();
    for (const Array& b : blocks) {
      if (b.items.size() != size) return Status::failed("#VALUE!");
    }
    double s = 0;
    for (std::size_t i = 0; i < size; ++i) {
      double p = 1;
      for (const Array& b : blocks) {
        const Value& v = b.items[i];
        if (v.is_error()) return Status::failed(std::string(error_text(v.error())));
        p *= v.is_number() ? v.number() : 0.0;
      }
      s += p;
    }
    return s;
  }
  Result<double> max(std::span<const Value> args) override {
    const auto n = numbers_of(args);
    if (!n.ok()) return n.status();
    return n->empty() ? 0.0 : *std::max_element(n->begin(), n->end());
  }
  Result<double> min(std::span<const Value> args) override {
    const auto n = numbers_of(args);
    if (!n.ok()) return n.status();
    return n->empty() ? 0.0 : *std::min_element(n->begin(), n->end());
  }
  Result<double> slope(const Value& known_ys, const Value& known_xs) override {
    const Array ys = block_of(known_ys);
    const Array xs = block_of(known_xs);
    if (ys.items.size() != xs.items.size()) return Status::failed("#N/A");
    double sx = 0, sy = 0;
    std::size_t n = 0;
    for (std::size_t i = 0; i < ys.items.size(); ++i) {
      if (ys.items[i].is_error())
        return Status::failed(std::string(error_text(ys.items[i].error())));
      if (xs.items[i].is_error())
        return Status::failed(std::string(error_text(xs.items[i].error())));
      if (!ys.items[i].is_number() || !xs.items[i].is_number()) continue;
      sx += xs.items[i].number();
      sy += ys.items[i].number();
      ++n;
    }
    if (n == 0) return Status::failed("#DIV/0!");
    const double mx = sx / static_cast<double>(n);
    const double my = sy / static_cast<double>(n);
    double num = 0, den = 0;
    for (std::size_t i = 0; i < ys.items.size(); ++i) {
      if (!ys.items[i].is_number() || !xs.items[i].is_number()) continue;
      num += (xs.items[i].number() - mx) * (ys.items[i].number() - my);
      den += (xs.items[i].number() - mx) * (xs.items[i].number() - mx);
    }
    if (den == 0) return Status::failed("#DIV/0!");
    return num / den;
  }
};

struct LiveApplication::Impl {
  explicit Impl(LiveApplication& app) : book(std::make_shared<LiveBookObj>(app)), books(book) {}
  std::shared_ptr<LiveBookObj> book;
  LiveBooks books;
  LiveAddIns add_ins;
  LiveFunctions functions;
};

// ---------------------------------------------------------------------------

Result<std::int32_t> LiveSheet::index() const {
  if (!alive) return stale();
  const auto& sheets = m_app.impl().book->sheets;
  for (std::size_t i = 0; i < sheets.size(); ++i) {
    if (sheets[i].get() == this) return static_cast<std::int32_t>(i + 1);
  }
  return 0;  // an argument's sheet, outside the book's list
}

Result<WorkbookPtr> LiveSheet::workbook() const {
  if (!alive) return stale();
  return WorkbookPtr(m_app.impl().book);
}

Result<RangePtr> LiveSheet::cells() const {
  if (!alive) return stale();
  return RangePtr(std::make_shared<LiveRange>(
      std::const_pointer_cast<LiveSheet>(shared_from_this()), LiveArea{1, 1, 1048576, 16384}));
}

Result<RangePtr> LiveSheet::cell(std::int32_t row, std::int32_t col) const {
  if (!alive) return stale();
  if (row < 1 || col < 1 || row > 1048576 || col > 16384)
    return Status::failed("outside the sheet");
  return RangePtr(std::make_shared<LiveRange>(
      std::const_pointer_cast<LiveSheet>(shared_from_this()), LiveArea{row, col, 1, 1}));
}

Result<RangePtr> LiveSheet::range(std::string_view address) const {
  if (!alive) return stale();
  const auto area = parse_live_address(address);
  if (!area.ok()) return area.status();
  return RangePtr(
      std::make_shared<LiveRange>(std::const_pointer_cast<LiveSheet>(shared_from_this()), *area));
}

Result<RangePtr> LiveSheet::used_range() const {
  if (!alive) return stale();
  if (grid.empty()) return cell(1, 1);
  std::int32_t r1 = 1048576, c1 = 16384, r2 = 1, c2 = 1;
  for (const auto& [pos, c] : grid) {
    r1 = std::min(r1, pos.first);
    c1 = std::min(c1, pos.second);
    r2 = std::max(r2, pos.first);
    c2 = std::max(c2, pos.second);
  }
  return RangePtr(
      std::make_shared<LiveRange>(std::const_pointer_cast<LiveSheet>(shared_from_this()),
                                  LiveArea{r1, c1, r2 - r1 + 1, c2 - c1 + 1}));
}

Status LiveSheet::for_each_cell(const std::function<void(const RangePtr&)>& fn) const {
  if (!alive) return stale();
  std::vector<std::pair<std::int32_t, std::int32_t>> listed;
  for (const auto& [pos, c] : grid) listed.push_back(pos);
  std::sort(listed.begin(), listed.end(), [](const auto& a, const auto& b) {
    return std::tie(a.second, a.first) < std::tie(b.second, b.first);
  });
  auto self = std::const_pointer_cast<LiveSheet>(shared_from_this());
  for (const auto& [r, c] : listed) {
    fn(std::make_shared<LiveRange>(self, LiveArea{r, c, 1, 1}));
  }
  return Status();
}

Status LiveSheet::remove() {
  if (!alive) return stale();
  if (call) return Status::failed("a live call's sheet is removed with the call");
  auto& sheets = m_app.impl().book->sheets;
  sheets.erase(std::remove(sheets.begin(), sheets.end(), shared_from_this()), sheets.end());
  alive = false;
  return Status();
}

void LiveSheet::evaluate() {
  if (!call || !alive) return;
  // The call reads its own formula (a history table keys its area by it):
  // the cell holds it while the call runs, from the first evaluation on.
  grid[{1, 1}].formula = call_formula;
  const auto method = m_app.add_in_methods().find(call->method);
  Value answer;
  if (!method) {
    answer = Value(ErrorCode::Name);
  } else {
    std::vector<Value> args = call->args;
    if (call->takes_caller) {
      args.emplace_back(std::shared_ptr<const RangeRef>(
          std::make_shared<LiveRange>(shared_from_this(), LiveArea{1, 1, 1, 1})));
    }
    try {
      answer = call_method(*method, args);
    } catch (...) {
      answer = Value(ErrorCode::Value);  // as formulas see a failing method
    }
  }
  if (!alive) return;  // the call was removed while it ran
  Cell& cell = grid[{1, 1}];
  cell.formula = call_formula;
  cell.value = std::move(answer);
}

// ---------------------------------------------------------------------------

LiveApplication::LiveApplication() : m_impl(std::make_unique<Impl>(*this)) {}

LiveApplication::~LiveApplication() {
  for (auto& [id, sheet] : m_calls) {
    sheet->alive = false;
    for (auto& a : sheet->argument_sheets) a->alive = false;
  }
}

void LiveApplication::add_call(std::int64_t id, LiveCall call) {
  if (m_calls.contains(id)) return;
  auto sheet = std::make_shared<LiveSheet>(*this, "live" + std::to_string(id));
  std::string formula = "=" + call.function + "(";
  for (std::size_t i = 0; i < call.args.size(); ++i) {
    if (i > 0) formula += ",";
    formula += literal(call.args[i]);
  }
  formula += ")";
  // A table argument is read through a range, as on a sheet.
  for (std::size_t i = 0; i < call.args.size(); ++i) {
    if (!call.args[i].is_array()) continue;
    auto arg =
        std::make_shared<LiveSheet>(*this, "live" + std::to_string(id) + "#" + std::to_string(i));
    const Array& a = call.args[i].array();
    for (std::int32_t r = 0; r < a.rows; ++r) {
      for (std::int32_t c = 0; c < a.cols; ++c) {
        const Value& v = a.at(r, c);
        if (!v.is_empty() && !(v.is_text() && v.text().empty())) {
          arg->grid[{r + 1, c + 1}].value = v;
        }
      }
    }
    arg->read_only = true;
    call.args[i] = Value(std::shared_ptr<const RangeRef>(std::make_shared<LiveRange>(
        arg, LiveArea{1, 1, std::max(a.rows, 1), std::max(a.cols, 1)})));
    sheet->argument_sheets.push_back(std::move(arg));
  }
  if (call.link_store.is_array()) show_link_store(call.link_store.array());
  sheet->call = std::move(call);
  sheet->call_formula = std::move(formula);
  sheet->call_id = id;
  m_impl->book->sheets.push_back(sheet);
  m_calls[id] = sheet;
  sheet->evaluate();
}

void LiveApplication::show_link_store(const Array& rows) {
  // The sheet holds the store of the document that called last: a link is
  // looked up when its call is first evaluated, right after this.
  auto& sheets = m_impl->book->sheets;
  for (auto it = sheets.begin(); it != sheets.end(); ++it) {
    if (!(*it)->call && text::iequals(*(*it)->name(), kLinkStoreSheet)) {
      (*it)->alive = false;
      sheets.erase(it);
      break;
    }
  }
  auto store = std::make_shared<LiveSheet>(*this, std::string(kLinkStoreSheet));
  for (std::int32_t r = 0; r < rows.rows; ++r) {
    for (std::int32_t c = 0; c < rows.cols; ++c) {
      const Value& v = rows.at(r, c);
      if (!v.is_empty() && !(v.is_text() && v.text().empty()))
        store->grid[{r + 1, c + 1}].value = v;
    }
  }
  store->read_only = true;
  sheets.push_back(std::move(store));
}

void LiveApplication::evaluate(std::int64_t call) {
  if (const auto it = m_calls.find(call); it != m_calls.end()) it->second->evaluate();
}

void LiveApplication::remove_call(std::int64_t call) {
  const auto it = m_calls.find(call);
  if (it == m_calls.end()) return;
  auto sheet = it->second;
  m_calls.erase(it);
  m_removed = true;
  sheet->alive = false;
  for (auto& a : sheet->argument_sheets) a->alive = false;
  auto& sheets = m_impl->book->sheets;
  sheets.erase(std::remove(sheets.begin(), sheets.end(), sheet), sheets.end());
}

Value LiveApplication::value_of(std::int64_t call) const {
  const auto it = m_calls.find(call);
  if (it == m_calls.end()) return Value();
  const Cell* cell = it->second->find(1, 1);
  return cell ? cell->value : Value();
}

std::vector<LiveChange> LiveApplication::take_changes() {
  std::vector<LiveChange> out;
  for (auto& [id, sheet] : m_calls) {
    const Cell* a1 = sheet->find(1, 1);
    const Value now = a1 ? a1->value : Value();
    const bool value_changed = !sheet->shown_once || !(now == sheet->shown);
    if (!value_changed && !sheet->block_dirty) continue;
    LiveChange change;
    change.call = id;
    change.value_changed = value_changed;
    change.value = now;
    sheet->shown = now;
    sheet->shown_once = true;
    if (sheet->block_dirty) {
      change.block_changed = true;
      change.block_rows = sheet->extent_rows;
      change.block_cols = sheet->extent_cols;
      change.block.assign(
          static_cast<std::size_t>(change.block_rows) * static_cast<std::size_t>(change.block_cols),
          Value());
      for (const auto& [pos, cell] : sheet->grid) {
        if (pos.first > change.block_rows || pos.second > change.block_cols) continue;
        if (pos.first == 1 && pos.second == 1) continue;
        change.block[static_cast<std::size_t>(pos.first - 1) *
                         static_cast<std::size_t>(change.block_cols) +
                     static_cast<std::size_t>(pos.second - 1)] = cell.value;
      }
      sheet->block_dirty = false;
    }
    out.push_back(std::move(change));
  }
  return out;
}

Workbooks& LiveApplication::workbooks() {
  return m_impl->books;
}

Result<WorkbookPtr> LiveApplication::active_workbook() const {
  return WorkbookPtr(m_impl->book);
}

Result<WorksheetPtr> LiveApplication::active_sheet() const {
  return m_impl->book->active_sheet();
}

AddIns& LiveApplication::add_ins() {
  return m_impl->add_ins;
}

WorksheetFunctions& LiveApplication::worksheet_functions() {
  return m_impl->functions;
}

Status LiveApplication::set_calculation(Calculation mode) {
  m_calculation = mode;
  if (mode == Calculation::Automatic) return calculate();
  return Status();
}

Status LiveApplication::calculate() {
  // By id, re-reading: evaluating may add or remove calls.
  std::vector<std::int64_t> ids;
  for (const auto& [id, sheet] : m_calls) ids.push_back(id);
  for (const std::int64_t id : ids) evaluate(id);
  return Status();
}

HandlerId LiveApplication::on_workbook_open(WorkbookOpenHandler handler) {
  const HandlerId id = m_next_handler++;
  m_open_handlers[id] = std::move(handler);
  return id;
}

void LiveApplication::remove_handler(HandlerId id) {
  m_open_handlers.erase(id);
}

}  // namespace quillo::host::lo
