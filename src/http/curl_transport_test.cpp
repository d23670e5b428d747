// CurlTransport against the local market-data service on 127.0.0.1. The
// loop runs until the awaited reports arrive; the limit given to run_until
// only keeps a broken build from hanging the suite.
#include "http/curl_transport.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <memory>
#include <vector>

#include "demo/market_data.h"
#include "host/posix/poll_loop.h"
#include "market_service.h"

namespace quillo::http {
namespace {

constexpr std::int64_t kSafetyMs = 10000;

class CurlTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_service.running());
    m_service.set_time(1767225600000);  // 2026-01-01 00:00 UTC
  }

  // Starts a GET whose report is appended to m_results.
  RequestId start(const std::string& url, const HttpSettings& settings = {}) {
    std::string error;
    const RequestId id = m_transport.get(
        url, settings, [this](HttpResult r) { m_results.push_back(std::move(r)); }, &error);
    EXPECT_NE(id, 0u) << error;
    return id;
  }
  // Runs the loop until n reports have arrived.
  void await(std::size_t n) {
    ASSERT_TRUE(m_loop.run_until([&] { return m_results.size() >= n; }, kSafetyMs))
        << m_results.size() << " of " << n << " reports";
  }
  HttpResult fetch(const std::string& url, const HttpSettings& settings = {}) {
    m_results.clear();
    start(url, settings);
    await(1);
    return m_results.empty() ? HttpResult{} : m_results.back();
  }

  service::MarketService m_service;
  host::PollLoop m_loop;
  CurlTransport m_transport{m_loop};
  std::vector<HttpResult> m_results;
};

TEST_F(CurlTransportTest, AnyHttpStatusIsACompletionWithItsBody) {
  const service::Instrument& inst = service::instruments()[0];
  HttpResult r = fetch(m_service.base_url() + "/quote?s=" + inst.symbol);
  ASSERT_TRUE(r.completed) << r.error_text;
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("<h1>" + inst.name + " (" + inst.symbol + ")</h1>"), std::string::npos);

  r = fetch(m_service.base_url() + "/no-such-page");
  ASSERT_TRUE(r.completed);
  EXPECT_EQ(r.status, 404);
  EXPECT_NE(r.body.find("Not Found"), std::string::npos);

  r = fetch(m_service.base_url() + "/quote?s=" + inst.symbol + "&_status=500");
  ASSERT_TRUE(r.completed);
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("Error 500"), std::string::npos);
  EXPECT_EQ(m_transport.in_flight(), 0u);
}

TEST_F(CurlTransportTest, BrokenConnectionsAreFailuresWithCurlsTexts) {
  const std::string base = m_service.fault_url() + "/quote?s=" + service::instruments()[1].symbol;
  HttpResult r = fetch(base + "&_fault=reset");
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, 56);
  EXPECT_EQ(r.error_text, "Recv failure: Connection reset by peer");

  r = fetch(base + "&_fault=close");
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, 52);
  EXPECT_EQ(r.error_text, "Empty reply from server");

  r = fetch(base + "&_fault=truncate");
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, 18);
  EXPECT_EQ(r.error_text.rfind("transfer closed with ", 0), 0u) << r.error_text;

  // The same page without a fault arrives whole from the fault server.
  r = fetch(base);
  EXPECT_TRUE(r.completed);
  EXPECT_NE(r.body.find("</html>"), std::string::npos);
}

TEST_F(CurlTransportTest, RefusedAndUnansweredConnectsFail) {
  // A port that was just free: nothing listens there.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  HttpResult r = fetch("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/");
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, 7);
  EXPECT_NE(r.error_text.find("Couldn't connect to server"), std::string::npos) << r.error_text;

  HttpSettings quick;
  quick.connection_timeout = 0.2;
  r = fetch("http://127.0.0.1:" + std::to_string(m_service.blackhole_port()) + "/", quick);
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, 28);
  EXPECT_NE(r.error_text.find("Timeout was reached"), std::string::npos) << r.error_text;
}

TEST_F(CurlTransportTest, SilenceAfterTheHeadersEndsInOurReceiveTimeout) {
  HttpSettings quick;
  quick.receive_timeout = 0.15;
  // A slow answer within the limit arrives; a stall does not hang the loop.
  HttpResult r = fetch(
      m_service.base_url() + "/quote?s=" + service::instruments()[2].symbol + "&_delay=20", quick);
  EXPECT_TRUE(r.completed);
  r = fetch(m_service.fault_url() + "/?_fault=stall", quick);
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, kErrorReceiveTimeout);
  EXPECT_NE(r.error_text.find("150 milliseconds"), std::string::npos) << r.error_text;
}

TEST_F(CurlTransportTest, ATrickledAnswerEndsAtTheTransferTimeout) {
  HttpSettings limited;
  limited.receive_timeout = 5;  // a byte every 50 ms is never silent for long
  limited.transfer_timeout = 0.4;
  const HttpResult r = fetch(m_service.fault_url() + "/?_fault=slow&_ms=50", limited);
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, kErrorTransferTimeout);
  EXPECT_NE(r.error_text.find("400 milliseconds"), std::string::npos) << r.error_text;
  // Within the limit an answer arrives, with its Content-Type.
  const HttpResult ok =
      fetch(m_service.base_url() + "/quote?s=" + service::instruments()[2].symbol + "&_delay=20",
            limited);
  ASSERT_TRUE(ok.completed);
  EXPECT_EQ(ok.content_type, "text/html; charset=utf-8");
}

TEST_F(CurlTransportTest, BodiesOverTheCapFail) {
  HttpSettings capped;
  capped.max_body_bytes = 300;
  // Announced length over the cap.
  HttpResult r =
      fetch(m_service.base_url() + "/quote?s=" + service::instruments()[3].symbol, capped);
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, kErrorBodyTooLarge);
  EXPECT_EQ(r.error_text, "Response body larger than 300 bytes");
  // A body without end that keeps trickling: the receive time-out never
  // fires (bytes keep coming), the cap does.
  capped.receive_timeout = 0.1;
  r = fetch(m_service.fault_url() + "/?_fault=slow&_ms=1", capped);
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, kErrorBodyTooLarge);
}

TEST_F(CurlTransportTest, ProxyIsUsedOnlyWithUseproxyOneAndNotForBypassedHosts) {
  const std::string url = m_service.base_url() + "/quote?s=" + service::instruments()[4].symbol;
  HttpSettings settings;
  settings.proxy_server = "127.0.0.1:" + std::to_string(m_service.fault_port());
  settings.useproxy = 0;
  EXPECT_TRUE(fetch(url, settings).completed);
  EXPECT_TRUE(m_service.faults().proxied().empty());

  settings.useproxy = 1;
  HttpResult r = fetch(url, settings);
  EXPECT_EQ(r.status, 200);
  ASSERT_EQ(m_service.faults().proxied().size(), 1u);
  EXPECT_EQ(m_service.faults().proxied()[0], url);

  settings.proxy_bypass = "*.example.com; 127.0.0.1";
  EXPECT_EQ(fetch(url, settings).status, 200);
  EXPECT_EQ(m_service.faults().proxied().size(), 1u);
}

TEST_F(CurlTransportTest, ProxyCredentialsAnswerTheProxysChallenge) {
  m_service.faults().set_proxy_credentials("dom\\user:x", "p@ss:word");
  const std::string url = m_service.base_url() + "/quote?s=" + service::instruments()[5].symbol;
  HttpSettings settings;
  settings.useproxy = 1;
  settings.proxy_server = "127.0.0.1:" + std::to_string(m_service.fault_port());
  EXPECT_EQ(fetch(url, settings).status, 407);  // no credentials configured
  settings.proxy_user = "dom\\user:x";
  settings.proxy_password = "p@ss:word";
  const HttpResult r = fetch(url, settings);
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find(service::instruments()[5].name), std::string::npos);
  EXPECT_EQ(m_service.faults().proxied().size(), 1u);
}

TEST_F(CurlTransportTest, RequestsCarryNoCacheHeaders) {
  ASSERT_TRUE(fetch(m_service.fault_url() + "/search?q=a").completed);
  const std::vector<std::string> heads = m_service.faults().heads();
  ASSERT_EQ(heads.size(), 1u);
  EXPECT_EQ(heads[0].rfind("GET /search?q=a HTTP/1.1\r\n", 0), 0u) << heads[0];
  EXPECT_NE(heads[0].find("\r\nCache-Control: no-store, no-cache, must-revalidate\r\n"),
            std::string::npos);
  EXPECT_NE(heads[0].find("\r\nPragma: no-cache\r\n"), std::string::npos);
}

// An address as one query value of the service's _redirect key.
std::string redirect_to(const std::string& url) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "_redirect=";
  for (const char c : url) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u)) {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

TEST_F(CurlTransportTest, SameOriginRedirectsStayOnTheRequestedSchemeHostAndPort) {
  const service::Instrument& inst = service::instruments()[0];
  const std::string base = m_service.base_url();
  const std::string page = "/quote?s=" + inst.symbol;
  const std::string heading = "<h1>" + inst.name + " (" + inst.symbol + ")</h1>";
  HttpSettings site;
  site.same_origin_redirects = true;

  // On the same origin, relative or absolute, redirects are followed.
  HttpResult r = fetch(base + "/moved?" + redirect_to(page), site);
  ASSERT_TRUE(r.completed) << r.error_text;
  EXPECT_NE(r.body.find(heading), std::string::npos);
  r = fetch(
      base + "/moved?" + redirect_to("HTTP://127.0.0.1:" + std::to_string(m_service.port()) + page),
      site);
  ASSERT_TRUE(r.completed) << r.error_text;
  EXPECT_EQ(r.status, 200);

  // Another host name (of the same server), another port, or a second hop
  // that leaves: refused before the other address is asked anything.
  const std::string elsewhere[] = {
      "http://localhost:" + std::to_string(m_service.port()) + page,
      m_service.fault_url() + page,
      base + "/again?" + redirect_to("http://localhost:" + std::to_string(m_service.port()) + page),
  };
  for (std::size_t i = 0; i < std::size(elsewhere); ++i) {
    const std::string& to = elsewhere[i];
    const std::int64_t asked = m_service.requests();
    r = fetch(base + "/moved?" + redirect_to(to), site);
    EXPECT_FALSE(r.completed) << to;
    EXPECT_EQ(r.error_number, kErrorRedirectRefused) << to;
    EXPECT_NE(r.error_text.find("refused"), std::string::npos) << r.error_text;
    EXPECT_EQ(m_service.requests() - asked, i == 2 ? 2 : 1) << to;
    EXPECT_TRUE(m_service.faults().heads().empty());
  }
  // A redirect loop on the origin ends as curl's own would.
  r = fetch(base + "/wl/loop", site);
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, 47);

  // Page fetches follow redirects to other hosts as before.
  r = fetch(base + "/moved?" + redirect_to(elsewhere[0]));
  ASSERT_TRUE(r.completed) << r.error_text;
  EXPECT_NE(r.body.find(heading), std::string::npos);
  EXPECT_EQ(m_transport.in_flight(), 0u);
}

TEST_F(CurlTransportTest, RequestsThatCannotStartReportNothing) {
  for (const char* url : {"", "not a url", "ftp://127.0.0.1/x", "file:///etc/passwd"}) {
    std::string error;
    EXPECT_EQ(m_transport.get(
                  url, {}, [this](HttpResult r) { m_results.push_back(r); }, &error),
              0u)
        << url;
    EXPECT_FALSE(error.empty()) << url;
  }
  EXPECT_EQ(m_transport.get(std::string("http://127.0.0.1/\0x", 19), {}, [](HttpResult) {}), 0u);
  EXPECT_EQ(m_transport.in_flight(), 0u);
  // A later request still gets its one report, and the refused ones none.
  fetch(m_service.base_url() + "/search?q=x");
  EXPECT_EQ(m_results.size(), 1u);
}

TEST_F(CurlTransportTest, CancelledAndAbortedRequestsReportNothing) {
  HttpSettings quick;
  quick.receive_timeout = 0.1;
  const RequestId stalled = start(m_service.fault_url() + "/?_fault=stall", quick);
  start(m_service.fault_url() + "/?_fault=stall", quick);
  start(m_service.base_url() + "/search?q=a");
  m_transport.cancel(stalled);
  await(2);
  m_loop.run_until([] { return false; }, 150);  // past the stalled one's time-out
  EXPECT_EQ(m_results.size(), 2u);

  start(m_service.fault_url() + "/?_fault=stall", quick);
  start(m_service.base_url() + "/quote?s=" + service::instruments()[6].symbol + "&_delay=30");
  m_transport.abort_all();
  EXPECT_EQ(m_transport.in_flight(), 0u);
  m_loop.run_until([] { return false; }, 150);
  EXPECT_EQ(m_results.size(), 2u);
}

TEST_F(CurlTransportTest, HandlersMayStartAndCancelOtherRequests) {
  // Two answers due together: the first one's handler cancels the other
  // and starts a third.
  std::vector<std::string> seen;
  RequestId second = 0;
  const std::string url = m_service.base_url() + "/search?q=";
  m_transport.get(url + "a", {}, [&](HttpResult r) {
    seen.push_back("first " + std::to_string(r.status));
    m_transport.cancel(second);
    m_transport.get(url + "b", {},
                    [&](HttpResult r2) { seen.push_back("third " + std::to_string(r2.status)); });
  });
  second = m_transport.get(url + "c", {}, [&](HttpResult) { seen.push_back("second"); });
  ASSERT_TRUE(m_loop.run_until([&] { return m_transport.in_flight() == 0; }, kSafetyMs));
  // Whichever came first, every request was reported at most once and the
  // one started from a handler was reported.
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "first 200"), 1);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "third 200"), 1);
  EXPECT_LE(std::count(seen.begin(), seen.end(), "second"), 1);
}

TEST_F(CurlTransportTest, ConnectionsAreReusedAcrossManyRequests) {
  // Forty requests, at most four under way at a time.
  constexpr int kTotal = 40;
  int started = 0, done = 0;
  std::function<void()> next = [&] {
    const std::string url = m_service.base_url() + "/quote?s=" +
                            service::instruments()[static_cast<std::size_t>(started)].symbol;
    ++started;
    m_transport.get(url, {}, [&](HttpResult r) {
      EXPECT_EQ(r.status, 200) << r.error_text;
      ++done;
      if (started < kTotal) next();
    });
  };
  for (int i = 0; i < 4; ++i) next();
  ASSERT_TRUE(m_loop.run_until([&] { return done == kTotal; }, kSafetyMs));
  EXPECT_EQ(m_service.requests(), kTotal);
  EXPECT_LE(m_service.connections(), 4u);
  EXPECT_LE(m_transport.connections_opened(), 4);
  EXPECT_GE(m_transport.connections_opened(), 1);
}

TEST_F(CurlTransportTest, DestroyingTheTransportWithdrawsEverything) {
  auto transport = std::make_unique<CurlTransport>(m_loop);
  int reports = 0;
  transport->get(m_service.fault_url() + "/?_fault=stall", {}, [&](HttpResult) { ++reports; });
  transport->get(m_service.base_url() + "/search?q=a", {}, [&](HttpResult) { ++reports; });
  m_loop.run_until([] { return false; }, 20);
  transport.reset();
  m_loop.run_until([] { return false; }, 50);
  EXPECT_LE(reports, 1);  // the quick one may have arrived before
}

}  // namespace
}  // namespace quillo::http
