// xlsx files under hostile or unusual conditions: saving through links and
// to targets that are not files, saves killed half way, texts XML cannot
// carry, names that need quoting in formulas, sheets sharing a part, bad
// shared-string indexes, workbooks too large or too sparse, sheets that
// misstate or disorder their cells, and sheets of styled blanks.
//
// Setting QUILLO_XLSX_KEEP to a folder keeps a copy of every file these
// tests save, for tests/xlsx_libreoffice_check.sh.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>

#include "common/text.h"
#include "spreadsheet/address.h"
#include "spreadsheet/handles.h"
#include "support/scratch_folder.h"
#include "xlsx/package.h"
#include "xlsx/workbook_files.h"
#include "xlsx/xlsx.h"

namespace quillo::spreadsheet {
namespace {

namespace fs = std::filesystem;

class XlsxSafetyTest : public testing_support::ScratchFolderTest {
 protected:
  Status save(BookId book, XlsxFile* file, const std::string& to) {
    Status st = save_xlsx(model, book, file, to);
    if (const char* keep = std::getenv("QUILLO_XLSX_KEEP");
        keep && st.ok() && fs::is_regular_file(to)) {
      fs::copy_file(to, fs::path(keep) / ("safety-" + fs::path(to).filename().string()),
                    fs::copy_options::overwrite_existing);
    }
    return st;
  }

  // Another program's file, theirs.xlsx: another book with other sheets.
  std::string their_file() {
    const std::string theirs = path("theirs.xlsx");
    XlsxFile other_file;
    const BookId other = model.add_book("theirs.xlsx");
    EXPECT_TRUE(model.set_value(*model.add_sheet(other, "Mine"), 1, 1, Value("other")).ok());
    EXPECT_TRUE(model.set_value(*model.add_sheet(other, "Second"), 1, 1, Value(1.0)).ok());
    EXPECT_TRUE(save(other, &other_file, theirs).ok());
    return theirs;
  }

  std::string part(const std::string& file, const std::string& name) {
    auto bytes = files->read_file(file, 1 << 30);
    auto zip = xlsx::ZipReader::open(std::make_shared<std::string>(std::move(bytes).value()), {});
    auto r = zip.value()->read(name);
    return r.ok() ? r.value() : "<missing>";
  }

  // A package of one sheet per entry of sheets (name, sheetData, or the
  // whole part when it starts with "<worksheet" or "<!"), each on its own part.
  // Style 1 fills the cell and keeps the General number format.
  std::string package(const std::string& name,
                      const std::vector<std::pair<std::string, std::string>>& sheets,
                      const std::string& shared_strings = {}) {
    const std::string ns = std::string(xlsx::kMainNs);
    std::string list, rels, types = xlsx::new_content_types();
    xlsx::ZipEdit edit;
    for (std::size_t i = 0; i < sheets.size(); ++i) {
      const std::string id = "rId" + std::to_string(10 + i);
      list += "<sheet name=\"" + sheets[i].first + "\" sheetId=\"" + std::to_string(i + 1) +
              "\" r:id=\"" + id + "\"/>";
      rels += "<Relationship Id=\"" + id + "\" Type=\"" + std::string(xlsx::kRelWorksheet) +
              "\" Target=\"worksheets/sheet" + std::to_string(i + 1) + ".xml\"/>";
      edit.put["xl/worksheets/sheet" + std::to_string(i + 1) + ".xml"] =
          sheets[i].second.starts_with("<worksheet") || sheets[i].second.starts_with("<!")
              ? sheets[i].second
              : "<worksheet xmlns=\"" + ns + "\"><dimension ref=\"A1\"/><sheetData>" +
                    sheets[i].second + "</sheetData></worksheet>";
    }
    if (!shared_strings.empty()) {
      rels += "<Relationship Id=\"rId99\" Type=\"" + std::string(xlsx::kRelSharedStrings) +
              "\" Target=\"sharedStrings.xml\"/>";
      edit.put["xl/sharedStrings.xml"] = "<sst xmlns=\"" + ns + "\">" + shared_strings + "</sst>";
    }
    std::string wb = xlsx::new_workbook();
    wb.replace(wb.find("<sheets/>"), 9, "<sheets>" + list + "</sheets>");
    std::string wb_rels = xlsx::new_workbook_rels();
    wb_rels.insert(wb_rels.find("</Relationships>"), rels);
    edit.put["[Content_Types].xml"] = types;
    edit.put["_rels/.rels"] = xlsx::new_root_rels();
    edit.put["xl/workbook.xml"] = wb;
    edit.put["xl/_rels/workbook.xml.rels"] = wb_rels;
    std::string styles = xlsx::new_styles();
    styles.replace(styles.find("</cellXfs>"), 10,
                   "<xf numFmtId=\"0\" fontId=\"0\" fillId=\"1\" borderId=\"0\" xfId=\"0\" "
                   "applyFill=\"1\"/></cellXfs>");
    edit.put["xl/styles.xml"] = styles;
    EXPECT_TRUE(xlsx::write_zip_atomic(*files, nullptr, edit, path(name)).ok());
    return path(name);
  }

  // A small workbook made in memory and saved at to.
  BookId made(const std::string& to, XlsxFile& file) {
    const BookId book = model.add_book("made.xlsx");
    const SheetId s = *model.add_sheet(book, "Prices");
    EXPECT_TRUE(model.set_value(s, 1, 1, Value(42.0)).ok());
    EXPECT_TRUE(save(book, &file, to).ok());
    return book;
  }

  std::shared_ptr<host::FileSystem> files = host::make_platform_file_system();
  std::shared_ptr<Model> owner = std::make_shared<Model>();
  Model& model = *owner;
};

TEST_F(XlsxSafetyTest, SavesThroughLinksAndRefusesWhatIsNoFile) {
  XlsxFile file;
  const std::string real = path("real.xlsx");
  const BookId book = made(real, file);
  const SheetId s = model.book(book)->sheets.front();
  fs::create_symlink("real.xlsx", dir / "link.xlsx");
  fs::create_hard_link(real, dir / "hard.xlsx");

  EXPECT_TRUE(model.set_value(s, 1, 1, Value(43.0)).ok());
  ASSERT_TRUE(save(book, &file, path("link.xlsx")).ok());
  EXPECT_TRUE(fs::is_symlink(dir / "link.xlsx"));
  EXPECT_EQ(fs::hard_link_count(real), 2u);
  Model other;
  for (const char* name : {"real.xlsx", "hard.xlsx"}) {
    auto in = load_xlsx(other, path(name));
    ASSERT_TRUE(in.ok()) << in.status().message();
    EXPECT_EQ(other.value(other.book(in->book)->sheets.front(), 1, 1), Value(43.0)) << name;
  }

  const std::string fifo = path("fifo.xlsx");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& target : {fifo, std::string("/dev/null")}) {
    const Status st = save(book, &file, target);
    EXPECT_FALSE(st.ok()) << target;
    EXPECT_NE(st.message().find("not a regular file"), std::string::npos) << st.message();
  }
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

// Stands for the platform file system, each kind below acting where a save
// is about to put its file in place.
class ForwardingFileSystem : public host::FileSystem {
 public:
  Result<std::string> read_file(const std::string& p, std::uint64_t max) override {
    return m_real->read_file(p, max);
  }
  Status write_file(const std::string& p, std::string_view c,
                    const host::WriteOptions& o) override {
    return m_real->write_file(p, c, o);
  }
  Result<std::unique_ptr<host::FileReplacement>> begin_replace(
      const std::string& p, const host::WriteOptions& o) override {
    auto r = m_real->begin_replace(p, o);
    if (!r.ok()) return r.status();
    replacing = p;
    return std::unique_ptr<host::FileReplacement>(new Hooked(*this, std::move(r).value()));
  }

  std::string replacing;  // the target of the last replacement begun

 protected:
  virtual void before_commit() {}
  virtual void after_commit() {}

 private:
  class Hooked final : public host::FileReplacement {
   public:
    Hooked(ForwardingFileSystem& owner, std::unique_ptr<host::FileReplacement> real)
        : m_owner(owner), m_real(std::move(real)) {}
    const std::string& temporary_path() const override { return m_real->temporary_path(); }
    Status commit() override {
      m_owner.before_commit();
      Status st = m_real->commit();
      m_owner.after_commit();
      return st;
    }

   private:
    ForwardingFileSystem& m_owner;
    std::unique_ptr<host::FileReplacement> m_real;
  };
  std::unique_ptr<host::FileSystem> m_real = host::make_platform_file_system();
};

// Kills the process where a save would put its file in place: a save
// interrupted at its worst moment.
class DyingFileSystem final : public ForwardingFileSystem {
 public:
  Status write_file(const std::string&, std::string_view, const host::WriteOptions&) override {
    ::_exit(0);
  }

 protected:
  void before_commit() override { ::_exit(0); }
};

TEST_F(XlsxSafetyTest, KilledSavesLeaveNoTemporariesForLong) {
  XlsxFile file;
  const std::string target = path("book.xlsx");
  const BookId book = made(target, file);
  for (int i = 0; i < 3; ++i) {
    const pid_t child = ::fork();
    if (child == 0) {
      XlsxFile copy = file;
      copy.files = std::make_shared<DyingFileSystem>();
      (void)save_xlsx(model, book, &copy, target);
      ::_exit(1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto entries = [&] {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++n;
    return n;
  };
  EXPECT_GT(entries(), 1u);  // the killed saves left their files
  ASSERT_TRUE(save(book, &file, target).ok());
  EXPECT_EQ(entries(), 1u);  // the next save removed them
}

// Reading back the package a save wrote fails (a disk gone, a file taken
// away at once).
class UnreadableWhileSavingFileSystem final : public ForwardingFileSystem {
 public:
  Result<std::string> read_file(const std::string& p, std::uint64_t max) override {
    if (!replacing.empty()) return Status::failed(p + ": input/output error");
    return ForwardingFileSystem::read_file(p, max);
  }
};

// A save reads back what it wrote before putting it in place: when that
// read fails, nothing is put in place and the save says so; the next save
// is refused rather than writing a package without the parts quillo does
// not model.
TEST_F(XlsxSafetyTest, ASaveThatCannotBeReadBackPutsNothingInPlaceAndStopsTheNextSave) {
  XlsxFile file;
  const std::string target = path("book.xlsx");
  const BookId book = made(target, file);
  const SheetId s = model.book(book)->sheets.front();
  ASSERT_TRUE(model.set_value(s, 2, 1, Value(7.0)).ok());
  file.files = std::make_shared<UnreadableWhileSavingFileSystem>();
  EXPECT_FALSE(save(book, &file, target).ok());
  file.files = files;
  const Status again = save(book, &file, target);
  ASSERT_FALSE(again.ok());
  EXPECT_NE(again.message().find("could not be read back"), std::string::npos) << again.message();
  // The file is the one saved before, whole.
  Model other;
  auto in = load_xlsx(other, target);
  ASSERT_TRUE(in.ok()) << in.status().message();
  const SheetId read = other.book(in->book)->sheets.front();
  EXPECT_EQ(other.value(read, 1, 1), Value(42.0));
  EXPECT_EQ(other.value(read, 2, 1), Value());
}

// Another program replaces the file the moment a save has put it in place
// (an atomic save of its own): the version the save reports is its own,
// not the other program's, so a watcher comparing it with the file sees
// the change; and the next save starts from the package it wrote, not from
// the other program's.
class OvertakenFileSystem final : public ForwardingFileSystem {
 public:
  explicit OvertakenFileSystem(std::string theirs) : m_theirs(std::move(theirs)) {}

 protected:
  void after_commit() override {
    if (!m_theirs.empty()) fs::rename(m_theirs, replacing);
    m_theirs.clear();
  }

 private:
  std::string m_theirs;
};

TEST_F(XlsxSafetyTest, AFileReplacedRightAfterASaveIsNotTakenForTheSavesOwn) {
  XlsxFile file;
  const std::string target = path("book.xlsx");
  const BookId book = made(target, file);
  const SheetId s = model.book(book)->sheets.front();
  const std::string theirs = their_file();
  ASSERT_TRUE(model.set_value(s, 2, 1, Value(7.0)).ok());
  file.files = std::make_shared<OvertakenFileSystem>(theirs);
  ASSERT_TRUE(save(book, &file, target).ok());
  ASSERT_TRUE(file.written.has_value());
  EXPECT_TRUE(fs::file_size(target) != file.written->size ||
              fs::last_write_time(target) != file.written->written);
  // The next save writes this book whole, from its own package.
  file.files = files;
  ASSERT_TRUE(model.set_value(s, 3, 1, Value(8.0)).ok());
  ASSERT_TRUE(save(book, &file, target).ok()) << "second save";
  Model again;
  auto in = load_xlsx(again, target);
  ASSERT_TRUE(in.ok()) << in.status().message();
  ASSERT_EQ(again.book(in->book)->sheets.size(), 1u);
  const SheetId read = again.book(in->book)->sheets.front();
  EXPECT_EQ(again.sheet_name(read), "Prices");
  EXPECT_EQ(again.value(read, 1, 1), Value(42.0));
  EXPECT_EQ(again.value(read, 3, 1), Value(8.0));
  EXPECT_EQ(fs::file_size(target), file.written->size);
  EXPECT_EQ(fs::last_write_time(target), file.written->written);
}

// A save records the file it put in place as it stands there, so the host
// sees no change until there is one; a file another program renames into
// place is told apart even with the same size and time.
TEST_F(XlsxSafetyTest, AFileRenamedIntoPlaceIsToldFromTheSavesOwnAtTheSameSizeAndTime) {
  XlsxFile file;
  const std::string target = path("book.xlsx");
  const BookId book = made(target, file);
  ASSERT_TRUE(save(book, &file, target).ok());
  ASSERT_TRUE(file.written.has_value());
  EXPECT_EQ(version_of(target), file.written);
  const std::string theirs = path("theirs.xlsx");
  fs::copy_file(target, theirs);
  fs::last_write_time(theirs, fs::last_write_time(target));
  fs::rename(theirs, target);
  const auto now = version_of(target);
  ASSERT_TRUE(now.has_value());
  EXPECT_EQ(now->size, file.written->size);
  EXPECT_EQ(now->written, file.written->written);
  EXPECT_NE(now, file.written);
}

// A save records the file as it stands once in place, renamed there or (a
// file with other links) written over; a rewrite in place at the same size
// with its time set back (rsync --inplace -t) is told from it.
TEST_F(XlsxSafetyTest, AFileRewrittenInPlaceWithItsTimeSetBackIsToldFromTheSavesOwn) {
  XlsxFile file;
  const std::string target = path("book.xlsx");
  const BookId book = made(target, file);
  const SheetId s = model.book(book)->sheets.front();
  for (const bool linked : {false, true}) {
    if (linked) fs::create_hard_link(target, dir / "link.xlsx");
    ASSERT_TRUE(model.set_value(s, 1, 1, Value(linked ? 2.0 : 1.0)).ok());
    ASSERT_TRUE(save(book, &file, target).ok());
    EXPECT_EQ(version_of(target), file.written) << linked;
    ::usleep(20000);  // past the file system's clock tick
    struct stat before {};
    ASSERT_EQ(::stat(target.c_str(), &before), 0);
    std::string bytes = files->read_file(target, 1 << 30).value();
    bytes.back() ^= 1;
    std::fstream(target, std::ios::in | std::ios::out | std::ios::binary) << bytes;
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, target.c_str(), times, 0), 0);
    const auto now = version_of(target);
    ASSERT_TRUE(now && file.written);
    EXPECT_EQ(std::tie(now->size, now->written, now->inode),
              std::tie(file.written->size, file.written->written, file.written->inode));
    EXPECT_NE(now, file.written) << linked;
  }
}

// Another program puts its file in place while a save is being written, and
// the host's check sees it: the save puts nothing over that file and leaves
// nothing beside it; the next save, once the host lets it, starts from the
// package the refused save wrote and puts this book in place whole.
TEST_F(XlsxSafetyTest, ASaveTheHostsCheckRefusesLeavesTheOtherProgramsFile) {
  XlsxFile file;
  const std::string target = path("book.xlsx");
  const BookId book = made(target, file);
  const SheetId s = model.book(book)->sheets.front();
  const std::string theirs = their_file();
  const auto their_bytes = files->read_file(theirs, 1 << 30);
  ASSERT_TRUE(their_bytes.ok());
  bool checked = false;
  file.still_in_place = [&] {
    checked = true;
    if (fs::exists(theirs)) fs::rename(theirs, target);
    return false;
  };
  ASSERT_TRUE(model.set_value(s, 2, 1, Value(7.0)).ok());
  const Status refused = save(book, &file, target);
  EXPECT_TRUE(checked);
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.message().find("changed on disk while it was being saved"), std::string::npos)
      << refused.message();
  EXPECT_EQ(files->read_file(target, 1 << 30).value(), their_bytes.value());
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++entries;
  EXPECT_EQ(entries, 1u);
  file.still_in_place = [] { return true; };
  ASSERT_TRUE(model.set_value(s, 3, 1, Value(8.0)).ok());
  ASSERT_TRUE(save(book, &file, target).ok());
  Model again;
  auto in = load_xlsx(again, target);
  ASSERT_TRUE(in.ok()) << in.status().message();
  const SheetId read = again.book(in->book)->sheets.front();
  EXPECT_EQ(again.sheet_name(read), "Prices");
  EXPECT_EQ(again.value(read, 1, 1), Value(42.0));
  EXPECT_EQ(again.value(read, 2, 1), Value(7.0));
  EXPECT_EQ(again.value(read, 3, 1), Value(8.0));
}

// Where a save puts its file in place, notes the mode of every file the
// save has made beside it.
class ModeNotingFileSystem final : public ForwardingFileSystem {
 public:
  explicit ModeNotingFileSystem(fs::path dir) : m_dir(std::move(dir)) {}

  std::map<std::string, mode_t> modes;  // file name: permission bits

 protected:
  void before_commit() override {
    for (const auto& e : fs::directory_iterator(m_dir)) {
      struct stat st;
      if (::lstat(e.path().c_str(), &st) == 0) {
        modes[e.path().filename().string()] = st.st_mode & 07777;
      }
    }
  }

 private:
  fs::path m_dir;
};

TEST_F(XlsxSafetyTest, FilesASaveMakesAreNoMoreOpenThanAPrivateTarget) {
  XlsxFile file;
  const std::string target = path("private.xlsx");
  const BookId book = made(target, file);
  ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
  const SheetId s = model.book(book)->sheets.front();
  ASSERT_TRUE(model.set_value(s, 2, 1, Value("secret")).ok());
  ASSERT_TRUE(model.add_sheet(book, "More").ok());
  // With no umask at all, any file made with the umask's mode would be
  // open to everyone.
  const mode_t mask = ::umask(0);
  auto noting = std::make_shared<ModeNotingFileSystem>(dir);
  file.files = noting;
  const Status st = save(book, &file, target);
  ::umask(mask);
  ASSERT_TRUE(st.ok()) << st.message();
  // The workbook, the temporary package and one deflated part per sheet.
  EXPECT_GE(noting->modes.size(), 4u);
  for (const auto& [name, mode] : noting->modes) {
    EXPECT_EQ(mode & 077, 0u) << name << " has mode " << std::oct << mode;
  }
  struct stat after;
  ASSERT_EQ(::stat(target.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0600u);
}

TEST_F(XlsxSafetyTest, BadSharedStringIndexesFailTheLoad) {
  const std::string strings = "<si><t>first</t></si><si><t>second</t></si>";
  for (const std::string index : {"-1", "abc", "1.5", "2", "", " 1x"}) {
    const std::string file = package(
        "bad.xlsx", {{"S", "<row r=\"1\"><c r=\"A1\" t=\"s\"><v>" + index + "</v></c></row>"}},
        strings);
    auto r = load_xlsx(model, file);
    ASSERT_FALSE(r.ok()) << "index \"" << index << "\" loaded";
    EXPECT_NE(r.status().message().find("shared string index"), std::string::npos)
        << r.status().message();
  }
  auto good = load_xlsx(
      model, package("good.xlsx", {{"S", "<row r=\"1\"><c r=\"A1\" t=\"s\"><v> 1 </v></c></row>"}},
                     strings));
  ASSERT_TRUE(good.ok()) << good.status().message();
  EXPECT_EQ(model.value(model.book(good->book)->sheets.front(), 1, 1), Value("second"));
}

TEST_F(XlsxSafetyTest, TextsXmlCannotCarryAreEscapedAndReadBack) {
  const BookId book = model.add_book("texts.xlsx");
  const SheetId s = *model.add_sheet(book, "Texts");
  const std::vector<std::string> kept = {
      "bell\x07",
      "cr\r\nlf",
      "\xEF\xBF\xBE nonchar",
      "_x0041_ literal",
      "tab\tand \xF0\x9F\x98\x80",
  };
  for (std::size_t i = 0; i < kept.size(); ++i) {
    EXPECT_TRUE(model
                    .restore_cell(s, static_cast<std::int32_t>(i) + 1, 1, Value(kept[i]), nullptr,
                                  "", false)
                    .ok());
  }
  EXPECT_TRUE(model.restore_cell(s, 10, 1, Value(std::string("caf\xE9")), nullptr, "", false)
                  .ok());  // Latin-1
  ASSERT_TRUE(model.set_formula(s, 11, 1, "=\"_x0042_\"&\"b\"", Notation::A1).ok());
  XlsxFile file;
  ASSERT_TRUE(save(book, &file, path("texts.xlsx")).ok());

  // No character reference may name a character XML forbids either.
  for (const char* name : {"xl/sharedStrings.xml", "xl/worksheets/sheet1.xml"}) {
    const std::string xml = part(path("texts.xlsx"), name);
    EXPECT_TRUE(xlsx::xml_safe(xml)) << name;
    for (std::size_t at = xml.find("&#"); at != std::string::npos; at = xml.find("&#", at + 2)) {
      const bool hex = at + 2 < xml.size() && xml[at + 2] == 'x';
      const std::size_t digits = at + (hex ? 3 : 2);
      const std::size_t end = xml.find(';', digits);
      ASSERT_NE(end, std::string::npos) << name;
      const long v = std::stol(xml.substr(digits, end - digits), nullptr, hex ? 16 : 10);
      EXPECT_TRUE(v == 9 || v == 10 || v == 13 || v >= 0x20)
          << name << ": " << xml.substr(at, end - at + 1);
    }
  }
  Model back;
  auto in = load_xlsx(back, path("texts.xlsx"));
  ASSERT_TRUE(in.ok()) << in.status().message();
  const SheetId t = back.book(in->book)->sheets.front();
  for (std::size_t i = 0; i < kept.size(); ++i) {
    EXPECT_EQ(back.value(t, static_cast<std::int32_t>(i) + 1, 1), Value(kept[i])) << i;
  }
  EXPECT_EQ(back.value(t, 10, 1), Value(std::string("caf\xEF\xBF\xBD")));
  // Formulas are read literally by other readers, so they are not escaped.
  EXPECT_EQ(back.formula_text(t, 11, 1, Notation::A1), "=\"_x0042_\"&\"b\"");
  EXPECT_EQ(back.value(t, 11, 1), Value(std::string("_x0042_b")));
  // A character XML cannot carry is lost from the formula (not kept for the
  // other readers, which would compute the changed formula); the cached
  // value keeps it.
  ASSERT_TRUE(model.set_formula(s, 11, 1, "=\"a\x01\"", Notation::A1).ok());
  ASSERT_TRUE(save_xlsx(model, book, &file, path("formula.xlsx")).ok());
  EXPECT_TRUE(xlsx::xml_safe(part(path("formula.xlsx"), "xl/worksheets/sheet1.xml")));
  Model last;
  auto again = load_xlsx(last, path("formula.xlsx"));
  ASSERT_TRUE(again.ok()) << again.status().message();
  const SheetId u = last.book(again->book)->sheets.front();
  EXPECT_EQ(last.formula_text(u, 11, 1, Notation::A1), "=\"a\xEF\xBF\xBD\"");
  EXPECT_EQ(last.value(u, 11, 1), Value(std::string("a\x01")));
}

TEST_F(XlsxSafetyTest, NamesThatNeedQuotesSurviveASave) {
  const BookId book = model.add_book("names.xlsx");
  const SheetId data = *model.add_sheet(book, ".Data");
  const SheetId other = *model.add_sheet(book, "2024 prices");
  const SheetId r1c1 = *model.add_sheet(book, "R2C3");
  EXPECT_TRUE(model.set_value(data, 1, 1, Value(2.0)).ok());
  EXPECT_TRUE(model.set_value(r1c1, 1, 1, Value(5.0)).ok());
  ASSERT_TRUE(model.set_formula(other, 1, 1, "='.Data'!A1*2+'R2C3'!A1", Notation::A1).ok());
  ASSERT_TRUE(model.set_formula(other, 2, 1, "='2024.xla'!fsingle(\"X\")", Notation::A1).ok());
  XlsxFile file;
  ASSERT_TRUE(save(book, &file, path("names.xlsx")).ok());
  Model back;
  auto in = load_xlsx(back, path("names.xlsx"));
  ASSERT_TRUE(in.ok()) << in.status().message();
  const SheetId t = back.find_sheet(in->book, "2024 prices");
  EXPECT_EQ(back.formula_text(t, 1, 1, Notation::A1), "='.Data'!A1*2+'R2C3'!A1");
  EXPECT_EQ(back.formula_text(t, 2, 1, Notation::A1), "='2024.xla'!fsingle(\"X\")");
}

TEST_F(XlsxSafetyTest, SheetsSharingAPartBecomeOneAndTheSaveReopens) {
  std::string file = package("shared-part.xlsx",
                             {{"A", "<row r=\"1\"><c r=\"A1\"><v>1</v></c></row>"}, {"B", ""}});
  // Point B's relationship at A's part, as a damaged file may.
  xlsx::ZipEdit edit;
  std::string rels = part(file, "xl/_rels/workbook.xml.rels");
  rels.replace(rels.find("sheet2.xml"), 10, "sheet1.xml");
  edit.put["xl/_rels/workbook.xml.rels"] = rels;
  auto bytes = files->read_file(file, 1 << 30);
  ASSERT_TRUE(xlsx::write_zip_atomic(*files, &bytes.value(), edit, file).ok());

  auto in = load_xlsx(model, file);
  ASSERT_TRUE(in.ok()) << in.status().message();
  EXPECT_EQ(model.book(in->book)->sheets.size(), 1u);
  ASSERT_FALSE(in->warnings.empty());
  EXPECT_NE(in->warnings.front().find("same cells"), std::string::npos) << in->warnings.front();
  EXPECT_TRUE(model.rename_sheet(model.book(in->book)->sheets.front(), "B")
                  .ok());  // the left-out one's name
  ASSERT_TRUE(save(in->book, in->file.get(), path("one.xlsx")).ok());
  Model back;
  auto again = load_xlsx(back, path("one.xlsx"));
  ASSERT_TRUE(again.ok()) << again.status().message();
  EXPECT_TRUE(again->warnings.empty());
  ASSERT_EQ(back.book(again->book)->sheets.size(), 1u);
  EXPECT_EQ(back.sheet_name(back.book(again->book)->sheets.front()), "B");
  EXPECT_EQ(back.value(back.book(again->book)->sheets.front(), 1, 1), Value(1.0));
}

TEST_F(XlsxSafetyTest, LargeWorkbooksFailWithALimitAndSparseOnesStayCheap) {
  std::string row;
  for (int c = 1; c <= 20; ++c) {
    row += "<c r=\"" + column_letters(c) + "1\" t=\"inlineStr\"><is><t>" + std::string(100, 'x') +
           "</t></is></c>";
  }
  const std::string file = package("big.xlsx", {{"S", "<row r=\"1\">" + row + "</row>"}},
                                   "<si><t>a</t></si><si><t>b</t></si><si><t>c</t></si>");
  auto fails = [&](XlsxLimits limits, const std::string& expected) {
    XlsxLoadOptions options;
    options.limits = limits;
    auto r = load_xlsx(model, file, options);
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.status().message().find(expected), std::string::npos) << r.status().message();
    EXPECT_TRUE(model.books().empty());
  };
  fails(XlsxLimits{.max_cells = 19}, "more than 19 cells");
  fails(XlsxLimits{.max_strings = 2}, "more than 2 shared strings");
  fails(XlsxLimits{.max_text_bytes = 1000}, "of text");

  // One value in the last cell of the sheet: the save and the walks cost
  // what its two cells cost.
  auto in = load_xlsx(
      model,
      package("sparse.xlsx", {{"S",
                               "<row r=\"1\"><c r=\"A1\"><v>1</v></c></row>"
                               "<row r=\"1048576\"><c r=\"XFD1048576\"><v>2</v></c></row>"}}));
  ASSERT_TRUE(in.ok()) << in.status().message();
  // Not kept for the other readers: their comparison goes through a CSV
  // export of the whole used range, a million rows here.
  ASSERT_TRUE(save_xlsx(model, in->book, in->file.get(), path("sparse-out.xlsx")).ok());
  EXPECT_NE(part(path("sparse-out.xlsx"), "xl/worksheets/sheet1.xml").find("ref=\"A1:XFD1048576\""),
            std::string::npos);
  auto sheet = make_book(owner, in->book)->worksheet(1);
  ASSERT_TRUE(sheet.ok());
  std::vector<std::string> seen;
  ASSERT_TRUE((*sheet)
                  ->for_each_cell([&](const host::RangePtr& cell) {
                    seen.push_back(cell->address().value_or("?"));
                  })
                  .ok());
  EXPECT_EQ(seen, (std::vector<std::string>{"$A$1", "$XFD$1048576"}));
}

TEST_F(XlsxSafetyTest, DisorderedSheetsLoadWhatTheyHoldAndSaveInOrder) {
  const std::string ns(xlsx::kMainNs);
  // A dimension claiming the whole sheet over three cells, rows and cells
  // out of order, row 2 listed twice (its A2 given twice: the later wins),
  // and a shared formula whose master the part does not have: its cell
  // keeps the value (the save cannot point it to a master either).
  const std::string sheet_xml =
      "<worksheet xmlns=\"" + ns +
      "\"><dimension ref=\"A1:XFD1048576\"/><sheetData>"
      "<row r=\"3\"><c r=\"C3\"><v>3</v></c></row>"
      "<row r=\"2\"><c r=\"B2\"><v>2</v></c><c r=\"A2\"><v>5</v></c></row>"
      "<row r=\"2\" ht=\"20\" customHeight=\"1\"><c r=\"A2\"><v>7</v></c><c r=\"D2\"><f "
      "t=\"shared\" si=\"4\"/><v>9</v></c>"
      "</row></sheetData><pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" "
      "header=\"0.3\" footer=\"0.3\"/></worksheet>";
  auto in = load_xlsx(model, package("disordered.xlsx", {{"S", sheet_xml}}));
  ASSERT_TRUE(in.ok()) << in.status().message();
  SheetId s = model.find_sheet(in->book, "S");
  auto cells = [&] {
    std::vector<std::string> seen;
    model.for_each_cell(
        s, Box{1, 1, kMaxRows, kMaxCols}, [&](std::int32_t r, std::int32_t c, const Cell& cell) {
          seen.push_back(cell_a1(r, c) + "=" + text::format_number(cell.value.number()));
        });
    return seen;
  };
  const std::vector<std::string> expected{"A2=7", "B2=2", "C3=3", "D2=9"};
  EXPECT_EQ(cells(), expected);
  ASSERT_FALSE(in->warnings.empty());
  EXPECT_NE(in->warnings.front().find("no master"), std::string::npos) << in->warnings.front();

  ASSERT_TRUE(save(in->book, in->file.get(), path("ordered.xlsx")).ok());
  const std::string saved = part(path("ordered.xlsx"), "xl/worksheets/sheet1.xml");
  EXPECT_NE(saved.find("<dimension ref=\"A2:D3\""), std::string::npos) << saved;
  // Row 2 once, before row 3, with the height of its last listing; the
  // rest of the part as it was.
  EXPECT_NE(saved.find("<sheetData><row r=\"2\" ht=\"20\" customHeight=\"1\"><c r=\"A2\"><v>7</v>"),
            std::string::npos)
      << saved;
  EXPECT_EQ(saved.find("<row r=\"2\"", saved.find("<row r=\"3\"")), std::string::npos) << saved;
  EXPECT_NE(saved.find("<c r=\"D2\"><v>9</v></c>"), std::string::npos) << saved;
  EXPECT_NE(saved.find("</sheetData><pageMargins left=\"0.7\""), std::string::npos) << saved;
  ASSERT_TRUE(model.close_book(in->book).ok());
  auto again = load_xlsx(model, path("ordered.xlsx"));
  ASSERT_TRUE(again.ok()) << again.status().message();
  s = model.find_sheet(again->book, "S");
  EXPECT_EQ(cells(), expected);
}

TEST_F(XlsxSafetyTest, BadSheetPartsFailNamingThePart) {
  const std::string ns(xlsx::kMainNs);
  auto fails = [&](const std::string& name, const std::string& sheet, const std::string& expected) {
    auto r = load_xlsx(model, package(name, {{"S", sheet}}));
    ASSERT_FALSE(r.ok()) << name;
    EXPECT_NE(r.status().message().find(expected), std::string::npos) << r.status().message();
    EXPECT_TRUE(model.books().empty());
  };
  fails("cut.xlsx", "<row r=\"1\"><c r=\"A1\"><v>1</v></c>",
        "malformed XML in xl/worksheets/sheet1.xml");
  // Entities defined in the part could expand without bound.
  fails("doctype.xlsx",
        "<!DOCTYPE worksheet [<!ENTITY a \"aaaaaaaaaa\">]><worksheet xmlns=\"" + ns +
            "\"><sheetData><row r=\"1\"><c r=\"A1\" t=\"str\"><v>&a;</v></c></row></sheetData>"
            "</worksheet>",
        "document type declaration");
  fails("root.xlsx", "<worksheet-not xmlns=\"" + ns + "\"/>", "expected one <worksheet>");
  fails("cell.xlsx", "<row r=\"1\"><c r=\"A1\"><v>one</v></c></row>", "cell A1: bad number one");

  // A part in UTF-16 reads, but a save, which copies the part's bytes
  // around the new rows, refuses it rather than mix two encodings.
  std::string utf16 = "\xFF\xFE";
  for (const char c : "<worksheet xmlns=\"" + ns +
                          "\"><sheetData><row r=\"1\"><c r=\"A1\"><v>4</v></c></row></sheetData>"
                          "</worksheet>") {
    utf16 += c;
    utf16 += '\0';
  }
  const std::string file = package("utf16.xlsx", {{"S", ""}});
  xlsx::ZipEdit edit;
  edit.put["xl/worksheets/sheet1.xml"] = utf16;
  const std::string base = files->read_file(file, 1 << 20).value();
  ASSERT_TRUE(xlsx::write_zip_atomic(*files, &base, edit, file).ok());
  auto in = load_xlsx(model, file);
  ASSERT_TRUE(in.ok()) << in.status().message();
  EXPECT_EQ(model.value(model.find_sheet(in->book, "S"), 1, 1), Value(4.0));
  const Status saved = save_xlsx(model, in->book, in->file.get(), path("utf16-out.xlsx"));
  EXPECT_NE(saved.message().find("UTF-16"), std::string::npos) << saved.message();
  EXPECT_FALSE(fs::exists(path("utf16-out.xlsx")));
}

TEST_F(XlsxSafetyTest, StyledBlanksCostNoCellsAndKeepTheirStyles) {
  // A million filled blanks (as a sheet formatted to its last row holds)
  // around three values: the blanks are no cells of the model, so a limit
  // of ten cells lets the book load, and a save writes every blank again
  // with its style.
  constexpr int kRows = 1000, kCols = 1000;
  std::string data;
  data.reserve(std::size_t{kRows} * kCols * 10 + kRows * 16);
  for (int r = 1; r <= kRows; ++r) {
    data += "<row r=\"" + std::to_string(r) + "\">";
    for (int c = 1; c <= kCols; ++c) {
      data +=
          r == 500 && c <= 3 ? "<c s=\"1\"><v>" + std::to_string(c) + "</v></c>" : "<c s=\"1\"/>";
    }
    data += "</row>";
  }
  XlsxLoadOptions options;
  options.limits.max_cells = 10;
  auto in = load_xlsx(model, package("blanks.xlsx", {{"S", data}}), options);
  ASSERT_TRUE(in.ok()) << in.status().message();
  const SheetId s = model.find_sheet(in->book, "S");
  int cells = 0;
  model.for_each_cell(s, Box{1, 1, kMaxRows, kMaxCols},
                      [&](std::int32_t, std::int32_t, const Cell&) { ++cells; });
  EXPECT_EQ(cells, 3);
  ASSERT_TRUE(model.set_value(s, 2, 2, Value(8.0)).ok());

  ASSERT_TRUE(save_xlsx(model, in->book, in->file.get(), path("blanks-out.xlsx")).ok());
  const std::string saved = part(path("blanks-out.xlsx"), "xl/worksheets/sheet1.xml");
  std::size_t styled = 0;
  for (std::size_t at = saved.find(" s=\"1\""); at != std::string::npos;
       at = saved.find(" s=\"1\"", at + 1)) {
    ++styled;
  }
  EXPECT_EQ(styled, std::size_t{kRows} * kCols);
  EXPECT_NE(saved.find("<c r=\"B2\" s=\"1\"><v>8</v></c><c r=\"C2\" s=\"1\"></c>"),
            std::string::npos);
  EXPECT_NE(saved.find("<c r=\"C500\" s=\"1\"><v>3</v></c>"), std::string::npos);
  EXPECT_NE(saved.find("<dimension ref=\"A1:ALL1000\""), std::string::npos);
}

}  // namespace
}  // namespace quillo::spreadsheet
