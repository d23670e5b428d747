// The object-model objects of the stand-in, one class per object, each a
// member table over the spreadsheet's host interfaces.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <variant>

#include "common/text.h"
#include "dispatch.h"
#include "spreadsheet/handles.h"
#include "standin.h"

namespace quillo::standin {

namespace {

using Key = std::variant<std::int32_t, std::string>;

// An Item argument: a name when it is text, otherwise an index.
Key item_key(const Args& a, UINT i) {
  if (V_VT(&a.at(i)) == VT_BSTR) return a.text(i);
  return a.i32(i);
}

template <typename T, typename Coll>
T item_of(const Coll& c, const Key& k) {
  if (auto* name = std::get_if<std::string>(&k)) return check(c.item(std::string_view(*name)));
  return check(c.item(std::get<std::int32_t>(k)));
}

Status not_supported(std::string what) {
  return Status(StatusCode::NotSupported, std::move(what));
}

}  // namespace

class StandinApp final : public Dispatch {
 public:
  StandinApp();
  spreadsheet::Application& sheet() { return *m_app; }
  std::shared_ptr<SinkList> click_sinks(const host::ControlPtr& control);
  // Drops the sinks of controls that no longer exist.
  void sweep_click_sinks();
  Status install_library(const std::string& path, bool on);

 private:
  ~StandinApp() override;
  Value forward(const std::string& method, host::AddInArgs args);

  std::unique_ptr<spreadsheet::Application> m_app;
  std::shared_ptr<SinkList> m_app_events = std::make_shared<SinkList>();
  struct Clicks {
    std::weak_ptr<host::CommandBarControl> control;
    std::shared_ptr<SinkList> sinks;
  };
  std::map<const host::CommandBarControl*, Clicks> m_clicks;
  std::map<std::string, std::vector<std::string>> m_forwarded;  // library path -> methods
  host::HandlerId m_open_handler = 0;
};

IDispatch* wrap_book(StandinApp& app, host::WorkbookPtr book);
IDispatch* wrap_sheet(StandinApp& app, host::WorksheetPtr sheet);
enum class Counting { Cells, Rows, Columns };
IDispatch* wrap_range(StandinApp& app, host::RangePtr range, Counting counting = Counting::Cells);
IDispatch* wrap_control(StandinApp& app, host::ControlPtr control);

// ---- VARIANT <-> Value ----

namespace {

constexpr std::pair<ErrorCode, std::int32_t> kErrorNumbers[] = {
    {ErrorCode::Null, 2000}, {ErrorCode::Div0, 2007}, {ErrorCode::Value, 2015},
    {ErrorCode::Ref, 2023},  {ErrorCode::Name, 2029}, {ErrorCode::Num, 2036},
    {ErrorCode::NA, 2042}};

Value from_array(SAFEARRAY* sa) {
  VARTYPE vt = VT_EMPTY;
  if (!sa || FAILED(SafeArrayGetVartype(sa, &vt)) || vt != VT_VARIANT) return ErrorCode::Value;
  const UINT dims = SafeArrayGetDim(sa);
  if (dims < 1 || dims > 2) return ErrorCode::Value;
  LONG lo1 = 0, hi1 = -1, lo2 = 0, hi2 = 0;
  SafeArrayGetLBound(sa, 1, &lo1);
  SafeArrayGetUBound(sa, 1, &hi1);
  if (dims == 2) {
    SafeArrayGetLBound(sa, 2, &lo2);
    SafeArrayGetUBound(sa, 2, &hi2);
  }
  const LONG n1 = hi1 - lo1 + 1, n2 = dims == 2 ? hi2 - lo2 + 1 : 1;
  if (n1 <= 0 || n2 <= 0) return ErrorCode::Value;
  Array out;
  out.rows = dims == 2 ? n1 : 1;
  out.cols = dims == 2 ? n2 : n1;
  out.items.reserve(static_cast<std::size_t>(n1) * static_cast<std::size_t>(n2));
  for (LONG i = 0; i < n1; ++i) {
    for (LONG j = 0; j < n2; ++j) {
      LONG idx[2] = {lo1 + i, lo2 + j};
      VARIANT item;
      VariantInit(&item);
      SafeArrayGetElement(sa, idx, &item);
      out.items.push_back(value_from_variant(item));
      VariantClear(&item);
    }
  }
  return out;
}

}  // namespace

Value value_from_variant(const VARIANT& in) {
  VARIANT v;
  VariantInit(&v);
  if (FAILED(VariantCopyInd(&v, const_cast<VARIANT*>(&in)))) return ErrorCode::Value;
  Value out = ErrorCode::Value;
  switch (V_VT(&v)) {
    case VT_EMPTY:
      out = Value();
      break;
    case VT_NULL:
      out = Null{};
      break;
    case VT_ERROR:
      if (V_ERROR(&v) == DISP_E_PARAMNOTFOUND) {
        out = Missing{};
      } else {
        for (auto [code, number] : kErrorNumbers) {
          if ((V_ERROR(&v) & 0xFFFF) == number) out = code;
        }
      }
      break;
    case VT_BOOL:
      out = V_BOOL(&v) != VARIANT_FALSE;
      break;
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_INT: {
      VARIANT c;
      VariantInit(&c);
      if (SUCCEEDED(VariantChangeType(&c, &v, 0, VT_I4))) out = std::int32_t{V_I4(&c)};
      break;
    }
    case VT_UI4:
    case VT_UINT:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DECIMAL: {
      VARIANT c;
      VariantInit(&c);
      if (SUCCEEDED(VariantChangeType(&c, &v, 0, VT_R8))) out = V_R8(&c);
      break;
    }
    case VT_DATE:
      out = Date{V_DATE(&v)};
      break;
    case VT_BSTR:
      out = utf8(V_BSTR(&v), static_cast<int>(SysStringLen(V_BSTR(&v))));
      break;
    case VT_DISPATCH:
      if (Dispatch* d = ours(V_DISPATCH(&v))) {
        if (host::RangePtr r = d->as_range()) out = Value(std::shared_ptr<const RangeRef>(r));
      }
      break;
    default:
      if (V_VT(&v) == (VT_ARRAY | VT_VARIANT)) out = from_array(V_ARRAY(&v));
      break;
  }
  VariantClear(&v);
  return out;
}

void variant_from_value(StandinApp& app, const Value& v, VARIANT* out) {
  VariantInit(out);
  switch (v.type()) {
    case ValueType::Empty:
      break;
    case ValueType::Null:
      V_VT(out) = VT_NULL;
      break;
    case ValueType::Missing:
      V_VT(out) = VT_ERROR;
      V_ERROR(out) = DISP_E_PARAMNOTFOUND;
      break;
    case ValueType::Bool:
      put_bool(out, v.as_bool());
      break;
    case ValueType::Integer:
    case ValueType::Double:
      V_VT(out) = VT_R8;
      V_R8(out) = v.number();
      break;
    case ValueType::Date:
      V_VT(out) = VT_DATE;
      V_DATE(out) = v.number();
      break;
    case ValueType::Text:
      put_text(out, v.text());
      break;
    case ValueType::Error:
      V_VT(out) = VT_ERROR;
      V_ERROR(out) = static_cast<SCODE>(0x800A0000u);
      for (auto [code, number] : kErrorNumbers) {
        if (code == v.error()) V_ERROR(out) = static_cast<SCODE>(0x800A0000u | number);
      }
      break;
    case ValueType::Array: {
      const Array& a = v.array();
      SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(a.rows), 1}, {static_cast<ULONG>(a.cols), 1}};
      SAFEARRAY* sa = SafeArrayCreate(VT_VARIANT, 2, bounds);
      for (std::int32_t r = 0; r < a.rows; ++r) {
        for (std::int32_t c = 0; c < a.cols; ++c) {
          LONG idx[2] = {r + 1, c + 1};
          VARIANT item;
          variant_from_value(app, a.at(r, c), &item);
          SafeArrayPutElement(sa, idx, &item);
          VariantClear(&item);
        }
      }
      V_VT(out) = VT_ARRAY | VT_VARIANT;
      V_ARRAY(out) = sa;
      break;
    }
    case ValueType::Range: {
      const host::Range* r = host::as_range(v);
      if (!r) {
        V_VT(out) = VT_ERROR;
        V_ERROR(out) = static_cast<SCODE>(0x800A0000u | 2015);
        break;
      }
      put_object(out, wrap_range(app, std::const_pointer_cast<host::Range>(r->shared_from_this())));
      break;
    }
  }
}

// ---- Range ----

namespace {

bool needs_quotes(std::string_view name) {
  return std::any_of(name.begin(), name.end(), [](char c) {
    return !((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
             c == '_' || c == '.' || static_cast<unsigned char>(c) >= 0x80);
  });
}

std::string strip_dollars(const std::string& a1, bool row_abs, bool col_abs) {
  std::string out;
  for (std::size_t i = 0; i < a1.size(); ++i) {
    if (a1[i] == '$' && i + 1 < a1.size()) {
      const bool before_digit = a1[i + 1] >= '0' && a1[i + 1] <= '9';
      if ((before_digit && !row_abs) || (!before_digit && !col_abs)) continue;
    }
    out += a1[i];
  }
  return out;
}

host::FindOptions find_options(const Args& a) {
  host::FindOptions o;
  o.look_in = static_cast<host::LookIn>(a.i32(2, static_cast<std::int32_t>(o.look_in)));
  o.look_at = static_cast<host::LookAt>(a.i32(3, static_cast<std::int32_t>(o.look_at)));
  o.order = static_cast<host::SearchOrder>(a.i32(4, static_cast<std::int32_t>(o.order)));
  o.match_case = a.flag(6, false);
  if (o.look_in != host::LookIn::Formulas && o.look_in != host::LookIn::Values) a.mismatch(2);
  return o;
}

}  // namespace

class RangeObj final : public Dispatch {
 public:
  RangeObj(StandinApp& app, host::RangePtr range, Counting counting)
      : m_app(&app), m_range(std::move(range)) {
    auto& r = m_range;
    members(
        {
            {L"Worksheet", 0, 0, [this](Args&, VARIANT* out) { put_object(out, sheet()); }},
            {L"Parent", 0, 0, [this](Args&, VARIANT* out) { put_object(out, sheet()); }},
            {L"Row", 0, 0, [r](Args&, VARIANT* out) { put_i4(out, check(r->row())); }},
            {L"Column", 0, 0, [r](Args&, VARIANT* out) { put_i4(out, check(r->column())); }},
            {L"Rows", 0, 0,
             [this](Args&, VARIANT* out) {
               put_object(out, wrap_range(*m_app, m_range, Counting::Rows));
             }},
            {L"Columns", 0, 0,
             [this](Args&, VARIANT* out) {
               put_object(out, wrap_range(*m_app, m_range, Counting::Columns));
             }},
            {L"Count", 0, 0,
             [r, counting](Args&, VARIANT* out) {
               const std::int32_t rows = check(r->row_count()), cols = check(r->column_count());
               put_i4(out, counting == Counting::Rows      ? rows
                           : counting == Counting::Columns ? cols
                                                           : rows * cols);
             }},
            {L"Address", 0, 5, [this](Args& a, VARIANT* out) { put_text(out, address(a)); }},
            {L"Item", 1, 2, [this](Args& a, VARIANT* out) { put_object(out, item(a)); }},
            {L"Cells", 0, 0,
             [this](Args&, VARIANT* out) { put_object(out, wrap_range(*m_app, m_range)); }},
            {L"Value", 0, 1,
             [this](Args&, VARIANT* out) {
               variant_from_value(*m_app, check(m_range->value()), out);
             },
             [r](Args&, const VARIANT& v) { check(r->set_value(value_from_variant(v))); }},
            {L"Formula", 0, 0, [r](Args&, VARIANT* out) { put_text(out, check(r->formula())); },
             [r](Args& a, const VARIANT& v) { check(r->set_formula(text_of(a, v))); }},
            {L"FormulaR1C1", 0, 0,
             [r](Args&, VARIANT* out) { put_text(out, check(r->formula_r1c1())); },
             [r](Args& a, const VARIANT& v) { check(r->set_formula_r1c1(text_of(a, v))); }},
            {L"HasFormula", 0, 0,
             [r](Args&, VARIANT* out) { put_bool(out, check(r->has_formula())); }},
            {L"NumberFormat", 0, 0,
             [r](Args&, VARIANT* out) { put_text(out, check(r->number_format())); },
             [r](Args& a, const VARIANT& v) { check(r->set_number_format(text_of(a, v))); }},
            {L"ClearContents", 0, 0, [r](Args&, VARIANT*) { check(r->clear_contents()); }},
            {L"Find", 1, 9,
             [this](Args& a, VARIANT* out) {
               host::RangePtr found = check(m_range->find(a.text(0), find_options(a)));
               put_object(out, found ? wrap_range(*m_app, found) : nullptr);
             }},
            {L"Replace", 2, 8,
             [r](Args& a, VARIANT* out) {
               host::ReplaceOptions o;
               o.look_at =
                   static_cast<host::LookAt>(a.i32(2, static_cast<std::int32_t>(o.look_at)));
               o.order =
                   static_cast<host::SearchOrder>(a.i32(3, static_cast<std::int32_t>(o.order)));
               o.match_case = a.flag(4, false);
               put_bool(out, check(r->replace(a.text(0), a.text(1), o)));
             }},
        },
        L"Value");
  }

  host::RangePtr as_range() override { return m_range; }

 private:
  // A property's new value as text.
  static std::string text_of(const Args&, const VARIANT& v) {
    VARIANT c;
    VariantInit(&c);
    if (FAILED(VariantChangeType(&c, const_cast<VARIANT*>(&v), 0, VT_BSTR))) {
      throw DispError{DISP_E_TYPEMISMATCH, DISP_E_TYPEMISMATCH, "type mismatch", 0};
    }
    std::string out = utf8(V_BSTR(&c), static_cast<int>(SysStringLen(V_BSTR(&c))));
    VariantClear(&c);
    return out;
  }

  IDispatch* sheet() { return wrap_sheet(*m_app, check(m_range->worksheet())); }

  IDispatch* item(const Args& a) {
    if (a.given(1)) return wrap_range(*m_app, check(m_range->cell(a.i32(0), a.i32(1))));
    // One index counts cells row by row.
    const std::int32_t cols = check(m_range->column_count());
    const std::int32_t i = a.i32(0) - 1;
    if (i < 0) fail(Status(StatusCode::InvalidArgument, "no cell " + std::to_string(i + 1)));
    return wrap_range(*m_app, check(m_range->cell(i / cols + 1, i % cols + 1)));
  }

  // Address(RowAbsolute, ColumnAbsolute, ReferenceStyle, External, RelativeTo).
  std::string address(const Args& a) const {
    if (a.i32(2, 1) != 1) fail(not_supported("R1C1 addresses are not supported"));
    std::string out =
        strip_dollars(check(m_range->address(false)), a.flag(0, true), a.flag(1, true));
    if (a.flag(3, false)) {
      auto sheet = check(m_range->worksheet());
      auto book = check(sheet->workbook());
      std::string where = "[" + check(book->name()) + "]" + check(sheet->name());
      if (needs_quotes(where.substr(where.find(']') + 1)) || needs_quotes(check(book->name()))) {
        std::string quoted = "'";
        for (char c : where) quoted += c == '\'' ? std::string("''") : std::string(1, c);
        where = quoted + "'";
      }
      out = where + "!" + out;
    }
    return out;
  }

  Ref<StandinApp> m_app;
  host::RangePtr m_range;
};

IDispatch* wrap_range(StandinApp& app, host::RangePtr range, Counting counting) {
  return new RangeObj(app, std::move(range), counting);
}

// ---- Worksheet and the sheets of a workbook ----

class SheetObj final : public Dispatch {
 public:
  SheetObj(StandinApp& app, host::WorksheetPtr sheet) : m_app(&app), m_sheet(std::move(sheet)) {
    auto& s = m_sheet;
    members({
        {L"Name", 0, 0, [s](Args&, VARIANT* out) { put_text(out, check(s->name())); },
         [s](Args&, const VARIANT& v) { check(s->set_name(text_value(v))); }},
        {L"Index", 0, 0, [s](Args&, VARIANT* out) { put_i4(out, check(s->index())); }},
        {L"Parent", 0, 0,
         [this](Args&, VARIANT* out) {
           put_object(out, wrap_book(*m_app, check(m_sheet->workbook())));
         }},
        {L"Visible", 0, 0,
         [s](Args&, VARIANT* out) { put_i4(out, static_cast<std::int32_t>(check(s->visible()))); },
         [s](Args&, const VARIANT& v) {
           VARIANT c;
           VariantInit(&c);
           if (FAILED(VariantChangeType(&c, const_cast<VARIANT*>(&v), 0, VT_I4))) {
             throw DispError{DISP_E_TYPEMISMATCH, DISP_E_TYPEMISMATCH, "type mismatch", 0};
           }
           // True (-1) shows, False (0) hides; xlSheetVeryHidden is 2.
           const std::int32_t n = V_I4(&c);
           if (n != -1 && n != 0 && n != 2)
             fail(Status(StatusCode::InvalidArgument, "bad visibility"));
           check(s->set_visible(static_cast<host::Visibility>(n)));
         }},
        {L"Cells", 0, 0,
         [this](Args&, VARIANT* out) {
           put_object(out, wrap_range(*m_app, check(m_sheet->cells())));
         }},
        {L"Range", 1, 2,
         [this](Args& a, VARIANT* out) {
           std::string address = a.text(0);
           if (a.given(1)) address += ":" + a.text(1);
           put_object(out, wrap_range(*m_app, check(m_sheet->range(address))));
         }},
        {L"UsedRange", 0, 0,
         [this](Args&, VARIANT* out) {
           put_object(out, wrap_range(*m_app, check(m_sheet->used_range())));
         }},
        {L"EnableCalculation", 0, 0,
         [s](Args&, VARIANT* out) { put_bool(out, check(s->enable_calculation())); },
         [s](Args&, const VARIANT& v) { check(s->set_enable_calculation(bool_value(v))); }},
        {L"Calculate", 0, 0, [s](Args&, VARIANT*) { check(s->calculate()); }},
        {L"Activate", 0, 0, [s](Args&, VARIANT*) { check(s->activate()); }},
        {L"Delete", 0, 0, [s](Args&, VARIANT*) { check(s->remove()); }},
    });
  }
  const host::WorksheetPtr& sheet() const { return m_sheet; }

  static std::string text_value(const VARIANT& v) {
    VARIANT c;
    VariantInit(&c);
    if (FAILED(VariantChangeType(&c, const_cast<VARIANT*>(&v), 0, VT_BSTR))) {
      throw DispError{DISP_E_TYPEMISMATCH, DISP_E_TYPEMISMATCH, "type mismatch", 0};
    }
    std::string out = utf8(V_BSTR(&c), static_cast<int>(SysStringLen(V_BSTR(&c))));
    VariantClear(&c);
    return out;
  }
  static bool bool_value(const VARIANT& v) {
    VARIANT c;
    VariantInit(&c);
    if (FAILED(VariantChangeType(&c, const_cast<VARIANT*>(&v), 0, VT_BOOL))) {
      throw DispError{DISP_E_TYPEMISMATCH, DISP_E_TYPEMISMATCH, "type mismatch", 0};
    }
    return V_BOOL(&c) != VARIANT_FALSE;
  }

 private:
  Ref<StandinApp> m_app;
  host::WorksheetPtr m_sheet;
};

IDispatch* wrap_sheet(StandinApp& app, host::WorksheetPtr sheet) {
  return new SheetObj(app, std::move(sheet));
}

class SheetsObj final : public Dispatch {
 public:
  SheetsObj(StandinApp& app, host::WorkbookPtr book) : m_app(&app), m_book(std::move(book)) {
    members(
        {
            {L"Count", 0, 0,
             [this](Args&, VARIANT* out) { put_i4(out, check(m_book->worksheet_count())); }},
            {L"Item", 1, 1,
             [this](Args& a, VARIANT* out) {
               const Key k = item_key(a, 0);
               host::WorksheetPtr s =
                   std::holds_alternative<std::string>(k)
                       ? check(m_book->worksheet(std::string_view(std::get<std::string>(k))))
                       : check(m_book->worksheet(std::get<std::int32_t>(k)));
               put_object(out, wrap_sheet(*m_app, s));
             }},
            // Add(Before, After, Count, Type): the spreadsheet appends, so only
            // After = the last sheet (or nothing) is supported.
            {L"Add", 0, 4,
             [this](Args& a, VARIANT* out) {
               if (a.given(0))
                 fail(not_supported("adding a sheet before another is not supported"));
               if (a.given(1)) {
                 auto* after = V_VT(&a.at(1)) == VT_DISPATCH
                                   ? dynamic_cast<SheetObj*>(ours(V_DISPATCH(&a.at(1))))
                                   : nullptr;
                 if (!after) a.mismatch(1);
                 if (check(after->sheet()->index()) != check(m_book->worksheet_count())) {
                   fail(not_supported("sheets are added after the last sheet only"));
                 }
               }
               put_object(out, wrap_sheet(*m_app, check(m_book->add_worksheet())));
             }},
        },
        L"Item");
  }

 private:
  Ref<StandinApp> m_app;
  host::WorkbookPtr m_book;
};

// ---- Workbook and Workbooks ----

class BookObj final : public Dispatch {
 public:
  BookObj(StandinApp& app, host::WorkbookPtr book) : m_app(&app), m_book(std::move(book)) {
    auto& b = m_book;
    members({
        {L"Name", 0, 0, [b](Args&, VARIANT* out) { put_text(out, check(b->name())); }},
        {L"FullName", 0, 0, [b](Args&, VARIANT* out) { put_text(out, check(b->full_name())); }},
        {L"Worksheets", 0, 0, [this](Args&, VARIANT* out) { put_object(out, sheets()); }},
        {L"Sheets", 0, 0, [this](Args&, VARIANT* out) { put_object(out, sheets()); }},
        {L"ActiveSheet", 0, 0,
         [this](Args&, VARIANT* out) {
           put_object(out, wrap_sheet(*m_app, check(m_book->active_sheet())));
         }},
        {L"Activate", 0, 0, [b](Args&, VARIANT*) { check(b->activate()); }},
        {L"LinkSources", 0, 1,
         [b](Args&, VARIANT* out) {
           const auto links = check(b->link_sources());
           if (links.empty() || !out) return;
           SAFEARRAYBOUND bound{static_cast<ULONG>(links.size()), 1};
           SAFEARRAY* sa = SafeArrayCreate(VT_VARIANT, 1, &bound);
           for (LONG i = 0; i < static_cast<LONG>(links.size()); ++i) {
             VARIANT item;
             VariantInit(&item);
             put_text(&item, links[static_cast<std::size_t>(i)]);
             LONG idx = i + 1;
             SafeArrayPutElement(sa, &idx, &item);
             VariantClear(&item);
           }
           V_VT(out) = VT_ARRAY | VT_VARIANT;
           V_ARRAY(out) = sa;
         }},
        {L"Save", 0, 0, [b](Args&, VARIANT*) { check(b->save()); }},
        {L"SaveAs", 1, 12, [b](Args& a, VARIANT*) { check(b->save_as(a.text(0))); }},
        {L"Close", 0, 3, [b](Args& a, VARIANT*) { check(b->close(a.flag(0, false))); }},
    });
  }

 private:
  IDispatch* sheets() {
    (void)check(m_book->name());  // a closed workbook has no sheets to list
    return new SheetsObj(*m_app, m_book);
  }
  Ref<StandinApp> m_app;
  host::WorkbookPtr m_book;
};

IDispatch* wrap_book(StandinApp& app, host::WorkbookPtr book) {
  return new BookObj(app, std::move(book));
}

class BooksObj final : public Dispatch {
 public:
  explicit BooksObj(StandinApp& app) : m_app(&app) {
    members(
        {
            {L"Count", 0, 0, [this](Args&, VARIANT* out) { put_i4(out, books().count()); }},
            {L"Item", 1, 1,
             [this](Args& a, VARIANT* out) {
               put_object(out,
                          wrap_book(*m_app, item_of<host::WorkbookPtr>(books(), item_key(a, 0))));
             }},
            {L"Add", 0, 1,
             [this](Args&, VARIANT* out) {
               put_object(out, wrap_book(*m_app, check(books().add())));
             }},
            {L"Open", 1, 15,
             [this](Args& a, VARIANT* out) {
               put_object(out, wrap_book(*m_app, check(books().open(a.text(0)))));
             }},
        },
        L"Item");
  }

 private:
  host::Workbooks& books() { return m_app->sheet().workbooks(); }
  Ref<StandinApp> m_app;
};

// ---- AddIns and AddIn ----

class AddInObj final : public Dispatch {
 public:
  AddInObj(StandinApp& app, host::AddInPtr add_in) : m_app(&app), m_add_in(std::move(add_in)) {
    auto& x = m_add_in;
    members({
        {L"Name", 0, 0, [x](Args&, VARIANT* out) { put_text(out, check(x->name())); }},
        {L"FullName", 0, 0, [x](Args&, VARIANT* out) { put_text(out, check(x->full_name())); }},
        {L"Installed", 0, 0, [x](Args&, VARIANT* out) { put_bool(out, check(x->installed())); },
         [this](Args&, const VARIANT& v) {
           // The forwarders are registered first: installing recalculates
           // the library's formulas, which must reach quillo.core.
           const bool on = SheetObj::bool_value(v);
           const std::string path = check(m_add_in->full_name());
           if (on) check(m_app->install_library(path, true));
           if (auto st = m_add_in->set_installed(on); !st.ok()) {
             if (on) (void)m_app->install_library(path, false);
             fail(st);
           }
           if (!on) check(m_app->install_library(path, false));
         }},
    });
  }

 private:
  Ref<StandinApp> m_app;
  host::AddInPtr m_add_in;
};

class AddInsObj final : public Dispatch {
 public:
  explicit AddInsObj(StandinApp& app) : m_app(&app) {
    members(
        {
            {L"Count", 0, 0, [this](Args&, VARIANT* out) { put_i4(out, list().count()); }},
            {L"Item", 1, 1,
             [this](Args& a, VARIANT* out) {
               put_object(out,
                          new AddInObj(*m_app, item_of<host::AddInPtr>(list(), item_key(a, 0))));
             }},
            {L"Add", 1, 2,
             [this](Args& a, VARIANT* out) {
               put_object(out, new AddInObj(*m_app, check(list().add(a.text(0)))));
             }},
        },
        L"Item");
  }

 private:
  host::AddIns& list() { return m_app->sheet().add_ins(); }
  Ref<StandinApp> m_app;
};

// ---- WorksheetFunction ----

class FunctionsObj final : public Dispatch {
 public:
  explicit FunctionsObj(StandinApp& app) : m_app(&app) {
    using Fn = Result<double> (host::WorksheetFunctions::*)(std::span<const Value>);
    auto variadic = [this](const wchar_t* name, Fn fn) {
      return Member{name, 1, 30, [this, fn](Args& a, VARIANT* out) {
                      std::vector<Value> values;
                      for (UINT i = 0; i < a.size(); ++i)
                        values.push_back(value_from_variant(a.at(i)));
                      number(out, (functions().*fn)(values));
                    }};
    };
    members({
        variadic(L"Average", &host::WorksheetFunctions::average),
        variadic(L"Sum", &host::WorksheetFunctions::sum),
        variadic(L"SumProduct", &host::WorksheetFunctions::sum_product),
        variadic(L"Max", &host::WorksheetFunctions::max),
        variadic(L"Min", &host::WorksheetFunctions::min),
        {L"Slope", 2, 2,
         [this](Args& a, VARIANT* out) {
           number(out, functions().slope(value_from_variant(a.at(0)), value_from_variant(a.at(1))));
         }},
    });
  }

 private:
  static void number(VARIANT* out, Result<double> r) {
    const double d = check(std::move(r));
    if (!out) return;
    V_VT(out) = VT_R8;
    V_R8(out) = d;
  }
  host::WorksheetFunctions& functions() { return m_app->sheet().worksheet_functions(); }
  Ref<StandinApp> m_app;
};

// ---- CommandBars ----

class ControlsObj final : public Dispatch {
 public:
  // owner: the pop-up holding the controls; null for a bar's own controls.
  ControlsObj(StandinApp& app, host::CommandBarControls* controls, host::ControlPtr owner)
      : m_app(&app), m_controls(controls), m_owner(std::move(owner)) {
    members(
        {
            {L"Count", 0, 0, [this](Args&, VARIANT* out) { put_i4(out, list().count()); }},
            {L"Item", 1, 1,
             [this](Args& a, VARIANT* out) {
               put_object(out,
                          wrap_control(*m_app, item_of<host::ControlPtr>(list(), item_key(a, 0))));
             }},
            // Add(Type, Id, Parameter, Before, Temporary)
            {L"Add", 0, 5,
             [this](Args& a, VARIANT* out) {
               const std::int32_t type = a.i32(0, 1);
               if (type != 1 && type != 10)
                 fail(Status(StatusCode::InvalidArgument, "bad control type"));
               auto control = check(
                   list().add(static_cast<host::ControlType>(type), a.i32(3, 0), a.flag(4, false)));
               put_object(out, wrap_control(*m_app, control));
             }},
        },
        L"Item");
  }

 private:
  host::CommandBarControls& list() {
    if (m_owner && !m_owner->alive()) fail(Status::object_required("the control was deleted"));
    return *m_controls;
  }
  Ref<StandinApp> m_app;
  host::CommandBarControls* m_controls;
  host::ControlPtr m_owner;
};

class ControlObj final : public Dispatch {
 public:
  ControlObj(StandinApp& app, host::ControlPtr control)
      : m_app(&app), m_control(std::move(control)) {
    auto& c = m_control;
    auto text_prop = [c](const wchar_t* name,
                         Result<std::string> (host::CommandBarControl::*get)() const,
                         Status (host::CommandBarControl::*set)(std::string_view)) {
      return Member{
          name, 0, 0, [c, get](Args&, VARIANT* out) { put_text(out, check(((*c).*get)())); },
          [c, set](Args&, const VARIANT& v) { check(((*c).*set)(SheetObj::text_value(v))); }};
    };
    auto bool_prop = [c](const wchar_t* name, Result<bool> (host::CommandBarControl::*get)() const,
                         Status (host::CommandBarControl::*set)(bool)) {
      return Member{
          name, 0, 0, [c, get](Args&, VARIANT* out) { put_bool(out, check(((*c).*get)())); },
          [c, set](Args&, const VARIANT& v) { check(((*c).*set)(SheetObj::bool_value(v))); }};
    };
    members({
        {L"Id", 0, 0, [c](Args&, VARIANT* out) { put_i4(out, check(c->id())); }},
        {L"Type", 0, 0,
         [c](Args&, VARIANT* out) { put_i4(out, static_cast<std::int32_t>(check(c->type()))); }},
        {L"BuiltIn", 0, 0, [c](Args&, VARIANT* out) { put_bool(out, check(c->built_in())); }},
        text_prop(L"Caption", &host::CommandBarControl::caption,
                  &host::CommandBarControl::set_caption),
        text_prop(L"Tag", &host::CommandBarControl::tag, &host::CommandBarControl::set_tag),
        bool_prop(L"Enabled", &host::CommandBarControl::enabled,
                  &host::CommandBarControl::set_enabled),
        bool_prop(L"BeginGroup", &host::CommandBarControl::begin_group,
                  &host::CommandBarControl::set_begin_group),
        {L"Index", 0, 0, [c](Args&, VARIANT* out) { put_i4(out, check(c->index())); }},
        {L"Controls", 0, 0,
         [this](Args&, VARIANT* out) {
           put_object(out, new ControlsObj(*m_app, check(m_control->controls()), m_control));
         }},
        {L"Delete", 0, 1,
         [this](Args&, VARIANT*) {
           check(m_control->remove());
           m_app->sweep_click_sinks();
         }},
        {L"Execute", 0, 0, [this](Args&, VARIANT*) { execute(); }},
    });
    if (m_control->type().value_or(host::ControlType::Popup) == host::ControlType::Button) {
      events(kCommandBarButtonEvents, m_app->click_sinks(m_control));
    }
  }

 private:
  void execute() {
    if (!check(m_control->enabled())) fail("the control is disabled");
    // Built-in buttons run their own handler; every button raises Click.
    check(m_control->click());
    if (check(m_control->type()) != host::ControlType::Button) return;
    VARIANT_BOOL cancel = VARIANT_FALSE;
    std::vector<VARIANT> args(2);
    put_object(&args[0], wrap_control(*m_app, m_control));
    V_VT(&args[1]) = VT_BYREF | VT_BOOL;
    V_BOOLREF(&args[1]) = &cancel;
    m_app->click_sinks(m_control)->raise(kClickDispid, args);
    VariantClear(&args[0]);
  }

  Ref<StandinApp> m_app;
  host::ControlPtr m_control;
};

IDispatch* wrap_control(StandinApp& app, host::ControlPtr control) {
  return new ControlObj(app, std::move(control));
}

class BarObj final : public Dispatch {
 public:
  BarObj(StandinApp& app, host::CommandBar* bar) : m_app(&app), m_bar(bar) {
    members({
        {L"Name", 0, 0, [bar](Args&, VARIANT* out) { put_text(out, bar->name()); }},
        {L"Controls", 0, 0,
         [this](Args&, VARIANT* out) {
           put_object(out, new ControlsObj(*m_app, &m_bar->controls(), nullptr));
         }},
    });
  }

 private:
  Ref<StandinApp> m_app;
  host::CommandBar* m_bar;  // bars live as long as the application
};

class BarsObj final : public Dispatch {
 public:
  explicit BarsObj(StandinApp& app) : m_app(&app) {
    members(
        {
            {L"Count", 0, 0, [this](Args&, VARIANT* out) { put_i4(out, bars().count()); }},
            {L"Item", 1, 1,
             [this](Args& a, VARIANT* out) {
               put_object(out,
                          new BarObj(*m_app, item_of<host::CommandBar*>(bars(), item_key(a, 0))));
             }},
            // FindControl(Type, Id, Tag, Visible)
            {L"FindControl", 0, 4,
             [this](Args& a, VARIANT* out) {
               host::ControlPtr c = bars().find_control(a.i32(1, 0));
               if (c && a.given(0) &&
                   static_cast<std::int32_t>(c->type().value_or(host::ControlType::Button)) !=
                       a.i32(0)) {
                 c = nullptr;
               }
               put_object(out, c ? wrap_control(*m_app, c) : nullptr);
             }},
        },
        L"Item");
  }

 private:
  host::CommandBars& bars() { return m_app->sheet().command_bars(); }
  Ref<StandinApp> m_app;
};

// ---- Application ----

namespace {

// Workbooks.Open: a text file of tab-separated cells, one line per row.
Result<host::WorkbookPtr> load_text_book(spreadsheet::Application& app, std::string_view path) {
  const std::filesystem::path file{wide(path)};
  std::ifstream in(file, std::ios::binary);
  if (!in) return Status::failed("cannot open " + std::string(path));
  spreadsheet::Model& model = app.model();
  const auto book = model.add_book(utf8(file.filename().c_str()), std::string(path));
  auto sheet = model.add_sheet(book, "Sheet1");
  if (!sheet.ok()) return sheet.status();
  std::string line;
  for (std::int32_t row = 1; std::getline(in, line) && row <= 10000; ++row) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::int32_t col = 1;
    for (std::size_t start = 0; start <= line.size() && col <= 256; ++col) {
      std::size_t tab = line.find('\t', start);
      if (tab == std::string::npos) tab = line.size();
      if (tab > start)
        (void)model.set_value(sheet.value(), row, col, Value(line.substr(start, tab - start)));
      start = tab + 1;
    }
  }
  model.activate_book(book);
  return spreadsheet::make_book(app.shared_model(), book);
}

}  // namespace

StandinApp::StandinApp() : m_app(std::make_unique<spreadsheet::Application>()) {
  m_app->set_workbook_loader(load_text_book);
  m_open_handler = m_app->on_workbook_open([this](const host::WorkbookPtr& book) {
    std::vector<VARIANT> args(1);
    put_object(&args[0], wrap_book(*this, book));
    // The sinks' calls may hold this object; keep it alive while raising.
    Ref<StandinApp> self(this);
    m_app_events->raise(kWorkbookOpenDispid, args);
    VariantClear(&args[0]);
  });
  events(kAppEvents, m_app_events);
  auto& a = *m_app;
  auto bool_prop = [&a](const wchar_t* name, bool (spreadsheet::Application::*get)() const,
                        void (spreadsheet::Application::*set)(bool)) {
    return Member{name, 0, 0, [&a, get](Args&, VARIANT* out) { put_bool(out, (a.*get)()); },
                  [&a, set](Args&, const VARIANT& v) { (a.*set)(SheetObj::bool_value(v)); }};
  };
  members({
      {L"Name", 0, 0, [](Args&, VARIANT* out) { put_text(out, "Microsoft Excel"); }},
      {L"Workbooks", 0, 0, [this](Args&, VARIANT* out) { put_object(out, new BooksObj(*this)); }},
      {L"ActiveWorkbook", 0, 0,
       [this](Args&, VARIANT* out) {
         auto book = m_app->active_workbook();
         put_object(out, book.ok() ? wrap_book(*this, book.value()) : nullptr);
       }},
      {L"ActiveSheet", 0, 0,
       [this](Args&, VARIANT* out) {
         auto sheet = m_app->active_sheet();
         put_object(out, sheet.ok() ? wrap_sheet(*this, sheet.value()) : nullptr);
       }},
      {L"AddIns", 0, 0, [this](Args&, VARIANT* out) { put_object(out, new AddInsObj(*this)); }},
      {L"CommandBars", 0, 0, [this](Args&, VARIANT* out) { put_object(out, new BarsObj(*this)); }},
      {L"WorksheetFunction", 0, 0,
       [this](Args&, VARIANT* out) { put_object(out, new FunctionsObj(*this)); }},
      {L"Calculation", 0, 0,
       [&a](Args&, VARIANT* out) { put_i4(out, static_cast<std::int32_t>(a.calculation())); },
       [&a](Args&, const VARIANT& v) {
         VARIANT c;
         VariantInit(&c);
         if (FAILED(VariantChangeType(&c, const_cast<VARIANT*>(&v), 0, VT_I4))) {
           throw DispError{DISP_E_TYPEMISMATCH, DISP_E_TYPEMISMATCH, "type mismatch", 0};
         }
         const std::int32_t mode = V_I4(&c);
         if (mode != -4105 && mode != -4135 && mode != 2) {
           fail(Status(StatusCode::InvalidArgument, "bad calculation mode"));
         }
         check(a.set_calculation(static_cast<host::Calculation>(mode)));
       }},
      {L"Calculate", 0, 0, [&a](Args&, VARIANT*) { check(a.calculate()); }},
      bool_prop(L"ScreenUpdating", &spreadsheet::Application::screen_updating,
                &spreadsheet::Application::set_screen_updating),
      bool_prop(L"DisplayAlerts", &spreadsheet::Application::display_alerts,
                &spreadsheet::Application::set_display_alerts),
      bool_prop(L"AskToUpdateLinks", &spreadsheet::Application::ask_to_update_links,
                &spreadsheet::Application::set_ask_to_update_links),
  });
}

StandinApp::~StandinApp() {
  m_app->remove_handler(m_open_handler);
  m_app_events->clear();
  for (auto& [control, clicks] : m_clicks) clicks.sinks->clear();
}

std::shared_ptr<SinkList> StandinApp::click_sinks(const host::ControlPtr& control) {
  auto& entry = m_clicks[control.get()];
  if (!entry.sinks || entry.control.expired())
    entry = Clicks{control, std::make_shared<SinkList>()};
  return entry.sinks;
}

void StandinApp::sweep_click_sinks() {
  for (auto it = m_clicks.begin(); it != m_clicks.end();) {
    auto control = it->second.control.lock();
    if (control && control->alive()) {
      ++it;
      continue;
    }
    it->second.sinks->clear();
    it = m_clicks.erase(it);
  }
}

Status StandinApp::install_library(const std::string& path, bool on) {
  auto& methods = m_app->add_in_methods();
  if (!on) {
    for (const std::string& m : m_forwarded[path]) methods.remove(m);
    m_forwarded.erase(path);
    return {};
  }
  auto lib = load_function_library(path);
  if (!lib.ok()) return lib.status();
  auto& names = m_forwarded[path];
  for (const auto& f : lib.value().functions) {
    const std::string method = f.method;
    methods.add(method, [this, method](host::AddInArgs args) { return forward(method, args); });
    names.push_back(method);
  }
  return {};
}

// One library call, made as the library's companion workbook makes it:
// quillo.core by ProgID, the method by name, the arguments in order.
Value StandinApp::forward(const std::string& method, host::AddInArgs args) {
  CLSID clsid;
  if (FAILED(CLSIDFromProgID(L"quillo.core", &clsid))) return ErrorCode::Value;
  IDispatch* raw = nullptr;
  if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(&raw)))) {
    return ErrorCode::Value;
  }
  Ref<IDispatch> core(raw, false);
  std::wstring name = wide(method);
  LPOLESTR names[] = {name.data()};
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(core->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) {
    return ErrorCode::Name;
  }
  std::vector<VARIANT> vs(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    variant_from_value(*this, args[i], &vs[args.size() - 1 - i]);  // rgvarg is last-first
  }
  DISPPARAMS params{vs.data(), nullptr, static_cast<UINT>(vs.size()), 0};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO info{};
  UINT arg_err = 0;
  const HRESULT hr = core->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                  &result, &info, &arg_err);
  for (VARIANT& v : vs) VariantClear(&v);
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrHelpFile);
  if (FAILED(hr)) return ErrorCode::Value;
  Value out = value_from_variant(result);
  VariantClear(&result);
  // A cell shows a returned range's values.
  if (const host::Range* r = host::as_range(out)) return r->value().value_or(Value(ErrorCode::Ref));
  return out;
}

IDispatch* create_application() {
  return new StandinApp();
}

spreadsheet::Application* spreadsheet_of(IDispatch* application) {
  auto* app = dynamic_cast<StandinApp*>(ours(application));
  return app ? &app->sheet() : nullptr;
}

}  // namespace quillo::standin
