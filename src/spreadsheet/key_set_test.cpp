#include "spreadsheet/key_set.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

namespace quillo::spreadsheet {
namespace {

std::vector<std::uint64_t> listed(const KeySet& keys) {
  return {keys.begin(), keys.end()};
}

// Keys added and removed in any order, across block splits and emptied
// blocks, read back as an ordered set holds them.
TEST(KeySet, AnswersAsAnOrderedSetDoes) {
  std::mt19937_64 random(7);
  KeySet keys;
  std::set<std::uint64_t> expected;
  // In order first (a file being read), then at random over a narrow range,
  // so inserts land inside full blocks and erases empty some.
  for (std::uint64_t k = 0; k < 3 * KeySet::kMaxBlock; ++k) {
    ASSERT_TRUE(keys.insert(k * 4));
    expected.insert(k * 4);
  }
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t k = random() % (8 * KeySet::kMaxBlock);
    if (random() % 3 == 0) {
      ASSERT_EQ(keys.erase(k), expected.erase(k)) << k;
    } else {
      ASSERT_EQ(keys.insert(k), expected.insert(k).second) << k;
    }
  }
  EXPECT_EQ(keys.size(), expected.size());
  EXPECT_EQ(listed(keys), std::vector<std::uint64_t>(expected.begin(), expected.end()));
  for (std::uint64_t k = 0; k < 8 * KeySet::kMaxBlock + 2; ++k) {
    const auto it = keys.lower_bound(k);
    const auto want = expected.lower_bound(k);
    ASSERT_EQ(it == keys.end(), want == expected.end()) << k;
    if (want != expected.end()) {
      ASSERT_EQ(*it, *want) << k;
    }
    ASSERT_EQ(keys.contains(k), expected.count(k) == 1) << k;
  }
}

TEST(KeySet, EmptyAndEmptiedSetsHoldNothing) {
  KeySet keys;
  EXPECT_TRUE(keys.empty());
  EXPECT_EQ(keys.lower_bound(0), keys.end());
  EXPECT_EQ(keys.erase(5), 0u);
  for (std::uint64_t k = 0; k < 2 * KeySet::kMaxBlock + 1; ++k) keys.insert(k);
  for (std::uint64_t k = 0; k < 2 * KeySet::kMaxBlock + 1; ++k) ASSERT_EQ(keys.erase(k), 1u);
  EXPECT_TRUE(keys.empty());
  EXPECT_EQ(keys.begin(), keys.end());
  EXPECT_TRUE(keys.insert(3));
  EXPECT_EQ(listed(keys), std::vector<std::uint64_t>{3});
}

}  // namespace
}  // namespace quillo::spreadsheet
