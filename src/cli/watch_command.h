// `quillo watch`: keeps a workbook filled. Opens it as `quillo refresh`
// does, then stays running: the add-in's minute timer sends requests again
// as the update settings say and retries failed ones every minute. After
// each round of answers the workbook is saved atomically, so the file on
// disk is always a complete workbook, even if the process is killed. Ctrl-C
// or SIGTERM stops it after a final save. Nothing is saved before every
// request has had its first answer, so stopping early never replaces the
// file's values by status texts.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

namespace quillo::cli {

struct WatchOptions {
  std::string book;
  // The length of the update timer's minute, in seconds (shorter only to
  // see updates happen quickly).
  double minute_seconds = 60;
};

// Exit codes: 0 stopped by a signal after the final save, 1 a save failed,
// 2 bad input.
int run_watch(const WatchOptions& options, std::ostream& out, std::ostream& err);

}  // namespace quillo::cli
