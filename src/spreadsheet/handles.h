// The object-model handles the spreadsheet gives out: RangeHandle,
// SheetHandle and BookHandle implement host::Range, host::Worksheet and
// host::Workbook over a Model. A handle holds ids and a weak reference to the
// model, never cells; every operation looks its sheet or book up again and
// answers ObjectRequired (424) once it is gone. A workbook is written through
// the file hook its book holds (see BookFile in model.h), or, for a book made
// in memory, one the model's file format makes. Event-loop thread only.
#pragma once

#include <memory>

#include "host/worksheet.h"
#include "spreadsheet/model.h"

namespace quillo::spreadsheet {

class RangeHandle final : public host::Range {
 public:
  RangeHandle(std::weak_ptr<Model> model, SheetId sheet, Box box)
      : m_model(std::move(model)), m_sheet(sheet), m_box(box) {}
  // For a model not owned by a shared_ptr (a model on the stack): the handle
  // then must not outlive it.
  RangeHandle(Model* unowned, SheetId sheet, Box box)
      : m_unowned(unowned), m_sheet(sheet), m_box(box) {}

  std::shared_ptr<Model> model() const {
    if (m_unowned) return std::shared_ptr<Model>(std::shared_ptr<Model>(), m_unowned);
    return m_model.lock();
  }
  SheetId sheet_id() const { return m_sheet; }
  const Box& box() const { return m_box; }
  // The model, when the range's sheet still exists.
  std::shared_ptr<Model> live() const;

  Array values() const override;

  host::Result<std::shared_ptr<host::Worksheet>> worksheet() const override;
  host::Result<std::int32_t> row() const override;
  host::Result<std::int32_t> column() const override;
  host::Result<std::int32_t> row_count() const override;
  host::Result<std::int32_t> column_count() const override;
  host::Result<std::string> address(bool external) const override;
  host::Result<host::RangePtr> cell(std::int32_t row, std::int32_t col) const override;
  host::Result<Value> value() const override;
  host::Status set_value(const Value& v) const override;
  host::Result<std::string> formula() const override;
  host::Result<std::string> formula_r1c1() const override;
  host::Status set_formula(std::string_view formula) const override;
  host::Status set_formula_r1c1(std::string_view formula) const override;
  host::Result<bool> has_formula() const override;
  host::Result<std::string> number_format() const override;
  host::Status set_number_format(std::string_view format) const override;
  host::Status clear_contents() const override;
  host::Result<host::RangePtr> find(std::string_view what,
                                    const host::FindOptions& options) const override;
  host::Result<bool> replace(std::string_view what, std::string_view replacement,
                             const host::ReplaceOptions& options) const override;

 private:
  host::Result<std::string> formula_in(Notation notation) const;
  host::Status set_formula_in(std::string_view text, Notation notation) const;

  std::weak_ptr<Model> m_model;
  Model* m_unowned = nullptr;
  SheetId m_sheet;
  Box m_box;
};

class SheetHandle final : public host::Worksheet {
 public:
  SheetHandle(std::weak_ptr<Model> model, SheetId sheet)
      : m_model(std::move(model)), m_sheet(sheet) {}
  SheetId sheet_id() const { return m_sheet; }

  host::Result<std::string> name() const override;
  host::Status set_name(std::string_view name) override;
  host::Result<std::int32_t> index() const override;
  host::Result<host::WorkbookPtr> workbook() const override;
  host::Result<host::Visibility> visible() const override;
  host::Status set_visible(host::Visibility v) override;
  host::Result<host::RangePtr> cells() const override;
  host::Result<host::RangePtr> cell(std::int32_t row, std::int32_t col) const override;
  host::Result<host::RangePtr> range(std::string_view address) const override;
  host::Result<host::RangePtr> used_range() const override;
  host::Status for_each_cell(const std::function<void(const host::RangePtr&)>& fn) const override;
  host::Result<bool> enable_calculation() const override;
  host::Status set_enable_calculation(bool on) override;
  host::Status calculate() override;
  host::Status activate() override;
  host::Status remove() override;

 private:
  std::shared_ptr<Model> live() const;
  std::weak_ptr<Model> m_model;
  SheetId m_sheet;
};

class BookHandle final : public host::Workbook {
 public:
  BookHandle(std::weak_ptr<Model> model, BookId book) : m_model(std::move(model)), m_book(book) {}
  BookId book_id() const { return m_book; }

  host::Result<std::string> name() const override;
  host::Result<std::string> full_name() const override;
  host::Result<std::int32_t> worksheet_count() const override;
  host::Result<host::WorksheetPtr> worksheet(std::int32_t index) const override;
  host::Result<host::WorksheetPtr> worksheet(std::string_view name) const override;
  host::Result<host::WorksheetPtr> add_worksheet(std::string_view name) override;
  host::Result<host::WorksheetPtr> active_sheet() const override;
  host::Status activate() override;
  host::Result<std::vector<std::string>> link_sources() const override;
  host::Status save() override;
  host::Status save_as(std::string_view path) override;
  host::Status close(bool save_changes) override;

 private:
  std::shared_ptr<Model> live() const;
  host::Status write(Model& model, const std::string& path);
  std::weak_ptr<Model> m_model;
  BookId m_book;
};

// A range value for formulas and functions.
Value make_range_value(Model& model, SheetId sheet, const Box& box);
host::RangePtr make_range(const std::shared_ptr<Model>& model, SheetId sheet, const Box& box);
host::WorksheetPtr make_sheet(const std::shared_ptr<Model>& model, SheetId sheet);
host::WorkbookPtr make_book(const std::shared_ptr<Model>& model, BookId book);

}  // namespace quillo::spreadsheet
