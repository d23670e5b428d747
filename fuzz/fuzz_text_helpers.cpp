// Every text helper over arbitrary input: the first bytes choose markers
// and numbers, the rest is the text. Nothing may crash, hang or read out
// of bounds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "parse/clsparse.h"

namespace {

// Splits the input at NUL bytes into up to five pieces.
struct Pieces {
  std::string_view part[5];
};

Pieces split(std::string_view in) {
  Pieces p;
  for (int i = 0; i < 4; ++i) {
    const std::size_t nul = in.find('\0');
    if (nul == std::string_view::npos) break;
    p.part[i + 1] = in.substr(0, nul);
    in = in.substr(nul + 1);
  }
  p.part[0] = in;
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const Pieces p = split(in);
  const std::string_view text = p.part[0];
  quillo::clsparse c;
  const std::int64_t n = size == 0 ? 1 : static_cast<std::int64_t>(data[0] % 8) - 1;

  std::int64_t window = size % 3 == 0 ? 0 : static_cast<std::int64_t>(size / 3);
  c.convert1(text, p.part[1], p.part[2], p.part[3], window);
  c.convert3(text, p.part[1], p.part[2], p.part[3]);
  c.convert5(text, p.part[1], p.part[2], p.part[3]);
  c.convert2(text, static_cast<std::int32_t>(n));
  c.convert4(text, p.part[1], static_cast<std::int32_t>(n));
  std::string s(text);
  c.left_clear(s);
  s.assign(text);
  c.figure_convert1(s);
  s.assign(text);
  c.figure_convert2(s);
  c.firsttag_remove(text);
  c.firsttag_get(text);
  c.getitag(text, n);
  c.key_fromtag(text, p.part[1]);
  c.getvalue_fromhtml(text, n);
  c.getallvalue_fromhtml(text);
  s.assign(text);
  c.getfirsttdthelement(s);
  quillo::Value cells[31];
  s.assign(text);
  c.parsetablerow(s, cells, n % 2 == 0);
  c.createdouble(quillo::Value(text));
  s.assign(text);
  c.removealltagattribute(s);
  s.assign(text);
  c.removealltagattribute2(s);
  c.gettagname(text);
  s.assign(text);
  c.removedomspecificelement(s);
  return 0;
}
