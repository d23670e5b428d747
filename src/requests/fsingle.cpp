#include "requests/fsingle.h"

#include "common/text.h"
#include "host/range.h"
#include "parse/clsparse.h"

namespace quillo {

namespace {

// The text of an argument that takes one value, read in place when it is a
// text (as a written constant is), otherwise made in storage: an argument
// written as a cell reference arrives as a range, and the function works
// with the value of its one cell. nullopt, with the error the call answers,
// when the argument holds several values (a range of several cells, an
// array: #VALUE!) or an error value (#N/A from a lookup: that error), which
// no page could be asked for.
std::optional<std::string_view> argument_view(const Value& v, std::string& storage, Value& error) {
  if (v.is_text()) return v.text();
  std::optional<Value> one = host::single_value(v);
  if (!one || one->is_error()) {
    error = Value(one ? one->error() : ErrorCode::Value);
    return std::nullopt;
  }
  storage = one->to_text();
  return storage;
}

// The field a code names; nullopt when it names none. The code is read by
// character position: source 1-3, category 5-7, name from 9, so a code with
// letters outside ASCII is cut where a user sees it.
std::optional<SingleItemMemo::Field> resolve_field(const Definitions& definitions,
                                                   std::string_view code) {
  SingleItemMemo::Field f;
  f.source = definitions.datasource_find(text::left_chars(code, 3));
  if (!f.source) return std::nullopt;
  f.category = category_find(*f.source, text::mid_chars(code, 5, 3));
  if (!f.category) return std::nullopt;
  const std::string_view name = text::mid_chars(code, 9, std::string_view::npos);
  f.field = field_find(*f.category, name);
  if (!f.field) return std::nullopt;
  f.all = text::iequals(name, "ALL");
  return f;
}

}  // namespace

const SingleItemMemo::Field* SingleItemMemo::field(const Definitions& definitions,
                                                   std::string_view code) {
  if (m_definitions != &definitions || m_generation != definitions.generation()) {
    m_fields.clear();
    m_recent_fields.clear();
    m_requests.clear();
    m_last_request = nullptr;
    m_definitions = &definitions;
    m_generation = definitions.generation();
    return nullptr;
  }
  if (const Field* recent = m_recent_fields.find(code)) return recent;
  const auto it = m_fields.find(code);
  if (it == m_fields.end()) return nullptr;
  m_recent_fields.keep(it->first, &it->second);
  return &it->second;
}

const SingleItemMemo::Field* SingleItemMemo::keep_field(std::string_view code, const Field& field) {
  if (m_fields.size() >= kLimit) return nullptr;
  return &m_fields.insert_or_assign(std::string(code), field).first->second;
}

std::string_view SingleItemMemo::request_key(const Category* category, std::string_view inst) {
  m_key.assign(reinterpret_cast<const char*>(&category), sizeof category);
  m_key.append(inst);
  return m_key;
}

const SingleItemMemo::Request* SingleItemMemo::find_request(const Category* category,
                                                            std::string_view inst) {
  const auto it = m_requests.find(request_key(category, inst));
  if (it == m_requests.end()) return nullptr;
  remember(category, inst, &it->second);
  return &it->second;
}

void SingleItemMemo::remember(const Category* category, std::string_view inst,
                              const Request* request) {
  m_last_category = category;
  m_last_inst.assign(inst);
  m_last_request = request;
}

const SingleItemMemo::Request* SingleItemMemo::keep_request(const Category* category,
                                                            std::string_view inst,
                                                            Request&& request) {
  if (m_requests.size() >= kLimit) return nullptr;
  const Request* kept =
      &m_requests.insert_or_assign(std::string(request_key(category, inst)), std::move(request))
           .first->second;
  remember(category, inst, kept);
  return kept;
}

namespace {

// The answer of a single item's call once its field and request are known:
// the request made (or found again), the calling cell registered with it,
// and the value, or the status text while it is being fetched.
Value single_answer(SingleItemContext& ctx, const SingleItemMemo::Field& f,
                    const SingleItemMemo::Request& q, const Value& fcaller) {
  RequestRegistry& registry = ctx.registry;
  RequestTable& table = registry.requests();
  // The number found before stands, unchecked, while the registry has
  // forgotten no request since (nor been reset).
  if (q.numbering != registry.numbering()) {
    const datarequest* known = table.contains(q.number) ? &table.at(q.number) : nullptr;
    if (!known || known->forgotten || known->url != q.url) {
      q.number = ctx.dispatch.request_add(q.url, RequestType::SingleItem, f.source->code,
                                          f.category->code, q.updatefrq, "", true);
    }
    q.numbering = registry.numbering();
  }
  const std::int32_t r = q.number;
  // Registered even while answers are being shown: a cell evaluated then
  // may read another call's new value and so ask for a request of its own.
  if (!registry.request_register_cell(r, fcaller)) {
    return Value(ErrorCode::Value);  // no calling cell
  }
  // The record, found once (registering added none: it stays where it is).
  const datarequest& request = table.at(r);
  const RequestStatus status = request.status;
  if (status != RequestStatus::Loaded && status != RequestStatus::Sent) {
    return registry.waiting_value(request, fcaller);
  }
  if (f.all) return Value();
  std::optional<Value> value = request_value(request, *f.field, q.params);
  return value ? std::move(*value) : Value(ErrorCode::Value);
}

// single_answer for a request the memo does not hold (options given, the
// first call for an instrument): its parameters and address worked out,
// and kept when it can be. Apart, so the calls the memo answers do not
// set up its room.
[[gnu::noinline]] Value built_answer(SingleItemContext& ctx, const SingleItemMemo::Field& f,
                                     std::string_view inst, const Value& options, bool plain,
                                     const Value& fcaller) {
  std::vector<Value> option_list;
  clsparse().options2array(options, option_list);
  auto params = parameters_choose(*f.category, inst, option_list);
  const auto updatefrq = f.category->updatefrq_value();
  if (!params || !updatefrq || !f.category->url) return Value(ErrorCode::Value);
  std::string url = query_build(*f.category->url, params->names, params->urlkeys, params->values);
  SingleItemMemo::Request built{std::move(*params), *updatefrq, std::move(url)};
  const SingleItemMemo::Request* kept =
      ctx.memo && plain ? ctx.memo->keep_request(f.category, inst, std::move(built)) : nullptr;
  return single_answer(ctx, f, kept ? *kept : built, fcaller);
}

}  // namespace

namespace {

// fsingle once its instrument and field code are read as texts.
Value fsingle_texts(SingleItemContext& ctx, std::string_view inst, std::string_view field_text,
                    const Value& options, const Value& fcaller) {
  if (inst.empty() || field_text.empty()) return Value();

  const SingleItemMemo::Field* found =
      ctx.memo ? ctx.memo->field(ctx.definitions, field_text) : nullptr;
  std::optional<SingleItemMemo::Field> resolved;
  if (!found) {
    // A code of blanks names no field: it says so rather than showing nothing.
    const std::string_view code = text::trim(field_text);
    if (code.empty()) return Value(kInvalidField);
    resolved = resolve_field(ctx.definitions, code);
    if (!resolved) return Value(kInvalidField);
    found = ctx.memo ? ctx.memo->keep_field(field_text, *resolved) : nullptr;
    if (!found) found = &*resolved;
  }
  const SingleItemMemo::Field& f = *found;

  // Without options the parameters and the address depend on the category
  // and the instrument alone.
  const bool plain = options.type() == ValueType::Missing;
  const SingleItemMemo::Request* asked =
      ctx.memo && plain ? ctx.memo->request(f.category, inst) : nullptr;
  if (asked) return single_answer(ctx, f, *asked, fcaller);
  return built_answer(ctx, f, inst, options, plain, fcaller);
}

}  // namespace

Value fsingle(SingleItemContext& ctx, const Value& inst_value, const Value& field_value,
              const Value& options, const Value& fcaller) {
  // Both written as texts, as they nearly always are: read in place.
  if (inst_value.is_text() && field_value.is_text()) {
    return fsingle_texts(ctx, inst_value.text(), field_value.text(), options, fcaller);
  }
  std::string inst_storage, field_storage;
  // Several instruments or codes where the function takes one, or an error
  // value: no request is made, and the cell shows the error rather than an
  // empty value or a status.
  Value error;
  const std::optional<std::string_view> inst_arg = argument_view(inst_value, inst_storage, error);
  if (!inst_arg) return error;
  const std::optional<std::string_view> field_arg =
      argument_view(field_value, field_storage, error);
  if (!field_arg) return error;
  return fsingle_texts(ctx, *inst_arg, *field_arg, options, fcaller);
}

}  // namespace quillo
