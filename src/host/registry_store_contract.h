// The contract every RegistryStore keeps, as typed test cases: values of
// each type round-trip and outlive the store that wrote them, names compare
// without regard to letter case and list in name order, a view sees its
// own uncommitted changes and nobody else does, missing keys and values and
// second deletes answer "not found", and abandoned, failed and read-only
// views leave the registry as it was.
//
// A test binary instantiates the suite for each store it has with a harness:
//
//   struct Harness {
//     // A new store; every store of one harness sees the same registry.
//     std::unique_ptr<RegistryStore> make_store();
//     // A key path below HKEY_CURRENT_USER that only this test uses
//     // (absent at first, removed afterwards).
//     const std::string& key() const;
//   };
//   INSTANTIATE_TYPED_TEST_SUITE_P(Files, RegistryStoreContract, FileHarness);
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "host/registry_store.h"

namespace quillo::host {

template <typename Harness>
class RegistryStoreContract : public testing::Test {
 protected:
  static constexpr std::int32_t kHkcu = static_cast<std::int32_t>(0x80000001u);

  std::unique_ptr<RegistryStore> store() { return harness.make_store(); }
  const std::string& key() const { return harness.key(); }
  static RegistryData text(std::string s) { return {kRegSz, std::move(s)}; }
  static RegistryData dword(std::uint32_t v) {
    const char bytes[4] = {static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff),
                           static_cast<char>((v >> 16) & 0xff), static_cast<char>(v >> 24)};
    return {kRegDword, std::string(bytes, 4)};
  }
  // The value as a read view of another store sees it: what is committed.
  // {0, "missing"} when it is not there.
  RegistryData committed(const std::string& name) {
    auto other = store();
    RegistryData seen{0, "missing"};
    if (other->begin(kHkcu, false) == 0) {
      if (other->query_value(key(), name, &seen) != 0) seen = {0, "missing"};
    }
    other->end(false);
    return seen;
  }

  Harness harness;
};

TYPED_TEST_SUITE_P(RegistryStoreContract);

TYPED_TEST_P(RegistryStoreContract, ValuesRoundTripAndOutliveTheStore) {
  const std::string& key = this->key();
  const std::string long_text(100000, 'x');
  const RegistryData binary{kRegBinary, std::string("\x01\x00\xff\x00\x7f", 5)};
  const RegistryData missing{0, "missing"};
  {
    auto s = this->store();
    ASSERT_EQ(s->begin(this->kHkcu, true), 0);
    EXPECT_FALSE(s->key_exists(key));
    ASSERT_EQ(s->create_key(key + "\\Sub"), 0);
    EXPECT_TRUE(s->key_exists(key));
    ASSERT_EQ(s->set_value(key, "Server", this->text("127.0.0.1:8080")), 0);
    ASSERT_EQ(s->set_value(key, "timeout", this->dword(1000)), 0);
    ASSERT_EQ(s->set_value(key, "Blob", binary), 0);
    ASSERT_EQ(s->set_value(key, "Long", this->text(long_text)), 0);
    // The view reads its own changes before they are committed; nobody
    // else does.
    RegistryData seen;
    ASSERT_EQ(s->query_value(key, "SERVER", &seen), 0);
    EXPECT_EQ(seen, this->text("127.0.0.1:8080"));
    EXPECT_EQ(this->committed("timeout"), missing);
    ASSERT_EQ(s->end(true), 0);
  }
  EXPECT_EQ(this->committed("timeout"), this->dword(1000));

  auto s = this->store();
  ASSERT_EQ(s->begin(this->kHkcu, false), 0);
  std::string upper = key;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(s->key_exists(upper + "\\SUB"));
  RegistryData seen;
  ASSERT_EQ(s->query_value(key, "server", &seen), 0);
  EXPECT_EQ(seen, this->text("127.0.0.1:8080"));
  ASSERT_EQ(s->query_value(upper, "Timeout", &seen), 0);
  EXPECT_EQ(seen, this->dword(1000));
  ASSERT_EQ(s->query_value(key, "Blob", &seen), 0);
  EXPECT_EQ(seen, binary);
  ASSERT_EQ(s->query_value(key, "Long", &seen), 0);
  EXPECT_EQ(seen.bytes, long_text);
  EXPECT_EQ(s->value_names(key), (std::vector<std::string>{"Blob", "Long", "Server", "timeout"}));
  EXPECT_EQ(s->subkeys(key), std::vector<std::string>{"Sub"});
  EXPECT_EQ(s->end(false), 0);
}

TYPED_TEST_P(RegistryStoreContract, MissingValuesAndSecondDeletesAreNotFound) {
  const std::string& key = this->key();
  auto s = this->store();
  ASSERT_EQ(s->begin(this->kHkcu, true), 0);
  RegistryData seen;
  EXPECT_EQ(s->query_value(key, "nothing", &seen), kRegErrFileNotFound);
  EXPECT_EQ(s->set_value(key, "v", this->text("a")), kRegErrFileNotFound);  // no key yet
  EXPECT_EQ(s->delete_value(key, "v"), kRegErrFileNotFound);
  EXPECT_TRUE(s->value_names(key).empty());
  EXPECT_TRUE(s->subkeys(key).empty());
  ASSERT_EQ(s->create_key(key), 0);
  ASSERT_EQ(s->create_key(key), 0);  // again: it exists afterwards
  ASSERT_EQ(s->set_value(key, "v", this->text("a")), 0);
  ASSERT_EQ(s->set_value(key, "w", this->dword(7)), 0);
  ASSERT_EQ(s->end(true), 0);

  ASSERT_EQ(s->begin(this->kHkcu, true), 0);
  EXPECT_EQ(s->delete_value(key, "V"), 0);
  EXPECT_EQ(s->delete_value(key, "v"), kRegErrFileNotFound);
  EXPECT_EQ(s->query_value(key, "v", &seen), kRegErrFileNotFound);
  EXPECT_EQ(s->value_names(key), std::vector<std::string>{"w"});
  ASSERT_EQ(s->end(true), 0);

  ASSERT_EQ(s->begin(this->kHkcu, true), 0);
  EXPECT_EQ(s->delete_value(key, "v"), kRegErrFileNotFound);
  EXPECT_EQ(s->query_value(key, "w", &seen), 0);
  EXPECT_EQ(seen, this->dword(7));
  EXPECT_EQ(s->end(true), 0);
}

TYPED_TEST_P(RegistryStoreContract, OnlyCommittedWriteViewsChangeTheRegistry) {
  const std::string& key = this->key();
  auto s = this->store();
  EXPECT_EQ(s->begin(0x12345, true), kRegErrInvalidHandle);
  EXPECT_FALSE(s->key_exists(""));
  EXPECT_EQ(s->end(true), 0);
  ASSERT_EQ(s->begin(this->kHkcu, true), 0);
  ASSERT_EQ(s->create_key(key), 0);
  ASSERT_EQ(s->set_value(key, "n", this->dword(1)), 0);
  ASSERT_EQ(s->end(true), 0);

  // Abandoned, failed and read-only views all leave n at 1, and a failed
  // commit makes none of its keys.
  ASSERT_EQ(s->begin(this->kHkcu, true), 0);
  ASSERT_EQ(s->set_value(key, "n", this->dword(2)), 0);
  EXPECT_EQ(s->end(false), 0);
  s->fail_next_write(kRegErrAccessDenied);
  ASSERT_EQ(s->begin(this->kHkcu, true), 0);
  ASSERT_EQ(s->set_value(key, "n", this->dword(3)), 0);
  ASSERT_EQ(s->create_key(key + "\\New"), 0);
  EXPECT_EQ(s->end(true), kRegErrAccessDenied);
  ASSERT_EQ(s->begin(this->kHkcu, false), 0);
  ASSERT_EQ(s->set_value(key, "n", this->dword(4)), 0);
  EXPECT_EQ(s->end(true), kRegErrAccessDenied);
  EXPECT_EQ(this->committed("n"), this->dword(1));
  ASSERT_EQ(s->begin(this->kHkcu, false), 0);
  EXPECT_FALSE(s->key_exists(key + "\\New"));
  EXPECT_EQ(s->end(false), 0);
  // The next write goes through again.
  ASSERT_EQ(s->begin(this->kHkcu, true), 0);
  ASSERT_EQ(s->set_value(key, "n", this->dword(5)), 0);
  EXPECT_EQ(s->end(true), 0);
  EXPECT_EQ(this->committed("n"), this->dword(5));
}

REGISTER_TYPED_TEST_SUITE_P(RegistryStoreContract, ValuesRoundTripAndOutliveTheStore,
                            MissingValuesAndSecondDeletesAreNotFound,
                            OnlyCommittedWriteViewsChangeTheRegistry);

}  // namespace quillo::host
