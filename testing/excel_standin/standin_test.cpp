// The stand-in as the adapter sees it: late-bound calls by name through
// IDispatch, events through connection points, the host's error codes, and
// function library calls forwarded to "quillo.core".
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "dispatch_client.h"
#include "standin.h"

namespace quillo::standin {
namespace {

using client::get;
using client::object;
using client::put;
using client::Var;

class StandinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    app = Ref<IDispatch>(create_application(), false);
    book = object(object(app.get(), L"Workbooks").get(), L"Add");
    sheet = object(book.get(), L"ActiveSheet");
  }
  void TearDown() override {
    sheet = {};
    book = {};
    app = {};
    CoUninitialize();
  }
  Ref<IDispatch> range(const wchar_t* address) { return object(sheet.get(), L"Range", {address}); }

  Ref<IDispatch> app, book, sheet;
};

TEST_F(StandinTest, CellsTakeValuesFormulasAndBlocks) {
  EXPECT_EQ(get(app.get(), L"Name").value.text(), "Microsoft Excel");
  EXPECT_EQ(get(object(app.get(), L"Workbooks").get(), L"Count").value.number(), 1);

  ASSERT_EQ(put(range(L"A1").get(), L"Value", Var(21)), S_OK);
  ASSERT_EQ(put(range(L"B1").get(), L"Formula", Var(L"=A1*2")), S_OK);
  EXPECT_EQ(get(range(L"B1").get(), L"Value").value.number(), 42);
  EXPECT_EQ(get(range(L"b1").get(), L"formula").value.text(), "=A1*2");  // names in any case
  EXPECT_TRUE(get(range(L"B1").get(), L"HasFormula").value.truth());
  EXPECT_EQ(get(range(L"B1").get(), L"FormulaR1C1").value.text(), "=RC[-1]*2");

  // A 2-D block goes in and comes out as a 1-based SAFEARRAY of VARIANTs.
  SAFEARRAYBOUND bounds[2] = {{2, 1}, {2, 1}};
  Var block;
  V_VT(&block.v) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(&block.v) = SafeArrayCreate(VT_VARIANT, 2, bounds);
  const wchar_t* texts[2][2] = {{L"x", L"y"}, {L"z", L"w"}};
  for (LONG r = 1; r <= 2; ++r) {
    for (LONG c = 1; c <= 2; ++c) {
      LONG idx[2] = {r, c};
      Var item(texts[r - 1][c - 1]);
      SafeArrayPutElement(V_ARRAY(&block.v), idx, &item.v);
    }
  }
  ASSERT_EQ(put(range(L"C3:D4").get(), L"Value", block), S_OK);
  EXPECT_EQ(get(range(L"D3").get(), L"Value").value.text(), "y");
  Var back = get(range(L"C3:D4").get(), L"Value").value;
  ASSERT_EQ(V_VT(&back.v), VT_ARRAY | VT_VARIANT);
  LONG lo = 0, hi = 0;
  SafeArrayGetLBound(V_ARRAY(&back.v), 2, &lo);
  SafeArrayGetUBound(V_ARRAY(&back.v), 2, &hi);
  EXPECT_EQ(lo, 1);
  EXPECT_EQ(hi, 2);
  LONG idx[2] = {2, 1};
  Var z;
  SafeArrayGetElement(V_ARRAY(&back.v), idx, &z.v);
  EXPECT_EQ(z.text(), "z");

  // Addresses, counts and cells.
  Ref<IDispatch> block_range = range(L"C3:D4");
  EXPECT_EQ(get(block_range.get(), L"Address").value.text(), "$C$3:$D$4");
  EXPECT_EQ(get(block_range.get(), L"Address", {false, false}).value.text(), "C3:D4");
  EXPECT_EQ(
      get(block_range.get(), L"Address", {Var::missing(), Var::missing(), 1, true}).value.text(),
      "[Book1]Sheet1!$C$3:$D$4");
  EXPECT_EQ(get(object(block_range.get(), L"Rows").get(), L"Count").value.number(), 2);
  Ref<IDispatch> cell = object(block_range.get(), L"Item", {2, 2});
  EXPECT_EQ(get(cell.get(), L"Address").value.text(), "$D$4");
  Ref<IDispatch> found = object(block_range.get(), L"Find", {L"W", Var::missing(), -4163, 1});
  EXPECT_EQ(get(found.get(), L"Address").value.text(), "$D$4");
  EXPECT_EQ(get(block_range.get(), L"Find", {L"nowhere"}).value.object(), nullptr);
}

TEST_F(StandinTest, CallsFailTheWayTheHostFails) {
  LPOLESTR unknown[] = {const_cast<LPOLESTR>(L"NoSuchMember")};
  DISPID id = 0;
  EXPECT_EQ(app->GetIDsOfNames(IID_NULL, unknown, 1, LOCALE_USER_DEFAULT, &id), DISP_E_UNKNOWNNAME);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(app->Invoke(999, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(get(sheet.get(), L"Range").hr, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(put(app.get(), L"Name", Var(L"x")), DISP_E_MEMBERNOTFOUND);  // read-only
  EXPECT_EQ(get(object(sheet.get(), L"Cells").get(), L"Item", {L"abc", 1}).hr, DISP_E_TYPEMISMATCH);

  // A formula that does not parse: the host's "operation failed".
  const Var unparsable(L"=1+");
  client::Reply bad =
      client::invoke(range(L"A1").get(), L"Formula", DISPATCH_PROPERTYPUT, {}, &unparsable);
  EXPECT_EQ(bad.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(bad.scode, static_cast<HRESULT>(0x800A03EC));

  // Handles on a closed workbook answer "object required".
  Ref<IDispatch> a1 = range(L"A1");
  ASSERT_EQ(get(book.get(), L"Close", {false}).hr, S_OK);
  for (auto r :
       {get(a1.get(), L"Value"), get(sheet.get(), L"Name"), get(book.get(), L"Worksheets")}) {
    EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(r.scode, kObjectRequired);
  }
  EXPECT_EQ(get(app.get(), L"ActiveWorkbook").value.object(), nullptr);
}

TEST_F(StandinTest, MenuControlsRaiseClickToAdvisedSinks) {
  Ref<IDispatch> bars = object(app.get(), L"CommandBars");
  Ref<IDispatch> controls =
      object(object(bars.get(), L"Item", {L"Worksheet Menu Bar"}).get(), L"Controls");
  Ref<IDispatch> help = object(bars.get(), L"FindControl", {Var::missing(), 30010});
  const int help_index = static_cast<int>(get(help.get(), L"Index").value.number());

  Ref<IDispatch> menu =
      object(controls.get(), L"Add", {10, Var::missing(), Var::missing(), help_index, true});
  ASSERT_EQ(put(menu.get(), L"Caption", Var(L"&Quillo")), S_OK);
  EXPECT_EQ(get(menu.get(), L"Index").value.number(), help_index);
  EXPECT_EQ(get(help.get(), L"Index").value.number(), help_index + 1);  // Help stays last
  Ref<IDispatch> button = object(object(menu.get(), L"Controls").get(), L"Add", {1});
  ASSERT_EQ(put(button.get(), L"Caption", Var(L"Refresh")), S_OK);
  EXPECT_EQ(get(object(controls.get(), L"Item", {L"quillo"}).get(), L"Caption").value.text(),
            "&Quillo");

  // Click reaches every advised sink, with the control; another wrapper of
  // the same button raises it too.
  client::RecordingSink sink(kCommandBarButtonEvents);
  Ref<IConnectionPoint> cp;
  const DWORD cookie = client::advise(button.get(), kCommandBarButtonEvents, &sink, cp);
  ASSERT_NE(cookie, 0u);
  Ref<IDispatch> again = object(object(menu.get(), L"Controls").get(), L"Item", {1});
  ASSERT_EQ(get(again.get(), L"Execute").hr, S_OK);
  ASSERT_EQ(sink.calls.size(), 1u);
  EXPECT_EQ(sink.calls[0].id, kClickDispid);
  ASSERT_EQ(sink.calls[0].args.size(), 2u);
  EXPECT_EQ(get(sink.calls[0].args[0].object(), L"Caption").value.text(), "Refresh");
  EXPECT_EQ(V_VT(&sink.calls[0].args[1].v), VT_BYREF | VT_BOOL);

  // A disabled button does not click; after Unadvise no sink is called.
  ASSERT_EQ(put(button.get(), L"Enabled", Var(false)), S_OK);
  EXPECT_EQ(get(button.get(), L"Execute").hr, DISP_E_EXCEPTION);
  ASSERT_EQ(put(button.get(), L"Enabled", Var(true)), S_OK);
  ASSERT_EQ(cp->Unadvise(cookie), S_OK);
  ASSERT_EQ(get(button.get(), L"Execute").hr, S_OK);
  EXPECT_EQ(sink.calls.size(), 1u);

  // Deleting the menu deletes the button; both handles go stale.
  const double count = get(controls.get(), L"Count").value.number();
  ASSERT_EQ(client::advise(button.get(), kCommandBarButtonEvents, &sink, cp) != 0, true);
  ASSERT_EQ(get(menu.get(), L"Delete").hr, S_OK);
  EXPECT_EQ(get(controls.get(), L"Count").value.number(), count - 1);
  EXPECT_EQ(get(button.get(), L"Caption").scode, kObjectRequired);
  EXPECT_EQ(sink.refs, 0u);  // the deleted button's sinks are let go
}

TEST_F(StandinTest, OpeningAWorkbookRaisesWorkbookOpen) {
  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  const std::string path = std::string(dir) + "standin_open.txt";
  std::ofstream(path) << "20\t=A1+1\n";
  client::RecordingSink sink(kAppEvents);
  Ref<IConnectionPoint> cp;
  const DWORD cookie = client::advise(app.get(), kAppEvents, &sink, cp);
  ASSERT_NE(cookie, 0u);

  const std::wstring wpath = wide(path);
  Ref<IDispatch> opened = object(object(app.get(), L"Workbooks").get(), L"Open", {wpath.c_str()});
  ASSERT_EQ(sink.calls.size(), 1u);
  EXPECT_EQ(sink.calls[0].id, kWorkbookOpenDispid);
  EXPECT_EQ(get(sink.calls[0].args.at(0).object(), L"Name").value.text(), "standin_open.txt");
  Ref<IDispatch> b1 = object(object(opened.get(), L"ActiveSheet").get(), L"Range", {L"B1"});
  EXPECT_EQ(get(b1.get(), L"Value").value.number(), 21);

  // A missing file fails and raises nothing.
  EXPECT_EQ(get(object(app.get(), L"Workbooks").get(), L"Open", {L"C:\\no\\such.txt"}).hr,
            DISP_E_EXCEPTION);
  EXPECT_EQ(sink.calls.size(), 1u);
  sink.calls.clear();
  EXPECT_EQ(cp->Unadvise(cookie), S_OK);
  EXPECT_EQ(sink.refs, 0u);
  std::remove(path.c_str());
}

// A "quillo.core" registered by the test for its duration, recording the
// calls it gets.
const CLSID kFakeCore = {
    0x3c0f5e7a, 0x91d2, 0x4b6e, {0xa4, 0x0b, 0x17, 0x6c, 0x2e, 0x58, 0x9f, 0x31}};

class FakeCore final : public client::RecordingSink {
 public:
  FakeCore() : RecordingSink(IID_IDispatch) {}
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID,
                                          DISPID* ids) override {
    method = utf8(names[0]);
    *ids = 7;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* p,
                                   VARIANT* result, EXCEPINFO* e, UINT* a) override {
    RecordingSink::Invoke(id, iid, lcid, flags, p, result, e, a);
    V_VT(result) = VT_BSTR;
    V_BSTR(result) = SysAllocString(L"answer");
    return S_OK;
  }
  std::string method;
};

class FakeFactory final : public IClassFactory {
 public:
  explicit FakeFactory(FakeCore& core) : m_core(core) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = this;
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID iid, void** out) override {
    return m_core.QueryInterface(iid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  FakeCore& m_core;
};

TEST_F(StandinTest, LibraryFunctionsAreForwardedToCore) {
  FakeCore core;
  FakeFactory factory(core);
  DWORD reg = 0;
  ASSERT_EQ(
      CoRegisterClassObject(kFakeCore, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &reg),
      S_OK);
  // CLSIDFromProgID reads the machine's classes: the ProgID points at the
  // fake for the test's duration, then at what it pointed at before.
  const char* key = "quillo.core\\CLSID";
  char saved[64] = {};
  DWORD size = sizeof saved;
  const bool had = RegGetValueA(HKEY_CLASSES_ROOT, key, nullptr, RRF_RT_REG_SZ, nullptr, saved,
                                &size) == ERROR_SUCCESS;
  struct Cleanup {
    DWORD reg;
    bool had;
    const char* saved;
    ~Cleanup() {
      if (had) {
        RegSetKeyValueA(HKEY_CLASSES_ROOT, "quillo.core\\CLSID", nullptr, REG_SZ, saved,
                        static_cast<DWORD>(std::strlen(saved) + 1));
      } else {
        RegDeleteTreeA(HKEY_CLASSES_ROOT, "quillo.core");
      }
      CoRevokeClassObject(reg);
    }
  } cleanup{reg, had, saved};
  ASSERT_EQ(RegSetKeyValueA(HKEY_CLASSES_ROOT, key, nullptr, REG_SZ,
                            "{3C0F5E7A-91D2-4B6E-A40B-176C2E589F31}", 39),
            ERROR_SUCCESS);

  Ref<IDispatch> add_in = object(object(app.get(), L"AddIns").get(), L"Add",
                                 {wide(QUILLO_DATA "/tarnvale.xla").c_str()});
  ASSERT_EQ(put(add_in.get(), L"Installed", Var(true)), S_OK);
  ASSERT_EQ(put(range(L"C2").get(), L"Formula", Var(L"=fsingle(\"ACME\",\"last\")")), S_OK);
  EXPECT_EQ(get(range(L"C2").get(), L"Value").value.text(), "answer");
  EXPECT_EQ(core.method, "i_fsingle");
  ASSERT_FALSE(core.calls.empty());
  const auto& args = core.calls.back().args;
  ASSERT_EQ(args.size(), 4u);  // inst, field, [options], caller
  EXPECT_EQ(args[0].text(), "ACME");
  EXPECT_EQ(args[1].text(), "last");
  EXPECT_EQ(V_VT(&args[2].v), VT_ERROR);  // omitted: DISP_E_PARAMNOTFOUND
  EXPECT_EQ(get(args[3].object(), L"Address").value.text(), "$C$2");

  // Uninstalled, the function is unknown again.
  ASSERT_EQ(put(add_in.get(), L"Installed", Var(false)), S_OK);
  ASSERT_EQ(put(range(L"C3").get(), L"Formula", Var(L"=fsingle(\"ACME\",\"last\")")), S_OK);
  EXPECT_EQ(get(range(L"C3").get(), L"Value").value.type(), VT_ERROR);
}

}  // namespace
}  // namespace quillo::standin
