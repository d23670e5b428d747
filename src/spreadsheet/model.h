// Model: the spreadsheet's data and its edits - workbooks of sheets, sparse
// cells (value, optional formula, number format), defined names and tables,
// array formulas, what a run changed, and each sheet's look as its file gave
// it (sheet_look.h; no calculation reads it). Every edit tells the model's
// Recalculation (recalculation.h), which keeps formula results current and
// says how and when they are calculated; the calculation calls here hand on
// to it.
//
// Evaluation may re-enter the model: a worksheet function may write cells or
// set formulas while it runs. The model never holds an iterator or reference
// into its tables across an evaluation; it keeps addresses and looks cells up
// again. Re-entry is bounded (kMaxNesting): deeper writes store the formula
// and leave it dirty.
//
// Handles given out over a model (handles.h) keep weak references, so a
// model is normally owned by a shared_ptr. A model on the stack also
// evaluates correctly; then no range value may outlive it.
//
// Event-loop thread only. Failures are Status values.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/value.h"
#include "host/application.h"
#include "host/range.h"
#include "spreadsheet/cell_addr.h"
#include "spreadsheet/cell_store.h"
#include "spreadsheet/formula.h"
#include "spreadsheet/key_set.h"
#include "spreadsheet/lookup_cache.h"
#include "spreadsheet/recalculation.h"
#include "spreadsheet/sheet_look.h"

namespace quillo::spreadsheet {

using BookId = std::uint32_t;

// A defined name: what it stands for (a reference, a range, a constant or
// a formula), for its workbook or for one sheet.
struct DefinedName {
  std::string name;    // as written
  SheetId scope = 0;   // the sheet it belongs to; 0: the whole workbook
  std::string text;    // the definition as given, without "="
  FormulaPtr formula;  // parsed for the cell A1; null when the text did not parse
  bool hidden = false;
};

struct Sheet {
  SheetId id = 0;
  BookId book = 0;
  std::string name;
  host::Visibility visibility = host::Visibility::Visible;
  bool enable_calculation = true;
  CellStore cells;           // by cell_key
  KeySet formulas;           // keys of the cells holding formulas
  std::int32_t max_row = 0;  // bounds of the cells ever used
  std::int32_t max_col = 0;
  SheetLook look;  // as the file gives it, and widths the user set
};

class Model;

// The size and time of last change of a file as quillo wrote it, which
// file it is (device and inode where the platform has them) and when that
// file last changed in any way (its status change time, where the platform
// keeps one): a file another program renamed into place is told apart by
// them even when its size and time are the same, and so is one rewritten
// in place with its time set back (a status change time is never set back).
struct WrittenVersion {
  std::uintmax_t size = 0;
  std::filesystem::file_time_type written{};
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t changed_ns = 0;  // nanoseconds since 1970; 0 where none is kept
  bool operator==(const WrittenVersion&) const = default;
};

// How one book is written to a file. The file format a book was read from
// attaches one (it keeps what the format needs to write the file again, such
// as the parts it does not understand), so saving need not know formats.
class BookFile {
 public:
  virtual ~BookFile() = default;
  // Writes book to path; on success later saves continue from that file.
  // Warnings (one line each) go to warnings when it is given.
  virtual Status save(const Model& model, BookId book, const std::string& path,
                      std::vector<std::string>* warnings) = 0;
  // The file as the last successful save put it in place, taken before it
  // was: another program may replace the file the moment it is there, and
  // its version must not pass for quillo's. None before the first save.
  virtual std::optional<WrittenVersion> written_version() const { return std::nullopt; }
  // The formulas of the file the model does not hold because quillo cannot
  // read them, whose cells still show the file's value: where, and why.
  virtual std::vector<std::pair<CellAddr, std::string>> unread_formulas(const Model& model,
                                                                        BookId book) const {
    (void)model;
    (void)book;
    return {};
  }
};

struct Book {
  BookId id = 0;
  std::string name;
  std::string path;  // folder and file name when it came from a file
  std::vector<SheetId> sheets;
  SheetId active = 0;
  std::shared_ptr<BookFile> file;  // null until it is read from or saved to a file
  std::vector<DefinedName> names;
  std::vector<TableInfo> tables;
};

// Answers calls to functions that are not built in (add-in functions).
class ExternalFunctions {
 public:
  virtual ~ExternalFunctions() = default;
  // name as written, book the workbook a path-qualified call names (or null);
  // args the arguments as written, each where it lies (a constant of the
  // formula, or a value the evaluator computed for this call), Missing for
  // omitted ones. The answer goes to result (empty when called), which is
  // made where the evaluator returns it; false: no such function.
  virtual bool call(std::string_view name, const std::string* book,
                    std::span<const Value* const> args, const CellAddr& caller, Value& result) = 0;
};

class Model : public std::enable_shared_from_this<Model> {
 public:
  static constexpr std::size_t kMaxNesting = 16;

  Model();
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  // ---- workbooks and sheets ----
  BookId add_book(std::string name = {}, std::string path = {});
  Status close_book(BookId id);
  const Book* book(BookId id) const;
  const std::vector<BookId>& books() const { return m_book_order; }
  BookId active_book() const { return m_active_book; }
  void activate_book(BookId id);
  // The book's file from now on: path (name becomes its file name) and the
  // hook that writes it. Fails with ObjectRequired when the book is gone.
  Status set_book_file(BookId id, std::string path, std::shared_ptr<BookFile> file);
  // How a book that has no file yet is first written; installed by a file
  // format. Answers null when none is.
  void set_book_file_maker(std::function<std::shared_ptr<BookFile>()> make) {
    m_book_file_maker = std::move(make);
  }
  std::shared_ptr<BookFile> make_book_file() const {
    return m_book_file_maker ? m_book_file_maker() : nullptr;
  }

  // A sheet added, or renamed, is read by the book's formulas and names that
  // named its name before the book had it (see finds_sheet_now).
  Result<SheetId> add_sheet(BookId book, std::string_view name = {});
  Status remove_sheet(SheetId id);
  Status rename_sheet(SheetId id, std::string_view name);
  Status set_visibility(SheetId id, host::Visibility v);
  // Puts the book's sheets in the order given, which must list each of its
  // sheets once (nothing changes otherwise); formulas reading a span of
  // sheets (3-D references) then read the sheets between as they lie.
  Status set_sheet_order(BookId book, const std::vector<SheetId>& order);
  void activate_sheet(SheetId id);
  const Sheet* sheet(SheetId id) const {
    return id != 0 && id == m_last_sheet_id ? m_last_sheet : lookup_sheet(id);
  }
  SheetId find_sheet(BookId book, std::string_view name) const;
  // Whether f, parsed for a formula or name of the book, names a sheet the
  // book did not have then and has now (added since, or another renamed to
  // that name): read anew, as the book opened again reads it, it reads that
  // sheet. A sheet that comes has the book's formulas and names read anew
  // at once (sheet_links.cpp), all but one that keeps a file's value and
  // uses names or add-in functions: whether that one can be computed now
  // is for the file's load to say.
  bool finds_sheet_now(BookId book, const Formula& f) const;
  std::string sheet_name(SheetId id) const;  // empty when gone
  // The sheet's look (sheet_look.h; sheet_look.cpp): replaced whole by a
  // file's load; a column width the user sets (characters, above 0 and at
  // most 255) is kept apart, for the next save to write.
  Status set_look(SheetId id, SheetLook look);
  Status set_column_width(SheetId id, std::int32_t col, double width);

  // ---- cells ----
  Value value(SheetId sheet, std::int32_t row, std::int32_t col) const;
  // Writes a value; text is typed entry (see typed_entry.h), "=..." a formula.
  Status set_value(SheetId sheet, std::int32_t row, std::int32_t col, const Value& v);
  // Writes a block of values from (row, col), then recalculates once.
  Status set_values(SheetId sheet, std::int32_t row, std::int32_t col, const Array& block);
  // Text with a leading "=" is a formula in the given notation; other text is typed entry.
  Status set_formula(SheetId sheet, std::int32_t row, std::int32_t col, std::string_view text,
                     Notation notation);
  // Evaluates the cell's formula again as entering it anew would (its
  // dependents follow), without parsing it again. False, and nothing done,
  // when the cell holds no formula of its own (a constant, a member of an
  // array formula) or its formula is being evaluated right now: the caller
  // then writes the formula itself.
  bool reenter_formula(SheetId sheet, std::int32_t row, std::int32_t col);
  // The formula text, or the constant as text ("" for empty).
  std::string formula_text(SheetId sheet, std::int32_t row, std::int32_t col,
                           Notation notation) const;
  bool has_formula(SheetId sheet, std::int32_t row, std::int32_t col) const;
  Status clear_contents(SheetId sheet, const Box& box);
  std::string number_format(SheetId sheet, std::int32_t row, std::int32_t col) const;
  Status set_number_format(SheetId sheet, const Box& box, std::string_view format);

  // Calls fn(row, col, cell) for the non-blank cells of box, column by
  // column. fn must not change the model.
  template <typename Fn>
  void for_each_cell(SheetId sheet, const Box& box, Fn&& fn) const;

  // ---- defined names and tables (names.cpp) ----
  // Defines (or redefines) a name for the book (scope 0) or one of its
  // sheets; text is what it stands for, with or without "=". Formulas using
  // the name recalculate. Strict: a definition that does not parse fails;
  // otherwise it is kept as text and the name answers #NAME?.
  Status define_name(BookId book, SheetId scope, std::string_view name, std::string_view text,
                     bool hidden = false, bool strict = true);
  Status remove_name(BookId book, SheetId scope, std::string_view name);
  // The name a formula on host_sheet means: one of sheet (when the formula
  // names a sheet, else of host_sheet) first, then the workbook's.
  const DefinedName* find_name(SheetId host_sheet, SheetId sheet, std::string_view name) const;
  // The definition as it reads now (sheets renamed since), without "=", as
  // a workbook file stores it.
  std::string name_text(const DefinedName& n) const;
  Status add_table(BookId book, TableInfo table);
  const TableInfo* find_table(BookId book, std::string_view name) const;
  // The sheets from first to last in workbook order (either way round);
  // empty when either is gone or they are in different books.
  std::vector<SheetId> sheets_between(SheetId first, SheetId last) const;

  // ---- calculation (recalculation.h) ----
  host::Calculation calculation() const { return m_recalc.calculation(); }
  void set_calculation(host::Calculation mode) { m_recalc.set_calculation(mode); }
  void calculate_all() { m_recalc.calculate_all(); }
  // Recalculates the formulas that call add-in functions (after a library
  // was installed or removed).
  void recalc_external_calls() { m_recalc.recalc_external_calls(); }
  Status calculate_sheet(SheetId id) { return m_recalc.calculate_sheet(id); }
  Status set_enable_calculation(SheetId id, bool on);
  bool is_dirty(SheetId sheet, std::int32_t row, std::int32_t col) const {
    return m_recalc.is_dirty(CellAddr{sheet, row, col});
  }
  // Cells found on circular references, sorted.
  std::vector<CellAddr> circular_references() const { return m_recalc.circular_references(); }
  const Recalculation& recalculation() const { return m_recalc; }

  // ---- evaluation services ----
  void set_external_functions(ExternalFunctions* f) { m_external = f; }
  ExternalFunctions* external_functions() const { return m_external; }
  void set_clock(std::function<double()> now) { m_now = std::move(now); }
  double now() const;
  // The sheet and box a reference written in host's formula stands for;
  // nullopt when its sheet is unknown or gone.
  std::optional<std::pair<SheetId, Box>> resolve(const RefAst& ref, const CellAddr& host) const;
  // The last row and column holding anything on the sheet (0 when empty).
  std::pair<std::int32_t, std::int32_t> extent(SheetId sheet) const;
  // The exact-match index of rows r1..r2 of a column, for lookups
  // (lookup_cache.h); null when the sheet is gone or the index is not made
  // yet, and then the lookup reads the cells.
  std::shared_ptr<const ColumnIndex> column_index(SheetId sheet, std::int32_t col, std::int32_t r1,
                                                  std::int32_t r2) const;

  // ---- loading from files (used by the xlsx reader, xlsx.h) ----
  // Stores a cell as a workbook file holds it, without evaluating anything
  // and without marking other cells: value is the constant, or the cached
  // result of formula (null for a constant); format is the number format
  // (empty = General). A formula left dirty is computed by the next
  // calculation; one stored clean is one quillo cannot compute, and keeps its
  // cached value until the cell's formula is replaced, whatever its
  // precedents do.
  // An empty cell without a formula is not kept, whatever its format: the
  // file keeps its style and writes it back, and a sheet of styled empty
  // cells costs nothing (its number_format reads General).
  // The formula must have been parsed for this cell's book; source is the
  // file's number for it (see FormulaState::source). A formula of the same
  // shape as a neighbour's shares that neighbour's parsed formula.
  Status restore_cell(SheetId sheet, std::int32_t row, std::int32_t col, Value value,
                      FormulaPtr formula, std::string_view format, bool dirty,
                      std::uint32_t source = 0);

  // The parsed formula a cell at (row, col) would hold for f: f, or the
  // identical one a neighbouring formula cell holds (as restore_cell and
  // formula entry choose). A loader that keeps the formula it stored, to
  // save it as the file wrote it, asks first and keeps the shared one.
  FormulaPtr shared_formula(SheetId sheet, std::int32_t row, std::int32_t col, FormulaPtr f) const {
    return share_shape(CellAddr{sheet, row, col}, std::move(f));
  }
  // The parsed formula of the cell above (row, col) when it writes back
  // there as exactly text (A1, in the form given), as a column filled down
  // does: what parsing text would give, without the parse. Null otherwise.
  FormulaPtr formula_above(SheetId sheet, std::int32_t row, std::int32_t col, std::string_view text,
                           FormulaText form) const {
    return written_above(CellAddr{sheet, row, col}, text, Notation::A1, form);
  }

  // ---- what a run changed ----
  // From now on, remembers the value each cell held before its first change
  // (evaluations and writes; cells loaded from files are not changes). A
  // command calls it before opening the workbook it works on.
  void track_changes() { m_tracking = true; }
  // The cells whose value now differs from the one they held when they were
  // first changed since track_changes (empty when not tracking).
  std::vector<CellAddr> changed_cells() const;
  // Formulas that keep the file's value (ones quillo cannot compute) and
  // read a changed cell, directly or through other such formulas: their
  // value may be out of date. Sorted.
  std::vector<CellAddr> stale_formulas() const;
  // The formula a cell holds; null for constants and empty cells.
  FormulaPtr formula_at(const CellAddr& a) const;
  // Stores an array formula over box as a file holds it (the cells' values
  // restored first): every cell of the box shares formula, parsed for the
  // box's top-left cell, and shows its item of the result.
  Status restore_array(SheetId sheet, const Box& box, FormulaPtr formula, bool dirty,
                       std::uint32_t source = 0);
  // The box of the array formula holding the cell; nullopt for other cells.
  std::optional<Box> array_box(SheetId sheet, std::int32_t row, std::int32_t col) const;
  // Enters text ("=...") as an array formula over box, replacing what the
  // cells held; fails when box cuts through another array formula.
  Status set_array_formula(SheetId sheet, const Box& box, std::string_view text);

 private:
  friend class Recalculation;

  Sheet* sheet_mut(SheetId id) {
    return id != 0 && id == m_last_sheet_id ? m_last_sheet : lookup_sheet(id);
  }
  // Calculation asks for the same sheet at every step: the last one found
  // is answered without a hash lookup (ids are never reused, and a sheet
  // going clears it).
  Sheet* lookup_sheet(SheetId id) const;
  FormulaState* formula_state(const CellAddr& a);
  const FormulaState* formula_state(const CellAddr& a) const;
  void destroy_sheet(SheetId id);  // no checks: also used when a workbook closes
  // Changes whenever a formula state is let go (a formula removed, a sheet
  // destroyed): a FormulaState pointer found while it stays the same is
  // still its cell's, as a cell store keeps its states where they are.
  std::uint64_t states_released() const { return m_states_released; }
  Status check_sheet_name(BookId book, std::string_view name, SheetId self) const;

  // Storing without recalculation; each returns whether the cell changed.
  Status store_value(const CellAddr& a, const Value& v);
  Status store_formula(const CellAddr& a, std::string_view text, Notation notation);
  // The cell's formula state (own), or the cell above's or below's (above,
  // below), as the caller looked it up (null: none), or nullopt to look it
  // up: entering a formula asks after each once.
  using KnownState = std::optional<FormulaState*>;
  // shared: f is a neighbour's formula already (written_above found it),
  // which share_shape would answer again.
  void install_formula(const CellAddr& a, FormulaPtr f, bool shared = false,
                       KnownState own = std::nullopt, KnownState above = std::nullopt,
                       KnownState below = std::nullopt);
  // f, or the identical parsed formula of a neighbouring cell in its column
  // or row, so that a block of formulas of one shape holds one parsed tree.
  FormulaPtr share_shape(const CellAddr& a, FormulaPtr f, KnownState own = std::nullopt,
                         KnownState above = std::nullopt, KnownState below = std::nullopt) const;
  // The parsed formula of the cell above when it writes back at a as
  // exactly text (a column filled down), which parsing text would give
  // again: entering it skips the parse. Null otherwise.
  FormulaPtr written_above(const CellAddr& a, std::string_view text, Notation notation,
                           FormulaText form = FormulaText::Display, KnownState own = std::nullopt,
                           KnownState above = std::nullopt) const;
  void drop_formula(const CellAddr& a);
  void erase_if_blank(const CellAddr& a);
  Status check_array_edit(const CellAddr& a) const;  // model_arrays.cpp
  // The targets of a formula beyond its plain references (see FormulaState::extra).
  std::vector<std::pair<SheetId, Box>> extra_targets(const CellAddr& host, const Formula& f) const;
  void name_targets(const CellAddr& host, const Node& n, int depth,
                    std::vector<std::pair<SheetId, Box>>& out) const;
  // The formula cells of the book that use names (and, with spans, those
  // with 3-D references).
  std::vector<CellAddr> name_users(BookId book, bool spans = false) const;
  // Makes a change to what names or sheet spans cover: the formulas in
  // users leave the dependency index before it and come back after it as
  // they now read, and are recalculated.
  void relink_after(const std::vector<CellAddr>& users, const std::function<void()>& change);
  // Keeps the record of the book's formulas that name a sheet it does not
  // have (m_unfound) as the cell now holds f (null: no formula).
  void note_unfound(BookId book, const CellAddr& a, const Formula* f);
  // A sheet came into the book or was renamed: its names and formulas that
  // name a sheet they did not find and the book has now are read anew from
  // their text, indexed and recalculated (sheet_links.cpp).
  void link_found_sheets(BookId book);
  // f (of the book) written for the cell at (row, col) and parsed again
  // there; null when the text does not parse.
  FormulaPtr read_anew(BookId book, const Formula& f, std::int32_t row, std::int32_t col) const;
  // Stores a formula's result (or the error a circular one shows) in its cell.
  void set_result(const CellAddr& a, Value v);
  // Records before as the cell's value before its first change; called
  // only while tracking, so calculation without it pays one test.
  void note_change(const CellAddr& a, const Value& before, const Value& after);

  std::unordered_map<BookId, Book> m_books;
  std::vector<BookId> m_book_order;
  BookId m_active_book = 0;
  std::unordered_map<SheetId, std::unique_ptr<Sheet>> m_sheets;
  mutable SheetId m_last_sheet_id = 0;  // the sheet lookup_sheet found last
  mutable Sheet* m_last_sheet = nullptr;
  std::uint64_t m_states_released = 0;  // see states_released
  BookId m_next_book = 1;
  SheetId m_next_sheet = 1;
  int m_book_counter = 0;  // for "Book1", "Book2", ...

  // By book, the formula cells whose formulas name a sheet the book did not
  // have (Formula::unfound_sheet), an array formula by its top-left cell: a
  // sheet that comes reads them anew without a look at the book's other
  // formulas. A cell leaves it when its formula is replaced or removed; one
  // on a sheet that went stays until the next sheet comes.
  std::unordered_map<BookId, std::unordered_set<CellAddr, CellAddrHash>> m_unfound;
  // Whether a formula was ever stored to keep the file's value (frozen); it
  // stays set when that formula goes, which only costs stale_formulas a walk.
  bool m_any_frozen = false;
  ExternalFunctions* m_external = nullptr;
  std::function<double()> m_now;
  std::function<std::shared_ptr<BookFile>()> m_book_file_maker;
  bool m_tracking = false;
  // See track_changes: per sheet, the value each changed cell held first.
  // A cell store keeps them at a slot a cell, whatever the run rewrites.
  std::unordered_map<SheetId, std::unique_ptr<CellStore>> m_before;
  // Indexes of the columns lookups search: kept apart from the cells, and
  // checked against their version, so reading keeps the model const.
  mutable LookupCache m_lookups;
  // Declared last: it refers to the model, and goes first.
  Recalculation m_recalc{*this};
};

// The first function f calls that is neither built in nor answered by
// can_call (name as written, and the workbook a call goes through or null);
// empty when there is none.
std::string missing_function(
    const Formula& f, const std::function<bool(std::string_view, const std::string*)>& can_call);

template <typename Fn>
void Model::for_each_cell(SheetId sheet_id, const Box& box, Fn&& fn) const {
  if (const Sheet* s = sheet(sheet_id)) s->cells.for_each(box, fn);
}

}  // namespace quillo::spreadsheet
