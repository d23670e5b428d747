// The definitions loader over arbitrary XML: it either refuses the text with
// a reason or yields records whose lookups work.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "parse/definitions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quillo::Definitions defs;
  const bool ok = defs.load_text(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!ok && !defs.error().starts_with("Error during load of xml")) std::abort();
  for (const quillo::DataSource& s : defs.datasources()) {
    defs.datasource_find(s.code);
    s.max_requests_value();
    for (const quillo::Category& c : s.categories) {
      quillo::category_find(s, c.code);
      c.updatefrq_value();
      for (const quillo::FieldDef& f : c.fields) quillo::field_find(c, f.name);
      quillo::parameters_choose(c, "X", {});
    }
  }
  return 0;
}
