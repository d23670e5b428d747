// quillo refresh and quillo watch end to end: a workbook written by
// openpyxl is filled from the local market-data service through the add-in
// as the host loads it, and saved; watch keeps the file updated and valid
// when it is killed between saves.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "addin/cls_accmanager.h"
#include "cli/disk_changes.h"
#include "cli/explain_command.h"
#include "cli/refresh_command.h"
#include "cli/settings_command.h"
#include "cli/show_command.h"
#include "cli_workspace.h"
#include "common/text.h"
#include "spreadsheet/application.h"
#include "xlsx/workbook_files.h"
#include "xlsx/xlsx.h"

extern char** environ;

namespace quillo {
namespace {

namespace fs = std::filesystem;

using testing_support::read_all;

class FillTest : public testing_support::CliWorkspace {
 protected:
  void SetUp() override {
    CliWorkspace::SetUp();
    if (HasFatalFailure()) return;
    book = root / "prices.xlsx";
    fs::copy_file(fs::path(QUILLO_TESTDATA) / "xlsx" / "quillo_formulas.xlsx", book);
  }

  // Rewrites the install folder's definitions: from replaced by to.
  void edit_definitions(const std::string& from, const std::string& to) {
    std::string ds = read_all(root / "install" / "ds.xml");
    text::replace_all(ds, from, to);
    std::ofstream(root / "install" / "ds.xml", std::ios::binary | std::ios::trunc) << ds;
  }
  std::string quote_url() const {
    return "http://127.0.0.1:" + std::to_string(market.port()) + "/quote</url>";
  }
  // A refresh of book into out; the exit code, output in out_text.
  int refresh(const fs::path& from, const fs::path& to, double timeout, bool strict,
              std::string* out_text = nullptr) {
    cli::RefreshOptions o;
    o.book = from.string();
    o.output = to == from ? std::string() : to.string();
    o.timeout_seconds = timeout;
    o.strict = strict;
    std::ostringstream out, err;
    const int code = cli::run_refresh(o, out, err);
    if (out_text) *out_text = out.str() + err.str();
    return code;
  }

  fs::path book;
};

TEST_F(FillTest, RefreshFillsTheAddinsFormulasAndLeavesTheRestAlone) {
  cli::RefreshOptions o;
  o.book = book.string();
  o.output = (root / "out.xlsx").string();
  o.timeout_seconds = 60;
  std::ostringstream out, err;
  ASSERT_EQ(cli::run_refresh(o, out, err), 0) << err.str();
  EXPECT_NE(out.str().find("10 cells with quillo formulas, 8 filled, 1 invalid field, 1 invalid "
                           "instrument"),
            std::string::npos)
      << out.str();
  const fs::path saved = root / "out.xlsx";
  const double last = std::stod(value(saved, "Prices!B2"));
  EXPECT_GT(last, 0);
  EXPECT_EQ(std::stod(value(saved, "Prices!E2")), last * 2);
  // The call through the old library folder was repaired and answered.
  EXPECT_NE(cell(saved, "Prices!C2").find("\t=fsingle($A2,\"LMS.QUO.NAME\")\t"), std::string::npos);
  EXPECT_FALSE(value(saved, "Prices!C2").empty());
  EXPECT_EQ(value(saved, "Prices!B7"), "Invalid instrument id");
  EXPECT_EQ(value(saved, "Prices!B8"), "Invalid fieldname!");
  EXPECT_EQ(value(saved, "Prices!D3"), "kept 3");
  EXPECT_EQ(value(saved, "Prices!B9"), "42.5");
  EXPECT_EQ(value(saved, "Notes!B2"), "3");
  // The source file is as it was; openpyxl reads the result with its
  // styles and defined name.
  EXPECT_EQ(read_all(book), read_all(fs::path(QUILLO_TESTDATA) / "xlsx" / "quillo_formulas.xlsx"));
  const std::string check =
      "/usr/bin/python3 -c \"import openpyxl,sys; wb=openpyxl.load_workbook(sys.argv[1]); "
      "ws=wb['Prices']; assert ws['A1'].font.b and ws['B2'].number_format=='0.00'; "
      "assert 'Symbols' in [d.name for d in wb.defined_names.definedName]\" " +
      saved.string();
  EXPECT_EQ(std::system(check.c_str()), 0);

  // --strict: the two failing cells make it exit 1, after saving.
  o.strict = true;
  o.output.clear();
  std::ostringstream out2, err2;
  EXPECT_EQ(cli::run_refresh(o, out2, err2), 1) << err2.str();
  EXPECT_FALSE(value(book, "Prices!B2").empty());
}

// Calls of a copy of the function library in another folder are pointed
// at the installed one when the workbook opens and computed: loading them
// warns of nothing. Formulas quillo cannot compute (a function through
// another library, one nothing declares) are still warned of, and keep
// the file's value.
TEST_F(FillTest, OnlyFormulasQuilloCannotComputeAreWarnedOfAsKeepingTheFilesValue) {
  const std::string edit =
      "/usr/bin/python3 -c \"import openpyxl,sys; wb=openpyxl.load_workbook(sys.argv[1]); "
      "ws=wb['Notes']; "
      "ws['C2']='=\\'/elsewhere/other.xla\\'!fsingle(\\\"BVM\\\",\\\"LMS.QUO.LAST\\\")'; "
      "ws['C3']='=NOSUCHFUNCTION(1)'; wb.save(sys.argv[1])\" " +
      book.string();
  ASSERT_EQ(std::system(edit.c_str()), 0);
  const fs::path saved = root / "out.xlsx";
  std::string text;
  ASSERT_EQ(refresh(book, saved, 60, false, &text), 0) << text;
  EXPECT_EQ(text.find("Prices!C"), std::string::npos) << text;
  EXPECT_NE(text.find("Notes!C2: the formula calls"), std::string::npos) << text;
  EXPECT_NE(text.find("Notes!C3: the formula calls"), std::string::npos) << text;
  EXPECT_NE(text.find("keeping its value from the file"), std::string::npos) << text;
  EXPECT_FALSE(value(saved, "Prices!C2").empty());
}

TEST_F(FillTest, RefreshWritesHistoryTablesAndIndicatorsOverThemInOneRun) {
  // A workbook written by openpyxl: half a year of daily prices (the
  // service answers 130 days, so the table with its header fills A2:F132)
  // and a moving average beside it.
  const fs::path history_book = root / "history.xlsx";
  const std::string make =
      "/usr/bin/python3 -c \"import openpyxl,sys; wb=openpyxl.Workbook(); ws=wb.active; "
      "ws.title='H'; ws['A1']='=fhistory(\\\"BVM\\\",\\\"Yahoo\\\",\\\"DATE,CLOSE,VOLUME,OPEN,HIGH,"
      "LOW\\\",DATE(2024,1,1),DATE(2024,6,30),\\\"d\\\",{\\\"SORT\\\",\\\"ASC\\\"})'; "
      "ws['H2']='=sma(A2:F132,5)'; ws['J1']='=fhistory(\\\"QQQQ\\\",\\\"Yahoo\\\",\\\"ALL\\\","
      "DATE(2024,1,1),DATE(2024,6,30))'; wb.save(sys.argv[1])\" " +
      history_book.string();
  ASSERT_EQ(std::system(make.c_str()), 0);
  ASSERT_EQ(settings("history_service", market.base_url()), 0);
  cli::RefreshOptions o;
  o.book = history_book.string();
  o.timeout_seconds = 60;
  std::ostringstream out, err;
  ASSERT_EQ(cli::run_refresh(o, out, err), 0) << err.str();
  EXPECT_NE(out.str().find("3 cells with quillo formulas, 2 filled (1 history table, 1 indicator "
                           "series), 1 invalid instrument"),
            std::string::npos)
      << out.str();
  EXPECT_EQ(value(history_book, "H!A1"), "Data loaded.");
  EXPECT_EQ(value(history_book, "H!B2"), "Close");
  EXPECT_EQ(value(history_book, "H!H2"), "SMA,5");
  const double close = std::stod(value(history_book, "H!B132"));
  EXPECT_GT(close, 0);
  EXPECT_GT(std::stod(value(history_book, "H!H132")), 0);
  EXPECT_EQ(value(history_book, "H!H6"), "");  // the first four periods have no average
  EXPECT_EQ(value(history_book, "H!J1"), "Invalid instrument id");
  const std::string check =
      "/usr/bin/python3 -c \"import openpyxl,sys; ws=openpyxl.load_workbook(sys.argv[1])['H']; "
      "assert ws['A3'].is_date and ws['B132'].value > 0 and ws['H132'].value > 0\" " +
      history_book.string();
  EXPECT_EQ(std::system(check.c_str()), 0);

  // Without a service address the formula says how to set one.
  ASSERT_EQ(settings("history_service", ""), 0);
  std::ostringstream out2, err2;
  ASSERT_EQ(cli::run_refresh(o, out2, err2), 0) << err2.str();
  EXPECT_NE(value(history_book, "H!A1").find("quillo settings set history_service URL"),
            std::string::npos);
}

TEST_F(FillTest, ChainedIndicatorsFillInOneRunAndOnlyValuesCountAsFilled) {
  // A price table (header in row 2, prices in 3..132), its 5-period
  // average in H3:H132 (numbers from H7), and a 2-period average of that
  // average; beside them formulas that show no value: a link that is not
  // stored, an average without a number of periods, and a cell reading
  // itself.
  const fs::path chained = root / "chained.xlsx";
  const std::string make =
      "/usr/bin/python3 -c \"import openpyxl,sys; wb=openpyxl.Workbook(); ws=wb.active; "
      "ws.title='H'; ws['A1']='=fhistory(\\\"BVM\\\",\\\"Yahoo\\\",\\\"DATE,CLOSE,VOLUME,OPEN,HIGH,"
      "LOW\\\",DATE(2024,1,1),DATE(2024,6,30),\\\"d\\\",{\\\"SORT\\\",\\\"ASC\\\"})'; "
      "ws['H2']='=sma(A2:F132,5)'; ws['K6']='=sma(G7:H132,2)'; ws['M1']='=wlink(\\\"nosuch\\\")'; "
      "ws['M2']='=sma(A2:F132,\\\"x\\\")'; ws['M3']='=M3+1'; wb.save(sys.argv[1])\" " +
      chained.string();
  ASSERT_EQ(std::system(make.c_str()), 0);
  ASSERT_EQ(settings("history_service", market.base_url()), 0);
  std::string text;
  ASSERT_EQ(refresh(chained, chained, 60, false, &text), 0) << text;
  EXPECT_NE(text.find("5 cells with quillo formulas, 3 filled (1 history table, 2 indicator "
                      "series), 1 empty, 1 link not found"),
            std::string::npos)
      << text;
  EXPECT_EQ(value(chained, "H!K6"), "SMA,2");
  EXPECT_EQ(value(chained, "H!K7"), "");
  for (int row : {8, 60, 132}) {
    const double first = std::stod(value(chained, "H!H" + std::to_string(row - 1)));
    const double second = std::stod(value(chained, "H!H" + std::to_string(row)));
    EXPECT_NEAR(std::stod(value(chained, "H!K" + std::to_string(row))), (first + second) / 2,
                1e-9 * second)
        << row;
  }
  // The cell reading itself shows an error and is named.
  EXPECT_EQ(value(chained, "H!M3"), "#REF!");
  EXPECT_NE(text.find("H!M3: circular reference"), std::string::npos) << text;
  EXPECT_EQ(refresh(chained, chained, 60, true), 1);
}

TEST_F(FillTest, AHistoryThatDoesNotAnswerInTimeKeepsTheFilesStatus) {
  const fs::path history_book = root / "history.xlsx";
  const std::string make =
      "/usr/bin/python3 -c \"import openpyxl,sys; wb=openpyxl.Workbook(); ws=wb.active; "
      "ws.title='H'; ws['A1']='=fhistory(\\\"BVM\\\",\\\"Yahoo\\\",\\\"DATE,CLOSE,VOLUME,OPEN,HIGH,"
      "LOW\\\",DATE(2024,1,1),DATE(2024,6,30),\\\"d\\\",{\\\"SORT\\\",\\\"ASC\\\"})'; "
      "ws['H2']='=sma(A2:F132,5)'; wb.save(sys.argv[1])\" " +
      history_book.string();
  ASSERT_EQ(std::system(make.c_str()), 0);
  ASSERT_EQ(settings("history_service", market.base_url()), 0);
  ASSERT_EQ(refresh(history_book, history_book, 60, false), 0);
  ASSERT_EQ(value(history_book, "H!A1"), "Data loaded.");
  const std::string close = value(history_book, "H!B132");
  // The service can no longer be reached (a connect that neither succeeds
  // nor fails): the run ends at its time-out with the table on its way.
  ASSERT_EQ(
      settings("history_service", "http://127.0.0.1:" + std::to_string(market.blackhole_port())),
      0);
  std::string text;
  EXPECT_EQ(refresh(history_book, history_book, 1.5, false, &text), 0) << text;
  EXPECT_EQ(value(history_book, "H!A1"), "Data loaded.");
  EXPECT_EQ(value(history_book, "H!B132"), close);
  EXPECT_EQ(value(history_book, "H!H2"), "SMA,5");
  EXPECT_NE(text.find("1 not answered; the file's value kept in 1 of them"), std::string::npos)
      << text;
  EXPECT_EQ(refresh(history_book, history_book, 1.5, true, &text), 1) << text;
  EXPECT_EQ(value(history_book, "H!A1"), "Data loaded.");
}

TEST_F(FillTest, ASecondRefreshWithAShorterAnswerLeavesNoOldRowsAndBlockedTablesFail) {
  // Half a year of prices with an SMA beside them, and a second table whose
  // place holds a user's =1+1.
  const fs::path history_book = root / "history.xlsx";
  const std::string make =
      "/usr/bin/python3 -c \"import openpyxl,sys; wb=openpyxl.Workbook(); ws=wb.active; "
      "ws.title='H'; ws['A1']='=fhistory(\\\"BVM\\\",\\\"Yahoo\\\",\\\"DATE,CLOSE\\\","
      "DATE(2024,1,1),DATE(2024,6,30),\\\"d\\\",{\\\"SORT\\\",\\\"ASC\\\"})'; "
      "ws['D2']='=sma(A2:B132,5)'; ws['J1']='=fhistory(\\\"BVM\\\",\\\"Yahoo\\\",\\\"ALL\\\","
      "DATE(2024,1,1),DATE(2024,1,31))'; ws['J5']='=1+1'; ws['A200']='mine'; "
      "wb.save(sys.argv[1])\" " +
      history_book.string();
  ASSERT_EQ(std::system(make.c_str()), 0);
  ASSERT_EQ(settings("history_service", market.base_url()), 0);
  std::string out;
  EXPECT_EQ(refresh(history_book, history_book, 60, true, &out), 1) << out;
  EXPECT_NE(out.find("1 blocked by a formula"), std::string::npos) << out;
  EXPECT_EQ(value(history_book, "H!J1"), "Blocked: the formula in J5 is in the way");
  EXPECT_EQ(value(history_book, "H!J2"), "");
  EXPECT_EQ(value(history_book, "H!J5"), "2");
  EXPECT_GT(std::stod(value(history_book, "H!B132")), 0);
  EXPECT_GT(std::stod(value(history_book, "H!D132")), 0);

  // The user shortens the period to January and removes the =1+1, in
  // another program; a new refresh clears what the first one wrote.
  const std::string edit =
      "/usr/bin/python3 -c \"import openpyxl,sys; wb=openpyxl.load_workbook(sys.argv[1]); "
      "ws=wb['H']; ws['A1']=ws['A1'].value.replace('DATE(2024,6,30)','DATE(2024,1,31)'); "
      "ws['D2']='=sma(A2:B20,5)'; ws['J5']=None; wb.save(sys.argv[1])\" " +
      history_book.string();
  ASSERT_EQ(std::system(edit.c_str()), 0);
  EXPECT_EQ(refresh(history_book, history_book, 60, true, &out), 0) << out;
  EXPECT_EQ(value(history_book, "H!A1"), "Data loaded.");
  EXPECT_GT(std::stod(value(history_book, "H!B20")), 0);
  EXPECT_EQ(value(history_book, "H!B40"), "");
  EXPECT_EQ(value(history_book, "H!B132"), "");
  EXPECT_EQ(value(history_book, "H!D40"), "");
  EXPECT_EQ(value(history_book, "H!D132"), "");
  EXPECT_EQ(value(history_book, "H!J2"), "Date");
  EXPECT_EQ(value(history_book, "H!A200"), "mine");
  const std::string check =
      "/usr/bin/python3 -c \"import openpyxl,sys; wb=openpyxl.load_workbook(sys.argv[1]); "
      "assert wb['quillo_blocks'].sheet_state=='veryHidden' and wb.active.title=='H'; "
      "ws=wb['H']; assert ws['B40'].value is None and ws['A200'].value=='mine'\" " +
      history_book.string();
  EXPECT_EQ(std::system(check.c_str()), 0);
}

// testdata/blocks/earlier_refresh.xlsx: the blocks an earlier session wrote
// (sixty rows of a table, sixty of a series) are recorded in the workbook;
// this refresh's shorter ones leave none of their rows behind.
TEST_F(FillTest, ARefreshClearsTheBlocksTheWorkbookRecords) {
  const fs::path earlier = root / "earlier.xlsx";
  fs::copy_file(fs::path(QUILLO_TESTDATA) / "blocks" / "earlier_refresh.xlsx", earlier);
  ASSERT_EQ(settings("history_service", market.base_url()), 0);
  std::string out;
  EXPECT_EQ(refresh(earlier, earlier, 60, false, &out), 0) << out;
  EXPECT_NE(out.find("1 blocked by a formula"), std::string::npos) << out;
  EXPECT_EQ(value(earlier, "H!A1"), "Data loaded.");
  EXPECT_GT(std::stod(value(earlier, "H!B20")), 0);
  EXPECT_EQ(value(earlier, "H!A40"), "");
  EXPECT_EQ(value(earlier, "H!B62"), "");
  EXPECT_EQ(value(earlier, "H!D1"), "SMA,2");
  EXPECT_GT(std::stod(value(earlier, "H!D11")), 0);
  EXPECT_EQ(value(earlier, "H!D12"), "");
  EXPECT_EQ(value(earlier, "H!D61"), "");
  EXPECT_EQ(value(earlier, "H!F1"), "Blocked: the formula in F3 is in the way");
  EXPECT_EQ(value(earlier, "H!F2"), "");
  EXPECT_EQ(value(earlier, "H!F3"), "2");
  EXPECT_EQ(value(earlier, "H!A100"), "user data");
  EXPECT_EQ(value(earlier, "H!D100"), "keep me");
}

TEST_F(FillTest, BadInputIsRefusedWithoutLeavingFiles) {
  std::ostringstream out, err;
  cli::RefreshOptions o;
  o.book = (root / "missing.xlsx").string();
  EXPECT_EQ(cli::run_refresh(o, out, err), 2);
  std::ofstream(root / "text.xlsx") << "not a workbook";
  o.book = (root / "text.xlsx").string();
  o.output = (root / "never.xlsx").string();
  EXPECT_EQ(cli::run_refresh(o, out, err), 2);
  EXPECT_FALSE(fs::exists(root / "never.xlsx"));
  EXPECT_NE(err.str().find("missing.xlsx"), std::string::npos) << err.str();

  EXPECT_EQ(settings("trading_updatefrq", "7"), 2);
  EXPECT_EQ(settings("no_such_setting", "1"), 2);
  EXPECT_EQ(settings("receive_timeout", "soon"), 2);
  EXPECT_EQ(settings("receive_timeout", "12.7"), 0);
  EXPECT_EQ(settings("trading_updatemode", "Manual"), 0);
  addin::modRegistry reg(addin::RegistryLocation::from_environment(), {});
  addin::cls_accmanager store(reg);
  addin::Configuration c;
  addin::config_load(store, c);
  EXPECT_EQ(c.receive_timeout, 13);
  EXPECT_EQ(c.trading_updatemode, 2);
  EXPECT_EQ(c.trading_updatefrq, 1);
}

// A quillo watch process, its standard output read line by line.
class WatchProcess {
 public:
  // Standard error joins standard output.
  explicit WatchProcess(const fs::path& book, std::vector<std::string> extra = {}) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<std::string> args = {QUILLO_BIN, "watch", book.string(), "--minute", "0.5"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(::posix_spawn(&m_pid, QUILLO_BIN, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    m_out = fds[0];
  }
  ~WatchProcess() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
    ::close(m_out);
  }
  // The next line, or "" after timeout_ms or at the end of the output.
  std::string next_line(int timeout_ms = 30000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
      const std::size_t nl = m_buffer.find('\n');
      if (nl != std::string::npos) {
        std::string line = m_buffer.substr(0, nl);
        m_buffer.erase(0, nl + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return {};
      pollfd p{m_out, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) return {};
      char chunk[512];
      const ssize_t n = ::read(m_out, chunk, sizeof chunk);
      if (n <= 0) return {};
      m_buffer.append(chunk, static_cast<std::size_t>(n));
    }
  }
  // The next line containing what (lines before it are skipped and kept in
  // seen), or "" after timeout_ms.
  std::string line_with(const std::string& what, int timeout_ms = 30000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
      std::string line = next_line(static_cast<int>(std::max<std::int64_t>(left, 1)));
      if (line.empty() && m_pid < 0) return {};
      seen += line + "\n";
      if (line.find(what) != std::string::npos) return line;
    }
    return {};
  }
  std::string seen;

  // Sends the signal and answers the exit status; a child that does not end
  // within 30 s is killed, so the test cannot hang.
  int stop(int signal) {
    ::kill(m_pid, signal);
    int status = 0;
    for (int i = 0; i < 300; ++i) {
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        return status;
      }
      ::usleep(100000);
    }
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    ADD_FAILURE() << "quillo watch did not stop on signal " << signal;
    return status;
  }

 private:
  pid_t m_pid = -1;
  int m_out = -1;
  std::string m_buffer;
};

TEST_F(FillTest, WatchKeepsTheFileUpdatedAndValid) {
  std::int64_t clock = 1'800'000'000'000;
  market.set_time(clock);
  {
    WatchProcess watch(book);
    ASSERT_NE(watch.line_with("updated: saved"), "") << watch.seen;
    const std::string first = value(book, "Prices!B2");
    ASSERT_GT(std::stod(first), 0);
    // Prices move; an update round saves the new ones.
    clock += 86'400'000;
    market.set_time(clock);
    std::string now = first;
    for (int i = 0; i < 300 && now == first; ++i) {
      ::usleep(100000);
      now = value(book, "Prices!B2");
    }
    EXPECT_NE(now, first);
    // Killed outright: the file is still a whole workbook.
    const int status = watch.stop(SIGKILL);
    EXPECT_TRUE(WIFSIGNALED(status));
    spreadsheet::Model model;
    EXPECT_TRUE(spreadsheet::load_xlsx(model, book.string()).ok());
  }
  {
    WatchProcess watch(book);
    ASSERT_NE(watch.line_with("updated: saved"), "") << watch.seen;
    const int status = watch.stop(SIGTERM);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(value(book, "Prices!C3"), "");
  }
}

TEST_F(FillTest, WatchTakesInEditsSavedByAnotherProgram) {
  std::int64_t clock = 1'800'000'000'000;
  market.set_time(clock);
  const fs::path edited = root / "edited.xlsx";
  auto python = [&](const std::string& code) {
    const std::string cmd =
        "/usr/bin/python3 -c \"import openpyxl,sys; "
        "wb=openpyxl.load_workbook(sys.argv[1]); " +
        code + "\" " + book.string() + " " + edited.string();
    return std::system(cmd.c_str());
  };
  ASSERT_EQ(python("wb.create_sheet('Extra')['A1']='scratch'; wb.save(sys.argv[1])"), 0);
  WatchProcess watch(book);
  ASSERT_NE(watch.line_with("updated: saved"), "") << watch.seen;
  // Another program saves the workbook with a cell edited, a sheet deleted,
  // one renamed and moved to the front, and the one holding the add-in's
  // formulas renamed in letter case, and quillo's record sheet shown
  // (atomically, as spreadsheet applications do).
  ASSERT_EQ(python("wb['Prices']['D3']='edited elsewhere'; del wb['Extra']; "
                   "wb['Notes'].title='Notes 2'; s=wb['Prices']; s.title='t'; s.title='PRICES'; "
                   "wb.move_sheet('Notes 2', offset=-wb.sheetnames.index('Notes 2')); "
                   "wb['quillo_provenance'].sheet_state='visible'; wb.save(sys.argv[2])"),
            0);
  fs::rename(edited, book);
  ASSERT_NE(watch.line_with("changed on disk: took in"), "") << watch.seen;
  // New prices are saved with the edits kept: no sheet comes back.
  market.set_time(clock + 86'400'000);
  ASSERT_NE(watch.line_with("updated: saved"), "") << watch.seen;
  EXPECT_EQ(value(book, "PRICES!D3"), "edited elsewhere");
  EXPECT_EQ(python("n=wb.sheetnames; sys.exit(0 if n[:2]==['Notes 2','PRICES'] and 'Extra' not "
                   "in n and 'Notes' not in n and 'Prices' not in n and n.count('Notes 2')==1 and "
                   "wb['quillo_provenance'].sheet_state=='veryHidden' else 1)"),
            0);
  EXPECT_EQ(value(book, "'Notes 2'!B2"), "3");
  const std::string now = value(book, "PRICES!B2");
  EXPECT_GT(std::atof(now.c_str()), 0) << now << "\n" << watch.seen;
  EXPECT_TRUE(WIFEXITED(watch.stop(SIGTERM)));
}

// Another program renames sheets without touching the formulas that name
// them: a formula (or array formula, or name) naming a sheet that now
// exists reads it, one naming a sheet that is gone keeps what the file
// holds, and the formulas reading them follow: watch saves what refresh
// makes of the same file.
TEST_F(FillTest, WatchComputesFormulasWhoseSheetsAnotherProgramRenamed) {
  std::int64_t clock = 1'800'000'000'000;
  market.set_time(clock);
  const fs::path edited = root / "edited.xlsx", theirs = root / "theirs.xlsx";
  auto python = [&](const std::string& code) {
    const std::string cmd =
        "/usr/bin/python3 -c \"import openpyxl,sys; "
        "wb=openpyxl.load_workbook(sys.argv[1]); n=wb['Notes']; " +
        code + "; wb.save(sys.argv[2])\" " + book.string() + " " + edited.string();
    return std::system(cmd.c_str());
  };
  ASSERT_EQ(
      python("wb.create_sheet('Spare')['A1']=5; wb.create_sheet('Data')['A1']=7; "
             "n['F1']='=Other!A1*2'; n['F2']='=F1+1'; n['G1']='=Data!A1*3'; n['G2']='=G1+1'; "
             "n['F3']='=SUM(rate,Other!A1:A2)'; n.formula_attributes['F3']={'t':'array',"
             "'ref':'F3'}; from openpyxl.workbook.defined_name import DefinedName as D; "
             "wb.defined_names.append(D('rate',attr_text='Other!\\$A\\$1')); n['F4']='=rate+1'"),
      0);
  fs::rename(edited, book);
  WatchProcess watch(book);
  ASSERT_NE(watch.line_with("updated: saved"), "") << watch.seen;
  ASSERT_EQ(value(book, "Notes!G2"), "22");
  ASSERT_EQ(python("wb['Spare'].title='Other'; wb['Data'].title='Else'"), 0);
  fs::copy_file(edited, theirs);
  fs::rename(edited, book);
  ASSERT_NE(watch.line_with("changed on disk: took in"), "") << watch.seen;
  market.set_time(clock + 86'400'000);
  ASSERT_NE(watch.line_with("updated: saved"), "") << watch.seen;
  EXPECT_TRUE(WIFEXITED(watch.stop(SIGTERM)));
  ASSERT_EQ(refresh(theirs, theirs, 60, false), 0);
  EXPECT_EQ(value(book, "Notes!F1"), "10");
  EXPECT_EQ(value(book, "Notes!F3"), "10");
  EXPECT_EQ(value(book, "Notes!F4"), "6");
  for (const std::string c : {"F1", "F2", "F3", "F4", "G1", "G2"}) {
    EXPECT_EQ(value(book, "Notes!" + c), value(theirs, "Notes!" + c)) << c;
  }
}

// Formulas swapped between cells by another program, which saves them
// without values, while watch runs: each cell is explained by the request
// it now makes, and shows its answer, though no new answer comes (quillo
// has both pages, and updates only when asked) and watch is stopped at once.
TEST_F(FillTest, WatchTakesInFormulasSwappedBetweenCells) {
  market.set_time(1'800'000'000'000);
  ASSERT_EQ(settings("trading_updatemode", "Manual"), 0);
  const fs::path edited = root / "edited.xlsx";
  WatchProcess watch(book);
  ASSERT_NE(watch.line_with("updated: saved"), "") << watch.seen;
  const std::string b2_before = value(book, "Prices!B2"), b3_before = value(book, "Prices!B3");
  ASSERT_NE(b2_before, b3_before);
  const std::string edit =
      "/usr/bin/python3 -c \"import openpyxl,sys; "
      "wb=openpyxl.load_workbook(sys.argv[1]); ws=wb['Prices']; "
      "ws['B2'].value, ws['B3'].value = ws['B3'].value, ws['B2'].value; "
      "wb.save(sys.argv[2])\" " +
      book.string() + " " + edited.string();
  ASSERT_EQ(std::system(edit.c_str()), 0);
  fs::rename(edited, book);
  ASSERT_NE(watch.line_with("changed on disk: took in"), "") << watch.seen;
  const int status = watch.stop(SIGTERM);
  ASSERT_TRUE(WIFEXITED(status)) << watch.seen;
  EXPECT_EQ(WEXITSTATUS(status), 0) << watch.seen;
  EXPECT_EQ(value(book, "Prices!B2"), b3_before) << watch.seen;
  EXPECT_EQ(value(book, "Prices!B3"), b2_before) << watch.seen;

  auto explain = [&](const std::string& cell) {
    cli::ExplainOptions o{book.string(), cell};
    std::ostringstream out, err;
    EXPECT_EQ(cli::run_explain(o, out, err), 0) << err.str();
    return out.str();
  };
  const std::string b2 = explain("Prices!B2"), b3 = explain("Prices!B3");
  EXPECT_NE(b2.find("asked: instrument NOB"), std::string::npos) << b2;
  auto address = [](const std::string& text) {
    const std::size_t at = text.find("address: ");
    return at == std::string::npos ? std::string() : text.substr(at, text.find('\n', at) - at);
  };
  EXPECT_NE(address(b2).find("NOB"), std::string::npos) << b2;
  EXPECT_EQ(address(b2).find("BVM"), std::string::npos) << b2;
  EXPECT_NE(b3.find("asked: instrument BVM"), std::string::npos) << b3;
  EXPECT_NE(address(b3).find("BVM"), std::string::npos) << b3;
  EXPECT_EQ(address(b3).find("NOB"), std::string::npos) << b3;
}

// What python prints for a script (the files as arguments).
std::string python_out(const fs::path& script, const std::vector<fs::path>& files) {
  std::string cmd = "/usr/bin/python3 " + script.string();
  for (const fs::path& f : files) cmd += " '" + f.string() + "'";
  std::string out;
  if (FILE* p = ::popen(cmd.c_str(), "r")) {
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    if (::pclose(p) != 0) out += "\n(the script failed)";
  }
  return out;
}

// Taking in a file another program saved, then saving, writes what that
// program left: cells quillo cannot read or compute, defined names, sheets
// renamed in letter case only, deleted and added again, hidden and moved.
TEST(TakeInFile, TheBookSavesWhatAnotherProgramLeftInTheFile) {
  const fs::path dir = fs::temp_directory_path() / ("quillo-takein-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path before = dir / "before.xlsx", after = dir / "after.xlsx",
                 saved = dir / "saved.xlsx";
  std::ofstream(dir / "make.py")
      << "import openpyxl,sys\n"
         "from openpyxl.workbook.defined_name import DefinedName as N\n"
         "wb=openpyxl.Workbook(); m=wb.active; m.title='Main'; m['A1']=1; m['A2']='=Data!A1*2'\n"
         "for n,v in [('Data',5),('\xc3\x89',7),('Hist','h'),('Hist2','h2'),('Extra','x')]:\n"
         "  wb.create_sheet(n)['A1']=v\n"
         "wb.defined_names.append(N('old',attr_text='Data!$A$1'))\n"
         "wb.defined_names.append(N('gone',attr_text='Main!$A$1'))\n"
         "wb.save(sys.argv[1])\n";
  std::ofstream(dir / "edit.py")
      << "import openpyxl,sys\n"
         "from openpyxl.workbook.defined_name import DefinedName as N\n"
         "wb=openpyxl.load_workbook(sys.argv[1]); m=wb['Main']\n"
         "m['E1']='=FOOBAR(1)+1'; m['E2']='=\xc3\x9c\x62\x65rall*3'; m['E3']='text'; "
         "m['E4']='=1+'\n"
         "m['E5']='=rate*2'; m['A2']='=DATA!A1*2'\n"
         "s=wb['Data']; s.title='tmp'; s.title='DATA'\n"
         "del wb['\xc3\x89']; wb.create_sheet('\xc3\xa9')['A1']=99\n"
         "del wb['Hist']; s=wb['Hist2']; s.title='tmp'; s.title='hist'\n"
         "wb['Extra'].sheet_state='hidden'; "
         "wb.move_sheet('Extra', offset=-wb.sheetnames.index('Extra')); wb.active=1\n"
         "d=wb.defined_names; d.delete('gone'); d.delete('old')\n"
         "d.append(N('old',attr_text='Main!$A$2')); d.append(N('rate',attr_text='DATA!$A$1'))\n"
         "d.append(N('\xc3\x9c\x62\x65rall',attr_text='DATA!$A$1'))\n"
         "d.append(N('here',attr_text='DATA!$B$1',localSheetId=wb.sheetnames.index('DATA')))\n"
         "wb.save(sys.argv[2])\n";
  // Sheets with their states and cells as written, and the names.
  std::ofstream(dir / "dump.py")
      << "import openpyxl,sys\n"
         "for f in sys.argv[1:]:\n"
         "  wb=openpyxl.load_workbook(f); t=wb.sheetnames\n"
         "  print([(s.title,s.sheet_state) for s in wb.worksheets if "
         "s.sheet_state!='veryHidden'])\n"
         "  print(sorted((d.name,None if d.localSheetId is None else t[d.localSheetId],"
         "d.attr_text) for d in wb.defined_names.definedName))\n"
         "  for s in wb.worksheets:\n"
         "    if s.sheet_state!='veryHidden':\n"
         "      print(s.title,sorted((c.coordinate,repr(c.value)) for r in s.iter_rows() for c in "
         "r "
         "if c.value is not None))\n"
         "  print([s.title for s in wb.worksheets if s.sheet_state=='veryHidden'])\n"
         "  print('==')\n";
  ASSERT_EQ(python_out(dir / "make.py", {before}), "");
  ASSERT_EQ(python_out(dir / "edit.py", {before, after}), "");

  spreadsheet::Application app;
  spreadsheet::use_xlsx_files(app);
  ASSERT_TRUE(app.workbooks().open(before.string()).ok());
  spreadsheet::Model& model = app.model();
  const spreadsheet::BookId book = model.books().back();
  // quillo's record sheet, which the other program's file does not have.
  const spreadsheet::SheetId record = model.add_sheet(book, "quillo_provenance").value();
  ASSERT_TRUE(model.set_visibility(record, host::Visibility::VeryHidden).ok());
  ASSERT_TRUE(model.set_value(record, 1, 1, Value("record")).ok());
  const spreadsheet::SheetId data = model.find_sheet(book, "Data");

  const auto taken = cli::take_in_file(app, book, after.string());
  ASSERT_TRUE(taken.ok()) << taken.status().message();
  EXPECT_GT(*taken, 0);
  const spreadsheet::Book& b = *model.book(book);
  std::vector<std::string> names;
  for (const spreadsheet::SheetId id : b.sheets) names.push_back(model.sheet_name(id));
  EXPECT_EQ(names, (std::vector<std::string>{"Extra", "Main", "DATA", "hist", "\xc3\xa9",
                                             "quillo_provenance"}));
  EXPECT_EQ(model.find_sheet(book, "DATA"), data);  // the same sheet, renamed
  EXPECT_EQ(model.sheet(record)->visibility, host::Visibility::VeryHidden);
  const spreadsheet::SheetId main = model.find_sheet(book, "Main");
  // A function quillo lacks keeps the file's (absent) value; the new name
  // is computed with.
  EXPECT_TRUE(model.has_formula(main, 1, 5));
  EXPECT_EQ(model.value(main, 1, 5), Value());
  EXPECT_EQ(model.value(main, 5, 5), Value(10.0));

  ASSERT_TRUE(b.file->save(model, book, saved.string(), nullptr).ok());
  const std::string both = python_out(dir / "dump.py", {after, saved});
  const std::size_t half = both.find("==\n");
  ASSERT_NE(half, std::string::npos) << both;
  std::string theirs = both.substr(0, half);
  text::replace_all(theirs, "\n[]\n", "\n['quillo_provenance']\n");
  EXPECT_EQ(both.substr(half + 3), theirs + "==\n");
  fs::remove_all(dir);
}

// Array formulas another program added, changed, resized or removed come
// in and go whole: never cell by cell, never leaving a fragment.
TEST(TakeInFile, ArrayFormulasComeInAndGoWhole) {
  const fs::path dir =
      fs::temp_directory_path() / ("quillo-takein-arrays-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path before = dir / "before.xlsx", after = dir / "after.xlsx",
                 saved = dir / "saved.xlsx";
  // openpyxl writes an array formula as the formula of its top-left cell
  // with the attributes of its box.
  const std::string array =
      "import openpyxl,sys\n"
      "def A(ws,ref,text):\n"
      "  a=ref.split(':')[0]; ws[a]=text; ws.formula_attributes[a]={'t':'array','ref':ref}\n";
  std::ofstream(dir / "make.py")
      << array
      << "wb=openpyxl.Workbook(); m=wb.active; m.title='Main'\n"
         "for r in (2,3,4): m.cell(r,2).value=r-1\n"
         "m['E2']='=B2'; m['E3']='=B3'\n"
         "A(m,'F2:F3','=B2:B3*10'); A(m,'G2:G3','=B2:B3+1'); A(m,'H2:H4','=B2:B4'); "
         "A(m,'I2:I3','=B2:B3')\n"
         "wb.save(sys.argv[1])\n";
  std::ofstream(dir / "edit.py")
      << array
      << "wb=openpyxl.load_workbook(sys.argv[1]); m=wb['Main']\n"
         "A(m,'D2:D4','=B2:B4*2'); A(m,'E2:E3','=B2:B3*3'); m['E3']=None\n"
         "A(m,'F2:F3','=B2:B3*100')\n"
         "m['G2']='x'; m['G3']=None; del m.formula_attributes['G2']\n"
         "A(m,'H2:H3','=B2:B3'); m['H3']=None; m['H4']=None\n"
         "wb.save(sys.argv[2])\n";
  // The array formulas and the cells outside them.
  std::ofstream(dir / "dump.py")
      << "import openpyxl,sys\n"
         "from openpyxl.utils import range_boundaries as b\n"
         "for f in sys.argv[1:]:\n"
         "  m=openpyxl.load_workbook(f)['Main']; cells=[c for r in m.iter_rows() for c in r]\n"
         "  arrays=sorted((k,v['ref'],m[k].value) for k,v in m.formula_attributes.items() if "
         "v.get('t')=='array')\n"
         "  boxes=[b(r) for k,r,t in arrays]\n"
         "  inside=lambda c: any(x1<=c.column<=x2 and y1<=c.row<=y2 for x1,y1,x2,y2 in boxes)\n"
         "  print(arrays)\n"
         "  print([(c.coordinate,c.value) for c in cells if c.value is not None and not "
         "inside(c)])\n";
  ASSERT_EQ(python_out(dir / "make.py", {before}), "");
  ASSERT_EQ(python_out(dir / "edit.py", {before, after}), "");

  spreadsheet::Application app;
  spreadsheet::use_xlsx_files(app);
  ASSERT_TRUE(app.workbooks().open(before.string()).ok());
  spreadsheet::Model& model = app.model();
  const spreadsheet::BookId book = model.books().back();
  const spreadsheet::SheetId main = model.find_sheet(book, "Main");
  model.calculate_all();
  ASSERT_EQ(model.value(main, 3, 6), Value(20.0));

  const auto taken = cli::take_in_file(app, book, after.string());
  ASSERT_TRUE(taken.ok()) << taken.status().message();
  using spreadsheet::Box;
  auto box = [&](std::int32_t r, std::int32_t c) {
    return model.array_box(main, r, c).value_or(Box{0, 0, 0, 0});
  };
  // Added over empty cells and over plain formulas: computed as one array.
  EXPECT_EQ(box(4, 4), (Box{2, 4, 4, 4}));
  EXPECT_EQ(model.value(main, 4, 4), Value(6.0));
  EXPECT_EQ(box(3, 5), (Box{2, 5, 3, 5}));
  EXPECT_EQ(model.value(main, 3, 5), Value(6.0));
  // Changed, resized, removed (a cell of it overwritten), and one unchanged.
  EXPECT_EQ(model.value(main, 3, 6), Value(200.0));
  EXPECT_EQ(box(2, 8), (Box{2, 8, 3, 8}));
  EXPECT_FALSE(model.has_formula(main, 4, 8));
  EXPECT_EQ(model.value(main, 4, 8), Value());
  EXPECT_FALSE(model.array_box(main, 2, 7));
  EXPECT_EQ(model.value(main, 2, 7), Value("x"));
  EXPECT_EQ(model.value(main, 3, 7), Value());
  EXPECT_EQ(box(3, 9), (Box{2, 9, 3, 9}));

  const spreadsheet::Book& b = *model.book(book);
  ASSERT_TRUE(b.file->save(model, book, saved.string(), nullptr).ok());
  const std::string both = python_out(dir / "dump.py", {after, saved});
  const std::size_t half = both.find('\n', both.find('\n') + 1);
  ASSERT_NE(half, std::string::npos) << both;
  EXPECT_EQ(both.substr(half + 1), both.substr(0, half + 1));
  EXPECT_NE(both.find("('D2', 'D2:D4', '=B2:B4*2')"), std::string::npos) << both;
  fs::remove_all(dir);
}

TEST_F(FillTest, WatchSavesAfterTheFirstRoundThoughOneSourceNeverFinishes) {
  const fs::path filled = root / "filled.xlsx";
  ASSERT_EQ(refresh(book, filled, 60, false), 0);
  const std::string last = value(filled, "Prices!B2");
  // The quote pages trickle a byte every 50 ms for ever.
  edit_definitions(quote_url(), "http://127.0.0.1:" + std::to_string(market.fault_port()) +
                                    "/quote?_fault=slow&amp;_ms=50</url>");
  WatchProcess watch(filled, {"--first-round", "1"});
  ASSERT_NE(watch.line_with("updated: saved"), "") << watch.seen;
  EXPECT_EQ(value(filled, "Prices!B2"), last);  // still waiting: the file's value
  EXPECT_FALSE(value(filled, "Notes!B2").empty());
  EXPECT_TRUE(WIFEXITED(watch.stop(SIGTERM)));
}

// A formula another program saved while watch runs, still waiting for its
// answer when watch stops, keeps the file's value in the last save: no
// status text is saved in its place, while one answered at once is saved.
TEST_F(FillTest, AFormulaTakenInAndStillWaitingAtTheStopKeepsTheFilesValue) {
  const fs::path filled = root / "filled.xlsx";
  ASSERT_EQ(refresh(book, filled, 60, false), 0);
  edit_definitions(quote_url(), "http://127.0.0.1:" + std::to_string(market.fault_port()) +
                                    "/quote?_fault=slow&amp;_ms=50</url>");
  WatchProcess watch(filled, {"--first-round", "1"});
  ASSERT_NE(watch.line_with("updated: saved"), "") << watch.seen;
  const fs::path edited = root / "edited.xlsx";
  const std::string cmd =
      "/usr/bin/python3 -c \"import openpyxl,sys; wb=openpyxl.load_workbook(sys.argv[1]); "
      "s=wb['Prices']; s['H2']='=fsingle(\\\"DGR\\\",\\\"LMS.QUO.NAME\\\")'; "
      "s['H3']='=fsingle(\\\"JVO\\\",\\\"LMS.KEY.EPS\\\")'; wb.save(sys.argv[2])\" " +
      filled.string() + " " + edited.string();
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  fs::rename(edited, filled);
  ASSERT_NE(watch.line_with("changed on disk: took in"), "") << watch.seen;
  ASSERT_NE(watch.line_with("updated: saved"), "") << watch.seen;
  const int status = watch.stop(SIGTERM);
  ASSERT_TRUE(WIFEXITED(status)) << watch.seen;
  EXPECT_EQ(value(filled, "Prices!H2"), "") << watch.seen;
  EXPECT_GT(std::atof(value(filled, "Prices!H3").c_str()), 0) << watch.seen;
}

// Indicators over tables another program changed while watch runs, in a
// file whose values it kept (only the sheet's XML edited): each series is
// computed again and saved, never "Calculating...", and the rows of a
// longer series before it are cleared, the user's cell below them kept.
// Each new series is written by the next second's pass, after the take-in
// or answer that computed it: nothing else new then tells watch to save.
TEST_F(FillTest, WatchSavesTheIndicatorsOfTablesAnotherProgramChanged) {
  market.set_time(1'800'000'000'000);
  ASSERT_EQ(settings("history_service", market.base_url()), 0);
  const fs::path history_book = root / "history.xlsx";
  const std::string make =
      "/usr/bin/python3 -c \"import openpyxl,sys; wb=openpyxl.Workbook(); ws=wb.active; "
      "ws.title='H'; ws['A3']='=fhistory(\\\"BVM\\\",\\\"Yahoo\\\",\\\"DATE,CLOSE\\\","
      "DATE(2024,1,1),DATE(2024,1,31),\\\"d\\\",{\\\"SORT\\\",\\\"ASC\\\"})'; "
      "ws['E4']='=sma(A4:B40,3)'; ws['E40']='mine'; ws['G4']='Date'; ws['H4']='Close'; "
      "[ws.cell(4+i,7,i) for i in range(1,6)]; [ws.cell(4+i,8,100.5+i) for i in range(1,6)]; "
      "ws['J4']='=sma(G4:H9,2)'; wb.save(sys.argv[1])\" " +
      history_book.string();
  ASSERT_EQ(std::system(make.c_str()), 0);
  ASSERT_EQ(refresh(history_book, history_book, 60, true), 0);
  ASSERT_EQ(value(history_book, "H!E4"), "SMA,3");
  ASSERT_NE(value(history_book, "H!E20"), "");
  ASSERT_EQ(value(history_book, "H!J6"), "102");
  // Another program replaces a text in the sheet's XML and puts the file in
  // place, keeping every other value.
  const fs::path edit = root / "edit.py";
  std::ofstream(edit)
      << "import os,sys,zipfile\n"
         "src,old,new=sys.argv[1:4]; tmp=src+'.tmp'\n"
         "zi=zipfile.ZipFile(src); zo=zipfile.ZipFile(tmp,'w',zipfile.ZIP_DEFLATED)\n"
         "found=False\n"
         "for it in zi.infolist():\n"
         "  d=zi.read(it.filename)\n"
         "  if it.filename.startswith('xl/worksheets/') and old.encode() in d:\n"
         "    found=True; d=d.replace(old.encode(),new.encode())\n"
         "  zo.writestr(it,d)\n"
         "zo.close(); assert found; os.replace(tmp,src)\n";
  auto edit_sheet = [&](const std::string& from, const std::string& to) {
    const std::string cmd = "/usr/bin/python3 " + edit.string() + " " + history_book.string() +
                            " '" + from + "' '" + to + "'";
    return std::system(cmd.c_str());
  };

  WatchProcess watch(history_book);
  ASSERT_NE(watch.line_with("updated: saved"), "") << watch.seen;
  // A price of the user's table: no request is made, the series changes.
  ASSERT_EQ(edit_sheet(">102.5<", ">152.5<"), 0);
  ASSERT_NE(watch.line_with("changed on disk: took in 1 cells"), "") << watch.seen;
  ASSERT_NE(watch.line_with("updated: saved", 10000), "") << watch.seen;
  EXPECT_EQ(value(history_book, "H!J6"), "127") << watch.seen;
  EXPECT_EQ(value(history_book, "H!J7"), "128") << watch.seen;
  // The history shortened to ten days: a shorter table, a shorter series.
  ASSERT_EQ(edit_sheet("DATE(2024,1,31)", "DATE(2024,1,10)"), 0);
  ASSERT_NE(watch.line_with("changed on disk: took in"), "") << watch.seen;
  ASSERT_NE(watch.line_with("updated: saved"), "") << watch.seen;
  const int status = watch.stop(SIGTERM);
  ASSERT_TRUE(WIFEXITED(status)) << watch.seen;
  EXPECT_EQ(WEXITSTATUS(status), 0) << watch.seen;
  EXPECT_EQ(value(history_book, "H!E4"), "SMA,3") << watch.seen;
  EXPECT_NE(value(history_book, "H!B12"), "");
  EXPECT_EQ(value(history_book, "H!B13"), "");
  EXPECT_NE(value(history_book, "H!E12"), "");
  for (const std::string cell : {"H!E13", "H!E20"}) {
    EXPECT_EQ(value(history_book, cell), "") << cell;
  }
  EXPECT_EQ(value(history_book, "H!E40"), "mine");
  EXPECT_EQ(value(history_book, "H!J6"), "127");
}

// Settings changed while watch runs apply to its next requests: a proxy
// that refused every request is dropped, and the prices come in.
TEST_F(FillTest, WatchPutsSettingsChangedMeanwhileToUse) {
  market.set_time(1'800'000'000'000);
  const fs::path filled = root / "filled.xlsx";
  ASSERT_EQ(refresh(book, filled, 60, false), 0);
  const std::string price = value(filled, "Prices!B2");
  ASSERT_EQ(settings("proxy_server", "127.0.0.1:1"), 0);  // nothing listens there
  ASSERT_EQ(settings("useproxy", "1"), 0);
  WatchProcess watch(book, {"--first-round", "1"});
  ASSERT_NE(watch.line_with("updated: saved"), "") << watch.seen;
  EXPECT_NE(value(book, "Prices!B2"), price);
  ASSERT_EQ(settings("useproxy", "0"), 0);
  ASSERT_NE(watch.line_with("settings changed"), "") << watch.seen;
  std::string now;
  for (int i = 0; i < 300 && now != price; ++i) {
    ::usleep(100000);
    now = value(book, "Prices!B2");
  }
  EXPECT_EQ(now, price);
  EXPECT_TRUE(WIFEXITED(watch.stop(SIGTERM)));
}

TEST_F(FillTest, WatchRetriesAFailedSaveAndNeverCallsTheFileUpToDateAfterOne) {
  std::int64_t clock = 1'800'000'000'000;
  market.set_time(clock);
  const fs::path away = root / "away.xlsx";
  {
    WatchProcess watch(book);
    ASSERT_NE(watch.line_with("updated: saved"), "") << watch.seen;
    // Something that is not a workbook file takes the workbook's place.
    fs::rename(book, away);
    fs::create_directories(book / "x");
    market.set_time(clock += 86'400'000);
    ASSERT_NE(watch.line_with("the save failed; trying again later"), "") << watch.seen;
    // Once the file is back the next try saves.
    fs::remove_all(book);
    fs::rename(away, book);
    ASSERT_NE(watch.line_with("updated: saved"), "") << watch.seen;
    const int status = watch.stop(SIGTERM);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  {
    WatchProcess watch(book);
    ASSERT_NE(watch.line_with("updated: saved"), "") << watch.seen;
    fs::rename(book, away);
    fs::create_directories(book / "x");
    market.set_time(clock += 86'400'000);
    ASSERT_NE(watch.line_with("the save failed"), "") << watch.seen;
    const int status = watch.stop(SIGTERM);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    watch.line_with("no such line", 2000);
    EXPECT_EQ(watch.seen.find("up to date"), std::string::npos) << watch.seen;
  }
}

TEST_F(FillTest, DefinitionsThatDoNotLoadStopRefreshAndWatchBeforeTheWorkbookIsTouched) {
  std::ofstream(root / "install" / "ds.xml", std::ios::trunc) << "<definitions><datasource>";
  const std::string before = read_all(book);
  std::string text;
  EXPECT_EQ(refresh(book, book, 5, false, &text), 2);
  EXPECT_NE(text.find("ds.xml: Error during load of xml"), std::string::npos) << text;
  const Run watch = quillo("watch " + book.string() + " --minute 0.5");
  EXPECT_EQ(watch.code, 2);
  EXPECT_NE(watch.err.find("Error during load of xml"), std::string::npos) << watch.err;
  EXPECT_EQ(read_all(book), before);
}

TEST_F(FillTest, CellsWithoutANewValueKeepTheFilesValue) {
  const fs::path filled = root / "filled.xlsx";
  ASSERT_EQ(refresh(book, filled, 60, false), 0);
  const std::string last = value(filled, "Prices!B2");
  const std::string doubled = value(filled, "Prices!E2");
  // The quote pages never answer: their cells, and the cells computed from
  // them, keep the file's values; the summary says so, --strict fails.
  const std::string stall =
      "http://127.0.0.1:" + std::to_string(market.fault_port()) + "/quote?_fault=stall</url>";
  edit_definitions(quote_url(), stall);
  std::string text;
  EXPECT_EQ(refresh(filled, filled, 0.5, false, &text), 0) << text;
  EXPECT_EQ(value(filled, "Prices!B2"), last);
  EXPECT_EQ(value(filled, "Prices!E2"), doubled);
  EXPECT_NE(text.find("not answered; the file's value kept in"), std::string::npos) << text;
  EXPECT_EQ(refresh(filled, filled, 0.5, true), 1);
  EXPECT_EQ(value(filled, "Prices!B2"), last);
  // Cells the file left empty stay empty: no status text is saved.
  const fs::path stalled = root / "stalled.xlsx";
  ASSERT_EQ(value(book, "Prices!B2"), "");
  EXPECT_EQ(refresh(book, stalled, 0.5, false, &text), 0) << text;
  EXPECT_EQ(value(stalled, "Prices!B2"), "");
  EXPECT_EQ(value(stalled, "Prices!C2"), "");
  EXPECT_NE(text.find(" not answered; the file's value kept in"), std::string::npos) << text;

  // Failed answers keep the last figure when the settings say so, and show
  // the failure when they do not.
  edit_definitions(
      stall, "http://127.0.0.1:" + std::to_string(market.port()) + "/quote?_status=503</url>");
  ASSERT_EQ(settings("connectionerrorhandling", "2"), 0);
  EXPECT_EQ(refresh(filled, filled, 30, false, &text), 0) << text;
  EXPECT_EQ(value(filled, "Prices!B2"), last);
  EXPECT_NE(text.find("connection error"), std::string::npos) << text;
  EXPECT_NE(text.find("the file's value kept in 9 of them"), std::string::npos) << text;
  EXPECT_EQ(refresh(filled, filled, 30, true), 1);
  ASSERT_EQ(settings("connectionerrorhandling", "1"), 0);
  EXPECT_EQ(refresh(filled, root / "shown.xlsx", 30, false), 0);
  EXPECT_EQ(value(root / "shown.xlsx", "Prices!B2"),
            "Connection error. Code: 503 - General error.");
}

TEST_F(FillTest, AFarCornerCellDoesNotMakeTheSummaryWalkTheWholeSheet) {
  // One value at the last cell a sheet has: the used range spans 17 billion
  // cells, of which eleven exist.
  const std::string far =
      "/usr/bin/python3 -c \"import openpyxl,sys; wb=openpyxl.load_workbook(sys.argv[1]); "
      "wb['Prices']['XFD1048576']=1; wb.save(sys.argv[1])\" " +
      book.string();
  ASSERT_EQ(std::system(far.c_str()), 0);
  std::string text;
  EXPECT_EQ(refresh(book, root / "out.xlsx", 60, false, &text), 0) << text;
  EXPECT_NE(text.find("10 cells with quillo formulas, 8 filled"), std::string::npos) << text;
  EXPECT_EQ(value(root / "out.xlsx", "Prices!XFD1048576"), "1");
}

TEST_F(FillTest, StrictRefreshFailsWithoutTheFunctionLibrary) {
  fs::remove(root / "install" / "tarnvale.xla");
  std::string text;
  EXPECT_EQ(refresh(book, root / "out.xlsx", 10, true, &text), 1) << text;
  EXPECT_NE(text.find("tarnvale.xla is not installed"), std::string::npos) << text;
}

TEST_F(FillTest, SettingsChangedAtOnceAreAllKept) {
  const std::vector<std::pair<std::string, std::string>> values = {
      {"trading_updatemode", "2"},
      {"trading_updatefrq", "15"},
      {"connectionerrorhandling", "2"},
      {"parseerrorhandling", "2"},
      {"useproxy", "1"},
      {"proxy_server", "p:3128"},
      {"proxy_user", "u"},
      {"proxy_password", "pw"},
      {"connection_timeout", "11"},
      {"receive_timeout", "12"},
      {"history_service", "http://h:1"},
      {"send_on_completion", "1"}};
  std::string cmd;
  for (const auto& [name, v] : values) {
    cmd += std::string(QUILLO_BIN) + " settings set " + name + " " + v + " & ";
  }
  ASSERT_EQ(std::system((cmd + "wait").c_str()), 0);
  for (const auto& [name, v] : values) EXPECT_EQ(quillo("settings get " + name).out, v + "\n");
  EXPECT_EQ(quillo("settings unset receive_timeout").code, 0);
  EXPECT_EQ(quillo("settings get receive_timeout").out, "30\n");
  EXPECT_EQ(quillo("settings get no_such").code, 2);

  // Too long for the store to read back: refused, nothing written.
  const Run longer = quillo("settings set proxy_user " + std::string(1025, 'u'));
  EXPECT_EQ(longer.code, 2);
  EXPECT_NE(longer.err.find("at most 1024 bytes"), std::string::npos) << longer.err;
  EXPECT_EQ(quillo("settings get proxy_user").out, "u\n");
  EXPECT_EQ(settings("receive_timeout", "-1"), 2);
  const Run version = quillo("--version");
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out.rfind("quillo ", 0), 0u) << version.out;

  // A settings file that cannot be read is refused, never replaced.
  const fs::path file = root / "user" / "HKEY_CURRENT_USER.reg";
  fs::rename(file, root / "saved.reg");
  fs::create_directories(file);
  const Run shown = quillo("settings");
  EXPECT_EQ(shown.code, 1);
  EXPECT_NE(shown.err.find("cannot read"), std::string::npos) << shown.err;
  EXPECT_EQ(quillo("settings set receive_timeout 5").code, 1);
  std::string text;
  EXPECT_EQ(refresh(book, root / "out.xlsx", 5, false, &text), 2);
  EXPECT_NE(text.find("settings file"), std::string::npos) << text;
  EXPECT_TRUE(fs::is_directory(file));
}

}  // namespace
}  // namespace quillo
