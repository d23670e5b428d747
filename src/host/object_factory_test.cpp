#include "host/object_factory.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "host/add_ins.h"

namespace quillo::host {
namespace {

struct Widget : HostObject {
  int n = 7;
};

TEST(ObjectRegistry, CreatesRegisteredClassesByProgIdInAnyCase) {
  ObjectRegistry registry;
  registry.register_class("quillo.Widget", "/opt/quillo/libquillo.so",
                          [] { return std::make_shared<Widget>(); });
  auto made = registry.create("QUILLO.widget");
  ASSERT_TRUE(made.ok());
  EXPECT_EQ(std::dynamic_pointer_cast<Widget>(made.value())->n, 7);
  EXPECT_EQ(registry.module_path("quillo.widget").value(), "/opt/quillo/libquillo.so");
}

TEST(ObjectRegistry, UnknownOrFailingClassesAreErrorsNotExceptions) {
  ObjectRegistry registry;
  registry.register_class(
      "bad.Thing", "", []() -> std::shared_ptr<HostObject> { throw std::runtime_error("boom"); });
  registry.register_class("null.Thing", "", [] { return nullptr; });
  EXPECT_EQ(registry.create("nope").status().code(), StatusCode::OperationFailed);
  EXPECT_FALSE(registry.create("bad.thing").ok());
  EXPECT_FALSE(registry.create("null.thing").ok());
  EXPECT_FALSE(registry.module_path("nope").ok());
  EXPECT_TRUE(registry.unregister_class("BAD.THING"));
  EXPECT_FALSE(registry.unregister_class("bad.thing"));
}

TEST(AddInMethods, FindsByNameIgnoringCaseAndSurvivesRemovalDuringCall) {
  AddInMethods methods;
  methods.add("i_fsingle", [&](AddInArgs args) -> Value {
    methods.remove("i_fsingle");  // the running method stays alive
    return Value(static_cast<double>(args.size()));
  });
  auto m = methods.find("I_FSINGLE");
  ASSERT_TRUE(m);
  std::vector<Value> args{Value("IBM"), Value("SMP.QUO.LAST")};
  EXPECT_EQ(call_method(*m, args), Value(2.0));
  EXPECT_FALSE(methods.find("i_fsingle"));
}

}  // namespace
}  // namespace quillo::host
