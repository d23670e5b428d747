// Changes another program made to a workbook file while quillo holds the
// workbook open (`quillo watch`): telling that the file changed on disk,
// and taking its cells into the open workbook before quillo saves over it,
// so an edit made elsewhere is never reverted.
//
// Loop thread only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/status.h"
#include "host/range.h"
#include "spreadsheet/application.h"

namespace quillo::cli {

// What tells one version of a file from another: its kind, size, time of
// last change, which file it is and when it last changed in any way. A file
// replaced by another (an atomic save) changes it, even at the same size
// and time, and so does one rewritten in place with its time set back.
struct FileStamp {
  std::filesystem::file_type type = std::filesystem::file_type::none;
  spreadsheet::WrittenVersion version;  // size, time and which file
  bool operator==(const FileStamp&) const = default;
};

// The stamp of the file at path (through symbolic links); a missing file
// has type not_found.
FileStamp file_stamp(const std::string& path);

// The stamp of the file as quillo's last save of book wrote it, taken
// before the file was put in place, so a file another program put there
// right after the save is still told from quillo's; the stamp of the file
// at path now when the book's file cannot tell.
FileStamp saved_stamp(const spreadsheet::Model& model, spreadsheet::BookId book,
                      const std::string& path);

// An advisory lock on the file at path, held while quillo checks and saves
// over it, so that two quillo programs saving one file at once save one
// after the other: the second then finds the first's file there and does
// not save over it. Programs that do not take it are not held back. It is
// waited for up to ten seconds; a file that cannot be opened, or a lock
// not had by then, leaves the save as it would be without one.
class SaveLock {
 public:
  explicit SaveLock(const std::string& path);
  ~SaveLock();
  SaveLock(const SaveLock&) = delete;
  SaveLock& operator=(const SaveLock&) = delete;

 private:
  int m_fd = -1;
};

// Reads the workbook file at path and makes book hold what the file holds,
// so quillo's next save reverts nothing and loses nothing:
// - cells: a formula or constant that differs is written (and evaluated,
//   so the add-in's formulas ask anew), a cell the file no longer has is
//   cleared; a formula quillo cannot compute keeps its text and the
//   file's value unevaluated, and one it cannot read at all is written
//   back as the file had it (as opening the file leaves them); a formula
//   of the file's text that names a sheet the book did not have when it
//   was read, and has now, is written anew too, so it reads that sheet as
//   the file opened anew does;
// - sheets: each of the file's sheets is the book's sheet of that name in
//   any letter case, renamed to the file's spelling, or a new one; sheets
//   the file no longer has (deleted or renamed there) are removed; the
//   book takes the file's sheet order and visibility. quillo's record
//   sheet is never removed and stays very hidden (last when the file has
//   none);
// - defined names, of the workbook and of its sheets: added, changed and
//   removed (and defined anew when they name a sheet found since, as
//   formulas are).
// Formulas the file holds unchanged keep the values quillo computed for
// them, so the engine's requests and answers stay. Answers the number of
// cells changed, or why the file could not be read (book unchanged then).
// An array formula is taken whole, as one array over its box: one the file
// adds, changes or resizes replaces the book's cells there, and an array of
// the book the file no longer holds as it was goes whole, never leaving a
// fragment. Styles and other parts of the file are not taken in.
// replaced (when given) receives the cells whose formulas were replaced or
// removed, so the engine can learn which requests they no longer make.
// file_value (when given) is told the value the file holds for each cell
// whose formula is written (and so evaluated) anew, before it is written: a
// cell still waiting for its answer then shows the file's value, as it does
// in a workbook just opened, and no status text is ever saved in its place.
// behind (when given) receives the formula cells that have a value in the
// book, after the take-in, where the file holds none: the file was saved by
// a program that left the values out. A save puts them there.
using FileValueHook = std::function<void(const spreadsheet::CellAddr&, const Value&)>;
Result<std::int32_t> take_in_file(spreadsheet::Application& app, spreadsheet::BookId book,
                                  const std::string& path,
                                  std::vector<host::CellPlace>* replaced = nullptr,
                                  const FileValueHook& file_value = {},
                                  std::vector<spreadsheet::CellAddr>* behind = nullptr);

}  // namespace quillo::cli
