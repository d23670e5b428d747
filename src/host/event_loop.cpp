#include "host/event_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace quillo::host {

TimerId EventLoop::add(std::int64_t delay, std::int64_t interval, std::function<void()> fn) {
  const TimerId id = m_next_id++;
  const auto key = std::make_pair(m_now + std::max<std::int64_t>(delay, 0), m_sequence++);
  m_queue.emplace(key, id);
  m_timers.emplace(id, std::make_pair(Timer{interval, std::move(fn)}, key));
  return id;
}

TimerId EventLoop::set_timer(std::int64_t interval_ms, std::function<void()> fn) {
  const std::int64_t interval = std::max<std::int64_t>(interval_ms, 1);
  return add(interval, interval, std::move(fn));
}

TimerId EventLoop::set_timeout(std::int64_t delay_ms, std::function<void()> fn) {
  return add(delay_ms, 0, std::move(fn));
}

void EventLoop::kill_timer(TimerId id) {
  const auto it = m_timers.find(id);
  if (it == m_timers.end()) return;
  m_queue.erase(it->second.second);
  m_timers.erase(it);
}

void EventLoop::post(std::function<void()> fn) {
  m_posted.push_back(std::move(fn));
}

void EventLoop::watch_fd(int fd, unsigned events, std::function<void(unsigned)> fn) {
  m_watches[fd] = Watch{events, std::move(fn)};
}

void EventLoop::unwatch_fd(int fd) {
  m_watches.erase(fd);
}

std::int64_t EventLoop::next_deadline() const {
  return m_queue.empty() ? -1 : m_queue.begin()->first.first;
}

void EventLoop::dispatch_due() {
  // Posted tasks first, including those posted while they run.
  while (!m_posted.empty()) {
    std::vector<std::function<void()>> tasks;
    tasks.swap(m_posted);
    for (auto& task : tasks) task();
  }
  // Then the timers due now, one at a time: a handler may set or kill
  // timers (itself included), so the queue is looked at afresh each time.
  // A repeating timer is rescheduled before it runs, after every timer
  // already due, so it cannot starve the others.
  while (!m_queue.empty() && m_queue.begin()->first.first <= m_now) {
    const TimerId id = m_queue.begin()->second;
    m_queue.erase(m_queue.begin());
    auto it = m_timers.find(id);
    std::function<void()> fn = it->second.first.fn;
    if (it->second.first.interval > 0) {
      const auto key = std::make_pair(m_now + it->second.first.interval, m_sequence++);
      m_queue.emplace(key, id);
      it->second.second = key;
    } else {
      m_timers.erase(it);
    }
    fn();
    while (!m_posted.empty()) {
      std::vector<std::function<void()>> tasks;
      tasks.swap(m_posted);
      for (auto& task : tasks) task();
    }
  }
}

// ---- PollLoop ----------------------------------------------------------------

PollLoop::PollLoop() {
  if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) m_wake[0] = m_wake[1] = -1;
  m_now = read_clock();
}

PollLoop::~PollLoop() {
  for (int fd : m_wake) {
    if (fd >= 0) ::close(fd);
  }
}

std::int64_t PollLoop::read_clock() const {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void PollLoop::post_from_any_thread(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(m_foreign_mutex);
    m_foreign.push_back(std::move(fn));
  }
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
  if (has_posted()) wait = 0;
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
        std::vector<std::function<void()>> foreign;
        {
          std::lock_guard<std::mutex> lock(m_foreign_mutex);
          foreign.swap(m_foreign);
        }
        for (auto& fn : foreign) post(std::move(fn));
        continue;
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

// ---- VirtualLoop -------------------------------------------------------------

void VirtualLoop::advance(std::int64_t ms) {
  const std::int64_t end = m_now + std::max<std::int64_t>(ms, 0);
  dispatch_due();
  while (true) {
    const std::int64_t next = next_deadline();
    if (next < 0 || next > end) break;
    m_now = std::max(m_now, next);
    dispatch_due();
  }
  m_now = end;
  dispatch_due();
}

void VirtualLoop::signal_fd(int fd, unsigned events) {
  const auto it = m_watches.find(fd);
  if (it == m_watches.end()) return;
  std::function<void(unsigned)> fn = it->second.fn;
  fn(events);
  dispatch_due();
}

}  // namespace quillo::host
