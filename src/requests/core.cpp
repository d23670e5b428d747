#include "requests/core.h"

namespace quillo {

void core::register_methods(host::AddInMethods& methods) {
  // Arguments arrive in the library's declared order; a short list (a
  // library file of another version) reads as missing arguments.
  methods.add("i_fsingle", [this](std::vector<Value>& a) {
    a.resize(std::max<std::size_t>(a.size(), 4), Value(Missing{}));
    return i_fsingle(a[0], a[1], a[2], a[3]);
  });
}

void core::unregister_methods(host::AddInMethods& methods) {
  methods.remove("i_fsingle");
}

}  // namespace quillo
