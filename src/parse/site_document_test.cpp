#include "parse/site_document.h"

#include <gtest/gtest.h>

namespace quillo {
namespace {

TEST(SiteDocument, ReadsTheAnnouncedDefinitionsAndTheLibraryInOrder) {
  const auto site = site_document_parse(R"(<?xml version="1.0"?>
<site>
  <definitions version="2026.2.1" path="defs/ds.xml"/>
  <library>
    <!-- a comment is no entry -->
    <folder caption="Valuation">
      <model name="dcf.xlsx">  Discounted cash flow </model>
      <folder caption="Deep"><model name="x.xlsx">X</model></folder>
    </folder>
    <entry name="p.xlsx"><![CDATA[P & L]]></entry>
  </library>
</site>)");
  ASSERT_TRUE(site);
  EXPECT_EQ(site->definitions_version, "2026.2.1");
  EXPECT_EQ(site->definitions_path, "defs/ds.xml");
  ASSERT_TRUE(site->has_library);
  ASSERT_EQ(site->library.size(), 2u);
  const LibraryElement& folder = site->library[0];
  EXPECT_EQ(folder.element, "folder");
  EXPECT_EQ(folder.caption, "Valuation");
  ASSERT_EQ(folder.children.size(), 2u);
  EXPECT_EQ(folder.children[0].text, "Discounted cash flow");
  EXPECT_EQ(folder.children[0].name, "dcf.xlsx");
  // Folders inside folders are kept as written, without their own children.
  EXPECT_EQ(folder.children[1].element, "folder");
  EXPECT_TRUE(folder.children[1].children.empty());
  EXPECT_EQ(site->library[1].element, "entry");
  EXPECT_EQ(site->library[1].text, "P & L");
}

TEST(SiteDocument, MissingPartsAnnounceNothing) {
  const auto site = site_document_parse("<site/>");
  ASSERT_TRUE(site);
  EXPECT_FALSE(site->definitions_version);
  EXPECT_FALSE(site->has_library);
}

TEST(SiteDocument, RefusesWhatIsNoSiteDocument) {
  std::string why;
  EXPECT_FALSE(site_document_parse("<html><body>Error</body></html>", &why));
  EXPECT_NE(why.find("<html>"), std::string::npos);
  EXPECT_FALSE(site_document_parse("<site><library>", &why));
  EXPECT_NE(why.find("not well-formed"), std::string::npos);
  EXPECT_FALSE(site_document_parse("", &why));
  std::string huge = "<site>" + std::string(kMaxSiteDocument, ' ') + "</site>";
  EXPECT_FALSE(site_document_parse(huge, &why));
  EXPECT_NE(why.find("larger"), std::string::npos);
}

}  // namespace
}  // namespace quillo
