// Opens web addresses with the desktop's opener program (xdg-open): the
// address is its only argument, never read by a shell; the program's
// standard input is /dev/null and it gets the default signal mask.
//
// An address that must stay secret (the browser view's, which carries its
// access token) is not given as an argument, since every user of the
// machine can read a process's arguments for as long as it runs: a
// LaunchPage holds it in a file only this user can read, and the opener
// gets that file's path.
//
// Event-loop thread only. Failures as BrowserOpener says.
#pragma once

#include <string>
#include <string_view>

#include "host/browser.h"

namespace quillo::host {

class XdgOpenBrowser final : public BrowserOpener {
 public:
  // program is looked up on PATH; tests name another one.
  explicit XdgOpenBrowser(std::string program = "xdg-open") : m_program(std::move(program)) {}

  // Starts the program with the address as its only argument. The child is
  // reaped by a detached thread, so neither the caller waits for the browser
  // nor does a finished child linger as a zombie.
  Status open(std::string_view url) override;

  // Starts the program with the launch page's path as its only argument.
  Status open_page(const class LaunchPage& page);

 private:
  Status spawn(std::string argument);
  std::string m_program;
};

// A small HTML page that sends the browser on to an address at once. It is
// written with mode 0600 into a new folder with mode 0700 under
// $XDG_RUNTIME_DIR (or the temporary folder when that is not set), and
// removed with its folder when the LaunchPage goes.
class LaunchPage {
 public:
  explicit LaunchPage(std::string_view url);
  ~LaunchPage();
  LaunchPage(const LaunchPage&) = delete;
  LaunchPage& operator=(const LaunchPage&) = delete;

  // Failed when the folder or the file could not be made.
  const Status& status() const { return m_status; }
  // The page's absolute path; empty when it could not be made.
  const std::string& path() const { return m_path; }

 private:
  std::string m_folder;
  std::string m_path;
  Status m_status;
};

}  // namespace quillo::host
