// quillo update-definitions and quillo models end to end: the real binary
// against the product site of the local market-data service. A newer
// definitions file replaces ds.xml; broken ones (cut off, an error page,
// 50 MB, a redirect loop, a redirect to another host) leave it byte for
// byte as it was; the model library is listed and a model saved.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli_workspace.h"
#include "parse/definitions.h"

namespace quillo {
namespace {

namespace fs = std::filesystem;

using testing_support::read_all;
using Outcome = testing_support::CliWorkspace::Run;

class SiteCliTest : public testing_support::CliWorkspace {
 protected:
  void SetUp() override {
    CliWorkspace::SetUp();
    if (HasFatalFailure()) return;
    old_definitions = read_all(root / "install" / "ds.xml");
    ASSERT_EQ(quillo("settings set installpath " + (root / "install").string() + "/").code, 0);
    site("site");
  }
  void site(const std::string& name) {
    ASSERT_EQ(quillo("settings set product_site " + market.base_url() + "/" + name + "/").code, 0);
  }

  std::string old_definitions;
};

TEST_F(SiteCliTest, ANewerVersionReplacesDsXmlOnceAndThenIsUpToDate) {
  const Outcome first = quillo("update-definitions");
  EXPECT_EQ(first.code, 0) << first.err;
  EXPECT_EQ(first.out, "updated from 2026.1.1 to 2026.2.1\n");
  Definitions installed;
  ASSERT_TRUE(installed.definitions_loadfile((root / "install" / "ds.xml").string()));
  EXPECT_EQ(installed.version(), "2026.2.1");
  const Outcome second = quillo("update-definitions");
  EXPECT_EQ(second.code, 0) << second.err;
  EXPECT_EQ(second.out, "up to date (version 2026.2.1)\n");
  // Nothing but the two files in the install folder: no temporary left.
  EXPECT_EQ(std::distance(fs::directory_iterator(root / "install"), fs::directory_iterator()), 2);
}

TEST_F(SiteCliTest, BrokenDownloadsLeaveDsXmlIntact) {
  const std::pair<const char*, const char*> cases[] = {
      {"broken-site", "not installed"},    {"html-site", "not a definitions file"},
      {"huge-site", "larger than 16 MB"},  {"loop-site", "redirects"},
      {"no-such-site", "HTTP status 404"}, {"away-site", "refused"},
  };
  for (const auto& [name, why] : cases) {
    site(name);
    const Outcome r = quillo("update-definitions");
    EXPECT_EQ(r.code, 1) << name;
    EXPECT_TRUE(r.out.empty()) << name << ": " << r.out;
    EXPECT_NE(r.err.find(why), std::string::npos) << name << ": " << r.err;
    EXPECT_NE(r.err.find("ds.xml is unchanged"), std::string::npos) << name << ": " << r.err;
    EXPECT_EQ(read_all(root / "install" / "ds.xml"), old_definitions) << name;
  }
  // A model redirected to another host is not opened either.
  site("away-site");
  const Outcome away = quillo("models open 'Portfolio tracker' -o " + (root / "p.xlsx").string());
  EXPECT_EQ(away.code, 1);
  EXPECT_NE(away.err.find("refused"), std::string::npos) << away.err;
  EXPECT_FALSE(fs::exists(root / "p.xlsx"));
  EXPECT_EQ(quillo("settings set product_site ftp://x/").code, 2);
  ASSERT_EQ(quillo("settings set product_site ''").code, 0);
  EXPECT_EQ(quillo("update-definitions").code, 2);
}

TEST_F(SiteCliTest, ModelsAreListedAsTheMenuShowsThemAndOneIsSaved) {
  const Outcome list = quillo("models");
  EXPECT_EQ(list.code, 0) << list.err;
  EXPECT_EQ(list.out,
            "Financial Templates\n"
            "  Valuation/\n"
            "    Discounted cash flow  (dcf.xlsx)\n"
            "    Dividend yield  (dividends.xlsx)\n"
            "  Empty/\n"
            "  Portfolio tracker  (portfolio.xlsx)\n"
            "  Missing model  (missing.xlsx)\n");
  // Listing the library does not update the definitions.
  EXPECT_EQ(read_all(root / "install" / "ds.xml"), old_definitions);

  const fs::path saved = root / "portfolio.xlsx";
  const Outcome open = quillo("models open 'Portfolio tracker' -o " + saved.string());
  EXPECT_EQ(open.code, 0) << open.err;
  const Outcome shown = quillo("show " + saved.string() + " A1:B2");
  EXPECT_EQ(shown.out, "Model!A1\t\tPortfolio tracker\nModel!A2\t\t100\nModel!B2\t=A2*2\t200\n");

  const Outcome missing = quillo("models open 'Missing model' -o " + (root / "m.xlsx").string());
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("unable to download the following model: missing.xlsx.\nPlease"),
            std::string::npos)
      << missing.err;
  EXPECT_EQ(quillo("models open Nope -o " + (root / "n.xlsx").string()).code, 2);
  EXPECT_FALSE(fs::exists(root / "m.xlsx"));
  EXPECT_FALSE(fs::exists(root / "n.xlsx"));
}

TEST_F(SiteCliTest, ALibraryOfAHundredModelsKeepsFortyAndNamesStayInTheLibrary) {
  site("big-site");
  const Outcome list = quillo("models");
  EXPECT_EQ(list.code, 0) << list.err;
  std::size_t models = 0;
  for (std::size_t at = list.out.find(".xlsx)"); at != std::string::npos;
       at = list.out.find(".xlsx)", at + 1)) {
    ++models;
  }
  EXPECT_EQ(models, 40u);
  EXPECT_EQ(list.out.find("Escape"), std::string::npos);
  EXPECT_NE(list.err.find("40 models beyond the first 40 are left out"), std::string::npos);
  EXPECT_NE(list.err.find("\"../x.xlsx\") is left out"), std::string::npos);
  EXPECT_EQ(quillo("models open 'Escape up' -o " + (root / "x.xlsx").string()).code, 2);
}

}  // namespace
}  // namespace quillo
