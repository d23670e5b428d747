#include "common/function_library.h"

#include <gtest/gtest.h>

namespace quillo {
namespace {

TEST(FunctionLibrary, ParsesDeclarationsWithOptionalArgumentsAndCaller) {
  auto lib = parse_function_library(
      "# comment\r\n\n  fsingle = i_fsingle(inst, field, [options], caller)\r\n"
      "NOARGS=i_none()\n");
  ASSERT_TRUE(lib.ok()) << lib.status().message();
  ASSERT_EQ(lib.value().functions.size(), 2u);
  const LibraryFunction* f = lib.value().find("FSINGLE");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->method, "i_fsingle");
  ASSERT_EQ(f->params.size(), 4u);
  EXPECT_FALSE(f->params[1].optional);
  EXPECT_TRUE(f->params[2].optional);
  EXPECT_TRUE(f->params[3].caller);
  EXPECT_TRUE(lib.value().find("noargs")->params.empty());
  EXPECT_FALSE(lib.value().find("other"));
}

TEST(FunctionLibrary, RejectsMistakesNamingTheLine) {
  for (const char* text :
       {"fsingle i_fsingle(a)", "f = m(a", "1f = m(a)", "f = m-x(a)", "f = m(a,,b)",
        "f = m([a], b)", "f = m([caller])", "f = m(caller, caller)", "F = n(b)", "f = m([a b])"}) {
    auto lib = parse_function_library(std::string("f = m(a)\n") + text);
    ASSERT_FALSE(lib.ok()) << text;
    EXPECT_NE(lib.status().message().find("line 2"), std::string::npos) << lib.status().message();
  }
  EXPECT_FALSE(parse_function_library(std::string(2 << 20, '#')).ok());
  EXPECT_FALSE(load_function_library("/nonexistent/tarnvale.xla").ok());
}

TEST(FunctionLibrary, ShippedLibraryDeclaresTheEngineFunctions) {
  auto lib = load_function_library(std::string(QUILLO_SOURCE_DIR) + "/data/tarnvale.xla");
  ASSERT_TRUE(lib.ok()) << lib.status().message();
  for (const char* name : {"fsingle", "fhistory", "wlink", "sma", "macd", "beta"}) {
    const LibraryFunction* f = lib.value().find(name);
    ASSERT_TRUE(f) << name;
    EXPECT_TRUE(f->params.back().caller) << name;
  }
  EXPECT_EQ(lib.value().find("fhistory")->method, "i_history_data");
  EXPECT_EQ(lib.value().find("sto_slow")->params.size(), 5u);
  EXPECT_EQ(lib.value().functions.size(), 19u);
}

}  // namespace
}  // namespace quillo
