// Comparing parsed formulas by shape, for sharing one tree between cells.
#include <array>
#include <string>
#include <vector>

#include "spreadsheet/formula_shape.h"

namespace quillo::spreadsheet {

namespace {

bool same_ref(const RefAst& a, const RefAst& b) {
  return a.kind == b.kind && a.has_sheet == b.has_sheet && a.sheet == b.sheet &&
         a.sheet2 == b.sheet2 && a.r1 == b.r1 && a.c1 == b.c1 && a.r2 == b.r2 && a.c2 == b.c2 &&
         a.sheet_name() == b.sheet_name() && a.sheet2_name() == b.sheet2_name();
}

bool same_node(const Node& a, const Node& b) {
  if (a.kind != b.kind || a.op != b.op || a.height != b.height || a.builtin != b.builtin ||
      a.has_book != b.has_book || a.args.size() != b.args.size()) {
    return false;
  }
  // Texts (most constants, and the names of calls) compare as texts.
  if (a.constant.is_text() && b.constant.is_text()) {
    if (a.constant.text() != b.constant.text()) return false;
  } else if (!(a.constant == b.constant)) {
    return false;
  }
  // A name is the constant, compared above. Nodes without a workbook or a
  // reference (most) answer the same empty one.
  const std::string& book_a = a.book();
  const std::string& book_b = b.book();
  if (&book_a != &book_b && book_a != book_b) return false;
  const RefAst& ref_a = a.ref();
  const RefAst& ref_b = b.ref();
  return &ref_a == &ref_b || same_ref(ref_a, ref_b);
}

}  // namespace

bool same_shape(const Formula& a, const Formula& b) {
  if (a.is_volatile != b.is_volatile || a.calls_external != b.calls_external ||
      a.uses_names != b.uses_names || a.refs.size() != b.refs.size() || !a.root != !b.root) {
    return false;
  }
  if (!a.root) return true;
  // Walk both trees side by side with an explicit stack: formulas may be
  // deep, and the walk stops at the first difference. A formula is
  // compared with its neighbours whenever it is entered, and most are
  // small: their pairs wait on the stack, only a larger one's also in a
  // vector.
  // A plain struct, so the slots are not zeroed at every call.
  struct Pair {
    const Node* x;
    const Node* y;
  };
  std::array<Pair, 32> near;  // a slot is written before it is read
  std::size_t in_near = 0;
  std::vector<Pair> far;
  auto push = [&](const Node* x, const Node* y) {
    if (far.empty() && in_near < near.size()) {
      near[in_near++] = {x, y};
    } else {
      far.push_back(Pair{x, y});
    }
  };
  push(a.root.get(), b.root.get());
  while (in_near > 0 || !far.empty()) {
    Pair next;
    if (!far.empty()) {
      next = far.back();
      far.pop_back();
    } else {
      next = near[--in_near];
    }
    const Node* x = next.x;
    const Node* y = next.y;
    if (!same_node(*x, *y)) return false;
    for (std::size_t i = 0; i < x->args.size(); ++i) {
      const Node* xa = x->args[i].get();
      const Node* ya = y->args[i].get();
      if (!xa || !ya) {
        if (xa != ya) return false;
        continue;
      }
      push(xa, ya);
    }
  }
  return true;
}

bool may_be_written_as(const Formula& f, std::string_view text) {
  if (!f.root) return true;
  // A formula deeper than this is not looked into: it may be.
  constexpr std::size_t kMaxLook = 64;
  std::array<const Node*, kMaxLook> todo;
  std::size_t n = 0;
  todo[n++] = f.root.get();
  while (n > 0) {
    const Node* x = todo[--n];
    // A text constant is written between quotes, its quotes doubled: one
    // without quotes stands in the text as it is.
    if (x->kind == Node::Kind::Text && x->constant.is_text()) {
      const std::string& t = x->constant.text();
      if (t.find('"') == std::string::npos && text.find(t) == std::string_view::npos) {
        return false;
      }
    }
    for (const auto& a : x->args) {
      if (!a) continue;
      if (n == kMaxLook) return true;
      todo[n++] = a.get();
    }
  }
  return true;
}

}  // namespace quillo::spreadsheet
