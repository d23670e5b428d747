#include "addin/dataload.h"

#include <cctype>

#include "common/text.h"
#include "host/worksheet.h"
#include "parse/definitions.h"

namespace quillo::addin {

AddinState::AddinState(Platform platform)
    : m_accmanager(platform.registry), m_platform(std::move(platform)) {
  if (!m_platform.files) {
    m_own_files = host::make_platform_file_system();
    m_platform.files = m_own_files.get();
  }
}

AddinState::~AddinState() {
  unbind();
}

bool AddinState::bind(host::Application& app) {
  if (m_app == &app) return true;
  if (m_app) return false;
  m_app = &app;
  m_engine = std::make_unique<EngineFacade>(app, m_platform.loop, m_platform.transport);
  m_engine->register_methods();
  return true;
}

void AddinState::unbind() {
  // The dialog and the menu refer to the host; the engine withdraws its
  // requests as it goes.
  m_accmanager.site_detach();
  m_settings_dialog.reset();
  m_assistant_dialogs.reset();
  m_gui.reset();
  m_engine.reset();
  m_app = nullptr;
}

void AddinState::apply_configuration() {
  if (!m_engine) return;
  EngineSettings s;
  s.connectionerrorhandling = m_config.connectionerrorhandling;
  s.parseerrorhandling = m_config.parseerrorhandling;
  s.useproxy = m_config.useproxy;
  s.proxy_server = m_config.proxy_server;
  s.proxy_user = m_config.proxy_user;
  s.proxy_password = m_config.proxy_password;
  s.connection_timeout = m_config.connection_timeout;
  s.receive_timeout = m_config.receive_timeout;
  s.send_on_completion = m_config.send_on_completion == 1;
  s.history_service = m_config.history_service;
  m_engine->configure(s);
}

bool AddinState::reload_configuration() {
  Configuration fresh;
  config_load(m_accmanager, fresh);
  if (fresh == m_config) return false;
  m_config = std::move(fresh);
  apply_configuration();
  return true;
}

void AddinState::show_settings() {
  if (!m_settings_dialog) {
    m_settings_dialog = std::make_unique<settings>(m_config, m_accmanager, [this](bool manual) {
      // The dialog stored new settings: the engine and the menu follow them.
      apply_configuration();
      if (!m_app) return;
      if (manual) {
        enable_updatedatamenu(m_app->command_bars());
      } else {
        disable_updatedatamenu(m_app->command_bars());
      }
    });
  }
  m_settings_dialog->show();
}

assistants::Assistants* AddinState::assistants() {
  if (!m_assistant_dialogs && m_app && m_engine) {
    m_assistant_dialogs = std::make_unique<assistants::Assistants>(
        assistants::Workplace{*m_app, *m_engine, m_platform.messages, m_active_cell, {}});
  }
  return m_assistant_dialogs.get();
}

void AddinState::set_status(std::string_view text, bool hide) {
  m_status_text = std::string(text);
  if (!m_gui) return;
  form_about& about = m_gui->about_box();
  about.status = m_status_text;
  if (hide && about.visible) about.hide();
}

void AddinState::site_attach() {
  if (!m_engine || !m_app) return;
  SiteServices s;
  s.app = m_app;
  s.engine = m_engine.get();
  s.transport = &m_platform.transport;
  s.files = m_platform.files;
  s.messages = &m_platform.messages;
  s.site = m_config.product_site;
  s.loaded_version = [this] {
    return m_engine ? m_engine->definitions().version() : std::string();
  };
  s.add_rand = [this](std::string_view url) {
    return m_engine ? m_engine->add_rand(url) : std::string(url);
  };
  s.set_status = [this](std::string_view text, bool hide) { set_status(text, hide); };
  s.log = [this](std::string_view text) {
    if (m_engine) m_engine->log_event("site", text);
    if (m_platform.site_log) m_platform.site_log(text);
  };
  m_accmanager.site_attach(std::move(s));
  m_engine->set_processor(kDefinitionsProcessor, [this](const std::string& r, std::int32_t n,
                                                        std::int16_t st, const std::string& m) {
    wsget_responseprocessor(*this, r, n, st, m);
  });
  m_engine->set_processor(
      kSiteProcessor, [this](const std::string& r, std::int32_t n, std::int16_t st,
                             const std::string& m) { site_responseprocessor(*this, r, n, st, m); });
}

bool AddinState::site_check(bool update_definitions) {
  if (!m_engine || m_config.product_site.empty()) return false;
  site_attach();
  m_site_updates_definitions = update_definitions;
  // Definitions that did not load set up no channels; the site (and the
  // newer definitions it may bring) still needs its own.
  m_engine->ensure_channels();
  std::string url = m_config.product_site;
  if (url.back() != '/') url += '/';
  url = m_engine->add_rand(url + "site.xml");
  if (!m_engine->send(url, kSiteProcessor, kSiteRequestNumber, "internal")) {
    m_accmanager.site_failed("the site document could not be requested");
    return false;
  }
  return true;
}

void wsget_responseprocessor(AddinState& state, const std::string& response, std::int32_t,
                             std::int16_t status, const std::string& message) {
  state.accmanager().wsget_response(response, status, message);
}

void site_responseprocessor(AddinState& state, const std::string& response, std::int32_t,
                            std::int16_t status, const std::string& message) {
  cls_accmanager& acc = state.accmanager();
  if (status != 200) {
    acc.site_failed(status == http::kTransportFailure
                        ? "the site document could not be fetched: " + message
                        : "the site document was answered with HTTP status " +
                              std::to_string(status));
    return;
  }
  std::string why;
  if (auto site = site_document_parse(response, &why)) {
    acc.site_received(*site, state.m_site_updates_definitions);
  } else {
    acc.site_failed(why);
  }
}

namespace {

std::string installpath_get(AddinState& state) {
  return state.accmanager().install_path();
}

// Everything after the last separator: the file name of a path.
std::string_view file_name_of(std::string_view path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The workbook as a formula names it before "!": quoted (with apostrophes
// doubled) unless it is a plain name.
std::string book_reference(std::string_view book) {
  bool plain = !book.empty();
  for (const char c : book) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.') plain = false;
  }
  if (plain) return std::string(book) + "!";
  std::string out = "'";
  for (const char c : book) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'!";
}

GuiActions gui_actions(AddinState& state) {
  GuiActions a;
  a.update_data = [&state] {
    if (state.engine()) state.engine()->reset_requests();
  };
  a.settings = [&state] { state.show_settings(); };
  a.search = [&state] {
    if (auto* d = state.assistants()) d->open_search();
  };
  a.single_item_assistant = [&state] {
    if (auto* d = state.assistants()) d->open_single_item();
  };
  a.history_assistant = [&state] {
    if (auto* d = state.assistants()) d->open_history();
  };
  a.create_weblink = [&state] {
    if (state.link_wizard()) return state.link_wizard()();
    // Without a page view, links are made from the command line; the menu
    // entry says how.
    state.platform().messages.message_box(
        "Web links are created from the command line for now: quillo link add", "Create Weblink",
        host::MessageIcon::Information);
  };
  a.status_text = [&state] { return state.status_text(); };
  return a;
}

}  // namespace

void addin_startup(AddinState& state) {
  host::Application& app = *state.m_app;
  Platform& p = state.platform();
  app.set_ask_to_update_links(false);
  app.set_display_alerts(false);
  xla_install(state);
  state.m_minute_timer_id =
      p.loop.set_timer(p.minute_ms, [&state] { minute_timer(state, state.m_minute_timer_id); });
  state.m_second_timer_id =
      p.loop.set_timer(p.second_ms, [&state] { second_timer(state, state.m_second_timer_id); });
  definitions_load(state);
  if (!state.m_gui) {
    state.m_gui =
        std::make_unique<cls_gui>(app.command_bars(), p.messages, p.browser, gui_actions(state));
  }
  // A menu that cannot be built leaves the add-in without it; the rest runs.
  (void)state.m_gui->build_menus();
  config_load(state.m_accmanager, state.m_config);
  state.apply_configuration();
  if (state.m_config.trading_updatemode == 2) {
    enable_updatedatamenu(app.command_bars());
  } else {
    disable_updatedatamenu(app.command_bars());
  }
  // The site's document comes later, on the loop; start-up does not wait.
  if (p.site_at_startup) (void)state.site_check();
  // The status texts are constant tables; the random source of add_rand is
  // seeded when the engine is made.
  state.m_update_counter = 0;
  state.m_counter15 = 0;
  state.m_counter30 = 0;
  state.m_engine->forget_in_flight();
  state.m_weblink_left = -1;
  state.m_weblink_top = -1;
}

void addin_shutdown(AddinState& state) {
  Platform& p = state.platform();
  p.loop.kill_timer(state.m_minute_timer_id);
  p.loop.kill_timer(state.m_second_timer_id);
  state.m_minute_timer_id = 0;
  state.m_second_timer_id = 0;
  if (state.m_engine) state.m_engine->close_requests();
  if (state.m_app && !state.m_gui) {
    state.m_gui = std::make_unique<cls_gui>(state.m_app->command_bars(), p.messages, p.browser,
                                            gui_actions(state));
  }
  if (state.m_gui) state.m_gui->remove_menus();
}

std::string get_dllpath(host::ObjectFactory& objects, std::string_view prog_id) {
  // Creating the object proves the class can be made, as the platform's
  // type information would; then its implementing file is asked for.
  if (!objects.create(prog_id).ok()) return {};
  return objects.module_path(prog_id).value_or(std::string());
}

void xla_install(AddinState& state) {
  host::Application& app = *state.m_app;
  Platform& p = state.platform();
  std::string installpath = installpath_get(state);
  if (installpath.empty()) {
    const std::string path = get_dllpath(p.objects, kConnectProgId);
    if (!path.empty()) {
      installpath = path.substr(0, path.size() - file_name_of(path).size());
      if (p.data_folder) installpath = p.data_folder(installpath);
      if (p.remember_install_path) {
        state.m_accmanager.config_writekey(kInstallPathName, Value(installpath));
      } else {
        state.m_accmanager.set_found_install_path(installpath);
      }
    }
  }

  host::WorkbookPtr added;
  if (app.workbooks().count() == 0) {
    if (auto book = app.workbooks().add(); book.ok()) added = *book;
  }
  bool found = false;
  host::AddIns& addins = app.add_ins();
  for (std::int32_t i = 1; i <= addins.count(); ++i) {
    const auto item = addins.item(i);
    if (item.ok() && (*item)->name().value_or(std::string()) == kLibraryName) found = true;
  }
  Status st;
  if (!found) {
    const auto entry = addins.add(installpath + std::string(kLibraryName));
    st = entry.ok() ? (*entry)->set_installed(true) : entry.status();
  }
  if (added) (void)added->close(false);
  if (!st.ok()) {
    p.messages.message_box(
        "Unable to add tarnvale.xla to the add-ins! Please locate tarnvale.xla and add it via "
        "Tools/Addins.",
        "Installation Error", host::MessageIcon::Critical);
  }
}

void definitions_load(AddinState& state) {
  const std::string installpath = installpath_get(state);
  if (!state.m_engine) return;
  if (installpath.empty()) {
    state.m_definitions_error = "no install folder (the setting installpath) to load " +
                                std::string(kDefinitionsName) + " from";
    return;
  }
  // A file that is missing or does not load leaves no definitions; every
  // request then fails with its own message. Front ends that cannot show
  // those (the command line) read definitions_error and refuse to run.
  const std::string file = installpath + std::string(kDefinitionsName);
  const Status loaded = state.m_engine->load_definitions_file(file);
  state.m_definitions_error = loaded.ok() ? std::string() : file + ": " + loaded.message();
  if (!loaded.ok() && state.platform().report_definitions_failure) {
    // The loader's text already leads with the message's words and names
    // the file, line and reason.
    const std::string& why = loaded.message();
    state.platform().messages.message_box(
        why.starts_with(kLoadErrorText) ? why : std::string(kLoadErrorText) + ": " + why, "quillo",
        host::MessageIcon::None);
  }
}

void minute_timer(AddinState& state, host::TimerId id) {
  state.m_minute_timer_id = id;
  ++state.m_update_counter;
  ++state.m_counter15;
  ++state.m_counter30;
  const Configuration& c = state.m_config;
  if (c.trading_updatemode == 1 && state.m_engine && state.m_app) {
    state.m_app->set_display_alerts(false);
    state.m_engine->send_due_updates(UpdateRound{state.m_update_counter >= c.trading_updatefrq,
                                                 state.m_counter15 >= 15, state.m_counter30 >= 30});
    state.m_app->set_display_alerts(true);
  }
  if (state.m_update_counter >= c.trading_updatefrq) state.m_update_counter = 0;
  if (state.m_counter15 > 14) state.m_counter15 = 0;
  if (state.m_counter30 > 29) state.m_counter30 = 0;
}

void second_timer(AddinState& state, host::TimerId id) {
  state.m_second_timer_id = id;
  if (!state.m_engine) return;
  state.m_engine->send_queued();
  // The area pass: every area is of the price-history kind, whose tables
  // the answers write, so there is nothing to draw here; the flag is
  // consumed.
  if (state.m_app && state.m_engine->take_areas_dirty()) state.m_app->set_display_alerts(false);
  // Computed indicator series are written beside their formulas.
  state.m_engine->write_computed_series();
}

bool link_repaired(std::string_view book) {
  return text::find_ci(book, kLibraryName) != 0;
}

void link_repair(host::Application& app, host::Workbook& book) {
  const bool alerts = app.display_alerts();
  app.set_display_alerts(false);
  const auto links = book.link_sources();
  if (links.ok()) {
    for (const std::string& s : *links) {
      if (!link_repaired(s)) continue;
      const std::int32_t sheets = book.worksheet_count().value_or(0);
      for (std::int32_t j = 1; j <= sheets; ++j) {
        const auto sheet = book.worksheet(j);
        if (!sheet.ok()) continue;
        const auto cells = (*sheet)->cells();
        if (!cells.ok()) continue;
        const auto found = (*cells)->find(kLibraryName);
        if (!found.ok() || !*found) continue;
        host::ReplaceOptions options;
        options.look_at = host::LookAt::Part;
        options.order = host::SearchOrder::ByRows;
        options.match_case = false;
        // Only formulas call the library; a text that mentions its path
        // is the user's and stays as typed.
        options.formulas_only = true;
        (void)(*cells)->replace(book_reference(s), "", options);
      }
    }
  }
  app.set_display_alerts(alerts);
}

}  // namespace quillo::addin
