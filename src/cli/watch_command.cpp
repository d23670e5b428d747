#include "cli/watch_command.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <ostream>

#include "addin/dataload.h"
#include "cli/disk_changes.h"
#include "cli/session.h"
#include "spreadsheet/handles.h"

namespace quillo::cli {

namespace {

constexpr const char* kCommand = "quillo watch";
// How long after a failed save the next try comes.
constexpr std::int64_t kRetryMs = 3000;

// SIGINT and SIGTERM delivered as readable data on a descriptor the loop
// watches, so stopping happens on the loop thread between handlers.
class StopSignals {
 public:
  StopSignals() {
    sigemptyset(&m_set);
    sigaddset(&m_set, SIGINT);
    sigaddset(&m_set, SIGTERM);
    // Blocked before any thread starts, so every thread inherits the mask.
    pthread_sigmask(SIG_BLOCK, &m_set, nullptr);
    m_fd = ::signalfd(-1, &m_set, SFD_NONBLOCK | SFD_CLOEXEC);
  }
  // The signals stay blocked: the process is about to end, and a second
  // Ctrl-C during the final save must not cut it short.
  ~StopSignals() {
    if (m_fd >= 0) ::close(m_fd);
  }
  int fd() const { return m_fd; }
  void drain() const {
    signalfd_siginfo info;
    while (::read(m_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
  }

 private:
  sigset_t m_set{};
  int m_fd = -1;
};

}  // namespace

int run_watch(const WatchOptions& options, std::ostream& out, std::ostream& err) {
  if (!(options.minute_seconds >= 0.01) || !(options.first_round_seconds >= 0)) {
    err << kCommand << ": --minute must be at least 0.01 seconds, --first-round not negative\n";
    return 2;
  }
  StopSignals signals;
  if (signals.fd() < 0) {
    err << kCommand << ": cannot watch for stop signals\n";
    return 2;
  }
  SessionOptions so;
  so.command = kCommand;
  so.minute_ms = static_cast<std::int64_t>(options.minute_seconds * 1000);
  Session session(so, err);
  // Without definitions every cell would show an error in place of its
  // value: nothing is opened, nothing saved.
  if (const std::string why = session.not_ready(); !why.empty()) {
    err << kCommand << ": " << why << "\n";
    return 2;
  }
  auto book = session.open(options.book);
  if (!book.ok()) {
    err << kCommand << ": " << options.book << ": " << book.status().message() << "\n";
    return 2;
  }
  const auto* handle = dynamic_cast<const spreadsheet::BookHandle*>(book->get());
  const spreadsheet::BookId book_id = handle ? handle->book_id() : 0;
  const std::string path = (*book)->full_name().value_or(options.book);
  FileStamp stamp = file_stamp(path);
  session.calculate_full();

  // Another program (or the user in a spreadsheet application) may save the
  // file meanwhile: its cells are taken in before quillo saves over it.
  // False when the file changed and could not be read; then nothing may be
  // saved over it until it can.
  auto take_in_changes = [&] {
    const FileStamp now = file_stamp(path);
    if (now == stamp) return true;
    if (now.type != std::filesystem::file_type::regular) {
      err << kCommand << ": " << path << " is no longer a regular file; not saving over it\n";
      return false;
    }
    const auto taken = take_in_file(session.app(), book_id, path);
    if (!taken.ok()) {
      err << kCommand << ": " << path << " changed on disk and cannot be read ("
          << taken.status().message() << "); not saving over it\n";
      return false;
    }
    stamp = now;
    addin::link_repair(session.app(), **book);
    out << "changed on disk: took in " << *taken << " cells of " << path << std::endl;
    return true;
  };

  bool last_failed = false;
  auto save = [&](const char* why) {
    host::Status st = take_in_changes() ? (*book)->save() : host::Status::failed("not saved");
    if (!st.ok()) {
      last_failed = true;
      if (st.message() != "not saved") err << kCommand << ": " << st.message() << "\n";
      err << kCommand << ": " << why << ": the save failed; trying again later" << std::endl;
      return false;
    }
    last_failed = false;
    stamp = file_stamp(path);
    const Progress p = session.progress();
    out << why << ": saved " << path << " (" << p.answered << " of " << p.total
        << " requests answered, " << p.errors << " errors)" << std::endl;
    return true;
  };

  // A round ends when every request of it has been answered: then the
  // workbook is saved once, if its cells were given anything new. When the
  // sources cannot answer everything within a minute there is no quiet
  // moment; then what arrived is saved every ten seconds. The first save
  // waits for every first answer, or for the first round's limit: a source
  // that never finishes does not hold up the others (cells still waiting
  // show the file's values meanwhile). A failed save is tried again every
  // few seconds.
  std::uint64_t saved_updates = 0;
  bool first_saved = false;
  host::PollLoop& loop = session.loop();
  const std::int64_t first_round_end =
      loop.now_ms() + static_cast<std::int64_t>(options.first_round_seconds * 1000);
  std::int64_t saved_at = loop.now_ms();
  std::int64_t retry_at = 0;
  auto updates = [&] {
    return session.state().engine ? session.state().engine->registry().updates() : 0;
  };
  const host::TimerId check = loop.set_timer(200, [&] {
    const std::int64_t now = loop.now_ms();
    if (!first_saved && !session.answered() && now < first_round_end) return;
    if (now < retry_at) return;
    if (updates() == saved_updates && !last_failed) {
      // Nothing of quillo's to save; an edit made elsewhere is taken in now.
      if (!take_in_changes()) retry_at = now + kRetryMs;
      return;
    }
    if (first_saved && !last_failed && !session.idle() && now - saved_at < 10000) return;
    const std::uint64_t seen = updates();
    saved_at = now;
    if (save("updated")) {
      saved_updates = seen;
      first_saved = true;
    } else {
      retry_at = now + kRetryMs;
    }
  });
  bool stopping = false;
  loop.watch_fd(signals.fd(), host::kIoRead, [&](unsigned) {
    signals.drain();
    stopping = true;
    loop.stop();
  });
  while (!stopping) loop.run();
  loop.unwatch_fd(signals.fd());
  loop.kill_timer(check);
  if (updates() != saved_updates || last_failed) {
    save("stopped");
  } else {
    out << "stopped: " << path << " is up to date" << std::endl;
  }
  // The file holds the last values unless the last save failed.
  return last_failed ? 1 : 0;
}

}  // namespace quillo::cli
