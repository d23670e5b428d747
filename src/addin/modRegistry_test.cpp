#include "addin/modRegistry.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "addin/modGetSystemErrorMessageText.h"
#include "support/registry_store_folder.h"

namespace quillo::addin {
namespace {

constexpr std::int32_t kHKCU = HKEY_CURRENT_USER;
constexpr const char* kKey = "SOFTWARE\\Test";
constexpr std::int32_t code(RegError e) {
  return static_cast<std::int32_t>(e);
}

class ModRegistryTest : public testing_support::StoreDirTest {
 protected:
  void SetUp() override {
    StoreDirTest::SetUp();
    reg = std::make_unique<modRegistry>(location(), sink());
  }
  std::int32_t last_code() const { return reg->last_error().error_code; }
  std::unique_ptr<modRegistry> reg;
};

TEST_F(ModRegistryTest, KeyPathAndRootChecks) {
  const std::string path256 = std::string(250, 'k') + "\\abcde";
  EXPECT_TRUE(reg->reg_createkey(kHKCU, path256));
  EXPECT_EQ(last_code(), 0);
  EXPECT_TRUE(reg->reg_keyexists(kHKCU, path256, false));
  EXPECT_FALSE(reg->reg_getvalue(kHKCU, path256 + "f", "v").is_text());
  EXPECT_EQ(last_code(), code(RegError::InvalidBaseKey));
  EXPECT_EQ(reg->last_error().error_text, "Invalid Base Key Value.");
  EXPECT_FALSE(reg->reg_setvalue(kHKCU, "   ", "v", Value(1), true));
  EXPECT_EQ(last_code(), code(RegError::InvalidBaseKey));

  EXPECT_FALSE(modRegistry::reg_isvalidroot(static_cast<std::int32_t>(0x80000007u)));
  EXPECT_FALSE(modRegistry::reg_isvalidroot(0));
  EXPECT_FALSE(reg->reg_keyexists(static_cast<std::int32_t>(0x80000007u), kKey, false));
  EXPECT_EQ(last_code(), code(RegError::InvalidBaseKey));
  EXPECT_FALSE(reg->reg_keyexists(static_cast<std::int32_t>(0x80000007u), kKey, true));
  EXPECT_EQ(last_code(), code(RegError::CannotCreateKey));
  for (std::uint32_t root : {0x80000000u, 0x80000006u}) {
    auto r = static_cast<std::int32_t>(root);
    EXPECT_TRUE(reg->reg_writevalue(r, kKey, "v", Value("x"), true)) << root;
    EXPECT_EQ(reg->reg_getvalue(r, kKey, "v"), Value("x")) << root;
  }
  // A path the store cannot hold fails cleanly.
  EXPECT_FALSE(reg->reg_createkey(kHKCU, "a\\\\b"));
  EXPECT_EQ(last_code(), code(RegError::CannotCreateKey));
}

TEST_F(ModRegistryTest, ValuesKeepTheirTypesAndCaseInsensitiveNames) {
  ASSERT_TRUE(reg->reg_writevalue(kHKCU, kKey, "Text", Value("hello"), true));
  ASSERT_TRUE(reg->reg_writevalue(kHKCU, kKey, "Number", Value(-7), true));
  ASSERT_TRUE(reg->reg_writevalue(kHKCU, kKey, "Rounded", Value(2.5), true));
  EXPECT_EQ(reg->reg_valuetype(kHKCU, kKey, "text"), 1);
  EXPECT_EQ(reg->reg_valuetype(kHKCU, "software\\test", "NUMBER"), 4);
  EXPECT_EQ(reg->reg_getvalue(kHKCU, kKey, "Number"), Value(-7));
  EXPECT_EQ(reg->reg_getvalue(kHKCU, kKey, "Rounded"), Value(2));
  // What one object wrote, another reads.
  modRegistry other(location(), {});
  EXPECT_EQ(other.reg_getvalue(kHKCU, kKey, "Text"), Value("hello"));
  EXPECT_EQ(other.reg_valuetype(kHKCU, kKey, "missing"), -1);
  EXPECT_EQ(other.last_error().error_code, code(RegError::CannotReadValue));
}

TEST_F(ModRegistryTest, ReadingUnsupportedOrDamagedValues) {
  write_file(user_file(),
             "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Test]\n"
             "\"bin\"=hex:01,02\n\"nul\"=hex(1):61,62,00,63\n");
  EXPECT_EQ(reg->reg_getvalue(kHKCU, kKey, "bin").type(), ValueType::Null);
  EXPECT_EQ(last_code(), code(RegError::InvalidDataType));
  EXPECT_EQ(reg->reg_getvalue(kHKCU, kKey, "nul"), Value("ab"));
  EXPECT_EQ(last_code(), 0);
  EXPECT_EQ(reg->reg_getvalue(kHKCU, "SOFTWARE\\Nowhere", "x").type(), ValueType::Null);
  EXPECT_EQ(last_code(), code(RegError::KeyNotFound));

  // Text longer than the read buffer does not fit.
  ASSERT_TRUE(reg->reg_writevalue(kHKCU, kKey, "long", Value(std::string(1025, 'x')), true));
  EXPECT_EQ(reg->reg_getvalue(kHKCU, kKey, "long").type(), ValueType::Null);
  EXPECT_EQ(last_code(), code(RegError::CannotReadValue));
  EXPECT_EQ(reg->last_error().system_error_code, 234);
  EXPECT_EQ(reg->last_error().system_error_text, "More data is available.");
  ASSERT_TRUE(reg->reg_writevalue(kHKCU, kKey, "long", Value(std::string(1024, 'x')), true));
  EXPECT_EQ(reg->reg_getvalue(kHKCU, kKey, "long"), Value(std::string(1024, 'x')));
}

TEST_F(ModRegistryTest, SetKeepsAStringAStringWriteReplacesIt) {
  ASSERT_TRUE(reg->reg_setvalue(kHKCU, kKey, "v", Value("text"), true));
  EXPECT_FALSE(reg->reg_setvalue(kHKCU, kKey, "v", Value(5), true));
  EXPECT_EQ(last_code(), code(RegError::TypeMismatch));
  EXPECT_EQ(reg->reg_getvalue(kHKCU, kKey, "v"), Value("text"));
  EXPECT_TRUE(reg->reg_writevalue(kHKCU, kKey, "v", Value(5), true));
  EXPECT_EQ(reg->reg_valuetype(kHKCU, kKey, "v"), 4);
  EXPECT_EQ(reg->reg_getvalue(kHKCU, kKey, "v"), Value(5));
  // An existing number takes numeric text; other text does not fit.
  EXPECT_TRUE(reg->reg_setvalue(kHKCU, kKey, "v", Value("12"), false));
  EXPECT_EQ(reg->reg_getvalue(kHKCU, kKey, "v"), Value(12));
  EXPECT_FALSE(reg->reg_setvalue(kHKCU, kKey, "v", Value("twelve"), false));
  EXPECT_FALSE(reg->reg_setvalue(kHKCU, kKey, "v", Value(Null{}), false));
  EXPECT_EQ(last_code(), code(RegError::InvalidDataType));
  EXPECT_FALSE(reg->reg_setvalue(kHKCU, "SOFTWARE\\Missing", "v", Value(1), false));
  EXPECT_EQ(last_code(), code(RegError::KeyNotFound));
}

TEST_F(ModRegistryTest, MissingValuesOnlyAppearWhenAskedFor) {
  ASSERT_TRUE(reg->reg_createkey(kHKCU, kKey));
  EXPECT_FALSE(reg->reg_writevalue(kHKCU, kKey, "v", Value(1), false));
  EXPECT_EQ(last_code(), code(RegError::ValueNotFound));
  EXPECT_FALSE(reg->reg_valueexists(kHKCU, kKey, "v", false, 4));
  EXPECT_TRUE(reg->reg_valueexists(kHKCU, kKey, "n", true, 4));
  EXPECT_EQ(reg->reg_getvalue(kHKCU, kKey, "n"), Value(0));
  EXPECT_TRUE(reg->reg_valueexists(kHKCU, kKey, "s", true, 1));
  EXPECT_EQ(reg->reg_getvalue(kHKCU, kKey, "s"), Value(""));

  EXPECT_TRUE(reg->reg_deletevalue(kHKCU, kKey, "never there"));
  EXPECT_TRUE(reg->reg_deletevalue(kHKCU, kKey, "n"));
  EXPECT_FALSE(reg->reg_valueexists(kHKCU, kKey, "n", false, 4));
  EXPECT_FALSE(reg->reg_deletevalue(kHKCU, "SOFTWARE\\Missing", "n"));
  EXPECT_EQ(last_code(), code(RegError::KeyNotFound));
}

TEST_F(ModRegistryTest, FailedWritesAreRecordedAndChangeNothing) {
  ASSERT_TRUE(reg->reg_writevalue(kHKCU, kKey, "v", Value("before"), true));
  std::string before = read_file(user_file());
  reg->fail_next_write(EACCES);
  EXPECT_FALSE(reg->reg_writevalue(kHKCU, kKey, "v", Value("after"), true));
  EXPECT_EQ(last_code(), code(RegError::CannotUpdateValue));
  EXPECT_EQ(reg->last_error().system_error_code, 5);
  EXPECT_EQ(reg->last_error().system_error_text, "Access is denied.");
  EXPECT_EQ(read_file(user_file()), before);
  EXPECT_EQ(reg->reg_getvalue(kHKCU, kKey, "v"), Value("before"));
  EXPECT_EQ(last_code(), 0);  // every operation starts afresh

  // A machine folder that cannot exist: reads find nothing, writes fail.
  write_file(m_root / "machine", "a file where the folder should be");
  EXPECT_FALSE(reg->reg_keyexists(HKEY_LOCAL_MACHINE, kKey, false));
  EXPECT_FALSE(reg->reg_writevalue(HKEY_LOCAL_MACHINE, kKey, "v", Value(1), true));
  EXPECT_NE(last_code(), 0);
  EXPECT_FALSE(reg->last_error().system_error_text.empty());
}

TEST(RegTexts, ErrorAndSystemTexts) {
  EXPECT_EQ(modRegistry::reg_errortext(0), "");
  EXPECT_EQ(modRegistry::reg_errortext(code(RegError::InvalidBaseKey)), "Invalid Base Key Value.");
  EXPECT_EQ(modRegistry::reg_errortext(code(RegError::CannotDeleteValue)),
            "Unable To Delete Value.");
  EXPECT_EQ(modRegistry::reg_errortext(code(RegError::ValueNotFound)), "Value Not Found.");
  EXPECT_EQ(modRegistry::reg_errortext(5), "Undefined Error.");
  EXPECT_EQ(modRegistry::reg_errortext(static_cast<std::int32_t>(0x80040010u)), "Undefined Error.");
  EXPECT_EQ(modRegistry::reg_errortext(static_cast<std::int32_t>(0x80040000u)), "Undefined Error.");

  EXPECT_EQ(modRegistry::reg_stripnull(std::string("ab\0cd\0e", 7), false), "ab");
  EXPECT_EQ(modRegistry::reg_stripnull(std::string("ab\0cd\0e", 7), true),
            std::string("ab\0cd", 5));
  EXPECT_EQ(modRegistry::reg_stripnull("plain", false), "plain");

  EXPECT_EQ(GetSystemErrorMessageText(2), "The system cannot find the file specified.");
  EXPECT_EQ(GetSystemErrorMessageText(ETIMEDOUT), std::strerror(ETIMEDOUT));
  std::vector<std::string> shown;
  EXPECT_EQ(GetSystemErrorMessageText(99999, [&](std::string_view m) { shown.emplace_back(m); }),
            "");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0],
            "An error occurred with the FormatMessage API function call.\nError: 317 Hex(13D).");
}

}  // namespace
}  // namespace quillo::addin
