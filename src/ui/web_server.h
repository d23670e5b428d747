// The browser view's local web server: it serves the built front end and a
// small JSON interface to the engine, on the loopback address only, and
// only to requests whose path starts with the access token
// ("/<token>/..."); anything else is answered 404 without a hint. Every
// answer carries a content security policy that lets the page load its
// own scripts and styles and talk to this server, nothing else.
//
// Other programs on the machine can connect without the token, so the
// server is built to stay responsive to the page whatever they do:
// - One thread serves every connection with poll(2); nothing blocks on a
//   client, so slow or idle connections hold no thread.
// - A request's head must arrive within kHeadTimeoutMs, its body within
//   kBodyTimeoutMs; a connection that showed the token may stay idle for
//   kIdleTimeoutMs between requests.
// - Connections are bounded per client address (kMaxPerClient), in total
//   (kMaxConnections) and by the process's descriptors. When a bound is
//   reached a connection is closed to make room: the oldest that never
//   showed the token, whatever it is doing (it is only ever waiting or
//   being refused), else the oldest that is only waiting (for a request,
//   or for the rest of one). A connection busy with an answer or a stream
//   is never dropped for it. Before one that never showed the token gives
//   way its input is read once more, so a request with the token that has
//   arrived is answered however many connections came with or after it.
//   When nothing can give way, a new connection is closed; when
//   descriptors ran out, it waits in the backlog until one is free.
// - The Host must name this server (127.0.0.1, localhost or [::1] with its
//   port) and an Origin, when sent, must be this server's own: others get
//   403, which stops DNS rebinding and posts from other sites.
// - The head is checked (Host, Origin, token, length) before the body is
//   read; a request that fails is answered and the connection closed.
// - Interface calls refuse requests a page's images, styles or frames make
//   (Sec-Fetch-Dest other than "empty"), and the event stream needs
//   "Accept: text/event-stream", which only EventSource sends: a page shown
//   in the link wizard's frame cannot reach them through relative addresses.
//
// Threads: the server thread never touches the engine. Each interface call
// is posted to the event loop (post_from_any_thread); the loop's answer is
// handed back to the server thread, or 503 after kLoopWaitMs. The loop never
// waits for the server thread or a page: what it has to tell the page it
// publishes, and publish only queues the text for the page's event stream.
//
// Event streams (server-sent events): GET /<token>/api/events?client=ID.
// A client has at most one stream; a new one replaces the old; at most
// kMaxStreams are open, a new one beyond that ends the oldest. A stream
// ends by itself after a while so that a page whose connection broke
// silently is forgotten; the page's EventSource reconnects, and the page
// asks for its cells again whenever a stream opens, so nothing published
// while it was away is missed.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/status.h"
#include "host/event_loop.h"

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
  static constexpr std::int64_t kHeadTimeoutMs = 10000;
  static constexpr std::int64_t kBodyTimeoutMs = 30000;
  static constexpr std::int64_t kIdleTimeoutMs = 60000;
  static constexpr std::size_t kMaxConnections = 256;
  static constexpr std::size_t kMaxPerClient = 64;
  static constexpr std::size_t kMaxStreams = 16;
  static constexpr std::size_t kMaxHeadBytes = 16 * 1024;
  static constexpr std::size_t kMaxBodyBytes = 4 * 1024 * 1024;

  // web_root: the folder of the built front end (index.html and its files).
  WebServer(host::EventLoop& loop, std::string token, std::string web_root, ApiHandler api);
  ~WebServer();  // stop()
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Binds 127.0.0.1:port (0: any free port) and starts answering on a
  // thread of its own. Fails when the port cannot be bound, among others
  // when another program (another quillo ui) listens on it.
  Status start(int port);
  // Ends every stream and connection and joins the server thread. Calls
  // waiting for the loop are dropped.
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

  struct Shared;  // state shared with the server thread and posted tasks

 private:
  host::EventLoop& m_loop;
  std::shared_ptr<Shared> m_shared;
  int m_port = 0;
};

// Quotes s as a JSON string (with its quotes); control characters escaped.
std::string json_string(std::string_view s);

}  // namespace quillo::ui
