#include "cli/watch_command.h"

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "cli/disk_changes.h"
#include "cli/session.h"
#include "host/output_blocks.h"
#include "host/process.h"
#include "spreadsheet/handles.h"
#include "xlsx/workbook_files.h"

namespace quillo::cli {

namespace {

constexpr const char* kWatchCommand = "quillo watch";
// How long after a failed save the next try comes.
constexpr std::int64_t kRetryMs = 3000;
// How long the file must stay as another program left it before watch saves
// over it with nothing new but what that take-in left out.
constexpr std::int64_t kQuietMs = 1000;

// The watched workbook's file: what quillo saves to it, and what others
// save to it meanwhile.
class WatchedFile {
 public:
  WatchedFile(Session& session, host::WorkbookPtr book, std::string path, std::ostream& out,
              std::ostream& err)
      : m_session(session),
        m_book(std::move(book)),
        m_path(std::move(path)),
        m_stamp(file_stamp(m_path)),
        m_out(out),
        m_err(err) {
    const auto* handle = dynamic_cast<const spreadsheet::BookHandle*>(m_book.get());
    m_book_id = handle ? handle->book_id() : 0;
    // A file another program puts in place while a save is being written
    // is not saved over: the save is refused at the last moment, and the
    // next try takes that file in first.
    (void)spreadsheet::set_save_check(m_session.app().model(), m_book_id,
                                      [this] { return file_stamp(m_path) == m_stamp; });
  }
  ~WatchedFile() { (void)spreadsheet::set_save_check(m_session.app().model(), m_book_id, {}); }
  WatchedFile(const WatchedFile&) = delete;
  WatchedFile& operator=(const WatchedFile&) = delete;

  const std::string& path() const { return m_path; }
  bool last_failed() const { return m_last_failed; }
  // A take-in left the file without values or records quillo has for its
  // cells (answers it already had for formulas written there, say): a save
  // is owed though no new answer came.
  bool save_owed() const { return m_save_owed; }
  // When (on the loop's clock) the last edit made elsewhere was taken in.
  std::int64_t taken_in_at() const { return m_taken_in_at; }

  // Takes in the cells another program (or the user in a spreadsheet
  // application) saved to the file since quillo last read or wrote it.
  // False when the file changed and cannot be read: then nothing may be
  // saved over it until it can.
  bool take_in_changes() {
    const FileStamp now = file_stamp(m_path);
    if (now == m_stamp) return true;
    if (now.type != std::filesystem::file_type::regular) {
      m_err << kWatchCommand << ": " << m_path
            << " is no longer a regular file; not saving over it\n";
      return false;
    }
    bool save_owed = false;
    const auto taken = m_session.take_in(*m_book, m_book_id, m_path, &save_owed);
    if (!taken.ok()) {
      m_err << kWatchCommand << ": " << m_path << " changed on disk and cannot be read ("
            << taken.status().message() << "); not saving over it\n";
      return false;
    }
    m_stamp = now;
    m_save_owed = m_save_owed || save_owed;
    m_taken_in_at = m_session.loop().now_ms();
    m_out << "changed on disk: took in " << *taken << " cells of " << m_path << std::endl;
    return true;
  }

  // Saves over the file (after taking in changes made elsewhere); a failure
  // is reported and remembered until a save succeeds.
  bool save(const char* why) {
    const SaveLock lock(m_path);
    const bool readable = take_in_changes();
    // Blocks of formulas the user has since removed are the user's cells.
    if (readable) (void)host::drop_stale_records(*m_book);
    // And where each value came from goes with it.
    if (readable) (void)m_session.write_provenance(*m_book);
    const Status st = readable ? m_book->save() : Status();
    if (!readable || !st.ok()) {
      m_last_failed = true;
      if (!st.ok()) m_err << kWatchCommand << ": " << st.message() << "\n";
      m_err << kWatchCommand << ": " << why << ": the save failed; trying again later" << std::endl;
      return false;
    }
    m_last_failed = false;
    m_save_owed = false;
    m_stamp = saved_stamp(m_session.app().model(), m_book_id, m_path);
    const Progress p = m_session.progress();
    m_out << why << ": saved " << m_path << " (" << p.answered << " of " << p.total
          << " requests answered, " << p.errors << " errors)" << std::endl;
    return true;
  }

 private:
  Session& m_session;
  host::WorkbookPtr m_book;
  spreadsheet::BookId m_book_id = 0;
  std::string m_path;
  FileStamp m_stamp;
  std::ostream& m_out;
  std::ostream& m_err;
  bool m_last_failed = false;
  bool m_save_owed = false;
  std::int64_t m_taken_in_at = 0;
};

// The settings files: when one changes (the settings command, another
// program, the user's editor), the settings are read again and those that
// changed are put to use, so a proxy or time-out set meanwhile applies to
// the next requests without a restart.
class SettingsFiles {
 public:
  explicit SettingsFiles(const addin::RegistryLocation& where) {
    for (auto& path : where.settings_files()) {
      std::string p = path.string();
      m_files.emplace_back(p, file_stamp(p));
    }
  }

  // True when a file changed since the last call (or the start).
  bool changed() {
    bool any = false;
    for (auto& [path, stamp] : m_files) {
      const FileStamp now = file_stamp(path);
      if (now == stamp) continue;
      stamp = now;
      any = true;
    }
    return any;
  }

 private:
  std::vector<std::pair<std::string, FileStamp>> m_files;
};

// Runs the loop until a stop signal, saving as the rounds of answers end.
// A round ends when every request of it has been answered: then the
// workbook is saved once, if its cells were given anything new. When the
// sources cannot answer everything within a minute there is no quiet
// moment; then what arrived is saved every ten seconds. The first save
// waits for every first answer, or for the first round's limit: a source
// that never finishes does not hold up the others (cells still waiting show
// the file's values meanwhile). A failed save is tried again every few
// seconds. Answers whether the file holds the last values.
bool watch_until_stopped(Session& session, WatchedFile& file, SettingsFiles& settings,
                         host::StopRequests& stops, std::int64_t first_round_ms,
                         std::ostream& out) {
  std::uint64_t saved_updates = 0;
  bool first_saved = false;
  host::PollLoop& loop = session.loop();
  const std::int64_t first_round_end = loop.now_ms() + first_round_ms;
  std::int64_t saved_at = loop.now_ms();
  std::int64_t retry_at = 0;
  auto updates = [&] { return session.state().engine() ? session.state().engine()->updates() : 0; };
  const host::TimerId check = loop.set_timer(200, [&] {
    if (settings.changed() && session.state().reload_configuration()) {
      out << "settings changed: the new ones apply from the next request" << std::endl;
    }
    const std::int64_t now = loop.now_ms();
    if (!first_saved && !session.answered() && now < first_round_end) return;
    if (now < retry_at) return;
    if (updates() == saved_updates && !file.last_failed()) {
      // Nothing new of quillo's; an edit made elsewhere is taken in now.
      if (!file.take_in_changes()) {
        retry_at = now + kRetryMs;
        return;
      }
      // A take-in that left the file without quillo's values is saved once
      // the file has been left alone a moment, so a program that saves twice
      // in quick succession is not saved over between its two saves.
      if (!file.save_owed() || now - file.taken_in_at() < kQuietMs) return;
    }
    if (first_saved && !file.last_failed() && !session.idle() && now - saved_at < 10000) return;
    // Series computed from the answers just in are written first, as
    // refresh does, so none is saved as "Calculating..." beside the rows
    // of its last series.
    session.write_computed_series();
    const std::uint64_t seen = updates();
    saved_at = now;
    if (file.save("updated")) {
      saved_updates = seen;
      first_saved = true;
    } else {
      retry_at = now + kRetryMs;
    }
  });
  session.run_until_stopped(stops);
  loop.kill_timer(check);
  // An edit made elsewhere since the last look is taken in first.
  (void)file.take_in_changes();
  session.write_computed_series();
  if (updates() != saved_updates || file.last_failed() || file.save_owed()) {
    return file.save("stopped");
  }
  out << "stopped: " << file.path() << " is up to date" << std::endl;
  return true;
}

}  // namespace

int run_watch(const WatchOptions& options, std::ostream& out, std::ostream& err) {
  if (!(options.minute_seconds >= 0.01) || !(options.first_round_seconds >= 0)) {
    err << kWatchCommand
        << ": --minute must be at least 0.01 seconds, --first-round not negative\n";
    return 2;
  }
  host::StopRequests stops;
  if (!stops.ok()) {
    err << kWatchCommand << ": cannot watch for stop signals\n";
    return 2;
  }
  SessionOptions so;
  so.command = kWatchCommand;
  so.minute_ms = static_cast<std::int64_t>(options.minute_seconds * 1000);
  Session session(so, err);
  const host::WorkbookPtr book = session.open_ready(options.book);
  if (!book) return 2;
  WatchedFile file(session, book, book->full_name().value_or(options.book), out, err);
  SettingsFiles settings(so.registry);
  session.calculate_full();
  const bool up_to_date =
      watch_until_stopped(session, file, settings, stops,
                          static_cast<std::int64_t>(options.first_round_seconds * 1000), out);
  // The file holds the last values unless the last save failed.
  return up_to_date ? 0 : 1;
}

}  // namespace quillo::cli
