// Log lines: their form, and how often one kind of failure may be reported.
#include "common/log.hpp"

#include <gtest/gtest.h>

#include "common/failure_log.hpp"
#include "common/rate_limit.hpp"
#include "support/recording_failures.hpp"

namespace orvanta {
namespace {

using namespace std::chrono_literals;

TEST(LogLine, HasPrefixDescriptionDetailAndOneLineFeed) {
  EXPECT_EQ(format_log_line("failed to bind 127.0.0.1:49877", "OS Error 10048 (os error 10048)"),
            "[orvanta-vpn-helper-windows] failed to bind 127.0.0.1:49877: OS Error 10048 (os error 10048)\n");
  EXPECT_EQ(format_log_line("service failed", "IO error in winapi call"),
            "[orvanta-vpn-helper-windows] service failed: IO error in winapi call\n");
}

// Times are offsets from one start; each row is one occurrence and what it lets through.
TEST(RateLimit, ReportsAtMostOnceASecondWithWhatWasHeldBack) {
  struct Case {
    std::chrono::milliseconds at;
    std::optional<std::uint64_t> reported;
  };
  const Case cases[] = {
      {0ms, 1}, {100ms, {}}, {999ms, {}}, {1000ms, 3}, {1500ms, {}}, {5000ms, 2}, {6000ms, 1},
  };
  RateLimit limit;
  const RateLimit::Clock::time_point start{};
  for (const Case& c : cases) {
    EXPECT_EQ(limit.occurred(start + c.at), c.reported) << c.at.count() << " ms";
  }
  EXPECT_EQ(with_count("too many connections", 1), "too many connections");
  EXPECT_EQ(with_count("too many connections", 12), "too many connections (12 times since the last report)");
}

TEST(FailureLog, EachKindIsLimitedOnItsOwnAndReachesTheSink) {
  const test::ScopedFailureSink recorded;
  for (int i = 0; i < 5; ++i) {
    report_failure(Failure::WorkerStart, "failed to start connection worker", "too many connections");
  }
  report_failure(Failure::Winsock, "failed to initialize winsock", "OS Error 10091 (os error 10091)");
  using Report = std::pair<Failure, std::string>;
  EXPECT_EQ(recorded.sink().reports(),
            (std::vector<Report>{{Failure::WorkerStart, "too many connections"},
                                 {Failure::Winsock, "OS Error 10091 (os error 10091)"}}));
}

}  // namespace
}  // namespace orvanta
