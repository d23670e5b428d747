#include "addin/settings.h"

#include <array>

#include "common/text.h"

namespace quillo::addin {
namespace {

constexpr std::array<std::int16_t, 9> kFrequencies = {1, 2, 3, 4, 5, 10, 15, 30, 60};

// 1 selects the first entry, 2 the second; anything else selects nothing.
std::int32_t one_or_two_entry(std::int32_t value) {
  return value == 1 ? 0 : value == 2 ? 1 : -1;
}

// The setting for a two-entry list; unchanged when nothing is selected.
void from_one_or_two(const host::Control& list, std::int16_t& setting) {
  if (list.list_index == 0 || list.list_index == 1) {
    setting = static_cast<std::int16_t>(list.list_index + 1);
  }
}

void timeout_from_text(const host::Control& box, std::int32_t& setting) {
  if (auto n = text::to_int32(box.text)) setting = *n;
}

}  // namespace

settings::settings(Configuration& config, cls_accmanager& store,
                   std::function<void(bool)> update_data_enabled)
    : Dialog("settings", "Settings"),
      m_config(config),
      m_store(store),
      m_update_data_enabled(std::move(update_data_enabled)) {
  on("useproxy", host::DialogEvent::Click, [this](std::int32_t) { useproxy_Click(); });
  on("button_ok", host::DialogEvent::Click, [this](std::int32_t) { button_ok_Click(); });
  on("button_cancel", host::DialogEvent::Click, [this](std::int32_t) { button_cancel_Click(); });
}

void settings::show() {
  loadconfig();
  Dialog::show();
}

void settings::loadconfig() {
  select_updatemode.list_index = one_or_two_entry(m_config.trading_updatemode);
  // A frequency not offered shows as the second entry.
  select_updatefrq.list_index = 1;
  for (std::size_t i = 0; i < kFrequencies.size(); ++i) {
    if (m_config.trading_updatefrq == kFrequencies[i]) {
      select_updatefrq.list_index = static_cast<std::int32_t>(i);
    }
  }
  select_connectionerror.list_index = one_or_two_entry(m_config.connectionerrorhandling);
  select_parseerror.list_index = one_or_two_entry(m_config.parseerrorhandling);
  useproxy.value = m_config.useproxy == 1 ? 1 : 0;
  enable_proxy_controls(useproxy.value == 1);
  proxy_url.text = m_config.proxy_server;
  proxy_user.text = m_config.proxy_user;
  proxy_password.text = m_config.proxy_password;
  connection_timeout.text = std::to_string(m_config.connection_timeout);
  receive_timeout.text = std::to_string(m_config.receive_timeout);
}

void settings::useproxy_Click() {
  enable_proxy_controls(useproxy.value == 1);
}

void settings::enable_proxy_controls(bool on) {
  proxy_url.enabled = proxy_user.enabled = proxy_password.enabled = on;
  Label7.enabled = Label8.enabled = Label9.enabled = on;
}

void settings::save_close() {
  apply_controls();
  config_save(m_store, m_config);
  // In manual mode the user needs the menu item to update at all.
  if (m_update_data_enabled) m_update_data_enabled(m_config.trading_updatemode != 1);
  hide();
}

void settings::apply_controls() {
  from_one_or_two(select_updatemode, m_config.trading_updatemode);
  std::int32_t f = select_updatefrq.list_index;
  if (f >= 0 && f < static_cast<std::int32_t>(kFrequencies.size())) {
    m_config.trading_updatefrq = kFrequencies[static_cast<std::size_t>(f)];
  }
  from_one_or_two(select_connectionerror, m_config.connectionerrorhandling);
  from_one_or_two(select_parseerror, m_config.parseerrorhandling);
  m_config.useproxy = useproxy.value == 1 ? 1 : 0;
  m_config.proxy_server = proxy_url.text;
  m_config.proxy_user = proxy_user.text;
  m_config.proxy_password = proxy_password.text;
  timeout_from_text(connection_timeout, m_config.connection_timeout);
  timeout_from_text(receive_timeout, m_config.receive_timeout);
}

}  // namespace quillo::addin
