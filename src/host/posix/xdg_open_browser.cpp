#include "host/posix/xdg_open_browser.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

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
  std::string address(url);
  char* argv[] = {program.data(), address.data(), nullptr};
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

}  // namespace quillo::host
