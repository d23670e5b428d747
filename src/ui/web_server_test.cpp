// The browser view's server over real loopback connections: the token
// guards every address, answers carry the security headers, interface
// calls run on the loop thread, and published events reach the stream.
#include "ui/web_server.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

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
  auto res =
      c.Get(("/" + t + "/api/events?client=me").c_str(), [&](const char* data, std::size_t n) {
        received.append(data, n);
        return received.find("{\"a\":1}") == std::string::npos;
      });
  publisher.join();
  EXPECT_NE(received.find("retry: 500"), std::string::npos);
  EXPECT_NE(received.find("event: cells\ndata: {\"a\":1}\n\n"), std::string::npos);
  EXPECT_EQ(received.find("mine"), std::string::npos);
}

}  // namespace
}  // namespace quillo::ui
