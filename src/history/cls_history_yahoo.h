// cls_history_yahoo: the price-history answer's check and the writing of its
// table into every area waiting for the request, each at its own place and
// with its own columns and options, after clearing the block that area
// wrote last time.
//
// Loop thread only, called from the completion of a history request. While
// it writes, the application calculates manually and the add-in's
// `calculating` flag is set, so the writes re-enter no worksheet function;
// the saved calculation mode comes back at the end, and dependent formulas
// (indicators over the table) then calculate. A step that fails (a workbook
// that closed, a sheet that is gone) is skipped; one broken area does not
// stop the others. Nothing is ever written above or left of a formula cell,
// nor into it, nor over any formula: a table with a formula in its way is
// not written and the area says which cell blocks it. Where each table
// lies is recorded with the workbook (host/output_blocks.h), so the next
// answer, in this session or a later one, clears exactly that block.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "history/areas.h"
#include "host/application.h"

namespace quillo::history {

class cls_history_yahoo {
 public:
  // A function run through while_calculating runs with the add-in's
  // `calculating` flag set, which is restored afterwards.
  using WhileCalculating = std::function<void(const std::function<void()>&)>;
  cls_history_yahoo(host::Application& app, AreaTable& areas, WhileCalculating while_calculating)
      : m_app(app), m_areas(areas), m_while_calculating(std::move(while_calculating)) {}

  // False when the answer is the service's symbol look-up page (the
  // instrument id is unknown).
  static bool datavalidate(std::string_view response);
  // Why an answer is no price table (an error page, an empty body, no
  // header line naming the service's columns); empty when it is one.
  static std::string tablecheck(std::string_view response);
  // Writes the table of the answer into every area of request reqno and
  // releases them. The response is consumed: it is left holding the text
  // after its last line feed.
  void fieldparse(std::string& response, std::int32_t reqno);
  // Releases the areas of a request that ended without a table.
  void clear_areas(std::int32_t reqno);
  bool get_progress() const { return m_busy; }

 private:
  void write_area(Area& area, std::string_view csv);

  host::Application& m_app;
  AreaTable& m_areas;
  WhileCalculating m_while_calculating;
  bool m_busy = false;
};

}  // namespace quillo::history
