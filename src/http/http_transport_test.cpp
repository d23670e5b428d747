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

TEST(SameOriginTest, SchemeHostAndPortMustAllMatch) {
  EXPECT_TRUE(same_origin("https://site.example/q/site.xml", "https://SITE.example:443/other"));
  EXPECT_TRUE(same_origin("HTTP://127.0.0.1:8080/a", "http://127.0.0.1:08080/b?x=1"));
  EXPECT_TRUE(same_origin("https://[::1]:9/a", "https://[::1]:9"));
  // https is never exchanged for http, nor the other way.
  EXPECT_FALSE(same_origin("https://site.example/a", "http://site.example/a"));
  EXPECT_FALSE(same_origin("http://site.example/a", "https://site.example/a"));
  EXPECT_FALSE(same_origin("https://site.example/a", "https://site.example:8443/a"));
  EXPECT_FALSE(same_origin("https://site.example/a", "https://other.example/a"));
  EXPECT_FALSE(same_origin("https://site.example/a", "https://site.example.evil.test/a"));
  // User information does not make another host look like the site.
  EXPECT_FALSE(same_origin("https://site.example/a", "https://site.example@evil.test/a"));
  EXPECT_FALSE(same_origin("https://site.example/a", "https://evil.test\\@site.example/a"));
  EXPECT_TRUE(same_origin("https://site.example/a", "https://user:pw@site.example/b"));
  for (const char* bad : {"", "/relative", "ftp://site.example/a", "https://", "https://:80/",
                          "https://site.example:8x/"}) {
    EXPECT_FALSE(same_origin("https://site.example/a", bad)) << bad;
    EXPECT_FALSE(same_origin(bad, bad)) << bad;
  }
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
