#include "http/clsXMLHttpManager.h"

#include <algorithm>

namespace quillo::http {

clsXMLHttpManager::clsXMLHttpManager(host::EventLoop& loop, HttpTransport& transport,
                                     const ResponseProcessors& processors, cls_log& log)
    : m_loop(loop), m_transport(transport), m_processors(processors), m_log(log) {}

clsXMLHttpManager::~clsXMLHttpManager() {
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

clsXMLHttpMonitor& clsXMLHttpManager::monitor_get(std::int32_t reqno, std::uint8_t channel) {
  // One monitor per request number and channel: the symbol search and the
  // definitions download share request number 100002 on two channels, and
  // must not drop each other's requests nor take each other's slots.
  const std::uint64_t key =
      (static_cast<std::uint64_t>(static_cast<std::uint32_t>(reqno)) << 8) | channel;
  const auto it = m_monitor_by_reqno.find(key);
  if (it != m_monitor_by_reqno.end()) return monitor(it->second);
  const auto id = static_cast<std::int32_t>(m_monitors.size() + 1);
  m_monitors.push_back(std::make_unique<clsXMLHttpMonitor>(*this));
  m_monitors.back()->monitor_setup(reqno, channel, id);
  m_monitor_by_reqno.emplace(key, id);
  return *m_monitors.back();
}

std::int32_t clsXMLHttpManager::tries(std::int32_t reqno, std::uint8_t channel) const {
  const std::uint64_t key =
      (static_cast<std::uint64_t>(static_cast<std::uint32_t>(reqno)) << 8) | channel;
  const auto it = m_monitor_by_reqno.find(key);
  return it == m_monitor_by_reqno.end() ? 0 : m_monitors.at(it->second - 1)->tries();
}

bool clsXMLHttpManager::XMLHttpCall(const std::string& method, const std::string& url,
                                    const std::string& processor, std::int32_t reqno,
                                    std::uint8_t channel_id) {
  if (channel_id == 0 || channel_id > m_channels.size()) return false;
  clsXMLHttpMonitor& m = monitor_get(reqno, channel_id);
  if (!m.IAmAvailable()) return true;  // an earlier call is under way: dropped
  m.XMLHttpCall_setup(method, url, processor);
  // The monitor belongs to this channel: its limit, queue and in-flight
  // count are the channel's.
  Channel& c = channel(channel_id);
  if (c.inflight < c.max_requests_allowed) {
    m.xmlhttpcall_send();
  } else {
    c.queue.push_back(m.id_get());
  }
  return true;
}

void clsXMLHttpManager::close_monitors() {
  for (const auto& m : m_monitors) m->abort();
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
    if (m->state() == MonitorState::Idle || m->processor() != processor) continue;
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

void clsXMLHttpManager::send_queued(Channel& c, std::int32_t count) {
  for (std::int32_t i = 0; i < count && !c.queue.empty(); ++i) {
    const std::int32_t id = c.queue.front();
    c.queue.pop_front();
    monitor(id).xmlhttpcall_send();
  }
}

void clsXMLHttpManager::httpqueue_sendout() {
  const std::size_t failed = m_error_queue.size();
  for (std::size_t i = 0; i < failed && !m_error_queue.empty(); ++i) {
    const std::int32_t id = m_error_queue.front();
    m_error_queue.pop_front();
    monitor(id).xmlhttpcall_send();
  }
  // By index: a send cannot add channels, but re-read the bound anyway.
  for (std::size_t i = 0; i < m_channels.size(); ++i) {
    Channel& c = m_channels[i];
    if (c.queue.empty() || c.inflight >= c.max_requests_allowed) continue;
    const auto room = static_cast<std::int32_t>(std::min<std::size_t>(
        c.queue.size(), static_cast<std::size_t>(c.max_requests_allowed - c.inflight)));
    send_queued(c, room);
  }
}

void clsXMLHttpManager::slot_freed(std::uint8_t channel_id) {
  if (!m_send_on_completion || channel_id == 0 || channel_id > m_channels.size()) return;
  Channel& c = channel(channel_id);
  if (!c.queue.empty() && c.inflight < c.max_requests_allowed) {
    send_queued(c, c.max_requests_allowed - c.inflight);
  }
}

}  // namespace quillo::http
