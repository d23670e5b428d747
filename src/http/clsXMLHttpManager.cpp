#include "http/clsXMLHttpManager.h"

#include <algorithm>
#include <stdexcept>

namespace quillo::http {

clsXMLHttpManager::clsXMLHttpManager(host::EventLoop& loop, HttpTransport& transport,
                                     const ResponseProcessors& processors, cls_log& log)
    : m_loop(loop), m_transport(transport), m_processors(processors), m_log(log) {}

clsXMLHttpManager::~clsXMLHttpManager() {
  m_closing = true;  // nothing is posted to a loop that may be gone
  close_monitors();
}

void clsXMLHttpManager::manager_setup(const std::vector<ChannelSpec>& sources) {
  m_error_queue.clear();
  m_channels.clear();
  for (const ChannelSpec& s : sources) {
    m_channels.push_back(Channel{s.name, {}, std::max(s.max_requests_allowed, 0), 0, false});
  }
  for (const char* name : {"wlink", "search", "internal"}) {
    m_channels.push_back(Channel{name, {}, 1, 0, std::string_view(name) == "internal"});
  }
  // Channel ids are bytes; further channels could never be named.
  if (m_channels.size() > 255) m_channels.resize(255);
}

std::uint8_t clsXMLHttpManager::getchannelid(std::string_view name) const {
  for (std::size_t i = 0; i < m_channels.size(); ++i) {
    if (m_channels[i].name == name) return static_cast<std::uint8_t>(i + 1);
  }
  return 0;
}

namespace {
std::uint64_t monitor_key(std::int32_t reqno, std::uint8_t channel) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(reqno)) << 8) | channel;
}
}  // namespace

clsXMLHttpMonitor* clsXMLHttpManager::find_monitor(std::int32_t id) const {
  if (id < 1 || static_cast<std::size_t>(id) > m_monitors.size()) return nullptr;
  return m_monitors[static_cast<std::size_t>(id - 1)].get();
}

clsXMLHttpMonitor& clsXMLHttpManager::monitor(std::int32_t id) {
  clsXMLHttpMonitor* m = find_monitor(id);
  if (!m) throw std::out_of_range("no monitor of that id");
  return *m;
}

clsXMLHttpMonitor& clsXMLHttpManager::monitor_get(std::int32_t reqno, std::uint8_t channel) {
  // One monitor per request number and channel: the symbol search and the
  // definitions download share request number 100002 on two channels, and
  // must not drop each other's requests nor take each other's slots.
  const std::uint64_t key = monitor_key(reqno, channel);
  const auto it = m_monitor_by_reqno.find(key);
  if (it != m_monitor_by_reqno.end()) return monitor(it->second);
  std::int32_t id;
  if (!m_free_ids.empty()) {
    id = m_free_ids.back();
    m_free_ids.pop_back();
  } else {
    m_monitors.emplace_back();
    id = static_cast<std::int32_t>(m_monitors.size());
  }
  auto& slot = m_monitors[static_cast<std::size_t>(id - 1)];
  slot = std::make_unique<clsXMLHttpMonitor>(*this);
  slot->monitor_setup(reqno, channel, id);
  m_monitor_by_reqno.emplace(key, id);
  return *slot;
}

const std::string& clsXMLHttpManager::name(std::string_view text) {
  for (const std::string& n : m_names) {
    if (n == text) return n;
  }
  return m_names.emplace_back(text);
}

void clsXMLHttpManager::monitor_idle(std::int32_t id) {
  if (m_closing) return;
  m_idle.push_back(id);
  if (m_release_posted) return;
  m_release_posted = true;
  std::weak_ptr<int> alive = m_alive;
  m_loop.post([this, alive] {
    if (!alive.expired()) release_idle();
  });
}

void clsXMLHttpManager::release_idle() {
  m_release_posted = false;
  for (const std::int32_t id : m_idle) {
    clsXMLHttpMonitor* m = find_monitor(id);
    // Taken again meanwhile, or already let go (listed twice).
    if (!m || !m->IAmAvailable()) continue;
    m_monitor_by_reqno.erase(monitor_key(m->get_reqno(), m->channel()));
    m_monitors[static_cast<std::size_t>(id - 1)].reset();
    m_free_ids.push_back(id);
  }
  m_idle.clear();
  if (m_monitor_by_reqno.empty()) {
    // Every request answered: give back the room the busiest moment took.
    std::vector<std::unique_ptr<clsXMLHttpMonitor>>().swap(m_monitors);
    std::vector<std::int32_t>().swap(m_free_ids);
    std::vector<std::int32_t>().swap(m_idle);
    std::unordered_map<std::uint64_t, std::int32_t>().swap(m_monitor_by_reqno);
  }
}

std::int32_t clsXMLHttpManager::tries(std::int32_t reqno, std::uint8_t channel) const {
  const auto it = m_monitor_by_reqno.find(monitor_key(reqno, channel));
  return it == m_monitor_by_reqno.end() ? 0 : find_monitor(it->second)->tries();
}

bool clsXMLHttpManager::XMLHttpCall(const std::string& method, const std::string& url,
                                    const std::string& processor, std::int32_t reqno,
                                    std::uint8_t channel_id) {
  if (channel_id == 0 || channel_id > m_channels.size()) return false;
  clsXMLHttpMonitor& m = monitor_get(reqno, channel_id);
  if (!m.IAmAvailable()) return true;  // an earlier call is under way: dropped
  m.XMLHttpCall_setup(name(method), url, name(processor));
  // The monitor belongs to this channel: its limit, queue and in-flight
  // count are the channel's.
  // It goes behind the requests already waiting there, so one sent again
  // by the update round never overtakes one that has waited longer (or was
  // never sent); the queue's front takes whatever room there is now.
  Channel& c = channel(channel_id);
  c.queue.push_back(m.id_get());
  send_queued(c);
  return true;
}

void clsXMLHttpManager::close_monitors() {
  // By index: an abort adds to the idle list, never to the monitors.
  for (std::size_t i = 0; i < m_monitors.size(); ++i) {
    if (m_monitors[i]) m_monitors[i]->abort();
  }
  for (Channel& c : m_channels) c.queue.clear();
  m_error_queue.clear();
}

void clsXMLHttpManager::abort_processor(std::string_view processor) {
  abort_requests(processor, [](std::int32_t) { return true; });
}

void clsXMLHttpManager::abort_requests(std::string_view processor,
                                       const std::function<bool(std::int32_t reqno)>& which) {
  std::unordered_map<std::int32_t, bool> aborted;
  for (const auto& m : m_monitors) {
    if (!m || m->state() == MonitorState::Idle || m->processor() != processor) continue;
    if (!which(m->get_reqno())) continue;
    m->abort();
    aborted[m->id_get()] = true;
  }
  if (aborted.empty()) return;
  auto drop = [&](std::deque<std::int32_t>& queue) {
    std::erase_if(queue, [&](std::int32_t id) { return aborted.contains(id); });
  };
  for (Channel& c : m_channels) drop(c.queue);
  drop(m_error_queue);
}

void clsXMLHttpManager::httperrorqueue_addmonitor(std::int32_t id) {
  m_error_queue.push_back(id);
}

void clsXMLHttpManager::send_queued(Channel& c) {
  // Bounded by the room in flight, not by a count of entries: an entry of a
  // request withdrawn meanwhile sends nothing and takes no room.
  while (!c.queue.empty() && c.inflight < c.max_requests_allowed) {
    const std::int32_t id = c.queue.front();
    c.queue.pop_front();
    if (clsXMLHttpMonitor* m = find_monitor(id)) m->xmlhttpcall_send();
  }
}

void clsXMLHttpManager::httpqueue_sendout() {
  const std::size_t failed = m_error_queue.size();
  for (std::size_t i = 0; i < failed && !m_error_queue.empty(); ++i) {
    const std::int32_t id = m_error_queue.front();
    m_error_queue.pop_front();
    if (clsXMLHttpMonitor* m = find_monitor(id)) m->xmlhttpcall_send();
  }
  // By index: a send cannot add channels, but re-read the bound anyway.
  for (std::size_t i = 0; i < m_channels.size(); ++i) {
    send_queued(m_channels[i]);
  }
}

void clsXMLHttpManager::slot_freed(std::uint8_t channel_id) {
  if (!m_send_on_completion || channel_id == 0 || channel_id > m_channels.size()) return;
  send_queued(channel(channel_id));
}

}  // namespace quillo::http
