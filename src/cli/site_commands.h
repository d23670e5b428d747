// The product site from the command line:
//   `quillo update-definitions` runs the definitions update of the add-in's
//     start-up (the site's document, the version check, the download and
//     the checked, atomic replacement of ds.xml in the install folder) and
//     says what happened;
//   `quillo models` lists the site's model library as the "Financial
//     Templates" menu shows it;
//   `quillo models open CAPTION -o FILE.xlsx` opens a model as its menu
//     entry does (downloaded, opened by the spreadsheet) and saves it.
// Each loads the add-in with the user's settings (product_site,
// installpath) as refresh does. Loop thread only.
#pragma once

#include <iosfwd>
#include <string>

namespace quillo::cli {

struct SiteOptions {
  double timeout_seconds = 300;
  std::string caption;  // models open: the model's caption
  std::string output;   // models open: where to save it
};

// Exit codes: 0 up to date or updated; 1 the site or the download failed, or
// the file was refused or could not be written (ds.xml is unchanged); 2 no
// site set, settings that cannot be read, or the add-in cannot start.
int run_update_definitions(const SiteOptions& options, std::ostream& out, std::ostream& err);
// Exit codes: 0 listed; 1 the site's document could not be had; 2 as above.
int run_models(const SiteOptions& options, std::ostream& out, std::ostream& err);
// Exit codes: 0 saved; 1 the site's document or the model could not be had,
// opened or saved; 2 no model with that caption, or as above.
int run_models_open(const SiteOptions& options, std::ostream& out, std::ostream& err);

}  // namespace quillo::cli
