// core: the engine object behind the function library's worksheet
// functions. Each library function forwards to one of its methods (see
// data/tarnvale.xla); register_methods makes them callable from formulas.
// Every core object works on the one add-in state it is given.
// Loop thread only.
#pragma once

#include <functional>
#include <string_view>
#include <vector>

#include "host/add_ins.h"
#include "indicators/indicator_frame.h"
#include "requests/cls_weblinkroutines.h"
#include "requests/fhistory.h"
#include "requests/fsingle.h"

namespace quillo {

class core {
 public:
  core(SingleItemContext& ctx, HistoryContext& history, indicators::IndicatorFrame& ta,
       cls_weblinkroutines& weblinks)
      : m_ctx(ctx), m_history(history), m_ta(ta), m_weblinks(weblinks) {}

  // The single data item of inst and field, with optional options, for the calling cell.
  Value i_fsingle(const Value& inst, const Value& field, const Value& options,
                  const Value& fcaller) {
    return fsingle(m_ctx, inst, field, options, fcaller);
  }

  // The price-history table of an instrument between two dates, written
  // beside the calling cell when the answer arrives.
  Value i_history_data(const Value& instrument_id, const Value& source, const Value& field,
                       const Value& start_date, const Value& end_date, const Value& datesampling,
                       const Value& options, const Value& fcaller) {
    return history_data(m_history, instrument_id, source, field, start_date, end_date, datesampling,
                        options, fcaller);
  }

  // The value of the calling workbook's web link called name.
  Value i_wlink(const Value& name, const Value& fcaller) { return m_weblinks.wlink(name, fcaller); }

  // The indicator of this kind over the arguments in the library's order,
  // the calling cell last (i_sma ... i_beta).
  Value indicator(indicators::Kind kind, const std::vector<Value>& args) {
    return m_ta.call(kind, args);
  }

  // Told of every call after it was answered: the method's name and its
  // arguments, the calling cell last (the record of where values came from).
  using CallObserver = std::function<void(std::string_view, host::AddInArgs)>;
  void set_call_observer(CallObserver observer) { m_observer = std::move(observer); }

  // Registers the methods above under their names.
  void register_methods(host::AddInMethods& methods);
  // Removes them again (library functions then answer #NAME?).
  static void unregister_methods(host::AddInMethods& methods);

 private:
  SingleItemContext& m_ctx;
  HistoryContext& m_history;
  indicators::IndicatorFrame& m_ta;
  cls_weblinkroutines& m_weblinks;
  CallObserver m_observer;
};

}  // namespace quillo
