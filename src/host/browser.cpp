#include "host/browser.h"

#include "common/text.h"

namespace quillo::host {

bool is_web_address(std::string_view url) {
  std::string_view rest;
  for (std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
    if (url.size() > scheme.size() && text::iequals(url.substr(0, scheme.size()), scheme)) {
      rest = url.substr(scheme.size());
      break;
    }
  }
  if (rest.empty()) return false;
  for (const char c : url) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f) return false;
  }
  return true;
}

}  // namespace quillo::host
