#include "host/event_loop.h"

#include <algorithm>

namespace quillo::host {

TimerId EventLoop::add(std::int64_t delay, std::int64_t interval, std::function<void()> fn) {
  const TimerId id = m_next_id++;
  const auto key = std::make_pair(m_now + std::max<std::int64_t>(delay, 0), m_sequence++);
  m_queue.emplace(key, id);
  m_timers.emplace(id, std::make_pair(Timer{interval, std::move(fn)}, key));
  schedule_changed();
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
  schedule_changed();
}

void EventLoop::post(std::function<void()> fn) {
  m_posted.push_back(std::move(fn));
  schedule_changed();
}

void EventLoop::watch_fd(int fd, unsigned events, std::function<void(unsigned)> fn) {
  m_watches[fd] = Watch{events, std::move(fn)};
}

void EventLoop::unwatch_fd(int fd) {
  m_watches.erase(fd);
}

void EventLoop::post_from_any_thread(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(m_foreign_mutex);
    m_foreign.push_back(std::move(fn));
  }
  wake_from_any_thread();
}

bool EventLoop::has_foreign() const {
  std::lock_guard<std::mutex> lock(m_foreign_mutex);
  return !m_foreign.empty();
}

void EventLoop::take_foreign() {
  std::vector<std::function<void()>> foreign;
  {
    std::lock_guard<std::mutex> lock(m_foreign_mutex);
    foreign.swap(m_foreign);
  }
  for (auto& fn : foreign) m_posted.push_back(std::move(fn));
}

std::int64_t EventLoop::next_deadline() const {
  return m_queue.empty() ? -1 : m_queue.begin()->first.first;
}

void EventLoop::dispatch_due() {
  take_foreign();
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

// ---- VirtualLoop -------------------------------------------------------------

void VirtualLoop::move_to(std::int64_t ms) {
  m_clock.advance(ms - m_now);
  m_now = ms;
}

void VirtualLoop::advance(std::int64_t ms) {
  const std::int64_t end = m_now + std::max<std::int64_t>(ms, 0);
  dispatch_due();
  while (true) {
    const std::int64_t next = next_deadline();
    if (next < 0 || next > end) break;
    move_to(std::max(m_now, next));
    dispatch_due();
  }
  move_to(end);
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
