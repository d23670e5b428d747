// settings: the settings dialog as a model. Its controls are plain fields a
// front end (or a test) reads and sets; the handlers carry the dialog's
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

namespace quillo::addin {

struct DialogLabel {
  std::string caption;
  bool enabled = true;
};
struct DialogFrame {
  std::string caption;
};
// A drop-down list; list_index -1 means nothing is selected.
struct DialogList {
  std::vector<std::string> list;
  std::int32_t list_index = -1;
  bool enabled = true;
};
struct DialogCheckBox {
  std::string caption;
  std::int32_t value = 0;  // 1 checked
  bool enabled = true;
};
struct DialogTextBox {
  std::string text;
  bool enabled = true;
};
struct DialogButton {
  std::string caption;
};

class settings {
 public:
  // update_data_enabled is told whether the "Update data" menu item should
  // be enabled after the settings were stored; it may be empty.
  settings(Configuration& config, cls_accmanager& store,
           std::function<void(bool)> update_data_enabled = {});

  std::string caption = "Settings";
  bool visible = false;

  DialogFrame Frame1{"Trading data update"};
  DialogLabel Label1{"Update mode:"};
  DialogList select_updatemode{{"Automatic", "Manual"}};
  DialogLabel Label2{"Update frequency:"};
  DialogList select_updatefrq{{"1", "2", "3", "4", "5", "10", "15", "30", "60"}};
  DialogLabel Label3{"minutes"};

  DialogFrame Frame2{"Error handling"};
  DialogLabel Label4{"internet connection errors:"};
  DialogList select_connectionerror{{"display error message", "preserve last figure"}};
  DialogLabel Label5{"dataparse errors:"};
  DialogList select_parseerror{{"display error message", "preserve last figure"}};

  DialogFrame Frame3{"Internet connection"};
  DialogCheckBox useproxy{"Use proxy server"};
  DialogLabel Label7{"Server:"};
  DialogTextBox proxy_url;
  DialogLabel Label8{"Username:"};
  DialogTextBox proxy_user;
  DialogLabel Label9{"Password:"};
  DialogTextBox proxy_password;
  DialogLabel Label10{"Connection timeout:"};
  DialogTextBox connection_timeout;
  DialogLabel Label6{"seconds"};
  DialogLabel Label11{"Receive timeout:"};
  DialogTextBox receive_timeout;
  DialogLabel label12{"seconds"};

  DialogButton button_ok{"Ok"};
  DialogButton button_cancel{"Cancel"};

  // Opens the dialog: fills the controls, then shows it.
  void show();
  void loadconfig();
  void useproxy_Click();
  void button_ok_Click() { save_close(); }
  void save_close();
  // What save_close takes from the controls into the configuration, without
  // storing it or closing.
  void apply_controls();
  void button_cancel_Click() { visible = false; }

 private:
  void enable_proxy_controls(bool on);

  Configuration& m_config;
  cls_accmanager& m_store;
  std::function<void(bool)> m_update_data_enabled;
};

}  // namespace quillo::addin
