#include "ui/web_server.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "ui/access_token.h"

namespace quillo::ui {

const char* const kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; frame-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

namespace {

// How long one event stream lasts before the page is made to reconnect,
// and how often a stream sends a comment to find out whether the page is
// still there.
constexpr auto kStreamLifetime = std::chrono::seconds(60);
constexpr auto kStreamPing = std::chrono::seconds(10);

// One page's event stream: events wait here until its server thread sends them.
struct Stream {
  std::deque<std::string> queue;
  bool closed = false;
};

std::string content_type(const std::string& name) {
  const auto dot = name.rfind('.');
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (ext == "html") return "text/html; charset=utf-8";
  if (ext == "js") return "text/javascript; charset=utf-8";
  if (ext == "css") return "text/css; charset=utf-8";
  if (ext == "svg") return "image/svg+xml";
  if (ext == "png") return "image/png";
  if (ext == "json" || ext == "map") return "application/json";
  return "application/octet-stream";
}

// A file name the front end may ask for: one plain name, no folder, no
// hidden file.
bool plain_file_name(const std::string& name) {
  if (name.empty() || name[0] == '.') return false;
  for (const char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

void security_headers(httplib::Response& res) {
  res.set_header("Content-Security-Policy", kContentSecurityPolicy);
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Cache-Control", "no-store");
}

}  // namespace

struct WebServer::Shared {
  std::string token;
  std::string web_root;
  ApiHandler api;
  httplib::Server server;
  std::thread thread;

  std::mutex mutex;
  std::condition_variable changed;
  bool closing = false;
  std::map<std::string, std::shared_ptr<Stream>> streams;  // by client

  // Splits "/<token>/rest" and checks the token; nullopt when it is wrong.
  std::optional<std::string> authorized_rest(const std::string& path) const {
    if (path.size() < 2 || path[0] != '/') return std::nullopt;
    const auto slash = path.find('/', 1);
    const std::string_view given = std::string_view(path).substr(
        1, slash == std::string::npos ? std::string::npos : slash - 1);
    if (!same_token(given, token)) return std::nullopt;
    return slash == std::string::npos ? std::string() : path.substr(slash + 1);
  }
};

WebServer::WebServer(host::PollLoop& loop, std::string token, std::string web_root, ApiHandler api)
    : m_loop(loop), m_shared(std::make_shared<Shared>()) {
  m_shared->token = std::move(token);
  m_shared->web_root = std::move(web_root);
  m_shared->api = std::move(api);
}

WebServer::~WebServer() {
  stop();
}

std::string WebServer::address() const {
  return "http://127.0.0.1:" + std::to_string(m_port) + "/" + m_shared->token + "/";
}

Status WebServer::start(int port) {
  // The handlers live in the server, which Shared owns: they hold Shared
  // weakly, or it would own itself and never be freed.
  std::weak_ptr<Shared> weak = m_shared;
  httplib::Server& srv = m_shared->server;
  srv.set_tcp_nodelay(true);
  srv.set_keep_alive_max_count(1000);
  srv.set_payload_max_length(4 * 1024 * 1024);
  // Nothing answers without the token; the rest of the path is the route.
  srv.set_pre_routing_handler([weak](const httplib::Request& req, httplib::Response& res) {
    security_headers(res);
    const auto shared = weak.lock();
    if (!shared || !shared->authorized_rest(req.path)) {
      res.status = 404;
      res.set_content("not found\n", "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  srv.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    security_headers(res);
    if (res.body.empty()) res.set_content("not found\n", "text/plain; charset=utf-8");
  });

  // The interface: every call runs on the loop; this thread waits for it.
  host::PollLoop* loop = &m_loop;
  auto api_call = [weak, loop](const httplib::Request& req, httplib::Response& res) {
    const auto shared = weak.lock();
    if (!shared) return;
    ApiRequest call;
    call.method = req.method;
    call.name = req.matches.size() > 1 ? std::string(req.matches[1]) : std::string();
    for (const auto& [k, v] : req.params) call.params.emplace(k, v);
    call.body = req.body;
    struct Slot {
      bool done = false;
      ApiReply reply;
    };
    auto slot = std::make_shared<Slot>();
    {
      std::lock_guard lock(shared->mutex);
      if (shared->closing) {
        res.status = 503;
        res.set_content(R"({"error":"quillo is stopping"})", "application/json");
        return;
      }
    }
    loop->post_from_any_thread([shared, slot, call = std::move(call)] {
      {
        std::lock_guard lock(shared->mutex);
        if (shared->closing) return;
      }
      ApiReply reply = shared->api(call);
      std::lock_guard lock(shared->mutex);
      slot->reply = std::move(reply);
      slot->done = true;
      shared->changed.notify_all();
    });
    std::unique_lock lock(shared->mutex);
    shared->changed.wait_for(lock, std::chrono::milliseconds(kLoopWaitMs),
                             [&] { return slot->done || shared->closing; });
    if (!slot->done) {
      res.status = 503;
      res.set_content(R"({"error":"quillo did not answer in time"})", "application/json");
      return;
    }
    res.status = slot->reply.status;
    res.set_content(slot->reply.json, "application/json; charset=utf-8");
  };
  srv.Get(R"(/[^/]+/api/(events))", [weak](const httplib::Request& req, httplib::Response& res) {
    const auto shared = weak.lock();
    if (!shared) return;
    const std::string client = req.get_param_value("client");
    if (client.empty() || client.size() > 64) {
      res.status = 400;
      res.set_content(R"({"error":"no client id"})", "application/json");
      return;
    }
    auto stream = std::make_shared<Stream>();
    // The page reconnects quickly after a stream ends.
    stream->queue.push_back("retry: 500\n\n");
    {
      std::lock_guard lock(shared->mutex);
      if (auto old = shared->streams.find(client); old != shared->streams.end()) {
        old->second->closed = true;
      }
      shared->streams[client] = stream;
      shared->changed.notify_all();
    }
    const auto until = std::chrono::steady_clock::now() + kStreamLifetime;
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [shared, stream, until](std::size_t, httplib::DataSink& sink) {
          std::deque<std::string> out;
          bool end = false;
          {
            std::unique_lock lock(shared->mutex);
            shared->changed.wait_for(lock, kStreamPing, [&] {
              return !stream->queue.empty() || stream->closed || shared->closing;
            });
            out.swap(stream->queue);
            end = stream->closed || shared->closing || std::chrono::steady_clock::now() >= until;
          }
          if (out.empty() && !end) out.push_back(": ping\n\n");
          for (const std::string& text : out) {
            if (!sink.is_writable() || !sink.write(text.data(), text.size())) return false;
          }
          if (end) sink.done();
          return true;
        },
        [shared, stream, client](bool) {
          std::lock_guard lock(shared->mutex);
          stream->closed = true;
          auto it = shared->streams.find(client);
          if (it != shared->streams.end() && it->second == stream) shared->streams.erase(it);
        });
  });
  srv.Get(R"(/[^/]+/api/(\w+))", api_call);
  srv.Post(R"(/[^/]+/api/(\w+))", api_call);
  // The front end's files, from the folder of the built front end.
  srv.Get(R"(/[^/]+/([^/]*))", [weak](const httplib::Request& req, httplib::Response& res) {
    const auto shared = weak.lock();
    if (!shared) return;
    std::string name = req.matches.size() > 1 ? std::string(req.matches[1]) : std::string();
    if (name.empty()) name = "index.html";
    if (!plain_file_name(name)) {
      res.status = 404;
      return;
    }
    std::ifstream in(shared->web_root + "/" + name, std::ios::binary);
    if (!in) {
      res.status = 404;
      return;
    }
    std::ostringstream body;
    body << in.rdbuf();
    res.set_content(body.str(), content_type(name).c_str());
  });
  // "/<token>" alone: on to the page, so that its relative addresses work.
  srv.Get(R"(/[^/]+)", [](const httplib::Request& req, httplib::Response& res) {
    res.set_redirect(req.path + "/");
  });

  const int bound = port == 0 ? srv.bind_to_any_port("127.0.0.1") : port;
  if (bound <= 0 || (port != 0 && !srv.bind_to_port("127.0.0.1", port))) {
    return Status::failed("cannot listen on 127.0.0.1" +
                          (port ? ":" + std::to_string(port) : std::string()));
  }
  m_port = bound;
  Shared* self = m_shared.get();
  m_shared->thread = std::thread([self] { self->server.listen_after_bind(); });
  for (int i = 0; i < 500 && !srv.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return {};
}

void WebServer::stop() {
  {
    std::lock_guard lock(m_shared->mutex);
    if (m_shared->closing && !m_shared->thread.joinable()) return;
    m_shared->closing = true;
    for (auto& [client, stream] : m_shared->streams) stream->closed = true;
    m_shared->changed.notify_all();
  }
  m_shared->server.stop();
  if (m_shared->thread.joinable()) m_shared->thread.join();
}

void WebServer::publish(const std::string& client, const std::string& event,
                        const std::string& data) {
  std::string text = "event: " + event + "\ndata: " + data + "\n\n";
  std::lock_guard lock(m_shared->mutex);
  for (auto& [id, stream] : m_shared->streams) {
    if (client.empty() || id == client) stream->queue.push_back(text);
  }
  m_shared->changed.notify_all();
}

std::vector<std::string> WebServer::clients() const {
  std::vector<std::string> out;
  std::lock_guard lock(m_shared->mutex);
  for (const auto& [id, stream] : m_shared->streams) out.push_back(id);
  return out;
}

std::string json_string(std::string_view s) {
  std::string out = "\"";
  for (const char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace quillo::ui
