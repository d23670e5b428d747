// CurlTransport under the transport contract (http_transport_contract.h)
// against the local market-data service on 127.0.0.1, and what only it has
// or only this process can see: curl's failure texts, connect time-outs,
// proxy credentials, the headers sent, connection reuse. The loop runs
// until the awaited reports arrive; the limit given to run_until only keeps
// a broken build from hanging the suite.
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
#include "http/http_transport_contract.h"
#include "market_service.h"

namespace quillo::http {
namespace {

constexpr std::int64_t kSafetyMs = 10000;

// A loopback socket bound to a free port; listening when asked.
int loopback_socket(bool listening, int* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  if (listening) ::listen(fd, 4);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

// The service in this process, a poll loop and a curl transport on it.
struct CurlHarness {
  CurlHarness() { m_service.set_time(1767225600000); }  // 2026-01-01 00:00 UTC
  ~CurlHarness() {
    if (m_listener >= 0) ::close(m_listener);
  }
  std::string unavailable() const { return m_service.running() ? "" : "the service did not start"; }
  std::string base_url() const { return m_service.base_url(); }
  std::string fault_url() const { return m_service.fault_url(); }
  HttpTransport& transport() { return m_transport; }
  std::unique_ptr<HttpTransport> make_transport() {
    return std::make_unique<CurlTransport>(m_loop);
  }
  bool run_until(const std::function<bool()>& done, std::int64_t limit_ms) {
    return m_loop.run_until(done, limit_ms);
  }
  int free_port() {
    int port = 0;
    ::close(loopback_socket(false, &port));
    return port;
  }
  int silent_port() {
    int port = 0;
    if (m_listener >= 0) ::close(m_listener);
    m_listener = loopback_socket(true, &port);
    return port;
  }

  service::MarketService m_service;
  host::PollLoop m_loop;
  CurlTransport m_transport{m_loop};
  int m_listener = -1;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Curl, HttpTransportContract, CurlHarness);

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

  int port = 0;
  ::close(loopback_socket(false, &port));
  r = fetch("http://127.0.0.1:" + std::to_string(port) + "/");
  EXPECT_EQ(r.error_number, 7);
  EXPECT_NE(r.error_text.find("Couldn't connect to server"), std::string::npos) << r.error_text;
}

TEST_F(CurlTransportTest, UnansweredConnectsEndInTheConnectTimeout) {
  HttpSettings quick;
  quick.connection_timeout = 0.2;
  const HttpResult r =
      fetch("http://127.0.0.1:" + std::to_string(m_service.blackhole_port()) + "/", quick);
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, 28);
  // curl words it by where it noticed: "Connection timeout after 200 ms"
  // or "... Timeout was reached".
  std::string lower = r.error_text;
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  EXPECT_NE(lower.find("timeout"), std::string::npos) << r.error_text;
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

TEST_F(CurlTransportTest, RequestsCarryNoCacheHeadersAndOneUserAgent) {
  ASSERT_TRUE(fetch(m_service.fault_url() + "/search?q=a").completed);
  // The same through a proxy, which is sent the request whole.
  HttpSettings proxied;
  proxied.useproxy = 1;
  proxied.proxy_server = "127.0.0.1:" + std::to_string(m_service.fault_port());
  ASSERT_TRUE(fetch(m_service.base_url() + "/search?q=b", proxied).completed);
  // The request line carries the path and query as the address gives them,
  // whatever the query holds (a '?', '/', escapes, bytes beyond ASCII);
  // dot segments of the path are resolved, and a fragment is not sent.
  const std::string odd_query = "?q=%20a+b&s=/x?y=1&t=\xC3\xA9";
  const std::string plain_query = "?q=c/d?e&f=g:h@i;j";
  ASSERT_TRUE(fetch(m_service.fault_url() + "/a/../search" + odd_query + "#part").completed);
  ASSERT_TRUE(fetch(m_service.base_url() + "/search?q=c%2F?d", proxied).completed);
  ASSERT_TRUE(fetch(m_service.base_url() + "/search" + plain_query, proxied).completed);
  const std::vector<std::string> heads = m_service.faults().heads();
  ASSERT_EQ(heads.size(), 5u);
  EXPECT_EQ(heads[0].rfind("GET /search?q=a HTTP/1.1\r\n", 0), 0u) << heads[0];
  EXPECT_EQ(heads[1].rfind("GET " + m_service.base_url() + "/search?q=b HTTP/1.1\r\n", 0), 0u)
      << heads[1];
  EXPECT_EQ(heads[2].rfind("GET /search" + odd_query + " HTTP/1.1\r\n", 0), 0u) << heads[2];
  EXPECT_EQ(heads[3].rfind("GET " + m_service.base_url() + "/search?q=c%2F?d HTTP/1.1\r\n", 0), 0u)
      << heads[3];
  EXPECT_EQ(
      heads[4].rfind("GET " + m_service.base_url() + "/search" + plain_query + " HTTP/1.1\r\n", 0),
      0u)
      << heads[4];
  for (const std::string& head : heads) {
    EXPECT_NE(head.find("\r\nCache-Control: no-store, no-cache, must-revalidate\r\n"),
              std::string::npos);
    EXPECT_NE(head.find("\r\nPragma: no-cache\r\n"), std::string::npos);
    const std::string agent = "\r\nUser-Agent: Mozilla/5.0 (compatible; quillo)\r\n";
    const std::size_t at = head.find(agent);
    EXPECT_NE(at, std::string::npos) << head;
    EXPECT_EQ(head.find("User-Agent", at + agent.size()), std::string::npos) << head;
  }
}

TEST_F(CurlTransportTest, RefusedRedirectsAskNothingOfTheOtherAddress) {
  const service::Instrument& inst = service::instruments()[0];
  const std::string base = m_service.base_url();
  const std::string page = "/quote?s=" + inst.symbol;
  HttpSettings site;
  site.same_origin_redirects = true;

  // An absolute address on the same origin, in other letter case, is followed.
  HttpResult r = fetch(
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
  EXPECT_EQ(m_transport.in_flight(), 0u);
}

TEST_F(CurlTransportTest, AddressesWithANulByteCannotStart) {
  EXPECT_EQ(m_transport.get(std::string("http://127.0.0.1/\0x", 19), {}, [](HttpResult) {}), 0u);
  EXPECT_EQ(m_transport.in_flight(), 0u);
  // A later request still gets its one report, and the refused ones none.
  fetch(m_service.base_url() + "/search?q=x");
  EXPECT_EQ(m_results.size(), 1u);
}

TEST_F(CurlTransportTest, ATransfersSettingsEndWithIt) {
  // Finished transfers hand their curl handles on to the next ones: a
  // proxy and its credentials asked for once must not stay behind.
  m_service.faults().set_proxy_credentials("user", "secret");
  const std::string url = m_service.base_url() + "/quote?s=" + service::instruments()[3].symbol;
  HttpSettings capped;
  capped.max_body_bytes = 100;
  HttpSettings anonymous;
  anonymous.useproxy = 1;
  anonymous.proxy_server = "127.0.0.1:" + std::to_string(m_service.fault_port());
  HttpSettings signed_in = anonymous;
  signed_in.proxy_user = "user";
  signed_in.proxy_password = "secret";
  for (int round = 0; round < 3; ++round) {
    HttpResult r = fetch(url, capped);
    EXPECT_EQ(r.error_number, kErrorBodyTooLarge) << r.error_text;
    EXPECT_EQ(fetch(url, signed_in).status, 200);
    EXPECT_EQ(fetch(url, anonymous).status, 407);
    r = fetch(url);
    EXPECT_EQ(r.status, 200) << r.error_text;
    EXPECT_NE(r.body.find(service::instruments()[3].name), std::string::npos);
  }
  EXPECT_EQ(m_service.faults().proxied().size(), 3u);
}

TEST_F(CurlTransportTest, ATransfersOutcomeEndsWithIt) {
  // A finished transfer is the next one's with the same settings: what it
  // met (a body cut off at the cap, redirects, the address redirected to)
  // must not carry over.
  const std::string base = m_service.base_url();
  const auto quote = [&](int i) {
    return base + "/quote?s=" + service::instruments()[static_cast<std::size_t>(i)].symbol;
  };
  const auto shows = [](const HttpResult& r, int i) {
    return r.body.find(service::instruments()[static_cast<std::size_t>(i)].name) !=
           std::string::npos;
  };
  int refused_port = 0;
  ::close(loopback_socket(false, &refused_port));
  HttpSettings capped;
  capped.max_body_bytes = 100;
  HttpSettings site;
  site.same_origin_redirects = true;
  for (int round = 0; round < 3; ++round) {
    // A body without end cut off at the cap, then a failure of another
    // kind: reported as that.
    HttpResult r = fetch(m_service.fault_url() + "/?_fault=slow&_ms=1", capped);
    EXPECT_EQ(r.error_number, kErrorBodyTooLarge) << r.error_text;
    r = fetch("http://127.0.0.1:" + std::to_string(refused_port) + "/", capped);
    EXPECT_EQ(r.error_number, 7) << r.error_text;

    // Redirects followed here, then addresses of another path: each
    // transfer asks its own address, not the one the last was redirected to.
    r = fetch(base + "/moved?" + redirect_to(quote(1)), site);
    EXPECT_TRUE(shows(r, 1)) << r.error_text;
    r = fetch(base + "/moved?" + redirect_to(quote(2)), site);
    EXPECT_TRUE(shows(r, 2) && !shows(r, 1)) << r.error_text;
    r = fetch(quote(3), site);
    EXPECT_TRUE(shows(r, 3) && !shows(r, 2)) << r.error_text;
    // Six hops a transfer, more than ten in two: counted for each alone.
    std::string chain = quote(4);
    for (int hop = 0; hop < 6; ++hop) chain = base + "/moved?" + redirect_to(chain);
    r = fetch(chain, site);
    EXPECT_TRUE(shows(r, 4)) << r.error_text;
  }
}

TEST_F(CurlTransportTest, AddressesSharingAPathEachSendTheirOwnQuery) {
  // More paths than are kept parsed, asked again in the other order with
  // other queries, then with dot segments: every request line is the
  // address's own.
  std::vector<std::string> want;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 20; ++i) {
      const int p = round == 1 ? 19 - i : i;
      const std::string path = (round == 2 ? "/x/../p" : "/p") + std::to_string(p);
      const std::string query = "?s=" + std::to_string(round) + "&q=" + std::to_string(p) + "?/:@";
      ASSERT_TRUE(fetch(m_service.fault_url() + path + query).completed);
      want.push_back("GET /p" + std::to_string(p) + query + " HTTP/1.1\r\n");
    }
  }
  const std::vector<std::string> heads = m_service.faults().heads();
  ASSERT_EQ(heads.size(), want.size());
  for (std::size_t i = 0; i < heads.size(); ++i) {
    EXPECT_EQ(heads[i].rfind(want[i], 0), 0u) << heads[i];
  }
  // A base curl cannot parse is refused with the reason for the whole address.
  std::string error;
  EXPECT_EQ(m_transport.get(
                "http://exa mple.com/q?s=1", {}, [](HttpResult) {}, &error),
            0u);
  EXPECT_EQ(error.rfind("Malformed URL: ", 0), 0u) << error;
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

}  // namespace
}  // namespace quillo::http
