#include "ui/web_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
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
constexpr std::int64_t kStreamLifetimeMs = 60000;
constexpr std::int64_t kStreamPingMs = 10000;
// A connection whose answer does not move for this long is dropped, and a
// stream whose page does not read falls this far behind at most.
constexpr std::int64_t kWriteTimeoutMs = 30000;
constexpr std::size_t kMaxStreamBacklog = 1024 * 1024;
// After a refusal the rest of the request is read and thrown away for a
// moment, so that the client sees the answer rather than a reset.
constexpr std::int64_t kDrainMs = 2000;
constexpr std::size_t kMaxFileBytes = 32 * 1024 * 1024;

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

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

bool word(std::string_view s) {
  if (s.empty()) return false;
  for (const char c : s) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A query's part as the page's URLSearchParams wrote it: "+" is a space,
// %XX a byte; a malformed escape stays as it is.
std::string query_decode(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && hex_digit(s[i + 1]) >= 0 &&
               hex_digit(s[i + 2]) >= 0) {
      out += static_cast<char>(hex_digit(s[i + 1]) * 16 + hex_digit(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::map<std::string, std::string> parse_query(std::string_view q) {
  std::map<std::string, std::string> out;
  while (!q.empty()) {
    const auto amp = q.find('&');
    const std::string_view part = q.substr(0, amp);
    q = amp == std::string_view::npos ? std::string_view() : q.substr(amp + 1);
    if (part.empty()) continue;
    const auto eq = part.find('=');
    out.emplace(query_decode(part.substr(0, eq)),
                eq == std::string_view::npos ? std::string() : query_decode(part.substr(eq + 1)));
  }
  return out;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

const char* reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 302:
      return "Found";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 410:
      return "Gone";
    case 413:
      return "Payload Too Large";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

// One request's head, as far as the server needs it.
struct Head {
  std::string method;
  std::string path;
  std::string query;
  bool http10 = false;
  std::map<std::string, std::string> headers;  // lower-case names
  std::size_t repeated_host = 0;
  const std::string* header(const char* name) const {
    auto it = headers.find(name);
    return it == headers.end() ? nullptr : &it->second;
  }
};

// Parses "METHOD TARGET HTTP/1.x" and the header lines; nullopt when it is
// not a request.
std::optional<Head> parse_head(std::string_view text) {
  Head head;
  bool first = true;
  while (!text.empty()) {
    const auto end = text.find("\r\n");
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 2);
    if (first) {
      first = false;
      const auto sp1 = line.find(' ');
      const auto sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
      if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos)
        return std::nullopt;
      head.method = std::string(line.substr(0, sp1));
      const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
      const std::string_view version = line.substr(sp2 + 1);
      if (version == "HTTP/1.0") {
        head.http10 = true;
      } else if (version != "HTTP/1.1") {
        return std::nullopt;
      }
      if (target.empty() || target[0] != '/') return std::nullopt;
      const auto q = target.find('?');
      head.path = std::string(target.substr(0, q));
      if (q != std::string_view::npos) head.query = std::string(target.substr(q + 1));
      continue;
    }
    if (line.empty()) continue;
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    std::string name = lower(line.substr(0, colon));
    if (name == "host" && head.headers.count(name)) ++head.repeated_host;
    head.headers[std::move(name)] = std::string(trim(line.substr(colon + 1)));
  }
  if (first) return std::nullopt;
  return head;
}

enum class State {
  Head,     // reading a request's head
  Body,     // reading its body
  Loop,     // waiting for the event loop's answer
  Writing,  // sending an answer
  Stream,   // an event stream
  Closing,  // answered and shut down for writing; reading what is left
};

struct Conn {
  int fd = -1;
  std::uint64_t id = 0;
  std::string peer;
  State state = State::Head;
  bool trusted = false;      // has shown the token
  bool close_after = false;  // close once the answer is sent
  bool eof = false;          // the client sends no more
  std::string in;
  std::string out;
  std::size_t out_pos = 0;
  std::int64_t deadline = 0;
  // The request being read or answered.
  Head head;
  std::size_t body_length = 0;
  std::uint64_t request = 0;  // numbers the requests, so a late answer finds no other
  // Streams only.
  std::string client;
  std::int64_t stream_until = 0;
  std::int64_t next_ping = 0;

  bool waiting() const { return state == State::Head || state == State::Body; }
  bool pending_output() const { return out_pos < out.size(); }
};

void security_headers(std::string& out) {
  out += "Content-Security-Policy: ";
  out += kContentSecurityPolicy;
  out +=
      "\r\nReferrer-Policy: no-referrer\r\nX-Content-Type-Options: nosniff\r\n"
      "Cache-Control: no-store\r\n";
}

}  // namespace

struct WebServer::Shared {
  std::string token;
  std::string web_root;
  ApiHandler api;
  int port = 0;
  int listen_fd = -1;
  int wake[2] = {-1, -1};
  std::thread thread;

  std::mutex mutex;  // guards everything below
  bool closing = false;
  std::uint64_t next_id = 0;
  std::map<std::uint64_t, std::unique_ptr<Conn>> conns;
  std::map<std::string, std::uint64_t> streams;  // client -> connection
  std::int64_t accept_after = 0;                 // new connections wait until then

  ~Shared() {
    if (listen_fd >= 0) ::close(listen_fd);
    for (const int fd : wake) {
      if (fd >= 0) ::close(fd);
    }
  }

  void wake_up() {
    const char b = 1;
    while (::write(wake[1], &b, 1) < 0 && errno == EINTR) {
    }
  }

  // Splits "/<token>/rest" and checks the token; nullopt when it is wrong.
  std::optional<std::string> authorized_rest(const std::string& path) const {
    if (path.size() < 2 || path[0] != '/') return std::nullopt;
    const auto slash = path.find('/', 1);
    const std::string_view given = std::string_view(path).substr(
        1, slash == std::string::npos ? std::string::npos : slash - 1);
    if (!same_token(given, token)) return std::nullopt;
    return slash == std::string::npos ? std::string() : path.substr(slash + 1);
  }

  // The names this server answers to: the loopback address, localhost and
  // the IPv6 loopback, each with the port.
  bool own_host(std::string_view host) const {
    const std::string p = ":" + std::to_string(port);
    const std::string h = lower(host);
    return h == "127.0.0.1" + p || h == "localhost" + p || h == "[::1]" + p;
  }
  bool own_origin(std::string_view origin) const {
    const std::string o = lower(origin);
    return o.rfind("http://", 0) == 0 && own_host(std::string_view(o).substr(7));
  }

  // Queues an answer on c; the connection is closed after it when close
  // is set (or the client asked for that).
  void respond(Conn& c, int status, std::string_view type, std::string_view body,
               bool close = false, const std::string& extra = {}) {
    close = close || c.close_after || c.head.http10 ||
            (c.head.header("connection") && lower(*c.head.header("connection")) == "close");
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
    security_headers(out);
    out += extra;
    out += "Content-Type: ";
    out += type;
    out += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    out += close ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
    out += body;
    c.out.erase(0, c.out_pos);
    c.out_pos = 0;
    c.out += out;
    c.close_after = close;
    c.state = State::Writing;
    c.deadline = now_ms() + kWriteTimeoutMs;
  }
  void refuse(Conn& c, int status, std::string_view text) {
    respond(c, status, "text/plain; charset=utf-8", text, true);
  }
  void respond_json(Conn& c, int status, std::string_view json) {
    respond(c, status, "application/json; charset=utf-8", json);
  }

  void close_conn(std::uint64_t id) {
    auto it = conns.find(id);
    if (it == conns.end()) return;
    Conn& c = *it->second;
    if (!c.client.empty()) {
      auto s = streams.find(c.client);
      if (s != streams.end() && s->second == id) streams.erase(s);
    }
    ::close(c.fd);
    conns.erase(it);
  }

  // Ends a stream: what is queued is still sent, then the connection closes.
  void end_stream(Conn& c) {
    if (c.state != State::Stream) return;
    auto s = streams.find(c.client);
    if (s != streams.end() && s->second == c.id) streams.erase(s);
    c.client.clear();
    c.state = State::Writing;
    c.close_after = true;
    c.deadline = now_ms() + kWriteTimeoutMs;
  }

  // Closes a connection to make room, among those of peer (any peer when
  // empty): the oldest that never showed the token, whatever it is doing
  // (it can only be waiting or being refused), else the oldest that showed
  // it and is only waiting. A candidate that never showed the token is
  // read once more first: one whose head with the token has arrived but
  // was not yet read (it came in the same burst of connections) is kept
  // and answered. False when every connection is busy.
  bool make_room(const std::string& peer, host::EventLoop& loop,
                 const std::weak_ptr<Shared>& self) {
    for (auto& [id, c] : conns) {  // ids grow: oldest first
      if (c->trusted || (!peer.empty() && c->peer != peer)) continue;
      if (c->state == State::Head) {
        if (!read_from(*c)) {
          close_conn(id);
          return true;
        }
        advance(*c, loop, self);
        if (c->trusted) continue;
      }
      close_conn(id);
      return true;
    }
    for (auto& [id, c] : conns) {
      if (c->waiting() && (peer.empty() || c->peer == peer)) {
        close_conn(id);
        return true;
      }
    }
    return false;
  }

  void accept_all(host::EventLoop& loop, const std::weak_ptr<Shared>& self) {
    for (;;) {
      sockaddr_in addr{};
      socklen_t len = sizeof addr;
      const int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&addr), &len,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EMFILE || errno == ENFILE) {
          // Out of descriptors: a connection gives way as above, or the
          // backlog waits a moment (rather than poll waking at once).
          if (make_room({}, loop, self)) continue;
          accept_after = now_ms() + 100;
        }
        return;
      }
      char text[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
      const std::string peer = text;
      std::size_t from_peer = 0;
      for (const auto& [id, c] : conns) from_peer += c->peer == peer;
      bool room = true;
      if (from_peer >= kMaxPerClient) room = make_room(peer, loop, self);
      if (room && conns.size() >= kMaxConnections) room = make_room({}, loop, self);
      if (!room) {
        ::close(fd);
        continue;
      }
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      auto c = std::make_unique<Conn>();
      c->fd = fd;
      c->id = ++next_id;
      c->peer = peer;
      c->deadline = now_ms() + kHeadTimeoutMs;
      conns.emplace(c->id, std::move(c));
    }
  }

  // Reads what the client sent; false when the connection is to be closed.
  bool read_from(Conn& c) {
    char buf[16384];
    for (;;) {
      const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
      if (n == 0) {
        c.eof = true;
        return true;
      }
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
      }
      // Streams and finished answers only need to notice the close.
      if (c.state == State::Stream || c.state == State::Closing) continue;
      c.in.append(buf, static_cast<std::size_t>(n));
      if (c.in.size() > kMaxHeadBytes + kMaxBodyBytes) return false;
      if (static_cast<std::size_t>(n) < sizeof buf) return true;
    }
  }

  // Sends what is queued; false when the connection is to be closed.
  bool write_to(Conn& c) {
    while (c.pending_output()) {
      const ssize_t n =
          ::send(c.fd, c.out.data() + c.out_pos, c.out.size() - c.out_pos, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
      }
      c.out_pos += static_cast<std::size_t>(n);
      c.deadline = now_ms() + kWriteTimeoutMs;
    }
    c.out.clear();
    c.out_pos = 0;
    if (c.state == State::Writing) {
      if (c.close_after) {
        ::shutdown(c.fd, SHUT_WR);
        c.state = State::Closing;
        c.deadline = now_ms() + kDrainMs;
      } else {
        c.state = State::Head;
        c.head = Head{};
        c.deadline = now_ms() + kIdleTimeoutMs;
      }
    }
    return true;
  }

  // Takes the requests that have arrived as far as their state allows.
  void advance(Conn& c, host::EventLoop& loop, const std::weak_ptr<Shared>& self) {
    if (c.state == State::Head) {
      auto end = c.in.find("\r\n\r\n");
      if (end == std::string::npos) {
        if (c.in.size() > kMaxHeadBytes) refuse(c, 431, "request head too large\n");
        return;
      }
      if (end > kMaxHeadBytes) {
        refuse(c, 431, "request head too large\n");
        return;
      }
      auto head = parse_head(std::string_view(c.in).substr(0, end));
      c.in.erase(0, end + 4);
      if (!head) {
        refuse(c, 400, "bad request\n");
        return;
      }
      c.head = std::move(*head);
      // Who may ask: this server by name, from its own page, with the
      // token. All of it is checked before a byte of the body is read.
      const std::string* host = c.head.header("host");
      if (!host || c.head.repeated_host || !own_host(*host)) {
        refuse(c, 403, "forbidden\n");
        return;
      }
      if (const std::string* origin = c.head.header("origin"); origin && !own_origin(*origin)) {
        refuse(c, 403, "forbidden\n");
        return;
      }
      if (!authorized_rest(c.head.path)) {
        refuse(c, 404, "not found\n");
        return;
      }
      if (c.head.header("transfer-encoding")) {
        refuse(c, 501, "chunked bodies are not accepted\n");
        return;
      }
      c.body_length = 0;
      if (const std::string* length = c.head.header("content-length")) {
        if (length->empty() || length->size() > 12 ||
            length->find_first_not_of("0123456789") != std::string::npos) {
          refuse(c, 400, "bad content length\n");
          return;
        }
        c.body_length = std::stoull(*length);
        if (c.body_length > kMaxBodyBytes) {
          refuse(c, 413, "request too large\n");
          return;
        }
      }
      c.trusted = true;
      c.state = State::Body;
      c.deadline = now_ms() + kBodyTimeoutMs;
    }
    if (c.state == State::Body) {
      if (c.in.size() < c.body_length) return;
      std::string body = c.in.substr(0, c.body_length);
      c.in.erase(0, c.body_length);
      dispatch(c, std::move(body), loop, self);
    }
  }

  void dispatch(Conn& c, std::string body, host::EventLoop& loop,
                const std::weak_ptr<Shared>& self) {
    const std::string rest = *authorized_rest(c.head.path);
    const std::string& method = c.head.method;
    // "/<token>" alone: on to the page, so that its relative addresses work.
    if (c.head.path.find('/', 1) == std::string::npos) {
      respond(c, 302, "text/plain; charset=utf-8", "", false, "Location: " + c.head.path + "/\r\n");
      return;
    }
    if (rest.rfind("api/", 0) != 0) {
      serve_file(c, rest.empty() ? "index.html" : rest);
      return;
    }
    const std::string name = rest.substr(4);
    if (!word(name)) {
      refuse(c, 404, "not found\n");
      return;
    }
    // The interface is for the page's own scripts: an image, style sheet
    // or frame (of a page shown in the link wizard, say) is refused.
    if (const std::string* dest = c.head.header("sec-fetch-dest"); dest && *dest != "empty") {
      refuse(c, 403, "forbidden\n");
      return;
    }
    if (method != "GET" && method != "POST") {
      respond_json(c, 405, R"({"error":"method not allowed"})");
      return;
    }
    auto params = parse_query(c.head.query);
    if (name == "events") {
      start_stream(c, params);
      return;
    }
    ApiRequest call;
    call.method = method;
    call.name = name;
    call.params = std::move(params);
    call.body = std::move(body);
    c.state = State::Loop;
    c.deadline = now_ms() + kLoopWaitMs;
    const std::uint64_t id = c.id;
    const std::uint64_t request = ++c.request;
    std::weak_ptr<Shared> weak = self;
    loop.post_from_any_thread([weak, id, request, call = std::move(call)] {
      const auto shared = weak.lock();
      if (!shared) return;
      {
        std::lock_guard lock(shared->mutex);
        if (shared->closing) return;
      }
      const ApiReply reply = shared->api(call);
      std::lock_guard lock(shared->mutex);
      auto it = shared->conns.find(id);
      if (it == shared->conns.end()) return;
      Conn& conn = *it->second;
      if (conn.state != State::Loop || conn.request != request) return;
      shared->respond_json(conn, reply.status, reply.json);
      shared->wake_up();
    });
  }

  void serve_file(Conn& c, const std::string& name) {
    if (c.head.method != "GET" || !plain_file_name(name)) {
      refuse(c, 404, "not found\n");
      return;
    }
    std::ifstream in(web_root + "/" + name, std::ios::binary);
    if (!in) {
      respond(c, 404, "text/plain; charset=utf-8", "not found\n");
      return;
    }
    std::string body;
    char buf[65536];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
      body.append(buf, static_cast<std::size_t>(in.gcount()));
      if (body.size() > kMaxFileBytes) {
        respond(c, 500, "text/plain; charset=utf-8", "file too large\n");
        return;
      }
    }
    respond(c, 200, content_type(name), body);
  }

  void start_stream(Conn& c, const std::map<std::string, std::string>& params) {
    auto client = params.find("client");
    if (c.head.method != "GET") {
      respond_json(c, 405, R"({"error":"method not allowed"})");
      return;
    }
    // Only EventSource asks for a stream this way; an image or a style
    // sheet pointing here does not.
    const std::string* accept = c.head.header("accept");
    if (!accept || lower(*accept).find("text/event-stream") == std::string::npos) {
      refuse(c, 403, "forbidden\n");
      return;
    }
    if (client == params.end() || client->second.empty() || client->second.size() > 64) {
      respond_json(c, 400, R"({"error":"no client id"})");
      return;
    }
    // A client has one stream; a new one replaces the old, and the oldest
    // stream gives way when there are too many.
    if (auto old = streams.find(client->second); old != streams.end()) {
      if (auto o = conns.find(old->second); o != conns.end()) end_stream(*o->second);
    }
    while (streams.size() >= kMaxStreams) {
      std::uint64_t oldest = 0;
      for (const auto& [name, id] : streams) {
        if (oldest == 0 || id < oldest) oldest = id;
      }
      auto o = conns.find(oldest);
      if (o == conns.end()) break;
      end_stream(*o->second);
    }
    std::string out = "HTTP/1.1 200 OK\r\n";
    security_headers(out);
    out +=
        "Content-Type: text/event-stream\r\nX-Accel-Buffering: no\r\nConnection: close\r\n\r\n"
        // The page reconnects quickly after a stream ends.
        "retry: 500\n\n";
    c.out.erase(0, c.out_pos);
    c.out_pos = 0;
    c.out += out;
    c.state = State::Stream;
    c.client = client->second;
    const std::int64_t now = now_ms();
    c.stream_until = now + kStreamLifetimeMs;
    c.next_ping = now + kStreamPingMs;
    c.deadline = now + kWriteTimeoutMs;
    streams[c.client] = c.id;
  }

  // Timeouts: slow requests and idle connections are closed, a call the
  // loop did not answer in time gets 503, streams are pinged and ended.
  void expire(std::int64_t now) {
    std::vector<std::uint64_t> dead;
    for (auto& [id, cp] : conns) {
      Conn& c = *cp;
      if (c.state == State::Stream) {
        if (c.pending_output() && now >= c.deadline) {
          dead.push_back(id);
        } else if (now >= c.stream_until) {
          end_stream(c);
        } else if (now >= c.next_ping) {
          c.out += ": ping\n\n";
          c.next_ping = now + kStreamPingMs;
        }
        if (!c.pending_output()) c.deadline = now + kWriteTimeoutMs;
        continue;
      }
      if (now < c.deadline) continue;
      if (c.state == State::Loop) {
        respond_json(c, 503, R"({"error":"quillo did not answer in time"})");
      } else {
        dead.push_back(id);
      }
    }
    for (const auto id : dead) close_conn(id);
  }

  std::int64_t next_deadline() const {
    std::int64_t next = now_ms() + 60000;
    if (accept_after > now_ms()) next = accept_after;
    for (const auto& [id, c] : conns) {
      next = std::min(next, c->deadline);
      if (c->state == State::Stream) next = std::min({next, c->next_ping, c->stream_until});
    }
    return next;
  }

  void run(host::EventLoop& loop, const std::weak_ptr<Shared>& self) {
    // self: for the tasks posted to the loop, which hold it weakly.
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> ids;
    std::unique_lock lock(mutex);
    while (!closing) {
      fds.clear();
      ids.clear();
      fds.push_back({wake[0], POLLIN, 0});
      fds.push_back({listen_fd, static_cast<short>(now_ms() >= accept_after ? POLLIN : 0), 0});
      for (const auto& [id, c] : conns) {
        short events = 0;
        if (c->state != State::Loop && c->state != State::Writing) events |= POLLIN;
        // A connection with an answer to finish (an ended stream may have
        // nothing left to send) is woken to finish it.
        if (c->pending_output() || c->state == State::Writing) events |= POLLOUT;
        fds.push_back({c->fd, events, 0});
        ids.push_back(id);
      }
      const std::int64_t wait = std::max<std::int64_t>(0, next_deadline() - now_ms());
      lock.unlock();
      const int n =
          ::poll(fds.data(), fds.size(), static_cast<int>(std::min<std::int64_t>(wait, 60000)));
      lock.lock();
      if (closing) break;
      if (n < 0 && errno != EINTR) break;
      if (fds[0].revents & POLLIN) {
        char buf[256];
        while (::read(wake[0], buf, sizeof buf) > 0) {
        }
      }
      for (std::size_t i = 0; i < ids.size(); ++i) {
        auto it = conns.find(ids[i]);
        if (it == conns.end()) continue;
        Conn& c = *it->second;
        const short revents = fds[i + 2].revents;
        bool keep = (revents & (POLLERR | POLLNVAL)) == 0;
        if (keep && (revents & (POLLIN | POLLHUP))) keep = read_from(c);
        // Requests that came together are answered one after another.
        for (int round = 0; keep && round < 64; ++round) {
          const State before = c.state;
          const std::size_t had = c.in.size();
          const std::size_t queued = c.out.size() - c.out_pos;
          if (c.waiting()) advance(c, loop, self);
          if (c.pending_output() || c.state == State::Writing) keep = write_to(c);
          if (c.state == before && c.in.size() == had && c.out.size() - c.out_pos == queued) break;
        }
        // A client that has stopped sending is answered what it asked,
        // then closed.
        if (c.eof && (c.waiting() || c.state == State::Closing || c.state == State::Stream))
          keep = false;
        if (keep && c.state == State::Stream && c.out.size() - c.out_pos > kMaxStreamBacklog)
          keep = false;
        if (!keep) close_conn(ids[i]);
      }
      // Answers and events queued by other threads since are sent on the
      // next round, which their wake-up starts.
      if (fds[1].revents & POLLIN) accept_all(loop, self);
      expire(now_ms());
    }
    for (auto& [id, c] : conns) ::close(c->fd);
    conns.clear();
    streams.clear();
  }
};

WebServer::WebServer(host::EventLoop& loop, std::string token, std::string web_root, ApiHandler api)
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
  Shared& s = *m_shared;
  const std::string where = "127.0.0.1" + (port ? ":" + std::to_string(port) : std::string());
  auto failed = [&](const char* what) {
    const std::string why = std::strerror(errno);
    if (s.listen_fd >= 0) ::close(s.listen_fd);
    s.listen_fd = -1;
    return Status::failed(std::string(what) + " " + where + ": " + why);
  };
  if (s.thread.joinable() || s.listen_fd >= 0) return Status::failed("the server is running");
  s.listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s.listen_fd < 0) return failed("cannot listen on");
  // SO_REUSEADDR only lets a restarted server bind while the old one's
  // connections linger; it does not let two servers share the port (that
  // would be SO_REUSEPORT, which is never set): a second one fails here.
  const int one = 1;
  ::setsockopt(s.listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // The longest backlog the system allows: a burst of connections waits
  // there to be accepted (and to give way) rather than having its
  // handshakes dropped and retried for seconds, the page's among them.
  if (::bind(s.listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(s.listen_fd, SOMAXCONN) != 0) {
    return failed("cannot listen on");
  }
  socklen_t len = sizeof addr;
  if (::getsockname(s.listen_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return failed("cannot listen on");
  }
  if (s.wake[0] < 0 && ::pipe2(s.wake, O_NONBLOCK | O_CLOEXEC) != 0) {
    return failed("cannot start the server on");
  }
  m_port = ntohs(addr.sin_port);
  s.port = m_port;
  s.closing = false;
  std::weak_ptr<Shared> weak = m_shared;
  Shared* self = m_shared.get();
  host::EventLoop* loop = &m_loop;
  s.thread = std::thread([self, weak, loop] { self->run(*loop, weak); });
  return {};
}

void WebServer::stop() {
  {
    std::lock_guard lock(m_shared->mutex);
    m_shared->closing = true;
  }
  if (m_shared->wake[1] >= 0) m_shared->wake_up();
  if (m_shared->thread.joinable()) m_shared->thread.join();
  if (m_shared->listen_fd >= 0) ::close(m_shared->listen_fd);
  m_shared->listen_fd = -1;
}

void WebServer::publish(const std::string& client, const std::string& event,
                        const std::string& data) {
  const std::string text = "event: " + event + "\ndata: " + data + "\n\n";
  std::lock_guard lock(m_shared->mutex);
  bool any = false;
  for (const auto& [id, conn] : m_shared->streams) {
    if (!client.empty() && id != client) continue;
    auto c = m_shared->conns.find(conn);
    if (c == m_shared->conns.end()) continue;
    c->second->out += text;
    any = true;
  }
  if (any) m_shared->wake_up();
}

std::vector<std::string> WebServer::clients() const {
  std::vector<std::string> out;
  std::lock_guard lock(m_shared->mutex);
  for (const auto& [id, conn] : m_shared->streams) out.push_back(id);
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
