// The whole definition-based parse over an arbitrary page, with the sample
// definitions (single fields, tables by number and by markers, conversions,
// selector parameters), then every field's value as a cell would read it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "parse/definitions.h"
#include "parse/table_extraction.h"

namespace {

const quillo::Definitions& definitions() {
  static const quillo::Definitions* defs = [] {
    auto* d = new quillo::Definitions;
    if (!d->definitions_loadfile(QUILLO_SAMPLE_DEFINITIONS)) std::abort();
    return d;
  }();
  return *defs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const quillo::Definitions& defs = definitions();
  const quillo::DataSource& source = defs.datasources().front();
  const quillo::Category& category = source.categories.front();
  quillo::RequestTable requests;
  quillo::datarequest request;
  request.source = source.code;
  request.category = category.code;
  const std::int32_t r = requests.add(request);
  std::string page(reinterpret_cast<const char*>(data), size);
  if (!defs.response_isvalid(requests.at(r), page)) return 0;
  quillo::definition_parse(page, requests, r, defs);
  const std::vector<quillo::Value> options{quillo::Value(), "period", "Previous"};
  const auto params = quillo::parameters_choose(category, "IBM", options);
  for (const quillo::FieldDef& f : category.fields)
    quillo::request_value(requests.at(r), f, *params);
  return 0;
}
