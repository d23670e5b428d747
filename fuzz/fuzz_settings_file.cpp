// The settings file reader (.reg text) over arbitrary bytes: it either
// refuses the text with a line number or yields a tree that is written and
// read back as the same tree, whose keys and values can all be looked up.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "host/posix/reg_file.h"

namespace {

constexpr std::string_view kRoot = "HKEY_CURRENT_USER";

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillo::host;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ParseResult first = parse_reg(text, kRoot);
  if (first.error) {
    check(first.error->starts_with("line ") && first.tree.keys.empty());
    return 0;
  }
  const std::string written = format_reg(first.tree, kRoot);
  ParseResult again = parse_reg(written, kRoot);
  check(!again.error.has_value());
  check(again.tree.keys.size() == first.tree.keys.size());
  for (const auto& [path, key] : first.tree.keys) {
    check(again.tree.key_exists(path));
    const RegistryKey* back = again.tree.find(path);
    check(back != nullptr && back->values == key.values);
  }
  check(format_reg(again.tree, kRoot) == written);
  return 0;
}
