// Number format codes and typed dates over arbitrary text: formatting any
// value with any code answers a text or nothing, and reading a date or time
// answers one or nothing, never a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "spreadsheet/date_serials.h"
#include "spreadsheet/number_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view code(reinterpret_cast<const char*>(data), size);
  for (const double v : {0.0, -1.5, 0.5, 45000.75, 2958465.99, 1e300, -1e-300, 60.0}) {
    (void)quillo::spreadsheet::format_value(quillo::Value(v), code);
  }
  (void)quillo::spreadsheet::format_value(quillo::Value("text"), code);
  (void)quillo::spreadsheet::parse_date_time(code, 2024);
  return 0;
}
