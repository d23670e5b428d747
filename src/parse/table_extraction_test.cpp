#include "parse/table_extraction.h"

#include <gtest/gtest.h>

#include <bit>
#include <iterator>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"
#include "parse/value_convert.h"

namespace quillo {
namespace {

TEST(TableCutTest, CountsTableOpeningsIgnoringCaseAndEndsAtTheClosingBracket) {
  const std::string page = "<p><table>1</table><TABLE id=2>two</TaBlE><table>3</table>";
  EXPECT_EQ(table_cut(page, 2, "", ""), "<TABLE id=2>two<");
  EXPECT_EQ(table_cut(page, 1, "", ""), "<table>1<");
  EXPECT_EQ(table_cut(page, 4, "", ""), "#N/A");
  EXPECT_EQ(table_cut("<table>unclosed", 1, "", ""), "#N/A");
  // Below 1 the markers delimit the table; the end is searched from the start.
  EXPECT_EQ(table_cut(page, 0, "id=2>", "</table"), "id=2>two<");
  EXPECT_EQ(table_cut(page, -1, "nowhere", "</table"), "#N/A");
  EXPECT_EQ(table_cut(page, 0, "", ""), "<");
}

TEST(EntitiesDecodeTest, DecodesReferencesAndKeepsMalformedOnes) {
  std::string t = "&#65;BC &#8364;&#x20AC; &#;&#12 &#xD800; a\r\nb\tc&nbsp;d &#38;#65;";
  EXPECT_EQ(entities_decode(t), "ABC €€ &#;&#12 &#xD800; abc d &#65;");
  std::string lone = "&#";
  EXPECT_EQ(entities_decode(lone), "&#");
}

// The decoding runs as three passes in this order would: references, then
// line breaks and tabs out, then "&nbsp;" in what is left.
TEST(EntitiesDecodeTest, ReferencesFirstThenBreaksThenBlanks) {
  std::string t = "a&#10;b&#9;c x&\r\nnbsp;y &#38;nbsp; &nbsp;nbsp; &&#35;65; &#x10FFFF;&#1;";
  EXPECT_EQ(entities_decode(t), "abc x y    nbsp; &#65; \xF4\x8F\xBF\xBF\xEF\xBF\xBD");
  std::string plain = "no references\there";
  EXPECT_EQ(entities_decode(plain), "no referenceshere");
  std::string trailing = "x&#65;&";
  EXPECT_EQ(entities_decode(trailing), "xA&");
}

// On texts of any length, with breaks, tabs and ";" at every place of a
// block of sixteen bytes, and "&nbsp;" whole, cut by a break or at either
// end: the same as removing the breaks and tabs, then replacing "&nbsp;".
TEST(EntitiesDecodeTest, LongTextsWithBreaksAnywhere) {
  const std::string pieces[] = {"\n",         "\r\n",     "\t",       ";",   "&nbsp;",
                                "&nb\r\nsp;", "&nbsp\n;", "&&nbsp;;", "abc", "<td>1,234.5</td>",
                                "  "};
  std::uint32_t seed = 7;
  for (int round = 0; round < 400; ++round) {
    std::string page;
    const int parts = round % 40;
    for (int k = 0; k < parts; ++k) {
      seed = seed * 1103515245u + 12345u;
      const std::string& piece = pieces[(seed >> 16) % std::size(pieces)];
      page += piece;
      page.append((seed >> 8) % 19, static_cast<char>('a' + k % 26));
    }
    std::string want = page;
    text::remove_chars(want, "\n\r\t");
    text::replace_all(want, "&nbsp;", " ");
    std::string got = page;
    EXPECT_EQ(entities_decode(got), want) << page;
  }
}

TEST(ParseTableTest, RowsAndCellsIgnoreTagCase) {
  cls_parsetable t;
  t.set_table("<table><TR><td>a</td><TH>b</TH></tr><tr><td>c</td></TR><tr>unclosed");
  t.do_parse(false);
  EXPECT_EQ(t.get_rownum(), 2);
  EXPECT_EQ(t.getcell(1, 2), Value("b"));
  EXPECT_EQ(t.getcell(2, 1), Value("c"));
  EXPECT_EQ(t.getcell(2, 31), Value("N/A"));
  EXPECT_EQ(t.getcell(3, 1), Value("N/A"));
  t.do_parse(true);  // the table text was consumed by the first parse
  EXPECT_EQ(t.get_rownum(), 0);
}

TEST(ParseTableTest, CellsReadAsTheRowSplitCutsThem) {
  // A view of a longer text: the cells are read from it where they stand.
  const std::string page =
      "<table><tr><td>a</td><td>  </td><td>b\nc</td></tr>"
      "<tr><TD>1</td><td>2</TD></tr></table>";
  cls_parsetable t;
  t.set_table_view(std::string_view(page).substr(7));
  t.do_parse(true);
  ASSERT_EQ(t.get_rownum(), 2);
  EXPECT_EQ(t.getcell(1, 1), Value("<td>a</td>"));
  EXPECT_EQ(t.cell_text(1, 3), "<td>bc</td>");  // line breaks removed
  EXPECT_EQ(t.getcell(2, 2), Value("<td>2</TD>"));
  // A cell the row has not is empty; a cell of blanks is an empty text.
  EXPECT_EQ(t.getcell(2, 3), Value());
  EXPECT_EQ(t.getcell(1, 0), Value());
  t.do_parse(false);
  EXPECT_EQ(t.get_rownum(), 0);
  t.set_table_view(page);
  t.do_parse(false);
  EXPECT_EQ(t.getcell(1, 2), Value(""));
  EXPECT_EQ(t.getcell(1, 3), Value("bc"));
  EXPECT_EQ(t.cell_text(2, 1), "1");
  EXPECT_EQ(t.cell_text(3, 1), "N/A");

  // Past 30 cells the 30th holds the row's last element.
  std::string wide = "<tr>";
  for (int i = 1; i <= 33; ++i) wide += "<td>" + std::to_string(i) + "</td>";
  t.set_table(wide + "</tr>");
  t.do_parse(false);
  EXPECT_EQ(t.getcell(1, 29), Value("29"));
  EXPECT_EQ(t.getcell(1, 30), Value("33"));
  t.create_narow();
  EXPECT_EQ(t.getcell(2, 30), Value("#N/A"));
  EXPECT_EQ(t.cell_text(2, 1), "#N/A");
}

// Rows are cut as a search for "<TR" and then "</TR>" would cut them, and
// cells within their row only: an element still open at its row's end is
// no cell, "<trx" opens a row as "<tr" does, a row never closed is not
// read, and a text that stops inside a tag is read to its end and no further.
TEST(ParseTableTest, RowsEndAtTheirCloseTag) {
  cls_parsetable t;
  t.set_table(
      "<tr><td>a</tr><td>b</td></tr>"
      "<TR><th>x</th><td>y</TD></TR>"
      "<trx><td>z</td></trx></tr>"
      "<tr><td>q</td>");
  t.do_parse(true);
  ASSERT_EQ(t.get_rownum(), 3);
  EXPECT_EQ(t.getcell(1, 1), Value());
  EXPECT_EQ(t.getcell(2, 1), Value("<th>x</th>"));
  EXPECT_EQ(t.getcell(2, 2), Value("<td>y</TD>"));
  EXPECT_EQ(t.getcell(3, 1), Value("<td>z</td>"));
  EXPECT_EQ(t.getcell(3, 2), Value());
  t.do_parse(true);  // only the unclosed row was left
  EXPECT_EQ(t.get_rownum(), 0);
  for (const char* cut :
       {"<tr><td>1</td><t", "<tr><td", "<tr><td>1</td", "<tr><td>1</td></tr", "<"}) {
    t.set_table(cut);
    t.do_parse(true);
    EXPECT_EQ(t.get_rownum(), 0) << cut;
  }
  t.set_table("<tr><td>1</tr>");
  t.do_parse(false);
  ASSERT_EQ(t.get_rownum(), 1);
  EXPECT_EQ(t.getcell(1, 1), Value());
}

FieldDef table_field(std::string coltype, std::string colvalue) {
  FieldDef f;
  f.type = "tablecell";
  f.coltype = std::move(coltype);
  f.colvalue = std::move(colvalue);
  f.rowtype = "Fixednumeric";
  f.rowvalue = "1";
  return f;
}

TEST(TableFieldTest, HeaderColumnIsSkippedAndOffsetsShiftColumns) {
  cls_parsetable t;
  t.set_table(
      "<tr><td>h</td><td>1</td><td>2</td><td>3</td><td>4</td><td>5</td><td>6</td>"
      "<td>7</td><td>8</td></tr>");
  t.do_parse(false);
  FieldValues values;
  values[1] = "another field's";
  FieldDef across = table_field("x", "p");
  ASSERT_TRUE(tablefield_parse(across, values, t));
  EXPECT_EQ(values[1], Value("#N/A"));  // column 1 is the header column
  EXPECT_EQ(values[2], Value("1"));
  EXPECT_EQ(values[7], Value("6"));
  across.coloffset = "1";
  ASSERT_TRUE(tablefield_parse(across, values, t));
  EXPECT_EQ(values[1], Value("1"));
  EXPECT_EQ(values[7], Value("7"));
  across.headercolumn = "3";  // now the label column lies inside the range read
  ASSERT_TRUE(tablefield_parse(across, values, t));
  EXPECT_EQ(values[2], Value("#N/A"));
  FieldDef fixed = table_field("Fixednumeric", "2");
  fixed.coloffset = "1";
  ASSERT_TRUE(tablefield_parse(fixed, values, t));
  EXPECT_EQ(values[1], Value("2"));
  fixed.rowtype = "Fixedstring";
  fixed.rowvalue = "absent";
  ASSERT_TRUE(tablefield_parse(fixed, values, t));
  EXPECT_EQ(values[3], Value("#N/A"));
}

TEST(ParseTableTest, LastRowContainingALabelIgnoresCaseAndLooksOnlyInItsColumn) {
  cls_parsetable t;
  std::string table;
  for (int i = 0; i < 40; ++i) {
    table += "<tr><td>Other line " + std::to_string(i) + "</td><td>Net Income</td></tr>";
  }
  table += "<tr><td>NET income (adj.)</td><td>x</td></tr><tr><td>net</td><td>y</td></tr>";
  table += "<tr><td>Total</td><td>a</td></tr><tr><td>\xC3\x89tat</td></tr>";
  t.set_table(table);
  t.do_parse(true);
  ASSERT_EQ(t.get_rownum(), 44);
  EXPECT_EQ(t.last_row_containing(1, "net income"), 41);
  EXPECT_EQ(t.last_row_containing(1, "Net"), 42);
  EXPECT_EQ(t.last_row_containing(2, "net income"), 40);  // another column
  EXPECT_EQ(t.last_row_containing(1, "line 2"), 30);      // "line 29" is the last
  EXPECT_EQ(t.last_row_containing(1, "T"), 44);           // a one-byte label
  EXPECT_EQ(t.last_row_containing(1, "\xC3\x89TAT"), 44);
  EXPECT_EQ(t.last_row_containing(1, "\xC3\xA9tat"), 44);  // letter case beyond ASCII too
  EXPECT_EQ(t.last_row_containing(1, "income  "), 0);
  EXPECT_EQ(t.last_row_containing(1, ""), 44);  // an empty label is in every cell
  EXPECT_EQ(t.last_row_containing(3, "a"), 0);  // no row has a third cell
  t.create_narow();
  EXPECT_EQ(t.last_row_containing(1, "#n/a"), 45);
}

// The answer of a label search is kept for the next search of the same
// label, and only as long as the table and the column stay the same.
TEST(ParseTableTest, RepeatedLabelSearchesAnswerForTheCurrentTable) {
  cls_parsetable t;
  t.set_table("<tr><td>Range</td><td>a</td></tr><tr><td>Open</td><td>Range</td></tr>");
  t.do_parse(true);
  EXPECT_EQ(t.last_row_containing(1, "range"), 1);
  EXPECT_EQ(t.last_row_containing(1, "range"), 1);
  EXPECT_EQ(t.last_row_containing(2, "range"), 2);
  EXPECT_EQ(t.last_row_containing(1, "range"), 1);
  EXPECT_EQ(t.last_row_containing(1, "rang"), 1);
  EXPECT_EQ(t.last_row_containing(1, "open"), 2);
  t.set_table("<tr><td>Open</td></tr><tr><td>Open</td></tr><tr><td>Range</td></tr>");
  t.do_parse(true);
  EXPECT_EQ(t.last_row_containing(1, "open"), 2);
  EXPECT_EQ(t.last_row_containing(1, "range"), 3);
  t.create_narow();
  EXPECT_EQ(t.last_row_containing(1, "range"), 3);
  EXPECT_EQ(t.last_row_containing(1, "#N/A"), 4);
  t.set_table("<tr><td>Range</td></tr>");
  t.do_parse(true, true);
  EXPECT_EQ(t.last_row_containing(1, "#N/A"), 0);
  EXPECT_EQ(t.last_row_containing(1, "range"), 1);
}

// A search given the label's prepared forms (as a loaded field has them)
// finds the row a plain search finds: duplicates (the last wins), letter
// case, bytes beyond ASCII and markup in the label. Forms made from
// another text of another length are not trusted.
TEST(ParseTableTest, PreparedLabelSearchFindsWhatAPlainSearchFinds) {
  const std::string table =
      "<tr><th>Item</th></tr><tr><td>Day's Range</td></tr><tr><td>DAY'S RANGE</td></tr>"
      "<tr><td>Div &amp; Yield</td></tr><tr><td>\xC3\x89tat <b>net</b></td></tr>"
      "<tr><td>day's range (adj.)</td></tr><tr><td>Yield</td></tr>"
      "<tr><td>\xCE\xA9 total</td></tr><tr><td>\xD0\xB8\xD1\x82\xD0\xBE\xD0\xB3\xD0\xBE</td></tr>";
  cls_parsetable t;
  t.set_table(table);
  t.do_parse(true);
  const char* const labels[] = {"day's range", "DAY'S RANGE", "Range (", "yield", "&amp; y",
                                "\xC3\xA9TAT", "<b>NET</b>", "td>y", "e", "", "no such", "range  ",
                                // Greek omega and Cyrillic "ITOGO" in the other case.
                                "\xCF\x89 TOTAL", "\xD0\x98\xD0\xA2\xD0\x9E\xD0\x93\xD0\x9E"};
  for (const char* label : labels) {
    const text::CiNeedle needle = text::ci_needle(label);
    const std::uint64_t bits = cls_parsetable::label_bits(label);
    // The last row a plain search of each cell finds it in.
    std::int32_t want = 0;
    for (std::int32_t row = 1; row <= t.get_rownum(); ++row) {
      if (text::find_ci(t.cell_text(row, 1), label) != 0) want = row;
    }
    EXPECT_EQ(t.last_row_containing(1, label, &needle, &bits), want) << label;
    EXPECT_EQ(t.last_row_containing(1, label), want) << label;
    // The bits of a cell hold those of every text it holds, in any case.
    if (want != 0) {
      const std::uint64_t cell = cls_parsetable::cell_bits(t.cell_text(want, 1));
      EXPECT_EQ(cell & bits, bits) << label;
    }
  }
  EXPECT_EQ(t.last_row_containing(1, "day's range"), 6);
  EXPECT_EQ(t.last_row_containing(1, "DAY'S RANGE", nullptr, nullptr), 6);
  EXPECT_EQ(t.last_row_containing(1, "yield"), 7);
  // Forms of "Open" given for "Yield": the label's own are made.
  const text::CiNeedle open = text::ci_needle("Open");
  const std::uint64_t open_bits = cls_parsetable::label_bits("Open");
  EXPECT_EQ(t.last_row_containing(1, "Yield", &open, &open_bits), 7);
}

TEST(TableFieldTest, FailedConversionShowsTheErrorValueNeverAnotherFieldsValue) {
  cls_parsetable t;
  t.set_table("<tr><td>h</td><td>abc</td><td>x</td></tr>");
  t.do_parse(false);
  FieldValues values;
  values.fill(Value("another field's"));
  FieldDef f = table_field("x", "p");
  f.coloffset = "1";
  f.function = "mid";
  f.fparam11 = "2";
  f.fparam12 = "-1";  // a negative length fails the conversion
  EXPECT_FALSE(tablefield_parse(f, values, t));
  for (std::size_t i = 1; i <= 7; ++i) EXPECT_EQ(values[i], Value(ErrorCode::Value)) << i;
  f.fparam12 = "1";
  ASSERT_TRUE(tablefield_parse(f, values, t));
  EXPECT_EQ(values[1], Value("b"));
  EXPECT_EQ(values[3], Value(""));  // an unfilled cell of an existing row is empty
}

// A cell converted from its text reads as the cell's value converted
// does, for every way a field strips markup and whatever the cell holds
// (an absent cell, a row past the table, blanks, a figure in tags).
TEST(TableFieldTest, CellTextConvertsAsTheCellsValue) {
  cls_parsetable t;
  t.set_table(
      "<tr><td> <b> 1,234.5 </b> </td><td>   </td><td>NM</td><td><i>a</i> <b>b</b></td></tr>"
      "<tr><td>(2.5%)</td><td><span>Xyz plc</span></td><td>1.2 - 3.4</td></tr>");
  t.do_parse(true);
  std::vector<FieldDef> fields;
  for (const char* parse : {"", "1", "2"}) {
    for (const char* figure : {"", "1"}) {
      for (const char* function : {"", "convert4"}) {
        FieldDef f = table_field("Fixednumeric", "1");
        f.parseasvalue = parse;
        f.figureconvert = figure;
        f.function = function;
        f.fparam11 = " - ";
        f.fparam12 = "2";
        fields.push_back(f);
      }
    }
  }
  for (const FieldDef& f : fields) {
    for (std::int64_t row = 0; row <= 3; ++row) {
      for (std::int64_t column = 0; column <= 5; ++column) {
        Value by_value = t.getcell(row, column);
        const bool ok = value_convert(f, by_value, &t);
        Value by_text(ErrorCode::Div0);
        ASSERT_EQ(html_value_convert(f, t.cell_text(row, column), by_text, &t), ok);
        if (ok) {
          EXPECT_EQ(by_text, by_value)
              << f.parseasvalue << f.figureconvert << f.function << " " << row << "," << column;
        }
      }
    }
  }
}

// The values of one array serve field after field: each field leaves in
// it only what it got, the error value where a conversion failed and the
// empty value past a fixed column.
TEST(TableFieldTest, ReusedValuesHoldOnlyTheLastFieldsResult) {
  cls_parsetable t;
  t.set_table("<tr><td>h</td><td>1</td><td>x</td><td>3</td></tr>");
  t.do_parse(false);
  FieldValues values;
  FieldDef across = table_field("across", "");
  across.figureconvert = "1";
  ASSERT_TRUE(tablefield_parse(across, values, t));
  EXPECT_EQ(values[2], Value(1.0));
  EXPECT_EQ(values[3], Value("x"));
  FieldDef fixed = table_field("Fixednumeric", "4");
  ASSERT_TRUE(tablefield_parse(fixed, values, t));
  EXPECT_EQ(values[0], Value(ErrorCode::Value));
  EXPECT_EQ(values[1], Value("3"));
  for (std::size_t i = 2; i <= 7; ++i) EXPECT_EQ(values[i], Value()) << i;
  FieldDef missing = table_field("Fixednumeric", "2");
  missing.rowtype = "Fixedstring";
  missing.rowvalue = "no such label";
  ASSERT_TRUE(tablefield_parse(missing, values, t));
  for (std::size_t i = 1; i <= 7; ++i) EXPECT_EQ(values[i], Value("#N/A")) << i;
  // A failing fixed column: the error value, then empty slots.
  FieldDef failing = fixed;
  failing.function = "left";
  failing.fparam11 = "-1";
  EXPECT_FALSE(tablefield_parse(failing, values, t));
  EXPECT_EQ(values[1], Value(ErrorCode::Value));
  for (std::size_t i = 2; i <= 7; ++i) EXPECT_EQ(values[i], Value()) << i;
  // Across a row, what came before the failing cell (the label column's
  // "#N/A") stays, and nothing of the field before.
  ASSERT_TRUE(tablefield_parse(across, values, t));
  FieldDef across_failing = across;
  across_failing.function = "mid";
  across_failing.fparam11 = "x";
  EXPECT_FALSE(tablefield_parse(across_failing, values, t));
  EXPECT_EQ(values[1], Value("#N/A"));
  for (std::size_t i = 2; i <= 7; ++i) EXPECT_EQ(values[i], Value(ErrorCode::Value)) << i;
  // A field whose numbers do not read gets the error value everywhere.
  FieldDef unreadable = table_field("Fixednumeric", "two");
  EXPECT_FALSE(tablefield_parse(unreadable, values, t));
  for (const Value& v : values) EXPECT_EQ(v, Value(ErrorCode::Value));
}

// The numbers and words of a field's texts are read once, when the
// definitions load: a loaded field reads a table as the same field made by
// hand (planned at each use) does, whatever its texts hold.
TEST(TableFieldTest, LoadedFieldsReadAsFieldsMadeByHand) {
  Definitions defs;
  ASSERT_TRUE(defs.load_text(R"(<r><datasource code="s"><category code="c">
      <field id="1" type="tablecell" rowtype="Fixedstring" rowvalue="B" coltype="Fixednumeric" colvalue="2" parseasvalue="2" figureconvert="1"/>
      <field id="2" type="tablecell" rowtype="Fixednumeric" rowvalue=" 2 " coltype="across" headercolumn="2" coloffset="" parseasvalue="1" function="convert2" fparam11="1"/>
      <field id="3" type="tablecell" rowtype="Fixednumeric" rowvalue="1" coltype="Fixednumeric" colvalue="x"/>
      <field id="4" type="tablecell" rowtype="Fixednumeric" rowvalue="1" coltype="Fixednumeric" colvalue="1" rowoffset="1.5" function="nosuch"/>
      <field id="x" type="tablecell" rowtype="Fixednumeric" rowvalue="1" coltype="Fixednumeric" colvalue="1" coloffset="1" headercolumn="" function="mid" fparam11="1" fparam12="2"/>
    </category></datasource></r>)"))
      << defs.error();
  cls_parsetable t;
  t.set_table(
      "<tr><td>A</td><td>1 "
      "(2)</td><td>x</td></tr><tr><td>B</td><td><b>2,5</b></td><td>y</td></tr>");
  t.do_parse(true);
  for (const FieldDef& loaded : defs.datasources().at(0).categories.at(0).fields) {
    ASSERT_TRUE(loaded.plan.resolved);
    FieldDef by_hand = loaded;
    by_hand.plan = FieldPlan{};
    FieldValues a, b;
    EXPECT_EQ(tablefield_parse(loaded, a, t), tablefield_parse(by_hand, b, t)) << loaded.id;
    EXPECT_EQ(a, b) << loaded.id;
  }
}

TEST(DefinitionParseTest, GroupsTablesAndKeepsPreviousRowsOnUnknownCategory) {
  Definitions defs;
  ASSERT_TRUE(defs.load_text(R"(<r><datasource code="S"><category code="C">
      <field id="1" name="A" type="other" tablenumber="1"/>
      <field id="2" name="B" type="tablecell" tablenumber="1" rowtype="Fixednumeric" rowvalue="1" coltype="Fixednumeric" colvalue="1"/>
      <field id="3" name="C" type="tablecell" tablenumber="" tablestarttag="[" tableendtag="]" rowtype="Fixednumeric" rowvalue="1" coltype="Fixednumeric" colvalue="1"/>
      <field id="4" name="D" type="single"><ref1></ref1><ref2>(</ref2><ref3>)</ref3></field>
      <field id="5" name="E" type="single"><ref2>(</ref2><ref3>)</ref3></field>
    </category></datasource></r>)"))
      << defs.error();
  RequestTable requests;
  datarequest req;
  req.source = "s";
  req.category = "c";
  const std::int32_t r = requests.add(req);
  std::string page = "(v) <table><tr><td>one</td></tr></table> [<tr><td>two</td></tr>]";
  definition_parse(page, requests, r, defs);
  const auto& rows = requests.at(r).parsed;
  ASSERT_EQ(rows.size(), 3u);  // the "other" field and the field without ref1 store nothing
  EXPECT_EQ(rows[0].id, 2);    // stored in the "other" field's turn
  EXPECT_EQ(rows[0].slots[0], Value("<td>one</td>"));
  EXPECT_EQ(rows[1].slots[0], Value("<td>two</td>"));
  EXPECT_EQ(rows[2].slots[0], Value("v"));

  requests.at(r).category = "ZZZ";
  std::string other = "(w)";
  definition_parse(other, requests, r, defs);
  EXPECT_EQ(requests.at(r).parsed.size(), 3u);
}

// A conversion that reads the current table (reu_pcheck) before the page's
// first table is parsed reads no table: not the one the last page parsed.
TEST(DefinitionParseTest, AFieldBeforeTheFirstTableReadsNoTableOfTheLastPage) {
  Definitions defs;
  ASSERT_TRUE(defs.load_text(R"(<r><datasource code="S"><category code="C">
      <field id="1" type="single" function="reu_pcheck" fparam11="x" fparam12="0" rowvalue="1"><ref1></ref1><ref2>(</ref2><ref3>)</ref3></field>
      <field id="2" type="tablecell" tablenumber="1" rowtype="Fixednumeric" rowvalue="1" coltype="Fixednumeric" colvalue="1"/>
      <field id="3" type="single" function="reu_pcheck" fparam11="x" fparam12="0" rowvalue="1"><ref1></ref1><ref2>[</ref2><ref3>]</ref3></field>
    </category></datasource></r>)"))
      << defs.error();
  RequestTable requests;
  datarequest req;
  req.source = "s";
  req.category = "c";
  const std::int32_t r = requests.add(req);
  std::string first = "(v) [u] <table><tr><td>x</td></tr></table>";
  definition_parse(first, requests, r, defs);
  ASSERT_EQ(requests.at(r).parsed.size(), 3u);
  EXPECT_EQ(requests.at(r).parsed[0].slots[0], Value("#N/A"));
  EXPECT_EQ(requests.at(r).parsed[1].slots[0], Value("<td>x</td>"));
  EXPECT_EQ(requests.at(r).parsed[2].slots[0], Value("u"));  // after the table: it holds x
  std::string second = "(w) [z] no table";
  definition_parse(second, requests, r, defs);
  ASSERT_EQ(requests.at(r).parsed.size(), 3u);
  EXPECT_EQ(requests.at(r).parsed[0].slots[0], Value("#N/A"));
  EXPECT_EQ(requests.at(r).parsed[2].slots[0], Value("#N/A"));
}

// The order of the fields (which are stored, from which table) is planned
// when the definitions load: an id is stored once, by its first field that
// stores anything; single fields that share a lead marker each find their
// own value; a reload plans the new fields.
TEST(DefinitionParseTest, LoadedPlanStoresEachIdOnceInFieldOrderAndFollowsReloads) {
  const auto load = [](Definitions& defs, std::string_view fields) {
    ASSERT_TRUE(defs.load_text(std::string(R"(<r><datasource code="S"><category code="C">)") +
                               std::string(fields) + "</category></datasource></r>"))
        << defs.error();
  };
  Definitions defs;
  load(defs, R"(
      <field id="6" type="single"><ref2>(</ref2><ref3>)</ref3></field>
      <field id="1" type="single"><ref1>Change:</ref1><ref2>[</ref2><ref3>]</ref3></field>
      <field id="2" type="single"><ref1>Change:</ref1><ref2>{</ref2><ref3>}</ref3></field>
      <field id="3" type="single"><ref1>Gone:</ref1><ref2>[</ref2><ref3>]</ref3></field>
      <field id="4" type="single"><ref1>Gone:</ref1><ref2>{</ref2><ref3>}</ref3></field>
      <field id="1" type="single"><ref1></ref1><ref2>(</ref2><ref3>)</ref3></field>
      <field id="7" type="tablecell" tablenumber="2" rowtype="Fixednumeric" rowvalue="1" coltype="Fixednumeric" colvalue="1"/>
      <field id="8" type="tablecell" tablenumber="1" rowtype="Fixednumeric" rowvalue="1" coltype="Fixednumeric" colvalue="1"/>
      <field id="6" type="single"><ref1></ref1><ref2>(</ref2><ref3>)</ref3></field>
      <field id="9" type="tablecell" tablenumber="02" rowtype="Fixednumeric" rowvalue="1" coltype="Fixednumeric" colvalue="2"/>
      <field id="7" type="tablecell" tablenumber="1" rowtype="Fixednumeric" rowvalue="1" coltype="Fixednumeric" colvalue="2"/>
      <field id="5" type="tablecell" tablenumber="2" rowtype="Fixednumeric" rowvalue="1" coltype="Fixednumeric" colvalue="2"/>)");
  RequestTable requests;
  datarequest req;
  req.source = "s";
  req.category = "c";
  const std::int32_t r = requests.add(req);
  const std::string page =
      "(p) Change: [a] {b} <table><tr><td>t1</td><td>u1</td></tr></table>"
      "<table><tr><td>t2</td><td>u2</td></tr></table>";
  const auto parsed = [&](const std::string& text) {
    std::string copy = text;
    definition_parse(copy, requests, r, defs);
    std::vector<std::pair<std::int32_t, Value>> got;
    for (std::size_t i = 0; i < requests.at(r).parsed.size(); ++i) {
      const ResultRow row = requests.at(r).parsed[i];
      got.emplace_back(row.id, row.slots[0]);
    }
    return got;
  };
  const std::vector<std::pair<std::int32_t, Value>> want{
      {1, Value("a")},
      {2, Value("b")},
      {3, Value("#N/A")},
      {4, Value("#N/A")},
      {7, Value("<td>t2</td>")},  // table 2, and with it the field of
                                  // number "2"
      {5, Value("<td>u2</td>")},  // ("02" is no "2": a table of its own)
      {8, Value("<td>t1</td>")},
      {7, Value("<td>u1</td>")},
      {6, Value("p")},
      {9, Value("<td>u2</td>")}};
  EXPECT_EQ(parsed(page), want);

  // Reloaded with other markers and tables, the parse follows the new file.
  load(defs, R"(
      <field id="2" type="single"><ref1>Change:</ref1><ref2>[</ref2><ref3>]</ref3></field>
      <field id="1" type="tablecell" tablenumber="1" rowtype="Fixednumeric" rowvalue="1" coltype="Fixednumeric" colvalue="2"/>)");
  EXPECT_EQ(parsed(page), (std::vector<std::pair<std::int32_t, Value>>{{2, Value("a")},
                                                                       {1, Value("<td>u1</td>")}}));
}

// The rows are kept packed: every kind of value comes back as it was
// stored, the filler after a row's last value (empty, or the empty text of
// a single field) included, and a lookup finds the first row of an id.
TEST(ResultRowsTest, RowsComeBackAsStored) {
  ResultRows rows;
  EXPECT_TRUE(rows.empty());
  const ResultRow single{3, {Value(12.5), "", "", "", "", "", "", ""}};
  const ResultRow across{
      7,
      {Value("Acme Corp"), Value(true), Value(std::int32_t{42}), Value(ErrorCode::NA),
       Value(Date{45000.25}), Value(Null{}), Value(), Value(std::string())}};
  const ResultRow table{
      9, {Value("x"), Value(), Value(), Value(), Value(), Value(), Value(), Value()}};
  Array block;
  block.rows = block.cols = 1;
  block.items.push_back(Value(1.0));
  const ResultRow with_array{11, {Value(block), "", "", "", "", "", "", ""}};
  for (const ResultRow* r : {&single, &across, &table, &with_array}) rows.push_back(*r);
  rows.push_back({3, {Value("later"), "", "", "", "", "", "", ""}});
  rows.shrink_to_fit();
  ASSERT_EQ(rows.size(), 5u);
  for (const ResultRow* r : {&single, &across, &table}) {
    const auto found = rows.find(r->id);
    ASSERT_TRUE(found) << r->id;
    EXPECT_EQ(found->slots, r->slots) << r->id;
    // One slot alone reads as the whole row's, the filler included.
    for (std::size_t i = 0; i < 8; ++i) {
      const auto slot = rows.find_slot(r->id, i);
      ASSERT_TRUE(slot) << r->id;
      EXPECT_EQ(*slot, r->slots[i]) << r->id << " slot " << i;
      EXPECT_EQ(slot->type(), r->slots[i].type()) << r->id << " slot " << i;
    }
  }
  EXPECT_FALSE(rows.find_slot(4, 0));
  EXPECT_EQ(rows.find(11)->slots[0].array().items.front(), Value(1.0));
  EXPECT_EQ(rows[4].slots[0], Value("later"));
  EXPECT_EQ(rows[1].id, 7);
  EXPECT_FALSE(rows.find(4));
  rows.clear();
  EXPECT_TRUE(rows.empty());
  EXPECT_FALSE(rows.find(3));

  // Ids and text lengths of every size, each found past the others.
  const std::vector<std::int32_t> ids = {0, 127, 128, 16383, 16384, 2147483647, -5};
  const std::vector<std::size_t> lengths = {0, 1, 127, 128, 20000};
  for (const std::int32_t id : ids) {
    for (std::size_t n = 0; n < lengths.size(); ++n) {
      rows.push_back({id,
                      {Value(std::string(lengths[n], static_cast<char>('a' + n))),
                       Value(static_cast<double>(n)), "", "", "", "", "", ""}});
    }
  }
  ASSERT_EQ(rows.size(), ids.size() * lengths.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const auto found = rows.find(ids[i]);
    ASSERT_TRUE(found) << ids[i];
    EXPECT_EQ(found->slots[0].text(), std::string(lengths[0], 'a'));
    const ResultRow last = rows[i * lengths.size() + lengths.size() - 1];
    EXPECT_EQ(last.id, ids[i]);
    EXPECT_EQ(last.slots[0].text().size(), 20000u);
    EXPECT_EQ(last.slots[1], Value(4.0));
    EXPECT_EQ(rows.find_slot(ids[i], 1), Value(0.0));
  }
}

// Rows written one after another and taken in at once read back as the
// same rows pushed one by one (the filler, the side list of arrays), a row
// pushed after them is found with the rest, and the writer starts afresh.
TEST(ResultRowsTest, WrittenRowsAreThoseOfPushBack) {
  Array block;
  block.rows = block.cols = 1;
  block.items.push_back(Value("inner"));
  std::vector<ResultRow> rows = {
      {3, {Value(12.5), "", "", "", "", "", "", ""}},
      {4, {Value(""), "", "", "", "", "", "", ""}},
      {7,
       {Value("Acme"), Value(true), Value(std::int32_t{42}), Value(ErrorCode::NA),
        Value(Date{45000.25}), Value(Null{}), Value(), Value()}},
      {11, {Value(block), "", "", "", "", "", "", ""}},
      {-5,
       {Value(std::string(300, 'x')), Value(-0.0), Value(1e300), Value(), Value(), Value(), Value(),
        Value()}}};
  for (int i = 0; i < 200; ++i) {  // more than the writer's first room
    rows.push_back({100 + i,
                    {Value(std::string(40, 'y')), Value(i * 0.25), Value(), Value(), Value(),
                     Value(), Value(), Value()}});
  }
  ResultRows pushed;
  ResultRowWriter writer;
  for (const ResultRow& row : rows) {
    pushed.push_back(row);
    writer.add(row.id, row.slots, row.slots.back().is_text());
  }
  ResultRows taken;
  taken.push_back({1, {Value("replaced"), "", "", "", "", "", "", ""}});
  taken.assign(writer);
  EXPECT_EQ(writer.size(), 0u);
  ASSERT_EQ(taken.size(), pushed.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const ResultRow a = taken[i];
    const ResultRow b = pushed[i];
    EXPECT_EQ(a.id, b.id) << i;
    EXPECT_EQ(a.slots, b.slots) << i;
    for (std::size_t k = 0; k < 8; ++k) EXPECT_EQ(a.slots[k].type(), b.slots[k].type()) << i;
  }
  EXPECT_FALSE(taken.find(1));
  EXPECT_EQ(taken.find(11)->slots[0].array().items.front(), Value("inner"));
  taken.push_back({12, {Value("after"), "", "", "", "", "", "", ""}});
  EXPECT_EQ(taken.find_slot(12, 0), Value("after"));
  EXPECT_EQ(taken.find_slot(-5, 2), Value(1e300));

  // Fewer slots than eight: the rest is the filler.
  const Value one("one");
  writer.add(20, {&one, 1}, true);
  taken.assign(writer);
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken.find_slot(20, 7), Value(""));
  writer.add(21, {&one, 1}, false);
  taken.assign(writer);
  EXPECT_EQ(taken.find_slot(21, 7), Value());
  EXPECT_FALSE(taken.find(20));
}

// Figures are kept as short decimals where that gives the same double back:
// every number comes back bit for bit, whatever its size, sign or places,
// and the ones that are not short decimals keep their eight bytes.
TEST(ResultRowsTest, NumbersComeBackBitForBit) {
  const std::vector<double> numbers = {0.0,
                                       -0.0,
                                       1.0,
                                       -1.0,
                                       123.45,
                                       -0.0725,
                                       0.1 + 0.2,
                                       1.0 / 3.0,
                                       1234567890123.0,
                                       9007199254740991.0,
                                       9007199254740993.0,
                                       -9007199254740992.0,
                                       1e300,
                                       5e-324,
                                       0.000001234,
                                       123456.789012345,
                                       std::numeric_limits<double>::infinity(),
                                       std::numeric_limits<double>::quiet_NaN()};
  ResultRows rows;
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    rows.push_back({static_cast<std::int32_t>(i),
                    {Value(numbers[i]), Value(numbers[i]), Value("after"), "", "", "", "", ""}});
  }
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    const auto row = rows.find(static_cast<std::int32_t>(i));
    ASSERT_TRUE(row) << i;
    for (std::size_t slot = 0; slot < 2; ++slot) {
      ASSERT_EQ(row->slots[slot].type(), ValueType::Double) << i;
      EXPECT_EQ(std::bit_cast<std::uint64_t>(row->slots[slot].number()),
                std::bit_cast<std::uint64_t>(numbers[i]))
          << i;
    }
    EXPECT_EQ(rows.find_slot(static_cast<std::int32_t>(i), 2), Value("after")) << i;
  }
}

// A record copied or moved keeps its own rows and URL: a copy is whole and
// independent of the original, a moved-from record is empty and takes new
// rows, and rows stored after a shrink or a clear are found with the rest.
TEST(ResultRowsTest, CopiesAndMovesKeepTheirOwnRows) {
  Array block;
  block.rows = block.cols = 1;
  block.items.push_back(Value("inner"));
  datarequest a;
  a.url = "http://127.0.0.1/quote?s=ABC&n=1";
  a.parsed.push_back({1, {Value(2.5), "", "", "", "", "", "", ""}});
  a.parsed.push_back({2, {Value(block), Value("x"), "", "", "", "", "", ""}});
  a.parsed.shrink_to_fit();
  a.parsed.push_back({3, {Value("after the shrink"), "", "", "", "", "", "", ""}});

  datarequest copy = a;
  a.parsed.clear();
  a.url = a.url.substr(7, 9);  // replaced by a piece of itself
  EXPECT_EQ(a.url, "127.0.0.1");
  EXPECT_TRUE(a.parsed.empty());
  EXPECT_FALSE(a.parsed.find(1));
  EXPECT_EQ(copy.url, "http://127.0.0.1/quote?s=ABC&n=1");
  ASSERT_EQ(copy.parsed.size(), 3u);
  EXPECT_EQ(copy.find_row(2)->slots[0].array().items.front(), Value("inner"));
  EXPECT_EQ(copy.parsed.find_slot(3, 0), Value("after the shrink"));

  a.parsed.push_back({4, {Value(4.0), "", "", "", "", "", "", ""}});
  copy = a;  // replaces the copy's rows and side list
  EXPECT_FALSE(copy.find_row(2));
  EXPECT_EQ(copy.parsed.find_slot(4, 0), Value(4.0));
  const datarequest& same = copy;
  copy = same;
  EXPECT_EQ(copy.parsed.size(), 1u);

  datarequest moved = std::move(copy);
  EXPECT_EQ(moved.url, "127.0.0.1");
  EXPECT_EQ(moved.parsed.find_slot(4, 0), Value(4.0));
  copy.parsed.push_back({5, {Value("again"), "", "", "", "", "", "", ""}});
  EXPECT_EQ(copy.parsed.size(), 1u);
  EXPECT_EQ(copy.parsed.find_slot(5, 0), Value("again"));
  copy.url = std::string();
  EXPECT_TRUE(copy.url.empty());
  EXPECT_EQ(copy.url, "");
}

}  // namespace
}  // namespace quillo
