// The whole definition-based parse over an arbitrary page, decoded as pages
// are when they arrive, with the sample definitions (single fields, tables
// by number and by markers, conversions, selector parameters), then every
// field's value as a cell would read it: always valid UTF-8 without a
// character XML forbids.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/text_encoding.h"
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
  std::string page = quillo::text::decode_page(
      std::string_view(reinterpret_cast<const char*>(data), size), "text/html");
  if (!defs.response_isvalid(requests.at(r), page)) return 0;
  quillo::definition_parse(page, requests, r, defs);
  const std::vector<quillo::Value> options{quillo::Value(), "period", "Previous"};
  const auto params = quillo::parameters_choose(category, "IBM", options);
  for (const quillo::FieldDef& f : category.fields) {
    const auto v = quillo::request_value(requests.at(r), f, *params);
    if (v && v->is_text() && quillo::text::sanitize_utf8(v->text()) != v->text()) std::abort();
  }
  return 0;
}
