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

template <typename Int>
void load_integer(cls_accmanager& store, std::string_view name, Int& field) {
  Value v = store.config_getkey(name, false, Value(static_cast<std::int32_t>(field)));
  if (auto n = to_integer<Int>(v)) field = *n;
}

void load_text(cls_accmanager& store, std::string_view name, std::string& field) {
  Value v = store.config_getkey(name, false, Value(field));
  if (v.is_text() || v.is_number()) field = v.to_text();
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

void config_load(cls_accmanager& store, Configuration& config) {
  Configuration defaults;
  config = defaults;
  load_integer(store, "trading_updatemode", config.trading_updatemode);
  load_integer(store, "trading_updatefrq", config.trading_updatefrq);
  load_integer(store, "connectionerrorhandling", config.connectionerrorhandling);
  load_integer(store, "parseerrorhandling", config.parseerrorhandling);
  load_integer(store, "useproxy", config.useproxy);
  load_text(store, "proxy_server", config.proxy_server);
  load_text(store, "proxy_user", config.proxy_user);
  load_text(store, "proxy_password", config.proxy_password);
  load_integer(store, "connection_timeout", config.connection_timeout);
  load_integer(store, "receive_timeout", config.receive_timeout);
  load_text(store, "history_service", config.history_service);
  load_integer(store, "send_on_completion", config.send_on_completion);
  // An unusable address would only make every history request fail.
  if (!valid_service_address(config.history_service)) {
    config.history_service = defaults.history_service;
  }
}

void config_save(cls_accmanager& store, const Configuration& config) {
  auto number = [](auto n) { return Value(static_cast<std::int32_t>(n)); };
  store.config_writekey("trading_updatemode", number(config.trading_updatemode));
  store.config_writekey("trading_updatefrq", number(config.trading_updatefrq));
  store.config_writekey("connectionerrorhandling", number(config.connectionerrorhandling));
  store.config_writekey("parseerrorhandling", number(config.parseerrorhandling));
  store.config_writekey("useproxy", number(config.useproxy));
  store.config_writekey("proxy_server", Value(config.proxy_server));
  store.config_writekey("proxy_user", Value(config.proxy_user));
  store.config_writekey("proxy_password", Value(config.proxy_password));
  store.config_writekey("connection_timeout", number(config.connection_timeout));
  store.config_writekey("receive_timeout", number(config.receive_timeout));
  store.config_writekey("history_service", Value(config.history_service));
  store.config_writekey("send_on_completion", number(config.send_on_completion));
}

}  // namespace quillo::addin
