#include "requests/core.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace quillo {

namespace {

// One row per method the function library calls: its name, how many
// arguments it takes, and the member that answers it. The arguments arrive
// in the library's declared order; a short list (a library file of another
// version) is padded with missing arguments before the member sees it.
struct CoreMethod {
  std::string_view name;
  std::size_t arguments;
  Value (*call)(core& self, host::AddInArgs a);
};

// An indicator method: its arguments go to the indicator frame as they are.
template <indicators::Kind K>
Value call_indicator(core& self, host::AddInArgs a) {
  return self.indicator(K, a.copied());
}

constexpr std::array kCoreMethods{
    CoreMethod{
        "i_fsingle", 4,
        [](core& self, host::AddInArgs a) { return self.i_fsingle(a[0], a[1], a[2], a[3]); }},
    CoreMethod{"i_history_data", 8,
               [](core& self, host::AddInArgs a) {
                 return self.i_history_data(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
               }},
    CoreMethod{"i_wlink", 2,
               [](core& self, host::AddInArgs a) { return self.i_wlink(a[0], a[1]); }},
    CoreMethod{"i_sma", 3, &call_indicator<indicators::Kind::Sma>},
    CoreMethod{"i_wma", 3, &call_indicator<indicators::Kind::Wma>},
    CoreMethod{"i_ema", 3, &call_indicator<indicators::Kind::Ema>},
    CoreMethod{"i_rsi", 3, &call_indicator<indicators::Kind::Rsi>},
    CoreMethod{"i_macd", 5, &call_indicator<indicators::Kind::Macd>},
    CoreMethod{"i_sto_fast", 4, &call_indicator<indicators::Kind::StoFast>},
    CoreMethod{"i_sto_slow", 5, &call_indicator<indicators::Kind::StoSlow>},
    CoreMethod{"i_bollinger", 4, &call_indicator<indicators::Kind::Bollinger>},
    CoreMethod{"i_pricechannel", 3, &call_indicator<indicators::Kind::Pricechannel>},
    CoreMethod{"i_momentum", 3, &call_indicator<indicators::Kind::Momentum>},
    CoreMethod{"i_roc", 3, &call_indicator<indicators::Kind::Roc>},
    CoreMethod{"i_money_flow", 3, &call_indicator<indicators::Kind::MoneyFlow>},
    CoreMethod{"i_osc", 4, &call_indicator<indicators::Kind::Osc>},
    CoreMethod{"i_w_close", 3, &call_indicator<indicators::Kind::WClose>},
    CoreMethod{"i_vol_ctc", 3, &call_indicator<indicators::Kind::VolCtc>},
    CoreMethod{"i_beta", 4, &call_indicator<indicators::Kind::Beta>},
};

// The most arguments a method takes.
constexpr std::size_t kMostArguments = [] {
  std::size_t most = 0;
  for (const CoreMethod& m : kCoreMethods) most = std::max(most, m.arguments);
  return most;
}();

}  // namespace

void core::register_methods(host::AddInMethods& methods) {
  for (const CoreMethod& m : kCoreMethods) {
    methods.add(m.name, [this, &m](host::AddInArgs a) {
      std::array<const Value*, kMostArguments> padded;
      if (a.size() < m.arguments) {
        std::copy(a.items().begin(), a.items().end(), padded.begin());
        std::fill(padded.begin() + static_cast<std::ptrdiff_t>(a.size()),
                  padded.begin() + static_cast<std::ptrdiff_t>(m.arguments),
                  &host::kMissingArgument);
        a = host::AddInArgs(std::span<const Value* const>(padded.data(), m.arguments));
      }
      // What the registry registered last belongs to an earlier call.
      m_ctx.registry.forget_registered();
      Value answer = m.call(*this, a);
      if (m_observer) m_observer(m.name, a);
      return answer;
    });
  }
}

void core::unregister_methods(host::AddInMethods& methods) {
  for (const CoreMethod& m : kCoreMethods) methods.remove(m.name);
}

}  // namespace quillo
