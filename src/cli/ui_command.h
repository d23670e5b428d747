// `quillo ui`: the workbook in the browser. Opens and fills the workbook as
// `quillo watch` does (the add-in loaded, every formula calculated, the
// update timer running), then serves it to a browser page on the loopback
// address until stopped: the page shows the sheets as the cells show their
// values, lets the user edit formulas and save, and is told of every
// change of the cells it shows as it happens. Each page (tab) has its own
// cell cursor and dialogs. A save never writes over changes another program
// saved to the file meanwhile unless the user chose to.
//
// Loop thread: the engine, the interface calls (handed over by the web
// server) and the watch of the page's cells all run on it.
#pragma once

#include <iosfwd>
#include <string>

namespace quillo::cli {

struct UiOptions {
  std::string book;
  int port = 0;              // 0: any free port
  bool open_browser = true;  // hand the address to the desktop's browser
  // The folder of the built front end; empty: the one shipped with quillo.
  std::string web_root;
};

// Exit codes: 0 stopped by a signal, 2 bad usage, a workbook or definitions
// that cannot be read, a port that cannot be bound or no front end.
int run_ui(const UiOptions& options, std::ostream& out, std::ostream& err);

// The folder of the front end shipped with quillo (share/quillo/web beside
// the program's bin/, else the source tree's built web/dist).
std::string shipped_web_folder(const std::string& module_folder);

}  // namespace quillo::cli
