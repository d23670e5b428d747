// Application: the in-memory spreadsheet as the engine's host. It owns the
// model, the add-in catalog, the menu bars and the host switches, and hands
// out handles (see handles.h) that stay safe after what they name is gone.
//
// Opening workbook files is delegated to a loader that a file format
// installs (set_workbook_loader; use_xlsx_files in xlsx/workbook_files.h
// installs the xlsx one); without one, opening fails. Event-loop thread only.
#pragma once

#include <functional>
#include <map>
#include <memory>

#include "host/application.h"
#include "spreadsheet/add_in_catalog.h"
#include "spreadsheet/model.h"

namespace quillo::spreadsheet {

class Application;

// Reads a workbook file into a new workbook of app and answers it.
using WorkbookLoader =
    std::function<Result<host::WorkbookPtr>(Application& app, std::string_view path)>;

class Application final : public host::Application {
 public:
  struct Options {
    std::function<double()> clock;  // current date and time as a serial; local time when unset
  };

  Application();
  explicit Application(Options options);
  ~Application() override;

  host::Workbooks& workbooks() override;
  Result<host::WorkbookPtr> active_workbook() const override;
  Result<host::WorksheetPtr> active_sheet() const override;
  host::AddIns& add_ins() override;
  host::AddInMethods& add_in_methods() override { return m_methods; }
  host::CommandBars& command_bars() override { return m_command_bars; }
  host::WorksheetFunctions& worksheet_functions() override;

  host::Calculation calculation() const override { return m_model->calculation(); }
  Status set_calculation(host::Calculation mode) override;
  Status calculate() override;

  bool screen_updating() const override { return m_screen_updating; }
  void set_screen_updating(bool on) override { m_screen_updating = on; }
  bool display_alerts() const override { return m_display_alerts; }
  void set_display_alerts(bool on) override { m_display_alerts = on; }
  bool ask_to_update_links() const override { return m_ask_to_update_links; }
  void set_ask_to_update_links(bool on) override { m_ask_to_update_links = on; }

  host::HandlerId on_workbook_open(host::WorkbookOpenHandler handler) override;
  void remove_handler(host::HandlerId id) override;

  // ---- beyond the host interface ----
  Model& model() { return *m_model; }
  const std::shared_ptr<Model>& shared_model() const { return m_model; }
  void set_workbook_loader(WorkbookLoader loader) { m_loader = std::move(loader); }
  // The function libraries installed now (what formulas can call).
  const AddInCatalog& add_in_catalog() const { return m_catalog; }
  // Raises the workbook-open event (Workbooks::open does after loading).
  void raise_workbook_open(const host::WorkbookPtr& book);
  // Cells found on circular references, as "'Sheet'!$A$1" texts.
  std::vector<std::string> circular_references() const;

 private:
  class WorkbooksImpl;
  class AddInsImpl;
  class FunctionsImpl;
  friend class WorkbooksImpl;
  friend class AddInsImpl;

  std::shared_ptr<Model> m_model;
  host::AddInMethods m_methods;
  AddInCatalog m_catalog;
  host::CommandBars m_command_bars;
  std::unique_ptr<WorkbooksImpl> m_workbooks;
  std::unique_ptr<AddInsImpl> m_add_ins;
  std::unique_ptr<FunctionsImpl> m_functions;
  WorkbookLoader m_loader;
  bool m_screen_updating = true;
  bool m_display_alerts = true;
  bool m_ask_to_update_links = true;
  host::HandlerId m_next_handler = 1;
  std::map<host::HandlerId, host::WorkbookOpenHandler> m_open_handlers;
};

}  // namespace quillo::spreadsheet
