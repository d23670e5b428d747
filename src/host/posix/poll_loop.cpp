#include "host/posix/poll_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

namespace quillo::host {

PollLoop::PollLoop() : PollLoop(m_system_clock) {}

PollLoop::PollLoop(const Clock& clock) : m_clock(clock) {
  if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) m_wake[0] = m_wake[1] = -1;
  m_now = read_clock();
}

PollLoop::~PollLoop() {
  for (int fd : m_wake) {
    if (fd >= 0) ::close(fd);
  }
}

void PollLoop::wake_from_any_thread() {
  const char byte = 1;
  if (m_wake[1] >= 0) [[maybe_unused]]
    auto n = ::write(m_wake[1], &byte, 1);
}

void PollLoop::run_once(std::int64_t max_wait_ms) {
  std::vector<pollfd> fds;
  fds.reserve(m_watches.size() + 1);
  if (m_wake[0] >= 0) fds.push_back(pollfd{m_wake[0], POLLIN, 0});
  for (const auto& [fd, watch] : m_watches) {
    short events = 0;
    if (watch.events & kIoRead) events |= POLLIN;
    if (watch.events & kIoWrite) events |= POLLOUT;
    fds.push_back(pollfd{fd, events, 0});
  }
  std::int64_t wait = max_wait_ms;
  if (has_posted() || has_foreign()) wait = 0;
  const std::int64_t deadline = next_deadline();
  if (deadline >= 0) wait = std::min(wait, std::max<std::int64_t>(deadline - read_clock(), 0));
  const int n = ::poll(fds.data(), fds.size(), static_cast<int>(std::max<std::int64_t>(wait, 0)));
  m_now = read_clock();
  if (n > 0) {
    for (const pollfd& p : fds) {
      if (p.revents == 0) continue;
      if (p.fd == m_wake[0]) {
        char buf[64];
        while (::read(m_wake[0], buf, sizeof buf) > 0) {
        }
        continue;  // dispatch_due takes the tasks queued from other threads
      }
      unsigned ready = 0;
      if (p.revents & POLLIN) ready |= kIoRead;
      if (p.revents & POLLOUT) ready |= kIoWrite;
      if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) ready |= kIoError;
      // The watch may have been removed or replaced by an earlier handler.
      const auto it = m_watches.find(p.fd);
      if (it == m_watches.end()) continue;
      std::function<void(unsigned)> fn = it->second.fn;
      fn(ready);
    }
  }
  dispatch_due();
}

void PollLoop::run() {
  m_stopped = false;
  while (!m_stopped && (timer_count() > 0 || !m_watches.empty() || has_posted())) {
    run_once(60000);
  }
}

bool PollLoop::run_until(const std::function<bool()>& done, std::int64_t timeout_ms) {
  m_stopped = false;
  const std::int64_t end = read_clock() + timeout_ms;
  while (!m_stopped) {
    if (done()) return true;
    const std::int64_t left = end - read_clock();
    if (left <= 0) return done();
    run_once(left);
  }
  return done();
}

}  // namespace quillo::host
