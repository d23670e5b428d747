// The Windows registry store: values of each type round-trip through the
// real registry and outlive the store that wrote them, a view sees its own
// uncommitted changes, and missing values, double deletes, read-only views,
// failed and abandoned commits answer the registry's codes while leaving
// the registry as it was. Also the system's error texts.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "host/registry_store.h"
#include "host/system_error_text.h"

namespace quillo::host {
namespace {

constexpr std::int32_t kHkcu = static_cast<std::int32_t>(0x80000001u);

class WindowsRegistryTest : public testing::Test {
 protected:
  WindowsRegistryTest()
      : key("Software\\quillo-test\\" + std::to_string(GetCurrentProcessId()) + "-" +
            testing::UnitTest::GetInstance()->current_test_info()->name()) {}
  ~WindowsRegistryTest() override { RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str()); }

  static std::unique_ptr<RegistryStore> store() { return make_registry_store({}, {}); }
  static RegistryData text(std::string s) { return {kRegSz, std::move(s)}; }
  static RegistryData dword(std::uint32_t v) {
    return {kRegDword, std::string(reinterpret_cast<const char*>(&v), 4)};
  }
  // What the registry itself holds, read past the store.
  DWORD raw_dword(const char* name) const {
    DWORD value = 0, size = sizeof value, type = 0;
    const LONG rc =
        RegGetValueA(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_ANY, &type, &value, &size);
    return rc == 0 && type == REG_DWORD ? value : 0xFFFFFFFF;
  }

  const std::string key;
};

TEST_F(WindowsRegistryTest, ValuesRoundTripAndOutliveTheStore) {
  const std::string long_text(100000, 'x');
  const RegistryData binary{kRegBinary, std::string("\x01\x00\xff\x00\x7f", 5)};
  {
    auto s = store();
    ASSERT_EQ(s->begin(kHkcu, true), 0);
    EXPECT_FALSE(s->key_exists(key));
    ASSERT_EQ(s->create_key(key + "\\Sub"), 0);
    EXPECT_TRUE(s->key_exists(key));
    ASSERT_EQ(s->set_value(key, "Server", text("127.0.0.1:8080")), 0);
    ASSERT_EQ(s->set_value(key, "timeout", dword(1000)), 0);
    ASSERT_EQ(s->set_value(key, "Blob", binary), 0);
    ASSERT_EQ(s->set_value(key, "Long", text(long_text)), 0);
    // The view reads its own changes before they are committed.
    RegistryData seen;
    ASSERT_EQ(s->query_value(key, "SERVER", &seen), 0);
    EXPECT_EQ(seen, text("127.0.0.1:8080"));
    EXPECT_EQ(raw_dword("timeout"), 0xFFFFFFFFu);
    ASSERT_EQ(s->end(true), 0);
  }
  EXPECT_EQ(raw_dword("timeout"), 1000u);

  auto s = store();
  ASSERT_EQ(s->begin(kHkcu, false), 0);
  RegistryData seen;
  ASSERT_EQ(s->query_value(key, "server", &seen), 0);
  EXPECT_EQ(seen, text("127.0.0.1:8080"));
  ASSERT_EQ(s->query_value(key, "Timeout", &seen), 0);
  EXPECT_EQ(seen, dword(1000));
  ASSERT_EQ(s->query_value(key, "Blob", &seen), 0);
  EXPECT_EQ(seen, binary);
  ASSERT_EQ(s->query_value(key, "Long", &seen), 0);
  EXPECT_EQ(seen.bytes, long_text);
  EXPECT_EQ(s->value_names(key), (std::vector<std::string>{"Blob", "Long", "Server", "timeout"}));
  EXPECT_EQ(s->subkeys(key), std::vector<std::string>{"Sub"});
  EXPECT_EQ(s->end(false), 0);
}

TEST_F(WindowsRegistryTest, MissingValuesAndSecondDeletesAreNotFound) {
  auto s = store();
  ASSERT_EQ(s->begin(kHkcu, true), 0);
  RegistryData seen;
  EXPECT_EQ(s->query_value(key, "nothing", &seen), kRegErrFileNotFound);
  EXPECT_EQ(s->set_value(key, "v", text("a")), kRegErrFileNotFound);  // no key yet
  ASSERT_EQ(s->create_key(key), 0);
  ASSERT_EQ(s->set_value(key, "v", text("a")), 0);
  ASSERT_EQ(s->set_value(key, "w", dword(7)), 0);
  ASSERT_EQ(s->end(true), 0);

  ASSERT_EQ(s->begin(kHkcu, true), 0);
  EXPECT_EQ(s->delete_value(key, "v"), 0);
  EXPECT_EQ(s->delete_value(key, "v"), kRegErrFileNotFound);
  EXPECT_EQ(s->query_value(key, "v", &seen), kRegErrFileNotFound);
  EXPECT_EQ(s->value_names(key), std::vector<std::string>{"w"});
  ASSERT_EQ(s->end(true), 0);

  ASSERT_EQ(s->begin(kHkcu, true), 0);
  EXPECT_EQ(s->delete_value(key, "v"), kRegErrFileNotFound);
  EXPECT_EQ(s->query_value(key, "w", &seen), 0);
  EXPECT_EQ(s->end(true), 0);
}

TEST_F(WindowsRegistryTest, OnlyCommittedWriteViewsChangeTheRegistry) {
  auto s = store();
  EXPECT_EQ(s->begin(0x12345, true), kRegErrInvalidHandle);
  EXPECT_FALSE(s->key_exists(""));
  ASSERT_EQ(s->begin(kHkcu, true), 0);
  ASSERT_EQ(s->create_key(key), 0);
  ASSERT_EQ(s->set_value(key, "n", dword(1)), 0);
  ASSERT_EQ(s->end(true), 0);

  // Abandoned, failed and read-only views all leave n at 1, and a failed
  // commit makes none of its keys.
  ASSERT_EQ(s->begin(kHkcu, true), 0);
  ASSERT_EQ(s->set_value(key, "n", dword(2)), 0);
  EXPECT_EQ(s->end(false), 0);
  s->fail_next_write(kRegErrAccessDenied);
  ASSERT_EQ(s->begin(kHkcu, true), 0);
  ASSERT_EQ(s->set_value(key, "n", dword(3)), 0);
  ASSERT_EQ(s->create_key(key + "\\New"), 0);
  EXPECT_EQ(s->end(true), kRegErrAccessDenied);
  ASSERT_EQ(s->begin(kHkcu, false), 0);
  ASSERT_EQ(s->set_value(key, "n", dword(4)), 0);
  EXPECT_EQ(s->end(true), kRegErrAccessDenied);
  EXPECT_EQ(raw_dword("n"), 1u);
  ASSERT_EQ(s->begin(kHkcu, false), 0);
  EXPECT_FALSE(s->key_exists(key + "\\New"));
  EXPECT_EQ(s->end(false), 0);
}

TEST(WindowsErrorTextTest, SystemTextsHaveNoLineBreakAndUnknownCodesReadAsNumbers) {
  for (std::int32_t code : {2, 5, 234, 12002, 12029}) {
    const std::string text = windows_error_text(code);
    EXPECT_FALSE(text.empty()) << code;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << code;
  }
  EXPECT_NE(windows_error_text(2).rfind("error ", 0), 0u);  // the system's own text
  EXPECT_EQ(windows_error_text(0xDEAD), "error 57005 (0x0000DEAD)");
}

}  // namespace
}  // namespace quillo::host
