// The definitions update and the model library of cls_accmanager: what the
// product site's document sets going.
#include <algorithm>
#include <filesystem>

#include "addin/cls_accmanager.h"
#include "addin/cls_gui.h"
#include "host/process.h"
#include "parse/definitions.h"

namespace quillo::addin {

namespace {

constexpr std::string_view kDownloadFailed = "Unable to download new web-parse definitions!";
constexpr std::string_view kNoInstallFolder = "Update of webschema.xml failed.";

// The site's address followed by a path relative to it.
std::string site_join(std::string_view site, std::string_view path) {
  std::string out(site);
  if (out.empty() || out.back() != '/') out += '/';
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  out += path;
  return out;
}

// A file name as one segment of an address: everything but the unreserved
// characters percent-encoded, so a blank or "#" cannot change the address.
std::string encode_segment(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

std::string model_failure_text(std::string_view name) {
  return "Tarnvale is unable to download the following model: " + std::string(name) + ".\r" +
         "Please visit Brenmoor download section to download this file.";
}

}  // namespace

namespace {

// A version without the blanks, tabs and line breaks a file may put around
// it ("<version>\n  2026.2.1\n</version>").
std::string_view version_text(std::string_view s) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const std::size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

bool all_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool definitions_version_valid(std::string_view version) {
  version = version_text(version);
  if (version.empty()) return false;
  while (true) {
    const std::size_t dot = version.find('.');
    if (!all_digits(version.substr(0, dot))) return false;
    if (dot == std::string_view::npos) return true;
    version.remove_prefix(dot + 1);
  }
}

int definitions_version_compare(std::string_view a, std::string_view b) {
  a = version_text(a);
  b = version_text(b);
  while (!a.empty() || !b.empty()) {
    if (a.empty()) return -1;
    if (b.empty()) return 1;
    const std::size_t da = std::min(a.find('.'), a.size());
    const std::size_t db = std::min(b.find('.'), b.size());
    std::string_view pa = a.substr(0, da), pb = b.substr(0, db);
    int order = 0;
    if (all_digits(pa) && all_digits(pb)) {
      // Leading zeros do not count; then the longer number is the larger.
      while (pa.size() > 1 && pa.front() == '0') pa.remove_prefix(1);
      while (pb.size() > 1 && pb.front() == '0') pb.remove_prefix(1);
      order = pa.size() != pb.size() ? (pa.size() < pb.size() ? -1 : 1) : pa.compare(pb);
    } else if (all_digits(pa) != all_digits(pb)) {
      // A number is newer than a part that is none: definitions whose
      // version is no number can still be replaced by numbered ones.
      order = all_digits(pa) ? 1 : -1;
    } else {
      order = pa.compare(pb);
    }
    if (order != 0) return order < 0 ? -1 : 1;
    a.remove_prefix(std::min(da + 1, a.size()));
    b.remove_prefix(std::min(db + 1, b.size()));
  }
  return 0;
}

bool safe_model_name(std::string_view name) {
  if (name.empty() || name.find("..") != std::string_view::npos) return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return c == '/' || c == '\\' || u < 0x20 || u == 0x7f;
  });
}

cls_accmanager::~cls_accmanager() {
  site_detach();
}

void cls_accmanager::site_attach(SiteServices services) {
  site_detach();
  m_site = std::move(services);
  m_attached = true;
  m_site_answered = false;
}

void cls_accmanager::site_detach() {
  if (m_site.transport) {
    for (const std::uint64_t id : m_downloads) m_site.transport->cancel(id);
  }
  m_downloads.clear();
  for (auto& h : m_handlers) h.reset();
  m_site = {};
  m_attached = false;
}

void cls_accmanager::log(std::string_view text) const {
  if (m_site.log) m_site.log(text);
}

void cls_accmanager::update_finished(UpdateState state, std::string message) {
  m_update.state = state;
  m_update.message = std::move(message);
}

void cls_accmanager::site_failed(std::string why) {
  m_site_answered = true;
  m_update = {};
  update_finished(UpdateState::SiteFailed, std::move(why));
}

void cls_accmanager::site_received(const SiteDocument& site, bool update_definitions) {
  m_site_answered = true;
  // Versions are compared without the blanks and line breaks around them.
  m_announced_version = std::string(version_text(site.definitions_version.value_or(std::string())));
  m_definitions_path = site.definitions_path;
  m_library = site.library;
  m_update = {};
  m_update.from =
      std::string(version_text(m_site.loaded_version ? m_site.loaded_version() : std::string()));
  m_update.to = m_announced_version;
  if (!update_definitions) {
    m_update.state = UpdateState::None;
  } else if (!site.definitions_version ||
             (!m_update.from.empty() &&
              definitions_version_compare(m_announced_version, m_update.from) == 0)) {
    update_finished(UpdateState::UpToDate, {});
  } else if (!definitions_version_valid(m_announced_version)) {
    // Such a version cannot be ordered against the installed one: taking
    // it could go back to older definitions.
    update_finished(UpdateState::Failed, "the site announces the version \"" + m_announced_version +
                                             "\", which is not dotted numbers (such as 2026.2.1)");
    log("definitions update: " + m_update.message + "; ds.xml is kept");
  } else if (!m_update.from.empty() &&
             definitions_version_compare(m_announced_version, m_update.from) < 0) {
    // Installing it would take the user back to older definitions, and the
    // next start would find the same difference and download it again.
    update_finished(UpdateState::Failed, "the site announces version " + m_announced_version +
                                             ", older than the installed " + m_update.from);
    log("definitions update: " + m_update.message + "; ds.xml is kept");
  } else if (m_definitions_path.empty()) {
    update_finished(UpdateState::Failed, "the site announces version " + m_announced_version +
                                             " but not where the file lies");
  } else {
    ws_download();
  }
  if (site.has_library) {
    library_parse();
    library_menu();
  }
}

void cls_accmanager::ws_download() {
  if (!m_attached || !m_site.engine) return;
  if (m_site.set_status) m_site.set_status(kDownloadingStatus, false);
  m_update.state = UpdateState::Downloading;
  const std::string address = site_join(m_site.site, m_definitions_path);
  const std::string url = m_site.add_rand ? m_site.add_rand(address) : address;
  EngineFacade& engine = *m_site.engine;
  // Without definitions there are no channels at all; the download is the
  // one thing that can bring usable ones, so it gets the fixed channels.
  engine.ensure_channels();
  if (!engine.send(url, kDefinitionsProcessor, kDefinitionsRequestNumber, "internal")) {
    wsget_response({}, http::kTransportFailure, "the download could not be sent");
  }
}

void cls_accmanager::wsget_response(const std::string& body, std::int16_t status,
                                    const std::string& message) {
  if (!m_attached) return;
  if (status == 200) {
    ws_response(body);
    return;
  }
  if (m_site.messages) m_site.messages->message_box(kDownloadFailed, "", host::MessageIcon::None);
  // The status must not claim a download that has ended.
  if (m_site.set_status) m_site.set_status(kIdleStatus, false);
  update_finished(UpdateState::Failed,
                  status == http::kTransportFailure
                      ? "the download failed: " + message
                      : "the download was answered with HTTP status " + std::to_string(status));
}

std::string cls_accmanager::installed_version(const std::string& file) const {
  // The loaded definitions, or a newer ds.xml already installed in this
  // session (it is read at the next start).
  std::string newest = m_update.from;
  if (!m_site.files) return newest;
  const auto text = m_site.files->read_file(file, kMaxDefinitionsBytes + 2);
  if (!text.ok()) return newest;
  Definitions installed;
  if (installed.load_text(*text, file) &&
      definitions_version_compare(installed.version(), newest) > 0) {
    newest = std::string(version_text(installed.version()));
  }
  return newest;
}

std::string cls_accmanager::install_path() {
  const Value v = config_getkey(kInstallPathName, true, Value(std::string()));
  if (v.is_text() && !v.text().empty()) return v.text();
  return m_found_install_path;
}

void cls_accmanager::ws_response(const std::string& body) {
  const std::string installpath = install_path();
  auto tell = [this](std::string_view text) {
    if (m_site.messages) m_site.messages->message_box(text, "", host::MessageIcon::None);
  };
  if (installpath.empty()) {
    tell(kNoInstallFolder);
    update_finished(UpdateState::Failed, "no install folder (the setting installpath) is known");
  } else {
    // Only a file that loads as definitions replaces the one in use: a cut
    // answer or an error page written over ds.xml would break every formula
    // at the next start. The new file is written whole or not at all.
    const std::string file = installpath + "ds.xml";
    std::string contents = body + "\r\n";
    Definitions check;
    std::string refused;
    if (body.size() > kMaxDefinitionsBytes) {
      refused = "it is larger than " + std::to_string(kMaxDefinitionsBytes >> 20) + " MB";
    } else if (!check.load_text(contents, "the downloaded ds.xml")) {
      refused = check.error();
    } else if (check.version().empty() || check.datasources().empty()) {
      // An error page can be well-formed markup; definitions name their
      // version and describe at least one data source.
      refused = "it is not a definitions file (no version or no data source)";
    } else if (const std::string got(version_text(check.version()));
               !definitions_version_valid(got) ||
               definitions_version_compare(got, m_announced_version) != 0) {
      // Another version than announced would be downloaded again at every
      // start, and may be a stale copy on the site.
      refused = "it is version " + got + ", not the announced " + m_announced_version;
    } else if (const std::string installed = installed_version(file);
               definitions_version_compare(got, installed) < 0) {
      refused = "it is version " + got + ", older than the installed " + installed;
    }
    if (!refused.empty()) {
      tell("The downloaded web-parse definitions were not installed: " + refused +
           ". The current ds.xml stays in use.");
      update_finished(UpdateState::Failed, "the downloaded file was refused: " + refused);
    } else if (const Status s = m_site.files ? m_site.files->write_file(file, contents)
                                             : Status::failed(file + ": no file system");
               !s.ok()) {
      update_finished(UpdateState::Failed, "ds.xml could not be written: " + s.message());
    } else {
      m_update.to = std::string(version_text(check.version()));
      update_finished(UpdateState::Updated, {});
    }
  }
  if (m_site.set_status) m_site.set_status(kIdleStatus, true);
}

void cls_accmanager::library_parse() {
  m_models = {};
  m_folders = {};
  std::size_t models = 0, folders = 0, left_out = 0;
  auto add = [&](const LibraryElement& e, std::string_view folder) {
    if (e.text.empty() || !safe_model_name(e.name)) {
      log("model library: the entry \"" + e.text + "\" (file \"" + e.name +
          "\") is left out: it needs a caption and a plain file name");
      return;
    }
    if (models == kMaxModels) {
      ++left_out;
      return;
    }
    m_models[models++] = ModelEntry{e.text, e.name, std::string(folder)};
  };
  for (const LibraryElement& e : m_library) {
    if (e.element != "folder") {
      add(e, kRootFolder);
      continue;
    }
    if (e.caption.empty() || folders == kMaxFolders) {
      log("model library: the folder \"" + e.caption + "\" and its " +
          std::to_string(e.children.size()) + " entries are left out (" +
          (e.caption.empty() ? "no caption" : "more than 20 folders") + ")");
      continue;
    }
    m_folders[folders++] = e.caption;
    for (const LibraryElement& child : e.children) {
      if (child.element == "folder") {
        log("model library: the folder \"" + child.caption + "\" inside \"" + e.caption +
            "\" is left out: folders do not nest");
        continue;
      }
      add(child, e.caption);
    }
  }
  if (left_out > 0) {
    log("model library: " + std::to_string(left_out) + " models beyond the first " +
        std::to_string(kMaxModels) + " are left out");
  }
}

void cls_accmanager::library_menu() {
  if (!m_attached || !m_site.app) return;
  // Like the product menu itself, the submenu is a convenience: what cannot
  // be built is left out and the add-in goes on.
  auto bar = m_site.app->command_bars().item(host::kWorksheetMenuBar);
  if (!bar.ok()) return;
  auto menu = (*bar)->controls().item(kMenuCaption);
  if (!menu.ok()) return;
  auto entries = (*menu)->controls();
  if (!entries.ok()) return;
  host::CommandBarControls& items = **entries;
  for (std::int32_t tries = items.count(); tries > 0; --tries) {
    auto old = items.item(kTemplatesCaption);
    if (!old.ok() || !(*old)->remove().ok()) break;
  }
  std::int32_t before = 0;
  if (auto settings = items.item(kSettingsCaption); settings.ok()) {
    before = (*settings)->index().value_or(0);
  }
  auto templates = items.add(host::ControlType::Popup, before, false);
  if (!templates.ok()) return;
  (void)(*templates)->set_caption(kTemplatesCaption);
  auto inside = (*templates)->controls();
  if (!inside.ok()) return;
  std::vector<std::pair<std::string, host::ControlPtr>> drop_downs;
  for (const std::string& caption : m_folders) {
    if (caption.empty()) continue;
    auto d = (*inside)->add(host::ControlType::Popup, 0, false);
    if (!d.ok()) continue;
    (void)(*d)->set_caption(caption);
    drop_downs.emplace_back(caption, *d);
  }
  for (std::size_t i = 0; i < kMaxModels; ++i) {
    const ModelEntry& m = m_models[i];
    if (m.caption.empty()) continue;
    host::CommandBarControls* to = *inside;
    if (m.folder != kRootFolder) {
      to = nullptr;
      for (auto& [caption, control] : drop_downs) {
        if (caption == m.folder) {
          auto c = control->controls();
          if (c.ok()) to = *c;
          break;
        }
      }
    }
    if (to == nullptr) continue;
    auto button = to->add(host::ControlType::Button, 0, false);
    if (!button.ok()) continue;
    (void)(*button)->set_caption(m.caption);
    if (!m_handlers[i]) {
      m_handlers[i] = std::make_unique<modelmenueventhandler>(
          [this](const std::string& caption) { model_launch(caption); });
    }
    m_handlers[i]->bind(*button);
  }
}

void cls_accmanager::model_launch(std::string_view caption, std::function<void(ModelOpened)> done) {
  const auto it = std::find_if(m_models.begin(), m_models.end(),
                               [&](const ModelEntry& m) { return m.caption == caption; });
  if (it == m_models.end() || caption.empty()) {
    if (done)
      done(ModelOpened::failure("the library has no model \"" + std::string(caption) + "\""));
    return;
  }
  const ModelEntry model = *it;
  auto fail = [this, &model, &done](std::string why) {
    if (m_site.messages) {
      m_site.messages->message_box(model_failure_text(model.name), "", host::MessageIcon::None);
    }
    if (done) {
      done(ModelOpened::failure(std::move(why)));
    } else {
      log("model library: " + model.name + ": " + why);
    }
  };
  if (!m_attached || !m_site.app || !m_site.transport || !m_site.engine) {
    fail("the add-in is not connected");
    return;
  }
  m_site.app->set_display_alerts(false);
  // The name comes from the site: it must not reach outside the library
  // folder, here or on the site.
  if (!safe_model_name(model.name)) {
    fail("the file name is not a plain file name");
    return;
  }
  const std::string url = site_join(m_site.site, "library/" + encode_segment(model.name));
  auto id = std::make_shared<std::uint64_t>(0);
  std::string error;
  // The workbook is opened as the site's: it must come from the site.
  http::HttpSettings settings = m_site.engine->http_settings();
  settings.same_origin_redirects = true;
  *id = m_site.transport->get(
      url, settings,
      [this, id, model, done](http::HttpResult result) {
        model_arrived(*id, model, std::move(result), done);
      },
      &error);
  if (*id == 0) {
    fail(url + " cannot be fetched: " + error);
    return;
  }
  m_downloads.push_back(*id);
}

void cls_accmanager::model_arrived(std::uint64_t id, const ModelEntry& model,
                                   http::HttpResult result,
                                   const std::function<void(ModelOpened)>& done) {
  std::erase(m_downloads, id);
  std::string why;
  if (!result.completed) {
    why = "the download failed: " + result.error_text;
  } else if (result.status != 200) {
    why = "the site answered with HTTP status " + std::to_string(result.status);
  } else if (result.body.empty()) {
    why = "the site answered with an empty file";
  }
  std::string folder, file;
  if (why.empty()) {
    folder = host::make_private_temp_folder("quillo-model-");
    file = folder + "/" + model.name;
    if (folder.empty()) {
      why = "no private temporary folder can be made";
    } else if (const Status s = m_site.files ? m_site.files->write_file(file, result.body)
                                             : Status::failed("no file system");
               !s.ok()) {
      why = s.message();
    }
  }
  if (why.empty()) {
    auto book = m_site.app->workbooks().open(file);
    if (book.ok()) {
      if (done) done({Status{}, *book, file});
      return;
    }
    why = book.status().message();
  }
  if (!folder.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
  if (m_site.messages) {
    m_site.messages->message_box(model_failure_text(model.name), "", host::MessageIcon::None);
  }
  if (done) {
    done(ModelOpened::failure(why));
  } else {
    log("model library: " + model.name + ": " + why);
  }
}

}  // namespace quillo::addin
