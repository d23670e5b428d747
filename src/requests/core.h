// core: the engine object behind the function library's worksheet
// functions. Each library function forwards to one of its methods (see
// data/tarnvale.xla); register_methods makes them callable from formulas.
// Every core object works on the one add-in state it is given.
// Loop thread only.
#pragma once

#include "host/add_ins.h"
#include "requests/fsingle.h"

namespace quillo {

class core {
 public:
  explicit core(SingleItemContext& ctx) : m_ctx(ctx) {}

  // The single data item of inst and field, with optional options, for the calling cell.
  Value i_fsingle(const Value& inst, const Value& field, const Value& options,
                  const Value& fcaller) {
    return fsingle(m_ctx, inst, field, options, fcaller);
  }

  // Registers the methods above under their names.
  void register_methods(host::AddInMethods& methods);
  // Removes them again (library functions then answer #NAME?).
  static void unregister_methods(host::AddInMethods& methods);

 private:
  SingleItemContext& m_ctx;
};

}  // namespace quillo
