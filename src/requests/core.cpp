#include "requests/core.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace quillo {

namespace {

// One row per method the function library calls: its name, how many
// arguments it takes, and the member that answers it. The arguments arrive
// in the library's declared order; a short list (a library file of another
// version) is padded with missing arguments before the member sees it.
struct CoreMethod {
  std::string_view name;
  std::size_t arguments;
  Value (*call)(core& self, std::vector<Value>& a);
};

constexpr std::array kCoreMethods{
    CoreMethod{
        "i_fsingle", 4,
        [](core& self, std::vector<Value>& a) { return self.i_fsingle(a[0], a[1], a[2], a[3]); }},
};

}  // namespace

void core::register_methods(host::AddInMethods& methods) {
  for (const CoreMethod& m : kCoreMethods) {
    methods.add(m.name, [this, &m](std::vector<Value>& a) {
      a.resize(std::max(a.size(), m.arguments), Value(Missing{}));
      return m.call(*this, a);
    });
  }
}

void core::unregister_methods(host::AddInMethods& methods) {
  for (const CoreMethod& m : kCoreMethods) methods.remove(m.name);
}

}  // namespace quillo
