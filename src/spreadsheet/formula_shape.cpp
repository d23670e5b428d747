// Comparing parsed formulas by shape, for sharing one tree between cells.
#include <array>
#include <bit>
#include <cstring>
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

// Folds words into a 64-bit digest. Each step is a bijection of the digest
// so far for a given word, so two sequences of words that differ in one
// place never meet; other collisions only cost a full comparison.
class Digest {
 public:
  void add(std::uint64_t word) { m_h = (m_h ^ word) * 0x100000001b3ULL + 0x9e3779b97f4a7c15ULL; }
  // A text by its length and its bytes in words; the last word (or, for
  // a short text, its only one) overlaps the ones before, read the same
  // way for the same text.
  void add_text(std::string_view t) {
    const std::size_t size = t.size();
    const char* p = t.data();
    add(size);
    if (size >= 8) {
      std::uint64_t w;
      for (std::size_t i = 0; i + 8 < size; i += 8) {
        std::memcpy(&w, p + i, 8);
        add(w);
      }
      std::memcpy(&w, p + size - 8, 8);
      add(w);
    } else if (size >= 4) {
      std::uint32_t lo, hi;
      std::memcpy(&lo, p, 4);
      std::memcpy(&hi, p + size - 4, 4);
      add(lo | std::uint64_t{hi} << 32);
    } else if (size > 0) {
      add(static_cast<unsigned char>(p[0]) | static_cast<unsigned char>(p[size / 2]) << 8 |
          static_cast<unsigned char>(p[size - 1]) << 16);
    }
  }
  void add_part(const RefPart& p) {
    add(static_cast<std::uint32_t>(p.n) | (std::uint64_t{p.abs} << 32));
  }
  // Folded to 32 bits, which sit in a formula's padding: enough to tell
  // most shapes apart at once (equal digests are compared in full).
  std::uint32_t value() const {
    const auto v = static_cast<std::uint32_t>(m_h ^ (m_h >> 32));
    return v == 0 ? 1 : v;
  }

 private:
  std::uint64_t m_h = 0xcbf29ce484222325ULL;
};

// What same_node compares, into the digest: equal nodes add equal words.
void digest_node(const Node& n, Digest& d) {
  // Of the constant, only what Value's comparison tells apart the same
  // way: its type; a text by its characters, a number by its value (0 and
  // -0 alike), an error by its code.
  const ValueType type = n.constant.type();
  d.add(static_cast<std::uint64_t>(n.kind) | static_cast<std::uint64_t>(n.op) << 8 |
        std::uint64_t{n.has_book} << 16 | static_cast<std::uint64_t>(type) << 20 |
        std::uint64_t{n.height} << 24 | std::uint64_t{n.args.size()} << 40);
  d.add(reinterpret_cast<std::uintptr_t>(n.builtin));
  if (type == ValueType::Text) {
    d.add_text(n.constant.text());
  } else if (type == ValueType::Double) {
    const double x = n.constant.number();
    d.add(x == 0 ? 0 : std::bit_cast<std::uint64_t>(x));
  } else if (type == ValueType::Error) {
    d.add(static_cast<std::uint64_t>(n.constant.error()));
  }
  if (n.has_book) d.add_text(n.book());
  if (n.kind == Node::Kind::Ref || n.kind == Node::Kind::Name) {
    const RefAst& r = n.ref();
    d.add(static_cast<std::uint64_t>(r.kind) | std::uint64_t{r.has_sheet} << 8 |
          std::uint64_t{r.sheet} << 32);
    d.add(r.sheet2);
    d.add_part(r.r1);
    d.add_part(r.c1);
    d.add_part(r.r2);
    d.add_part(r.c2);
    d.add_text(r.sheet_name());
    d.add_text(r.sheet2_name());
  }
}

// Visits the tree depth first with a bounded stack: visit(node) for each
// node, visit(nullptr) for a missing operand, the operands in the order
// they are written (so a walk that stops at the first difference meets the
// first argument first: the instrument of a filled-down column of calls).
// A tree too deep for the stack is visited up to where the stack filled.
// False only when visit answered false, which ends the walk.
template <typename Visit>
bool walk_bounded(const Node& root, Visit visit) {
  constexpr std::size_t kMaxLook = 64;
  std::array<const Node*, kMaxLook> todo;
  std::size_t n = 0;
  todo[n++] = &root;
  while (n > 0) {
    const Node* x = todo[--n];
    if (!visit(x)) return false;
    // Pushed last first, so the first operand is visited next.
    for (std::size_t i = x->args.size(); i-- > 0;) {
      const Node* a = x->args[i].get();
      if (!a) {
        if (!visit(nullptr)) return false;
        continue;
      }
      if (n == kMaxLook) return true;
      todo[n++] = a;
    }
  }
  return true;
}

}  // namespace

std::uint32_t shape_digest(const Formula& f) {
  Digest d;
  d.add(std::uint64_t{f.is_volatile} | std::uint64_t{f.calls_external} << 1 |
        std::uint64_t{f.uses_names} << 2 | std::uint64_t{f.root != nullptr} << 3 |
        std::uint64_t{f.refs.size()} << 4);
  if (!f.root) return d.value();
  // A larger tree's digest covers the nodes met before the walk's stack
  // fills, which are the same for equal trees.
  (void)walk_bounded(*f.root, [&](const Node* x) {
    if (x) {
      digest_node(*x, d);
    } else {
      d.add(0x6e756c6cULL);  // a missing operand
    }
    return true;
  });
  return d.value();
}

bool same_shape(const Formula& a, const Formula& b) {
  if (a.shape != 0 && b.shape != 0 && a.shape != b.shape) return false;
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
  // A formula deeper than the walk looks is not looked into further: it may be.
  return walk_bounded(*f.root, [&](const Node* x) {
    // A text constant is written between quotes, its quotes doubled: one
    // without quotes stands in the text as it is.
    if (!x || x->kind != Node::Kind::Text || !x->constant.is_text()) return true;
    const std::string& t = x->constant.text();
    return t.find('"') != std::string::npos || text.find(t) != std::string_view::npos;
  });
}

}  // namespace quillo::spreadsheet
