// The system's random bytes, on every platform: requests are filled
// completely, and two draws differ.
#include "host/random_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace quillo::host {
namespace {

bool all_zero(const unsigned char* p, std::size_t n) {
  return std::all_of(p, p + n, [](unsigned char b) { return b == 0; });
}

TEST(RandomBytesTest, TwoDrawsAreFilledAndDiffer) {
  std::vector<unsigned char> a(32, 0), b(32, 0);
  ASSERT_TRUE(fill_random_bytes(a.data(), a.size()).ok());
  ASSERT_TRUE(fill_random_bytes(b.data(), b.size()).ok());
  EXPECT_FALSE(all_zero(a.data(), a.size()));
  EXPECT_NE(a, b);
  EXPECT_TRUE(fill_random_bytes(nullptr, 0).ok());
}

TEST(RandomBytesTest, LargeRequestIsFilledToTheEnd) {
  // Larger than one read from the system may give; a piece left unfilled
  // would stay zero (a 256-byte run of zeros by chance is out of reach).
  constexpr std::size_t kSize = 4u << 20;
  std::vector<unsigned char> buf(kSize, 0);
  ASSERT_TRUE(fill_random_bytes(buf.data(), buf.size()).ok());
  for (std::size_t at = 0; at < kSize; at += 256) {
    ASSERT_FALSE(all_zero(buf.data() + at, 256)) << "unfilled at byte " << at;
  }
}

}  // namespace
}  // namespace quillo::host
