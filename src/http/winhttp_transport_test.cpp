// WinHttpTransport against the native market-data service on 127.0.0.1
// (started by the CTest fixture; its addresses are read from a file). The
// loop is a VirtualLoop moved along with real time by a small pump that also
// runs the tasks WinHTTP's workers post, as the host's message loop would.
#include "http/winhttp_transport.h"

// clang-format off
#include <winsock2.h>
// clang-format on
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

namespace quillo::http {
namespace {

constexpr std::int64_t kSafetyMs = 10000;

// The loop thread of the test: tasks from workers queue here; run_until
// runs them and moves the virtual clock with the real one.
class Pump {
 public:
  ThreadPoster poster() {
    return [this](std::function<void()> fn) {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_tasks.push_back(std::move(fn));
      m_wake.notify_one();
    };
  }
  bool run_until(const std::function<bool()>& done, std::int64_t limit_ms) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto last = start;
    while (!done()) {
      const auto now = Clock::now();
      if (now - start > std::chrono::milliseconds(limit_ms)) return false;
      loop.advance(std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count());
      last += std::chrono::duration_cast<std::chrono::milliseconds>(now - last);
      std::deque<std::function<void()>> tasks;
      {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait_for(lock, std::chrono::milliseconds(5), [this] { return !m_tasks.empty(); });
        tasks.swap(m_tasks);
      }
      for (auto& task : tasks) task();
    }
    return true;
  }
  host::VirtualLoop loop;

 private:
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::deque<std::function<void()>> m_tasks;
};

// The service's main and fault server addresses, from the fixture's file.
struct ServiceUrls {
  std::string base;
  std::string faults;
};
ServiceUrls read_service_urls() {
  ServiceUrls urls;
  std::ifstream in(QUILLO_MARKET_URLS_FILE);
  std::getline(in, urls.base);
  std::getline(in, urls.faults);
  return urls;
}

class WinHttpTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA wsa;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    m_urls = read_service_urls();
    if (m_urls.base.empty() || m_urls.faults.empty()) {
      GTEST_SKIP() << "the market-data service is not running: configure the Windows build with "
                      "QUILLO_NATIVE_BUILD set to a native build tree that has "
                      "testing/quillo-market ("
                   << QUILLO_MARKET_URLS_FILE << " is missing or empty)";
    }
  }

  RequestId start(const std::string& url, const HttpSettings& settings = {}) {
    std::string error;
    const RequestId id = m_transport.get(
        url, settings, [this](HttpResult r) { m_results.push_back(std::move(r)); }, &error);
    EXPECT_NE(id, 0u) << error;
    return id;
  }
  void await(std::size_t n) {
    ASSERT_TRUE(m_pump.run_until([&] { return m_results.size() >= n; }, kSafetyMs))
        << m_results.size() << " of " << n << " reports";
  }
  HttpResult fetch(const std::string& url, const HttpSettings& settings = {}) {
    m_results.clear();
    start(url, settings);
    await(1);
    return m_results.empty() ? HttpResult{} : m_results.back();
  }
  std::string quote_url(int delay_ms = 0) const {
    std::string url = m_urls.base + "/search?q=vik";
    if (delay_ms > 0) url += "&_delay=" + std::to_string(delay_ms);
    return url;
  }

  void TearDown() override { WSACleanup(); }

  ServiceUrls m_urls;
  Pump m_pump;
  WinHttpTransport m_transport{m_pump.loop, m_pump.poster()};
  std::vector<HttpResult> m_results;
};

TEST_F(WinHttpTransportTest, AnyHttpStatusIsACompletionWithItsBody) {
  HttpResult r = fetch(quote_url());
  ASSERT_TRUE(r.completed) << r.error_text;
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("</html>"), std::string::npos);
  EXPECT_EQ(r.content_type, "text/html; charset=utf-8");

  r = fetch(m_urls.base + "/no-such-page");
  ASSERT_TRUE(r.completed) << r.error_text;
  EXPECT_EQ(r.status, 404);
  EXPECT_NE(r.body.find("Not Found"), std::string::npos);
  EXPECT_EQ(m_transport.in_flight(), 0u);

  // Several at once, each reported once.
  for (int i = 0; i < 5; ++i) start(quote_url(10 * i));
  EXPECT_EQ(m_transport.in_flight(), 5u);
  m_results.clear();
  await(5);
  m_pump.run_until([] { return false; }, 100);  // nothing more arrives
  ASSERT_EQ(m_results.size(), 5u);
  for (const HttpResult& each : m_results) EXPECT_EQ(each.status, 200) << each.error_text;
  EXPECT_EQ(m_transport.in_flight(), 0u);
}

TEST_F(WinHttpTransportTest, ARefusedConnectionIsACouldNotConnectFailure) {
  // A port that was just free: nothing listens there.
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  ::closesocket(s);
  const HttpResult r = fetch("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/");
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, 7) << r.error_text;
}

TEST_F(WinHttpTransportTest, BrokenAnswersAndOversizedBodiesAreFailures) {
  for (const char* fault : {"reset", "close", "truncate"}) {
    const HttpResult r = fetch(m_urls.faults + "/?_fault=" + fault);
    EXPECT_FALSE(r.completed) << fault;
    EXPECT_NE(r.error_number, 0) << fault;
    EXPECT_FALSE(r.error_text.empty()) << fault;
  }
  HttpSettings capped;
  capped.max_body_bytes = 100;
  HttpResult r = fetch(quote_url(), capped);
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, kErrorBodyTooLarge) << r.error_text;
  // A body without an announced length is stopped as it grows.
  r = fetch(m_urls.faults + "/?_fault=slow&_ms=1", capped);
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, kErrorBodyTooLarge) << r.error_text;
}

TEST_F(WinHttpTransportTest, ANamedProxyCarriesTheRequest) {
  // The fault server answers proxy-form requests from the site by path, so
  // a host that exists nowhere is reached only through it.
  HttpSettings proxied;
  proxied.useproxy = 1;
  proxied.proxy_server = m_urls.faults.substr(m_urls.faults.find("://") + 3);
  const HttpResult r = fetch("http://quotes.invalid/search?q=vik", proxied);
  ASSERT_TRUE(r.completed) << r.error_text;
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("</html>"), std::string::npos);
}

TEST_F(WinHttpTransportTest, SilentPeersEndInOurReceiveTimeout) {
  HttpSettings quick;
  quick.receive_timeout = 0.3;
  // A slow answer within the limit arrives.
  HttpResult r = fetch(quote_url(50), quick);
  EXPECT_TRUE(r.completed) << r.error_text;
  // Headers, then a stalled body.
  r = fetch(m_urls.faults + "/?_fault=stall", quick);
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, kErrorReceiveTimeout) << r.error_text;

  // A peer that takes the connection and never answers: some WinHTTP
  // implementations never time this out themselves.
  SOCKET listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  r = fetch("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/", quick);
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, kErrorReceiveTimeout) << r.error_text;
  EXPECT_EQ(m_transport.in_flight(), 0u);
  ::closesocket(listener);

  // A trickle that is never silent for long still ends at the transfer time-out.
  HttpSettings limited;
  limited.receive_timeout = 5;
  limited.transfer_timeout = 0.4;
  r = fetch(m_urls.faults + "/?_fault=slow&_ms=50", limited);
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, kErrorTransferTimeout) << r.error_text;
}

TEST_F(WinHttpTransportTest, WithdrawnRequestsAreNeverReported) {
  const RequestId slow = start(quote_url(200));
  const RequestId kept = start(quote_url(50));
  m_transport.cancel(slow);
  m_transport.cancel(slow);  // twice: ignored
  EXPECT_EQ(m_transport.in_flight(), 1u);
  await(1);
  m_pump.run_until([] { return false; }, 400);
  ASSERT_EQ(m_results.size(), 1u);
  EXPECT_TRUE(m_results[0].completed);
  (void)kept;

  m_results.clear();
  for (int i = 0; i < 3; ++i) start(quote_url(100));
  start(m_urls.faults + "/?_fault=stall");
  m_transport.abort_all();
  EXPECT_EQ(m_transport.in_flight(), 0u);
  m_pump.run_until([] { return false; }, 400);
  EXPECT_TRUE(m_results.empty());

  // A handler may start the next request from inside its report.
  m_pump.run_until([] { return false; }, 0);
  std::string error;
  m_transport.get(
      quote_url(), {},
      [this](HttpResult first) {
        m_results.push_back(first);
        start(quote_url());
      },
      &error);
  await(2);
  EXPECT_TRUE(m_results[1].completed) << m_results[1].error_text;
}

TEST_F(WinHttpTransportTest, DestroyingTheTransportSilencesItsRequests) {
  auto transport = std::make_unique<WinHttpTransport>(m_pump.loop, m_pump.poster());
  for (int i = 0; i < 3; ++i) {
    transport->get(quote_url(i * 30), {}, [this](HttpResult r) { m_results.push_back(r); });
  }
  // A stalled read may keep its handle open until WinHTTP's own receive
  // time-out ends it (Wine does not abort a pending read on close): keep it short.
  HttpSettings quick;
  quick.receive_timeout = 0.5;
  transport->get(m_urls.faults + "/?_fault=stall", quick,
                 [this](HttpResult r) { m_results.push_back(r); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // some answers are on their way
  transport.reset();
  m_pump.run_until([] { return false; }, 300);
  EXPECT_TRUE(m_results.empty());
  EXPECT_EQ(m_pump.loop.timer_count(), 0u);
  // Every handle closes in the end, freeing what WinHTTP held for it.
  EXPECT_TRUE(m_pump.run_until([] { return WinHttpTransport::unwinding_requests() == 0; }, 3000))
      << WinHttpTransport::unwinding_requests() << " requests still unwinding";
}

TEST(WinHttpTransportRefusalTest, BadAddressesAreRefusedAndNeverReported) {
  Pump pump;
  WinHttpTransport transport(pump.loop, pump.poster());
  int reports = 0;
  std::string error;
  for (const char* url : {"ftp://127.0.0.1/", "no address at all", "http://", "http://a\xff/"}) {
    error.clear();
    EXPECT_EQ(transport.get(
                  url, {}, [&](HttpResult) { ++reports; }, &error),
              0u)
        << url;
    EXPECT_FALSE(error.empty()) << url;
  }
  EXPECT_EQ(transport.in_flight(), 0u);
  pump.run_until([] { return false; }, 50);
  EXPECT_EQ(reports, 0);
}

TEST(WinHttpClassifyTest, WinHttpFailuresReadAsTheEnginesFailureClasses) {
  // Both time-out codes are receive time-outs once the request was sent,
  // connect time-outs before.
  EXPECT_EQ(WinHttpTransport::classify(12002, true, 300).first, kErrorReceiveTimeout);
  EXPECT_EQ(WinHttpTransport::classify(10060, true, 300).first, kErrorReceiveTimeout);
  EXPECT_NE(WinHttpTransport::classify(10060, true, 300).second.find("300 milliseconds"),
            std::string::npos);
  EXPECT_EQ(WinHttpTransport::classify(12002, false, 300).first, 28);
  EXPECT_EQ(WinHttpTransport::classify(12029, false, 0).first, 7);
  EXPECT_EQ(WinHttpTransport::classify(12007, false, 0).first, 6);
  // Anything else keeps WinHTTP's own code, named in the text.
  const auto other = WinHttpTransport::classify(12345, true, 0);
  EXPECT_EQ(other.first, 12345);
  EXPECT_NE(other.second.find("12345"), std::string::npos);
}

}  // namespace
}  // namespace quillo::http
