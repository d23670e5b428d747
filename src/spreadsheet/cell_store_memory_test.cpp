// CellStore when memory runs out: a write that cannot get the memory it
// needs fails and leaves the cell as it was, and a write that needs none
// (letting a text go) succeeds, with every other cell intact.
//
// This binary replaces the global allocation functions so that allocations
// can be made to fail from a chosen one on; it is a binary of its own so
// that no other test runs with them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "spreadsheet/cell_store.h"

namespace {

// The allocations that still succeed; negative: all of them.
long g_allocations_left = -1;

void* allocate(std::size_t n) {
  if (g_allocations_left == 0) throw std::bad_alloc();
  if (g_allocations_left > 0) --g_allocations_left;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}

void* allocate_or_null(std::size_t n) noexcept {
  try {
    return allocate(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

void* operator new(std::size_t n) {
  return allocate(n);
}
void* operator new[](std::size_t n) {
  return allocate(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return allocate_or_null(n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return allocate_or_null(n);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}

namespace quillo::spreadsheet {
namespace {

// While it lives, allocations fail once `succeeding` more have been made.
class MemoryRunsOut {
 public:
  explicit MemoryRunsOut(long succeeding) { g_allocations_left = succeeding; }
  ~MemoryRunsOut() { g_allocations_left = -1; }
  MemoryRunsOut(const MemoryRunsOut&) = delete;
  MemoryRunsOut& operator=(const MemoryRunsOut&) = delete;
};

std::string label(std::int32_t row) {
  return "label of row " + std::to_string(1000000 + row);
}

TEST(CellStoreOutOfMemory, AWriteThatCannotGetMemoryLeavesTheCellAsItWas) {
  const std::uint64_t at = cell_key(2, 1);
  const Value long_text(std::string(40000, 'x'));  // a text with a block of its own
  const Value array(Array{1, 2, {Value(1.0), Value("two")}});
  struct Case {
    const char* what;
    std::optional<Value> before;  // nullopt: no cell
    bool formula;
    Value after;
  };
  const std::vector<Case> cases{
      {"a text over the cell's only text", Value("old"), false, long_text},
      {"a boxed value over a text", Value("old"), false, array},
      {"a text over a boxed value", array, false, long_text},
      {"a formula's text result over another", Value("old"), true, long_text},
      {"a text into a column of plain numbers", Value(5.0), false, Value("now a text")},
      {"a text where there was no cell", std::nullopt, false, long_text},
  };
  for (const Case& c : cases) {
    bool written = false;
    // Allocations fail from the first on, then from the second, ... until
    // the write has all it needs.
    for (long succeeding = 0; !written && succeeding < 64; ++succeeding) {
      CellStore store;
      for (std::int32_t r = 1; r <= 3; ++r) {
        if (r != 2) store.set_value(cell_key(r, 1), Value(static_cast<double>(r)));
      }
      store.set_value(cell_key(1, 2), Value("neighbour"));
      if (c.before) store.set_value(at, *c.before);
      if (c.formula) store.add_formula(at);
      try {
        const MemoryRunsOut out(succeeding);
        store.set_value(at, c.after);
        written = true;
      } catch (const std::bad_alloc&) {
      }
      SCOPED_TRACE(std::string(c.what) + ", failing after " + std::to_string(succeeding));
      if (written) {
        EXPECT_EQ(store.value(at), c.after);
      } else {
        EXPECT_EQ(store.contains(at), c.before.has_value());
        EXPECT_EQ(store.value(at), c.before.value_or(Value()));
      }
      EXPECT_EQ(store.formula(at) != nullptr, c.formula);
      EXPECT_EQ(store.value(cell_key(1, 1)), Value(1.0));
      EXPECT_EQ(store.value(cell_key(3, 1)), Value(3.0));
      EXPECT_EQ(store.value(cell_key(1, 2)), Value("neighbour"));
      // The store goes on: texts written now are not mistaken for the one
      // the failed write touched.
      store.set_value(cell_key(4, 1), Value("fresh"));
      store.set_value(cell_key(5, 1), Value("old"));
      EXPECT_EQ(store.value(cell_key(4, 1)), Value("fresh"));
      EXPECT_EQ(store.value(cell_key(5, 1)), Value("old"));
      store.erase(at);
      EXPECT_EQ(store.value(cell_key(5, 1)), Value("old"));
    }
    EXPECT_TRUE(written) << c.what;
  }
}

TEST(CellStoreOutOfMemory, LettingTextsGoNeedsNoMemoryAndKeepsTheOthers) {
  // A column of labels, nine in ten then overwritten with numbers while no
  // memory can be had: letting their texts go moves the rest into fewer
  // blocks once most bytes are dead, which cannot be done now, and waits.
  constexpr std::int32_t kRows = 60000;
  CellStore store;
  for (std::int32_t r = 1; r <= kRows; ++r) store.set_value(cell_key(r, 1), Value(label(r)));
  auto overwrite = [&](std::int32_t from, std::int32_t to) {
    for (std::int32_t r = from; r <= to; ++r) {
      if (r % 10 != 0) store.set_value(cell_key(r, 1), Value(static_cast<double>(r)));
    }
  };
  bool failed = false;
  try {
    const MemoryRunsOut out(0);
    overwrite(1, kRows * 9 / 10);
  } catch (const std::bad_alloc&) {
    failed = true;
  }
  EXPECT_FALSE(failed);
  // And with memory again, the rest, which tidies the texts.
  overwrite(kRows * 9 / 10 + 1, kRows);
  for (std::int32_t r = 1; r <= kRows; ++r) {
    const Value expected = r % 10 == 0 ? Value(label(r)) : Value(static_cast<double>(r));
    ASSERT_EQ(store.value(cell_key(r, 1)), expected) << r;
  }
}

}  // namespace
}  // namespace quillo::spreadsheet
