// Many connects, disconnects and status queries at once from several threads: only the defined
// replies, every launched OpenVPN was recorded and stopped, and nothing is left running.
#include <algorithm>
#include <latch>
#include <mutex>
#include <set>
#include <thread>

#include "standin_world.hpp"

namespace orvanta::test {
namespace {

TEST_F(VpnTest, OverlappingConnectsAndDisconnectsNeverLoseAnOpenVpn) {
  constexpr int thread_count = 4;
  constexpr int operations_per_thread = 6;  // per thread: two of each, in an order that differs by thread
  std::vector<Planned> plans;
  for (int i = 0; i < thread_count * operations_per_thread; ++i) {
    plans.push_back(plan("openvpn-" + std::to_string(i)));
  }

  std::mutex seen_mutex;  // guards the three lists below
  std::vector<std::uint32_t> started;
  std::vector<std::uint32_t> reported_running;
  std::vector<HelperResponse> undefined;
  std::latch go(thread_count);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < thread_count; ++t) {
      threads.emplace_back([&, t] {
        go.arrive_and_wait();
        for (int i = 0; i < operations_per_thread; ++i) {
          const int operation = (t + i) % 3;
          if (operation == 0) {
            const HelperResponse reply =
                connect(plans[static_cast<std::size_t>(t * operations_per_thread + i)]);
            const std::lock_guard seen(seen_mutex);
            if (reply == HelperResponse{true, "OpenVPN started", reply.pid} && reply.pid) {
              started.push_back(*reply.pid);
            } else {
              undefined.push_back(reply);
            }
          } else if (operation == 1) {
            const HelperResponse reply = disconnect();
            const std::lock_guard seen(seen_mutex);
            if (reply != disconnected_reply) {
              undefined.push_back(reply);
            }
          } else {
            const HelperResponse reply = state_->query_status();
            const std::lock_guard seen(seen_mutex);
            if (reply == HelperResponse{true, "running", reply.pid} && reply.pid) {
              reported_running.push_back(*reply.pid);
            } else if (reply != stopped_reply) {
              undefined.push_back(reply);
            }
          }
        }
      });
    }
  }
  EXPECT_EQ(disconnect(), disconnected_reply);

  for (const HelperResponse& reply : undefined) {
    ADD_FAILURE() << "undefined reply: ok " << reply.ok << ", " << reply.message;
  }
  EXPECT_EQ(started.size(), static_cast<std::size_t>(thread_count * 2));
  const std::set<std::uint32_t> launched(started.begin(), started.end());
  for (const std::uint32_t pid : reported_running) {
    EXPECT_TRUE(launched.contains(pid)) << pid;
  }
  // Each launched OpenVPN was still recorded when a stop took it: none is left running (TearDown).
}

}  // namespace
}  // namespace orvanta::test
