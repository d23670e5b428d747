#include "cli/settings_command.h"

#include <algorithm>
#include <filesystem>
#include <ostream>

#include "addin/cls_accmanager.h"
#include "addin/settings.h"
#include "common/text.h"

namespace quillo::cli {

namespace {

constexpr const char* kCommand = "quillo settings";

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
  out << "trading_updatemode=" << c.trading_updatemode << "\n"
      << "trading_updatefrq=" << c.trading_updatefrq << "\n"
      << "connectionerrorhandling=" << c.connectionerrorhandling << "\n"
      << "parseerrorhandling=" << c.parseerrorhandling << "\n"
      << "useproxy=" << c.useproxy << "\n"
      << "proxy_server=" << c.proxy_server << "\n"
      << "proxy_user=" << c.proxy_user
      << "\n"
      // The password stays out of terminals and logs.
      << "proxy_password=" << (c.proxy_password.empty() ? "" : "********") << "\n"
      << "connection_timeout=" << c.connection_timeout << "\n"
      << "receive_timeout=" << c.receive_timeout << "\n"
      << "history_service=" << c.history_service << "\n"
      << "send_on_completion=" << c.send_on_completion << "\n"
      << "installpath=" << installpath << "\n";
}

}  // namespace

int run_settings(const SettingsOptions& options, std::ostream& out, std::ostream& err) {
  addin::modRegistry registry(addin::RegistryLocation::from_environment(),
                              [&](std::string_view w) { err << kCommand << ": " << w << "\n"; });
  addin::cls_accmanager store(registry);
  addin::Configuration config;
  addin::config_load(store, config);
  const std::string installpath =
      store.config_getkey(addin::kInstallPathName, true, Value(std::string())).to_text();
  if (options.name.empty()) {
    print(config, installpath, out);
    return 0;
  }

  const std::string& name = options.name;
  const std::string& value = options.value;
  auto refuse = [&](const std::string& why) {
    err << kCommand << ": " << name << ": " << why << "\n";
    return 2;
  };
  registry.reg_clearerror();
  if (name == "history_service") {
    // An empty value unsets the address.
    if (!value.empty() && !addin::valid_service_address(value)) {
      return refuse("\"" + value + "\" is not an address like https://host or http://host:port");
    }
    config.history_service = value;
    addin::config_save(store, config);
  } else if (name == "send_on_completion") {
    if (value != "0" && value != "1") {
      return refuse(
          "takes 0 (queued requests wait for the one-second pass) or 1 (sent as "
          "soon as a slot is free)");
    }
    config.send_on_completion = value == "1" ? 1 : 0;
    addin::config_save(store, config);
  } else if (name == addin::kInstallPathName) {
    // Stored absolute: the commands run from any folder.
    std::string folder;
    if (!value.empty()) {
      std::error_code ec;
      folder = std::filesystem::absolute(value, ec).lexically_normal().string();
      if (ec) return refuse("cannot make \"" + value + "\" an absolute path");
      if (folder.back() != '/') folder += '/';
    }
    store.config_writekey(addin::kInstallPathName, Value(folder));
  } else {
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
        return refuse("takes " + allowed(dialog.select_updatemode, true));
    } else if (name == "trading_updatefrq") {
      if (!pick(dialog.select_updatefrq, false))
        return refuse("takes " + allowed(dialog.select_updatefrq, false) + " (minutes)");
    } else if (name == "connectionerrorhandling") {
      if (!pick(dialog.select_connectionerror, true))
        return refuse("takes " + allowed(dialog.select_connectionerror, true));
    } else if (name == "parseerrorhandling") {
      if (!pick(dialog.select_parseerror, true))
        return refuse("takes " + allowed(dialog.select_parseerror, true));
    } else if (name == "useproxy") {
      if (value != "0" && value != "1") return refuse("takes 0 (no proxy) or 1 (use the proxy)");
      dialog.useproxy.value = value == "1" ? 1 : 0;
      dialog.useproxy_Click();
    } else if (name == "proxy_server") {
      dialog.proxy_url.text = value;
    } else if (name == "proxy_user") {
      dialog.proxy_user.text = value;
    } else if (name == "proxy_password") {
      dialog.proxy_password.text = value;
    } else if (name == "connection_timeout" || name == "receive_timeout") {
      if (!text::to_int32(value)) return refuse("takes a whole number of seconds");
      (name == "connection_timeout" ? dialog.connection_timeout : dialog.receive_timeout).text =
          value;
    } else {
      return refuse("no such setting (quillo settings lists them)");
    }
    dialog.button_ok_Click();
  }
  if (registry.last_error().error_code != 0) {
    err << kCommand << ": could not save: " << registry.last_error().error_text;
    if (!registry.last_error().system_error_text.empty()) {
      err << " (" << registry.last_error().system_error_text << ")";
    }
    err << "\n";
    return 1;
  }
  return 0;
}

}  // namespace quillo::cli
