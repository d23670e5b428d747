// The configuration: the user's settings (automatic update, error handling,
// proxy, time-outs, and the price-history service address), held in memory in
// one Configuration owned by the add-in state, and stored as named values
// below one product key of the registry store by cls_accmanager.
//
// Event-loop thread only. Store failures never reach the caller: reads fall
// back to the defaults, writes are lost (modRegistry keeps the last failure).
// Values read from the store get the checks the settings dialog applies: one
// it would not offer takes its default, with a warning on the registry's
// warning sink.
//
// cls_accmanager also keeps the installation current with the product site
// (cls_accmanager_site.cpp): the site's document announces a definitions
// version, and a newer ds.xml is downloaded and installed when it loads as
// definitions of exactly the announced version and is not older than the
// installed one (written atomically; otherwise the old file stays and the
// user is told); its model library becomes the "Financial Templates" menu,
// whose entries download a model workbook and open it. Answers arrive on
// the loop; nothing here waits. Failures the user must see are message
// boxes with fixed texts; the outcome of the last update is kept for front
// ends (definitions_update).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "addin/modRegistry.h"
#include "addin/modelmenueventhandler.h"
#include "common/value.h"
#include "host/application.h"
#include "host/file_system.h"
#include "host/messages.h"
#include "http/http_transport.h"
#include "parse/site_document.h"
#include "requests/engine_facade.h"

namespace quillo::addin {

// The product key below HKEY_CURRENT_USER (and, for installpath only,
// HKEY_LOCAL_MACHINE).
inline constexpr std::string_view kConfigKeyPath = "SOFTWARE\\Brenmoor\\Tarnvale";
// The product site: where the announced definitions version, the newer
// definitions and the model library come from (its document "site.xml").
inline constexpr std::string_view kDefaultProductSite = "https://quillo.example.org";
// The default price-history service: none. The address (scheme and host, no
// path) is the user's to set; history formulas say how while it is unset.
inline constexpr std::string_view kDefaultHistoryService = "";

struct Configuration {
  std::int16_t trading_updatemode = 1;       // 1 automatic, 2 manual
  std::int16_t trading_updatefrq = 1;        // minutes: 1, 2, 3, 4, 5, 10, 15, 30 or 60
  std::int16_t connectionerrorhandling = 1;  // 1 show the error, 2 keep the last figure
  std::int16_t parseerrorhandling = 1;       // the same, for parse errors
  std::int32_t useproxy = 0;                 // 1: requests go through the proxy
  std::string proxy_server;
  std::string proxy_user;
  std::string proxy_password;
  std::int32_t connection_timeout = 60;  // seconds
  std::int32_t receive_timeout = 30;     // seconds
  std::string history_service{kDefaultHistoryService};
  // 1: a channel's next queued request goes out as soon as an answer frees
  // a slot (the channel's limit still holds); 0: queued requests wait for
  // the one-second pass.
  std::int32_t send_on_completion = 0;
  // The product site's address (scheme, host and an optional path); empty:
  // no site, so no definitions update and no model library.
  std::string product_site{kDefaultProductSite};

  bool operator==(const Configuration&) const = default;
};

// The store's value names, in load and save order.
inline constexpr std::string_view kSettingNames[] = {
    "trading_updatemode", "trading_updatefrq", "connectionerrorhandling",
    "parseerrorhandling", "useproxy",          "proxy_server",
    "proxy_user",         "proxy_password",    "connection_timeout",
    "receive_timeout",    "history_service",   "send_on_completion",
    "product_site",
};
inline constexpr std::string_view kInstallPathName = "installpath";
// The longest text value the store reads back, in bytes.
inline constexpr std::size_t kMaxSettingText = 1024;
// The time-outs a user may set, in seconds.
inline constexpr std::int32_t kMinTimeout = 1;
inline constexpr std::int32_t kMaxTimeout = 86400;

// True for "http://host" or "https://host", with an optional port and no
// path, query, user information or blanks.
bool valid_service_address(std::string_view address);
// A service address as above, optionally followed by a path ("/quillo/")
// of printable characters without blanks, "?" or "#".
bool valid_site_address(std::string_view address);

// A definitions version the update takes: dotted numbers ("2026.2.1"),
// blanks and line breaks around it aside.
bool definitions_version_valid(std::string_view version);

// Orders two definitions versions, blanks and line breaks around them
// aside: dot-separated parts compared in turn, as numbers when both are
// digits ("2026.10" is newer than "2026.9", "2026.09" equals "2026.9"), a
// number newer than a part that is none, otherwise as text; a missing part
// is older than any present one. Negative, zero or positive as a is older
// than, equal to or newer than b.
int definitions_version_compare(std::string_view a, std::string_view b);

// The model library's limits: entries beyond them are left out (and logged).
inline constexpr std::size_t kMaxModels = 40;
inline constexpr std::size_t kMaxFolders = 20;
inline constexpr std::string_view kRootFolder = "root";
inline constexpr std::string_view kTemplatesCaption = "Financial Templates";
inline constexpr std::string_view kSettingsCaption = "Settings...";
// The request number of the definitions download, and of the site document.
inline constexpr std::int32_t kDefinitionsRequestNumber = 100002;
inline constexpr std::int32_t kSiteRequestNumber = 100003;
inline constexpr const char* kSiteProcessor = "site_responseprocessor";
inline constexpr const char* kDefinitionsProcessor = "wsget_responseprocessor";
// The largest definitions file installed from the site.
inline constexpr std::size_t kMaxDefinitionsBytes = 16 * 1024 * 1024;
// The status texts of the definitions update.
inline constexpr std::string_view kDownloadingStatus = "Downloading new web-parse definitions...";
inline constexpr std::string_view kIdleStatus = "Ready.";

struct ModelEntry {
  std::string caption;  // the menu caption; empty: no entry
  std::string name;     // the workbook's file name in the site's "library/" folder
  std::string folder;   // "root", or the caption of the enclosing folder
};

// How the last definitions update went, for whoever started it.
enum class UpdateState {
  None,         // no site document has arrived
  SiteFailed,   // the site document could not be fetched or read
  UpToDate,     // the announced version is the loaded one (or none is announced)
  Downloading,  // the newer file is on its way
  Updated,      // ds.xml was replaced
  Failed,       // the download failed, or the file was refused or not written
};
struct DefinitionsUpdate {
  UpdateState state = UpdateState::None;
  std::string from, to;  // the loaded version, the announced one
  std::string message;   // why it failed
};

// What the definitions update and the model library reach: the host, the
// request engine and the transport, the file system and message boxes of the
// add-in, and its status text. Set by the add-in while it is bound.
struct SiteServices {
  host::Application* app = nullptr;
  EngineFacade* engine = nullptr;
  http::HttpTransport* transport = nullptr;
  host::FileSystem* files = nullptr;
  host::MessageSink* messages = nullptr;
  std::string site;  // the product site's address
  // The loaded definitions' version.
  std::function<std::string()> loaded_version;
  // The URL with a random value appended.
  std::function<std::string(std::string_view)> add_rand;
  // Sets the status text and the About box's label (the box is made if
  // needed, not shown); with hide, also hides the box when it is visible.
  std::function<void(std::string_view text, bool hide)> set_status;
  // Where diagnostics go (library entries left out, refused files).
  std::function<void(std::string_view)> log;
};

// A model workbook opened (with the temporary file it was opened from), or
// why not.
struct ModelOpened {
  Status status;
  host::WorkbookPtr book;
  std::string file;

  static ModelOpened failure(std::string why) { return {Status::failed(std::move(why)), {}, {}}; }
};

class cls_accmanager {
 public:
  explicit cls_accmanager(modRegistry& registry) : m_registry(registry) {}
  ~cls_accmanager();
  cls_accmanager(const cls_accmanager&) = delete;
  cls_accmanager& operator=(const cls_accmanager&) = delete;

  // The stored value of key, looked up below HKEY_LOCAL_MACHINE first when
  // machine_wide, then below HKEY_CURRENT_USER; default_value when neither
  // holds it.
  Value config_getkey(std::string_view key, bool machine_wide, const Value& default_value);
  // Stores the value below HKEY_CURRENT_USER, creating key and value as
  // needed; the value's own type decides the stored type. Errors are ignored.
  void config_writekey(std::string_view key, const Value& value);
  // Removes the value below HKEY_CURRENT_USER (its default applies again);
  // false when the store could not be changed.
  bool config_deletekey(std::string_view key);

  // The install folder (ds.xml, the function library, downloaded
  // definitions): the setting installpath when the store holds one, else
  // the folder found at start-up for this run only (a host whose module
  // lies in a folder of its own making, such as LibreOffice's extension
  // cache, finds it each time rather than storing it). Empty when neither.
  std::string install_path();
  void set_found_install_path(std::string folder) { m_found_install_path = std::move(folder); }

  modRegistry& registry() { return m_registry; }

  // --- Definitions update and model library (site services).
  // While attached, the services below can run; detaching withdraws model
  // downloads under way.
  void site_attach(SiteServices services);
  void site_detach();
  // The site document arrived: runs the version check (and the download,
  // unless update_definitions is off), library_parse and library_menu.
  void site_received(const SiteDocument& site, bool update_definitions = true);
  // The site document could not be had.
  void site_failed(std::string why);
  // Starts the download of the announced definitions file.
  void ws_download();
  // Receives the download's answer (the processor "wsget_responseprocessor").
  void wsget_response(const std::string& body, std::int16_t status, const std::string& message);
  // Installs the downloaded file as ds.xml, when it loads as definitions.
  void ws_response(const std::string& body);
  // Fills the model and folder tables from the library document.
  void library_parse();
  // Builds the "Financial Templates" menu from the tables.
  void library_menu();
  // Opens the first model with this caption: its workbook is downloaded,
  // written to a private folder and opened; done (when given) learns how it
  // went. Nothing happens for a caption no model has.
  void model_launch(std::string_view caption, std::function<void(ModelOpened)> done = {});

  const std::array<ModelEntry, kMaxModels>& models() const { return m_models; }
  const std::array<std::string, kMaxFolders>& folders() const { return m_folders; }
  const DefinitionsUpdate& definitions_update() const { return m_update; }
  // True once the site document arrived or failed.
  bool site_answered() const { return m_site_answered; }
  // Model downloads under way.
  std::size_t model_downloads() const { return m_downloads.size(); }

 private:
  void update_finished(UpdateState state, std::string message);
  // The newer of the loaded definitions' version and that of the ds.xml
  // installed at file.
  std::string installed_version(const std::string& file) const;
  void model_arrived(std::uint64_t id, const ModelEntry& model, http::HttpResult result,
                     const std::function<void(ModelOpened)>& done);
  void log(std::string_view text) const;

  modRegistry& m_registry;
  std::string m_found_install_path;
  SiteServices m_site;
  bool m_attached = false;
  bool m_site_answered = false;
  std::string m_announced_version;
  std::string m_definitions_path;
  std::vector<LibraryElement> m_library;
  std::array<ModelEntry, kMaxModels> m_models;
  std::array<std::string, kMaxFolders> m_folders;
  std::array<std::unique_ptr<modelmenueventhandler>, kMaxModels> m_handlers;
  DefinitionsUpdate m_update;
  std::vector<std::uint64_t> m_downloads;  // transport ids of model downloads
};

// True for a model's file name that stays inside the library folder: not
// empty, no "/" or "\", no "..", no control characters.
bool safe_model_name(std::string_view name);

// Loads every setting (absent or unusable ones take their defaults; each
// unusable one is reported).
void config_load(cls_accmanager& store, Configuration& config);
// Saves every setting.
void config_save(cls_accmanager& store, const Configuration& config);
// Saves the one setting of that name (one of kSettingNames) from config, in
// one locked change of the store, so settings other processes saved
// meanwhile stay as they were. False for an unknown name.
bool config_save_one(cls_accmanager& store, const Configuration& config, std::string_view name);
// The setting's value in config as text; nullopt for an unknown name.
std::optional<std::string> config_text(const Configuration& config, std::string_view name);

}  // namespace quillo::addin
