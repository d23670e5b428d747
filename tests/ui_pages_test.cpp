// quillo ui end to end over its interface, as pages call it: a save never
// writes over what another program (or another quillo ui) saved to the file
// meanwhile unless the user chose to, and each page (tab) has its own cell
// cursor and dialogs, so an assistant finished in one tab writes at that
// tab's cursor.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>

#include "cli_workspace.h"
#include "spreadsheet/model.h"
#include "xlsx/xlsx.h"

extern char** environ;

namespace quillo {
namespace {

namespace fs = std::filesystem;

// A quillo ui process serving book, and calls of its interface as the page
// with a given id makes them.
class UiProcess {
 public:
  explicit UiProcess(const fs::path& book, const fs::path& errors) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<std::string> args = {QUILLO_BIN, "ui", book.string(), "--no-open"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(::posix_spawn(&m_pid, QUILLO_BIN, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    // The first line is the address: http://127.0.0.1:PORT/TOKEN/
    std::string line;
    pollfd p{fds[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&p, 1, 60000) > 0) {
      char chunk[256];
      const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
      if (n <= 0) break;
      line.append(chunk, static_cast<std::size_t>(n));
    }
    m_out = fds[0];  // kept open: what it prints later must not break its pipe
    const std::size_t at = line.find("127.0.0.1:");
    const std::size_t slash = line.find('/', at == std::string::npos ? line.size() : at);
    if (at != std::string::npos && slash != std::string::npos && line.size() >= slash + 65) {
      m_port = std::atoi(line.c_str() + at + 10);
      m_token = line.substr(slash + 1, 64);
    }
    EXPECT_GT(m_port, 0) << "no address in: " << line;
  }
  ~UiProcess() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) ::close(m_out);
  }

  struct Reply {
    int status = 0;
    std::string body;
  };
  // A call of the interface by page: name?query, with a body for a POST.
  Reply call(const std::string& page, const std::string& method, const std::string& name,
             const std::string& query = "", const std::string& body = "") {
    httplib::Client client("127.0.0.1", m_port);
    client.set_read_timeout(30, 0);
    const std::string path =
        "/" + m_token + "/api/" + name + "?client=" + page + (query.empty() ? "" : "&" + query);
    auto res = method == "POST" ? client.Post(path, body, "text/plain") : client.Get(path);
    if (!res) return {};
    return {res->status, res->body};
  }
  Reply get(const std::string& page, const std::string& name, const std::string& query = "") {
    return call(page, "GET", name, query);
  }
  Reply post(const std::string& page, const std::string& name, const std::string& query = "",
             const std::string& body = "") {
    return call(page, "POST", name, query, body);
  }
  // What get(page, name, query) answers once it contains what, polled for
  // up to a minute; the last answer otherwise.
  std::string wait_for(const std::string& page, const std::string& name, const std::string& query,
                       const std::string& what) {
    std::string last;
    for (int i = 0; i < 600; ++i) {
      last = get(page, name, query).body;
      if (last.find(what) != std::string::npos) return last;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return last;
  }

 private:
  pid_t m_pid = -1;
  int m_out = -1;
  int m_port = 0;
  std::string m_token;
};

class UiPagesTest : public testing_support::CliWorkspace {
 protected:
  void SetUp() override {
    CliWorkspace::SetUp();
    book = root / "book.xlsx";
    fs::copy_file(fs::path(QUILLO_DATA_DIR) / "demo.xlsx", book);
  }
  // The formula or constant of a cell of the file, as quillo show prints it.
  std::string on_disk(const std::string& address) { return cell(book, "Quotes!" + address); }
  fs::path book;
};

constexpr const char* kConflict = R"("conflict":true)";

TEST_F(UiPagesTest, SaveRefusesToWriteOverAnotherServersSaveUntilTheUserChooses) {
  UiProcess a(book, root / "a.err"), b(book, root / "b.err");
  ASSERT_EQ(a.post("pa", "edit", "sheet=0&row=60&col=1", "from a").status, 200);
  ASSERT_EQ(b.post("pb", "edit", "sheet=0&row=61&col=1", "from b").status, 200);
  ASSERT_EQ(a.post("pa", "save").status, 200);
  ASSERT_NE(on_disk("A60").find("from a"), std::string::npos);

  // b's save would drop a's saved cell: refused, the file keeps a's save.
  auto refused = b.post("pb", "save");
  EXPECT_EQ(refused.status, 409);
  EXPECT_NE(refused.body.find(kConflict), std::string::npos) << refused.body;
  EXPECT_NE(b.get("pb", "book").body.find(R"("changed_on_disk":true)"), std::string::npos);
  EXPECT_NE(on_disk("A60").find("from a"), std::string::npos);
  EXPECT_EQ(on_disk("A61").find("from b"), std::string::npos);

  // The user of b chose to overwrite.
  ASSERT_EQ(b.post("pb", "save", "overwrite=1").status, 200);
  EXPECT_NE(on_disk("A61").find("from b"), std::string::npos);
  EXPECT_NE(b.get("pb", "book").body.find(R"("changed_on_disk":false)"), std::string::npos);

  // a has an edit of its own again: its save is refused in turn; the user
  // of a reloads (losing that edit), and then saves what b saved.
  ASSERT_EQ(a.post("pa", "edit", "sheet=0&row=62&col=1", "lost edit").status, 200);
  EXPECT_EQ(a.post("pa", "save").status, 409);
  EXPECT_NE(on_disk("A61").find("from b"), std::string::npos);
  ASSERT_EQ(a.post("pa", "reload").status, 200);
  EXPECT_NE(a.get("pa", "cell", "sheet=0&row=61&col=1").body.find("from b"), std::string::npos);
  EXPECT_EQ(a.get("pa", "cell", "sheet=0&row=62&col=1").body, R"({"formula":""})");
  ASSERT_EQ(a.post("pa", "save").status, 200);
  EXPECT_NE(on_disk("A61").find("from b"), std::string::npos);
  EXPECT_EQ(on_disk("A62").find("lost edit"), std::string::npos);
}

TEST_F(UiPagesTest, AFileWrittenByAnotherProgramIsNoticedAndNotSavedOver) {
  UiProcess a(book, root / "a.err");
  ASSERT_EQ(a.post("pa", "edit", "sheet=0&row=60&col=1", "mine").status, 200);
  // Another program writes the file in place (the workbook as shipped).
  {
    std::ifstream in(fs::path(QUILLO_DATA_DIR) / "demo.xlsx", std::ios::binary);
    std::ofstream out(book, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
  }
  const std::string before = testing_support::read_all(book);
  // The page is told without saving.
  EXPECT_NE(
      a.wait_for("pa", "book", "", R"("changed_on_disk":true)").find(R"("changed_on_disk":true)"),
      std::string::npos);
  EXPECT_EQ(a.post("pa", "save").status, 409);
  EXPECT_TRUE(testing_support::read_all(book) == before) << "the file was saved over";
}

// A workbook of one sheet whose A1 holds text, as another program saves it:
// written beside path and renamed over it.
void save_plain(const fs::path& path, const std::string& text) {
  spreadsheet::Model model;
  const spreadsheet::BookId id = model.add_book("plain");
  auto sheet = model.add_sheet(id, "Sheet1");
  ASSERT_TRUE(sheet.ok());
  ASSERT_TRUE(model.set_value(*sheet, 1, 1, Value(text)).ok());
  const fs::path beside = path.string() + ".new.xlsx";
  ASSERT_TRUE(spreadsheet::save_xlsx(model, id, nullptr, beside.string()).ok());
  fs::rename(beside, path);
}

TEST_F(UiPagesTest, WithNothingUnsavedAChangedFileIsTakenIn) {
  save_plain(book, "first");
  UiProcess a(book, root / "a.err");
  ASSERT_NE(a.get("pa", "cell", "sheet=0&row=1&col=1").body.find("first"), std::string::npos);
  save_plain(book, "second");
  EXPECT_NE(a.wait_for("pa", "cell", "sheet=0&row=1&col=1", "second").find("second"),
            std::string::npos);
  EXPECT_NE(a.get("pa", "book").body.find(R"("changed_on_disk":false)"), std::string::npos);
  EXPECT_EQ(a.post("pa", "save").status, 200);
}

// A workbook of 100,000 texts: writing it takes far longer than a rename.
void save_big(const fs::path& path) {
  spreadsheet::Model model;
  const spreadsheet::BookId id = model.add_book("big");
  auto sheet = model.add_sheet(id, "Sheet1");
  ASSERT_TRUE(sheet.ok());
  for (std::int32_t r = 1; r <= 100000; ++r) {
    ASSERT_TRUE(model.set_value(*sheet, r, 1, Value("row " + std::to_string(r))).ok());
  }
  ASSERT_TRUE(spreadsheet::save_xlsx(model, id, nullptr, path.string()).ok());
}

// Another program puts its file in place while Save is writing: the moment
// quillo's temporary file appears beside the book, a watcher renames the
// other program's file over it. Save answers a conflict and leaves it.
TEST_F(UiPagesTest, AFilePutInPlaceWhileSaveWritesIsNotSavedOver) {
  save_big(book);
  fs::create_directory(root / "theirs");
  const fs::path theirs = root / "theirs" / "book.xlsx";
  save_plain(theirs, "theirs");
  const std::string their_bytes = testing_support::read_all(theirs);
  UiProcess a(book, root / "a.err");
  ASSERT_EQ(a.post("pa", "edit", "sheet=0&row=2&col=2", "mine").status, 200);

  const auto entries = [&] {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(root)) names.insert(entry.path().string());
    return names;
  };
  const std::set<std::string> before = entries();
  const int watch = ::inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, root.c_str(), IN_CREATE), 0);
  std::thread other([&] {
    pollfd p{watch, POLLIN, 0};
    if (::poll(&p, 1, 60000) > 0) fs::rename(theirs, book);
  });
  const auto refused = a.post("pa", "save");
  other.join();
  ::close(watch);
  EXPECT_EQ(refused.status, 409) << refused.body;
  EXPECT_NE(refused.body.find(kConflict), std::string::npos);
  EXPECT_TRUE(testing_support::read_all(book) == their_bytes) << "their file was saved over";
  EXPECT_EQ(entries(), before) << "a temporary file was left behind";
  // Another save after the one the page was told of: Overwrite asks again,
  // and then writes the edit over the file seen.
  save_plain(book, "later");
  EXPECT_EQ(a.post("pa", "save", "overwrite=1").status, 409);
  EXPECT_NE(cell(book, "Sheet1!A1").find("later"), std::string::npos);
  EXPECT_EQ(a.post("pa", "save", "overwrite=1").status, 200);
  EXPECT_NE(cell(book, "Sheet1!B2").find("mine"), std::string::npos);
}

// Two quillo ui save one file at the same moment: they save one after the
// other, and the second finds the first's file there and answers a conflict.
TEST_F(UiPagesTest, TwoServersSavingAtOnceDoNotSaveOverEachOther) {
  save_big(book);
  UiProcess a(book, root / "a.err"), b(book, root / "b.err");
  ASSERT_EQ(a.post("pa", "edit", "sheet=0&row=2&col=2", "from a").status, 200);
  ASSERT_EQ(b.post("pb", "edit", "sheet=0&row=3&col=2", "from b").status, 200);
  int a_status = 0;
  std::thread other([&] { a_status = a.post("pa", "save").status; });
  const int b_status = b.post("pb", "save").status;
  other.join();
  ASSERT_EQ(std::set<int>({a_status, b_status}), std::set<int>({200, 409}));
  const std::string on_file = cell(book, "Sheet1!B2") + cell(book, "Sheet1!B3");
  EXPECT_EQ(on_file.find(a_status == 200 ? "from b" : "from a"), std::string::npos) << on_file;
  EXPECT_NE(on_file.find(a_status == 200 ? "from a" : "from b"), std::string::npos) << on_file;
}

// The search dialog's answer for an instrument name, with its rows.
std::string search_rows(UiProcess& ui, const std::string& page) {
  return ui.wait_for(page, "dialogs", "", R"("NOB")");
}

TEST_F(UiPagesTest, EachPageHasItsOwnCursorAndDialogs) {
  UiProcess ui(book, root / "ui.err");
  // Page 1 moves its cursor to J40 and opens the symbol search.
  ASSERT_EQ(ui.post("p1", "select", "sheet=0&row=40&col=10").status, 200);
  const std::string menu = ui.get("p1", "menu").body;
  const std::size_t caption = menu.find(R"(","caption":"Search)");
  const std::size_t path_at = menu.rfind(R"("path":")", caption);
  ASSERT_TRUE(caption != std::string::npos && path_at != std::string::npos) << menu;
  const std::string search = menu.substr(path_at + 8, caption - path_at - 8);
  ASSERT_EQ(ui.post("p1", "menu", "path=" + search).status, 200);
  // A second tab opens meanwhile: its cursor is at A1, and it neither sees
  // the dialog nor may act on it.
  ASSERT_EQ(ui.post("p2", "select", "sheet=0&row=1&col=1").status, 200);
  const std::string a1 = ui.get("p2", "cell", "sheet=0&row=1&col=1").body;
  const std::string seen_by_2 = ui.get("p2", "dialogs").body;
  EXPECT_NE(seen_by_2.find(R"("dialogs":[],)"), std::string::npos) << seen_by_2;
  EXPECT_NE(seen_by_2.find(R"("elsewhere":true)"), std::string::npos) << seen_by_2;
  EXPECT_NE(ui.get("p1", "dialogs").body.find("form_search1"), std::string::npos);
  EXPECT_EQ(
      ui.post("p2", "dialog", "dialog=form_search1&control=CommandButton3&action=click").status,
      409);
  EXPECT_EQ(ui.post("p2", "menu", "path=" + search).status, 409);

  // Page 1 searches, takes the first hit and inserts it: at its own cursor.
  ASSERT_EQ(
      ui.post("p1", "dialog", "dialog=form_search1&control=instrument_name&action=type", "Valvik")
          .status,
      200);
  ASSERT_EQ(
      ui.post("p1", "dialog", "dialog=form_search1&control=CommandButton1&action=click").status,
      200);
  ASSERT_NE(search_rows(ui, "p1").find("NOB"), std::string::npos);
  for (const char* q : {"control=resultlist&action=choose", "control=CommandButton4&action=click",
                        "control=CommandButton3&action=click"}) {
    ASSERT_EQ(ui.post("p1", "dialog", std::string("dialog=form_search1&") + q, "0").status, 200)
        << q;
  }
  EXPECT_NE(ui.get("p1", "cell", "sheet=0&row=40&col=10").body.find("NOB"), std::string::npos);
  EXPECT_EQ(ui.get("p2", "cell", "sheet=0&row=1&col=1").body, a1);
  // The dialog closed: either page may open one now.
  EXPECT_EQ(ui.get("p2", "dialogs").body.find(R"("elsewhere":true)"), std::string::npos);
}

// The provenance record the page is given for a cell ("row":R,"col":C),
// as its JSON text; empty when there is none.
std::string record_of(const std::string& provenance, int row, int col) {
  const std::string key =
      "\"row\":" + std::to_string(row) + ",\"col\":" + std::to_string(col) + ",";
  const std::size_t at = provenance.find(key);
  if (at == std::string::npos) return {};
  return provenance.substr(at, provenance.find('}', at) - at);
}

// Formulas another program swapped between two cells while nothing was
// unsaved here: once taken in, each cell is explained by the request it
// makes now, not by the one its old formula made.
TEST_F(UiPagesTest, FormulasSwappedByAnotherProgramAreExplainedByWhatTheyAskNow) {
  fs::remove(book);
  fs::copy_file(fs::path(QUILLO_TESTDATA) / "xlsx" / "quillo_formulas.xlsx", book);
  UiProcess ui(book, root / "ui.err");
  // Prices!B2 asks for BVM, B3 for NOB; both are answered.
  const std::string before = ui.wait_for("p", "provenance", "", "NOB");
  ASSERT_NE(record_of(before, 3, 2).find("NOB"), std::string::npos) << before;
  const fs::path edited = root / "edited.xlsx";
  const std::string swap =
      "/usr/bin/python3 -c \"import openpyxl,sys; "
      "wb=openpyxl.load_workbook(sys.argv[1]); ws=wb['Prices']; "
      "ws['B2'].value, ws['B3'].value = ws['B3'].value, ws['B2'].value; "
      "wb.save(sys.argv[2])\" " +
      book.string() + " " + edited.string();
  ASSERT_EQ(std::system(swap.c_str()), 0);
  fs::rename(edited, book);
  ASSERT_NE(ui.wait_for("p", "cell", "sheet=0&row=3&col=2", "$A2").find("$A2"), std::string::npos);
  const std::string after = ui.get("p", "provenance").body;
  const std::string b2 = record_of(after, 2, 2), b3 = record_of(after, 3, 2);
  EXPECT_NE(b2.find("\"instrument\":\"NOB\""), std::string::npos) << after;
  EXPECT_EQ(b2.find("BVM"), std::string::npos) << after;
  EXPECT_NE(b3.find("\"instrument\":\"BVM\""), std::string::npos) << after;
  EXPECT_EQ(b3.find("NOB"), std::string::npos) << after;
}

}  // namespace
}  // namespace quillo
