// xlsx files as the workbook files of an Application: Workbooks::open reads
// them and Workbook::save, save_as and close(true) write them.
//
// use_xlsx_files installs a workbook loader that reads the file into a new
// book of the application's model, makes it the active workbook and answers
// it. Formulas calling a function of an installed function library whose
// method the engine has registered (directly, or through the path or name
// of that library) are computed by the next calculation; every other
// function quillo lacks - including a library's functions whose methods do
// not exist yet, and calls through a copy of the library elsewhere - keeps
// the value the file holds until the formula is replaced (see xlsx.h).
// Loading evaluates nothing.
//
// A file whose name is the name of an open workbook is refused ("already
// open"), as two open books may not share a name; this also covers opening
// the same file twice. A file that is missing or not a workbook gives the
// loader's error and leaves no workbook behind.
//
// Books read from a file are written back as edits of that file; books made
// in memory are written as new packages. Save warnings, like load warnings,
// go to on_warning one line each. Event-loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "spreadsheet/application.h"
#include "xlsx/xlsx.h"

namespace quillo::spreadsheet {

struct XlsxHostOptions {
  XlsxLimits limits;
  // Reads and writes the workbook files; null: the platform's file system.
  std::shared_ptr<host::FileSystem> files;
  std::function<void(const std::string&)> on_warning;  // unset: warnings are dropped
  // The workbooks whose function calls the host makes calls of the
  // installed libraries once a workbook opens (the add-in's link repair):
  // a call through one is computed when the call without it would be.
  // Unset: none.
  std::function<bool(std::string_view book)> redirected_calls;
};

// Installs the xlsx loader and the xlsx writer for books made in memory on
// app, replacing any loader installed before.
void use_xlsx_files(Application& app, XlsxHostOptions options = {});

// The file hook of a book loaded by load_xlsx (file as it answered), or of a
// book made in memory (file null). Its saves update file.
// A book made in memory writes through files (null: the platform's).
std::shared_ptr<BookFile> make_xlsx_book_file(
    std::shared_ptr<XlsxFile> file, std::function<void(const std::string&)> on_warning = {},
    std::shared_ptr<host::FileSystem> files = nullptr);

// The version of the file at path (through links), as a save records it;
// none when it cannot be read.
std::optional<WrittenVersion> version_of(const std::string& path);

// Sets the check book's saves make just before they put the file in place
// (XlsxFile::still_in_place): false refuses the save. False when book's
// file is not an xlsx file.
bool set_save_check(Model& model, BookId book, std::function<bool()> still_in_place);

// Which calls a workbook loaded into app computes (XlsxLoadOptions::
// external_function): those of the libraries installed when it is asked,
// and those through a workbook redirected answers true for whose call
// without it is (see XlsxHostOptions::redirected_calls).
std::function<bool(std::string_view, const std::string*)> computed_calls(
    const Application& app, std::function<bool(std::string_view book)> redirected = {});

// Makes the formulas book's file keeps as written on sheet (those quillo
// cannot read, see xlsx.h) the ones the file `from` keeps on from_sheet, so
// a save writes back what another program saved there. A shared formula's
// master is kept as a formula of its own cell; the other cells of its group
// are not taken. Answers how many cells now keep another formula than
// before, or nullopt (nothing done) when book's file is not an xlsx file.
std::optional<std::int32_t> take_kept_formulas(Model& model, BookId book, SheetId sheet,
                                               const XlsxFile& from, SheetId from_sheet);

}  // namespace quillo::spreadsheet
