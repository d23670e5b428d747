#include "ui/access_token.h"

#include <cstdint>

#include "host/random_bytes.h"

namespace quillo::ui {

Result<std::string> new_access_token() {
  unsigned char bytes[32];
  if (!host::fill_random_bytes(bytes, sizeof bytes).ok()) {
    return Status::failed("no random numbers for the access token");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * sizeof bytes);
  for (const unsigned char b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

bool same_token(std::string_view given, std::string_view expected) {
  if (given.size() != expected.size() || expected.empty()) return false;
  // Every byte is compared; only the accumulated difference is tested.
  volatile std::uint8_t diff = 0;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    diff = static_cast<std::uint8_t>(
        diff | (static_cast<std::uint8_t>(given[i]) ^ static_cast<std::uint8_t>(expected[i])));
  }
  return diff == 0;
}

}  // namespace quillo::ui
