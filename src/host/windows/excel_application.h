// ExcelApplication: the spreadsheet host as the engine sees it
// (host::Application), over the host's Application IDispatch, calling its
// members by name with the object model's constants. Workbooks, sheets,
// ranges and add-ins are thin wrappers (excel_objects.h); the menu is built
// in a local CommandBars model and mirrored into the host's command bars by
// sync_menu. Host's user-interface thread only.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/application.h"
#include "host/windows/excel_dispatch.h"
#include "host/windows/excel_events.h"
#include "host/windows/excel_objects.h"

namespace quillo::host::win {

class ExcelApplication final : public Application {
 public:
  explicit ExcelApplication(IDispatch* application);  // AddRef's it
  ~ExcelApplication() override;                       // releases every host object it holds
  ExcelApplication(const ExcelApplication&) = delete;
  ExcelApplication& operator=(const ExcelApplication&) = delete;

  Workbooks& workbooks() override { return m_workbooks; }
  Result<WorkbookPtr> active_workbook() const override;
  Result<WorksheetPtr> active_sheet() const override;
  AddIns& add_ins() override { return m_add_ins; }
  AddInMethods& add_in_methods() override { return m_methods; }
  CommandBars& command_bars() override { return m_bars; }
  WorksheetFunctions& worksheet_functions() override { return m_functions; }

  // The host's setting; Automatic when the host cannot be asked.
  Calculation calculation() const override;
  Status set_calculation(Calculation mode) override;
  Status calculate() override;

  // The switches answer true when the host cannot be asked (its defaults).
  bool screen_updating() const override;
  void set_screen_updating(bool on) override;
  bool display_alerts() const override;
  void set_display_alerts(bool on) override;
  bool ask_to_update_links() const override;
  void set_ask_to_update_links(bool on) override;

  // Handlers run for the host's WorkbookOpen event; the event sink is
  // advised with the first handler.
  HandlerId on_workbook_open(WorkbookOpenHandler handler) override;
  void remove_handler(HandlerId id) override;

  // Mirrors the custom controls of command_bars() into the host's bars:
  // creates, updates (caption, enabled, begin group, tag) and deletes them,
  // placed where they sit in the local model (before Help), Temporary:=True,
  // with a click sink on each button that runs the local control's click()
  // and then mirrors the menu again. Called after connection, after each
  // click and after disconnection (which deletes them all).
  Status sync_menu();
  // A host Range from a Range IDispatch (for worksheet function arguments and callers).
  RangePtr wrap_range(IDispatch* range);
  // The IDispatch behind one of our Range wrappers (AddRef'd), or null.
  static IDispatch* dispatch_of(const Range& range);

 private:
  // A custom control mirrored into the host, with what was last written to it.
  struct Mirror {
    std::weak_ptr<CommandBarControl> local;
    const CommandBarControl* key = nullptr;
    Dispatch host;
    std::unique_ptr<Connection> click;
    std::string caption;
    std::string tag;
    bool enabled = true;
    bool begin_group = false;
    std::vector<Mirror> children;
  };

  bool get_switch(std::string_view name) const;
  void raise_workbook_open(const DISPPARAMS& params);
  Status sync_level(CommandBarControls& locals, IDispatch* host_controls,
                    std::vector<Mirror>& mirrors);
  Status create_mirror(CommandBarControls& locals, std::int32_t position, IDispatch* host_controls,
                       const std::vector<Mirror>& mirrors, Mirror& out);
  Status update_mirror(CommandBarControl& local, Mirror& mirror, bool force);
  void on_click(const std::weak_ptr<CommandBarControl>& local);

  Dispatch m_app;
  SessionPtr m_session;
  ExcelWorkbooks m_workbooks;
  ExcelAddIns m_add_ins;
  ExcelFunctions m_functions;
  AddInMethods m_methods;
  CommandBars m_bars;
  std::unique_ptr<Connection> m_app_events;
  HandlerId m_next_handler = 1;
  std::map<HandlerId, WorkbookOpenHandler> m_open_handlers;
  std::map<std::string, std::vector<Mirror>> m_menu;  // by bar name
  bool m_syncing = false;
};

}  // namespace quillo::host::win
