// Session: a headless spreadsheet with the add-in connected, as the host
// would load it - the loop, the libcurl transport, the registry store, the
// object factory with the add-in's classes, xlsx files for Workbooks::open
// and save - shared by the commands that fill workbooks (refresh, watch,
// demo).
//
// Loop thread only. Warnings and message boxes go to the error stream given
// in the options, each line starting with the command's name.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "addin/Connectexcel.h"
#include "addin/modRegistry.h"
#include "host/browser.h"
#include "host/event_loop.h"
#include "host/messages.h"
#include "host/posix/poll_loop.h"
#include "host/posix/xdg_open_browser.h"
#include "host/process.h"
#include "http/curl_transport.h"
#include "requests/engine_facade.h"
#include "spreadsheet/application.h"

namespace quillo::cli {

// The program's own file, and the data folder that ships with it.
std::string own_module_path();
std::string shipped_data_folder(const std::string& module_folder);

struct SessionOptions {
  std::string command;  // "quillo refresh", for messages
  addin::RegistryLocation registry = addin::RegistryLocation::from_environment();
  // The file standing for the add-in's module (the running program); the
  // install folder is found from it when the store names none.
  std::string module_path = own_module_path();
  std::function<std::string(const std::string& module_folder)> data_folder = shipped_data_folder;
  std::int64_t minute_ms = 60000;
  // Whether start-up reads the product site (definitions update, model
  // library); and where the site's diagnostics go besides the event log.
  bool site_at_startup = true;
  std::function<void(std::string_view)> site_log;
  // Where message boxes go; unset: the error stream, one line each.
  host::MessageSink* messages = nullptr;
};

// A formula left with the file's value that may be out of date: its cell
// ('Sheet'!B2) and what quillo lacks to compute it.
struct StaleFormula {
  std::string cell;
  std::string why;
};

// A cell of the add-in's: its sheet and position in the model.
struct AddinCell {
  spreadsheet::SheetId sheet = 0;
  std::int32_t row = 0;
  std::int32_t col = 0;
};

class Session {
 public:
  Session(SessionOptions options, std::ostream& err);
  ~Session();  // disconnects the add-in: no timer, no request left
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Why the add-in cannot fill workbooks: its settings file cannot be read,
  // its definitions did not load (or it did not connect). Empty when it can.
  std::string not_ready();

  Result<host::WorkbookPtr> open(const std::string& path);
  // The workbook at path, opened only when the add-in is ready to fill it:
  // without definitions every cell would show an error in place of its
  // value, so nothing is opened (and nothing saved). On failure says why on
  // the error stream, after the command's name, and answers null.
  host::WorkbookPtr open_ready(const std::string& path);
  // Remembers the values the book's add-in cells hold now: a cell whose
  // request has not answered, or has failed where the settings say to keep
  // the last figure, shows that value instead of a status text. Done for
  // every workbook as it is opened, with the values its file holds.
  void keep_values(host::Workbook& book);
  // The cells of the add-in's the file did not have (formulas written in
  // this run) that still await their answers show the empty text, as
  // refresh saves such a cell, not a status text ("Loading data..."),
  // which a save would keep in the file.
  void empty_while_waiting(host::Workbook& book);
  // The same for one cell, given the value its file holds: for a formula
  // taken in from the file while the workbook is open.
  void keep_value(const spreadsheet::CellAddr& cell, const Value& value);
  // Takes in the cells another program saved to the open book's file
  // (take_in_file in disk_changes.h), as watch and the browser view do: a
  // formula taken in shows the file's value until answered, the cells
  // whose formulas were replaced or removed stop waiting on what they no
  // longer ask (so no old answer explains them and a request no cell asks
  // is not fetched again), and calls of a copy of the function library are
  // pointed at the installed one, as at opening. Answers the cells changed.
  // save_owed (when given) says whether the file now lacks something quillo
  // has for one of its cells: a value the file left out, or the record of
  // what a formula written anew asks.
  Result<std::int32_t> take_in(host::Workbook& book, spreadsheet::BookId id,
                               const std::string& path, bool* save_owed = nullptr);
  // The book's cells whose formulas call the add-in's functions; the walk
  // visits the sheets' formulas only, not their used ranges.
  std::vector<AddinCell> addin_cells(host::Workbook& book);
  // Whether the function library is installed (its functions can be called).
  bool library_installed() const;

  // Evaluates every formula of every open workbook, as a full recalculation.
  void calculate_full();
  // Runs the loop until every request has had its first answer, or
  // timeout_ms passes (negative: no limit); true when all were answered.
  // Requests the update timer sends again meanwhile are not waited for: a
  // workbook with more pages than the sources' limits allow in a minute
  // would otherwise never be done. on_tick runs about once a second.
  bool wait_answered(std::int64_t timeout_ms, const std::function<void()>& on_tick = {});
  // No request is outstanding or waiting to be sent.
  bool idle() const;
  // Every request has had an answer (or failed for good) at least once,
  // every history table asked for has been written or given up, and no
  // indicator series waits to be written.
  bool answered() const;

  // Writes the indicator series computed and not yet written (what the
  // one-second timer does), so a run that ends before the timer leaves no
  // cell showing "Calculating...".
  void write_computed_series();

  Progress progress() const;
  // Writes the record of where the book's quillo values came from into its
  // very hidden record sheet (done before every save); false when a user's
  // sheet has that name. provenance answers the records as they stand.
  bool write_provenance(host::Workbook& book);
  std::vector<ProvenanceRecord> provenance(host::Workbook& book);
  // What the book's add-in cells show (Summary::stale is left 0; see
  // stale_formulas).
  Summary summarize(host::Workbook& book);
  // The book's formulas quillo cannot compute that kept the file's value
  // although a cell they read, directly or through other such formulas,
  // changed since the session started; formulas quillo cannot read at all
  // count when any cell of the book changed. In sheet and cell order.
  std::vector<StaleFormula> stale_formulas(host::Workbook& book);

  host::PollLoop& loop() { return m_loop; }
  // Runs the loop until a stop request (Ctrl-C, SIGTERM) arrives.
  void run_until_stopped(host::StopRequests& stops);
  spreadsheet::Application& app() { return m_app; }
  addin::AddinState& state() { return *m_state; }

 private:
  SessionOptions m_options;
  std::ostream& m_err;
  host::PollLoop m_loop;
  http::CurlTransport m_transport;
  spreadsheet::Application m_app;
  addin::modRegistry m_registry;
  host::StreamMessages m_messages;
  host::XdgOpenBrowser m_browser;
  host::ObjectRegistry m_objects;
  std::shared_ptr<addin::AddinState> m_state;
  std::shared_ptr<addin::Connectexcel> m_connection;
  host::HandlerId m_open_handler = 0;
};

// For a process that ends with its command (quillo's main): workbooks
// are left to the operating system, which takes a process's memory back at
// once, rather than freed cell by cell when their owners go (a tenth of the
// time a large load takes). Elsewhere, as in tests, they are freed.
void leave_workbooks_to_exit();
// Keeps the model alive to the end of the process after
// leave_workbooks_to_exit; otherwise nothing.
void keep_until_exit(std::shared_ptr<spreadsheet::Model> model);

}  // namespace quillo::cli
