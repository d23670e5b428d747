#include "host/posix/xdg_open_browser.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "host/process.h"

extern char** environ;

namespace quillo::host {

namespace {

// posix_spawn file actions and attributes, released on every path.
struct SpawnActions {
  SpawnActions() { ok = posix_spawn_file_actions_init(&actions) == 0; }
  ~SpawnActions() {
    if (ok) posix_spawn_file_actions_destroy(&actions);
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t actions{};
  bool ok = false;
};

}  // namespace

Status XdgOpenBrowser::open(std::string_view url) {
  if (!is_web_address(url)) {
    return Status(StatusCode::InvalidArgument, "not a web address: " + std::string(url));
  }
  return spawn(std::string(url));
}

Status XdgOpenBrowser::open_page(const LaunchPage& page) {
  // An absolute path: never read as an option of the program.
  if (!page.status().ok() || page.path().empty() || page.path()[0] != '/') {
    return Status(StatusCode::InvalidArgument, "no launch page to open");
  }
  return spawn(page.path());
}

Status XdgOpenBrowser::spawn(std::string argument) {
  SpawnActions spawn;
  if (!spawn.ok) return Status::failed("cannot prepare to start " + m_program);
  // The browser must not read the terminal the engine may be running in.
  posix_spawn_file_actions_addopen(&spawn.actions, 0, "/dev/null", O_RDONLY, 0);

  // The engine may run with stop signals blocked (they are read from a
  // descriptor); the browser gets the default mask and handlers.
  posix_spawnattr_t attr;
  if (posix_spawnattr_init(&attr) != 0)
    return Status::failed("cannot prepare to start " + m_program);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::string program = m_program;
  char* argv[] = {program.data(), argument.data(), nullptr};
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, program.c_str(), &spawn.actions, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    return Status::failed("cannot start " + m_program + ": " + std::strerror(rc));
  }
  // The opener may run as long as the browser does; wait for it elsewhere so
  // the event loop goes on and the child is still reaped when it ends.
  try {
    std::thread([pid] {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error&) {
    // No thread to be had: the child stays unreaped until the engine exits,
    // which is better than blocking the loop on the browser.
  }
  return {};
}

namespace {

// The address as HTML attribute text.
std::string html_escaped(std::string_view s) {
  std::string out;
  for (const char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A new folder only this user may enter, in the user's runtime folder
// when there is one (private to the user already), else the temporary one.
std::string private_folder() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') {
    struct stat st {};
    if (::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid()) {
      std::string pattern = std::string(runtime) + "/quillo-ui-XXXXXX";
      if (::mkdtemp(pattern.data())) return pattern;  // mode 0700
    }
  }
  return make_private_temp_folder("quillo-ui-");
}

}  // namespace

LaunchPage::LaunchPage(std::string_view url) {
  if (!is_web_address(url)) {
    m_status = Status(StatusCode::InvalidArgument, "not a web address");
    return;
  }
  m_folder = private_folder();
  if (m_folder.empty()) {
    m_status = Status::failed("cannot make a private folder for the browser's start page");
    return;
  }
  const std::string path = m_folder + "/open.html";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    m_status = Status::failed("cannot write the browser's start page: " +
                              std::string(std::strerror(errno)));
    return;
  }
  m_path = path;
  const std::string a = html_escaped(url);
  const std::string text =
      "<!doctype html>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"referrer\" content=\"no-referrer\">\n"
      "<meta http-equiv=\"refresh\" content=\"0;url=" +
      a + "\">\n<title>quillo</title>\n<p><a href=\"" + a + "\">Open the workbook</a></p>\n";
  std::size_t done = 0;
  bool ok = ::fchmod(fd, 0600) == 0;
  while (ok && done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0 || !ok) {
    m_status = Status::failed("cannot write the browser's start page");
  }
}

LaunchPage::~LaunchPage() {
  if (!m_path.empty()) ::unlink(m_path.c_str());
  if (!m_folder.empty()) ::rmdir(m_folder.c_str());
}

}  // namespace quillo::host
