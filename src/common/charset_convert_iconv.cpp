// Charset conversion through the C library's iconv (Linux builds).
#include <iconv.h>

#include <cerrno>

#include "common/charset_convert.h"

namespace quillo::text {

namespace {
constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";  // U+FFFD
}  // namespace

std::optional<std::string> convert_to_utf8(std::string_view body, const std::string& from) {
  iconv_t cd = iconv_open("UTF-8", from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  // iconv writes straight into the result, which grows when it is full.
  std::string out(body.size() + body.size() / 2 + 16, '\0');
  std::size_t used = 0;
  char* in = const_cast<char*>(body.data());
  std::size_t in_left = body.size();
  bool flushing = false;
  while (true) {
    char* o = out.data() + used;
    std::size_t o_left = out.size() - used;
    const std::size_t r =
        flushing ? iconv(cd, nullptr, nullptr, &o, &o_left) : iconv(cd, &in, &in_left, &o, &o_left);
    used = static_cast<std::size_t>(o - out.data());
    if (r == static_cast<std::size_t>(-1) && errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    if (r == static_cast<std::size_t>(-1) && !flushing) {
      // EILSEQ or EINVAL (a sequence cut off at the end): replace one byte.
      if (out.size() - used < kReplacementUtf8.size()) out.resize(out.size() * 2);
      out.replace(used, kReplacementUtf8.size(), kReplacementUtf8);
      used += kReplacementUtf8.size();
      ++in;
      --in_left;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      continue;
    }
    if (flushing) break;
    if (in_left == 0) flushing = true;
  }
  iconv_close(cd);
  out.resize(used);
  return out;
}

}  // namespace quillo::text
