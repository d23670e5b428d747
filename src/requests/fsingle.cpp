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
  const std::string field_text = argument_text(field_value);
  if (inst.empty() || field_text.empty()) return Value();
  // A code of blanks names no field: it says so rather than showing nothing.
  const std::string field_code(text::trim(field_text));
  if (field_code.empty()) return Value(kInvalidField);

  // The code is read by character position: source 1-3, category 5-7, name
  // from 9, so a code with letters outside ASCII is cut where a user sees it.
  const std::string_view code = field_code;
  const DataSource* source = ctx.definitions.datasource_find(text::left_chars(code, 3));
  if (!source) return Value(kInvalidField);
  const Category* category = category_find(*source, text::mid_chars(code, 5, 3));
  if (!category) return Value(kInvalidField);
  const std::string_view name = text::mid_chars(code, 9, std::string_view::npos);
  const FieldDef* field = field_find(*category, name);
  if (!field) return Value(kInvalidField);

  std::vector<Value> option_list;
  clsparse().options2array(options, option_list);
  const auto params = parameters_choose(*category, inst, option_list);
  const auto updatefrq = category->updatefrq_value();
  if (!params || !updatefrq || !category->url) return Value(ErrorCode::Value);

  const std::string url =
      query_build(*category->url, params->names, params->urlkeys, params->values);
  const std::int32_t r = ctx.dispatch.request_add(url, RequestType::SingleItem, source->code,
                                                  category->code, *updatefrq, "", true);
  if (!ctx.registry.refreshing() && !ctx.registry.request_register_cell(r, fcaller)) {
    return Value(ErrorCode::Value);  // no calling cell
  }
  const RequestStatus status = ctx.registry.requests().at(r).status;
  if (status != RequestStatus::Loaded && status != RequestStatus::Sent) {
    if (auto kept = ctx.registry.kept_figure(fcaller, r)) return *kept;
    return Value(ctx.registry.request_statustext(r));
  }
  if (text::iequals(name, "ALL")) return Value();
  const std::optional<Value> value = request_value(ctx.registry.requests().at(r), *field, *params);
  return value ? *value : Value(ErrorCode::Value);
}

}  // namespace quillo
