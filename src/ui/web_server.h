// The browser view's local web server: it serves the built front end and a
// small JSON interface to the engine, on the loopback address only, and
// only to requests whose path starts with the access token
// ("/<token>/..."); anything else is answered 404 without a hint. Every
// answer carries a content security policy that lets the page load its
// own scripts and styles and talk to this server, nothing else.
//
// Threads: cpp-httplib answers requests on its own threads. The engine is
// never touched from them: each interface call is posted to the event loop
// (post_from_any_thread) and the server thread waits for the loop's answer
// (at most kLoopWaitMs, then 503). The loop never waits for a server
// thread or a page: what it has to tell the page it publishes, and publish
// only queues the text for the page's event stream.
//
// Event streams (server-sent events): GET /<token>/api/events?client=ID.
// A client has at most one stream; a new one replaces the old. A stream
// ends by itself after a while so that a page whose connection broke
// silently frees its thread; the page's EventSource reconnects, and the
// page asks for its cells again whenever a stream opens, so nothing
// published while it was away is missed.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "common/status.h"
#include "host/posix/poll_loop.h"

namespace quillo::ui {

// A call of the JSON interface: /<token>/api/<name>?params, with the body
// of a POST (the text of an edit, for example).
struct ApiRequest {
  std::string method;  // "GET" or "POST"
  std::string name;
  std::map<std::string, std::string> params;
  std::string body;
};

struct ApiReply {
  int status = 200;
  std::string json = "{}";
};

// Answers interface calls; runs on the loop thread.
using ApiHandler = std::function<ApiReply(const ApiRequest&)>;

// The policy every answer carries. Scripts and styles only from this
// server; frames only from srcdoc documents, which are sandboxed by the page.
extern const char* const kContentSecurityPolicy;

class WebServer {
 public:
  // How long a server thread waits for the loop before answering 503.
  static constexpr std::int64_t kLoopWaitMs = 15000;

  // web_root: the folder of the built front end (index.html and its files).
  WebServer(host::PollLoop& loop, std::string token, std::string web_root, ApiHandler api);
  ~WebServer();  // stop()
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Binds 127.0.0.1:port (0: any free port) and starts answering on a
  // thread of its own. Fails when the port cannot be bound.
  Status start(int port);
  // Ends every stream, stops answering and joins the server thread. Calls
  // waiting for the loop are answered 503 at once.
  void stop();

  int port() const { return m_port; }
  // http://127.0.0.1:PORT/TOKEN/
  std::string address() const;

  // Any thread: queues an event (name and one line of data) for the stream
  // of client, or of every client when client is empty. Dropped when the
  // client has no stream open.
  void publish(const std::string& client, const std::string& event, const std::string& data);
  // The clients with a stream open now.
  std::vector<std::string> clients() const;

  struct Shared;  // state shared with the server threads and posted tasks

 private:
  host::PollLoop& m_loop;
  std::shared_ptr<Shared> m_shared;
  int m_port = 0;
};

// Quotes s as a JSON string (with its quotes); control characters escaped.
std::string json_string(std::string_view s);

}  // namespace quillo::ui
