// The browser view's server over real loopback connections: the token
// guards every address, answers carry the security headers, interface
// calls run on the loop thread, published events reach the stream, and
// other programs (slow, idle or hostile clients, other sites, a second
// server) cannot keep the page from being answered.
#include "ui/web_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "host/posix/poll_loop.h"
#include "ui/access_token.h"

namespace quillo::ui {
namespace {

namespace fs = std::filesystem;

TEST(AccessToken, IsLongRandomHexAndComparedExactly) {
  auto a = new_access_token();
  auto b = new_access_token();
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a->size(), 64u);
  EXPECT_EQ(a->find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(*a, *b);
  EXPECT_TRUE(same_token(*a, *a));
  std::string last = *a;
  last.back() = last.back() == '0' ? '1' : '0';
  EXPECT_FALSE(same_token(last, *a));
  EXPECT_FALSE(same_token(a->substr(0, 63), *a));
  EXPECT_FALSE(same_token("", ""));
}

TEST(JsonString, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(json_string("a\"b\\c"), R"("a\"b\\c")");
  EXPECT_EQ(json_string("x\ny\t\x01"), R"("x\ny\t\u0001")");
  EXPECT_EQ(json_string("<b>é</b>"), "\"<b>é</b>\"");
}

class WebServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_root = fs::temp_directory_path() / ("quillo-ui-test-" + std::to_string(::getpid()));
    fs::create_directories(m_root);
    std::ofstream(m_root / "index.html") << "<p>page</p>";
    std::ofstream(m_root / "app.js") << "1;";
    std::ofstream(m_root.parent_path() / "secret.txt") << "SECRET-CONTENT";
    m_server =
        std::make_unique<WebServer>(m_loop, kToken, m_root.string(), [this](const ApiRequest& req) {
          m_loop_thread_calls += std::this_thread::get_id() == m_loop_id;
          return ApiReply{200, "{\"name\":" + json_string(req.name) +
                                   ",\"body\":" + json_string(req.body) + "}"};
        });
    ASSERT_TRUE(m_server->start(0).ok());
    m_loop.set_timer(50, [] {});
    m_thread = std::thread([this] {
      m_loop_id = std::this_thread::get_id();
      while (!m_stop) m_loop.run_until([this] { return m_stop.load(); }, 100);
    });
  }
  void TearDown() override {
    m_server->stop();
    m_stop = true;
    m_thread.join();
    fs::remove_all(m_root);
  }
  httplib::Client client() { return httplib::Client("127.0.0.1", m_server->port()); }

  // A raw connection to the server, for clients no library would be.
  int connect_raw() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(m_server->port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    timeval tv{30, 0};  // a generous bound, so that a hung server fails the test
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
  }
  static void send_text(int fd, const std::string& text) {
    ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
  }
  // Reads until the head of an answer is in; its status line ("" when the
  // connection ends first).
  static std::string status_line(int fd) {
    std::string got;
    char buf[4096];
    while (got.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return {};
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got.substr(0, got.find("\r\n"));
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(m_server->port()); }

  static constexpr const char* kToken = "0123456789abcdef0123456789abcdef";
  host::PollLoop m_loop;
  fs::path m_root;
  std::unique_ptr<WebServer> m_server;
  std::thread m_thread;
  std::thread::id m_loop_id;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_loop_thread_calls{0};
};

TEST_F(WebServerTest, NothingAnswersWithoutTheToken) {
  auto c = client();
  const std::string t = kToken;
  for (const std::string& path : std::vector<std::string>{
           "/", "/index.html", "/api/book", "/0123456789abcdef0123456789abcdee/",
           "/" + t.substr(0, 31) + "/index.html", "/" + t + "x/api/book"}) {
    auto res = c.Get(path.c_str());
    ASSERT_TRUE(res) << path;
    EXPECT_EQ(res->status, 404) << path;
    EXPECT_EQ(res->body.find("page"), std::string::npos) << path;
    EXPECT_FALSE(res->get_header_value("Content-Security-Policy").empty()) << path;
  }
  auto page = c.Get(("/" + t + "/").c_str());
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->body, "<p>page</p>");
  EXPECT_EQ(page->get_header_value("Content-Security-Policy"), kContentSecurityPolicy);
  EXPECT_EQ(page->get_header_value("Referrer-Policy"), "no-referrer");
  EXPECT_EQ(m_server->address(),
            "http://127.0.0.1:" + std::to_string(m_server->port()) + "/" + t + "/");
}

TEST_F(WebServerTest, ServesOnlyPlainFilesOfTheFrontEnd) {
  auto c = client();
  const std::string t = kToken;
  auto js = c.Get(("/" + t + "/app.js").c_str());
  ASSERT_TRUE(js);
  EXPECT_EQ(js->status, 200);
  EXPECT_EQ(js->get_header_value("Content-Type"), "text/javascript; charset=utf-8");
  for (const std::string& path :
       std::vector<std::string>{"/" + t + "/..%2fsecret.txt", "/" + t + "/../secret.txt",
                                "/" + t + "/.hidden", "/" + t + "/missing.js"}) {
    auto res = c.Get(path.c_str());
    ASSERT_TRUE(res) << path;
    EXPECT_NE(res->status, 200) << path;
    EXPECT_EQ(res->body.find("SECRET"), std::string::npos) << path;
  }
}

TEST_F(WebServerTest, InterfaceCallsRunOnTheLoopThread) {
  auto c = client();
  const std::string t = kToken;
  auto res = c.Post(("/" + t + "/api/edit?x=1").c_str(), "=1+1", "text/plain");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, R"({"name":"edit","body":"=1+1"})");
  EXPECT_EQ(m_loop_thread_calls.load(), 1);
}

TEST_F(WebServerTest, PublishedEventsReachTheClientsStream) {
  const std::string t = kToken;
  std::string received;
  std::thread publisher([&] {
    for (int i = 0; i < 200 && m_server->clients().empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_server->publish("other", "cells", "{\"not\":\"mine\"}");
    m_server->publish("me", "cells", "{\"a\":1}");
  });
  auto c = client();
  c.set_read_timeout(5, 0);
  auto res = c.Get(("/" + t + "/api/events?client=me").c_str(),
                   httplib::Headers{{"Accept", "text/event-stream"}},
                   [&](const char* data, std::size_t n) {
                     received.append(data, n);
                     return received.find("{\"a\":1}") == std::string::npos;
                   });
  publisher.join();
  EXPECT_NE(received.find("retry: 500"), std::string::npos);
  EXPECT_NE(received.find("event: cells\ndata: {\"a\":1}\n\n"), std::string::npos);
  EXPECT_EQ(received.find("mine"), std::string::npos);
}

// Eight clients sending a header byte a second, 64 idle connections and
// open event streams: the page's own request is still answered.
TEST_F(WebServerTest, SlowIdleAndStreamingClientsDoNotHoldThePageOff) {
  const std::string t = kToken;
  std::vector<int> slow, idle, streams;
  for (int i = 0; i < 8; ++i) {
    slow.push_back(connect_raw());
    send_text(slow.back(), "GET /" + t + "/api/book HTTP/1.1\r\nX-Slow: ");
  }
  for (int i = 0; i < 64; ++i) idle.push_back(connect_raw());
  for (int i = 0; i < 6; ++i) {
    streams.push_back(connect_raw());
    send_text(streams.back(), "GET /" + t + "/api/events?client=tab" + std::to_string(i) +
                                  " HTTP/1.1\r\nHost: " + host() +
                                  "\r\nAccept: text/event-stream\r\n\r\n");
  }
  for (const int fd : streams) EXPECT_EQ(status_line(fd), "HTTP/1.1 200 OK");
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    while (!done) {
      for (const int fd : slow) (void)::send(fd, "x", 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  });
  auto c = client();
  c.set_read_timeout(20, 0);
  auto res = c.Get(("/" + t + "/api/book").c_str());
  done = true;
  trickle.join();
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, R"({"name":"book","body":""})");
  for (const auto* fds : {&slow, &idle, &streams}) {
    for (const int fd : *fds) ::close(fd);
  }
}

// Connections that never showed the token give way to one that shows it,
// whatever they are doing: refused and still being read to the end of
// their request, or idle and arriving in a burst right behind it, before
// the server has read its head.
TEST_F(WebServerTest, ConnectionsWithoutTheTokenGiveWayToIt) {
  const std::string book =
      std::string("GET /") + kToken + "/api/book HTTP/1.1\r\nHost: " + host() + "\r\n\r\n";
  std::vector<int> refused;
  for (std::size_t i = 0; i < WebServer::kMaxPerClient; ++i) {
    refused.push_back(connect_raw());
    send_text(refused.back(), "POST /not-the-token/api/edit HTTP/1.1\r\nHost: " + host() +
                                  "\r\nContent-Length: 1000000\r\n\r\nabc");
    EXPECT_EQ(status_line(refused.back()), "HTTP/1.1 404 Not Found");
  }
  int page = connect_raw();
  send_text(page, book);
  EXPECT_EQ(status_line(page), "HTTP/1.1 200 OK");
  ::close(page);
  for (const int fd : refused) ::close(fd);

  for (int round = 0; round < 5; ++round) {
    page = connect_raw();
    send_text(page, book);
    std::vector<int> burst;
    for (std::size_t i = 0; i < 2 * WebServer::kMaxPerClient; ++i) burst.push_back(connect_raw());
    EXPECT_EQ(status_line(page), "HTTP/1.1 200 OK") << "round " << round;
    ::close(page);
    for (const int fd : burst) ::close(fd);
  }
}

// A head that trickles in a byte a second is cut off at its deadline
// rather than kept for as long as bytes keep coming.
TEST_F(WebServerTest, ATricklingHeadIsCutOff) {
  const int fd = connect_raw();
  send_text(fd, std::string("GET /") + kToken + "/api/book HTTP/1.1\r\nX-Slow: ");
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    while (!done) {
      (void)::send(fd, "x", 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  });
  char buf[256];
  const ssize_t n = ::recv(fd, buf, sizeof buf, 0);  // at most the socket's 30 s
  const int why = errno;
  done = true;
  trickle.join();
  EXPECT_TRUE(n == 0 || (n < 0 && why == ECONNRESET)) << n << " " << std::strerror(why);
  ::close(fd);
}

// Without the token, a request is answered and its connection closed
// before the body it announces is read.
TEST_F(WebServerTest, RefusesBeforeReadingTheBody) {
  const int fd = connect_raw();
  send_text(fd, "POST /not-the-token/api/edit HTTP/1.1\r\nHost: " + host() +
                    "\r\nContent-Length: 4000000\r\n\r\n");
  EXPECT_EQ(status_line(fd), "HTTP/1.1 404 Not Found");
  ::close(fd);
}

// A page's images, style sheets and frames (of a page shown in the link
// wizard, through relative addresses) reach neither the event stream nor
// the interface.
TEST_F(WebServerTest, OnlyThePagesScriptsReachTheInterface) {
  const std::string t = kToken;
  auto c = client();
  const std::string events = "/" + t + "/api/events?client=img";
  for (const httplib::Headers& h :
       {httplib::Headers{{"Accept", "image/avif,image/*,*/*"}},
        httplib::Headers{{"Accept", "text/event-stream"}, {"Sec-Fetch-Dest", "image"}}}) {
    auto res = c.Get(events.c_str(), h);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
  }
  auto style =
      c.Get(("/" + t + "/api/book").c_str(), httplib::Headers{{"Sec-Fetch-Dest", "style"}});
  ASSERT_TRUE(style);
  EXPECT_EQ(style->status, 403);
  auto script =
      c.Get(("/" + t + "/api/book").c_str(), httplib::Headers{{"Sec-Fetch-Dest", "empty"}});
  ASSERT_TRUE(script);
  EXPECT_EQ(script->status, 200);
  EXPECT_TRUE(m_server->clients().empty());
}

// Only this server's names in Host, only its own page in Origin: a
// rebound DNS name or another site's post is refused.
TEST_F(WebServerTest, AcceptsOnlyItsOwnHostAndOrigin) {
  const std::string t = kToken;
  const std::string port = std::to_string(m_server->port());
  const std::string other = std::to_string(m_server->port() == 65535 ? 1 : m_server->port() + 1);
  auto c = client();
  auto status = [&](httplib::Headers h) {
    auto res = c.Post(("/" + t + "/api/edit").c_str(), h, "x", "text/plain");
    return res ? res->status : -1;
  };
  for (const std::string& name :
       {"127.0.0.1:" + port, "localhost:" + port, "LOCALHOST:" + port, "[::1]:" + port}) {
    EXPECT_EQ(status({{"Host", name}}), 200) << name;
    EXPECT_EQ(status({{"Host", name}, {"Origin", "http://" + name}}), 200) << name;
  }
  for (const std::string& name :
       {std::string("evil.example:") + port, std::string("evil.example"), "127.0.0.1:" + other,
        std::string("127.0.0.1"), "localhost.evil.example:" + port}) {
    EXPECT_EQ(status({{"Host", name}}), 403) << name;
  }
  for (const std::string& origin :
       {std::string("http://evil.example"), std::string("null"), "http://127.0.0.1:" + other,
        "https://127.0.0.1:" + port, "http://127.0.0.1:" + port + ".evil.example"}) {
    EXPECT_EQ(status({{"Origin", origin}}), 403) << origin;
  }
  EXPECT_EQ(m_loop_thread_calls.load(), 8);
}

// A second server on a port in use fails to start instead of sharing it.
TEST_F(WebServerTest, ASecondServerCannotTakeThePort) {
  host::PollLoop loop;
  WebServer second(loop, kToken, m_root.string(), [](const ApiRequest&) { return ApiReply{}; });
  const Status st = second.start(m_server->port());
  EXPECT_FALSE(st.ok());
  auto res = client().Get((std::string("/") + kToken + "/").c_str());
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
}

}  // namespace
}  // namespace quillo::ui
