// The single data item function: one field of one instrument, cut out of
// the category's page. Evaluated twice in a normal life: first it finds or
// creates the request and answers "Loading data..."; when the answer has
// arrived the registry re-evaluates the cell and it answers the value.
//
// Loop thread only; answers values (texts, numbers, error values), never
// throws.
#pragma once

#include "common/value.h"
#include "parse/definitions.h"
#include "requests/dispatch.h"
#include "requests/registry.h"

namespace quillo {

// What a cell shows for a field code the definitions do not know.
inline constexpr std::string_view kInvalidField = "Invalid fieldname!";

struct SingleItemContext {
  const Definitions& definitions;
  RequestRegistry& registry;
  RequestDispatch& dispatch;
};

// inst: the instrument id; field: "SRC.CAT.NAME"; options: an array (or
// range) of alternating option names and values, or Missing; fcaller: the
// calling cell as a range.
Value fsingle(SingleItemContext& ctx, const Value& inst, const Value& field, const Value& options,
              const Value& fcaller);

}  // namespace quillo
