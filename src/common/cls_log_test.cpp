#include "common/cls_log.h"

#include <gtest/gtest.h>

#include <sstream>

namespace quillo {
namespace {

TEST(LogTest, WritesTimestampedEventsOnlyWhenGivenASink) {
  std::ostringstream out;
  cls_log log(&out);
  log.logevent(999, "httpreq_onerror event in monitor", " ,reqno=7", "reset");
  const std::string line = out.str();
  EXPECT_NE(line.find("[999] httpreq_onerror event in monitor ,reqno=7 reset\n"),
            std::string::npos);
  EXPECT_EQ(line.size() > 24 && line[4] == '-' && line[10] == 'T', true) << line;
  cls_log silent(nullptr);
  silent.logevent(999, "x", "y", "z");  // keeps nothing, never fails
  silent.datadump(1.0, "a");
}

}  // namespace
}  // namespace quillo
