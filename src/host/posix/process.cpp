#include "host/process.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace quillo::host {

namespace fs = std::filesystem;

std::string own_module_path() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : self.string();
}

bool stderr_is_terminal() {
  return ::isatty(STDERR_FILENO) != 0;
}

bool stdout_is_terminal() {
  return ::isatty(STDOUT_FILENO) != 0;
}

std::string make_private_temp_folder(std::string_view prefix) {
  std::error_code ec;
  const fs::path base = fs::temp_directory_path(ec);
  if (ec) return {};
  // mkdtemp makes the folder with mode 0700.
  std::string pattern = (base / (std::string(prefix) + "XXXXXX")).string();
  return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

namespace {

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

StopRequests::StopRequests() {
  // SIGINT and SIGTERM become readable data on a descriptor the loop
  // watches. Blocked before any thread starts, so every thread inherits
  // the mask and none takes the signal itself.
  const sigset_t set = stop_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  m_fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

StopRequests::~StopRequests() {
  if (m_fd >= 0) ::close(m_fd);
}

void StopRequests::watch(EventLoop& loop, std::function<void()> on_stop) {
  if (m_fd < 0) return;
  loop.watch_fd(m_fd, kIoRead, [fd = m_fd, on_stop = std::move(on_stop)](unsigned) {
    signalfd_siginfo info;
    bool any = false;
    while (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) any = true;
    if (any) on_stop();
  });
}

void StopRequests::unwatch(EventLoop& loop) {
  if (m_fd >= 0) loop.unwatch_fd(m_fd);
}

}  // namespace quillo::host
