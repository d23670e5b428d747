// dataload: the add-in's lasting state and the procedures that start it,
// stop it and drive it from its two timers.
//
// One AddinState exists per process. The connection (Connectexcel) sets the
// host application and runs addin_startup; every core object works on the
// same state. The platform pieces the add-in uses besides the spreadsheet -
// event loop, HTTP transport, registry store, message boxes, browser, object
// factory - are given to it in a Platform and must outlive it.
//
// Event-loop thread only: timers, worksheet functions, menu clicks and HTTP
// completions all run there, one at a time, so nothing is locked. Failures
// inside the procedures are ignored where the add-in must go on (a missing
// definitions file, a workbook without links); the user learns of a failed
// installation of the function library through a message box.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "addin/cls_accmanager.h"
#include "addin/cls_gui.h"
#include "addin/settings.h"
#include "assistants/assistants.h"
#include "host/application.h"
#include "host/browser.h"
#include "host/event_loop.h"
#include "host/file_system.h"
#include "host/messages.h"
#include "host/object_factory.h"
#include "http/http_transport.h"
#include "requests/engine_facade.h"

namespace quillo::addin {

// The function library's file name, as the add-ins list shows it.
inline constexpr std::string_view kLibraryName = "tarnvale.xla";
inline constexpr std::string_view kDefinitionsName = "ds.xml";
inline constexpr std::string_view kConnectProgId = "quillo.Connectexcel";
inline constexpr std::string_view kCoreProgId = "quillo.core";
inline constexpr std::string_view kEventsProgId = "quillo.CExcelEvents";

struct Platform {
  host::EventLoop& loop;
  http::HttpTransport& transport;
  modRegistry& registry;
  host::MessageSink& messages;
  host::BrowserOpener& browser;
  host::ObjectFactory& objects;
  // The folder holding the add-in's data files (ds.xml, tarnvale.xla) that
  // ships with the module in module_folder; both end with a separator.
  // Unset: the module's own folder.
  std::function<std::string(const std::string& module_folder)> data_folder;
  // The length of the minute timer's minute and of the second timer's
  // second, in milliseconds (shorter only to watch updates happen quickly).
  std::int64_t minute_ms = 60000;
  std::int64_t second_ms = 1000;
  // Where ds.xml and downloaded models are written; unset: the platform's.
  host::FileSystem* files = nullptr;
  // Whether start-up reads the product site's document (the definitions
  // update and the model library); off for front ends that run it
  // themselves or not at all.
  bool site_at_startup = true;
  // Also receives the definitions update's and the model library's
  // diagnostics (entries left out, files refused); unset: the event log only.
  std::function<void(std::string_view)> site_log;
  // Whether the install folder found from the module's place is stored as
  // the setting installpath (for later runs and the command line); off
  // where that place is the host's own and may change (LibreOffice's
  // extension cache): it is then found again at each start.
  bool remember_install_path = true;
  // Whether a definitions file that does not load is reported at start-up
  // in a message box ("Error during load of xml" and the reason), as the
  // desktop host shows it; front ends that report start-up problems in
  // their own way (the command line, Calc) leave it off.
  bool report_definitions_failure = false;
};

class AddinState {
 public:
  explicit AddinState(Platform platform);
  ~AddinState();
  AddinState(const AddinState&) = delete;
  AddinState& operator=(const AddinState&) = delete;

  Platform& platform() { return m_platform; }

  // Binds the state to the host (the request engine works on it). False,
  // with nothing changed, while it is bound to another host.
  bool bind(host::Application& app);
  void unbind();

  // The host while bound; null otherwise.
  host::Application* app() const { return m_app; }
  // The request engine while bound; null otherwise.
  EngineFacade* engine() const { return m_engine.get(); }
  Configuration& config() { return m_config; }
  const Configuration& config() const { return m_config; }
  cls_accmanager& accmanager() { return m_accmanager; }
  // The settings dialog once it was first shown; null before.
  settings* settings_dialog() const { return m_settings_dialog.get(); }
  // The status text the about box shows.
  const std::string& status_text() const { return m_status_text; }
  // Why the last definitions_load left no definitions (the file, and the
  // loader's message); empty after a good load.
  const std::string& definitions_error() const { return m_definitions_error; }
  // True from start-up to shutdown: the two timers run.
  bool timers_running() const { return m_minute_timer_id != 0; }
  // Minutes since the last periodic update, and the quarter-hour counter.
  std::int32_t update_counter() const { return m_update_counter; }
  std::int32_t counter15() const { return m_counter15; }
  // The add-in object the host hands over on connection, held (not
  // otherwise used) until disconnection.
  void hold_addin_instance(std::shared_ptr<host::HostObject> instance) {
    m_addin_instance = std::move(instance);
  }
  void release_addin_instance() { m_addin_instance.reset(); }

  // Makes the engine follow the configuration (error handling, proxy,
  // time-outs); run after the configuration was loaded or changed.
  void apply_configuration();
  // Reads the settings again (another program or the settings command may
  // have changed them) and, when they differ from those in use, puts the
  // new ones to use. True when they changed.
  bool reload_configuration();
  // Opens the settings dialog (filled from the configuration).
  void show_settings();
  // The assistants' owner, made on first use; null while unbound.
  assistants::Assistants* assistants();
  // Where the assistants write: a front end that has a cell cursor names
  // its cell; unset, they write at A1 of the active sheet. Set it before
  // the assistants are first used.
  void set_active_cell(std::function<Result<host::RangePtr>()> cell) {
    m_active_cell = std::move(cell);
  }
  // What "Create Weblink" opens: a front end with a page view hands in its
  // link wizard; unset, the entry says how links are made from the command
  // line.
  void set_link_wizard(std::function<void()> open) { m_link_wizard = std::move(open); }
  const std::function<void()>& link_wizard() const { return m_link_wizard; }
  // The menu while bound (after start-up); null otherwise.
  cls_gui* gui() const { return m_gui.get(); }
  // Sets the status text and the About box's label; with hide, also hides
  // a visible About box.
  void set_status(std::string_view text, bool hide);
  // Asks the product site for its document (on the "internal" channel);
  // its answer runs the definitions update and builds the model library.
  // Without update_definitions only the library is built. False when there
  // is no site or the request cannot be sent.
  bool site_check(bool update_definitions = true);

 private:
  // The add-in's own procedures work on its state directly.
  friend void addin_startup(AddinState& state);
  friend void addin_shutdown(AddinState& state);
  friend void xla_install(AddinState& state);
  friend void definitions_load(AddinState& state);
  friend void minute_timer(AddinState& state, host::TimerId id);
  friend void second_timer(AddinState& state, host::TimerId id);
  friend void site_responseprocessor(AddinState& state, const std::string& response,
                                     std::int32_t reqno, std::int16_t status,
                                     const std::string& message);
  void site_attach();

  host::Application* m_app = nullptr;
  std::shared_ptr<host::HostObject> m_addin_instance;
  Configuration m_config;
  cls_accmanager m_accmanager;
  std::unique_ptr<EngineFacade> m_engine;  // while bound
  std::unique_ptr<cls_gui> m_gui;
  std::unique_ptr<settings> m_settings_dialog;  // created on first use
  // The search and the assistants, made on first use (null while unbound).
  std::unique_ptr<assistants::Assistants> m_assistant_dialogs;
  std::function<Result<host::RangePtr>()> m_active_cell;
  std::function<void()> m_link_wizard;

  host::TimerId m_minute_timer_id = 0;
  host::TimerId m_second_timer_id = 0;
  std::int32_t m_update_counter = 0;  // minutes since the last periodic update
  std::int32_t m_counter15 = 0;
  std::int32_t m_counter30 = 0;
  // Where the single web link dialog was last shown; -1 until it is.
  std::int32_t m_weblink_left = -1;
  std::int32_t m_weblink_top = -1;
  std::string m_status_text;
  std::string m_definitions_error;
  Platform m_platform;
  std::unique_ptr<host::FileSystem> m_own_files;  // when the platform gives none
  bool m_site_updates_definitions = true;
};

void addin_startup(AddinState& state);
void addin_shutdown(AddinState& state);
void xla_install(AddinState& state);
void definitions_load(AddinState& state);
// The file implementing the class with this ProgID; empty when unknown.
std::string get_dllpath(host::ObjectFactory& objects, std::string_view prog_id);
void minute_timer(AddinState& state, host::TimerId id);
void second_timer(AddinState& state, host::TimerId id);
// The response processors of the definitions download and of the site
// document (response text, request number, HTTP status, message).
void wsget_responseprocessor(AddinState& state, const std::string& response, std::int32_t reqno,
                             std::int16_t status, const std::string& message);
void site_responseprocessor(AddinState& state, const std::string& response, std::int32_t reqno,
                            std::int16_t status, const std::string& message);
// Makes formulas that call the function library through a path to a copy
// of it in another folder call the installed one (the workbook-open
// handler).
void link_repair(host::Application& app, host::Workbook& book);
// Whether link_repair makes the calls through book (a workbook as a
// formula names it) calls of the installed library: a book whose path
// names the library's file.
bool link_repaired(std::string_view book);

}  // namespace quillo::addin
