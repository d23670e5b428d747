// The spreadsheet as the engine sees it: only host interfaces are used here.
#include "spreadsheet/application.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <limits>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/text.h"
#include "support/scratch_folder.h"

namespace quillo::spreadsheet {
namespace {

namespace fs = std::filesystem;

class ApplicationTest : public testing_support::ScratchFolderTest {
 protected:
  ApplicationTest() {
    library = (dir / "tarnvale.xla").string();
    std::ofstream(library) << "fsingle = i_fsingle(inst, field, [options], caller)\n";
    host = &app;
    book = host->workbooks().add().value();
    sheet = book->worksheet(1).value();
    host->add_in_methods().add("i_fsingle", [this](host::AddInArgs args) -> Value {
      ++calls;
      const host::Range* caller = host::as_range(args[3]);
      last_caller = caller ? caller->address(true).value_or("") : "none";
      // A page's figure beyond a double's range, alone or in an array.
      constexpr double kHuge = std::numeric_limits<double>::infinity();
      if (args[0].to_text() == "huge") return Value(kHuge);
      if (args[0].to_text() == "huges") return Value(Array{1, 2, {Value(1.0), Value(-kHuge)}});
      return Value(args[0].to_text() + ":" + args[1].to_text());
    });
  }
  host::RangePtr cell(const char* address) { return sheet->range(address).value(); }
  void install() {
    auto addin = host->add_ins().add(library);
    ASSERT_TRUE(addin.ok()) << addin.status().message();
    ASSERT_TRUE(addin.value()->set_installed(true).ok());
  }

  std::string library;
  Application app;
  host::Application* host;
  host::WorkbookPtr book;
  host::WorksheetPtr sheet;
  int calls = 0;
  std::string last_caller;
};

TEST_F(ApplicationTest, WorkbooksAndSheets) {
  EXPECT_EQ(book->name().value(), "Book1");
  EXPECT_EQ(sheet->name().value(), "Sheet1");
  EXPECT_EQ(host->active_workbook().value()->name().value(), "Book1");
  auto second = host->workbooks().add().value();
  EXPECT_EQ(host->workbooks().count(), 2);
  EXPECT_EQ(host->active_workbook().value()->name().value(), "Book2");
  EXPECT_EQ(host->workbooks().item("book1").value()->name().value(), "Book1");
  EXPECT_FALSE(host->workbooks().item(3).ok());
  auto hidden = second->add_worksheet("weblinks_data").value();
  ASSERT_TRUE(hidden->set_visible(host::Visibility::VeryHidden).ok());
  EXPECT_EQ(second->worksheet("WEBLINKS_DATA").value()->index().value(), 2);
  ASSERT_TRUE(second->close(false).ok());
  EXPECT_EQ(host->workbooks().count(), 1);
  EXPECT_TRUE(hidden->visible().status().is_object_required());
  EXPECT_EQ(host->active_workbook().value()->name().value(), "Book1");
}

TEST_F(ApplicationTest, InstalledLibraryFunctionsReachTheEngineWithTheCallingCell) {
  ASSERT_TRUE(cell("B2")->set_formula("=fsingle(\"IBM\",\"SMP.QUO.LAST\")").ok());
  EXPECT_EQ(cell("B2")->value().value(), Value(ErrorCode::Name));  // not installed yet
  install();
  // Installing recalculates the formulas that call library functions.
  EXPECT_EQ(cell("B2")->value().value(), Value("IBM:SMP.QUO.LAST"));
  EXPECT_EQ(last_caller, "Sheet1!$B$2");
  EXPECT_EQ(host->add_ins().item("TARNVALE.XLA").value()->installed().value(), true);
  EXPECT_EQ(host->add_ins().add(library).value(), host->add_ins().item(1).value());
  EXPECT_FALSE(host->add_ins().add((dir / "missing.xla").string()).ok());

  // The engine's refresh: read the formula, write ="" and write it back.
  const int before = calls;
  const std::string f = cell("B2")->formula().value();
  ASSERT_TRUE(cell("B2")->set_formula("=\"\"").ok());
  ASSERT_TRUE(cell("B2")->set_formula(f).ok());
  EXPECT_EQ(calls, before + 1);

  ASSERT_TRUE(host->add_ins().item(1).value()->set_installed(false).ok());
  EXPECT_EQ(cell("B2")->value().value(), Value(ErrorCode::Name));
}

TEST_F(ApplicationTest, ACallReachesTheMethodAndLibraryThereAreWhenItIsEvaluated) {
  install();
  ASSERT_TRUE(cell("A1")->set_formula("=fsingle(\"IBM\",\"X\")").ok());
  EXPECT_EQ(cell("A1")->value().value(), Value("IBM:X"));
  // Another method under the same name answers the next calls, whatever
  // the letter case of the call.
  host->add_in_methods().add("I_FSINGLE", [](host::AddInArgs) { return Value("other"); });
  ASSERT_TRUE(cell("A2")->set_formula("=FSINGLE(\"SAP\",\"Y\")").ok());
  ASSERT_TRUE(cell("A1")->set_formula("=fsingle(\"IBM\",\"X\")").ok());
  EXPECT_EQ(cell("A2")->value().value(), Value("other"));
  EXPECT_EQ(cell("A1")->value().value(), Value("other"));
  // Without the method, or without the library, the call is unknown.
  host->add_in_methods().remove("i_fsingle");
  ASSERT_TRUE(cell("A1")->set_formula("=fsingle(\"IBM\",\"X\")").ok());
  EXPECT_EQ(cell("A1")->value().value(), Value(ErrorCode::Name));
  host->add_in_methods().add("i_fsingle", [](host::AddInArgs) { return Value("back"); });
  ASSERT_TRUE(cell("A1")->set_formula("=fsingle(\"IBM\",\"X\")").ok());
  EXPECT_EQ(cell("A1")->value().value(), Value("back"));
  ASSERT_TRUE(host->add_ins().item(1).value()->set_installed(false).ok());
  ASSERT_TRUE(cell("A1")->set_formula("=fsingle(\"IBM\",\"X\")").ok());
  EXPECT_EQ(cell("A1")->value().value(), Value(ErrorCode::Name));
}

TEST_F(ApplicationTest, ACallAsLibreOfficeCalcWritesItReachesTheSameFunction) {
  install();
  ASSERT_TRUE(cell("C3")->set_formula("=ORG.QUILLO.CALC.FSINGLE(\"IBM\",\"X\")").ok());
  EXPECT_EQ(cell("C3")->value().value(), Value("IBM:X"));
  EXPECT_EQ(last_caller, "Sheet1!$C$3");
  // The formula keeps the name it was written with, so Calc reads it back.
  EXPECT_EQ(cell("C3")->formula().value(), "=ORG.QUILLO.CALC.FSINGLE(\"IBM\",\"X\")");
  const auto names = app.add_in_catalog().declared_functions();
  EXPECT_TRUE(text::calls_any("=org.quillo.calc.fsingle(\"IBM\",\"X\")", names));
  // Only that prefix: another dotted name stays unknown.
  ASSERT_TRUE(cell("C4")->set_formula("=ORG.OTHER.FSINGLE(\"IBM\",\"X\")").ok());
  EXPECT_EQ(cell("C4")->value().value(), Value(ErrorCode::Name));
}

// A method tells the cells it is handed (host ranges) from other areas, and
// may enter formulas calling the library while it runs: the inner calls
// and their recalculation get their own arguments and walks, and the outer
// call's arguments and cell stay its own.
TEST_F(ApplicationTest, AMethodSeesItsArgumentsAndMayEnterCallsWhileItRuns) {
  install();
  std::vector<std::string> seen;
  // A cell handed over reads as its value; another area as "area".
  auto text_of = [&](const Value& v) -> std::string {
    if (const host::Range* r = host::as_range(v)) {
      seen.push_back(r->address(false).value_or("?"));
      return r->value().value().to_text();
    }
    seen.push_back(v.is_range() ? "area" : "value");
    return v.is_range() ? "area" : v.to_text();
  };
  host->add_in_methods().add("i_fsingle", [&](host::AddInArgs args) -> Value {
    const std::string inst = text_of(args[0]);
    const std::string field = text_of(args[1]);
    const host::Range* caller = host::as_range(args[3]);
    const std::string at = caller ? caller->address(false).value_or("?") : "none";
    if (at == "$C$1") {
      // Two cells entered from within: each is computed at once.
      EXPECT_TRUE(cell("D1")->set_formula("=fsingle(\"in\",\"D\")").ok());
      EXPECT_TRUE(cell("D2")->set_formula("=fsingle(D1,\"E\")").ok());
      // The inner calls were handed cells of their own: this one stays put.
      EXPECT_EQ(caller->address(false).value_or("?"), "$C$1");
    }
    return Value(at + ":" + inst + ":" + field);
  });
  ASSERT_TRUE(cell("A1")->set_value(Value("x")).ok());
  ASSERT_TRUE(cell("B1")->set_value(Value("y")).ok());
  ASSERT_TRUE(cell("C1")->set_formula("=fsingle(A1,(A1,B1))").ok());
  EXPECT_EQ(seen, (std::vector<std::string>{"$A$1", "area", "value", "value", "$D$1", "value"}));
  EXPECT_EQ(cell("D1")->value().value(), Value("$D$1:in:D"));
  EXPECT_EQ(cell("D2")->value().value(), Value("$D$2:$D$1:in:D:E"));
  EXPECT_EQ(cell("C1")->value().value(), Value("$C$1:x:area"));
}

// Every call is handed its own calling cell, whether an earlier call kept
// the one it was handed (that one goes on naming its own cell) or not.
TEST_F(ApplicationTest, EachCallIsHandedItsOwnCellAndAKeptOneStaysPut) {
  install();
  std::vector<Value> kept;
  std::vector<std::string> seen;
  host->add_in_methods().add("i_fsingle", [&](host::AddInArgs args) -> Value {
    const host::Range* caller = host::as_range(args[3]);
    seen.push_back(caller ? caller->address(true).value_or("?") : "none");
    if (args[0].to_text() == "keep") kept.push_back(args[3]);
    return Value(seen.back());
  });
  const host::WorksheetPtr other = book->add_worksheet("Other").value();
  ASSERT_TRUE(cell("A1")->set_formula("=fsingle(\"keep\",\"x\")").ok());
  ASSERT_TRUE(cell("B2")->set_formula("=fsingle(\"pass\",\"x\")").ok());
  ASSERT_TRUE(other->range("C3").value()->set_formula("=fsingle(\"pass\",\"x\")").ok());
  ASSERT_TRUE(cell("D4")->set_formula("=fsingle(\"keep\",\"x\")").ok());
  ASSERT_TRUE(cell("E5")->set_formula("=fsingle(\"pass\",\"x\")").ok());
  EXPECT_EQ(seen, (std::vector<std::string>{"Sheet1!$A$1", "Sheet1!$B$2", "Other!$C$3",
                                            "Sheet1!$D$4", "Sheet1!$E$5"}));
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(host::as_range(kept[0])->address(true).value(), "Sheet1!$A$1");
  EXPECT_EQ(host::as_range(kept[1])->address(true).value(), "Sheet1!$D$4");
  EXPECT_EQ(other->range("C3").value()->value().value(), Value("Other!$C$3"));
}

// The arguments reach the method in its declared order, wherever the
// calling cell stands among them: an omitted optional one is Missing, a
// required one left empty is Empty, and too few or too many are #VALUE!.
TEST_F(ApplicationTest, ArgumentsReachTheMethodInItsDeclaredOrder) {
  std::ofstream(library) << "fsingle = i_fsingle(inst, field, [options], caller)\n"
                         << "fmid = i_mid(a, caller, [b])\n";
  install();
  std::vector<std::string> seen;
  auto describe = [](const Value& v) -> std::string {
    if (const host::Range* r = host::as_range(v)) return r->address(false).value_or("?");
    if (v.type() == ValueType::Missing) return "missing";
    if (v.is_empty()) return "empty";
    return v.to_text();
  };
  auto record = [&](host::AddInArgs args) -> Value {
    std::string all;
    for (const Value& a : args) all += describe(a) + ";";
    seen.push_back(all);
    return Value(all);
  };
  host->add_in_methods().add("i_fsingle", record);
  host->add_in_methods().add("i_mid", record);
  ASSERT_TRUE(cell("A1")->set_formula("=fsingle(\"IBM\",)").ok());
  ASSERT_TRUE(cell("A2")->set_formula("=fsingle(\"IBM\",\"X\",\"o\")").ok());
  ASSERT_TRUE(cell("A3")->set_formula("=fmid(1)").ok());
  ASSERT_TRUE(cell("A4")->set_formula("=fmid(1,2)").ok());
  ASSERT_TRUE(cell("A5")->set_formula("=fsingle(\"IBM\")").ok());
  ASSERT_TRUE(cell("A6")->set_formula("=fmid(1,2,3)").ok());
  EXPECT_EQ(seen, (std::vector<std::string>{"IBM;empty;missing;$A$1;", "IBM;X;o;$A$2;",
                                            "1;$A$3;missing;", "1;$A$4;2;"}));
  EXPECT_EQ(cell("A5")->value().value(), Value(ErrorCode::Value));
  EXPECT_EQ(cell("A6")->value().value(), Value(ErrorCode::Value));
}

// A call of many arguments, constants and computed values mixed, hands
// each to the method in its place, as a short call does.
TEST_F(ApplicationTest, ACallOfManyArgumentsHandsEachInItsPlace) {
  std::string params;
  for (int i = 1; i <= 17; ++i) params += "p" + std::to_string(i) + ", ";
  std::ofstream(library) << "fmany = i_many(" << params << "caller, [last])\n";
  install();
  std::string seen;
  host->add_in_methods().add("i_many", [&](host::AddInArgs args) -> Value {
    seen.clear();
    for (const Value& a : args) {
      const host::Range* r = host::as_range(a);
      seen += (r ? r->address(false).value_or("?") : a.to_text()) + ";";
    }
    return Value(static_cast<double>(args.size()));
  });
  ASSERT_TRUE(cell("A1")->set_value(Value("x")).ok());
  ASSERT_TRUE(
      cell("B1")
          ->set_formula("=fmany(\"a\",A1,1+1,4,\"b\",\"c\",A1,8,9,10,11,12,13,14,15,16,17,\"z\")")
          .ok());
  EXPECT_EQ(cell("B1")->value().value(), Value(19.0));
  EXPECT_EQ(seen, "a;$A$1;2;4;b;c;$A$1;8;9;10;11;12;13;14;15;16;17;$B$1;z;");
  // The last, optional one left out: Missing.
  ASSERT_TRUE(cell("B2")->set_formula("=fmany(1,2,3,4,5,6,7,8,9,A1,1,2,3,4,5,6,7)").ok());
  EXPECT_EQ(seen, "1;2;3;4;5;6;7;8;9;$A$1;1;2;3;4;5;6;7;$B$2;;");
}

// A method may take itself out of the host's table and, through a formula
// it enters, have another function called while it runs: it runs to its end
// all the same, with what it was made with, and the next call of its name
// finds no method.
TEST_F(ApplicationTest, AMethodRemovedWhileItRunsFinishesAfterACallOfAnother) {
  std::ofstream(library) << "fsingle = i_fsingle(inst, field, [options], caller)\n"
                         << "fmid = i_mid(a, caller, [b])\n";
  install();
  host->add_in_methods().add(
      "i_mid", [](host::AddInArgs args) -> Value { return Value("mid:" + args[0].to_text()); });
  const std::string answer(40, 'q');  // held by the method, outside the value itself
  host->add_in_methods().add("i_fsingle", [this, answer](host::AddInArgs args) -> Value {
    if (args[0].to_text() == "leave") {
      host->add_in_methods().remove("i_fsingle");
      EXPECT_TRUE(cell("C1")->set_formula("=fmid(7)").ok());
      EXPECT_TRUE(cell("C2")->set_formula("=fmid(8)").ok());
    }
    return Value(answer + args[0].to_text());
  });
  // The first call makes the function the one called last; the second,
  // the same function again, is the one that leaves.
  ASSERT_TRUE(cell("A1")->set_formula("=fsingle(\"stay\",\"x\")").ok());
  ASSERT_TRUE(cell("A2")->set_formula("=fsingle(\"leave\",\"x\")").ok());
  EXPECT_EQ(cell("A1")->value().value(), Value(answer + "stay"));
  EXPECT_EQ(cell("A2")->value().value(), Value(answer + "leave"));
  EXPECT_EQ(cell("C1")->value().value(), Value("mid:7"));
  EXPECT_EQ(cell("C2")->value().value(), Value("mid:8"));
  ASSERT_TRUE(cell("A3")->set_formula("=fsingle(\"stay\",\"x\")").ok());
  EXPECT_EQ(cell("A3")->value().value(), Value(ErrorCode::Name));
}

// A library function's text longer than a cell holds is #VALUE!, as a text
// function's is; characters are counted, not bytes.
TEST_F(ApplicationTest, ALibraryTextLongerThanACellHoldsIsAValueError) {
  install();
  // 32,766 characters in 32,767 bytes ("\u00E9" is two bytes), then 32,768.
  ASSERT_TRUE(cell("B1")->set_formula("=fsingle(REPT(\"x\",32764),\"\u00E9\")").ok());
  EXPECT_EQ(cell("B1")->value().value().text().size(), 32767u);
  ASSERT_TRUE(cell("B1")->set_formula("=fsingle(REPT(\"x\",32766),\"\u00E9\")").ok());
  EXPECT_EQ(cell("B1")->value().value(), Value(ErrorCode::Value));
}

// A figure beyond a double's range is the #NUM! the cell shows, also to
// the formulas reading it.
TEST_F(ApplicationTest, ALibraryFigureBeyondRangeIsANumError) {
  install();
  ASSERT_TRUE(cell("B1")->set_formula("=fsingle(\"huge\",\"x\")").ok());
  ASSERT_TRUE(cell("C1")->set_formula("=IFERROR(B1,\"err\")").ok());
  ASSERT_TRUE(cell("D1")->set_formula("=INDEX(fsingle(\"huges\",\"x\"),1,2)").ok());
  ASSERT_TRUE(cell("E1")->set_formula("=INDEX(fsingle(\"huges\",\"x\"),1,1)").ok());
  EXPECT_EQ(cell("B1")->value().value(), Value(ErrorCode::Num));
  EXPECT_EQ(cell("C1")->value().value(), Value("err"));
  EXPECT_EQ(cell("D1")->value().value(), Value(ErrorCode::Num));
  EXPECT_EQ(cell("E1")->value().value(), Value(1.0));
}

TEST_F(ApplicationTest, LinkRepairRemovesTheOldLibraryPath) {
  install();
  const std::string moved = "'/old/place/tarnvale.xla'!";
  ASSERT_TRUE(cell("A1")->set_formula("=" + moved + "fsingle(\"IBM\",\"X\")").ok());
  ASSERT_TRUE(cell("A2")->set_formula("='" + library + "'!fsingle(\"SAP\",\"Y\")").ok());
  EXPECT_EQ(cell("A1")->value().value(), Value(ErrorCode::Name));  // that copy is not installed
  EXPECT_EQ(cell("A2")->value().value(), Value("SAP:Y"));          // this one is

  // What the workbook-open handler does.
  host->set_display_alerts(false);
  const auto links = book->link_sources().value();
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(links[0], "/old/place/tarnvale.xla");
  auto all = sheet->cells().value();
  auto found = all->find("tarnvale.xla");
  ASSERT_TRUE(found.ok() && found.value());
  host::ReplaceOptions options;
  options.look_at = host::LookAt::Part;
  options.order = host::SearchOrder::ByRows;
  ASSERT_TRUE(all->replace("'" + links[0] + "'!", "", options).ok());
  EXPECT_EQ(cell("A1")->formula().value(), "=fsingle(\"IBM\",\"X\")");
  EXPECT_EQ(cell("A1")->value().value(), Value("IBM:X"));
  EXPECT_EQ(book->link_sources().value().size(), 1u);
  EXPECT_FALSE(host->display_alerts());
}

TEST_F(ApplicationTest, OpeningRaisesTheWorkbookOpenEvent) {
  EXPECT_EQ(host->workbooks().open("/x/prices.xlsx").status().code(), StatusCode::NotSupported);
  app.set_workbook_loader([](Application& a, std::string_view) -> Result<host::WorkbookPtr> {
    return a.workbooks().add();
  });
  std::vector<std::string> opened;
  const auto id = host->on_workbook_open(
      [&](const host::WorkbookPtr& b) { opened.push_back(b->name().value_or("?")); });
  ASSERT_TRUE(host->workbooks().open("/x/prices.xlsx").ok());
  host->remove_handler(id);
  ASSERT_TRUE(host->workbooks().open("/x/other.xlsx").ok());
  EXPECT_EQ(opened, std::vector<std::string>{"Book2"});
}

TEST_F(ApplicationTest, WorksheetFunctionsComputeOverRangesAsFormulasDo) {
  for (int r = 1; r <= 4; ++r) {
    EXPECT_TRUE(
        cell(("A" + std::to_string(r)).c_str())->set_value(Value(static_cast<double>(r))).ok());
    EXPECT_TRUE(cell(("B" + std::to_string(r)).c_str())->set_value(Value(2.0 * r + 1)).ok());
  }
  EXPECT_TRUE(cell("A5")->set_value(Value("header")).ok());
  const Value a = Value(std::shared_ptr<const RangeRef>(cell("A1:A5")));
  const Value b = Value(std::shared_ptr<const RangeRef>(cell("B1:B5")));
  auto& wf = host->worksheet_functions();
  EXPECT_EQ(wf.average(std::span(&a, 1)).value(), 2.5);
  EXPECT_EQ(wf.sum(std::span(&a, 1)).value(), 10);
  EXPECT_EQ(wf.max(std::span(&b, 1)).value(), 9);
  EXPECT_EQ(wf.min(std::span(&b, 1)).value(), 3);
  const Value both[] = {a, b};
  EXPECT_EQ(wf.sum_product(both).value(), 1 * 3 + 2 * 5 + 3 * 7 + 4 * 9);
  EXPECT_EQ(wf.slope(b, a).value(), 2);
  const Value empty = Value(std::shared_ptr<const RangeRef>(cell("C1:C3")));
  auto failed = wf.average(std::span(&empty, 1));
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.status().message(), "#DIV/0!");
  ASSERT_TRUE(cell("C1:C3")->set_formula("=AVERAGE($A$1:$A$5)").ok());
  EXPECT_EQ(cell("C3")->value().value(), Value(2.5));
}

TEST_F(ApplicationTest, CalculationModeAndHostSwitches) {
  ASSERT_TRUE(cell("A1")->set_value(Value(1.0)).ok());
  ASSERT_TRUE(cell("A2")->set_formula("=A1+1").ok());
  ASSERT_TRUE(host->set_calculation(host::Calculation::Manual).ok());
  EXPECT_EQ(host->calculation(), host::Calculation::Manual);
  EXPECT_TRUE(cell("A1")->set_value(Value(5.0)).ok());
  EXPECT_EQ(cell("A2")->value().value(), Value(2.0));
  ASSERT_TRUE(host->calculate().ok());
  EXPECT_EQ(cell("A2")->value().value(), Value(6.0));
  host->set_screen_updating(false);
  host->set_ask_to_update_links(false);
  EXPECT_FALSE(host->screen_updating());
  EXPECT_FALSE(host->ask_to_update_links());
  EXPECT_TRUE(host->command_bars().find_control(host::kHelpMenuId));
}

// The engine re-enters a waiting cell through its sheet when the answer
// arrives: the call runs again and the formula's text stays; a cell
// holding a constant keeps it; a cell the sheet cannot give, or a sheet
// that is gone, answers ObjectRequired.
TEST_F(ApplicationTest, ASheetEntersACellsFormulaAgainInPlace) {
  install();
  ASSERT_TRUE(cell("B2")->set_formula("=fsingle(\"IBM\",\"X\")").ok());
  ASSERT_TRUE(cell("C2")->set_value(Value(7.0)).ok());
  const int before = calls;
  ASSERT_TRUE(sheet->reenter_formula(2, 2).ok());
  EXPECT_EQ(calls, before + 1);
  EXPECT_EQ(last_caller, "Sheet1!$B$2");
  EXPECT_EQ(cell("B2")->formula().value(), "=fsingle(\"IBM\",\"X\")");
  EXPECT_EQ(cell("B2")->value().value(), Value("IBM:X"));
  EXPECT_TRUE(sheet->reenter_formula(2, 3).ok());
  EXPECT_EQ(cell("C2")->value().value(), Value(7.0));
  EXPECT_EQ(calls, before + 1);
  EXPECT_TRUE(sheet->reenter_formula(0, 1).is_object_required());
  auto other = book->add_worksheet("Other").value();
  ASSERT_TRUE(other->range("A1").value()->set_formula("=fsingle(\"IBM\",\"Y\")").ok());
  ASSERT_TRUE(other->remove().ok());
  EXPECT_TRUE(other->reenter_formula(1, 1).is_object_required());
  EXPECT_EQ(calls, before + 2);  // the one evaluation at entry
}

TEST_F(ApplicationTest, CellsOfADeletedSheetAnswerObjectRequired) {
  auto other = book->add_worksheet("Other").value();
  auto kept = other->range("C3").value();
  ASSERT_TRUE(kept->set_formula("=1").ok());
  ASSERT_TRUE(other->remove().ok());
  const Status st = kept->set_formula(kept->formula().value_or("=1"));
  EXPECT_TRUE(st.is_object_required());
  EXPECT_EQ(st.number(), 424);
  EXPECT_FALSE(sheet->remove().ok());  // the last visible sheet stays
}

}  // namespace
}  // namespace quillo::spreadsheet
