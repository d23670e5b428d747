// The Windows registry store under the registry store contract
// (registry_store_contract.h), and the system's error texts.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "host/registry_store.h"
#include "host/registry_store_contract.h"
#include "host/system_error_text.h"

namespace quillo::host {
namespace {

// The system registry, below a key of this process and test, removed
// afterwards.
struct SystemRegistryHarness {
  SystemRegistryHarness()
      : m_key("Software\\quillo-test\\" + std::to_string(GetCurrentProcessId()) + "-" +
              testing::UnitTest::GetInstance()->current_test_info()->name()) {}
  ~SystemRegistryHarness() { RegDeleteTreeA(HKEY_CURRENT_USER, m_key.c_str()); }
  std::unique_ptr<RegistryStore> make_store() { return make_registry_store({}, {}); }
  const std::string& key() const { return m_key; }

  std::string m_key;
};

INSTANTIATE_TYPED_TEST_SUITE_P(System, RegistryStoreContract, SystemRegistryHarness);

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
