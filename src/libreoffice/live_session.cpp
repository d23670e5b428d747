#include "libreoffice/live_session.h"

#include <charconv>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <utility>

#include "addin/Connectexcel.h"
#include "addin/dataload.h"
#include "addin/modRegistry.h"
#include "addin/startup_problems.h"
#include "common/function_library.h"
#include "host/messages.h"
#include "host/object_factory.h"
#include "host/posix/poll_loop.h"
#include "host/posix/xdg_open_browser.h"
#include "http/curl_transport.h"

namespace quillo::lo {

std::vector<LibraryEntry> library_entries(const std::string& library_text) {
  std::vector<LibraryEntry> out;
  const auto library = parse_function_library(library_text);
  if (!library.ok()) return out;
  for (const LibraryFunction& f : library->functions) {
    LibraryEntry e{f.name, f.method, 0, false};
    for (const LibraryParam& p : f.params) {
      if (p.caller) {
        e.takes_caller = true;
      } else {
        ++e.arguments;
      }
    }
    out.push_back(std::move(e));
  }
  return out;
}

std::int64_t minute_ms_from_environment(const char* seconds) {
  constexpr std::int64_t kMinute = 60000;
  if (!seconds || !*seconds) return kMinute;
  const std::string_view text(seconds);
  double s = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), s);
  if (error != std::errc() || end != text.data() + text.size() || !(s >= 0.01) || s > 86400) {
    return kMinute;
  }
  return static_cast<std::int64_t>(s * 1000);
}

namespace {

// Message boxes go to the main thread through the outbox (the worker may
// not open a window); the component shows them.
class QueuedMessages final : public host::MessageSink {
 public:
  void message_box(std::string_view text, std::string_view title, host::MessageIcon) override {
    std::string m =
        title.empty() ? std::string(text) : std::string(title) + ": " + std::string(text);
    pending.push_back(std::move(m));
  }
  std::vector<std::string> pending;
};

// The data files ship in data/ beside the component.
std::string data_folder(const std::string& module_folder) {
  std::error_code ec;
  const std::string data = module_folder + "data/";
  if (std::filesystem::exists(data + std::string(addin::kLibraryName), ec)) return data;
  return module_folder;
}

}  // namespace

struct LiveSession::Engine {
  explicit Engine(LiveSession& owner)
      : transport(loop),
        registry(addin::RegistryLocation::from_environment(),
                 [this](std::string_view w) { warn(w); }) {
    (void)owner;
  }

  // A damaged settings file (said once per file, as it is read) is shown
  // as a message: its settings are replaced by defaults, and cells would
  // only show what the defaults give.
  void warn(std::string_view w) {
    messages.message_box(w, "quillo", host::MessageIcon::Exclamation);
  }

  // Made on the worker, after the loop: the engine's pieces.
  void connect(const LiveSessionOptions& o) {
    state = std::make_shared<addin::AddinState>(addin::Platform{loop,
                                                                transport,
                                                                registry,
                                                                messages,
                                                                browser,
                                                                objects,
                                                                &data_folder,
                                                                o.minute_ms,
                                                                1000,
                                                                nullptr,
                                                                true,
                                                                {},
                                                                false});
    addin::register_classes(objects, o.module_path, state);
    auto made = objects.create(addin::kConnectProgId);
    if (made.ok()) connection = std::dynamic_pointer_cast<addin::Connectexcel>(*made);
    if (connection) {
      connection->IDTExtensibility2_OnConnection(app, addin::ConnectMode::Startup, nullptr);
    }
    // Without definitions every cell would only say its field is invalid,
    // and settings that cannot be read are replaced by defaults: the user
    // is told why once.
    if (connection && connection->connected()) {
      for (const std::string& problem :
           addin::startup_problems(registry, addin::RegistryLocation::from_environment().user_dir,
                                   state->definitions_error())) {
        messages.message_box(problem, "quillo", host::MessageIcon::Exclamation);
      }
    }
    if (!connection || !connection->connected()) {
      messages.message_box("the engine could not be started", "quillo",
                           host::MessageIcon::Critical);
    }
  }
  void disconnect() {
    if (connection) {
      connection->IDTExtensibility2_OnDisconnection(addin::DisconnectMode::HostShutdown);
      connection.reset();
    }
    addin::unregister_classes(objects);
    state.reset();
  }

  host::PollLoop loop;
  http::CurlTransport transport;
  addin::modRegistry registry;
  QueuedMessages messages;
  host::XdgOpenBrowser browser;
  host::ObjectRegistry objects;
  host::lo::LiveApplication app;
  std::shared_ptr<addin::AddinState> state;
  std::shared_ptr<addin::Connectexcel> connection;
  bool stop = false;
};

LiveSession::LiveSession(LiveSessionOptions options)
    : m_options(std::move(options)), m_engine(std::make_unique<Engine>(*this)) {
  m_worker = std::thread([this] { run(); });
}

LiveSession::~LiveSession() {
  stop();
}

void LiveSession::run() {
  Engine& e = *m_engine;
  e.connect(m_options);
  while (!e.stop) {
    // One turn of the loop: it waits for the next task, timer or reply
    // (a second at most), dispatches it, and the changes are handed out.
    bool turned = false;
    (void)e.loop.run_until(
        [&turned] {
          const bool done = turned;
          turned = true;
          return done;
        },
        1000);
    // Calc removes a call when no open document uses it any more (its
    // document was closed): the engine forgets the requests only removed
    // calls waited on, so nothing is fetched for the closed document any
    // more, while the calls still made keep their answers and are not
    // fetched again.
    if (e.app.take_removed() && e.state && e.state->engine()) {
      (void)e.state->engine()->forget_unwaited_requests();
    }
    std::vector<std::string> messages;
    messages.swap(e.messages.pending);
    if (m_outbox.put(e.app.take_changes(), std::move(messages)) && m_options.changes_ready) {
      m_options.changes_ready();
    }
  }
  e.disconnect();
}

void LiveSession::add_call(std::int64_t id, host::lo::LiveCall call) {
  if (m_stopping) return;
  m_engine->loop.post_from_any_thread([this, id, call = std::move(call)]() mutable {
    m_engine->app.add_call(id, std::move(call));
  });
}

void LiveSession::remove_call(std::int64_t id) {
  if (m_stopping) return;
  m_engine->loop.post_from_any_thread([this, id] { m_engine->app.remove_call(id); });
}

void LiveSession::menu(std::string caption) {
  if (m_stopping) return;
  m_engine->loop.post_from_any_thread([this, caption = std::move(caption)] {
    Engine& e = *m_engine;
    host::ControlPtr control;
    for (std::int32_t i = 1; !control && i <= e.app.command_bars().count(); ++i) {
      if (const auto bar = e.app.command_bars().item(i); bar.ok()) {
        control = (*bar)->find_control_by_caption(caption);
      }
    }
    const Status clicked = control ? control->click() : Status::failed("no such entry");
    if (!clicked.ok()) {
      e.messages.message_box("\"" + caption + "\" is not available: " + clicked.message(), "quillo",
                             host::MessageIcon::Exclamation);
    }
  });
}

void LiveSession::stop() {
  if (m_stopping.exchange(true)) {
    if (m_worker.joinable() && m_worker.get_id() != std::this_thread::get_id()) m_worker.join();
    return;
  }
  m_engine->loop.post_from_any_thread([this] { m_engine->stop = true; });
  if (m_worker.joinable()) m_worker.join();
}

}  // namespace quillo::lo
