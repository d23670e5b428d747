// JSON and CSV answers: an arbitrary answer read by a category of fields
// of every form (plain pointers, selections, rows read across, CSV columns
// and keys). The first byte picks JSON or CSV and the CSV separator.
#include <cstddef>
#include <cstdint>
#include <string>

#include "parse/structured_answer.h"

namespace {

quillo::Category category(bool json, char separator) {
  quillo::Category c;
  c.answer = json ? "json" : "csv";
  c.separator = std::string(1, separator);
  const char* const pointers[] = {"",           "/0",          "/a/[k=$instrument]/v",
                                  "/a/1/b~0~1", "/[k=${p}]/v", "/a/-"};
  int id = 1;
  for (const char* p : pointers) {
    quillo::FieldDef f;
    f.id = std::to_string(id++);
    f.type = c.answer;
    f.pointer = p;
    f.column = id % 2 ? "a" : "";
    f.keycolumn = id % 3 ? "k" : "";
    f.key = "$instrument";
    f.member = id % 2 ? "/v" : "/0";
    f.colvalue = id > 4 ? "p" : "";
    f.figureconvert = "1";
    c.fields.push_back(std::move(f));
  }
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool json = data[0] & 1;
  const char separators[] = {',', ';', '\t', '|'};
  const quillo::Category c = category(json, separators[(data[0] >> 1) % 4]);
  quillo::AnswerKeys keys;
  keys.instrument = "x";
  keys.parameters = {{"p", "2"}};
  quillo::datarequest request;
  quillo::structured_parse(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1),
                           request, c, keys);
  return 0;
}
