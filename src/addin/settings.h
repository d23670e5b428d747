// settings: the settings dialog as a model on the dialog layer. Its
// controls are reachable by name and as members; the handlers carry the dialog's
// behaviour: loadconfig fills the controls from the configuration,
// useproxy_Click follows the check box, button_ok_Click validates, stores and
// closes, button_cancel_Click closes without storing.
//
// Event-loop thread only. The dialog changes the Configuration it was given
// only on OK, and then saves it through the configuration store.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "addin/cls_accmanager.h"
#include "host/dialog.h"

namespace quillo::addin {

// The control kinds by the names the dialog's users have known them.
using DialogLabel = host::Control;
using DialogFrame = host::Control;
using DialogList = host::Control;
using DialogCheckBox = host::Control;
using DialogTextBox = host::Control;
using DialogButton = host::Control;

class settings : public host::Dialog {
 public:
  // update_data_enabled is told whether the "Update data" menu item should
  // be enabled after the settings were stored; it may be empty.
  settings(Configuration& config, cls_accmanager& store,
           std::function<void(bool)> update_data_enabled = {});

  host::Control& Frame1 = add(host::ControlKind::Frame, "Frame1", "Trading data update");
  host::Control& Label1 = add(host::ControlKind::Label, "Label1", "Update mode:");
  host::Control& select_updatemode =
      add_list(host::ControlKind::DropDown, "select_updatemode", {"Automatic", "Manual"});
  host::Control& Label2 = add(host::ControlKind::Label, "Label2", "Update frequency:");
  host::Control& select_updatefrq = add_list(host::ControlKind::DropDown, "select_updatefrq",
                                             {"1", "2", "3", "4", "5", "10", "15", "30", "60"});
  host::Control& Label3 = add(host::ControlKind::Label, "Label3", "minutes");

  host::Control& Frame2 = add(host::ControlKind::Frame, "Frame2", "Error handling");
  host::Control& Label4 = add(host::ControlKind::Label, "Label4", "internet connection errors:");
  host::Control& select_connectionerror =
      add_list(host::ControlKind::DropDown, "select_connectionerror",
               {"display error message", "preserve last figure"});
  host::Control& Label5 = add(host::ControlKind::Label, "Label5", "dataparse errors:");
  host::Control& select_parseerror = add_list(host::ControlKind::DropDown, "select_parseerror",
                                              {"display error message", "preserve last figure"});

  host::Control& Frame3 = add(host::ControlKind::Frame, "Frame3", "Internet connection");
  host::Control& useproxy = add(host::ControlKind::CheckBox, "useproxy", "Use proxy server");
  host::Control& Label7 = add(host::ControlKind::Label, "Label7", "Server:");
  host::Control& proxy_url = add(host::ControlKind::TextBox, "proxy_url");
  host::Control& Label8 = add(host::ControlKind::Label, "Label8", "Username:");
  host::Control& proxy_user = add(host::ControlKind::TextBox, "proxy_user");
  host::Control& Label9 = add(host::ControlKind::Label, "Label9", "Password:");
  host::Control& proxy_password = add(host::ControlKind::TextBox, "proxy_password");
  host::Control& Label10 = add(host::ControlKind::Label, "Label10", "Connection timeout:");
  host::Control& connection_timeout = add(host::ControlKind::TextBox, "connection_timeout");
  host::Control& Label6 = add(host::ControlKind::Label, "Label6", "seconds");
  host::Control& Label11 = add(host::ControlKind::Label, "Label11", "Receive timeout:");
  host::Control& receive_timeout = add(host::ControlKind::TextBox, "receive_timeout");
  host::Control& label12 = add(host::ControlKind::Label, "label12", "seconds");

  host::Control& button_ok = add(host::ControlKind::Button, "button_ok", "Ok");
  host::Control& button_cancel = add(host::ControlKind::Button, "button_cancel", "Cancel");

  // Opens the dialog: fills the controls, then shows it.
  void show();
  void loadconfig();
  void useproxy_Click();
  void button_ok_Click() { save_close(); }
  void save_close();
  // What save_close takes from the controls into the configuration, without
  // storing it or closing.
  void apply_controls();
  void button_cancel_Click() { hide(); }

 private:
  void enable_proxy_controls(bool on);

  Configuration& m_config;
  cls_accmanager& m_store;
  std::function<void(bool)> m_update_data_enabled;
};

}  // namespace quillo::addin
