#include "libreoffice/function_info.h"

#include "common/text.h"

namespace quillo::lo {

namespace {

constexpr ArgumentInfo kTable{"hst_table", "A price-history table (as FHISTORY writes it)"};
constexpr ArgumentInfo kPeriods{"periods", "The number of periods"};

}  // namespace

const std::array<FunctionInfo, 19> kFunctions{{
    {"fsingle",
     "FSINGLE",
     "A single data item of an instrument (a quote, a figure), kept up to date",
     {{{"inst", "The instrument: its symbol or identifier"},
       {"field", "The field code, for example SMP.QUO.LAST"},
       {"options", "Options (optional)"}}},
     3},
    {"fhistory",
     "FHISTORY",
     "A price history written below the formula, kept up to date",
     {{{"instrument_id", "The instrument: its symbol or identifier"},
       {"source", "The history's source"},
       {"field", "The field or fields of the table"},
       {"start_date", "The first date"},
       {"end_date", "The last date"},
       {"datesampling", "Daily, weekly or monthly (optional)"},
       {"options", "Options (optional)"}}},
     7},
    {"wlink",
     "WLINK",
     "The value of a web link created with quillo",
     {{{"name", "The web link's name"}}},
     1},
    {"sma", "SMA", "Simple moving average, written beside the formula", {{kTable, kPeriods}}, 2},
    {"wma", "WMA", "Weighted moving average, written beside the formula", {{kTable, kPeriods}}, 2},
    {"ema",
     "EMA",
     "Exponential moving average, written beside the formula",
     {{kTable, kPeriods}},
     2},
    {"rsi", "RSI", "Relative strength index, written beside the formula", {{kTable, kPeriods}}, 2},
    {"macd",
     "MACD",
     "Moving average convergence/divergence, written beside the formula",
     {{kTable,
       {"short_periods", "Periods of the short average"},
       {"long_periods", "Periods of the long average"},
       {"signal_periods", "Periods of the signal line"}}},
     4},
    {"sto_fast",
     "STO_FAST",
     "Fast stochastic, written beside the formula",
     {{kTable, {"k_periods", "Periods of %K"}, {"d_periods", "Periods of %D"}}},
     3},
    {"sto_slow",
     "STO_SLOW",
     "Slow stochastic, written beside the formula",
     {{kTable,
       {"k_periods", "Periods of %K"},
       {"k_avg_periods", "Periods averaging %K"},
       {"d_periods", "Periods of %D"}}},
     4},
    {"bollinger",
     "BOLLINGER",
     "Bollinger bands, written beside the formula",
     {{kTable, kPeriods, {"deviation", "The bands' width in standard deviations"}}},
     3},
    {"pricechannel",
     "PRICECHANNEL",
     "Price channel, written beside the formula",
     {{kTable, kPeriods}},
     2},
    {"momentum", "MOMENTUM", "Momentum, written beside the formula", {{kTable, kPeriods}}, 2},
    {"roc", "ROC", "Rate of change, written beside the formula", {{kTable, kPeriods}}, 2},
    {"money_flow",
     "MONEY_FLOW",
     "Money flow index, written beside the formula",
     {{kTable, kPeriods}},
     2},
    {"osc",
     "OSC",
     "Price oscillator, written beside the formula",
     {{kTable,
       {"short_periods", "Periods of the short average"},
       {"long_periods", "Periods of the long average"}}},
     3},
    {"w_close",
     "W_CLOSE",
     "Weighted close, written beside the formula",
     {{kTable, {"weight", "The close's weight"}}},
     2},
    {"vol_ctc",
     "VOL_CTC",
     "Close-to-close volatility, written beside the formula",
     {{kTable, kPeriods}},
     2},
    {"beta",
     "BETA",
     "Beta of a stock against an index, written beside the formula",
     {{{"hst_table_index", "The index's price-history table"},
       {"hst_table_stock", "The stock's price-history table"},
       kPeriods}},
     3},
}};

const FunctionInfo* find_function(std::string_view name) {
  for (const FunctionInfo& f : kFunctions) {
    if (text::iequals(f.programmatic, name) || text::iequals(f.function, name)) return &f;
  }
  return nullptr;
}

}  // namespace quillo::lo
