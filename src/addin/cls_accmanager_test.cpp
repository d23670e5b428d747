#include "addin/cls_accmanager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "addin/modRegistry.h"
#include "support/registry_store_folder.h"

namespace quillo::addin {
namespace {

class ConfigTest : public testing_support::StoreDirTest {
 protected:
  void SetUp() override {
    StoreDirTest::SetUp();
    reg = std::make_unique<modRegistry>(location(), sink());
    store = std::make_unique<cls_accmanager>(*reg);
  }
  Configuration loaded() {
    Configuration c;
    c.proxy_server = "left over";  // load must not keep anything of before
    config_load(*store, c);
    return c;
  }
  std::unique_ptr<modRegistry> reg;
  std::unique_ptr<cls_accmanager> store;
};

TEST_F(ConfigTest, AFreshUserGetsTheDefaults) {
  Configuration c = loaded();
  EXPECT_EQ(c.trading_updatemode, 1);
  EXPECT_EQ(c.trading_updatefrq, 1);
  EXPECT_EQ(c.connectionerrorhandling, 1);
  EXPECT_EQ(c.parseerrorhandling, 1);
  EXPECT_EQ(c.useproxy, 0);
  EXPECT_EQ(c.proxy_server, "");
  EXPECT_EQ(c.connection_timeout, 60);
  EXPECT_EQ(c.receive_timeout, 30);
  EXPECT_EQ(c.history_service, kDefaultHistoryService);
  EXPECT_FALSE(std::filesystem::exists(user_file()));  // loading writes nothing
  EXPECT_TRUE(warnings.empty());
}

TEST_F(ConfigTest, SavedSettingsComeBackWithTheirStoredTypes) {
  Configuration c;
  c.trading_updatemode = 2;
  c.trading_updatefrq = 15;
  c.parseerrorhandling = 2;
  c.useproxy = 1;
  c.proxy_server = "proxy.example:8080";
  c.proxy_user = "me";
  c.proxy_password = "p\"a\\ss word";
  c.connection_timeout = 5;
  c.history_service = "http://127.0.0.1:8080";
  c.send_on_completion = 1;
  config_save(*store, c);
  EXPECT_EQ(loaded(), c);
  EXPECT_EQ(reg->reg_valuetype(HKEY_CURRENT_USER, kConfigKeyPath, "trading_updatefrq"), 4);
  EXPECT_EQ(reg->reg_valuetype(HKEY_CURRENT_USER, kConfigKeyPath, "proxy_user"), 1);
  // The file holds the proxy password: its owner's eyes only.
  struct stat st {};
  ASSERT_EQ(::stat(user_file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ConfigTest, UnusableStoredValuesFallBackToDefaults) {
  reg->reg_writevalue(HKEY_CURRENT_USER, kConfigKeyPath, "trading_updatemode", Value(70000), true);
  reg->reg_writevalue(HKEY_CURRENT_USER, kConfigKeyPath, "trading_updatefrq", Value("30"), true);
  reg->reg_writevalue(HKEY_CURRENT_USER, kConfigKeyPath, "receive_timeout", Value("soon"), true);
  reg->reg_writevalue(HKEY_CURRENT_USER, kConfigKeyPath, "history_service", Value("ftp://x/y"),
                      true);
  reg->reg_writevalue(HKEY_CURRENT_USER, kConfigKeyPath, "product_site", Value("http://x/a b"),
                      true);
  Configuration c = loaded();
  EXPECT_EQ(c.product_site, kDefaultProductSite);
  EXPECT_EQ(c.trading_updatemode, 1);  // does not fit 16 bits
  EXPECT_EQ(c.trading_updatefrq, 30);  // numeric text is a number
  EXPECT_EQ(c.receive_timeout, 30);
  EXPECT_EQ(c.history_service, kDefaultHistoryService);
  // Saving turns the stored text into a number.
  config_save(*store, c);
  EXPECT_EQ(reg->reg_valuetype(HKEY_CURRENT_USER, kConfigKeyPath, "trading_updatefrq"), 4);
}

TEST_F(ConfigTest, StoredValuesTheDialogWouldRefuseTakeTheirDefaultsWithOneWarningEach) {
  auto put = [&](const char* name, const Value& v) {
    ASSERT_TRUE(reg->reg_writevalue(HKEY_CURRENT_USER, kConfigKeyPath, name, v, true)) << name;
  };
  put("receive_timeout", Value(-1));
  put("trading_updatemode", Value(7));
  put("trading_updatefrq", Value(7));
  put("connectionerrorhandling", Value(2));  // fine
  put("proxy_user", Value(std::string(kMaxSettingText + 1, 'u')));
  warnings.clear();
  Configuration c = loaded();
  EXPECT_EQ(c.receive_timeout, 30);
  EXPECT_EQ(c.trading_updatemode, 1);
  EXPECT_EQ(c.trading_updatefrq, 1);
  EXPECT_EQ(c.connectionerrorhandling, 2);
  EXPECT_EQ(c.proxy_user, "");
  ASSERT_EQ(warnings.size(), 4u);
  EXPECT_NE(warnings[0].find("trading_updatemode=7"), std::string::npos) << warnings[0];
  EXPECT_NE(warnings[3].find("receive_timeout=-1"), std::string::npos) << warnings[3];
  // A text of the longest length the store reads comes back whole.
  put("proxy_user", Value(std::string(kMaxSettingText, 'u')));
  EXPECT_EQ(loaded().proxy_user.size(), kMaxSettingText);
}

TEST_F(ConfigTest, SavingOneSettingKeepsWhatOthersSavedMeanwhile) {
  Configuration mine = loaded();
  Configuration theirs = loaded();
  theirs.receive_timeout = 45;
  config_save_one(*store, theirs, "receive_timeout");
  mine.trading_updatefrq = 5;
  EXPECT_TRUE(config_save_one(*store, mine, "trading_updatefrq"));
  EXPECT_FALSE(config_save_one(*store, mine, "no_such_setting"));
  const Configuration both = loaded();
  EXPECT_EQ(both.receive_timeout, 45);
  EXPECT_EQ(both.trading_updatefrq, 5);
  EXPECT_EQ(config_text(both, "receive_timeout"), "45");
  EXPECT_TRUE(store->config_deletekey("receive_timeout"));
  EXPECT_EQ(loaded().receive_timeout, 30);
}

TEST_F(ConfigTest, ADamagedStoreGivesDefaultsAndAWarning) {
  write_file(user_file(), std::string("\x89PNG\r\n\x1a\n\0\0garbage", 17));
  Configuration c = loaded();
  EXPECT_EQ(c, Configuration{});
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("damaged"), std::string::npos);
  // The next save writes a good file and keeps the damaged one aside.
  c.receive_timeout = 9;
  config_save(*store, c);
  EXPECT_EQ(loaded().receive_timeout, 9);
  EXPECT_TRUE(std::filesystem::exists(user_file().string() + ".bad"));
}

TEST_F(ConfigTest, MachineWideValuesCountOnlyWhenAskedFor) {
  std::filesystem::create_directories(m_root / "machine");
  ASSERT_TRUE(
      reg->reg_writevalue(HKEY_LOCAL_MACHINE, kConfigKeyPath, "receive_timeout", Value(99), true));
  ASSERT_TRUE(reg->reg_writevalue(HKEY_LOCAL_MACHINE, kConfigKeyPath, kInstallPathName,
                                  Value("/opt/quillo/"), true));
  EXPECT_EQ(loaded().receive_timeout, 30);
  EXPECT_EQ(store->config_getkey(kInstallPathName, true, Value("")), Value("/opt/quillo/"));
  EXPECT_EQ(store->config_getkey(kInstallPathName, false, Value("none")), Value("none"));
  store->config_writekey(kInstallPathName, Value("/home/me/q/"));
  EXPECT_EQ(store->config_getkey(kInstallPathName, false, Value("")), Value("/home/me/q/"));
  EXPECT_EQ(store->config_getkey(kInstallPathName, true, Value("")), Value("/opt/quillo/"));
}

TEST(ServiceAddress, SchemeAndHostOnly) {
  for (const char* good : {"https://query1.example.com", "http://127.0.0.1:8080", "http://[::1]:99",
                           "http://localhost"}) {
    EXPECT_TRUE(valid_service_address(good)) << good;
  }
  for (const char* bad :
       {"", "query.example.com", "ftp://x", "http://", "http://x/path", "http://x:0",
        "http://x:70000", "http://a b", "http://u@x", "http://[::1"}) {
    EXPECT_FALSE(valid_service_address(bad)) << bad;
  }
}

TEST(SiteAddress, AServiceAddressWithAnOptionalPath) {
  for (const char* good :
       {"https://quillo.example.org", "http://127.0.0.1:8080/site/", "http://h/a/b.c/"}) {
    EXPECT_TRUE(valid_site_address(good)) << good;
  }
  for (const char* bad : {"", "site/", "ftp://h/", "http://h/a b", "http://h/?x=1", "http://h/#a",
                          "http://u@h/x", "http://h/a\\b"}) {
    EXPECT_FALSE(valid_site_address(bad)) << bad;
  }
}

}  // namespace
}  // namespace quillo::addin
