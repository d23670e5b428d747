// WinHttpTransport under the transport contract (http_transport_contract.h)
// against the native market-data service on 127.0.0.1 (started by the
// CTest fixture; its addresses are read from a file), and what only it
// has: handles that outlive the transport, the failure classes of WinHTTP's
// codes. The loop is a VirtualLoop moved along with real time by a small
// pump that also runs the tasks WinHTTP's workers post, as the host's
// message loop would.
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

#include "http/http_transport_contract.h"

namespace quillo::http {
namespace {

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

// A loopback socket bound to a free port; listening when asked.
SOCKET loopback_socket(bool listening, int* port) {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  if (listening) ::listen(s, 4);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return s;
}

// The native service (when the fixture started one), the pump and a
// WinHTTP transport on its loop.
class WinHttpHarness {
 public:
  WinHttpHarness() : m_urls(read_service_urls()) {
    WSADATA wsa;
    m_wsa = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
  }
  ~WinHttpHarness() {
    if (m_listener != INVALID_SOCKET) ::closesocket(m_listener);
    if (m_wsa) WSACleanup();
  }
  std::string unavailable() const {
    if (!m_wsa) return "WSAStartup failed";
    if (!m_urls.base.empty() && !m_urls.faults.empty()) return "";
    return std::string(
               "the market-data service is not running: configure the Windows build with "
               "QUILLO_NATIVE_BUILD set to a native build tree that has "
               "testing/quillo-market (") +
           QUILLO_MARKET_URLS_FILE + " is missing or empty)";
  }
  std::string base_url() const { return m_urls.base; }
  std::string fault_url() const { return m_urls.faults; }
  HttpTransport& transport() { return m_transport; }
  std::unique_ptr<HttpTransport> make_transport() {
    return std::make_unique<WinHttpTransport>(m_pump.loop, m_pump.poster());
  }
  bool run_until(const std::function<bool()>& done, std::int64_t limit_ms) {
    return m_pump.run_until(done, limit_ms);
  }
  int free_port() {
    int port = 0;
    ::closesocket(loopback_socket(false, &port));
    return port;
  }
  int silent_port() {
    int port = 0;
    if (m_listener != INVALID_SOCKET) ::closesocket(m_listener);
    m_listener = loopback_socket(true, &port);
    return port;
  }
  Pump& pump() { return m_pump; }

 private:
  bool m_wsa = false;
  ServiceUrls m_urls;
  SOCKET m_listener = INVALID_SOCKET;
  Pump m_pump;
  WinHttpTransport m_transport{m_pump.loop, m_pump.poster()};
};

INSTANTIATE_TYPED_TEST_SUITE_P(WinHttp, HttpTransportContract, WinHttpHarness);

// WinHTTP may call into the module for a request until its handle closes,
// after the transport is gone: every handle closes in the end.
TEST(WinHttpTransportTest, EveryHandleClosesAfterTheTransportIsDestroyed) {
  WinHttpHarness harness;
  if (!harness.unavailable().empty()) GTEST_SKIP() << harness.unavailable();
  auto transport = harness.make_transport();
  int reports = 0;
  HttpSettings quick;
  quick.receive_timeout = 0.5;  // Wine does not abort a pending read on close
  transport->get(harness.base_url() + "/search?q=vik&_delay=30", {},
                 [&](HttpResult) { ++reports; });
  transport->get(harness.fault_url() + "/?_fault=stall", quick, [&](HttpResult) { ++reports; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  transport.reset();
  harness.run_until([] { return false; }, 100);
  EXPECT_EQ(reports, 0);
  EXPECT_EQ(harness.pump().loop.timer_count(), 0u);
  EXPECT_TRUE(harness.run_until([] { return WinHttpTransport::unwinding_requests() == 0; }, 3000))
      << WinHttpTransport::unwinding_requests() << " requests still unwinding";
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
