// The definitions loader over arbitrary XML: it either refuses the text with
// a reason or yields records whose lookups work; the author's check agrees
// with the loader on whether the text loads.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "parse/definitions.h"
#include "parse/definitions_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quillo::Definitions defs;
  const std::string_view xml(reinterpret_cast<const char*>(data), size);
  const bool ok = defs.load_text(xml);
  if (!ok && !defs.error().starts_with("Error during load of xml")) std::abort();
  if (quillo::check_definitions(xml, "ds.xml").loaded != ok) std::abort();
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
