#include "spreadsheet/formula.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "spreadsheet/address.h"

namespace quillo::spreadsheet {
namespace {

// Sheets 7 ("Data") and 8 ("My Sheet") exist; anything else is unknown.
SheetId resolve(std::string_view name) {
  if (name == "Data" || name == "data") return 7;
  if (name == "My Sheet") return 8;
  return 0;
}
std::string name_of(SheetId id) {
  return id == 7 ? "Data" : id == 8 ? "My Sheet" : "";
}

std::string round_trip(std::string_view text, Notation in, Notation out, std::int32_t row = 5,
                       std::int32_t col = 3) {
  auto f = parse_formula(text, in, row, col, resolve);
  if (!f.ok()) return "error: " + f.status().message();
  return write_formula(*f.value(), out, row, col, name_of);
}

std::string a1(std::string_view text) {
  return round_trip(text, Notation::A1, Notation::A1);
}

TEST(FormulaParser, WritesBackWhatItRead) {
  for (const char* text : {"=1+2*3",
                           "=(1+2)*3",
                           "=-2^2",
                           "=2^-1",
                           "=50%",
                           "=-A1%",
                           "=\"say \"\"hi\"\"\"&B2",
                           "=TRUE<>FALSE",
                           "=A1<=B1",
                           "=#N/A",
                           "=#DIV/0!",
                           "=SUM(A1:B2,$C$3,D$4:$E5)",
                           "=Data!A1+'My Sheet'!B2:C3",
                           "=SUM(A:A,2:3)",
                           "=IF(A1,,2)",
                           "=fsingle(\"IBM\",\"SMP.QUO.LAST\")",
                           "=fsingle(\"a\"\"b\",\"\")",
                           "=fsingle(\"IBM\"&\"\",\"X\"&A1)",
                           "=LEN(\"5\"%)",
                           "=fhistory(A1,{\"SORT\";\"ASC\"})",
                           "={1,2;3,4}",
                           "={-1.5,\"a\",TRUE,#N/A}",
                           "='/dir/tarnvale.xla'!fsingle(A1,B1)",
                           "='C:\\Program Files\\quillo\\tarnvale.xla'!fsingle(A1,B1)",
                           "=tarnvale.xla!wlink(\"x\")",
                           "=NOW()",
                           "=myname*2",
                           "=1E+21",
                           "=0.5"}) {
    EXPECT_EQ(a1(text), text) << text;
  }
}

TEST(FormulaParser, NormalisesSpacingCaseAndNumbers) {
  EXPECT_EQ(a1("= 1 +  2"), "=1+2");
  EXPECT_EQ(a1("=sum(a1:b2)"), "=SUM(A1:B2)");
  EXPECT_EQ(a1("=1.50"), "=1.5");
  EXPECT_EQ(a1("=.5"), "=0.5");
  EXPECT_EQ(a1("=true"), "=TRUE");
  EXPECT_EQ(a1("=#n/a"), "=#N/A");
  EXPECT_EQ(a1("1+1"), "=1+1");  // the leading "=" is optional for the parser
  EXPECT_EQ(a1("=B2:A1"), "=B2:A1");
  EXPECT_EQ(a1("=fsingle( \"IBM\" , \"X\" )"), "=fsingle(\"IBM\",\"X\")");
}

TEST(FormulaParser, R1C1AndA1DescribeTheSameReferences) {
  // In C5 (row 5, column 3).
  EXPECT_EQ(round_trip("=A1+$B$2+C$3+$D5", Notation::A1, Notation::R1C1),
            "=R[-4]C[-2]+R2C2+R3C+RC4");
  EXPECT_EQ(round_trip("=R[-4]C[-2]+R2C2+R3C+RC4", Notation::R1C1, Notation::A1),
            "=A1+$B$2+C$3+$D5");
  EXPECT_EQ(round_trip("=SUM(R1C1:R[1]C[1])", Notation::R1C1, Notation::A1), "=SUM($A$1:D6)");
  EXPECT_EQ(round_trip("=SUM(C1,C[1]:C[2],R2:R3)", Notation::R1C1, Notation::A1),
            "=SUM($A:$A,D:E,$2:$3)");
  EXPECT_EQ(round_trip("=SUM(A:A)", Notation::A1, Notation::R1C1), "=SUM(C[-2])");
  EXPECT_EQ(
      round_trip("=fhistory(R2C,\"Yahoo\",R3C,{\"SORT\",\"desc\"})", Notation::R1C1, Notation::A1),
      "=fhistory(C$2,\"Yahoo\",C$3,{\"SORT\",\"desc\"})");
  EXPECT_EQ(round_trip("=Data!R1C1", Notation::R1C1, Notation::R1C1), "=Data!R1C1");
  // Names that merely start like R1C1 references are names or functions.
  EXPECT_EQ(round_trip("=ROUND(Rate,2)", Notation::R1C1, Notation::R1C1), "=ROUND(Rate,2)");
}

TEST(FormulaParser, SheetsAreBoundByIdAndQuotedWhenNeeded) {
  EXPECT_EQ(a1("='Data'!A1"), "=Data!A1");
  EXPECT_EQ(a1("=data!A1"), "=Data!A1");        // bound: written with the sheet's own name
  EXPECT_EQ(a1("=Nowhere!A1"), "=Nowhere!A1");  // unknown sheets keep their name
  EXPECT_EQ(a1("='It''s'!A1"), "='It''s'!A1");
  auto f = parse_formula("=Data!A1+1", Notation::A1, 1, 1, resolve);
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(write_formula(*f.value(), Notation::A1, 1, 1, [](SheetId) { return std::string(); }),
            "=#REF!+1");  // the sheet was deleted
  EXPECT_TRUE(sheet_name_needs_quotes("My Sheet"));
  EXPECT_TRUE(sheet_name_needs_quotes("A1"));
  EXPECT_TRUE(sheet_name_needs_quotes("2010"));
  EXPECT_TRUE(sheet_name_needs_quotes("R1C1"));
  EXPECT_FALSE(sheet_name_needs_quotes("Data_2010"));
}

// Files keep what followed "#REF!" where a formula's sheet was deleted
// (#REF!A1, Data!#REF!); such a formula reads no cell and is #REF! there.
TEST(FormulaParser, ReferencesToDeletedSheetsReadNothing) {
  for (const char* text : {"=#REF!A1+1", "=SUM(#REF!$A$1:$B$2)", "=#REF!A:A", "=ROWS(#REF!1:2)",
                           "=#REF!Total", "=Data!#REF!", "=Data:Data!#REF!", "=#REF!#REF!"}) {
    auto f = parse_formula(text, Notation::A1, 1, 1, resolve);
    ASSERT_TRUE(f.ok()) << text << ": " << f.status().message();
    EXPECT_TRUE(f.value()->refs.empty()) << text;
    EXPECT_FALSE(f.value()->uses_names) << text;
    EXPECT_NE(write_formula(*f.value(), Notation::A1, 1, 1, name_of).find("#REF!"),
              std::string::npos);
  }
  EXPECT_EQ(a1("=#REF!A1+1"), "=#REF!+1");
  EXPECT_FALSE(parse_formula("=#REF!A1 A2(", Notation::A1, 1, 1, resolve).ok());
}

TEST(FormulaParser, BadInputGivesPositionedErrors) {
  struct Case {
    const char* text;
    const char* message;
  };
  for (const Case& c :
       {Case{"=", "ends too early"}, Case{"=1+", "ends too early"}, Case{"=(1+2", "missing \")\""},
        Case{"=1+2)", "unbalanced"}, Case{"=\"abc", "closing quote"},
        Case{"={1,2;3}", "differ in length"}, Case{"={A1}", "array"}, Case{"=SUM(1", "expected"},
        Case{"=A1:B", "invalid range"}, Case{"=#FOO!", "unknown error"},
        Case{"=1a", "invalid number"}, Case{"=@", "unexpected character"},
        Case{"='x'", "expected \"!\""}, Case{"=Sheet1!", "reference after"},
        Case{"=NOW(1)", "too many"}, Case{"=A$", "invalid name"},
        Case{"=LEN(\"x\" \"y\")", "expected"}, Case{"=LEN(\"x)", "closing quote"}}) {
    auto f = parse_formula(c.text, Notation::A1, 1, 1, resolve);
    ASSERT_FALSE(f.ok()) << c.text;
    EXPECT_NE(f.status().message().find(c.message), std::string::npos)
        << c.text << ": " << f.status().message();
    EXPECT_NE(f.status().message().find("position"), std::string::npos);
  }
  EXPECT_FALSE(parse_formula("=R[-5]C", Notation::R1C1, 2, 1, resolve).ok());  // above row 1
  // Beyond the last column or row these are names, not cells.
  EXPECT_EQ(a1("=XFE1+A1048577"), "=XFE1+A1048577");
}

TEST(FormulaParser, NestingAndLengthAreBounded) {
  const std::string deep = "=" + std::string(100000, '(') + "1" + std::string(100000, ')');
  EXPECT_FALSE(parse_formula(deep, Notation::A1, 1, 1, resolve).ok());
  std::string nested = "=" + std::string(400, '(') + "1" + std::string(400, ')');
  EXPECT_TRUE(parse_formula(nested, Notation::A1, 1, 1, resolve).ok());
  std::string minus = "=" + std::string(4000, '-') + "1";
  EXPECT_FALSE(parse_formula(minus, Notation::A1, 1, 1, resolve).ok());
  std::string chain = "=1";
  for (int i = 0; i < 300; ++i) chain += "+1";
  EXPECT_TRUE(parse_formula(chain, Notation::A1, 1, 1, resolve).ok());
  EXPECT_FALSE(
      parse_formula(std::string(kMaxFormulaLength + 1, '1'), Notation::A1, 1, 1, resolve).ok());
}

// A call's arguments are gathered before its node is made: the first few
// apart from the rest. Every count keeps them all, in order, nested calls
// and missing ones included.
TEST(FormulaParser, CallsKeepEveryArgumentInOrder) {
  for (const int count : {0, 1, 2, 5, 6, 7, 13, 40}) {
    std::string text = "=ext(";
    for (int i = 0; i < count; ++i) {
      if (i > 0) text += ",";
      if (i % 5 == 3) continue;  // a missing argument
      text += i % 4 == 1 ? "g(" + std::to_string(i) + ",A" + std::to_string(i + 1) + ")"
                         : "\"" + std::to_string(i) + "\"";
    }
    text += ")";
    auto f = parse_formula(text, Notation::A1, 5, 3, resolve);
    ASSERT_TRUE(f.ok()) << text;
    EXPECT_EQ(f.value()->root->args.size(), static_cast<std::size_t>(count)) << text;
    EXPECT_EQ(write_formula(*f.value(), Notation::A1, 5, 3, name_of), text);
  }
  EXPECT_FALSE(parse_formula("=SUM(1,2,3,4,5,6,7,(8", Notation::A1, 1, 1, resolve).ok());
  EXPECT_FALSE(parse_formula("=ROUND(1,2,3,4,5,6,7,8)", Notation::A1, 1, 1, resolve).ok());
}

// A node made with room for its operands takes more past that room, and
// frees both when it goes (the sanitizer build checks the freeing).
TEST(FormulaNodes, ANodeMadeWithRoomTakesMoreOperands) {
  auto call = Node::with_room(2, Node::Kind::Call, std::string_view("f"));
  for (int i = 0; i < 5; ++i) call->args.push_back(std::make_unique<Node>(Node::Kind::Number, i));
  ASSERT_EQ(call->args.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(call->args[i]->constant, Value(i));
  EXPECT_EQ(call->name(), "f");
  auto empty = Node::with_room(0, Node::Kind::Call, std::string_view("g"));
  empty->args.push_back(std::move(call));
  EXPECT_EQ(empty->args[0]->args.size(), 5u);
}

// A call's plain texts and missing arguments are made inside the call's
// own node, the other arguments (texts with doubled quotes among them)
// apart: each keeps its kind and text, writes back as written, compares
// by shape like any node, and a call that fails halfway frees what it read
// (the sanitizer build checks the freeing).
TEST(FormulaParser, ArgumentsMadeInTheCallsRoomKeepTheirTexts) {
  const std::string text =
      "=ext(\"\",,\"a\"\"b\",\"\u00e9t\u00e9 \u20ac\",Data!A1,g(\"x\",,\"y\"),\"z\" ,\"'My "
      "Sheet'!B2\",)";
  auto f = parse_formula(text, Notation::A1, 5, 3, resolve);
  ASSERT_TRUE(f.ok()) << f.status().message();
  EXPECT_EQ(write_formula(*f.value(), Notation::A1, 5, 3, name_of),
            "=ext(\"\",,\"a\"\"b\",\"\u00e9t\u00e9 \u20ac\",Data!A1,g(\"x\",,\"y\"),\"z\",\"'My "
            "Sheet'!B2\",)");
  const Node& call = *f.value()->root;
  ASSERT_EQ(call.args.size(), 9u);
  const std::vector<std::pair<Node::Kind, std::string>> want = {
      {Node::Kind::Text, ""},     {Node::Kind::Missing, ""},
      {Node::Kind::Text, "a\"b"}, {Node::Kind::Text, "\u00e9t\u00e9 \u20ac"},
      {Node::Kind::Ref, ""},      {Node::Kind::Call, "g"},
      {Node::Kind::Text, "z"},    {Node::Kind::Text, "'My Sheet'!B2"},
      {Node::Kind::Missing, ""}};
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(call.args[i]->kind, want[i].first) << i;
    if (want[i].first == Node::Kind::Text) {
      EXPECT_EQ(call.args[i]->constant.text(), want[i].second) << i;
    } else if (want[i].first == Node::Kind::Call) {
      EXPECT_EQ(call.args[i]->name(), want[i].second) << i;
    }
  }
  EXPECT_EQ(call.args[5]->args[2]->constant, Value("y"));
  // The text as written back (without the blank) is the same tree.
  auto same = parse_formula(write_formula(*f.value(), Notation::A1, 5, 3, name_of), Notation::A1, 5,
                            3, resolve);
  auto other = parse_formula(
      "=ext(\"\",,\"a\"\"b\",\"\u00e9t\u00e9 \u20ac\",Data!A1,g(\"x\",,\"w\"),\"z\",,)",
      Notation::A1, 5, 3, resolve);
  EXPECT_TRUE(same_shape(*f.value(), *same.value()));
  EXPECT_FALSE(same_shape(*f.value(), *other.value()));
  for (const char* bad : {"=ext(\"a\",g(\"b\",1+),\"c\")", "=ext(\"a\",,\"b\"", "=ext(\"a\",\"b",
                          "=ext(\"a\" \"b\")", "=ext(\"a\",g(\"x\"),#BAD!)"}) {
    EXPECT_FALSE(parse_formula(bad, Notation::A1, 1, 1, resolve).ok()) << bad;
  }
}

TEST(FormulaParser, CollectsReferencesAndKinds) {
  auto f = parse_formula("=SUM(A1,B2:C3)+NOW()+ext(D4)", Notation::A1, 1, 1, resolve);
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(f.value()->refs.size(), 3u);
  EXPECT_TRUE(f.value()->is_volatile);
  EXPECT_TRUE(f.value()->calls_external);
  auto g = parse_formula("=SUM(A1)", Notation::A1, 1, 1, resolve);
  EXPECT_FALSE(g.value()->is_volatile);
  EXPECT_FALSE(g.value()->calls_external);
}

// Names, workbooks and the sheets a reference was written with are kept
// only on the nodes that have them: each node answers its own, the others
// answer empty ones, and copies keep them.
TEST(FormulaParser, EachNodeKeepsItsOwnNamesAndSheets) {
  auto f = parse_formula("=ext(\"ext\",Gone!A1,Data:Other!B2,Data!rate,'[1]x'!g(1))", Notation::A1,
                         1, 1, resolve);
  ASSERT_TRUE(f.ok()) << f.status().message();
  const Node& call = *f.value()->root;
  ASSERT_EQ(call.kind, Node::Kind::Call);
  EXPECT_EQ(call.name(), "ext");
  EXPECT_FALSE(call.has_book);
  ASSERT_EQ(call.args.size(), 5u);
  const Node& text = *call.args[0];
  EXPECT_EQ(text.constant, Value("ext"));
  EXPECT_EQ(text.name(), "");  // a text constant is no name
  const Node& gone = *call.args[1];
  EXPECT_EQ(gone.ref().sheet_name(), "Gone");
  EXPECT_EQ(gone.ref().sheet, 0u);
  EXPECT_FALSE(gone.ref().three_d());
  const Node& span = *call.args[2];
  EXPECT_TRUE(span.ref().three_d());
  EXPECT_EQ(span.ref().sheet2_name(), "Other");
  const Node& rate = *call.args[3];
  EXPECT_EQ(rate.kind, Node::Kind::Name);
  EXPECT_EQ(rate.name(), "rate");
  EXPECT_EQ(rate.ref().sheet, 7u);
  const Node& book = *call.args[4];
  EXPECT_TRUE(book.has_book);
  EXPECT_EQ(book.book(), "[1]x");
  EXPECT_EQ(book.args[0]->ref().sheet_name(), "");  // an unqualified node answers empty ones

  // The references collected for dependencies are copies that keep their names.
  const auto& refs = f.value()->refs;
  ASSERT_EQ(refs.size(), 2u);
  EXPECT_EQ(refs[0].sheet_name(), "Gone");
  EXPECT_TRUE(refs[1].three_d());
  RefAst copy = refs[1];
  copy.set_sheet_names("Elsewhere");
  EXPECT_EQ(refs[1].sheet_name(), "Data");
  EXPECT_FALSE(copy.three_d());

  // A call and a name that differ only in what they name are different trees.
  auto g = parse_formula("=other(\"ext\",Gone!A1,Data:Other!B2,Data!rate,'[1]x'!g(1))",
                         Notation::A1, 1, 1, resolve);
  auto h = parse_formula("=ext(\"ext\",Gone!A1,Data:Other!B2,Data!rates,'[1]x'!g(1))", Notation::A1,
                         1, 1, resolve);
  ASSERT_TRUE(g.ok() && h.ok());
  EXPECT_FALSE(same_shape(*f.value(), *g.value()));
  EXPECT_FALSE(same_shape(*f.value(), *h.value()));
  EXPECT_EQ(a1("=ext(\"ext\",Gone!A1,Data:Other!B2,Data!rate,'[1]x'!g(1))"),
            "=ext(\"ext\",Gone!A1,Data:Other!B2,Data!rate,'[1]x'!g(1))");
}

// The parser's shape digest agrees with same_shape: equal for one shape
// wherever it was entered, different where a text, a reference, a number
// or a name differs; a formula without one is compared by its tree.
TEST(FormulaParser, ShapeDigestAgreesWithTheShapeComparison) {
  auto at = [](std::string_view text, std::int32_t row) {
    auto f = parse_formula(text, Notation::A1, row, 2, resolve);
    EXPECT_TRUE(f.ok()) << text;
    return f.ok() ? f.value() : nullptr;
  };
  const FormulaPtr first = at("=fsingle(\"IBM\",\"SMP.QUO.LAST\")&A1&SUM(Data!B1:B3)", 1);
  const FormulaPtr below = at("=fsingle(\"IBM\",\"SMP.QUO.LAST\")&A2&SUM(Data!B2:B4)", 2);
  ASSERT_TRUE(first && below);
  EXPECT_NE(first->shape, 0u);
  EXPECT_EQ(first->shape, below->shape);
  EXPECT_TRUE(same_shape(*first, *below));
  for (const char* other : {"=fsingle(\"IBN\",\"SMP.QUO.LAST\")&A1&SUM(Data!B1:B3)",
                            "=fsingle(\"IBM\",\"SMP.QUO.LASU\")&A1&SUM(Data!B1:B3)",
                            "=fsingle(\"IBM\",\"SMP.QUO.LAST\")&$A$1&SUM(Data!B1:B3)",
                            "=fsingle(\"IBM\",\"SMP.QUO.LAST\")&A1&SUM(B1:B3)",
                            "=fsingle(\"IBM\",\"SMP.QUO.LAST\")&A1&MAX(Data!B1:B3)",
                            "=fsingle(\"IBM\",\"SMP.QUO.LAST\")&A1&SUM(Data!B1:B3)&1",
                            "=fsingle(\"IBM\",\"SMP.QUO.LAST\")&A1&SUM(Data!B1:B3)&2",
                            "=fsingle(\"IBM\",\"SMP.QUO.LAST\",)&A1&SUM(Data!B1:B3)"}) {
    const FormulaPtr f = at(other, 1);
    ASSERT_TRUE(f);
    EXPECT_NE(f->shape, first->shape) << other;
    EXPECT_FALSE(same_shape(*f, *first)) << other;
  }
  // Texts of every length up to three words, one character changed anywhere.
  for (std::size_t size = 1; size <= 24; ++size) {
    const std::string text(size, 'a');
    const FormulaPtr a = at("=LEN(\"" + text + "\")", 1);
    for (std::size_t i = 0; i < size; ++i) {
      std::string changed = text;
      changed[i] = 'b';
      const FormulaPtr b = at("=LEN(\"" + changed + "\")", 1);
      ASSERT_TRUE(a && b);
      EXPECT_NE(a->shape, b->shape) << changed;
    }
  }
  // A call of more operands than the digest looks into still has one
  // digest for its shape.
  std::string wide = "=SUM(A1", wide_below = "=SUM(A2";
  for (int i = 0; i < 100; ++i) wide += ",1", wide_below += ",1";
  EXPECT_EQ(at(wide + ")", 1)->shape, at(wide_below + ")", 2)->shape);
  // Formulas without a digest, or not made by the parser, compare by tree.
  const FormulaPtr plain = at("=fsingle(\"IBM\",\"SMP.QUO.LAST\")&A1&SUM(Data!B1:B3)", 1);
  std::const_pointer_cast<Formula>(plain)->shape = 0;
  EXPECT_TRUE(same_shape(*plain, *below));
  // A word of four letters or more is no A1 column: a name, not a cell.
  EXPECT_TRUE(at("=ABCD1", 1)->uses_names);
  EXPECT_EQ(at("=XFD1", 1)->refs.size(), 1u);
}

TEST(Address, ParsesAndWritesBoxes) {
  EXPECT_EQ(column_letters(1), "A");
  EXPECT_EQ(column_letters(28), "AB");
  EXPECT_EQ(column_letters(kMaxCols), "XFD");
  EXPECT_EQ(column_from_letters("xfd"), kMaxCols);
  EXPECT_FALSE(column_from_letters("XFE"));
  EXPECT_EQ(parse_box_a1("$B$2:A1"), (Box{1, 1, 2, 2}));
  EXPECT_EQ(parse_box_a1("C:A"), (Box{1, 1, kMaxRows, 3}));
  EXPECT_EQ(parse_box_a1("3:5"), (Box{3, 1, 5, kMaxCols}));
  EXPECT_FALSE(parse_box_a1("A"));
  EXPECT_FALSE(parse_box_a1("A1:B"));
  EXPECT_FALSE(parse_box_a1("A0"));
  EXPECT_EQ(box_a1(Box{1, 1, 2, 2}), "$A$1:$B$2");
  EXPECT_EQ(box_a1(Box{1, 2, kMaxRows, 2}), "$B:$B");
  const auto sb = parse_sheet_box("'Sheet 2'!A1:C10");
  ASSERT_TRUE(sb);
  EXPECT_EQ(sb->sheet, "Sheet 2");
  EXPECT_EQ(sb->box, (Box{1, 1, 10, 3}));
}

}  // namespace
}  // namespace quillo::spreadsheet
