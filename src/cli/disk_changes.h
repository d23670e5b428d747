// Changes another program made to a workbook file while quillo holds the
// workbook open (`quillo watch`): telling that the file changed on disk,
// and taking its cells into the open workbook before quillo saves over it,
// so an edit made elsewhere is never reverted.
//
// Loop thread only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "common/status.h"
#include "spreadsheet/application.h"

namespace quillo::cli {

// What tells one version of a file from another: its kind, size and time
// of last change. A file replaced by another (an atomic save) changes it.
struct FileStamp {
  std::filesystem::file_type type = std::filesystem::file_type::none;
  std::uintmax_t size = 0;
  std::filesystem::file_time_type written{};
  bool operator==(const FileStamp&) const = default;
};

// The stamp of the file at path (through symbolic links); a missing file
// has type not_found.
FileStamp file_stamp(const std::string& path);

// Reads the workbook file at path and makes the cells of book what the file
// holds: a formula or constant that differs is written (and evaluated, so
// the add-in's formulas ask anew), a cell the file no longer has is
// cleared, sheets the file added are added and sheets it no longer has
// (deleted or renamed there) are removed, but for quillo's record sheet;
// a renamed sheet comes back last. Formulas the file holds
// unchanged keep the values quillo computed for them, so the engine's
// requests and answers stay. Answers the number of cells changed, or why
// the file could not be read (book unchanged then). Styles and other parts
// of the file are not taken in.
Result<std::int32_t> take_in_file(spreadsheet::Application& app, spreadsheet::BookId book,
                                  const std::string& path);

}  // namespace quillo::cli
