#include "spreadsheet/application.h"

#include <filesystem>

#include "common/text.h"
#include "spreadsheet/functions.h"
#include "spreadsheet/handles.h"

namespace quillo::spreadsheet {

// ---- Workbooks ----

class Application::WorkbooksImpl final : public host::Workbooks {
 public:
  explicit WorkbooksImpl(Application& app) : m_app(app) {}

  std::int32_t count() const override {
    return static_cast<std::int32_t>(m_app.m_model->books().size());
  }

  Result<host::WorkbookPtr> item(std::int32_t index) const override {
    const auto& books = m_app.m_model->books();
    if (index < 1 || static_cast<std::size_t>(index) > books.size()) {
      return Status(StatusCode::OutOfRange, "no workbook " + std::to_string(index));
    }
    return make_book(m_app.m_model, books[static_cast<std::size_t>(index - 1)]);
  }

  Result<host::WorkbookPtr> item(std::string_view name) const override {
    for (BookId id : m_app.m_model->books()) {
      if (text::iequals(m_app.m_model->book(id)->name, name)) return make_book(m_app.m_model, id);
    }
    return Status(StatusCode::OutOfRange, "no workbook " + std::string(name));
  }

  Result<host::WorkbookPtr> add() override {
    Model& m = *m_app.m_model;
    const BookId id = m.add_book();
    if (auto sheet = m.add_sheet(id, "Sheet1"); !sheet.ok()) return sheet.status();
    return make_book(m_app.m_model, id);
  }

  Result<host::WorkbookPtr> open(std::string_view path) override {
    if (!m_app.m_loader) {
      return Status(StatusCode::NotSupported, "no workbook file format is available");
    }
    auto book = m_app.m_loader(m_app, path);
    if (!book.ok()) return book.status();
    m_app.raise_workbook_open(book.value());
    return book;
  }

 private:
  Application& m_app;
};

// ---- AddIns ----

class Application::AddInsImpl final : public host::AddIns {
 public:
  class Entry final : public host::AddIn {
   public:
    Entry(Application& app, std::weak_ptr<int> alive, std::string name, std::string path)
        : m_app(app), m_alive(std::move(alive)), m_name(std::move(name)), m_path(std::move(path)) {}

    Result<std::string> name() const override {
      if (m_alive.expired()) return gone();
      return m_name;
    }
    Result<std::string> full_name() const override {
      if (m_alive.expired()) return gone();
      return m_path;
    }
    Result<bool> installed() const override {
      if (m_alive.expired()) return gone();
      return m_installed;
    }
    Status set_installed(bool on) override {
      if (m_alive.expired()) return gone();
      if (on == m_installed) return {};
      if (on) {
        auto lib = load_function_library(m_path);
        if (!lib.ok()) return lib.status();
        m_app.m_catalog.install(m_name, m_path, std::move(lib).value());
      } else {
        m_app.m_catalog.uninstall(m_path);
      }
      m_installed = on;
      m_app.m_model->recalc_external_calls();
      return {};
    }

   private:
    static Status gone() { return Status::object_required("the add-in list is gone"); }
    Application& m_app;
    std::weak_ptr<int> m_alive;
    std::string m_name;
    std::string m_path;
    bool m_installed = false;
  };

  explicit AddInsImpl(Application& app) : m_app(app) {}

  std::int32_t count() const override { return static_cast<std::int32_t>(m_entries.size()); }

  Result<host::AddInPtr> item(std::int32_t index) const override {
    if (index < 1 || index > count()) {
      return Status(StatusCode::OutOfRange, "no add-in " + std::to_string(index));
    }
    return host::AddInPtr(m_entries[static_cast<std::size_t>(index - 1)]);
  }

  Result<host::AddInPtr> item(std::string_view name) const override {
    for (const auto& e : m_entries) {
      if (text::iequals(e->name().value_or(""), name)) return host::AddInPtr(e);
    }
    return Status(StatusCode::OutOfRange, "no add-in " + std::string(name));
  }

  Result<host::AddInPtr> add(std::string_view path) override {
    for (const auto& e : m_entries) {
      if (e->full_name().value_or("") == path) return host::AddInPtr(e);
    }
    std::error_code ec;
    const std::filesystem::path p{std::string(path)};
    if (path.empty() || !std::filesystem::is_regular_file(p, ec)) {
      return Status::failed("cannot find add-in " + std::string(path));
    }
    auto entry = std::make_shared<Entry>(m_app, m_alive, p.filename().string(), std::string(path));
    m_entries.push_back(entry);
    return host::AddInPtr(entry);
  }

 private:
  Application& m_app;
  std::shared_ptr<int> m_alive = std::make_shared<int>(0);
  std::vector<std::shared_ptr<Entry>> m_entries;
};

// ---- worksheet functions for the engine ----

class Application::FunctionsImpl final : public host::WorksheetFunctions {
 public:
  explicit FunctionsImpl(Application& app) : m_app(app) {}

  Result<double> average(std::span<const Value> args) override { return run(fn_average, args); }
  Result<double> sum(std::span<const Value> args) override { return run(fn_sum, args); }
  Result<double> sum_product(std::span<const Value> args) override {
    return run(fn_sumproduct, args);
  }
  Result<double> max(std::span<const Value> args) override { return run(fn_max, args); }
  Result<double> min(std::span<const Value> args) override { return run(fn_min, args); }
  Result<double> slope(const Value& ys, const Value& xs) override {
    const Value args[] = {ys, xs};
    return run(fn_slope, args);
  }

 private:
  Result<double> run(BuiltinImpl f, std::span<const Value> args) {
    if (args.empty()) return Status(StatusCode::InvalidArgument, "no arguments");
    CallContext ctx;
    ctx.clock = &m_app.model();
    const Value v = f(ctx, args);
    if (v.is_error()) return Status::failed(std::string(error_text(v.error())));
    if (!v.is_number()) return Status::failed("#VALUE!");
    return v.number();
  }
  Application& m_app;
};

// ---- Application ----

Application::Application() : Application(Options{}) {}

Application::Application(Options options)
    : m_model(std::make_shared<Model>()),
      m_catalog(m_model, m_methods),
      m_workbooks(std::make_unique<WorkbooksImpl>(*this)),
      m_add_ins(std::make_unique<AddInsImpl>(*this)),
      m_functions(std::make_unique<FunctionsImpl>(*this)) {
  m_model->set_external_functions(&m_catalog);
  if (options.clock) m_model->set_clock(std::move(options.clock));
}

Application::~Application() {
  // Handles may keep the model alive; it must not call back into this object.
  m_model->set_external_functions(nullptr);
}

host::Workbooks& Application::workbooks() {
  return *m_workbooks;
}
host::AddIns& Application::add_ins() {
  return *m_add_ins;
}
host::WorksheetFunctions& Application::worksheet_functions() {
  return *m_functions;
}

Result<host::WorkbookPtr> Application::active_workbook() const {
  const BookId id = m_model->active_book();
  if (id == 0) return Status(StatusCode::OutOfRange, "no workbook is open");
  return make_book(m_model, id);
}

Result<host::WorksheetPtr> Application::active_sheet() const {
  auto book = active_workbook();
  if (!book.ok()) return book.status();
  return book.value()->active_sheet();
}

Status Application::set_calculation(host::Calculation mode) {
  m_model->set_calculation(mode);
  return {};
}

Status Application::calculate() {
  m_model->calculate_all();
  return {};
}

host::HandlerId Application::on_workbook_open(host::WorkbookOpenHandler handler) {
  const host::HandlerId id = m_next_handler++;
  m_open_handlers.emplace(id, std::move(handler));
  return id;
}

void Application::remove_handler(host::HandlerId id) {
  m_open_handlers.erase(id);
}

void Application::raise_workbook_open(const host::WorkbookPtr& book) {
  // Copy: a handler may add or remove handlers.
  std::vector<host::WorkbookOpenHandler> handlers;
  for (const auto& [id, h] : m_open_handlers) handlers.push_back(h);
  for (const auto& h : handlers) h(book);
}

std::vector<std::string> Application::circular_references() const {
  std::vector<std::string> out;
  for (const CellAddr& a : m_model->circular_references()) {
    out.push_back(quote_sheet_name(m_model->sheet_name(a.sheet)) + "!" +
                  cell_a1(a.row, a.col, true, true));
  }
  return out;
}

}  // namespace quillo::spreadsheet
