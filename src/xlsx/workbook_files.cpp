// xlsx files as an Application's workbook files (see xlsx/workbook_files.h).
#include "xlsx/workbook_files.h"

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <tuple>

#include "common/text.h"
#include "spreadsheet/handles.h"
#include "xlsx/package.h"

namespace quillo::spreadsheet {

namespace {

using WarningSink = std::function<void(const std::string&)>;

class XlsxBookFile final : public BookFile {
 public:
  XlsxBookFile(std::shared_ptr<XlsxFile> file, WarningSink on_warning,
               std::shared_ptr<host::FileSystem> files)
      : m_file(file ? std::move(file) : std::make_shared<XlsxFile>()),
        m_on_warning(std::move(on_warning)) {
    if (!m_file->files) m_file->files = std::move(files);
  }

  Status save(const Model& model, BookId book, const std::string& path,
              std::vector<std::string>* warnings) override {
    std::vector<std::string> lines;
    const Status st = save_xlsx(model, book, m_file.get(), path, &lines);
    for (const std::string& line : lines) {
      if (m_on_warning) m_on_warning(line);
      if (warnings) warnings->push_back(line);
    }
    return st;
  }

  XlsxFile& file() { return *m_file; }

  std::optional<WrittenVersion> written_version() const override { return m_file->written; }

  std::vector<std::pair<CellAddr, std::string>> unread_formulas(const Model& model,
                                                                BookId) const override {
    std::vector<std::pair<CellAddr, std::string>> out;
    for (const auto& [at, kept] : m_file->kept) {
      const auto& [sheet, row, col] = at;
      if (!model.has_formula(sheet, row, col) && model.value(sheet, row, col) == kept.cached) {
        out.emplace_back(CellAddr{sheet, row, col}, "quillo cannot read it: " + kept.reason);
      }
    }
    return out;
  }

 private:
  // An empty XlsxFile saves as a new package and then describes it, so a
  // book made in memory keeps one hook from its first save on.
  std::shared_ptr<XlsxFile> m_file;
  WarningSink m_on_warning;
};

Result<host::WorkbookPtr> open_xlsx(Application& app, const XlsxHostOptions& options,
                                    std::string_view path) {
  Model& model = app.model();
  const std::string file(path);
  const std::string name = std::filesystem::path(file).filename().string();
  for (BookId id : model.books()) {
    if (!name.empty() && text::iequals(model.book(id)->name, name)) {
      return Status::failed(file + ": a workbook named " + name + " is already open");
    }
  }
  XlsxLoadOptions load;
  load.limits = options.limits;
  load.files = options.files;
  load.external_function = computed_calls(app, options.redirected_calls);
  auto loaded = load_xlsx(model, file, load);
  if (!loaded.ok()) return loaded.status();
  if (options.on_warning) {
    for (const std::string& line : loaded->warnings) options.on_warning(line);
  }
  const BookId book = loaded->book;
  const std::string full_path =
      std::filesystem::path(model.book(book)->path).lexically_normal().string();
  if (auto st = model.set_book_file(book, full_path,
                                    make_xlsx_book_file(loaded->file, options.on_warning));
      !st.ok()) {
    return st;
  }
  model.activate_book(book);
  return make_book(app.shared_model(), book);
}

}  // namespace

std::shared_ptr<BookFile> make_xlsx_book_file(std::shared_ptr<XlsxFile> file,
                                              std::function<void(const std::string&)> on_warning,
                                              std::shared_ptr<host::FileSystem> files) {
  return std::make_shared<XlsxBookFile>(std::move(file), std::move(on_warning), std::move(files));
}

void use_xlsx_files(Application& app, XlsxHostOptions options) {
  app.model().set_book_file_maker([sink = options.on_warning, files = options.files] {
    return make_xlsx_book_file(nullptr, sink, files);
  });
  app.set_workbook_loader([options = std::move(options)](Application& a, std::string_view path) {
    return open_xlsx(a, options, path);
  });
}

std::function<bool(std::string_view, const std::string*)> computed_calls(
    const Application& app, std::function<bool(std::string_view book)> redirected) {
  const AddInCatalog& catalog = app.add_in_catalog();
  return
      [&catalog, redirected = std::move(redirected)](std::string_view fn, const std::string* book) {
        return catalog.computes(fn, book) ||
               (book && redirected && redirected(*book) && catalog.computes(fn, nullptr));
      };
}

std::optional<WrittenVersion> version_of(const std::string& path) {
  std::error_code ec;
  WrittenVersion v;
  v.size = std::filesystem::file_size(path, ec);
  if (ec) return std::nullopt;
  v.written = std::filesystem::last_write_time(path, ec);
  if (ec) return std::nullopt;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    v.device = static_cast<std::uint64_t>(st.st_dev);
    v.inode = static_cast<std::uint64_t>(st.st_ino);
#ifndef _WIN32
    // Windows keeps no status change time (its st_ctime is the creation
    // time, which a rewrite leaves): there it stays 0 and compares equal.
    v.changed_ns = std::int64_t{st.st_ctim.tv_sec} * 1'000'000'000 + st.st_ctim.tv_nsec;
#endif
  }
  return v;
}

bool set_save_check(Model& model, BookId book, std::function<bool()> still_in_place) {
  const Book* b = model.book(book);
  auto* hook = b ? dynamic_cast<XlsxBookFile*>(b->file.get()) : nullptr;
  if (!hook) return false;
  hook->file().still_in_place = std::move(still_in_place);
  return true;
}

std::optional<std::int32_t> take_kept_formulas(Model& model, BookId book, SheetId sheet,
                                               const XlsxFile& from, SheetId from_sheet) {
  const Book* b = model.book(book);
  auto* hook = b ? dynamic_cast<XlsxBookFile*>(b->file.get()) : nullptr;
  if (!hook) return std::nullopt;
  using Key = std::tuple<SheetId, std::int32_t, std::int32_t>;
  std::map<Key, XlsxKeptFormula>& kept = hook->file().kept;
  std::map<Key, XlsxKeptFormula> taken;
  for (auto it = from.kept.lower_bound({from_sheet, 0, 0});
       it != from.kept.end() && std::get<0>(it->first) == from_sheet; ++it) {
    XlsxKeptFormula k = it->second;
    if (!k.shared_index.empty()) {
      // Its group's number may be one this file gives another group.
      if (!k.shared_master) continue;
      std::erase_if(k.attributes, [](const auto& a) {
        return a.first == "t" || a.first == "si" || a.first == "ref";
      });
      k.shared_index.clear();
      k.shared_master = false;
    }
    taken.emplace(Key{sheet, std::get<1>(it->first), std::get<2>(it->first)}, std::move(k));
  }
  std::map<Key, XlsxKeptFormula> before;
  for (auto it = kept.lower_bound({sheet, 0, 0});
       it != kept.end() && std::get<0>(it->first) == sheet;) {
    before.insert(kept.extract(it++));
  }
  std::int32_t changed = 0;
  for (auto& [at, k] : taken) {
    const auto was = before.find(at);
    if (was == before.end() || was->second.text != k.text ||
        was->second.attributes != k.attributes) {
      ++changed;
    }
    kept[at] = std::move(k);
  }
  return changed;
}

}  // namespace quillo::spreadsheet
