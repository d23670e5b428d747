#include "fault_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace quillo::service {

namespace {

// Binds a socket to 127.0.0.1 on an ephemeral port and listens; -1 on failure.
int listen_loopback(int backlog, int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(addr.sin_port);
  return fd;
}

bool send_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string base64(std::string_view in) {
  static const char* const kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(in[i]) << 16 |
                       static_cast<unsigned char>(in[i + 1]) << 8 |
                       static_cast<unsigned char>(in[i + 2]);
    for (int k = 18; k >= 0; k -= 6) out += kAlphabet[(v >> k) & 63];
  }
  if (i + 1 == in.size()) {
    const unsigned v = static_cast<unsigned char>(in[i]) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    const unsigned v =
        static_cast<unsigned char>(in[i]) << 16 | static_cast<unsigned char>(in[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string reply_head(int status, std::string_view reason, std::string_view content_type,
                       std::size_t length, std::string_view extra = {}) {
  return "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) +
         "\r\nContent-Type: " + std::string(content_type) +
         "\r\nContent-Length: " + std::to_string(length) + "\r\n" + std::string(extra) +
         "Connection: close\r\n\r\n";
}

std::string reason_of(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 407:
      return "Proxy Authentication Required";
    default:
      return "Status";
  }
}

// The value of a header in a request head (name matched without regard
// to case), or empty.
std::string header_value(const std::string& head, std::string_view name) {
  std::size_t at = head.find("\r\n");
  while (at != std::string::npos && at + 2 < head.size()) {
    const std::size_t end = head.find("\r\n", at + 2);
    const std::string line = head.substr(at + 2, end - at - 2);
    const std::size_t colon = line.find(':');
    if (colon == name.size() &&
        std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      std::size_t v = colon + 1;
      while (v < line.size() && line[v] == ' ') ++v;
      return line.substr(v);
    }
    at = end;
  }
  return {};
}

}  // namespace

FaultServer::FaultServer(const MarketSite& site) : m_site(site) {
  m_listen = listen_loopback(64, m_port);
  m_blackhole = listen_loopback(0, m_blackhole_port);
  // Fill the never-accepted queue so that further connects stall.
  for (int i = 0; i < 2 && m_blackhole >= 0; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(m_blackhole_port));
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    m_fillers.push_back(fd);
  }
  if (m_listen >= 0) m_acceptor = std::thread([this] { accept_loop(); });
}

FaultServer::~FaultServer() {
  m_stop = true;
  if (m_acceptor.joinable()) m_acceptor.join();
  std::vector<Worker> workers;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    workers.swap(m_workers);
  }
  for (Worker& w : workers) w.thread.join();
  for (int fd : m_fillers) ::close(fd);
  if (m_blackhole >= 0) ::close(m_blackhole);
  if (m_listen >= 0) ::close(m_listen);
}

void FaultServer::set_proxy_credentials(const std::string& user, const std::string& password) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_proxy_auth = "Basic " + base64(user + ":" + password);
}

std::vector<std::string> FaultServer::heads() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_heads;
}

std::vector<std::string> FaultServer::proxied() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_proxied;
}

void FaultServer::accept_loop() {
  while (!m_stop) {
    pollfd p{m_listen, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++m_connections;
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard<std::mutex> lock(m_mutex);
    std::erase_if(m_workers, [](Worker& w) {
      if (!w.done->load()) return false;
      w.thread.join();
      return true;
    });
    m_workers.push_back(Worker{std::thread([this, fd, done] {
                                 serve(fd);
                                 ::close(fd);
                                 *done = true;
                               }),
                               done});
  }
}

bool FaultServer::client_alive(int fd) const {
  if (m_stop) return false;
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return true;
  if (p.revents & (POLLERR | POLLHUP)) return false;
  char buf[256];
  return ::recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0;
}

void FaultServer::serve(int fd) {
  // Read the request head, for at most two seconds.
  std::string head;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
    if (m_stop || std::chrono::steady_clock::now() > give_up) return;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    head.append(buf, static_cast<std::size_t>(n));
  }
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_heads.push_back(head);
  }
  const std::size_t sp1 = head.find(' ');
  const std::size_t sp2 = head.find(' ', sp1 == std::string::npos ? 0 : sp1 + 1);
  if (sp1 == std::string::npos || sp2 == std::string::npos) return;
  const std::string target = head.substr(sp1 + 1, sp2 - sp1 - 1);
  if (target.starts_with("http://")) return answer_proxy(fd, head, target);

  const std::string fault = query_value(target, "_fault");
  if (fault == "reset") {
    linger hard{1, 0};  // closing now sends a reset instead of a FIN
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    return;
  }
  if (fault == "close") return;
  if (fault == "stall") {
    send_all(fd, reply_head(200, "OK", "text/html", 1000));
    while (client_alive(fd)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return;
  }
  if (fault == "slow") {
    const int ms = std::clamp(std::atoi(query_value(target, "_ms").c_str()), 1, 1000);
    send_all(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n");
    while (client_alive(fd) && send_all(fd, "x")) {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    return;
  }
  const Reply reply = m_site.answer(target);
  if (fault == "truncate") {
    const std::string part = reply.body.substr(0, reply.body.size() / 2);
    send_all(fd, reply_head(reply.status, reason_of(reply.status), reply.content_type,
                            reply.body.size()) +
                     part);
    return;
  }
  send_all(
      fd, reply_head(reply.status, reason_of(reply.status), reply.content_type, reply.body.size()) +
              reply.body);
}

void FaultServer::answer_proxy(int fd, const std::string& head, const std::string& target) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_proxy_auth.empty() && header_value(head, "Proxy-Authorization") != m_proxy_auth) {
      const std::string body = "proxy credentials required\n";
      send_all(fd, reply_head(407, reason_of(407), "text/plain", body.size(),
                              "Proxy-Authenticate: Basic realm=\"local\"\r\n") +
                       body);
      return;
    }
    m_proxied.push_back(target);
  }
  const std::size_t path = target.find('/', 7);  // after "http://host:port"
  const Reply reply = m_site.answer(path == std::string::npos ? "/" : target.substr(path));
  send_all(
      fd, reply_head(reply.status, reason_of(reply.status), reply.content_type, reply.body.size()) +
              reply.body);
}

}  // namespace quillo::service
