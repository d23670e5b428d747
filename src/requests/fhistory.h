// The price-history function: asks the history service for a table of
// daily, weekly or monthly prices of one instrument between two dates; the
// table is written below and beside the formula cell when the answer
// arrives (cls_history_yahoo), and the formula cell itself shows a status
// ("Updating...", "Data loaded." or an error text).
//
// Each formula cell has an area: it remembers what the formula asked for,
// so recalculating an unchanged formula sends nothing, and changed fields
// or options draw the table again from a fresh answer.
//
// Loop thread only; answers values, never throws.
#pragma once

#include <string>

#include "common/value.h"
#include "history/areas.h"
#include "host/application.h"
#include "requests/dispatch.h"
#include "requests/registry.h"

namespace quillo {

// What a history formula shows while no service address is set.
inline constexpr std::string_view kNoHistoryService =
    "No price-history service is set: quillo settings set history_service URL";

struct HistoryContext {
  RequestRegistry& registry;
  RequestDispatch& dispatch;
  history::AreaTable& areas;
  host::Application& app;
  // Scheme and host of the history service ("http://127.0.0.1:8080");
  // empty while none is set.
  std::string service;
};

// The CSV endpoint's URL for an instrument (already upper-cased), the
// ordered dates and a sampling ("d", "w", "m").
std::string history_url(std::string_view service, std::string_view instrument, double start_date,
                        double end_date, std::string_view sampling);

// The formula cell's area for the request, marked pending when anything
// the formula asks for differs from what it held.
std::size_t area_register(HistoryContext& ctx, const host::Range& fcaller, std::int32_t reqno,
                          const std::string& instrument, const std::string& sampling,
                          double start_date, double end_date, const std::string& fields,
                          const std::vector<Value>& options);

Value history_data(HistoryContext& ctx, const Value& instrument_id, const Value& source,
                   const Value& field, const Value& start_date, const Value& end_date,
                   const Value& datesampling, const Value& options, const Value& fcaller);

}  // namespace quillo
