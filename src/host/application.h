// Application: the spreadsheet host as the engine sees it - its workbooks,
// add-ins, menus, calculation and the switches the engine flips (screen
// updating, alerts, asking to update links). The engine is handed one
// Application and reaches everything else through it; nothing is global.
//
// Event-loop thread only. Operations that write cells or change calculation
// may evaluate formulas, and so worksheet functions, before they return.
#pragma once

#include <cstdint>
#include <functional>

#include "common/status.h"
#include "host/add_ins.h"
#include "host/command_bars.h"
#include "host/worksheet.h"
#include "host/worksheet_functions.h"

namespace quillo::host {

// Calculation modes, numbered as the object model numbers them.
enum class Calculation : std::int32_t { Automatic = -4105, Manual = -4135, SemiAutomatic = 2 };

using WorkbookOpenHandler = std::function<void(const WorkbookPtr&)>;
using HandlerId = std::uint64_t;

class Application {
 public:
  virtual ~Application() = default;

  virtual Workbooks& workbooks() = 0;
  virtual Result<WorkbookPtr> active_workbook() const = 0;
  virtual Result<WorksheetPtr> active_sheet() const = 0;

  virtual AddIns& add_ins() = 0;
  // Where the engine registers the methods behind add-in functions.
  virtual AddInMethods& add_in_methods() = 0;
  virtual CommandBars& command_bars() = 0;
  virtual WorksheetFunctions& worksheet_functions() = 0;

  virtual Calculation calculation() const = 0;
  // Switching to automatic recalculates every dirty formula.
  virtual Status set_calculation(Calculation mode) = 0;
  // Evaluates every dirty formula of every open workbook.
  virtual Status calculate() = 0;

  virtual bool screen_updating() const = 0;
  virtual void set_screen_updating(bool on) = 0;
  virtual bool display_alerts() const = 0;
  virtual void set_display_alerts(bool on) = 0;
  virtual bool ask_to_update_links() const = 0;
  virtual void set_ask_to_update_links(bool on) = 0;

  // The workbook-open event: raised after a workbook file has been opened.
  virtual HandlerId on_workbook_open(WorkbookOpenHandler handler) = 0;
  virtual void remove_handler(HandlerId id) = 0;
};

}  // namespace quillo::host
