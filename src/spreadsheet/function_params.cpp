#include "spreadsheet/function_params.h"

#include <unordered_map>
#include <utility>

namespace quillo::spreadsheet {

namespace {

// The built-ins that take arguments as given but have parameters of one
// value. Names the table of built-ins does not hold are passed over.
constexpr std::pair<std::string_view, std::string_view> kKinds[] = {
    // Text
    {"CHAR", "s"},
    {"CLEAN", "s"},
    {"CODE", "s"},
    {"CONCATENATE", "s"},
    {"DOLLAR", "ss"},
    {"EXACT", "ss"},
    {"FIND", "sss"},
    {"FIXED", "sss"},
    {"LEFT", "ss"},
    {"LEN", "s"},
    {"LOWER", "s"},
    {"MID", "sss"},
    {"N", "s"},
    {"NUMBERVALUE", "sss"},
    {"PROPER", "s"},
    {"REPLACE", "ssss"},
    {"REPT", "ss"},
    {"RIGHT", "ss"},
    {"SEARCH", "sss"},
    {"SUBSTITUTE", "ssss"},
    {"T", "s"},
    {"TEXT", "ss"},
    {"TRIM", "s"},
    {"UNICHAR", "s"},
    {"UNICODE", "s"},
    {"UPPER", "s"},
    {"VALUE", "s"},
    {"ROMAN", "ss"},
    {"ARABIC", "s"},
    {"BASE", "sss"},
    {"DECIMAL", "ss"},
    {"BIN2DEC", "s"},
    {"BIN2HEX", "ss"},
    {"BIN2OCT", "ss"},
    {"DEC2BIN", "ss"},
    {"DEC2HEX", "ss"},
    {"DEC2OCT", "ss"},
    {"HEX2BIN", "ss"},
    {"HEX2DEC", "s"},
    {"HEX2OCT", "ss"},
    {"OCT2BIN", "ss"},
    {"OCT2DEC", "s"},
    {"OCT2HEX", "ss"},
    // Dates and times
    {"DATE", "sss"},
    {"DATEDIF", "sss"},
    {"DATEVALUE", "s"},
    {"DAY", "s"},
    {"DAYS", "ss"},
    {"DAYS360", "sss"},
    {"EDATE", "ss"},
    {"EOMONTH", "ss"},
    {"HOUR", "s"},
    {"ISOWEEKNUM", "s"},
    {"MINUTE", "s"},
    {"MONTH", "s"},
    {"NETWORKDAYS", "ssr"},
    {"NETWORKDAYS.INTL", "sssr"},
    {"SECOND", "s"},
    {"TIME", "sss"},
    {"TIMEVALUE", "s"},
    {"WEEKDAY", "ss"},
    {"WEEKNUM", "ss"},
    {"WORKDAY", "ssr"},
    {"WORKDAY.INTL", "sssr"},
    {"YEAR", "s"},
    {"YEARFRAC", "sss"},
    // Lookup: the value looked up and the column or row wanted; CHOOSE's
    // index (an array of indexes chooses item by item)
    {"CHOOSE", "sr"},
    // The reference functions' numbers and texts: an array of them answers
    // the cells' values item by item
    {"INDIRECT", "ss"},
    {"ADDRESS", "sssss"},
    {"OFFSET", "rssss"},
    {"HLOOKUP", "srss"},
    {"LOOKUP", "srr"},
    {"MATCH", "srs"},
    {"VLOOKUP", "srss"},
    {"XLOOKUP", "srrsss"},
    {"XMATCH", "srss"},
    // Conditional aggregates: the criteria
    {"AVERAGEIF", "rsr"},
    {"AVERAGEIFS", "r|rs"},
    {"COUNTIF", "rs"},
    {"COUNTIFS", "|rs"},
    {"MAXIFS", "r|rs"},
    {"MINIFS", "r|rs"},
    {"SUMIF", "rsr"},
    {"SUMIFS", "r|rs"},
    // Statistics of a range at one point: the k, the rank or the fraction
    {"LARGE", "rs"},
    {"PERCENTILE", "rs"},
    {"PERCENTILE.EXC", "rs"},
    {"PERCENTILE.INC", "rs"},
    {"PERCENTRANK", "rss"},
    {"PERCENTRANK.INC", "rss"},
    {"PERCENTRANK.EXC", "rss"},
    {"QUARTILE", "rs"},
    {"QUARTILE.EXC", "rs"},
    {"QUARTILE.INC", "rs"},
    {"RANK", "srs"},
    {"RANK.AVG", "srs"},
    {"RANK.EQ", "srs"},
    {"SMALL", "rs"},
    // Distributions and other functions of numbers
    {"BINOM.DIST", "ssss"},
    {"CHISQ.DIST", "sss"},
    {"CHISQ.INV", "ss"},
    {"EXPON.DIST", "sss"},
    {"GAMMA", "s"},
    {"GAMMALN", "s"},
    {"GAMMALN.PRECISE", "s"},
    {"LOGNORM.DIST", "ssss"},
    {"LOGNORM.INV", "sss"},
    {"NORM.DIST", "ssss"},
    {"NORM.INV", "sss"},
    {"NORM.S.DIST", "ss"},
    {"NORM.S.INV", "s"},
    {"NORMDIST", "ssss"},
    {"NORMINV", "sss"},
    {"NORMSDIST", "s"},
    {"NORMSINV", "s"},
    {"POISSON.DIST", "sss"},
    {"T.DIST", "sss"},
    {"T.DIST.2T", "ss"},
    {"T.DIST.RT", "ss"},
    {"T.INV", "ss"},
    {"T.INV.2T", "ss"},
};

}  // namespace

bool ParamKinds::scalar(std::size_t i) const {
  if (m_kinds.empty()) return false;
  const std::size_t bar = m_kinds.find('|');
  if (bar == std::string_view::npos) {
    return m_kinds[i < m_kinds.size() ? i : m_kinds.size() - 1] == 's';
  }
  if (i < bar) return m_kinds[i] == 's';
  const std::size_t cycle = m_kinds.size() - bar - 1;
  if (cycle == 0) return false;
  return m_kinds[bar + 1 + (i - bar) % cycle] == 's';
}

const ParamKinds* param_kinds(const FunctionDef& def) {
  static constexpr ParamKinds kAllScalar("s");
  if (def.mode == ArgMode::Elementwise) return &kAllScalar;
  if (def.mode == ArgMode::Lazy) return nullptr;
  static const std::unordered_map<const FunctionDef*, ParamKinds> table = [] {
    std::unordered_map<const FunctionDef*, ParamKinds> t;
    for (const auto& [name, kinds] : kKinds) {
      if (const FunctionDef* d = find_builtin(name)) t.emplace(d, ParamKinds(kinds));
    }
    return t;
  }();
  const auto it = table.find(&def);
  return it == table.end() ? nullptr : &it->second;
}

}  // namespace quillo::spreadsheet
