// `quillo demo`: quillo's main job on a machine with no network. Starts the
// local market-data service on a free loopback port, prepares an install
// folder whose definitions point at it, fills the bundled demo workbook
// from it through the full engine (formulas, requests over HTTP, parsing,
// re-evaluation), saves the result and prints the filled table.
#pragma once

#include <iosfwd>
#include <string>

namespace quillo::cli {

struct DemoOptions {
  std::string data_dir;                  // the folder holding ds.xml, tarnvale.xla and demo.xlsx
  std::string output = "demo-out.xlsx";  // where the filled workbook is saved
  double timeout_seconds = 60;
};

// Exit codes: 0 filled and saved, 1 not everything answered in time or
// the file could not be written, 2 missing or unreadable data files.
int run_demo(const DemoOptions& options, std::ostream& out, std::ostream& err);

}  // namespace quillo::cli
