// The late-binding helper and the adapter against small fake host objects:
// argument order, error mapping, a few wrappers and the menu mirror.
#include "host/windows/excel_application.h"

#include <gtest/gtest.h>
#include <oleauto.h>
#include <olectl.h>

#include <algorithm>
#include <cctype>
#include <deque>

#include "host/windows/variant_value.h"

namespace quillo::host::win {
namespace {

// One connection point for one event interface, holding at most one sink.
class FakeEvents : public IConnectionPointContainer, public IConnectionPoint {
 public:
  explicit FakeEvents(const IID& iid) : m_iid(iid) {}
  IDispatch* sink = nullptr;

  // Raises an event with its arguments in declared order.
  void fire(DISPID id, std::vector<VARIANT> args) {
    ASSERT_NE(sink, nullptr);
    std::reverse(args.begin(), args.end());
    DISPPARAMS p{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    sink->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &p, nullptr, nullptr, nullptr);
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (IsEqualIID(riid, IID_IConnectionPointContainer) || IsEqualIID(riid, IID_IUnknown)) {
      *out = static_cast<IConnectionPointContainer*>(this);
    } else if (IsEqualIID(riid, IID_IConnectionPoint)) {
      *out = static_cast<IConnectionPoint*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** out) override {
    *out = IsEqualIID(riid, m_iid) ? static_cast<IConnectionPoint*>(this) : nullptr;
    return *out ? S_OK : CONNECT_E_NOCONNECTION;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* s, DWORD* cookie) override {
    if (sink) return CONNECT_E_ADVISELIMIT;
    if (FAILED(s->QueryInterface(m_iid, reinterpret_cast<void**>(&sink)))) return E_NOINTERFACE;
    *cookie = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    if (cookie != 1 || !sink) return CONNECT_E_NOCONNECTION;
    std::exchange(sink, nullptr)->Release();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

 private:
  IID m_iid;
};

// A host object answering the members it is given: methods by handler,
// anything else as a property bag. It records each call with its arguments
// in declared order. Objects live in a Pool, so Release never frees them
// and a test can check that every reference was given back.
class Fake : public IDispatch {
 public:
  using Method =
      std::function<HRESULT(const std::vector<Variant>& args, Variant& result, EXCEPINFO* info)>;
  std::map<std::string, Method> methods;  // lower-case names
  std::map<std::string, Variant> props;
  std::vector<std::pair<std::string, std::vector<Value>>> log;
  std::unique_ptr<FakeEvents> events;  // when it raises events
  ULONG refs = 1;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
      *out = this;
      AddRef();
      return S_OK;
    }
    if (events && IsEqualIID(riid, IID_IConnectionPointContainer)) {
      return events->QueryInterface(riid, out);
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID,
                                          DISPID* ids) override {
    std::string name = utf8_from_wide(names[0]);
    for (auto& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (!methods.count(name) && !methods.count(name + "=") && !props.count(name)) {
      return DISP_E_UNKNOWNNAME;
    }
    auto it = std::find(m_ids.begin(), m_ids.end(), name);
    if (it == m_ids.end()) it = m_ids.insert(m_ids.end(), name);
    *ids = static_cast<DISPID>(it - m_ids.begin()) + 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* p,
                                   VARIANT* result, EXCEPINFO* info, UINT*) override {
    const std::string& name = m_ids.at(static_cast<std::size_t>(id - 1));
    const UINT named = (flags & DISPATCH_PROPERTYPUT) ? 1 : 0;
    if (named && (p->cNamedArgs != 1 || p->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)) {
      return DISP_E_PARAMNOTOPTIONAL;
    }
    std::vector<Variant> args;
    std::vector<Value> logged;
    for (UINT i = p->cArgs; i > named; --i) {
      Variant v;
      VariantCopy(v.put(), &p->rgvarg[i - 1]);
      logged.push_back(value_from_variant(v.get(), [](IDispatch*) { return Value("object"); }));
      args.push_back(std::move(v));
    }
    if (named) {
      Variant v;
      VariantCopy(v.put(), &p->rgvarg[0]);
      logged.push_back(value_from_variant(v.get()));
      log.emplace_back(name + "=", logged);
      if (auto m = methods.find(name + "="); m != methods.end()) {
        args.push_back(std::move(v));
        Variant ignored;
        return m->second(args, ignored, info);
      }
      props[name] = std::move(v);
      return S_OK;
    }
    log.emplace_back(name, logged);
    Variant out;
    HRESULT hr = S_OK;
    if (auto m = methods.find(name); m != methods.end()) {
      hr = m->second(args, out, info);
    } else {
      out = props[name];
    }
    if (SUCCEEDED(hr) && result) VariantCopy(result, const_cast<VARIANT*>(&out.get()));
    return hr;
  }

 private:
  std::vector<std::string> m_ids;
};

using Pool = std::deque<Fake>;

HRESULT raise(EXCEPINFO* info, SCODE scode, const wchar_t* description) {
  info->scode = scode;
  info->bstrDescription = SysAllocString(description);
  return DISP_E_EXCEPTION;
}

TEST(ExcelDispatch, ArgumentsKeepTheirOrderAndPutNamesItsValue) {
  Fake f;
  f.props["address"] = Variant("x");
  f.props["formula"] = Variant("");
  auto r = call(&f, "ADDRESS", {true, false, 1, "ext"});
  ASSERT_TRUE(r.ok());
  ASSERT_TRUE(put(&f, "Formula", Variant("=A1"), {7}).ok());
  ASSERT_EQ(f.log.size(), 2u);
  EXPECT_EQ(f.log[0].first, "address");
  EXPECT_EQ(f.log[0].second, (std::vector<Value>{true, false, 1, "ext"}));
  EXPECT_EQ(f.log[1].first, "formula=");
  EXPECT_EQ(f.log[1].second, (std::vector<Value>{7, "=A1"}));  // index, then the value
  EXPECT_EQ(value_from_variant(f.props["formula"].get()), Value("=A1"));
  EXPECT_EQ(f.refs, 1u);
}

TEST(ExcelDispatch, FailuresBecomeStatus) {
  Fake f;
  f.methods["gone"] = [](auto&, auto&, EXCEPINFO* info) {
    return raise(info, static_cast<SCODE>(0x800A01A8u), L"Object required");
  };
  f.methods["refused"] = [](auto&, auto&, EXCEPINFO* info) {
    return raise(info, E_FAIL, L"Unable to set the Name property");
  };
  f.methods["plain"] = [](auto&, auto&, EXCEPINFO*) { return E_INVALIDARG; };
  EXPECT_EQ(call(&f, "Gone").status().code(), StatusCode::ObjectRequired);
  auto refused = call(&f, "Refused");
  EXPECT_EQ(refused.status().code(), StatusCode::OperationFailed);
  EXPECT_NE(refused.status().message().find("Unable to set the Name property"), std::string::npos);
  EXPECT_EQ(call(&f, "Plain").status().code(), StatusCode::OperationFailed);
  EXPECT_EQ(call(&f, "NoSuchMember").status().code(), StatusCode::NotSupported);
  EXPECT_EQ(call(nullptr, "Name").status().code(), StatusCode::ObjectRequired);
}

// An object returning another one.
Fake::Method returns(Fake& target) {
  return [&target](auto&, Variant& out, EXCEPINFO*) {
    out = Variant(static_cast<IDispatch*>(&target));
    return S_OK;
  };
}

TEST(ExcelAdapter, ApplicationSwitchesAndCalculation) {
  Fake app;
  app.props["calculation"] = Variant(std::int32_t{-4135});
  app.props["screenupdating"] = Variant(false);
  app.props["displayalerts"] = Variant(true);
  app.props["activeworkbook"] = Variant(static_cast<IDispatch*>(nullptr));
  {
    ExcelApplication excel(&app);
    EXPECT_EQ(excel.calculation(), Calculation::Manual);
    ASSERT_TRUE(excel.set_calculation(Calculation::SemiAutomatic).ok());
    EXPECT_EQ(value_from_variant(app.props["calculation"].get()), Value(2));
    EXPECT_FALSE(excel.screen_updating());
    excel.set_display_alerts(false);
    EXPECT_FALSE(excel.display_alerts());
    // Nothing open: no workbook rather than a crash.
    EXPECT_EQ(excel.active_workbook().status().code(), StatusCode::OutOfRange);
    // No AskToUpdateLinks member: the host's default.
    EXPECT_TRUE(excel.ask_to_update_links());
  }
  EXPECT_EQ(app.refs, 1u);
}

TEST(ExcelAdapter, HandlesAreReleasedWithTheAdapter) {
  Fake app, books, book;
  app.methods["workbooks"] = returns(books);
  books.methods["item"] = returns(book);
  book.props["name"] = Variant("prices.xlsx");
  WorkbookPtr kept;
  RangePtr range;
  {
    ExcelApplication excel(&app);
    auto b = excel.workbooks().item(1);
    ASSERT_TRUE(b.ok());
    EXPECT_EQ(b.value()->name().value(), "prices.xlsx");
    kept = b.value();
    range = excel.wrap_range(&book);
    IDispatch* back = ExcelApplication::dispatch_of(*range);
    EXPECT_EQ(back, &book);
    back->Release();
  }
  // The engine still holds handles, but the host's objects are all released.
  EXPECT_EQ(book.refs, 1u);
  EXPECT_EQ(books.refs, 1u);
  EXPECT_EQ(kept->name().status().code(), StatusCode::ObjectRequired);
  EXPECT_EQ(ExcelApplication::dispatch_of(*range), nullptr);
}

TEST(ExcelAdapter, WorkbookOpenReachesHandlersUntilTheAdapterGoes) {
  Fake app, book;
  app.events = std::make_unique<FakeEvents>(kAppEventsIid);
  book.props["name"] = Variant("prices.xlsx");
  {
    ExcelApplication excel(&app);
    std::vector<std::string> opened;
    excel.on_workbook_open([&](const WorkbookPtr& b) { opened.push_back(b->name().value()); });
    const HandlerId second =
        excel.on_workbook_open([&](const WorkbookPtr&) { opened.push_back("2"); });
    VARIANT arg;
    arg.vt = VT_DISPATCH;
    arg.pdispVal = &book;
    app.events->fire(kWorkbookOpenDispid, {arg});
    EXPECT_EQ(opened, (std::vector<std::string>{"prices.xlsx", "2"}));
    excel.remove_handler(second);
    app.events->fire(0x620, {arg});  // another event: ignored
    app.events->fire(kWorkbookOpenDispid, {arg});
    EXPECT_EQ(opened.size(), 3u);
  }
  EXPECT_EQ(app.events->sink, nullptr);  // unadvised
  EXPECT_EQ(book.refs, 1u);
}

TEST(ExcelAdapter, WorksheetFunctionsTakeRangesAsHostObjects) {
  Fake app, functions, cells;
  app.methods["worksheetfunction"] = returns(functions);
  functions.methods["sum"] = [&](const std::vector<Variant>& args, Variant& out, EXCEPINFO*) {
    // The range arrives as the host's own object, the array as values.
    if (args.size() != 2 || args[0].object().get() != &cells) return E_INVALIDARG;
    out = Variant(6.0);
    return S_OK;
  };
  functions.methods["slope"] = [](auto&, auto&, EXCEPINFO* info) {
    return raise(info, E_FAIL, L"Unable to get the Slope property");
  };
  ExcelApplication excel(&app);
  const Value args[] = {Value(std::shared_ptr<const RangeRef>(excel.wrap_range(&cells))),
                        Value(Array{1, 2, {1, 2}})};
  auto sum = excel.worksheet_functions().sum(args);
  ASSERT_TRUE(sum.ok()) << sum.status().message();
  EXPECT_EQ(sum.value(), 6.0);
  EXPECT_EQ(excel.worksheet_functions().slope(1, 2).status().code(), StatusCode::OperationFailed);
}

TEST(ExcelAdapter, AddedSheetsGoLastAndABadNameLeavesNoSheet) {
  Fake book, sheets, last, added;
  book.methods["worksheets"] = returns(sheets);
  sheets.props["count"] = Variant(std::int32_t{2});
  sheets.methods["item"] = returns(last);
  sheets.methods["add"] = returns(added);
  added.methods["delete"] = [](auto&, auto&, EXCEPINFO*) { return S_OK; };
  ExcelWorkbook excel_book(std::make_shared<Session>(), Dispatch::share(&book));
  Workbook& wb = excel_book;
  ASSERT_TRUE(wb.add_worksheet().ok());
  const std::vector<Value> before_after{Missing{}, "object"};
  EXPECT_EQ(sheets.log.back().second, before_after);
  EXPECT_EQ(sheets.log[1].second, std::vector<Value>{2});  // Item(Count)

  // The host refuses the name: the new sheet is deleted again.
  added.methods["name="] = [](auto&, auto&, EXCEPINFO* info) {
    return raise(info, E_FAIL, L"That name is already taken");
  };
  EXPECT_EQ(wb.add_worksheet("Prices").status().code(), StatusCode::OperationFailed);
  EXPECT_EQ(added.log.back().first, "delete");
}

TEST(ExcelAdapter, ForEachCellWalksTheUsedRangeByColumns) {
  Fake sheet, used, cells;
  Pool made;
  sheet.methods["usedrange"] = returns(used);
  sheet.methods["cells"] = returns(cells);
  used.props["row"] = Variant(std::int32_t{2});
  used.props["column"] = Variant(std::int32_t{3});
  // 2 rows x 2 columns: a value, a formula answering "", another value and
  // an empty cell.
  Variant values, formulas;
  ASSERT_EQ(variant_from_value(Array{2, 2, {1.5, "", 7, Value()}}, values.put()), S_OK);
  ASSERT_EQ(variant_from_value(Array{2, 2, {"1.5", "=\"\"", "7", ""}}, formulas.put()), S_OK);
  used.props["value"] = values;
  used.props["formula"] = formulas;
  std::vector<std::pair<std::int32_t, std::int32_t>> asked;
  cells.methods["item"] = [&](const std::vector<Variant>& args, Variant& out, EXCEPINFO*) {
    asked.emplace_back(args[0].to_int().value(), args[1].to_int().value());
    out = Variant(static_cast<IDispatch*>(&made.emplace_back()));
    return S_OK;
  };
  ExcelWorksheet ws(std::make_shared<Session>(), Dispatch::share(&sheet));
  int calls = 0;
  ASSERT_TRUE(ws.for_each_cell([&](const RangePtr&) { ++calls; }).ok());
  EXPECT_EQ(calls, 3);
  // Column 3 (both rows) before column 4; the empty cell is skipped.
  EXPECT_EQ(asked, (std::vector<std::pair<std::int32_t, std::int32_t>>{{2, 3}, {3, 3}, {2, 4}}));
}

// A host CommandBarControls collection: Count, Item, Add(Type, Id,
// Parameter, Before, Temporary); its controls know Index, Delete and (for
// pop-ups) Controls. Built-in controls are given an Id.
struct FakeControls {
  Pool& pool;
  Fake self;
  std::vector<Fake*> items;
  std::deque<FakeControls> children;

  explicit FakeControls(Pool& p) : pool(p) {
    self.methods["count"] = [this](auto&, Variant& out, EXCEPINFO*) {
      out = Variant(static_cast<std::int32_t>(items.size()));
      return S_OK;
    };
    self.methods["item"] = [this](const std::vector<Variant>& args, Variant& out, EXCEPINFO*) {
      const auto i = static_cast<std::size_t>(args.at(0).to_int().value_or(0));
      if (i < 1 || i > items.size()) return DISP_E_BADINDEX;
      out = Variant(static_cast<IDispatch*>(items[i - 1]));
      return S_OK;
    };
    self.methods["add"] = [this](const std::vector<Variant>& args, Variant& out, EXCEPINFO*) {
      Fake& c = make(args.at(0).to_int().value(), 1);
      c.props["temporary"] = args.at(4);
      auto before = static_cast<std::size_t>(args.at(3).to_int().value_or(0));
      items.pop_back();
      if (before < 1 || before > items.size()) before = items.size() + 1;
      items.insert(items.begin() + static_cast<std::ptrdiff_t>(before - 1), &c);
      out = Variant(static_cast<IDispatch*>(&c));
      return S_OK;
    };
  }
  Fake& make(std::int32_t type, std::int32_t id, const char* caption = "") {
    Fake& c = pool.emplace_back();
    c.props["id"] = Variant(id);
    c.props["caption"] = Variant(caption);
    for (const char* p : {"tag", "enabled", "begingroup"}) c.props[p] = Variant();
    c.methods["index"] = [this, &c](auto&, Variant& out, EXCEPINFO*) {
      auto it = std::find(items.begin(), items.end(), &c);
      out = Variant(static_cast<std::int32_t>(it - items.begin() + 1));
      return S_OK;
    };
    c.methods["delete"] = [this, &c](auto&, auto&, EXCEPINFO*) {
      std::erase(items, &c);
      return S_OK;
    };
    c.events = std::make_unique<FakeEvents>(kCommandBarButtonEventsIid);
    if (type == 10) {
      FakeControls& sub = children.emplace_back(pool);
      c.methods["controls"] = returns(sub.self);
    }
    items.push_back(&c);
    return c;
  }
  std::vector<std::string> captions() {
    std::vector<std::string> out;
    for (Fake* c : items) out.push_back(c->props["caption"].to_text().value());
    return out;
  }
};

TEST(ExcelAdapter, MenuIsMirroredBeforeHelpAndFollowsTheLocalModel) {
  Pool pool;
  Fake app, bars, bar;
  FakeControls controls(pool);
  app.methods["commandbars"] = returns(bars);
  bars.methods["item"] = returns(bar);
  bar.methods["controls"] = returns(controls.self);
  // The host's menu bar has one more built-in menu than the local model.
  controls.make(10, 30002, "&File");
  controls.make(10, 30099, "&Extra");
  controls.make(10, kHelpMenuId, "&Help");

  ExcelApplication excel(&app);
  CommandBar* local = excel.command_bars().item(kWorksheetMenuBar).value();
  const std::int32_t help = local->find_control(kHelpMenuId, false)->index().value();
  ControlPtr menu = local->controls().add(ControlType::Popup, help, true).value();
  ASSERT_TRUE(menu->set_caption("&Quotes").ok());
  ControlPtr refresh = menu->controls().value()->add(ControlType::Button).value();
  ASSERT_TRUE(refresh->set_caption("Refresh").ok());
  ASSERT_TRUE(refresh->set_tag("quillo.refresh").ok());
  ASSERT_TRUE(excel.sync_menu().ok());

  EXPECT_EQ(controls.captions(), (std::vector<std::string>{"&File", "&Extra", "&Quotes", "&Help"}));
  FakeControls& sub = controls.children.back();
  ASSERT_EQ(sub.items.size(), 1u);
  EXPECT_EQ(sub.captions(), std::vector<std::string>{"Refresh"});
  EXPECT_EQ(sub.items[0]->props["tag"].to_text().value(), "quillo.refresh");
  EXPECT_TRUE(sub.items[0]->props["temporary"].to_bool().value());

  // Changes reach the host; a second sync with no change writes nothing.
  ASSERT_TRUE(refresh->set_enabled(false).ok());
  ASSERT_TRUE(excel.sync_menu().ok());
  EXPECT_FALSE(sub.items[0]->props["enabled"].to_bool().value());
  const std::size_t writes = sub.items[0]->log.size();
  ASSERT_TRUE(excel.sync_menu().ok());
  EXPECT_EQ(sub.items[0]->log.size(), writes);
  EXPECT_EQ(controls.items.size(), 4u);

  // A host click runs the local handler, and what it changes is mirrored.
  ASSERT_TRUE(refresh->set_enabled(true).ok());
  ASSERT_TRUE(excel.sync_menu().ok());
  int clicks = 0;
  ASSERT_TRUE(refresh
                  ->on_click([&](CommandBarControl& c) {
                    ++clicks;
                    (void)c.set_caption("Refreshing");
                  })
                  .ok());
  VARIANT_BOOL cancel = VARIANT_FALSE;
  VARIANT ctrl, cancel_arg;
  ctrl.vt = VT_DISPATCH;
  ctrl.pdispVal = sub.items[0];
  cancel_arg.vt = VT_BYREF | VT_BOOL;
  cancel_arg.pboolVal = &cancel;
  sub.items[0]->events->fire(kClickDispid, {ctrl, cancel_arg});
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(sub.captions(), std::vector<std::string>{"Refreshing"});

  // Deleting the local menu deletes the host's, and its click sink goes.
  Fake* button = sub.items[0];
  ASSERT_TRUE(menu->remove().ok());
  ASSERT_TRUE(excel.sync_menu().ok());
  EXPECT_EQ(controls.captions(), (std::vector<std::string>{"&File", "&Extra", "&Help"}));
  EXPECT_EQ(button->events->sink, nullptr);
}

}  // namespace
}  // namespace quillo::host::win
