// clsXMLHttpManager: all HTTP traffic goes through it. It limits how many
// requests of each data source are in flight at once (the channel table),
// parks the excess in per-channel queues, sends queued and failed requests
// again from the one-second pass, and owns the pool of request monitors,
// one per request number, each carrying one request at a time.
//
// Callers never wait: they hand over a request and the name of a response
// processor; the answer arrives later on the loop thread. A channel sends in
// the order requests were handed over: a new one goes behind those already
// queued there and is sent at once only when nothing waits before it and
// there is room, so a request sent again by every update round never keeps
// one that has waited longer (or was never sent) out of its channel. A monitor serves
// one request number on one channel; a call for a request number whose
// monitor on that channel is still busy is dropped, not queued. A monitor
// exists only while its request is under way: a table of a hundred
// thousand requests, each answered once, keeps none once they are answered
// (idle monitors are let go from a task the manager posts, never from
// inside one of their own functions).
//
// With send_on_completion on, a completion that frees a slot in a channel
// also sends that channel's next queued request at once (the per-channel
// limit still holds); by default queued requests wait for the next pass, or
// for the next request handed to their channel, which sends the queue's
// front first.
//
// Loop thread only. Lookups of monitors by request number and of channels
// by name go through indexes, not scans.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/cls_log.h"
#include "host/event_loop.h"
#include "http/clsXMLHttpMonitor.h"
#include "http/http_transport.h"
#include "http/response_processors.h"

namespace quillo::http {

struct Channel {
  std::string name;                // data source code, or "wlink", "search", "internal"
  std::deque<std::int32_t> queue;  // monitor ids waiting to be sent, first in first out
  std::int32_t max_requests_allowed = 0;
  std::int32_t inflight = 0;
  // "internal" carries the product site's document and definitions: their
  // redirects must stay on the requested origin (HttpSettings).
  bool same_origin_redirects = false;
};

// A data source's channel as the definitions give it.
struct ChannelSpec {
  std::string name;
  std::int32_t max_requests_allowed = 0;
};

class clsXMLHttpManager {
 public:
  clsXMLHttpManager(host::EventLoop& loop, HttpTransport& transport,
                    const ResponseProcessors& processors, cls_log& log);
  ~clsXMLHttpManager();

  // Builds the channel table: one channel per data source in order, then
  // "wlink", "search" and "internal" with a limit of 1 each; "internal"
  // follows redirects only on the requested origin.
  void manager_setup(const std::vector<ChannelSpec>& sources);
  // The id (1..255) of the first channel named exactly name, or 0.
  std::uint8_t getchannelid(std::string_view name) const;
  // Starts a request: queued behind those waiting on its channel, and the
  // queue's front sent as far as the limit allows. False when the channel
  // does not exist (nothing sent).
  bool XMLHttpCall(const std::string& method, const std::string& url, const std::string& processor,
                   std::int32_t reqno, std::uint8_t channel);
  // Withdraws every request and empties the queues (shutdown).
  void close_monitors();
  // Withdraws every request delivered to the named processor, wherever it
  // stands (in flight, queued, waiting to be retried); other requests go on.
  void abort_processor(std::string_view processor);
  // Withdraws the requests delivered to the named processor whose request
  // numbers `which` picks, wherever they stand; other requests go on.
  void abort_requests(std::string_view processor,
                      const std::function<bool(std::int32_t reqno)>& which);
  void httperrorqueue_addmonitor(std::int32_t id);
  // The one-second pass: failed requests first (whatever the limits), then
  // each channel's queue as far as its limit allows.
  void httpqueue_sendout();

  void set_settings(const HttpSettings& settings) { m_settings = settings; }
  const HttpSettings& settings() const { return m_settings; }
  void set_send_on_completion(bool on) { m_send_on_completion = on; }
  bool send_on_completion() const { return m_send_on_completion; }

  // Channel by id (1-based); requires a valid id.
  Channel& channel(std::uint8_t id) { return m_channels.at(id - 1u); }
  const Channel& channel(std::uint8_t id) const { return m_channels.at(id - 1u); }
  std::size_t channel_count() const { return m_channels.size(); }
  // The monitors that exist: busy ones, and idle ones not yet let go.
  std::size_t monitor_count() const { return m_monitor_by_reqno.size(); }
  // How many times the request's last call on the channel was sent, retries
  // included (0 when it has no monitor there).
  std::int32_t tries(std::int32_t reqno, std::uint8_t channel) const;
  // The monitor with this id; requires one (std::out_of_range otherwise).
  clsXMLHttpMonitor& monitor(std::int32_t id);
  // The monitor with this id; null when there is none (let go, or never made).
  clsXMLHttpMonitor* find_monitor(std::int32_t id) const;
  const std::deque<std::int32_t>& error_queue() const { return m_error_queue; }

  // For the monitors.
  host::EventLoop& loop() { return m_loop; }
  HttpTransport& transport() { return m_transport; }
  const ResponseProcessors& processors() const { return m_processors; }
  cls_log& log() { return m_log; }
  // A monitor of the channel finished: with send_on_completion, fill the slot.
  void slot_freed(std::uint8_t channel);
  // The manager's one copy of a method's or processor's name, kept for the
  // manager's lifetime.
  const std::string& name(std::string_view text);
  // A monitor became idle: it is let go by a task posted for it, unless it
  // takes a request again first.
  void monitor_idle(std::int32_t id);
  // A number no attempt of any monitor of this manager had before.
  std::uint64_t next_attempt() { return ++m_attempts; }
  // Expires when the manager is destroyed; tasks a monitor posts check it.
  std::weak_ptr<int> alive_token() const { return m_alive; }

 private:
  clsXMLHttpMonitor& monitor_get(std::int32_t reqno, std::uint8_t channel);
  // Sends from the front of the channel's queue while it has room.
  void send_queued(Channel& c);
  // Lets go of the monitors that became idle and are still idle.
  void release_idle();

  host::EventLoop& m_loop;
  HttpTransport& m_transport;
  const ResponseProcessors& m_processors;
  cls_log& m_log;
  HttpSettings m_settings;
  bool m_send_on_completion = false;
  std::vector<Channel> m_channels;
  std::deque<std::int32_t> m_error_queue;
  // By id - 1; null where a monitor was let go. Freed ids are given again.
  std::vector<std::unique_ptr<clsXMLHttpMonitor>> m_monitors;
  std::vector<std::int32_t> m_free_ids;
  // Monitors that became idle since the last release, and whether a task
  // to release them is posted.
  std::vector<std::int32_t> m_idle;
  bool m_release_posted = false;
  bool m_closing = false;
  std::uint64_t m_attempts = 0;
  std::deque<std::string> m_names;  // see name(); a deque never moves them
  // Monitor ids by request number and channel id (reqno << 8 | channel).
  std::unordered_map<std::uint64_t, std::int32_t> m_monitor_by_reqno;
  std::shared_ptr<int> m_alive = std::make_shared<int>(0);
};

}  // namespace quillo::http
