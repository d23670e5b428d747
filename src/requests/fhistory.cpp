#include "requests/fhistory.h"

#include <cmath>

#include "common/dates.h"
#include "common/text.h"
#include "host/output_blocks.h"
#include "host/range.h"
#include "host/worksheet.h"
#include "parse/clsparse.h"

namespace quillo {

namespace {

constexpr std::string_view kNotDates = "start_date and end_date must be dates";

// Characters that would end the value or change the query are escaped, so
// an odd instrument id cannot add parameters of its own.
std::string query_escape(std::string_view s) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7f || ch == '&' || ch == '#' || ch == '%' || ch == '+' || ch == '?') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

// A date argument as a serial; nullopt for something that is no date.
std::optional<double> date_of(const Value& v) {
  if (v.is_number()) return v.number();
  if (!v.is_text()) return std::nullopt;
  if (const auto iso = parse_iso_date(text::trim(v.text()))) return iso;
  return text::locale_number(v.text());
}

std::string joined(const std::vector<Value>& options) {
  std::string s;
  for (const Value& v : options) s += v.to_text() + " ";
  return s;
}

}  // namespace

std::string history_url(std::string_view service, std::string_view instrument, double start_date,
                        double end_date, std::string_view sampling) {
  const CivilDate a = civil_from_serial(start_date);
  const CivilDate b = civil_from_serial(end_date);
  return std::string(service) + "/table.csv?s=" + query_escape(instrument) +
         "&a=" + std::to_string(a.month - 1) + "&b=" + std::to_string(a.day) +
         "&c=" + std::to_string(a.year) + "&d=" + std::to_string(b.month - 1) +
         "&e=" + std::to_string(b.day) + "&f=" + std::to_string(b.year) +
         "&g=" + query_escape(text::lower(sampling)) + "&ignore=.csv";
}

std::size_t area_register(HistoryContext& ctx, const host::Range& fcaller, std::int32_t reqno,
                          const std::string& instrument, const std::string& sampling,
                          double start_date, double end_date, const std::string& fields,
                          const std::vector<Value>& options) {
  const auto sheet = fcaller.worksheet();
  const auto formula = fcaller.formula();
  const std::string key = cellkey(fcaller);
  if (!sheet.ok() || !formula.ok() || key.empty()) return 0;
  const std::size_t index = ctx.areas.area_find_or_add(key);
  history::Area& a = ctx.areas.at(index);
  const bool changed = a.reqno == 0 || a.formula != *formula || a.instrument != instrument ||
                       a.source_kind != 2 || a.sampling != sampling || a.start_date != start_date ||
                       a.end_date != end_date || a.fields != fields ||
                       joined(a.options) != joined(options);
  if (!changed) return index;
  const auto book = (*sheet)->workbook();
  a.workbook = book.ok() ? (*book)->name().value_or(std::string()) : std::string();
  a.sheet = (*sheet)->name().value_or(std::string());
  a.row = fcaller.row().value_or(0);
  a.col = fcaller.column().value_or(0);
  a.formula = *formula;
  a.reqno = reqno;
  a.kind = 10;
  a.anchor = fcaller.cell(1, 1).value_or(nullptr);
  a.instrument = instrument;
  a.source_kind = 2;
  a.sampling = sampling;
  a.start_date = start_date;
  a.end_date = end_date;
  a.fields = fields;
  a.options = options;
  a.pending = true;
  ctx.areas.areas_dirty = true;
  return index;
}

Value history_data(HistoryContext& ctx, const Value& instrument_id, const Value& source_value,
                   const Value& field_value, const Value& start_value, const Value& end_value,
                   const Value& datesampling, const Value& options, const Value& fcaller) {
  // Each argument but the options takes one value; a cell reference is
  // read through its one cell. Several values where one is taken (a range
  // of several cells, an array) make no request and show #VALUE!; an error
  // value makes none either and shows that error.
  std::optional<Value> one[6];
  const Value* given[6] = {&instrument_id, &source_value, &start_value,
                           &end_value,     &field_value,  &datesampling};
  for (int i = 0; i < 6; ++i) {
    one[i] = host::single_value(*given[i]);
    if (!one[i]) return Value(ErrorCode::Value);
    if (one[i]->is_error()) return *one[i];
  }
  const Value &inst = *one[0], &source = *one[1], &start_arg = *one[2], &end_arg = *one[3];
  for (const Value* v : {&inst, &source, &start_arg, &end_arg}) {
    if (v->type() == ValueType::Missing) return Value(std::string());
  }
  if (start_arg.is_empty() || end_arg.is_empty()) return Value();
  auto start = date_of(start_arg), end = date_of(end_arg);
  if (!start || !end || !std::isfinite(*start) || !std::isfinite(*end)) {
    return Value(kNotDates);
  }
  // Serial 2 is 1 January 1900; a date past 9999 is no calendar day.
  if (*start < 2 || *end < 2) return Value();
  if (*start > 2958465 || *end > 2958465) return Value(kNotDates);
  *start = std::floor(*start);
  *end = std::floor(*end);
  if (*end < *start) std::swap(*start, *end);
  const std::string source_name = text::upper(source.to_text());
  if (source_name != "YAHOO" && source_name != "Y")
    return Value(status_message(StatusText::InvalidSource));
  const std::string field = one[4]->to_text();
  std::string id = inst.to_text();
  if (field.empty() || id.empty()) return Value(std::string());
  const Value& sampling_arg = *one[5];
  std::string sampling = sampling_arg.type() == ValueType::Missing ? "" : sampling_arg.to_text();
  if (sampling.empty()) sampling = "D";
  id = text::upper(id);
  if (ctx.service.empty()) return Value(kNoHistoryService);

  const std::string url = history_url(ctx.service, id, *start, *end, sampling);
  const std::int32_t r =
      ctx.dispatch.request_add(url, RequestType::History, "yah", "", 0, "", false);
  // Registered even while answers are being shown: a cell evaluated then
  // may read another call's new value and so ask for a request of its own.
  if (!ctx.registry.request_register_cell(r, fcaller)) {
    return Value(ErrorCode::Value);  // no calling cell
  }
  const host::Range* caller = host::as_range(fcaller);
  if (!caller) return Value(ErrorCode::Value);
  std::vector<Value> option_list;
  clsparse().options2array(options, option_list);
  const std::size_t a =
      area_register(ctx, *caller, r, id, sampling, *start, *end, field, option_list);
  if (a == 0) return Value(ErrorCode::Value);
  auto& inputs = ctx.areas.at(a).inputs;
  inputs.clear();
  for (const Value* arg : {&instrument_id, &source_value, &field_value, &start_value, &end_value,
                           &datesampling, &options}) {
    if (const auto b = host::input_block(*arg, *caller)) inputs.push_back(*b);
  }
  if (ctx.areas.at(a).pending) {
    ctx.dispatch.request_send(r);
    const RequestStatus sent = ctx.registry.requests().at(r).status;
    if (sent == RequestStatus::Sent || sent == RequestStatus::Loading) {
      // A front end that keeps what cells held while no answer came (the
      // command line keeps a file's values) shows that until the table is
      // written, so a run that ends first does not save "Updating...".
      if (auto kept = ctx.registry.kept_figure(fcaller, r)) return *kept;
      return Value(status_message(StatusText::Updating));
    }
    // Nothing went out: the request failed for good (an unknown
    // instrument) or could not be sent. Waiting would show "Updating..."
    // for ever, so the area is released and the status shows.
    ctx.areas.at(a).pending = false;
  }
  const RequestStatus status = ctx.registry.requests().at(r).status;
  if (status == RequestStatus::Loaded || status == RequestStatus::Sent) {
    // A table blocked by a formula, or cut at the sheet's edge, says so.
    if (!ctx.areas.at(a).problem.empty()) return Value(ctx.areas.at(a).problem);
    return Value(status_message(StatusText::DataLoaded));
  }
  return Value(ctx.registry.request_statustext(r));
}

}  // namespace quillo
