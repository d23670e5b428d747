#include "parse/definitions.h"

#include <gtest/gtest.h>

namespace quillo {
namespace {

constexpr const char* kXml = R"(<?xml version="1.0"?>
<root>
  <version>7.1</version>
  <datasource code="SMP" name="Sample">
    <max_requests_allowed>4</max_requests_allowed>
    <search url="http://x/s?q=" noresults="none" tablenumber="2" namecolumn="1" symbolcolumn="2" exchangecolumn="3"/>
    <category code="KEY" name="Key figures">
      <url>http://x/k</url><updatefrq>15</updatefrq><invalidrequest>No data</invalidrequest>
      <parameter name="instrument id" urlkey="s" defaultvalue=""/>
      <parameter name="period" urlkey="p" defaultvalue="1">
        <enumvalue displayname="Latest" value="1"/><enumvalue displayname="Previous" value="2"/>
      </parameter>
      <parameter name="units" urlkey="" defaultvalue="1">
        <enumvalue displayname="Thousands" value="1000"/>
      </parameter>
      <field id="1" name="SALES   " type="tablecell" coltype="period" colvalue="period" scaleable="1"/>
      <field id="2" name="LAST" type="single"><ref1>A &amp; B</ref1><ref2> &lt;b&gt;</ref2><ref3>   </ref3></field>
    </category>
  </datasource>
</root>)";

class DefinitionsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(defs.load_text(kXml)) << defs.error(); }
  const Category& key() { return defs.datasource_find("SMP")->categories.at(0); }
  Definitions defs;
};

TEST_F(DefinitionsTest, LookupsIgnoreCaseAndTrailingBlanksOfNames) {
  EXPECT_EQ(defs.version(), "7.1");
  const DataSource* s = defs.datasource_find("smp");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->max_requests_value(), 4);
  EXPECT_EQ(s->search->exchangecolumn, "3");
  const Category* c = category_find(*s, "key");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->updatefrq_value(), 15);
  EXPECT_NE(field_find(*c, "sales"), nullptr);
  EXPECT_EQ(field_find(*c, "SALE"), nullptr);
  EXPECT_EQ(defs.datasource_find("XXX"), nullptr);
}

TEST_F(DefinitionsTest, TextsKeepTheirBlanksAndDecodeEntities) {
  const FieldDef* f = field_find(key(), "last");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(*f->ref1, "A & B");
  EXPECT_EQ(*f->ref2, " <b>");
  EXPECT_EQ(*f->ref3, "   ");  // a text of blanks only is kept too
}

TEST_F(DefinitionsTest, InvalidRequestMarkerIgnoresCase) {
  datarequest r;
  r.source = "SMP";
  r.category = "KEY";
  EXPECT_FALSE(defs.response_isvalid(r, "<p>NO DATA here</p>"));
  EXPECT_TRUE(defs.response_isvalid(r, "<p>data</p>"));
}

TEST_F(DefinitionsTest, ParameterChoiceFollowsOptionsEnumerationsAndDefaults) {
  // Option names ignore case; an option value without a display name keeps
  // the default; the last matching occurrence wins.
  const std::vector<Value> options{Value(),    "PERIOD", "previous", "units",
                                   "Millions", "period", "bogus"};
  const auto p = parameters_choose(key(), "IBM", options);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->values, (std::vector<std::string>{"IBM", "2", "1"}));
  EXPECT_EQ(p->units, 1);
  // A choice spelled like its parameter's name is a value, not a name.
  const std::vector<Value> same_word{Value(), "units", "Units"};
  const auto units = parameters_choose(key(), "IBM", same_word);
  ASSERT_TRUE(units);
  EXPECT_EQ(units->values, (std::vector<std::string>{"IBM", "1", "1"}));
  const std::vector<Value> dangling{Value(), "period"};
  std::string reason;
  EXPECT_FALSE(parameters_choose(key(), "IBM", dangling, &reason));
  EXPECT_NE(reason.find("period"), std::string::npos);
}

TEST_F(DefinitionsTest, RequestValueSelectsSlotAndScales) {
  datarequest r;
  r.parsed.push_back({1, {"10", 2000.0, "#N/A", "", "", "", "", ""}});
  const FieldDef& sales = *field_find(key(), "SALES");
  const std::vector<Value> opts{Value(), "period", "Previous", "units", "Thousands"};
  const auto p = *parameters_choose(key(), "IBM", opts);
  EXPECT_EQ(request_value(r, sales, p), Value(2.0));
  ParameterChoice latest = p;
  latest.values[1] = "1";
  EXPECT_EQ(request_value(r, sales, latest), Value(0.01));  // numeric text scales too
  latest.values[1] = "3";
  EXPECT_EQ(request_value(r, sales, latest), Value("#N/A"));  // "#N/A" is not scaled
  latest.values[1] = "9";
  EXPECT_FALSE(request_value(r, sales, latest));  // selector outside 1..8 fails the call
  datarequest empty;
  EXPECT_EQ(request_value(empty, sales, p), Value("#N/A"));
  // A field made by hand, without the plan made at load, is read from its
  // texts alike.
  FieldDef by_hand = sales;
  by_hand.plan = FieldPlan{};
  EXPECT_EQ(request_value(r, by_hand, p), Value(2.0));
  by_hand.scaleable = "0";
  EXPECT_EQ(request_value(r, by_hand, p), Value(2000.0));
  by_hand.coltype = "Fixednumeric";  // the first slot, whatever the selector
  EXPECT_EQ(request_value(r, by_hand, p), Value("10"));
  by_hand.plan = plan_field(by_hand);
  EXPECT_EQ(request_value(r, by_hand, p), Value("10"));
}

TEST(DefinitionsLoadTest, RefusesDocumentsThatAreNotWellFormed) {
  const char* bad[] = {
      "<a/><b/>",          // two root elements
      "<a>&bogus;</a>",    // undefined entity
      "<a x='1' x='2'/>",  // duplicate attribute
      "<a b='<'/>",        // markup in an attribute value
      "<a>x</b>",          // mismatched tags (pugixml's own check)
      "<a/>trailing",      // text after the root
      "<a>&#0;</a>",       // reference to no character
      "",                  // nothing
  };
  for (const char* xml : bad) {
    Definitions d;
    d.load_text("<root><datasource code='OLD'/></root>");
    EXPECT_FALSE(d.load_text(xml)) << xml;
    EXPECT_TRUE(d.error().starts_with("Error during load of xml")) << d.error();
    EXPECT_GT(d.error().size(), std::string("Error during load of xml").size());
    EXPECT_TRUE(d.datasources().empty()) << xml;  // nothing of the earlier load is kept
  }
  Definitions d;
  EXPECT_FALSE(d.definitions_loadfile("/nonexistent/ds.xml"));
  EXPECT_NE(d.error().find("not found"), std::string::npos);
}

TEST(DefinitionsLoadTest, AcceptsCommentsCdataAndWindows1252AndRunsTheHook) {
  int hook_calls = 0;
  Definitions d;
  d.set_on_loaded([&](const Definitions&) { ++hook_calls; });
  ASSERT_TRUE(d.load_text(
      "<?xml version='1.0' encoding='windows-1252'?><!-- & < --><r><datasource code='A\x80' "
      "name='x'><![CDATA[ & < ]]></datasource></r>"))
      << d.error();
  EXPECT_EQ(d.datasources().at(0).code, "A\xE2\x82\xAC");  // the euro sign, now UTF-8
  EXPECT_EQ(hook_calls, 1);
  EXPECT_FALSE(d.load_text("<a>&bogus;</a>"));
  EXPECT_EQ(hook_calls, 1);
}

TEST(DefinitionsLoadTest, LoadErrorsNameFileLineColumnAndElement) {
  Definitions d;
  EXPECT_FALSE(
      d.load_text("<root>\n  <datasource code='A'>\n    <field></fieldx>\n</root>", "defs/ds.xml"));
  EXPECT_TRUE(d.error().starts_with("Error during load of xml: defs/ds.xml:3:")) << d.error();
  EXPECT_NE(d.error().find("(in element <field>)"), std::string::npos) << d.error();
  EXPECT_FALSE(d.load_text("<r>\n<a x='1' x='2'/></r>"));
  EXPECT_TRUE(d.error().starts_with("Error during load of xml: ds.xml:2:1: Duplicate"))
      << d.error();
}

TEST(DefinitionsLoadTest, BlanksBesideCommentsAndCdataAreKept) {
  Definitions d;
  ASSERT_TRUE(
      d.load_text("<r><datasource code='A'><category code='B'><field id='1' name='F' type='single'>"
                  "<ref1> <!-- c --></ref1><ref2> <![CDATA[<b>]]></ref2><ref3><!-- c --> </ref3>"
                  "</field></category></datasource></r>"))
      << d.error();
  const FieldDef& f = d.datasources().at(0).categories.at(0).fields.at(0);
  EXPECT_EQ(f.ref1, " ");
  EXPECT_EQ(f.ref2, " <b>");
  EXPECT_EQ(f.ref3, " ");
}

TEST(DefinitionsLoadTest, SeparatorsComeFromTheFieldElseItsSourceAndLimitsDefaultToOne) {
  Definitions d;
  ASSERT_TRUE(d.load_text(
      "<r><datasource code='A' decimal=','><category code='B'><field id='1' name='F'/>"
      "<field id='2' name='G' decimal='.' group=\"'\"/></category></datasource>"
      "<datasource code='C'><max_requests_allowed>\n  3\n</max_requests_allowed></datasource>"
      "<datasource code='D'><max_requests_allowed>many</max_requests_allowed></datasource></r>"))
      << d.error();
  const DataSource& a = d.datasources().at(0);
  EXPECT_EQ(a.categories[0].fields[0].figures.decimal, ",");
  EXPECT_EQ(a.categories[0].fields[0].figures.group, ".");
  EXPECT_EQ(a.categories[0].fields[1].figures.decimal, ".");
  EXPECT_EQ(a.categories[0].fields[1].figures.group, "'");
  EXPECT_EQ(a.max_requests_or_default(), 1);  // no element
  EXPECT_EQ(d.datasources().at(1).max_requests_or_default(), 3);
  EXPECT_EQ(d.datasources().at(2).max_requests_or_default(), 1);  // not a number
}

}  // namespace
}  // namespace quillo
