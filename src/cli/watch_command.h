// `quillo watch`: keeps a workbook filled. Opens it as `quillo refresh`
// does, then stays running: the add-in's minute timer sends requests again
// as the update settings say and retries failed ones every minute. After
// each round of answers the workbook is saved atomically, so the file on
// disk is always a complete workbook, even if the process is killed. Ctrl-C
// or SIGTERM stops it after a final save. Cells whose request has not
// answered keep the file's values, so no save replaces them by status
// texts; the first save comes once every request has had its first answer,
// or after the first round's limit. A save that fails is tried again. When
// another program changes the file meanwhile, its cells are taken in before
// the next save, so an edit made elsewhere is never reverted.
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
  // The longest wait for the first answers before the first save.
  double first_round_seconds = 60;
};

// Exit codes: 0 stopped by a signal with the file holding the last values,
// 1 the last save failed (the file holds those of the save before), 2 bad
// input.
int run_watch(const WatchOptions& options, std::ostream& out, std::ostream& err);

}  // namespace quillo::cli
