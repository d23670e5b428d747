// The host objects behind the Excel adapter: Range, Worksheet, Workbook,
// their collections, add-ins and the worksheet functions, each a thin
// wrapper that calls the host object's members by name. Every wrapper's
// reference is registered with the adapter's Session, which releases them
// all when the adapter goes away (after that, every call fails with
// ObjectRequired), so the engine keeping a handle never keeps the host's
// objects alive. Host's user-interface thread only.
#pragma once

#include <memory>
#include <vector>

#include "host/add_ins.h"
#include "host/windows/excel_dispatch.h"
#include "host/worksheet.h"
#include "host/worksheet_functions.h"

namespace quillo::host::win {

// One host object reference; empty once the session has released it.
struct HostRef {
  Dispatch object;
};

class Session {
 public:
  ~Session() { release_all(); }
  std::shared_ptr<HostRef> hold(Dispatch object);
  void release_all();
  bool closed() const { return m_closed; }

 private:
  std::vector<std::weak_ptr<HostRef>> m_refs;
  std::size_t m_pruned_at = 0;
  bool m_closed = false;
};
using SessionPtr = std::shared_ptr<Session>;

class ExcelRange final : public Range {
 public:
  ExcelRange(SessionPtr session, Dispatch object)
      : m_session(session), m_ref(session->hold(std::move(object))) {}
  IDispatch* object() const { return m_ref->object.get(); }

  Array values() const override;
  Result<std::shared_ptr<Worksheet>> worksheet() const override;
  Result<std::int32_t> row() const override;
  Result<std::int32_t> column() const override;
  Result<std::int32_t> row_count() const override;
  Result<std::int32_t> column_count() const override;
  Result<std::string> address(bool external) const override;
  Result<RangePtr> cell(std::int32_t row, std::int32_t col) const override;
  Result<Value> value() const override;
  Status set_value(const Value& v) const override;
  Result<std::string> formula() const override;
  Result<std::string> formula_r1c1() const override;
  Status set_formula(std::string_view formula) const override;
  Status set_formula_r1c1(std::string_view formula) const override;
  Result<bool> has_formula() const override;
  Result<std::string> number_format() const override;
  Status set_number_format(std::string_view format) const override;
  Status clear_contents() const override;
  Result<RangePtr> find(std::string_view what, const FindOptions& options) const override;
  Result<bool> replace(std::string_view what, std::string_view replacement,
                       const ReplaceOptions& options) const override;

 private:
  Result<std::string> top_left_text(std::string_view member) const;
  Result<bool> replace_in_formulas(std::string_view what, std::string_view replacement,
                                   const ReplaceOptions& options) const;

  SessionPtr m_session;
  std::shared_ptr<HostRef> m_ref;
};

class ExcelWorksheet final : public Worksheet {
 public:
  ExcelWorksheet(SessionPtr session, Dispatch object)
      : m_session(session), m_ref(session->hold(std::move(object))) {}
  IDispatch* object() const { return m_ref->object.get(); }

  Result<std::string> name() const override;
  Status set_name(std::string_view name) override;
  Result<std::int32_t> index() const override;
  Result<WorkbookPtr> workbook() const override;
  Result<Visibility> visible() const override;
  Status set_visible(Visibility v) override;
  Result<RangePtr> cells() const override;
  Result<RangePtr> cell(std::int32_t row, std::int32_t col) const override;
  Result<RangePtr> range(std::string_view address) const override;
  Result<RangePtr> used_range() const override;
  Status for_each_cell(const std::function<void(const RangePtr&)>& fn) const override;
  Result<bool> enable_calculation() const override;
  Status set_enable_calculation(bool on) override;
  Status calculate() override;
  Status activate() override;
  Status remove() override;

 private:
  SessionPtr m_session;
  std::shared_ptr<HostRef> m_ref;
};

class ExcelWorkbook final : public Workbook {
 public:
  ExcelWorkbook(SessionPtr session, Dispatch object)
      : m_session(session), m_ref(session->hold(std::move(object))) {}
  IDispatch* object() const { return m_ref->object.get(); }

  Result<std::string> name() const override;
  Result<std::string> full_name() const override;
  Result<std::int32_t> worksheet_count() const override;
  Result<WorksheetPtr> worksheet(std::int32_t index) const override;
  Result<WorksheetPtr> worksheet(std::string_view name) const override;
  Result<WorksheetPtr> add_worksheet(std::string_view name) override;
  Result<WorksheetPtr> active_sheet() const override;
  Status activate() override;
  Result<std::vector<std::string>> link_sources() const override;
  Status save() override;
  Status save_as(std::string_view path) override;
  Status close(bool save_changes) override;

 private:
  Result<WorksheetPtr> sheet_item(const Variant& index) const;

  SessionPtr m_session;
  std::shared_ptr<HostRef> m_ref;
};

// The collections below reach their host object through the Application
// each time, so they stay valid for the adapter's whole life.
class ExcelWorkbooks final : public Workbooks {
 public:
  ExcelWorkbooks(SessionPtr session, IDispatch* application)
      : m_session(std::move(session)), m_application(application) {}
  std::int32_t count() const override;
  Result<WorkbookPtr> item(std::int32_t index) const override;
  Result<WorkbookPtr> item(std::string_view name) const override;
  Result<WorkbookPtr> add() override;
  Result<WorkbookPtr> open(std::string_view path) override;

 private:
  Result<WorkbookPtr> book(std::string_view member, std::initializer_list<Variant> args) const;
  SessionPtr m_session;
  IDispatch* m_application;  // owned by ExcelApplication
};

class ExcelAddIn final : public AddIn {
 public:
  ExcelAddIn(SessionPtr session, Dispatch object)
      : m_session(session), m_ref(session->hold(std::move(object))) {}
  Result<std::string> name() const override;
  Result<std::string> full_name() const override;
  Result<bool> installed() const override;
  Status set_installed(bool on) override;

 private:
  SessionPtr m_session;
  std::shared_ptr<HostRef> m_ref;
};

class ExcelAddIns final : public AddIns {
 public:
  ExcelAddIns(SessionPtr session, IDispatch* application)
      : m_session(std::move(session)), m_application(application) {}
  std::int32_t count() const override;
  Result<AddInPtr> item(std::int32_t index) const override;
  Result<AddInPtr> item(std::string_view name) const override;
  Result<AddInPtr> add(std::string_view path) override;

 private:
  Result<AddInPtr> add_in(std::string_view member, std::initializer_list<Variant> args) const;
  SessionPtr m_session;
  IDispatch* m_application;
};

class ExcelFunctions final : public WorksheetFunctions {
 public:
  explicit ExcelFunctions(IDispatch* application) : m_application(application) {}
  Result<double> average(std::span<const Value> args) override;
  Result<double> sum(std::span<const Value> args) override;
  Result<double> sum_product(std::span<const Value> args) override;
  Result<double> max(std::span<const Value> args) override;
  Result<double> min(std::span<const Value> args) override;
  Result<double> slope(const Value& known_ys, const Value& known_xs) override;

 private:
  Result<double> run(std::string_view name, std::span<const Value> args);
  IDispatch* m_application;
};

// Wrappers for an object the host answered; Nothing fails with ObjectRequired.
Result<RangePtr> make_range(const SessionPtr& session, Result<Dispatch> object);
Result<WorksheetPtr> make_sheet(const SessionPtr& session, Result<Dispatch> object);
Result<WorkbookPtr> make_book(const SessionPtr& session, Result<Dispatch> object);

// The host object behind one of our Range wrappers, AddRef'd; null for any
// other Range or once the adapter has released it.
IDispatch* range_dispatch(const Range& range);

}  // namespace quillo::host::win
