// Workplace: what the assistants work on - the spreadsheet host, the
// engine's facade (definitions, sending searches), the message sink and the
// active cell - plus the small helpers they share for writing blocks.
//
// Event-loop thread only. Every write helper checks first that the whole
// block fits on the sheet, so a block is written whole or not at all.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/dates.h"
#include "host/application.h"
#include "host/messages.h"
#include "requests/engine_facade.h"

namespace quillo::assistants {

struct Workplace {
  host::Application& app;
  EngineFacade& engine;
  host::MessageSink& messages;
  // The cell the assistants write at; unset: A1 of the active sheet.
  std::function<Result<host::RangePtr>()> active_cell;
  // Today's date; unset: the machine's local date.
  std::function<CivilDate()> today;

  Result<host::RangePtr> cell() const;
  CivilDate date_today() const;
  void message(std::string_view text, std::string_view title) const {
    messages.message_box(text, title, host::MessageIcon::Exclamation);
  }
};

// The active cell's sheet, row and column.
struct Anchor {
  host::WorksheetPtr sheet;
  std::int32_t row = 0;
  std::int32_t col = 0;
};
Result<Anchor> anchor_of(const Workplace& place);

// True when the cells rows x cols from (row, col) all lie on the sheet.
bool block_fits(const Anchor& at, std::int32_t rows, std::int32_t cols);

// Sets manual calculation for its lifetime and restores the mode after.
class ManualCalculation {
 public:
  explicit ManualCalculation(host::Application& app) : m_app(app), m_mode(app.calculation()) {
    (void)m_app.set_calculation(host::Calculation::Manual);
  }
  ~ManualCalculation() { (void)m_app.set_calculation(m_mode); }
  ManualCalculation(const ManualCalculation&) = delete;
  ManualCalculation& operator=(const ManualCalculation&) = delete;

 private:
  host::Application& m_app;
  host::Calculation m_mode;
};

// Splits an instrument box: ";" counts as ",", blanks around an id are
// dropped, and empty parts (a trailing or doubled separator) are skipped.
std::vector<std::string> split_ids(std::string_view text);

// Whether a block of rows x cols cells from the anchor holds a cell of an
// array formula: such a cell cannot be written alone, and a block written
// round it would be written in part.
bool block_holds_array(const Anchor& at, std::int32_t rows, std::int32_t cols);

// Writes a value (texts exactly as given, never converted) or an R1C1
// formula into one cell;
// failures of the host are ignored, as the assistants ignore them.
void put_value(const Anchor& at, std::int32_t row, std::int32_t col, const Value& v);
Status put_formula_r1c1(const Anchor& at, std::int32_t row, std::int32_t col,
                        std::string_view formula);

}  // namespace quillo::assistants
