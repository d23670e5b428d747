// The Excel adapter over the stand-in: the two sides of the object-model
// contract meet here before quillo.dll joins them, so a member one side
// names differently, or a value one side converts differently, shows up
// as a failed expectation rather than as a cell the add-in cannot fill.
#include <gtest/gtest.h>

#include "dispatch_client.h"
#include "host/windows/excel_application.h"
#include "standin.h"

namespace quillo::standin {
namespace {

class AdapterOverStandin : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    app = Ref<IDispatch>(create_application(), false);
    excel = std::make_unique<host::win::ExcelApplication>(app.get());
  }
  void TearDown() override {
    excel.reset();
    app = {};
    CoUninitialize();
  }
  Ref<IDispatch> app;
  std::unique_ptr<host::win::ExcelApplication> excel;
};

TEST_F(AdapterOverStandin, CellsRoundTripAndHandlesGoStale) {
  auto book = excel->workbooks().add();
  ASSERT_TRUE(book.ok()) << book.status().message();
  auto sheet = (*book)->active_sheet();
  ASSERT_TRUE(sheet.ok()) << sheet.status().message();
  ASSERT_TRUE((*sheet)->set_name("My Sheet").ok());
  auto a1 = (*sheet)->range("A1");
  auto b1 = (*sheet)->range("B1");
  ASSERT_TRUE(a1.ok() && b1.ok());
  ASSERT_TRUE((*a1)->set_value(Value(21)).ok());
  ASSERT_TRUE((*b1)->set_formula("=A1*2").ok());
  EXPECT_EQ((*b1)->value().value_or(Value()).to_text(), "42");
  EXPECT_EQ((*b1)->formula().value_or(""), "=A1*2");

  Array block{2, 2, {Value("x"), Value(1.5), Value(true), Value(ErrorCode::NA)}};
  auto c3 = (*sheet)->range("C3:D4");
  ASSERT_TRUE(c3.ok());
  ASSERT_TRUE((*c3)->set_value(Value(block)).ok());
  auto back = (*c3)->value();
  ASSERT_TRUE(back.ok() && back->is_array());
  EXPECT_EQ(back->array().items, block.items);
  EXPECT_EQ((*c3)->row_count().value_or(0), 2);

  ASSERT_TRUE((*book)->close(false).ok());
  EXPECT_EQ((*a1)->value().status().code(), StatusCode::ObjectRequired);
  EXPECT_EQ((*sheet)->name().status().code(), StatusCode::ObjectRequired);
}

// Excel's Address(External:=True) names the workbook too ("'[Book1]My
// Sheet'!$B$1"), while the engine's external address names only the sheet.
TEST_F(AdapterOverStandin, ExternalAddressesNameTheSheetOnly) {
  auto book = excel->workbooks().add();
  ASSERT_TRUE(book.ok());
  auto sheet = (*book)->active_sheet();
  ASSERT_TRUE(sheet.ok() && (*sheet)->set_name("My Sheet").ok());
  auto b1 = (*sheet)->range("B1");
  ASSERT_TRUE(b1.ok());
  EXPECT_EQ((*b1)->address(true).value_or(""), "'My Sheet'!$B$1");
  ASSERT_TRUE((*sheet)->set_name("Data").ok());
  EXPECT_EQ((*b1)->address(true).value_or(""), "Data!$B$1");
}

TEST_F(AdapterOverStandin, MenuIsMirroredBeforeHelpAndClicksComeBack) {
  auto bar = excel->command_bars().item(host::kWorksheetMenuBar);
  ASSERT_TRUE(bar.ok());
  const auto help_at = (*bar)->find_control(host::kHelpMenuId)->index().value_or(0);
  auto menu = (*bar)->controls().add(host::ControlType::Popup, help_at, true);
  ASSERT_TRUE(menu.ok());
  ASSERT_TRUE((*menu)->set_caption("Quillo").ok());
  auto button = (*(*menu)->controls())->add(host::ControlType::Button);
  ASSERT_TRUE(button.ok());
  ASSERT_TRUE((*button)->set_caption("Refresh").ok());
  int clicks = 0;
  ASSERT_TRUE((*button)->on_click([&](host::CommandBarControl&) { ++clicks; }).ok());
  ASSERT_TRUE(excel->sync_menu().ok());

  // In the stand-in, the menu sits before Help and its button clicks back.
  using client::get;
  using client::object;
  Ref<IDispatch> controls = object(
      object(object(app.get(), L"CommandBars").get(), L"Item", {L"Worksheet Menu Bar"}).get(),
      L"Controls");
  Ref<IDispatch> host_menu = object(controls.get(), L"Item", {static_cast<int>(help_at)});
  EXPECT_EQ(get(host_menu.get(), L"Caption").value.text(), "Quillo");
  Ref<IDispatch> host_button = object(object(host_menu.get(), L"Controls").get(), L"Item", {1});
  ASSERT_EQ(get(host_button.get(), L"Execute").hr, S_OK);
  EXPECT_EQ(clicks, 1);

  // Removed locally, it is removed from the host too.
  ASSERT_TRUE((*menu)->remove().ok());
  ASSERT_TRUE(excel->sync_menu().ok());
  EXPECT_EQ(get(host_menu.get(), L"Caption").scode, kObjectRequired);
}

}  // namespace
}  // namespace quillo::standin
