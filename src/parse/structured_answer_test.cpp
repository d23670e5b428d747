#include "parse/structured_answer.h"

#include <gtest/gtest.h>

#include "parse/definitions_check.h"
#include "parse/table_extraction.h"

namespace quillo {
namespace {

// Definitions with a JSON and a CSV category of one source, in a form a
// user would write.
constexpr std::string_view kDefinitions = R"(<?xml version="1.0"?>
<definitions><version>1</version>
<datasource code="API" name="Quotes API" decimal=",">
  <max_requests_allowed>2</max_requests_allowed>
  <category code="JSQ" name="JSON quotes" answer="json">
    <url>http://h/quotes.json</url><updatefrq>1</updatefrq><invalidrequest>no such</invalidrequest>
    <parameter name="instrument id" urlkey="s" defaultvalue=""/>
    <parameter name="market" urlkey="m" defaultvalue="main"/>
    <parameter name="year" urlkey="" defaultvalue="1">
      <enumvalue displayname="Latest" value="1"/><enumvalue displayname="Previous" value="2"/>
    </parameter>
    <parameter name="units" urlkey="" defaultvalue="1"><enumvalue displayname="Thousands" value="1000"/></parameter>
    <field id="1" name="LAST" type="json" pointer="/quotes/[symbol=$instrument]/last" scaleable="1"/>
    <field id="2" name="NAME" type="json" pointer="/quotes/[symbol=$instrument]/name"/>
    <field id="3" name="SLASHED" type="json" pointer="/odd~1key/a~0b"/>
    <field id="4" name="FIRST" type="json" pointer="/quotes/0/last"/>
    <field id="5" name="TEXTFIG" type="json" pointer="/quotes/[symbol=$instrument]/cap" figureconvert="1"/>
    <field id="6" name="MARKET" type="json" pointer="/markets/[code=${market}]/open"/>
    <field id="7" name="YEARKEY" type="json" pointer="/years/[year=2024]/eps"/>
    <field id="8" name="MISSING" type="json" pointer="/quotes/[symbol=$instrument]/bid"/>
    <field id="9" name="OBJECT" type="json" pointer="/quotes/0" figureconvert="1"/>
    <field id="10" name="FLAG" type="json" pointer="/open" figureconvert="1"/>
    <field id="11" name="NULL" type="json" pointer="/none"/>
    <field id="12" name="REVENUE" type="json" pointer="/years" member="/revenue" colvalue="year"/>
    <field id="13" name="ROWS" type="json" pointer="/rows" member="/1" colvalue="year"/>
    <field id="14" name="STEP" type="json" pointer="/quotes/0/last" function="concat" fparam11=" USD"/>
  </category>
  <category code="CSQ" name="CSV quotes" answer="csv" separator=";">
    <url>http://h/quotes.csv</url><updatefrq>1</updatefrq><invalidrequest>no such</invalidrequest>
    <parameter name="instrument id" urlkey="s" defaultvalue=""/>
    <parameter name="year" urlkey="" defaultvalue="1">
      <enumvalue displayname="Latest" value="1"/><enumvalue displayname="Previous" value="2"/>
    </parameter>
    <field id="1" name="LAST" type="csv" column="Last" keycolumn="Symbol" key="$instrument" figureconvert="1"/>
    <field id="2" name="NAME" type="csv" column="name" keycolumn="symbol" key="$instrument"/>
    <field id="3" name="TOP" type="csv" column="Symbol"/>
    <field id="4" name="NOCOL" type="csv" column="Bid" keycolumn="Symbol" key="$instrument"/>
    <field id="5" name="HIST" type="csv" keycolumn="Symbol" key="$instrument" colvalue="year" figureconvert="1"/>
  </category>
</datasource></definitions>)";

class StructuredAnswerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(defs.load_text(kDefinitions)) << defs.error(); }

  // Parses the answer as the engine does for the address and reads each
  // named field with the options given.
  std::string parse(const std::string& category, std::string url, std::string answer) {
    requests.reset();
    datarequest request;
    request.url = std::move(url);
    request.source = "API";
    request.category = category;
    r = requests.add(std::move(request));
    return definition_parse(answer, requests, r, defs);
  }
  Value field(const std::string& category, const std::string& name,
              std::vector<Value> options = {}) {
    const Category* c = category_find(*defs.datasource_find("API"), category);
    options.insert(options.begin(), Value());
    const auto params = parameters_choose(*c, "abc", options);
    const auto v = request_value(requests.at(r), *field_find(*c, name), *params);
    return v ? *v : Value("request_value failed");
  }

  Definitions defs;
  RequestTable requests;
  std::int32_t r = 0;
};

constexpr std::string_view kQuotes = R"({
  "quotes": [{"symbol": "XYZ", "last": 1.5},
             {"symbol": "ABC", "last": 1234.5, "name": "Abc \"Corp\"", "cap": "1.234,5M"}],
  "odd/key": {"a~b": 7}, "open": true, "none": null,
  "markets": [{"code": "MAIN", "open": "09:00"}, {"code": "night", "open": "22:00"}],
  "years": [{"year": 2025, "eps": 2.5, "revenue": 900}, {"year": 2024, "eps": 2.25, "revenue": 800}],
  "rows": [["2025", "1.000,5"], ["2024", "2.000"]]
})";

TEST_F(StructuredAnswerTest, JsonPointersAndSelectionsReadTheirValues) {
  EXPECT_EQ(parse("JSQ", "http://h/quotes.json?s=abc&m=main", std::string(kQuotes)), "");
  // The selection matches the instrument of the address without regard to case.
  EXPECT_EQ(field("JSQ", "LAST"), Value(1234.5));
  EXPECT_EQ(field("JSQ", "LAST", {"units", "Thousands"}), Value(1.2345));
  EXPECT_EQ(field("JSQ", "NAME"), Value("Abc \"Corp\""));
  EXPECT_EQ(field("JSQ", "SLASHED"), Value(7.0));
  EXPECT_EQ(field("JSQ", "FIRST"), Value(1.5));
  // A text is a figure as on a page, with the source's decimal comma.
  EXPECT_EQ(field("JSQ", "TEXTFIG"), Value(1234500000.0));
  EXPECT_EQ(field("JSQ", "MARKET"), Value("09:00"));
  EXPECT_EQ(field("JSQ", "YEARKEY"), Value(2.25));
  EXPECT_EQ(field("JSQ", "STEP"), Value("1.5 USD"));
  // Rows read across: a member of each element, picked by the selector.
  EXPECT_EQ(field("JSQ", "REVENUE"), Value(900.0));
  EXPECT_EQ(field("JSQ", "REVENUE", {"year", "Previous"}), Value(800.0));
  EXPECT_EQ(field("JSQ", "ROWS", {"year", "Previous"}), Value("2.000"));
}

TEST_F(StructuredAnswerTest, JsonValuesThatAreMissingOrNoFigureGiveThePageFieldErrors) {
  EXPECT_EQ(parse("JSQ", "http://h/quotes.json?s=ABC&m=night", std::string(kQuotes)), "");
  EXPECT_EQ(field("JSQ", "MARKET"), Value("22:00"));
  EXPECT_EQ(field("JSQ", "MISSING"), Value("#N/A"));
  EXPECT_EQ(field("JSQ", "NULL"), Value("#N/A"));
  EXPECT_EQ(field("JSQ", "OBJECT"), Value(ErrorCode::Value));
  EXPECT_EQ(field("JSQ", "FLAG"), Value(ErrorCode::Value));
  // An instrument the answer does not list.
  EXPECT_EQ(parse("JSQ", "http://h/quotes.json?s=QQQ", std::string(kQuotes)), "");
  EXPECT_EQ(field("JSQ", "LAST"), Value("#N/A"));
  // A parameter that the address does not send is no key.
  EXPECT_EQ(field("JSQ", "MARKET"), Value("#N/A"));
}

TEST_F(StructuredAnswerTest, AnswersThatAreNoJsonAreRefusedWithAReason) {
  for (const std::string bad : {"<html>Service unavailable</html>", "{\"quotes\": [", "",
                                "{\"a\":1} trailing", "[\"\xFF\"]"}) {
    const std::string problem = parse("JSQ", "http://h/quotes.json?s=ABC", bad);
    EXPECT_TRUE(problem.starts_with("the answer is not JSON: ")) << bad << ": " << problem;
    EXPECT_EQ(field("JSQ", "LAST"), Value("#N/A")) << bad;
  }
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(parse("JSQ", "http://h/quotes.json?s=ABC", deep),
            "the JSON answer is nested deeper than 64 levels (at byte 65)");
  // Brackets inside texts do not count.
  EXPECT_EQ(json_depth_problem(R"(["[[[[\"[[[", "{{{"])", 2), "");
}

TEST_F(StructuredAnswerTest, CsvFieldsByHeaderAndKeyColumn) {
  const std::string csv =
      "\xEF\xBB\xBFSymbol;Name;Last;2025;2024\r\n"
      "XYZ;\"Xyz; Inc\";1,5;1;2\r\n"
      "ABC;\"Abc \"\"Corp\"\"\nLtd\";1.234,50;3.000;4.000,5\r\n"
      "SHORT;x\r\n";
  EXPECT_EQ(parse("CSQ", "http://h/quotes.csv?s=abc", csv), "");
  EXPECT_EQ(field("CSQ", "LAST"), Value(1234.5));
  EXPECT_EQ(field("CSQ", "NAME"), Value("Abc \"Corp\"\nLtd"));
  EXPECT_EQ(field("CSQ", "TOP"), Value("XYZ"));  // no key column: the first row
  EXPECT_EQ(field("CSQ", "NOCOL"), Value("#N/A"));
  // Read across from the column after the key column: Name, Last, 2025, 2024.
  EXPECT_EQ(field("CSQ", "HIST", {"year", "Previous"}), Value(1234.5));
  EXPECT_EQ(parse("CSQ", "http://h/quotes.csv?s=short", csv), "");
  EXPECT_EQ(field("CSQ", "LAST"), Value("#N/A"));  // the row is shorter than the header
  // A quote never closed swallowed the rest: the answer was cut off.
  EXPECT_EQ(parse("CSQ", "http://h/quotes.csv?s=abc", "Symbol;Last\nXYZ;\"1\nABC;2\n"),
            "the CSV answer is cut off: a quoted field is never closed");
  EXPECT_EQ(field("CSQ", "LAST"), Value("#N/A"));
  EXPECT_EQ(parse("CSQ", "http://h/quotes.csv?s=abc", ""), "the answer has no CSV header line");
  EXPECT_EQ(field("CSQ", "NAME"), Value("#N/A"));
}

TEST_F(StructuredAnswerTest, KeysThatAreTextsCompareAsTexts) {
  // Codes are texts: "1e2" is not 100 nor "005930" 5930. Only a JSON
  // number compares by value, with a key written as a JSON number.
  const std::string json = R"({"quotes": [{"symbol": "1e2", "last": 1}, {"symbol": "005930",
      "last": 2}, {"symbol": 100, "last": 3}, {"symbol": 7, "last": 4}]})";
  EXPECT_EQ(parse("JSQ", "http://h/quotes.json?s=100", json), "");
  EXPECT_EQ(field("JSQ", "LAST"), Value(3.0));
  EXPECT_EQ(parse("JSQ", "http://h/quotes.json?s=5930", json), "");
  EXPECT_EQ(field("JSQ", "LAST"), Value("#N/A"));
  EXPECT_EQ(parse("JSQ", "http://h/quotes.json?s=005930", json), "");
  EXPECT_EQ(field("JSQ", "LAST"), Value(2.0));
  EXPECT_EQ(parse("JSQ", "http://h/quotes.json?s=007", json), "");
  EXPECT_EQ(field("JSQ", "LAST"), Value("#N/A"));
  const std::string csv = "Symbol;Last\n1e2;1\n005930;2\n100;3\n";
  EXPECT_EQ(parse("CSQ", "http://h/quotes.csv?s=100", csv), "");
  EXPECT_EQ(field("CSQ", "LAST"), Value(3.0));
  EXPECT_EQ(parse("CSQ", "http://h/quotes.csv?s=5930", csv), "");
  EXPECT_EQ(field("CSQ", "LAST"), Value("#N/A"));
}

TEST(CsvRowsTest, QuotesSeparatorsAndLineEnds) {
  const auto rows = csv_rows("a,\"b,\"\"c\"\"\"\r\n,\n\"open", ',');
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"a", "b,\"c\""}));
  EXPECT_EQ(rows[1], (std::vector<std::string>{"", ""}));
  EXPECT_EQ(rows[2], (std::vector<std::string>{"open"}));  // an unclosed quote ends with the text
  EXPECT_TRUE(csv_rows("", ',').empty());
  // Empty lines below the header are no rows (a run of them costs nothing).
  EXPECT_EQ(csv_rows("h\r\n\r\n\n\nx\n\n", ',').size(), 2u);
}

TEST(StructuredDefinitionsTest, OldFilesReadUnchangedAndTheCheckKnowsTheNewKinds) {
  Definitions defs;
  ASSERT_TRUE(defs.load_text(kDefinitions));
  const DataSource& s = defs.datasources().front();
  EXPECT_EQ(s.categories[0].answer, "json");
  EXPECT_EQ(s.categories[1].separator, ";");
  EXPECT_EQ(s.categories[0].fields[0].pointer, "/quotes/[symbol=$instrument]/last");
  EXPECT_EQ(s.categories[1].fields[0].keycolumn, "Symbol");

  // The file above is clean; each mistake below is reported on its field.
  EXPECT_TRUE(check_definitions(kDefinitions, "ds.xml").findings.empty());
  std::string bad(kDefinitions);
  const auto swap = [&](std::string_view from, std::string_view to) {
    bad.replace(bad.find(from), from.size(), to);
  };
  swap(R"(pointer="/odd~1key/a~0b")", R"(pointer="odd~2")");
  swap(R"(pointer="/markets/[code=${market}]/open")", R"(pointer="/m/[code=${year}]")");
  swap(R"(column="name" keycolumn="symbol" key="$instrument")", R"(keycolumn="symbol")");
  swap(R"(name="TOP" type="csv")", R"(name="TOP" type="json")");
  const auto findings = check_definitions(bad, "ds.xml").findings;
  std::vector<std::string> messages;
  for (const auto& f : findings) messages.push_back(f.message);
  EXPECT_EQ(messages,
            (std::vector<std::string>{
                "field SLASHED: pointer \"odd~2\" is no JSON Pointer (it starts with \"/\"; "
                "\"~\" is written \"~0\", \"/\" \"~1\")",
                "field MARKET: key \"${year}\" names a parameter the address does not send: it "
                "matches nothing",
                "field NAME: no column: the field reads nothing",
                "field NAME: keycolumn without key: no row matches",
                "field TOP: type \"json\" in a category whose answer is csv: it stores no value",
            }));
}

}  // namespace
}  // namespace quillo
