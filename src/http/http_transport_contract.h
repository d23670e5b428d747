// The contract every HttpTransport keeps, as typed test cases against the
// local market-data service and its fault server: any HTTP status is a
// completion with its body; broken, refused, silent, trickling and
// oversized answers are failures with the engine's numbers; the proxy is
// used only when asked and not for bypassed hosts; same-origin redirects
// stay on the origin; requests that cannot start, withdrawn requests and
// the requests of a destroyed transport report nothing; handlers may start
// and cancel requests.
//
// A test binary instantiates the suite for each transport it has with a
// harness:
//
//   struct Harness {
//     // Empty when the service is reachable, else why not (the test skips).
//     std::string unavailable() const;
//     std::string base_url() const;   // the service, "http://127.0.0.1:PORT"
//     std::string fault_url() const;  // its fault server, which is also a proxy
//     HttpTransport& transport();
//     std::unique_ptr<HttpTransport> make_transport();  // another, on the same loop
//     // Runs the loop until done() answers true (true) or limit_ms pass.
//     bool run_until(const std::function<bool()>& done, std::int64_t limit_ms);
//     int free_port();     // a loopback port nothing listens on
//     int silent_port();   // a loopback port that takes connections, never answers
//   };
//
// The limits only keep a broken transport from hanging the suite.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http/http_transport.h"

namespace quillo::http {

inline constexpr std::int64_t kContractSafetyMs = 10000;

template <typename Harness>
class HttpTransportContract : public testing::Test {
 protected:
  void SetUp() override {
    const std::string why = harness.unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
  }

  HttpTransport& transport() { return harness.transport(); }
  std::string base() const { return harness.base_url(); }
  std::string faults() const { return harness.fault_url(); }
  std::string page(int delay_ms = 0) const {
    std::string url = base() + "/search?q=vik";
    if (delay_ms > 0) url += "&_delay=" + std::to_string(delay_ms);
    return url;
  }

  // Starts a GET whose report is appended to results.
  RequestId start(const std::string& url, const HttpSettings& settings = {}) {
    std::string error;
    const RequestId id = transport().get(
        url, settings, [this](HttpResult r) { results.push_back(std::move(r)); }, &error);
    EXPECT_NE(id, 0u) << url << ": " << error;
    return id;
  }
  // Runs the loop until n reports have arrived.
  void await(std::size_t n) {
    ASSERT_TRUE(harness.run_until([&] { return results.size() >= n; }, kContractSafetyMs))
        << results.size() << " of " << n << " reports";
  }
  // Runs the loop for a while, for reports that must not come.
  void idle(std::int64_t ms) {
    harness.run_until([] { return false; }, ms);
  }
  HttpResult fetch(const std::string& url, const HttpSettings& settings = {}) {
    results.clear();
    start(url, settings);
    await(1);
    return results.empty() ? HttpResult{} : results.back();
  }

  Harness harness;
  std::vector<HttpResult> results;
};

// An address as the value of the service's _redirect query key.
inline std::string redirect_to(const std::string& url) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "_redirect=";
  for (const char c : url) {
    const auto u = static_cast<unsigned char>(c);
    if ((u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z')) {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

TYPED_TEST_SUITE_P(HttpTransportContract);

TYPED_TEST_P(HttpTransportContract, AnyHttpStatusIsACompletionWithItsBody) {
  HttpResult r = this->fetch(this->page());
  ASSERT_TRUE(r.completed) << r.error_text;
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("</html>"), std::string::npos);
  EXPECT_EQ(r.content_type, "text/html; charset=utf-8");

  r = this->fetch(this->base() + "/no-such-page");
  ASSERT_TRUE(r.completed) << r.error_text;
  EXPECT_EQ(r.status, 404);
  EXPECT_NE(r.body.find("Not Found"), std::string::npos);

  r = this->fetch(this->page() + "&_status=500");
  ASSERT_TRUE(r.completed) << r.error_text;
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("Error 500"), std::string::npos);
  EXPECT_EQ(this->transport().in_flight(), 0u);

  // Several at once, each reported once.
  this->results.clear();
  for (int i = 0; i < 5; ++i) this->start(this->page(10 * i));
  EXPECT_EQ(this->transport().in_flight(), 5u);
  this->await(5);
  this->idle(100);
  ASSERT_EQ(this->results.size(), 5u);
  for (const HttpResult& each : this->results) EXPECT_EQ(each.status, 200) << each.error_text;
  EXPECT_EQ(this->transport().in_flight(), 0u);
}

TYPED_TEST_P(HttpTransportContract, BrokenRefusedAndOversizedAnswersAreFailures) {
  for (const char* fault : {"reset", "close", "truncate"}) {
    const HttpResult r = this->fetch(this->faults() + "/?_fault=" + fault);
    EXPECT_FALSE(r.completed) << fault;
    EXPECT_NE(r.error_number, 0) << fault;
    EXPECT_FALSE(r.error_text.empty()) << fault;
  }
  // The same page without a fault arrives whole from the fault server.
  HttpResult r = this->fetch(this->faults() + "/search?q=vik");
  ASSERT_TRUE(r.completed) << r.error_text;
  EXPECT_NE(r.body.find("</html>"), std::string::npos);

  r = this->fetch("http://127.0.0.1:" + std::to_string(this->harness.free_port()) + "/");
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, 7) << r.error_text;

  HttpSettings capped;
  capped.max_body_bytes = 100;
  r = this->fetch(this->page(), capped);  // announced length over the cap
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, kErrorBodyTooLarge) << r.error_text;
  EXPECT_EQ(r.error_text, "Response body larger than 100 bytes");
  // A body without end that keeps trickling: the receive time-out never
  // fires (bytes keep coming), the cap does.
  capped.receive_timeout = 0.2;
  r = this->fetch(this->faults() + "/?_fault=slow&_ms=1", capped);
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, kErrorBodyTooLarge) << r.error_text;
}

TYPED_TEST_P(HttpTransportContract, SilentAndTricklingPeersEndInOurTimeouts) {
  HttpSettings quick;
  quick.receive_timeout = 0.3;
  // A slow answer within the limit arrives.
  HttpResult r = this->fetch(this->page(50), quick);
  EXPECT_TRUE(r.completed) << r.error_text;
  // Headers, then a stalled body.
  r = this->fetch(this->faults() + "/?_fault=stall", quick);
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, kErrorReceiveTimeout) << r.error_text;
  EXPECT_NE(r.error_text.find("300 milliseconds"), std::string::npos) << r.error_text;
  // A peer that takes the connection and never answers.
  r = this->fetch("http://127.0.0.1:" + std::to_string(this->harness.silent_port()) + "/", quick);
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, kErrorReceiveTimeout) << r.error_text;
  EXPECT_EQ(this->transport().in_flight(), 0u);

  // A trickle that is never silent for long still ends at the transfer
  // time-out; within it an answer arrives.
  HttpSettings limited;
  limited.receive_timeout = 5;
  limited.transfer_timeout = 0.4;
  r = this->fetch(this->faults() + "/?_fault=slow&_ms=50", limited);
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, kErrorTransferTimeout) << r.error_text;
  EXPECT_NE(r.error_text.find("400 milliseconds"), std::string::npos) << r.error_text;
  r = this->fetch(this->page(20), limited);
  EXPECT_TRUE(r.completed) << r.error_text;
}

TYPED_TEST_P(HttpTransportContract, TheProxyIsUsedOnlyWithUseproxyOneAndNotForBypassedHosts) {
  // The fault server answers proxy-form requests from the site by path, so
  // a host that exists nowhere is reached only through it.
  const std::string url = "http://quotes.invalid/search?q=vik";
  HttpSettings settings;
  settings.proxy_server = this->faults().substr(this->faults().find("://") + 3);
  settings.connection_timeout = 2;
  settings.useproxy = 1;
  HttpResult r = this->fetch(url, settings);
  ASSERT_TRUE(r.completed) << r.error_text;
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("</html>"), std::string::npos);

  settings.useproxy = 0;
  EXPECT_FALSE(this->fetch(url, settings).completed);
  settings.useproxy = 1;
  settings.proxy_bypass = "*.example.com; *.invalid";
  EXPECT_FALSE(this->fetch(url, settings).completed);
}

TYPED_TEST_P(HttpTransportContract, SameOriginRedirectsStayOnTheRequestedOrigin) {
  const std::string target = "/search?q=vik";
  HttpSettings site;
  site.same_origin_redirects = true;
  HttpResult r = this->fetch(this->base() + "/moved?" + redirect_to(target), site);
  ASSERT_TRUE(r.completed) << r.error_text;
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("</html>"), std::string::npos);

  // Another port of the same host: refused.
  const std::string elsewhere = this->faults() + target;
  r = this->fetch(this->base() + "/moved?" + redirect_to(elsewhere), site);
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error_number, kErrorRedirectRefused) << r.error_text;
  EXPECT_NE(r.error_text.find("refused"), std::string::npos) << r.error_text;

  // Page fetches follow redirects anywhere.
  r = this->fetch(this->base() + "/moved?" + redirect_to(elsewhere));
  ASSERT_TRUE(r.completed) << r.error_text;
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(this->transport().in_flight(), 0u);
}

TYPED_TEST_P(HttpTransportContract, RequestsThatCannotStartReportNothing) {
  int reports = 0;
  for (const char* url : {"", "no address at all", "ftp://127.0.0.1/x", "file:///etc/passwd",
                          "http://", "http://a\xff/"}) {
    std::string error;
    EXPECT_EQ(this->transport().get(
                  url, {}, [&](HttpResult) { ++reports; }, &error),
              0u)
        << url;
    EXPECT_FALSE(error.empty()) << url;
  }
  EXPECT_EQ(this->transport().in_flight(), 0u);
  // A later request still gets its one report, and the refused ones none.
  EXPECT_TRUE(this->fetch(this->page()).completed);
  this->idle(50);
  EXPECT_EQ(this->results.size(), 1u);
  EXPECT_EQ(reports, 0);
}

TYPED_TEST_P(HttpTransportContract, WithdrawnRequestsAreNeverReported) {
  HttpSettings quick;
  quick.receive_timeout = 0.1;
  const RequestId stalled = this->start(this->faults() + "/?_fault=stall", quick);
  const RequestId slow = this->start(this->page(200));
  this->start(this->faults() + "/?_fault=stall", quick);
  this->start(this->page());
  this->transport().cancel(stalled);
  this->transport().cancel(slow);
  this->transport().cancel(slow);  // twice: ignored
  this->transport().cancel(999999);
  EXPECT_EQ(this->transport().in_flight(), 2u);
  this->await(2);
  this->idle(400);  // past the stalled one's time-out and the slow one's answer
  EXPECT_EQ(this->results.size(), 2u);

  this->results.clear();
  this->start(this->faults() + "/?_fault=stall", quick);
  for (int i = 0; i < 3; ++i) this->start(this->page(30 * i));
  this->transport().abort_all();
  EXPECT_EQ(this->transport().in_flight(), 0u);
  this->idle(400);
  EXPECT_TRUE(this->results.empty());
}

TYPED_TEST_P(HttpTransportContract, HandlersMayStartAndCancelOtherRequests) {
  // Two answers due together: the first one's handler cancels the other
  // and starts a third.
  HttpTransport& transport = this->transport();
  std::vector<std::string> seen;
  RequestId second = 0;
  const std::string url = this->base() + "/search?q=";
  transport.get(url + "a", {}, [&](HttpResult r) {
    seen.push_back("first " + std::to_string(r.status));
    transport.cancel(second);
    transport.get(url + "b", {},
                  [&](HttpResult r2) { seen.push_back("third " + std::to_string(r2.status)); });
  });
  second = transport.get(url + "c", {}, [&](HttpResult) { seen.push_back("second"); });
  ASSERT_TRUE(
      this->harness.run_until([&] { return transport.in_flight() == 0; }, kContractSafetyMs));
  // Whichever came first, every request was reported at most once and the
  // one started from a handler was reported.
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "first 200"), 1);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "third 200"), 1);
  EXPECT_LE(std::count(seen.begin(), seen.end(), "second"), 1);
}

TYPED_TEST_P(HttpTransportContract, DestroyingTheTransportSilencesItsRequests) {
  auto transport = this->harness.make_transport();
  int reports = 0;
  for (int i = 0; i < 3; ++i) {
    transport->get(this->page(i * 30), {}, [&](HttpResult) { ++reports; });
  }
  // A stalled read may keep its connection until the receive time-out
  // ends it: keep that short.
  HttpSettings quick;
  quick.receive_timeout = 0.5;
  transport->get(this->faults() + "/?_fault=stall", quick, [&](HttpResult) { ++reports; });
  // Some answers are on their way (a transport whose workers hand results
  // to the loop may have done so) when the transport goes.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  transport.reset();
  this->idle(300);
  EXPECT_EQ(reports, 0);
}

REGISTER_TYPED_TEST_SUITE_P(HttpTransportContract, AnyHttpStatusIsACompletionWithItsBody,
                            BrokenRefusedAndOversizedAnswersAreFailures,
                            SilentAndTricklingPeersEndInOurTimeouts,
                            TheProxyIsUsedOnlyWithUseproxyOneAndNotForBypassedHosts,
                            SameOriginRedirectsStayOnTheRequestedOrigin,
                            RequestsThatCannotStartReportNothing, WithdrawnRequestsAreNeverReported,
                            HandlersMayStartAndCancelOtherRequests,
                            DestroyingTheTransportSilencesItsRequests);

}  // namespace quillo::http
