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
  RangeHandle(const std::shared_ptr<Model>& model, SheetId sheet, Box box)
      : m_model(model), m_raw(model.get()), m_sheet(sheet), m_box(box) {}
  // model is a weak reference to raw.
  RangeHandle(std::weak_ptr<Model> model, Model* raw, SheetId sheet, Box box)
      : m_model(std::move(model)), m_raw(raw), m_sheet(sheet), m_box(box) {}
  // For a model not owned by a shared_ptr (a model on the stack): the handle
  // then must not outlive it.
  RangeHandle(Model* unowned, SheetId sheet, Box box)
      : m_unowned(unowned), m_raw(unowned), m_sheet(sheet), m_box(box) {}

  std::shared_ptr<Model> model() const {
    if (m_unowned) return std::shared_ptr<Model>(std::shared_ptr<Model>(), m_unowned);
    return m_model.lock();
  }
  SheetId sheet_id() const { return m_sheet; }
  const Box& box() const { return m_box; }
  // Points the handle at another box of its model. Only for a handle that
  // its owner alone holds (the add-in catalog hands one to each call as the
  // calling cell and reuses it when the call kept no copy).
  void move_to(SheetId sheet, const Box& box) {
    m_sheet = sheet;
    m_box = box;
  }
  // The model, when the range's sheet still exists.
  std::shared_ptr<Model> live() const;

  Array values() const override;

  Result<std::shared_ptr<host::Worksheet>> worksheet() const override;
  Result<std::int32_t> row() const override;
  Result<std::int32_t> column() const override;
  Result<std::int32_t> row_count() const override;
  Result<std::int32_t> column_count() const override;
  Result<std::string> address(bool external) const override;
  Result<host::RangePtr> cell(std::int32_t row, std::int32_t col) const override;
  Result<Value> value() const override;
  Status set_value(const Value& v) const override;
  Result<std::string> formula() const override;
  Result<std::string> formula_r1c1() const override;
  Status set_formula(std::string_view formula) const override;
  Status set_formula_r1c1(std::string_view formula) const override;
  Result<bool> has_formula() const override;
  Result<bool> in_array() const override;
  Status reenter_formula() const override;
  std::optional<host::CellPlace> place() const override;
  std::optional<host::CellPlaceRef> place_ref(host::CellPlace& scratch) const override;
  Result<std::string> number_format() const override;
  Status set_number_format(std::string_view format) const override;
  Status clear_contents() const override;
  Result<host::RangePtr> find(std::string_view what,
                              const host::FindOptions& options) const override;
  Result<bool> replace(std::string_view what, std::string_view replacement,
                       const host::ReplaceOptions& options) const override;

 private:
  Result<std::string> formula_in(Notation notation) const;
  Status set_formula_in(std::string_view text, Notation notation) const;

  // The model while it lives, without taking a reference to it (for the
  // questions answered at once, on the loop thread); null once it is gone.
  const Model* peek() const { return m_unowned || !m_model.expired() ? m_raw : nullptr; }

  std::weak_ptr<Model> m_model;
  Model* m_unowned = nullptr;
  Model* m_raw = nullptr;  // the model m_model refers to (or m_unowned)
  SheetId m_sheet;
  Box m_box;
};

class SheetHandle final : public host::Worksheet {
 public:
  SheetHandle(std::weak_ptr<Model> model, SheetId sheet)
      : m_model(std::move(model)), m_sheet(sheet) {}
  SheetId sheet_id() const { return m_sheet; }

  Result<std::string> name() const override;
  Status set_name(std::string_view name) override;
  Result<std::int32_t> index() const override;
  Result<host::WorkbookPtr> workbook() const override;
  Result<host::Visibility> visible() const override;
  Status set_visible(host::Visibility v) override;
  Result<host::RangePtr> cells() const override;
  Result<host::RangePtr> cell(std::int32_t row, std::int32_t col) const override;
  Result<host::RangePtr> range(std::string_view address) const override;
  Status reenter_formula(std::int32_t row, std::int32_t col) const override;
  Result<host::RangePtr> used_range() const override;
  Status for_each_cell(const std::function<void(const host::RangePtr&)>& fn) const override;
  Result<bool> enable_calculation() const override;
  Status set_enable_calculation(bool on) override;
  Status calculate() override;
  Status activate() override;
  Status remove() override;

 private:
  std::shared_ptr<Model> live() const;
  std::weak_ptr<Model> m_model;
  SheetId m_sheet;
};

class BookHandle final : public host::Workbook {
 public:
  BookHandle(std::weak_ptr<Model> model, BookId book) : m_model(std::move(model)), m_book(book) {}
  BookId book_id() const { return m_book; }

  Result<std::string> name() const override;
  Result<std::string> full_name() const override;
  Result<std::int32_t> worksheet_count() const override;
  Result<host::WorksheetPtr> worksheet(std::int32_t index) const override;
  Result<host::WorksheetPtr> worksheet(std::string_view name) const override;
  Result<host::WorksheetPtr> add_worksheet(std::string_view name) override;
  Result<host::WorksheetPtr> active_sheet() const override;
  Status activate() override;
  Result<std::vector<std::string>> link_sources() const override;
  Status save() override;
  Status save_as(std::string_view path) override;
  Status close(bool save_changes) override;

 private:
  std::shared_ptr<Model> live() const;
  Status write(Model& model, const std::string& path);
  std::weak_ptr<Model> m_model;
  BookId m_book;
};

// A range value for formulas and functions.
Value make_range_value(Model& model, SheetId sheet, const Box& box);
host::RangePtr make_range(const std::shared_ptr<Model>& model, SheetId sheet, const Box& box);
host::WorksheetPtr make_sheet(const std::shared_ptr<Model>& model, SheetId sheet);
host::WorkbookPtr make_book(const std::shared_ptr<Model>& model, BookId book);

}  // namespace quillo::spreadsheet
