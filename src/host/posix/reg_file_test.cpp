// The .reg file store under the registry store contract
// (registry_store_contract.h), and what only it has: the .reg text format,
// owner-only files, interrupted and concurrent writers, damaged and
// unreadable files.
#include "host/posix/reg_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "host/registry_store_contract.h"
#include "support/registry_store_folder.h"

namespace quillo::host {
namespace {

constexpr const char* kRoot = "HKEY_CURRENT_USER";
constexpr std::int32_t kHKCU = static_cast<std::int32_t>(0x80000001u);

using testing_support::StoreDirTest;

// The store on .reg files in a private folder, removed afterwards.
struct FileStoreHarness {
  FileStoreHarness() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillo-reg-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) m_root = pattern;
    EXPECT_FALSE(m_root.empty());
  }
  ~FileStoreHarness() {
    std::error_code ec;
    std::filesystem::remove_all(m_root, ec);
  }
  std::unique_ptr<RegistryStore> make_store() {
    return make_registry_store({m_root / "user", m_root / "machine"}, {});
  }
  const std::string& key() const { return m_key; }

  std::filesystem::path m_root;
  std::string m_key = "Software\\quillo-test\\Contract";
};

INSTANTIATE_TYPED_TEST_SUITE_P(Files, RegistryStoreContract, FileStoreHarness);

RegistryTree sample_tree() {
  RegistryTree t;
  auto& k = t.create("SOFTWARE\\Brenmoor\\Tarnvale");
  k.values["proxy_server"] = {kRegSz, "proxy \"main\" C:\\x\\"};
  k.values["with_nul"] = {kRegSz, std::string("ab\0cd", 5)};
  k.values["multi\nline"] = {kRegSz, "line1\r\nline2"};
  k.values["frequency"] = {kRegDword, std::string("\x3c\0\0\x80", 4)};
  k.values["blob"] = {kRegBinary, std::string("\x00\xff\x10", 3)};
  k.values[""] = {kRegSz, "default"};
  k.values["odd"] = {11, "12345678"};
  t.create("SOFTWARE\\Empty");
  return t;
}

TEST(RegText, EveryKindOfValueSurvivesARoundTrip) {
  RegistryTree tree = sample_tree();
  std::string text = format_reg(tree, kRoot);
  ParseResult back = parse_reg(text, kRoot);
  ASSERT_FALSE(back.error) << *back.error << "\n" << text;
  ASSERT_EQ(back.tree.keys.size(), tree.keys.size());
  for (const auto& [path, key] : tree.keys) {
    RegistryKey* other = back.tree.find(path);
    ASSERT_NE(other, nullptr) << path;
    EXPECT_EQ(other->values, key.values) << path;
  }
  // Readable where it can be.
  EXPECT_NE(text.find("\"frequency\"=dword:8000003c"), std::string::npos) << text;
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\SOFTWARE\\Empty]"), std::string::npos);
  EXPECT_NE(text.find("@=\"default\""), std::string::npos);
}

TEST(RegText, ReadsHandWrittenFiles) {
  std::string text =
      "\xEF\xBB\xBFREGEDIT4\r\n"
      "; a comment\r\n"
      "\r\n"
      "[hkey_current_user\\Software\\A]\r\n"
      "\"Name\"=\"x\"\r\n"
      "\"Bytes\"=hex:01,02,\\\r\n"
      "  03\r\n"
      "\"Path\"=\"C:\\\\dir\\\\\"\r\n";
  ParseResult r = parse_reg(text, kRoot);
  ASSERT_FALSE(r.error) << *r.error;
  RegistryKey* k = r.tree.find("SOFTWARE\\a");  // names ignore letter case
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(k->values["name"].bytes, "x");
  EXPECT_EQ(k->values["Bytes"].bytes, std::string("\x01\x02\x03", 3));
  EXPECT_EQ(k->values["Path"].bytes, "C:\\dir\\");
  EXPECT_TRUE(r.tree.key_exists("software"));  // parents exist implicitly
  EXPECT_FALSE(r.tree.key_exists("softwar"));
}

TEST(RegText, DamagedTextIsReportedNotTrusted) {
  const std::string header = "Windows Registry Editor Version 5.00\n";
  const std::vector<std::string> damaged = {
      "hello world",
      std::string("\0\x01\x02\xff", 4),
      header + "\"a\"=\"b\"\n",                        // value outside any key
      header + "[HKEY_LOCAL_MACHINE\\X]\n",            // another root's key
      header + "[HKEY_CURRENT_USER\\X\n",              // unclosed key
      header + "[HKEY_CURRENT_USER\\X]\n\"a\"=\"b\n",  // unclosed text
      header + "[HKEY_CURRENT_USER\\X]\n\"a\"=dword:123456789\n",
      header + "[HKEY_CURRENT_USER\\X]\n\"a\"=dword:zz\n",
      header + "[HKEY_CURRENT_USER\\X]\n\"a\"=hex:1,2\n",
      header + "[HKEY_CURRENT_USER\\X]\n\"a\"=hex(\n",
      header + "[HKEY_CURRENT_USER\\X]\n\"a\"\n",
  };
  for (const auto& text : damaged) {
    ParseResult r = parse_reg(text, kRoot);
    EXPECT_TRUE(r.error.has_value()) << text;
    EXPECT_TRUE(r.tree.keys.empty()) << text;
  }
  EXPECT_FALSE(parse_reg("", kRoot).error);
  EXPECT_FALSE(parse_reg("\n\n", kRoot).error);
}

using RegFileTest = StoreDirTest;

TEST_F(RegFileTest, OwnerOnlyFilesAndFolderAreClosedToOthers) {
  ::umask(022);
  RegistryFile file(user_file(), kRoot, true, sink());
  RegistryTree tree;
  ASSERT_EQ(file.lock_and_load(tree), 0);
  tree.create("A").values["proxy_password"] = {kRegSz, "secret"};
  ASSERT_EQ(file.commit(tree), 0);
  file.unlock();
  struct stat st {};
  ASSERT_EQ(::stat(user_file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(user_file().parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
  // A rewrite keeps it that way.
  ASSERT_EQ(file.lock_and_load(tree), 0);
  ASSERT_EQ(file.commit(tree), 0);
  ASSERT_EQ(::stat(user_file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(RegFileTest, AnInterruptedWriteLeavesThePreviousFile) {
  RegistryFile file(user_file(), kRoot, true, sink());
  RegistryTree tree;
  ASSERT_EQ(file.lock_and_load(tree), 0);
  tree.create("A").values["v"] = {kRegSz, "old"};
  ASSERT_EQ(file.commit(tree), 0);
  file.unlock();
  std::string before = read_file(user_file());

  // The process dies after writing the new text and before putting it in place.
  auto die_mid_write = [this] {
    RegistryFile writer(user_file(), kRoot, true, {});
    RegistryTree t;
    writer.lock_and_load(t);
    t.create("A").values["v"] = {kRegSz, "new"};
    writer.before_rename = [] { ::_exit(3); };
    writer.commit(t);
  };
  EXPECT_EXIT(die_mid_write(), ::testing::ExitedWithCode(3), "");

  EXPECT_EQ(read_file(user_file()), before);
  RegistryTree after;
  ASSERT_EQ(file.load(after), 0);
  EXPECT_EQ(after.find("A")->values["v"].bytes, "old");
  EXPECT_TRUE(warnings.empty());
  // The lock died with the process; the next writer goes ahead and clears
  // the dead writer's leftovers.
  ASSERT_EQ(file.lock_and_load(tree), 0);
  ASSERT_EQ(file.commit(tree), 0);
  file.unlock();
  for (const auto& entry : std::filesystem::directory_iterator(user_file().parent_path())) {
    EXPECT_EQ(entry.path().filename().string().find(".quillo-save-"), std::string::npos)
        << entry.path();
  }
}

TEST_F(RegFileTest, ADamagedFileGivesAWarningAndIsKeptWhenReplaced) {
  write_file(user_file(), "this is not a registry file\n");
  RegistryFile file(user_file(), kRoot, true, sink());
  RegistryTree tree;
  ASSERT_EQ(file.lock_and_load(tree), 0);
  EXPECT_TRUE(tree.keys.empty());
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find(user_file().string()), std::string::npos) << warnings[0];
  EXPECT_NE(warnings[0].find("damaged"), std::string::npos) << warnings[0];
  tree.create("A");
  ASSERT_EQ(file.commit(tree), 0);
  EXPECT_EQ(read_file(user_file().string() + ".bad"), "this is not a registry file\n");
  EXPECT_FALSE(parse_reg(read_file(user_file()), kRoot).error);
}

TEST_F(RegFileTest, ConcurrentProcessesDoNotLoseEachOthersValues) {
  constexpr int kWriters = 3, kValues = 25;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      auto store = make_registry_store(location(), {});
      bool ok = true;
      for (int i = 0; i < kValues; ++i) {
        std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
        ok = store->begin(kHKCU, true) == 0 && ok;
        ok = store->create_key("Shared") == 0 && ok;
        ok = store->set_value("Shared", name, {kRegSz, std::to_string(i)}) == 0 && ok;
        ok = store->end(true) == 0 && ok;
      }
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto store = make_registry_store(location(), sink());
  ASSERT_EQ(store->begin(kHKCU, false), 0);
  EXPECT_EQ(store->value_names("Shared").size(), std::size_t{kWriters * kValues});
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kValues; ++i) {
      std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
      RegistryData data;
      ASSERT_EQ(store->query_value("Shared", name, &data), 0) << name;
      EXPECT_EQ(data.bytes, std::to_string(i)) << name;
    }
  }
  EXPECT_EQ(store->subkeys(""), std::vector<std::string>{"Shared"});
  EXPECT_EQ(store->end(false), 0);
  EXPECT_TRUE(warnings.empty());
}

TEST_F(RegFileTest, AFileThatCannotBeReadIsNeverWrittenOver) {
  // A folder where the file should be reads as EISDIR whoever runs the test.
  std::filesystem::create_directories(user_file());
  auto store = make_registry_store(location(), sink());
  EXPECT_EQ(store->begin(kHKCU, false), kRegErrAccessDenied);
  EXPECT_EQ(store->end(false), 0);
  EXPECT_EQ(store->begin(kHKCU, true), kRegErrAccessDenied);
  EXPECT_EQ(store->create_key("A"), 0);
  EXPECT_EQ(store->set_value("A", "v", {kRegSz, "x"}), 0);
  EXPECT_EQ(store->end(true), kRegErrAccessDenied);
  EXPECT_TRUE(std::filesystem::is_directory(user_file()));
}

}  // namespace
}  // namespace quillo::host
