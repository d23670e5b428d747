// The process the engine runs in: its own program file, whether standard
// error is a terminal, private temporary folders, and stop requests from
// outside (Ctrl-C, a termination request), delivered on the event loop.
//
// Implemented per platform (host/posix/process.cpp, host/windows/
// process.cpp). Functions: any thread. StopRequests: created before any
// thread starts, used on the loop thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "host/event_loop.h"

namespace quillo::host {

// The running program's file (on Windows the module holding quillo's code,
// quillo.dll inside the host); empty when the system does not say.
std::string own_module_path();

// True when standard error is a terminal (progress lines are drawn there).
bool stderr_is_terminal();
// True when standard output is a terminal (listings add a header line there).
bool stdout_is_terminal();

// Makes a new folder under the system's temporary folder that only this
// user may enter, named prefix followed by random characters; empty when it
// cannot be made.
std::string make_private_temp_folder(std::string_view prefix);

// Stop requests turned into a call on the loop thread, between handlers,
// instead of ending the process wherever it is. From construction on, the
// requests no longer end the process; they stay that way after destruction,
// so a second Ctrl-C during a final save cannot cut it short.
class StopRequests {
 public:
  StopRequests();
  ~StopRequests();
  StopRequests(const StopRequests&) = delete;
  StopRequests& operator=(const StopRequests&) = delete;

  // False when stop requests cannot be received (nothing would stop the
  // program but a kill).
  bool ok() const { return m_fd >= 0; }
  // Calls on_stop on the loop's thread for each stop request until unwatch.
  void watch(EventLoop& loop, std::function<void()> on_stop);
  void unwatch(EventLoop& loop);

 private:
  int m_fd = -1;
};

}  // namespace quillo::host
