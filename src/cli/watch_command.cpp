#include "cli/watch_command.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <ostream>

#include "cli/session.h"

namespace quillo::cli {

namespace {

constexpr const char* kCommand = "quillo watch";

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
  if (!(options.minute_seconds >= 0.01)) {
    err << kCommand << ": --minute must be at least 0.01 seconds\n";
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
  session.calculate_full();

  int failed_saves = 0;
  auto save = [&](const char* why) {
    const host::Status st = (*book)->save();
    if (!st.ok()) {
      ++failed_saves;
      err << kCommand << ": " << st.message() << "\n";
      return;
    }
    const Progress p = session.progress();
    out << why << ": saved " << (*book)->full_name().value_or(options.book) << " (" << p.answered
        << " of " << p.total << " requests answered, " << p.errors << " errors)" << std::endl;
  };

  // A round ends when every request of it has been answered: then the
  // workbook is saved once, if its cells were given anything new. When the
  // sources cannot answer everything within a minute there is no quiet
  // moment; then what arrived is saved every ten seconds. Nothing is saved
  // before every request has had its first answer: the file's values are
  // not replaced by "Loading data...".
  std::uint64_t saved_updates = 0;
  host::PollLoop& loop = session.loop();
  std::int64_t saved_at = loop.now_ms();
  auto updates = [&] {
    return session.state().engine ? session.state().engine->registry().updates() : 0;
  };
  const host::TimerId check = loop.set_timer(200, [&] {
    if (updates() == saved_updates || !session.answered()) return;
    if (session.idle() || loop.now_ms() - saved_at >= 10000) {
      saved_updates = updates();
      saved_at = loop.now_ms();
      save("updated");
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
  if (!session.answered()) {
    const Progress p = session.progress();
    out << "stopped: not saved, " << p.total - p.answered << " of " << p.total
        << " requests still unanswered; the file keeps its previous values" << std::endl;
  } else if (updates() != saved_updates) {
    save("stopped");
  } else {
    out << "stopped: " << (*book)->full_name().value_or(options.book) << " is up to date"
        << std::endl;
  }
  return failed_saves > 0 ? 1 : 0;
}

}  // namespace quillo::cli
