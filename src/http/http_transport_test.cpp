#include "http/http_transport.h"

#include <gtest/gtest.h>

#include <limits>

namespace quillo::http {
namespace {

TEST(NoproxyFromBypassTest, WildcardPatternsBecomeDomainSuffixes) {
  EXPECT_EQ(noproxy_from_bypass("*.example.com;*.data.example.org"),
            ".example.com,.data.example.org");
  EXPECT_EQ(noproxy_from_bypass("*example.net"), ".example.net");
  EXPECT_EQ(noproxy_from_bypass(" intranet ; 10.1.2.3 ;"), "intranet,10.1.2.3");
  EXPECT_EQ(noproxy_from_bypass("*"), "*");
  EXPECT_EQ(noproxy_from_bypass(""), "");
}

TEST(NoproxyFromBypassTest, PatternsCurlCannotExpressAreLeftOut) {
  // A mid-pattern wildcard or the platform's <local> have no no-proxy
  // form; a comma would split one entry into two hosts.
  EXPECT_EQ(noproxy_from_bypass("10.1.*;<local>;a,b.com;host.example"), "host.example");
  EXPECT_EQ(noproxy_from_bypass(";;*;"), "*");
}

TEST(TimeoutMsTest, SecondsBecomeMillisecondsWithDefaultsForNonsense) {
  EXPECT_EQ(timeout_ms(60, 60), 60000);
  EXPECT_EQ(timeout_ms(0.25, 30), 250);
  EXPECT_EQ(timeout_ms(0, 30), 30000);
  EXPECT_EQ(timeout_ms(-5, 30), 30000);
  EXPECT_EQ(timeout_ms(std::numeric_limits<double>::quiet_NaN(), 30), 30000);
  EXPECT_EQ(timeout_ms(std::numeric_limits<double>::infinity(), 30), 30000);
  EXPECT_EQ(timeout_ms(1e300, 30), 30LL * 24 * 3600 * 1000);
  EXPECT_EQ(timeout_ms(1e-9, 30), 1);
}

}  // namespace
}  // namespace quillo::http
