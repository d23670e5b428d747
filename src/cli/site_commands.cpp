#include "cli/site_commands.h"

#include <filesystem>
#include <optional>
#include <ostream>

#include "addin/dataload.h"
#include "cli/session.h"

namespace quillo::cli {

namespace {

constexpr const char* kUpdate = "quillo update-definitions";
constexpr const char* kModels = "quillo models";
constexpr const char* kModelsOpen = "quillo models open";

// Loads the add-in and asks the product site for its document; false, with
// the reason on err, when that cannot start.
bool ask_site(Session& session, const char* command, bool update, std::ostream& err) {
  addin::AddinState& state = session.state();
  if (!state.engine()) {
    err << command << ": the add-in could not be connected\n";
    return false;
  }
  if (state.accmanager().registry().reg_rootstatus(addin::HKEY_CURRENT_USER) != 0) {
    err << command << ": the settings file cannot be read: "
        << state.accmanager().registry().last_error().system_error_text << "\n";
    return false;
  }
  if (state.config().product_site.empty()) {
    err << command << ": no product site is set (quillo settings set product_site URL)\n";
    return false;
  }
  if (!state.site_check(update)) {
    err << command << ": the site's document cannot be requested from "
        << state.config().product_site << "\n";
    return false;
  }
  return true;
}

SessionOptions options_for(const char* command, std::ostream& err) {
  SessionOptions so;
  so.command = command;
  so.site_at_startup = false;
  so.site_log = [command, &err](std::string_view text) { err << command << ": " << text << "\n"; };
  return so;
}

std::int64_t ms(double seconds) {
  return static_cast<std::int64_t>(seconds * 1000);
}

}  // namespace

int run_update_definitions(const SiteOptions& options, std::ostream& out, std::ostream& err) {
  Session session(options_for(kUpdate, err), err);
  if (!ask_site(session, kUpdate, true, err)) return 2;
  const addin::cls_accmanager& acc = session.state().accmanager();
  auto finished = [&acc] {
    using addin::UpdateState;
    const UpdateState s = acc.definitions_update().state;
    return acc.site_answered() && s != UpdateState::None && s != UpdateState::Downloading;
  };
  if (!session.loop().run_until(finished, ms(options.timeout_seconds))) {
    err << kUpdate << ": no answer from " << session.state().config().product_site << " within "
        << options.timeout_seconds << " s; ds.xml is unchanged\n";
    return 1;
  }
  const addin::DefinitionsUpdate& u = acc.definitions_update();
  const std::string loaded = u.from.empty() ? std::string("none loaded") : u.from;
  switch (u.state) {
    case addin::UpdateState::UpToDate:
      out << "up to date (version " << loaded
          << (u.to.empty() ? "; the site announces no version" : "") << ")\n";
      return 0;
    case addin::UpdateState::Updated:
      out << "updated from " << loaded << " to " << u.to << "\n";
      return 0;
    default:
      err << kUpdate << ": " << u.message << "; ds.xml is unchanged\n";
      return 1;
  }
}

namespace {

// Asks for the library and waits for it: 0 when it arrived, else the exit
// code (the reason is on err).
int load_library(Session& session, const char* command, const SiteOptions& options,
                 std::ostream& err) {
  if (!ask_site(session, command, false, err)) return 2;
  const addin::cls_accmanager& acc = session.state().accmanager();
  if (!session.loop().run_until([&acc] { return acc.site_answered(); },
                                ms(options.timeout_seconds))) {
    err << command << ": no answer from " << session.state().config().product_site << "\n";
    return 1;
  }
  if (acc.definitions_update().state == addin::UpdateState::SiteFailed) {
    err << command << ": " << acc.definitions_update().message << "\n";
    return 1;
  }
  return 0;
}

}  // namespace

int run_models(const SiteOptions& options, std::ostream& out, std::ostream& err) {
  Session session(options_for(kModels, err), err);
  if (const int code = load_library(session, kModels, options, err); code != 0) return code;
  // As the menu shows it: the folders' submenus, then the top-level models.
  const addin::cls_accmanager& acc = session.state().accmanager();
  out << addin::kTemplatesCaption << "\n";
  auto models_in = [&](std::string_view folder, const char* indent) {
    for (const addin::ModelEntry& m : acc.models()) {
      if (!m.caption.empty() && m.folder == folder) {
        out << indent << m.caption << "  (" << m.name << ")\n";
      }
    }
  };
  for (const std::string& folder : acc.folders()) {
    if (folder.empty()) continue;
    out << "  " << folder << "/\n";
    models_in(folder, "    ");
  }
  models_in(addin::kRootFolder, "  ");
  return 0;
}

int run_models_open(const SiteOptions& options, std::ostream& out, std::ostream& err) {
  Session session(options_for(kModelsOpen, err), err);
  if (const int code = load_library(session, kModelsOpen, options, err); code != 0) return code;
  addin::cls_accmanager& acc = session.state().accmanager();
  bool known = false;
  for (const addin::ModelEntry& m : acc.models()) known = known || m.caption == options.caption;
  if (!known || options.caption.empty()) {
    err << kModelsOpen << ": the library has no model \"" << options.caption
        << "\" (quillo models lists them)\n";
    return 2;
  }
  std::optional<addin::ModelOpened> opened;
  acc.model_launch(options.caption, [&opened](addin::ModelOpened o) { opened = std::move(o); });
  if (!session.loop().run_until([&opened] { return opened.has_value(); },
                                ms(options.timeout_seconds))) {
    err << kModelsOpen << ": the model did not arrive within " << options.timeout_seconds << " s\n";
    return 1;
  }
  if (!opened->status.ok()) {
    err << kModelsOpen << ": " << opened->status.message() << "\n";
    return 1;
  }
  const Status saved = opened->book->save_as(options.output);
  (void)opened->book->close(false);
  // The downloaded copy was only the spreadsheet's to open.
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::path(opened->file).parent_path(), ec);
  if (!saved.ok()) {
    err << kModelsOpen << ": " << saved.message() << "\n";
    return 1;
  }
  out << "saved " << options.output << "\n";
  return 0;
}

}  // namespace quillo::cli
