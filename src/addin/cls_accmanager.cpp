#include "addin/cls_accmanager.h"

#include <cctype>
#include <cmath>
#include <limits>

#include "common/text.h"

namespace quillo::addin {
namespace {

// The value as an integer of the given width, as the platform's integer
// conversion does it (halves to the even neighbour); nullopt when it is not
// a number or does not fit.
template <typename Int>
std::optional<Int> to_integer(const Value& v) {
  std::optional<double> d;
  if (v.type() == ValueType::Bool) {
    d = v.as_bool() ? -1.0 : 0.0;
  } else if (v.is_number()) {
    d = v.number();
  } else if (v.is_text()) {
    d = text::locale_number(v.text());
  }
  if (!d) return std::nullopt;
  double r = std::nearbyint(*d);
  if (!(r >= std::numeric_limits<Int>::min() && r <= std::numeric_limits<Int>::max())) {
    return std::nullopt;
  }
  return static_cast<Int>(r);
}

void warn(cls_accmanager& store, std::string_view name, const Value& v, std::string_view why) {
  const WarningSink& sink = store.registry().warnings();
  if (!sink) return;
  std::string shown = v.type() == ValueType::Null ? std::string("(unreadable)") : v.to_text();
  if (shown.size() > 40) shown = shown.substr(0, 40) + "...";
  sink("setting " + std::string(name) + "=" + shown + " " + std::string(why) +
       "; the default applies");
}

// Reads one number setting; a value that is not a number, does not fit or
// fails the check keeps the field's default and is reported.
template <typename Int, typename Check>
void load_integer(cls_accmanager& store, std::string_view name, Int& field, Check check,
                  std::string_view takes) {
  const Value absent = Value(Missing{});
  Value v = store.config_getkey(name, false, absent);
  if (v.type() == ValueType::Missing) return;
  const auto n = to_integer<Int>(v);
  if (n && check(*n)) {
    field = *n;
  } else {
    warn(store, name, v, takes);
  }
}

bool one_of_two(std::int32_t n) {
  return n == 1 || n == 2;
}
bool zero_or_one(std::int32_t n) {
  return n == 0 || n == 1;
}
bool offered_frequency(std::int32_t n) {
  for (int f : {1, 2, 3, 4, 5, 10, 15, 30, 60}) {
    if (n == f) return true;
  }
  return false;
}
bool usable_timeout(std::int32_t n) {
  return n >= kMinTimeout && n <= kMaxTimeout;
}

void load_text(cls_accmanager& store, std::string_view name, std::string& field) {
  Value v = store.config_getkey(name, false, Value(Missing{}));
  if (v.type() == ValueType::Missing) return;
  if (v.is_text() || v.is_number()) {
    field = v.to_text();
  } else {
    // Null: the store holds it, but it could not be read (too long, or
    // not text).
    warn(store, name, v, "cannot be read (a text of at most 1024 bytes)");
  }
}

}  // namespace

bool valid_service_address(std::string_view address) {
  std::string_view rest;
  if (address.starts_with("https://")) {
    rest = address.substr(8);
  } else if (address.starts_with("http://")) {
    rest = address.substr(7);
  } else {
    return false;
  }
  if (rest.empty() || rest.size() > 255) return false;
  std::string_view host, port;
  if (rest.front() == '[') {
    // A bracketed IPv6 literal carries colons of its own.
    std::size_t close = rest.find(']');
    if (close == std::string_view::npos || close < 3) return false;
    for (char c : rest.substr(1, close - 1)) {
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return false;
    }
    port = rest.substr(close + 1);
    if (!port.empty() && !port.starts_with(":")) return false;
  } else {
    std::size_t colon = rest.find(':');
    host = rest.substr(0, colon);
    port = colon == std::string_view::npos ? "" : rest.substr(colon);
    if (host.empty() || host.front() == '.' || host.front() == '-') return false;
    for (char c : host) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') return false;
    }
  }
  if (port.empty()) return true;
  port.remove_prefix(1);
  if (port.empty() || port.size() > 5) return false;
  int n = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  return n >= 1 && n <= 65535;
}

bool valid_site_address(std::string_view address) {
  const std::size_t scheme = address.find("://");
  const std::size_t slash =
      scheme == std::string_view::npos ? std::string_view::npos : address.find('/', scheme + 3);
  if (!valid_service_address(address.substr(0, slash))) return false;
  if (slash == std::string_view::npos) return true;
  for (const char c : address.substr(slash)) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f || c == '?' || c == '#' || c == '\\') return false;
  }
  return true;
}

Value cls_accmanager::config_getkey(std::string_view key, bool machine_wide,
                                    const Value& default_value) {
  if (machine_wide &&
      m_registry.reg_valueexists(HKEY_LOCAL_MACHINE, kConfigKeyPath, key, false, kRegSz)) {
    return m_registry.reg_getvalue(HKEY_LOCAL_MACHINE, kConfigKeyPath, key);
  }
  if (m_registry.reg_keyexists(HKEY_CURRENT_USER, kConfigKeyPath, false) &&
      m_registry.reg_valueexists(HKEY_CURRENT_USER, kConfigKeyPath, key, false, kRegSz)) {
    return m_registry.reg_getvalue(HKEY_CURRENT_USER, kConfigKeyPath, key);
  }
  return default_value;
}

void cls_accmanager::config_writekey(std::string_view key, const Value& value) {
  m_registry.reg_writevalue(HKEY_CURRENT_USER, kConfigKeyPath, key, value, true);
}

bool cls_accmanager::config_deletekey(std::string_view key) {
  if (!m_registry.reg_keyexists(HKEY_CURRENT_USER, kConfigKeyPath, false)) {
    // Nothing stored: nothing to remove, unless the store could not be read.
    return m_registry.reg_rootstatus(HKEY_CURRENT_USER) == 0;
  }
  return m_registry.reg_deletevalue(HKEY_CURRENT_USER, kConfigKeyPath, key);
}

void config_load(cls_accmanager& store, Configuration& config) {
  Configuration defaults;
  config = defaults;
  constexpr std::string_view kOneOrTwo = "is not 1 or 2";
  constexpr std::string_view kZeroOrOne = "is not 0 or 1";
  load_integer(store, "trading_updatemode", config.trading_updatemode, one_of_two, kOneOrTwo);
  load_integer(store, "trading_updatefrq", config.trading_updatefrq, offered_frequency,
               "is not 1, 2, 3, 4, 5, 10, 15, 30 or 60");
  load_integer(store, "connectionerrorhandling", config.connectionerrorhandling, one_of_two,
               kOneOrTwo);
  load_integer(store, "parseerrorhandling", config.parseerrorhandling, one_of_two, kOneOrTwo);
  load_integer(store, "useproxy", config.useproxy, zero_or_one, kZeroOrOne);
  load_text(store, "proxy_server", config.proxy_server);
  load_text(store, "proxy_user", config.proxy_user);
  load_text(store, "proxy_password", config.proxy_password);
  constexpr std::string_view kSeconds = "is not a number of seconds from 1 to 86400";
  load_integer(store, "connection_timeout", config.connection_timeout, usable_timeout, kSeconds);
  load_integer(store, "receive_timeout", config.receive_timeout, usable_timeout, kSeconds);
  load_text(store, "history_service", config.history_service);
  load_integer(store, "send_on_completion", config.send_on_completion, zero_or_one, kZeroOrOne);
  load_text(store, "product_site", config.product_site);
  if (!config.product_site.empty() && !valid_site_address(config.product_site)) {
    warn(store, "product_site", Value(config.product_site),
         "is not an address like https://host/path");
    config.product_site = defaults.product_site;
  }
  // An unusable address would only make every history request fail; none
  // at all is what a history formula explains to the user.
  if (!config.history_service.empty() && !valid_service_address(config.history_service)) {
    warn(store, "history_service", Value(config.history_service),
         "is not an address like https://host");
    config.history_service = defaults.history_service;
  }
}

void config_save(cls_accmanager& store, const Configuration& config) {
  for (std::string_view name : kSettingNames) config_save_one(store, config, name);
}

}  // namespace quillo::addin

namespace quillo::addin {

namespace {

// The stored form of each setting: numbers as 32-bit values, texts as texts.
std::optional<Value> setting_value(const Configuration& c, std::string_view name) {
  auto number = [](auto n) { return Value(static_cast<std::int32_t>(n)); };
  if (name == "trading_updatemode") return number(c.trading_updatemode);
  if (name == "trading_updatefrq") return number(c.trading_updatefrq);
  if (name == "connectionerrorhandling") return number(c.connectionerrorhandling);
  if (name == "parseerrorhandling") return number(c.parseerrorhandling);
  if (name == "useproxy") return number(c.useproxy);
  if (name == "proxy_server") return Value(c.proxy_server);
  if (name == "proxy_user") return Value(c.proxy_user);
  if (name == "proxy_password") return Value(c.proxy_password);
  if (name == "connection_timeout") return number(c.connection_timeout);
  if (name == "receive_timeout") return number(c.receive_timeout);
  if (name == "history_service") return Value(c.history_service);
  if (name == "send_on_completion") return number(c.send_on_completion);
  if (name == "product_site") return Value(c.product_site);
  return std::nullopt;
}

}  // namespace

bool config_save_one(cls_accmanager& store, const Configuration& config, std::string_view name) {
  const auto v = setting_value(config, name);
  if (!v) return false;
  store.config_writekey(name, *v);
  return true;
}

std::optional<std::string> config_text(const Configuration& config, std::string_view name) {
  const auto v = setting_value(config, name);
  if (!v) return std::nullopt;
  return v->to_text();
}

}  // namespace quillo::addin
