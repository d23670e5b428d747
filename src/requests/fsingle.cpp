#include "requests/fsingle.h"

#include "common/text.h"
#include "parse/clsparse.h"

namespace quillo {

namespace {

// An argument written as a cell reference arrives as a range: the function
// works with the value of its (top-left) cell.
std::string argument_text(const Value& v) {
  if (!v.is_range()) return v.to_text();
  const Array cells = v.range().values();
  return cells.items.empty() ? std::string() : cells.items.front().to_text();
}
}  // namespace

Value fsingle(SingleItemContext& ctx, const Value& inst_value, const Value& field_value,
              const Value& options, const Value& fcaller) {
  const std::string inst = argument_text(inst_value);
  const std::string field_code(text::trim(argument_text(field_value)));
  if (inst.empty() || field_code.empty()) return Value();

  // The code is read by position: source 1-3, category 5-7, name from 9.
  const std::string_view code = field_code;
  const DataSource* source = ctx.definitions.datasource_find(text::left(code, 3));
  if (!source) return Value(kInvalidField);
  const Category* category = category_find(*source, text::mid(code, 5, 3));
  if (!category) return Value(kInvalidField);
  const std::string_view name = text::mid(code, 9);
  const FieldDef* field = field_find(*category, name);
  if (!field) return Value(kInvalidField);

  std::vector<Value> option_list;
  clsparse().options2array(options, option_list);
  const auto params = parameters_choose(*category, inst, option_list);
  const auto updatefrq = category->updatefrq_value();
  if (!params || !updatefrq || !category->url) return Value(ErrorCode::Value);

  const std::string url =
      query_build(*category->url, params->names, params->urlkeys, params->values);
  const std::int32_t r = ctx.dispatch.request_add(url, RequestType::kSingleItem, source->code,
                                                  category->code, *updatefrq, "", true);
  if (!ctx.registry.refreshing() && !ctx.registry.request_register_cell(r, fcaller)) {
    return Value(ErrorCode::Value);  // no calling cell
  }
  const RequestStatus status = ctx.registry.requests().at(r).status;
  if (status != RequestStatus::kLoaded && status != RequestStatus::kSent) {
    if (auto kept = ctx.registry.kept_figure(fcaller, r)) return *kept;
    return Value(ctx.registry.request_statustext(r));
  }
  if (text::iequals(name, "ALL")) return Value();
  const std::optional<Value> value = request_value(ctx.registry.requests().at(r), *field, *params);
  return value ? *value : Value(ErrorCode::Value);
}

}  // namespace quillo
