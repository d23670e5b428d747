// Table extraction over an arbitrary page: entity decoding, cutting the
// n-th table or a marked one, splitting it into rows and reading cells.
#include <cstddef>
#include <cstdint>
#include <string>

#include "parse/cls_parsetable.h"
#include "parse/table_extraction.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::int64_t n = static_cast<std::int64_t>(data[0] % 6) - 1;
  std::string page(reinterpret_cast<const char*>(data + 1), size - 1);
  quillo::entities_decode(page);
  quillo::cls_parsetable t;
  t.set_table(quillo::table_cut(page, n, "<table", "</table"));
  t.do_parse(n % 2 == 0);
  for (std::int32_t r = 0; r <= t.get_rownum() + 1; ++r) {
    for (std::int32_t c = -1; c <= 31; ++c) t.getcell(r, c);
  }
  t.create_narow();
  return 0;
}
