#include "cli/settings_command.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <ostream>

#include "addin/cls_accmanager.h"
#include "addin/settings.h"
#include "common/text.h"

namespace quillo::cli {

namespace {

constexpr const char* kSettingsCommand = "quillo settings";

// The list entry matching value, by its text or, when entries_by_number,
// by its number (1 for the first entry); -1 when there is none.
std::int32_t list_entry(const addin::DialogList& list, std::string_view value,
                        bool entries_by_number) {
  for (std::size_t i = 0; i < list.list.size(); ++i) {
    if (text::iequals(list.list[i], value)) return static_cast<std::int32_t>(i);
  }
  if (entries_by_number) {
    const auto n = text::to_int32(value);
    if (n && *n >= 1 && *n <= static_cast<std::int32_t>(list.list.size()) &&
        std::to_string(*n) == value) {
      return *n - 1;
    }
  }
  return -1;
}

std::string allowed(const addin::DialogList& list, bool by_number) {
  std::string s;
  for (std::size_t i = 0; i < list.list.size(); ++i) {
    if (i > 0) s += ", ";
    s += by_number ? std::to_string(i + 1) + " (" + list.list[i] + ")" : list.list[i];
  }
  return s;
}

void print(const addin::Configuration& c, const std::string& installpath, std::ostream& out) {
  for (std::string_view name : addin::kSettingNames) {
    std::string v = addin::config_text(c, name).value_or(std::string());
    // The password stays out of terminals and logs.
    if (name == "proxy_password" && !v.empty()) v = "********";
    out << name << "=" << v << "\n";
  }
  out << addin::kInstallPathName << "=" << installpath << "\n";
}

bool known(std::string_view name) {
  if (name == addin::kInstallPathName) return true;
  for (std::string_view n : addin::kSettingNames) {
    if (n == name) return true;
  }
  return false;
}

// Why the store could not be changed, or read; empty when it was.
std::string store_failure(const addin::modRegistry& registry) {
  const addin::RegLastError& e = registry.last_error();
  if (e.error_code == 0) return {};
  std::string why = e.error_text;
  if (!e.system_error_text.empty()) why += " (" + e.system_error_text + ")";
  return why;
}

// Takes value into config as the settings dialog would; the refusal's
// reason when it does not take it.
std::optional<std::string> take_value(addin::Configuration& config, addin::cls_accmanager& store,
                                      const std::string& name, const std::string& value) {
  if (name == "history_service") {
    // An empty value unsets the address.
    if (!value.empty() && !addin::valid_service_address(value)) {
      return "\"" + value + "\" is not an address like https://host or http://host:port";
    }
    config.history_service = value;
    return std::nullopt;
  }
  if (name == "product_site") {
    // An empty value means no site: no definitions update, no model library.
    if (!value.empty() && !addin::valid_site_address(value)) {
      return "\"" + value + "\" is not an address like https://host or http://host:port/path";
    }
    config.product_site = value;
    return std::nullopt;
  }
  if (name == "send_on_completion") {
    if (value != "0" && value != "1") {
      return "takes 0 (queued requests wait for the one-second pass) or 1 (sent as soon as a "
             "slot is free)";
    }
    config.send_on_completion = value == "1" ? 1 : 0;
    return std::nullopt;
  }
  // Everything else goes through the dialog, as a user would set it.
  addin::settings dialog(config, store);
  dialog.show();
  auto pick = [&](addin::DialogList& list, bool by_number) {
    const std::int32_t entry = list_entry(list, value, by_number);
    if (entry < 0) return false;
    list.list_index = entry;
    return true;
  };
  if (name == "trading_updatemode") {
    if (!pick(dialog.select_updatemode, true))
      return "takes " + allowed(dialog.select_updatemode, true);
  } else if (name == "trading_updatefrq") {
    if (!pick(dialog.select_updatefrq, false))
      return "takes " + allowed(dialog.select_updatefrq, false) + " (minutes)";
  } else if (name == "connectionerrorhandling") {
    if (!pick(dialog.select_connectionerror, true))
      return "takes " + allowed(dialog.select_connectionerror, true);
  } else if (name == "parseerrorhandling") {
    if (!pick(dialog.select_parseerror, true))
      return "takes " + allowed(dialog.select_parseerror, true);
  } else if (name == "useproxy") {
    if (value != "0" && value != "1") return "takes 0 (no proxy) or 1 (use the proxy)";
    dialog.useproxy.value = value == "1" ? 1 : 0;
    dialog.useproxy_Click();
  } else if (name == "proxy_server") {
    dialog.proxy_url.text = value;
  } else if (name == "proxy_user") {
    dialog.proxy_user.text = value;
  } else if (name == "proxy_password") {
    dialog.proxy_password.text = value;
  } else if (name == "connection_timeout" || name == "receive_timeout") {
    const auto n = text::to_int32(value);
    if (!n || *n < addin::kMinTimeout || *n > addin::kMaxTimeout) {
      return "takes a whole number of seconds from " + std::to_string(addin::kMinTimeout) + " to " +
             std::to_string(addin::kMaxTimeout);
    }
    (name == "connection_timeout" ? dialog.connection_timeout : dialog.receive_timeout).text =
        value;
  }
  dialog.apply_controls();
  return std::nullopt;
}

// Stores value as the setting's new value, alone; the refusal's reason when
// the setting does not take it. Store failures are left in the registry's
// last-failure record.
std::optional<std::string> store_value(addin::Configuration& config, addin::cls_accmanager& store,
                                       const std::string& name, const std::string& value) {
  if (value.size() > addin::kMaxSettingText) {
    return "a value may be at most " + std::to_string(addin::kMaxSettingText) +
           " bytes long (this one has " + std::to_string(value.size()) + ")";
  }
  if (name != addin::kInstallPathName) {
    if (auto why = take_value(config, store, name, value)) return why;
    addin::config_save_one(store, config, name);
    return std::nullopt;
  }
  // Stored absolute: the commands run from any folder.
  std::string folder;
  if (!value.empty()) {
    std::error_code ec;
    folder = std::filesystem::absolute(value, ec).lexically_normal().string();
    if (ec) return "cannot make \"" + value + "\" an absolute path";
    if (folder.back() != '/') folder += '/';
    if (folder.size() > addin::kMaxSettingText) {
      return "the absolute path is longer than " + std::to_string(addin::kMaxSettingText) +
             " bytes";
    }
  }
  store.config_writekey(addin::kInstallPathName, Value(folder));
  return std::nullopt;
}

}  // namespace

int run_settings(const SettingsOptions& options, std::ostream& out, std::ostream& err) {
  using Action = SettingsOptions::Action;
  const addin::RegistryLocation where = addin::RegistryLocation::from_environment();
  addin::modRegistry registry(
      where, [&](std::string_view w) { err << kSettingsCommand << ": " << w << "\n"; });
  // A settings file that exists but cannot be read is neither shown as the
  // defaults nor written over.
  if (registry.reg_rootstatus(addin::HKEY_CURRENT_USER) != 0) {
    err << kSettingsCommand << ": cannot read "
        << (where.user_dir / "HKEY_CURRENT_USER.reg").string() << ": "
        << registry.last_error().system_error_text << "; nothing was changed\n";
    return 1;
  }
  if (registry.reg_rootstatus(addin::HKEY_LOCAL_MACHINE) != 0) {
    err << kSettingsCommand << ": warning: cannot read "
        << (where.machine_dir / "HKEY_LOCAL_MACHINE.reg").string() << ": "
        << registry.last_error().system_error_text << "; its installpath is ignored\n";
  }
  addin::cls_accmanager store(registry);
  addin::Configuration config;
  addin::config_load(store, config);
  const std::string installpath =
      store.config_getkey(addin::kInstallPathName, true, Value(std::string())).to_text();
  if (options.action == Action::Print || (options.action == Action::Set && options.name.empty())) {
    print(config, installpath, out);
    return 0;
  }

  const std::string& name = options.name;
  const std::string& value = options.value;
  auto refuse = [&](const std::string& why) {
    err << kSettingsCommand << ": " << name << ": " << why << "\n";
    return 2;
  };
  if (!known(name)) return refuse("no such setting (quillo settings lists them)");
  if (options.action == Action::Get) {
    out << (name == addin::kInstallPathName ? installpath
                                            : addin::config_text(config, name).value_or(""))
        << "\n";
    return 0;
  }
  if (options.action == Action::Unset) {
    if (!store.config_deletekey(name)) {
      err << kSettingsCommand << ": could not remove " << name << ": " << store_failure(registry)
          << "\n";
      return 1;
    }
    return 0;
  }
  if (const auto why = store_value(config, store, name, value)) return refuse(*why);
  if (const std::string why = store_failure(registry); !why.empty()) {
    err << kSettingsCommand << ": could not save " << name << ": " << why << "\n";
    return 1;
  }
  return 0;
}

}  // namespace quillo::cli
