// The form of a log line.
#include "common/log.hpp"

#include <gtest/gtest.h>

namespace orvanta {
namespace {

TEST(LogLine, HasPrefixDescriptionDetailAndOneLineFeed) {
  EXPECT_EQ(format_log_line("failed to bind 127.0.0.1:49877", "OS Error 10048 (os error 10048)"),
            "[orvanta-vpn-helper-windows] failed to bind 127.0.0.1:49877: OS Error 10048 (os error 10048)\n");
  EXPECT_EQ(format_log_line("service failed", "IO error in winapi call"),
            "[orvanta-vpn-helper-windows] service failed: IO error in winapi call\n");
}

}  // namespace
}  // namespace orvanta
