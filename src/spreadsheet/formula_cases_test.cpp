// Runs the formula cases in testdata/formulas/*.txt. Each file holds cases
// of commands, one per line; a case starts with "case NAME" and runs in a
// fresh spreadsheet (one workbook, "Sheet1", automatic calculation, the clock
// at 2010-01-04 12:00, the test library below installed). Commands:
//
//   set A1 TEXT            enter TEXT (a formula when it starts with "=")
//   set_r1c1 A1 TEXT       the same in R1C1 notation
//   error A1 TEXT          entering TEXT must fail
//   expect A1 VALUE        VALUE: 12.5, "text", TRUE, #N/A, empty, date:2010-01-04
//   formula A1 TEXT        the cell's formula in A1 (formula_r1c1 for R1C1)
//   dirty A1 / clean A1    whether the formula waits for calculation
//   count KEY N            t_count(KEY) has run N times
//   circular A1 B2 ...     the cells reported on circular references (or "none")
//   calc manual|automatic, calculate, calculate_sheet [NAME], sheet_calc NAME on|off,
//   recalc_sheets          every sheet: calculation off, on, then calculate
//   refresh A1             read the formula, write ="" and write it back
//   sheet NAME, add_sheet NAME, rename OLD NEW, delete_sheet NAME, clear A1:B2 (clear_error)
//   name [Sheet!]NAME =TEXT   define a name (for one sheet when it names one)
//   name_error NAME =TEXT     defining it must fail
//   array B1:B3 =TEXT        an array formula over the cells (array_error: must fail)
//   table NAME A1:C4 COL,COL,COL [totals]   a table (one header row; ~ for a blank)
//
// Addresses may name a sheet ('My Sheet'!A1); without one, the current sheet.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "common/dates.h"
#include "common/text.h"
#include "spreadsheet/address.h"
#include "spreadsheet/application.h"
#include "spreadsheet/handles.h"

namespace quillo::spreadsheet {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTestLibrary = R"(# functions the formula cases call
t_set = t_set(address, text, caller)
t_count = t_count(key, [dep], caller)
t_caller = t_caller(caller)
t_describe = t_describe([a], [b], [c])
t_throw = t_throw(caller)
t_refresh = t_refresh(address, caller)
t_delete_sheet = t_delete_sheet(caller)
t_unregistered = t_nomethod(x)
)";

std::string describe(const Value& v) {
  switch (v.type()) {
    case ValueType::Missing:
      return "missing";
    case ValueType::Empty:
      return "empty";
    case ValueType::Bool:
      return "bool";
    case ValueType::Text:
      return "text";
    case ValueType::Error:
      return "error";
    case ValueType::Array:
      return "array:" + std::to_string(v.array().rows) + "x" + std::to_string(v.array().cols);
    case ValueType::Range:
      if (const host::Range* r = host::as_range(v)) return "range:" + r->address().value_or("?");
      return "range";
    default:
      return "number";
  }
}

class CaseRunner {
 public:
  CaseRunner(const fs::path& library, const std::string& where) : m_where(where) {
    Application::Options options;
    options.clock = [] { return date_serial(2010, 1, 4) + 0.5; };
    m_app = std::make_unique<Application>(options);
    m_book = m_app->workbooks().add().value();
    register_methods();
    auto addin = m_app->add_ins().add(library.string());
    EXPECT_TRUE(addin.ok());
    EXPECT_TRUE(addin.value()->set_installed(true).ok());
  }

  void run(const std::string& line, const std::string& where) {
    m_where = where;
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    std::string rest;
    std::getline(in, rest);
    rest = std::string(text::ltrim(rest));
    if (cmd == "set" || cmd == "set_r1c1" || cmd == "error") {
      const auto [addr, body] = split_first(rest);
      auto r = range(addr);
      if (!r) return;
      const Status st = cmd == "set_r1c1" ? r->set_formula_r1c1(body) : r->set_formula(body);
      if (cmd == "error") {
        EXPECT_FALSE(st.ok()) << m_where << ": entering " << body << " should fail";
      } else {
        EXPECT_TRUE(st.ok()) << m_where << ": " << st.message();
      }
    } else if (cmd == "expect") {
      const auto [addr, body] = split_first(rest);
      if (auto r = range(addr)) check_value(r->value().value_or(Value(ErrorCode::Null)), body);
    } else if (cmd == "formula" || cmd == "formula_r1c1") {
      const auto [addr, body] = split_first(rest);
      if (auto r = range(addr)) {
        EXPECT_EQ(cmd == "formula" ? r->formula().value_or("?") : r->formula_r1c1().value_or("?"),
                  body)
            << m_where;
      }
    } else {
      run_control(cmd, rest);
    }
  }

 private:
  void run_control(const std::string& cmd, const std::string& rest) {
    Model& m = m_app->model();
    if (cmd == "dirty" || cmd == "clean") {
      auto r = range(rest);
      if (!r) return;
      const auto* h = dynamic_cast<RangeHandle*>(r.get());
      EXPECT_EQ(m.is_dirty(h->sheet_id(), h->box().r1, h->box().c1), cmd == "dirty") << m_where;
    } else if (cmd == "count") {
      const auto [key, n] = split_first(rest);
      EXPECT_EQ(m_counts[key], std::stoi(n)) << m_where << ": count of " << key;
    } else if (cmd == "circular") {
      std::vector<std::string> want;
      std::istringstream in(rest);
      for (std::string a; in >> a;) {
        if (a != "none") want.push_back(range(a)->address(true).value());
      }
      std::sort(want.begin(), want.end());
      auto got = m_app->circular_references();
      std::sort(got.begin(), got.end());
      EXPECT_EQ(got, want) << m_where;
    } else if (cmd == "calc") {
      EXPECT_TRUE(m_app
                      ->set_calculation(rest == "manual" ? host::Calculation::Manual
                                                         : host::Calculation::Automatic)
                      .ok());
    } else if (cmd == "calculate") {
      EXPECT_TRUE(m_app->calculate().ok());
    } else if (cmd == "calculate_sheet") {
      EXPECT_TRUE(sheet(rest.empty() ? m_sheet : rest)->calculate().ok());
    } else if (cmd == "sheet_calc") {
      const auto [name, on] = split_first(rest);
      EXPECT_TRUE(sheet(name)->set_enable_calculation(on == "on").ok());
    } else if (cmd == "recalc_sheets") {
      for (std::int32_t i = 1; i <= m_book->worksheet_count().value(); ++i) {
        auto s = m_book->worksheet(i).value();
        EXPECT_TRUE(s->set_enable_calculation(false).ok());
        EXPECT_TRUE(s->set_enable_calculation(true).ok());
        EXPECT_TRUE(s->calculate().ok());
      }
    } else if (cmd == "refresh") {
      if (auto r = range(rest)) refresh(*r);
    } else if (cmd == "sheet") {
      if (!m_book->worksheet(rest).ok()) {
        EXPECT_TRUE(m_book->add_worksheet(rest).ok());
      }
      m_sheet = rest;
    } else if (cmd == "add_sheet") {
      EXPECT_TRUE(m_book->add_worksheet(rest).ok()) << m_where;
    } else if (cmd == "rename") {
      const auto [from, to] = split_first(rest);
      EXPECT_TRUE(sheet(from)->set_name(to).ok()) << m_where;
      if (text::iequals(m_sheet, from)) m_sheet = to;
    } else if (cmd == "delete_sheet") {
      EXPECT_TRUE(sheet(rest)->remove().ok()) << m_where;
    } else if (cmd == "name" || cmd == "name_error") {
      const auto [who, body] = split_first(rest);
      const std::size_t bang = who.rfind('!');
      SheetId scope = 0;
      if (bang != std::string::npos) scope = sheet_id(who.substr(0, bang) + "!A1");
      const Status st = m.define_name(book_id(), scope,
                                      bang == std::string::npos ? who : who.substr(bang + 1), body);
      EXPECT_EQ(st.ok(), cmd == "name") << m_where << ": " << st.message();
    } else if (cmd == "array" || cmd == "array_error") {
      const auto [where, body] = split_first(rest);
      const auto sb = parse_sheet_box(where);
      ASSERT_TRUE(sb) << m_where;
      const Status st = m.set_array_formula(sheet_id(where), sb->box, body);
      EXPECT_EQ(st.ok(), cmd == "array") << m_where << ": " << st.message();
    } else if (cmd == "table") {
      std::istringstream in(rest);
      std::string name, where, cols, totals;
      in >> name >> where >> cols >> totals;
      const auto sb = parse_sheet_box(where);
      ASSERT_TRUE(sb) << m_where;
      TableInfo t;
      t.name = name;
      t.sheet = sheet_id(where);
      t.r1 = sb->box.r1;
      t.c1 = sb->box.c1;
      t.r2 = sb->box.r2;
      t.c2 = sb->box.c2;
      t.totals_rows = totals == "totals" ? 1 : 0;
      std::istringstream names(cols);
      for (std::string c; std::getline(names, c, ',');) {
        std::replace(c.begin(), c.end(), '~', ' ');
        t.columns.push_back(c);
      }
      EXPECT_TRUE(m.add_table(book_id(), t).ok()) << m_where;
    } else if (cmd == "clear" || cmd == "clear_error") {
      if (auto r = range(rest)) {
        EXPECT_EQ(r->clear_contents().ok(), cmd == "clear") << m_where;
      }
    } else {
      ADD_FAILURE() << m_where << ": unknown command " << cmd;
    }
  }

  static std::pair<std::string, std::string> split_first(const std::string& s) {
    // The first word may be a quoted sheet name with blanks: 'My Sheet'!A1.
    std::size_t end = 0;
    bool quoted = false;
    while (end < s.size() && (quoted || s[end] != ' ')) {
      if (s[end] == '\'') quoted = !quoted;
      ++end;
    }
    return {s.substr(0, end), std::string(text::ltrim(std::string_view(s).substr(end)))};
  }

  host::WorksheetPtr sheet(const std::string& name) {
    auto s = m_book->worksheet(name);
    EXPECT_TRUE(s.ok()) << m_where << ": no sheet " << name;
    return s.ok() ? s.value() : nullptr;
  }

  SheetId sheet_id(const std::string& addr) {
    auto r = range(addr);
    const auto* h = r ? dynamic_cast<RangeHandle*>(r.get()) : nullptr;
    return h ? h->sheet_id() : 0;
  }
  BookId book_id() {
    const SheetId s = sheet_id("A1");
    return s ? m_app->model().sheet(s)->book : 0;
  }

  host::RangePtr range(const std::string& addr) {
    const auto sb = parse_sheet_box(addr);
    if (!sb) {
      ADD_FAILURE() << m_where << ": bad address " << addr;
      return nullptr;
    }
    auto s = sheet(sb->sheet.empty() ? m_sheet : sb->sheet);
    if (!s) return nullptr;
    return s->range(box_a1(sb->box, false)).value();
  }

  void check_value(const Value& got, const std::string& want) {
    const std::string shown = describe(got) + " " + got.to_text();
    if (want == "empty") {
      EXPECT_TRUE(got.is_empty()) << m_where << ": got " << shown;
    } else if (want.size() >= 2 && want.front() == '"' && want.back() == '"') {
      std::string t = want.substr(1, want.size() - 2);
      text::replace_all(t, "\"\"", "\"");
      EXPECT_TRUE(got.is_text() && got.text() == t) << m_where << ": got " << shown;
    } else if (want == "TRUE" || want == "FALSE") {
      EXPECT_EQ(got, Value(want == "TRUE")) << m_where << ": got " << shown;
    } else if (auto e = error_from_text(want)) {
      EXPECT_EQ(got, Value(*e)) << m_where << ": got " << shown;
    } else if (want.rfind("date:", 0) == 0) {
      const auto d = parse_iso_date(want.substr(5));
      ASSERT_TRUE(d) << m_where;
      EXPECT_TRUE(got.type() == ValueType::Date && std::floor(got.number()) == *d)
          << m_where << ": got " << shown;
    } else {
      const double d = std::stod(want);
      EXPECT_TRUE(got.is_number() &&
                  std::fabs(got.number() - d) <= 1e-9 * std::max(1.0, std::fabs(d)))
          << m_where << ": want " << want << ", got " << shown;
    }
  }

  static void refresh(const host::Range& r) {
    const std::string f = r.formula().value_or("");
    EXPECT_TRUE(r.set_formula("=\"\"").ok());
    EXPECT_TRUE(r.set_formula(f).ok());
  }

  // The cell an address names, on the caller's sheet unless it names another.
  host::RangePtr target(const Value& caller, const Value& address) {
    const host::Range* c = host::as_range(caller);
    const auto sb = parse_sheet_box(address.to_text());
    if (!c || !sb) return nullptr;
    auto own = c->worksheet();
    if (!own.ok()) return nullptr;
    auto book = own.value()->workbook().value();
    auto s = sb->sheet.empty() ? own.value() : book->worksheet(sb->sheet).value_or(nullptr);
    return s ? s->range(box_a1(sb->box, false)).value_or(nullptr) : nullptr;
  }

  void register_methods() {
    auto& methods = m_app->add_in_methods();
    methods.add("t_set", [this](host::AddInArgs a) -> Value {
      auto r = target(a[2], a[0]);
      if (!r) return Value(ErrorCode::Ref);
      return r->set_formula(a[1].to_text()).ok() ? Value("set") : Value("failed");
    });
    methods.add("t_count", [this](host::AddInArgs a) -> Value {
      return Value(static_cast<double>(++m_counts[a[0].to_text()]));
    });
    methods.add("t_caller", [](host::AddInArgs a) -> Value {
      const host::Range* r = host::as_range(a[0]);
      return r ? Value(r->address(true).value_or("?")) : Value(ErrorCode::Value);
    });
    methods.add("t_describe", [](host::AddInArgs a) -> Value {
      return Value(describe(a[0]) + "|" + describe(a[1]) + "|" + describe(a[2]));
    });
    methods.add("t_throw",
                [](host::AddInArgs) -> Value { throw std::runtime_error("engine failure"); });
    methods.add("t_refresh", [this](host::AddInArgs a) -> Value {
      auto r = target(a[1], a[0]);
      if (!r) return Value(ErrorCode::Ref);
      refresh(*r);
      return Value("refreshed");
    });
    methods.add("t_delete_sheet", [](host::AddInArgs a) -> Value {
      const host::Range* r = host::as_range(a[0]);
      return r && r->worksheet().value()->remove().ok() ? Value("deleted") : Value("kept");
    });
  }

  std::unique_ptr<Application> m_app;
  host::WorkbookPtr m_book;
  std::string m_sheet = "Sheet1";
  std::map<std::string, int> m_counts;
  std::string m_where;
};

class FormulaCases : public testing::TestWithParam<std::string> {};

TEST_P(FormulaCases, Run) {
  const fs::path dir = fs::temp_directory_path() / ("quillo_formula_cases_" + GetParam());
  fs::create_directories(dir);
  const fs::path library = dir / "tlib.xla";
  std::ofstream(library) << kTestLibrary;

  const fs::path file = fs::path(QUILLO_TESTDATA_DIR) / "formulas" / (GetParam() + ".txt");
  std::ifstream in(file);
  ASSERT_TRUE(in) << file;
  std::unique_ptr<CaseRunner> runner;
  std::string line, case_name;
  for (int n = 1; std::getline(in, line); ++n) {
    const std::string_view t = text::trim(line);
    if (t.empty() || t[0] == '#') continue;
    const std::string where = GetParam() + ".txt:" + std::to_string(n) + " (" + case_name + ")";
    if (t.rfind("case ", 0) == 0) {
      case_name = std::string(t.substr(5));
      runner = std::make_unique<CaseRunner>(library, where);
      continue;
    }
    ASSERT_TRUE(runner) << where << ": command before the first case";
    runner->run(std::string(t), where);
  }
  runner.reset();
  fs::remove_all(dir);
}

std::vector<std::string> case_files() {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(fs::path(QUILLO_TESTDATA_DIR) / "formulas")) {
    if (e.path().extension() == ".txt") names.push_back(e.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

INSTANTIATE_TEST_SUITE_P(Files, FormulaCases, testing::ValuesIn(case_files()),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace quillo::spreadsheet
