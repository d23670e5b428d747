// Sheet and workbook names in formulas: whatever the name, the writer's
// text parses back to the same reference or call, in both notations. The
// names are generated from the characters that make quoting matter.
#include <gtest/gtest.h>

#include <random>

#include "spreadsheet/address.h"
#include "spreadsheet/formula.h"

namespace quillo::spreadsheet {
namespace {

// Names mixing letters that start references (R, C, A, X), digits, dots,
// blanks, quotes, operators and letters beyond ASCII, plus known hard ones.
std::vector<std::string> generated_names() {
  std::vector<std::string> names = {".Data", "2024.xla", "My Sheet", "O'Brien", "A1",  "R1C1",
                                    "RC",    "R",        "C3",       "TRUE",    "_x",  "Données",
                                    "a.b",   "XFD1",     "XFE1",     "R[1]C",   "1e5", "-",
                                    "a!b",   "\"q\"",    "e",        "sheet ",  "€"};
  const std::vector<std::string> pieces = {"R", "C", "A", "x", "1", "9", ".", "_", " ",       "'",
                                           "!", "-", "+", "(", "&", "$", "#", ",", "\xC3\xA9"};
  std::mt19937 rng(7);
  for (int i = 0; i < 3000; ++i) {
    std::string name;
    const int len = 1 + static_cast<int>(rng() % 6);
    for (int k = 0; k < len; ++k) name += pieces[rng() % pieces.size()];
    names.push_back(name);
  }
  return names;
}

TEST(FormulaNames, EveryNameReadsBackAsWritten) {
  for (const std::string& name : generated_names()) {
    // =<sheet>!B2+<book>!f(1), with both names the generated one.
    Formula f;
    f.root = std::make_unique<Node>();
    f.root->kind = Node::Kind::Binary;
    auto ref = std::make_unique<Node>();
    ref->kind = Node::Kind::Ref;
    RefAst b2;
    b2.has_sheet = true;
    b2.sheet = 7;
    b2.r1 = b2.r2 = RefPart{2, true};
    b2.c1 = b2.c2 = RefPart{2, true};
    ref->set_ref(b2);
    auto call = std::make_unique<Node>();
    call->kind = Node::Kind::Call;
    call->set_name("f");
    call->has_book = true;
    call->set_book(name);
    auto one = std::make_unique<Node>();
    one->kind = Node::Kind::Number;
    one->constant = Value(1.0);
    call->args.push_back(std::move(one));
    f.root->args.push_back(std::move(ref));
    f.root->args.push_back(std::move(call));

    for (const Notation notation : {Notation::A1, Notation::R1C1}) {
      const std::string text =
          write_formula(f, notation, 5, 5, [&](SheetId id) { return id == 7 ? name : ""; });
      auto back = parse_formula(text, notation, 5, 5, [&](std::string_view n) {
        return n == name ? SheetId{7} : SheetId{0};
      });
      ASSERT_TRUE(back.ok()) << "name [" << name << "] wrote " << text << ": "
                             << back.status().message();
      const Node& root = *back.value()->root;
      ASSERT_EQ(root.kind, Node::Kind::Binary) << text;
      ASSERT_EQ(root.args[0]->kind, Node::Kind::Ref) << text;
      EXPECT_EQ(root.args[0]->ref().sheet, 7u) << text;
      EXPECT_EQ(root.args[0]->ref().r1, (RefPart{2, true})) << text;
      ASSERT_EQ(root.args[1]->kind, Node::Kind::Call) << text;
      EXPECT_EQ(root.args[1]->book(), name) << text;
      EXPECT_EQ(write_formula(*back.value(), notation, 5, 5,
                              [&](SheetId id) { return id == 7 ? name : ""; }),
                text);
    }
  }
}

TEST(FormulaNames, DefinedNamesReadBackInTheOtherNotation) {
  // A name that starts like an R1C1 reference and goes on with "\" once
  // read as the column C followed by stray text.
  for (const char* text : {"=C\\AR+1", "=R\\x", "=\\abc*2", "=RC\\1"}) {
    auto a1 = parse_formula(text, Notation::A1, 1, 1, nullptr);
    ASSERT_TRUE(a1.ok()) << text << ": " << a1.status().message();
    const std::string r1c1 = write_formula(*a1.value(), Notation::R1C1, 1, 1, nullptr);
    auto back = parse_formula(r1c1, Notation::R1C1, 1, 1, nullptr);
    ASSERT_TRUE(back.ok()) << r1c1 << ": " << back.status().message();
    EXPECT_EQ(write_formula(*back.value(), Notation::A1, 1, 1, nullptr), text);
  }
}

}  // namespace
}  // namespace quillo::spreadsheet
