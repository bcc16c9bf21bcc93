// Many connects, disconnects and status queries at once from several threads: only the defined
// replies, every launched OpenVPN was recorded and stopped, and nothing is left running.
#include <algorithm>
#include <latch>
#include <mutex>
#include <set>
#include <thread>

#include "standin_world.hpp"

namespace orvanta::vpn_test {
namespace {

TEST_F(VpnTest, OverlappingConnectsAndDisconnectsNeverLoseAnOpenVpn) {
  constexpr int kThreads = 4;
  constexpr int kOperations = 6;  // per thread: two of each, in an order that differs by thread
  std::vector<Planned> plans;
  for (int i = 0; i < kThreads * kOperations; ++i) {
    plans.push_back(plan("openvpn-" + std::to_string(i)));
  }

  std::mutex seen_mutex;  // guards the three lists below
  std::vector<std::uint32_t> started;
  std::vector<std::uint32_t> reported_running;
  std::vector<HelperResponse> undefined;
  std::latch go(kThreads);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        go.arrive_and_wait();
        for (int i = 0; i < kOperations; ++i) {
          const int operation = (t + i) % 3;
          if (operation == 0) {
            const HelperResponse reply = connect(plans[static_cast<std::size_t>(t * kOperations + i)]);
            const std::lock_guard seen(seen_mutex);
            if (reply == HelperResponse{true, "OpenVPN started", reply.pid} && reply.pid) {
              started.push_back(*reply.pid);
            } else {
              undefined.push_back(reply);
            }
          } else if (operation == 1) {
            const HelperResponse reply = disconnect_openvpn(state_);
            const std::lock_guard seen(seen_mutex);
            if (reply != kDisconnected) {
              undefined.push_back(reply);
            }
          } else {
            const HelperResponse reply = query_status(state_);
            const std::lock_guard seen(seen_mutex);
            if (reply == HelperResponse{true, "running", reply.pid} && reply.pid) {
              reported_running.push_back(*reply.pid);
            } else if (reply != kStopped) {
              undefined.push_back(reply);
            }
          }
        }
      });
    }
  }
  EXPECT_EQ(disconnect_openvpn(state_), kDisconnected);

  for (const HelperResponse& reply : undefined) {
    ADD_FAILURE() << "undefined reply: ok " << reply.ok << ", " << reply.message;
  }
  EXPECT_EQ(started.size(), static_cast<std::size_t>(kThreads * 2));
  const std::set<std::uint32_t> launched(started.begin(), started.end());
  for (const std::uint32_t pid : reported_running) {
    EXPECT_TRUE(launched.contains(pid)) << pid;
  }
  // Each launched OpenVPN was still recorded when a stop took it, and that stop ran taskkill for it
  // while the id still named it.
  std::vector<TaskkillRun> expected;
  for (const std::uint32_t pid : started) {
    expected.push_back({taskkill_line(pid), standin_, true});
  }
  std::vector<TaskkillRun> runs = taskkill_runs();
  const auto by_line = [](const TaskkillRun& a, const TaskkillRun& b) {
    return a.command_line < b.command_line;
  };
  std::ranges::sort(expected, by_line);
  std::ranges::sort(runs, by_line);
  EXPECT_EQ(runs, expected);
}

}  // namespace
}  // namespace orvanta::vpn_test
