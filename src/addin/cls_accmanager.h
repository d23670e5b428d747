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
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "addin/modRegistry.h"
#include "common/value.h"

namespace quillo::addin {

// The product key below HKEY_CURRENT_USER (and, for installpath only,
// HKEY_LOCAL_MACHINE).
inline constexpr std::string_view kConfigKeyPath = "SOFTWARE\\Brenmoor\\Tarnvale";
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

  bool operator==(const Configuration&) const = default;
};

// The store's value names, in load and save order.
inline constexpr std::string_view kSettingNames[] = {
    "trading_updatemode", "trading_updatefrq", "connectionerrorhandling",
    "parseerrorhandling", "useproxy",          "proxy_server",
    "proxy_user",         "proxy_password",    "connection_timeout",
    "receive_timeout",    "history_service",   "send_on_completion",
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

class cls_accmanager {
 public:
  explicit cls_accmanager(modRegistry& registry) : m_registry(registry) {}

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

  modRegistry& registry() { return m_registry; }

 private:
  modRegistry& m_registry;
};

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
