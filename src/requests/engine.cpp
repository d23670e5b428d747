#include "requests/engine.h"

#include <unordered_set>

namespace quillo {

namespace {
// Price-history requests go out on a channel of their own (their source is
// "yah"), a few at a time.
constexpr const char* kHistoryChannel = "yah";
constexpr std::int32_t kHistoryChannelLimit = 4;

// Runs fn with the registry's `calculating` flag set for its duration: the
// add-in's own writes of history tables and indicator series.
void while_calculating(RequestRegistry& registry, const std::function<void()>& fn) {
  RequestRegistry::CalculatingScope scope(registry);
  fn();
}
}  // namespace

Engine::Engine(host::Application& app, host::EventLoop& loop, http::HttpTransport& transport)
    : m_app(app),
      m_loop(loop),
      m_transport(transport),
      m_manager(loop, transport, m_processors, m_log),
      m_registry(app),
      m_dispatch(m_registry, m_manager, m_definitions, m_policy),
      m_ctx{m_definitions, m_registry, m_dispatch, &m_single_memo},
      m_history_parser(
          app, m_areas,
          [this](const std::function<void()>& fn) { while_calculating(m_registry, fn); }),
      m_history{m_registry, m_dispatch, m_areas, app, {}},
      m_calcs(app, indicators::CalcFlag{[this] { return m_registry.calculating(); },
                                        [this](const std::function<void()>& fn) {
                                          while_calculating(m_registry, fn);
                                        }}),
      m_indicators(m_calcs),
      m_weblinks(m_links, m_registry, m_dispatch, m_policy),
      m_core(m_ctx, m_history, m_indicators, m_weblinks),
      m_provenance(app, m_registry, m_definitions) {
  m_dispatch.set_provenance(&m_provenance);
  m_core.set_call_observer([this](std::string_view method, host::AddInArgs args) {
    m_provenance.note_call(method, args);
  });
  m_dispatch.set_history(&m_history_parser);
  m_dispatch.set_weblinks(&m_weblinks);
  // Resetting the requests erases the history areas with them.
  m_registry.set_on_reset([this] { m_areas.reset(); });
  m_manager.manager_setup({{kHistoryChannel, kHistoryChannelLimit}});
  m_processors.add(RequestDispatch::kProcessorName,
                   [this](const std::string& text, std::int32_t r, std::int16_t status,
                          const std::string& message) {
                     m_dispatch.HttpResponseProcessor(text, r, status, message);
                   });
  // A reset withdraws the data requests in flight: their answers belong to
  // the old table.
  // The provenance log keeps what it noted of their answers by URL (the
  // hook runs while the table still holds them).
  m_registry.set_on_abort([this] {
    m_manager.abort_processor(RequestDispatch::kProcessorName);
    m_provenance.requests_leaving_all();
  });
  // Requests nobody waits on are withdrawn, and their history areas, whose
  // cells are gone, wait for no table any more.
  m_registry.set_on_forget([this](const std::vector<std::int32_t>& gone) {
    m_provenance.requests_leaving(gone);
    const std::unordered_set<std::int32_t> numbers(gone.begin(), gone.end());
    m_manager.abort_requests(RequestDispatch::kProcessorName,
                             [&numbers](std::int32_t r) { return numbers.contains(r); });
    for (std::size_t i = 1; i <= m_areas.size(); ++i) {
      history::Area& area = m_areas.at(i);
      if (!numbers.contains(area.reqno)) continue;
      area.pending = false;
      area.reqno = 0;
    }
  });
  // A successful load sets up the manager's channels from the sources.
  m_definitions.set_on_loaded([this](const Definitions& d) {
    std::vector<http::ChannelSpec> channels;
    for (const DataSource& s : d.datasources()) {
      channels.push_back({s.code, s.max_requests_or_default()});
    }
    channels.push_back({kHistoryChannel, kHistoryChannelLimit});
    m_manager.manager_setup(channels);
  });
}

Engine::~Engine() {
  // The methods refer to this engine's core: formulas evaluated after it is
  // gone must not reach it.
  if (m_methods_registered) core::unregister_methods(m_app.add_in_methods());
  if (m_pass != 0) m_loop.kill_timer(m_pass);
  m_manager.close_monitors();
}

bool Engine::load_definitions(std::string_view xml) {
  return m_definitions.load_text(xml);
}

void Engine::register_methods() {
  m_core.register_methods(m_app.add_in_methods());
  m_methods_registered = true;
}

Status Engine::install_library(const std::string& path) {
  register_methods();
  auto lib = m_app.add_ins().add(path);
  if (!lib.ok()) return lib.status();
  return (*lib)->set_installed(true);
}

void Engine::start_pass(std::int64_t interval_ms) {
  if (m_pass != 0) m_loop.kill_timer(m_pass);
  m_pass = m_loop.set_timer(interval_ms, [this] {
    m_manager.httpqueue_sendout();
    m_calcs.calc_pass();
  });
}

bool Engine::idle() const {
  if (m_registry.inflight_count() != 0 || m_transport.in_flight() != 0) return false;
  if (!m_manager.error_queue().empty()) return false;
  for (std::size_t c = 1; c <= m_manager.channel_count(); ++c) {
    if (!m_manager.channel(static_cast<std::uint8_t>(c)).queue.empty()) return false;
  }
  return true;
}

}  // namespace quillo
