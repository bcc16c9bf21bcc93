// A service stop that nothing holds hostage, and connects that can never leave an OpenVPN unrecorded:
// not when the service stops while they run, and not when memory runs out on the way.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <new>
#include <thread>
#include <vector>

#include "service/control_handler.hpp"
#include "standin_world.hpp"
#include "support/allocation_meter.hpp"
#include "support/polling.hpp"

namespace orvanta::test {
namespace {

using namespace std::chrono_literals;

const HelperResponse stopping_reply{false, "Failed to start OpenVPN: the service is stopping", std::nullopt};

// Connect on a thread of its own; the reply once it has returned.
class ConnectInFlight {
 public:
  ConnectInFlight(const Planned& planned, std::function<HelperResponse(const Planned&)> connect)
      : thread_([this, planned, connect] {
          reply_ = connect(planned);
          done_ = true;
        }) {}
  [[nodiscard]] bool done() const { return done_; }
  [[nodiscard]] HelperResponse reply() {
    thread_.join();
    return reply_;
  }

 private:
  HelperResponse reply_;
  std::atomic<bool> done_{false};
  std::jthread thread_;
};

TEST_F(VpnTest, OnceTheServiceStopsAConnectLaunchesNothing) {
  state_->begin_shutdown(HelperState::Clock::now() + 5s, 0ms);
  const Planned planned = plan("late");
  EXPECT_EQ(connect(planned), stopping_reply);
  EXPECT_TRUE(state_->wait_until_idle(HelperState::Clock::now() + 5s));
  EXPECT_FALSE(std::filesystem::exists(planned.pid_out)) << "a stand-in was launched";
  EXPECT_EQ(state_->query_status(), stopped_reply);
}

// Connects wait for one another; a disconnect waits for none of them.
TEST_F(VpnTest, ADisconnectDoesNotWaitBehindQueuedConnects) {
  // What it started is still in its job once it has ended through its event, so its stop runs taskkill.
  const Planned child = plan("first-child");
  const HelperResponse first = connect(plan("first", {{"grandchild_plan", child.plan}}));
  ASSERT_TRUE(first.pid) << first.message;
  ASSERT_TRUE(wait_for_pid(child.pid_out));
  hold_taskkill(true);
  const auto run = [this](const Planned& planned) { return connect(planned); };
  ConnectInFlight stopping_the_first(plan("second"), run);
  ASSERT_TRUE(eventually([] { return !taskkill_runs().empty(); }));
  ConnectInFlight queued_one(plan("third"), run);
  ConnectInFlight queued_two(plan("fourth"), run);

  EXPECT_EQ(disconnect(), disconnected_reply);
  EXPECT_FALSE(stopping_the_first.done()) << "the disconnect waited for the connect ahead of it";
  hold_taskkill(false);
  for (ConnectInFlight* in_flight : {&stopping_the_first, &queued_one, &queued_two}) {
    const HelperResponse reply = in_flight->reply();
    EXPECT_EQ(reply, (HelperResponse{true, "OpenVPN started", reply.pid})) << reply.message;
  }
  state_->stop_openvpn(0ms);
}

// A connect ending the old OpenVPN behind a taskkill that does not return: the stop's deadline ends
// that wait, and the connect launches nothing.
TEST_F(VpnTest, AServiceStopCutsShortTheWaitsOfAConnectUnderWay) {
  // What it started is still in its job once it has ended through its event, so its stop runs taskkill.
  const Planned child = plan("first-child");
  const HelperResponse first = connect(plan("first", {{"grandchild_plan", child.plan}}));
  ASSERT_TRUE(first.pid) << first.message;
  ASSERT_TRUE(wait_for_pid(child.pid_out));
  hold_taskkill(true);
  const Planned second = plan("second");
  ConnectInFlight connecting(second, [this](const Planned& planned) { return connect(planned); });
  ASSERT_TRUE(eventually([] { return !taskkill_runs().empty(); }));

  state_->begin_shutdown(HelperState::Clock::now() + 500ms, 0ms);
  EXPECT_TRUE(state_->wait_until_idle(HelperState::Clock::now() + 5s)) << "the connect still waits";
  EXPECT_EQ(connecting.reply(), stopping_reply);
  hold_taskkill(false);
  EXPECT_FALSE(std::filesystem::exists(second.pid_out)) << "a stand-in was launched after the stop began";
  EXPECT_TRUE(processes_of(program_path().parent_path() / "taskkill.exe").empty())
      << "the hanging taskkill outlived the stop";
}

// Every allocation of a connect fails in turn. Whatever the outcome, once the record is stopped no
// stand-in may run: one launched and not recorded would be beyond every stop's reach.
TEST_F(VpnTest, AConnectThatRunsOutOfMemoryLeavesNothingUnrecorded) {
  bool reached_the_end = false;
  for (std::uint64_t fail_at = 1; !reached_the_end; ++fail_at) {
    SCOPED_TRACE("failing allocation " + std::to_string(fail_at));
    const Planned planned = plan("openvpn-" + std::to_string(fail_at));
    std::optional<HelperResponse> reply;
    {
      const FailingAllocation failing(fail_at);
      try {
        reply = connect(planned);
      } catch (const std::bad_alloc&) {
        // the request's worker answers "out of memory"; what matters is what is left running
      }
      reached_the_end = !failing.failed();
    }
    if (reply && reply->ok) {
      EXPECT_EQ(state_->query_status(), (HelperResponse{true, "running", reply->pid}));
    }
    state_->stop_openvpn(0ms);
    EXPECT_TRUE(processes_of(to_wide(standin_)).empty());
  }
}

// The system's stops as the handler sets them up and the service main carries them out (Wine sends
// neither control): preshutdown gives OpenVPN its 3 s to end by itself, then forces it, all within
// 9 s; a plain shutdown forces at once, asking nothing of OpenVPN.
TEST_F(VpnTest, PreshutdownGivesOpenVpnItsGraceAndShutdownForcesAtOnce) {
  struct Case {
    DWORD control;
    PlanEntries steps;
    std::chrono::milliseconds at_least, below;
  } cases[] = {
      {SERVICE_CONTROL_PRESHUTDOWN, {{"ignore_exit_event", "1"}}, preshutdown_openvpn_grace, 9s},
      {SERVICE_CONTROL_SHUTDOWN, {{"exit_event_delay_ms", "3000"}}, 0ms, 2s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control);
    state_ = std::make_shared<HelperState>(stand_in_system(), store_);
    const HelperResponse started = connect(plan("openvpn-" + std::to_string(c.control), c.steps));
    ASSERT_TRUE(started.pid) << started.message;
    ControlContext context{std::make_shared<ShutdownFlag>(), state_};
    const auto begun = HelperState::Clock::now();
    ASSERT_EQ(control_handler(c.control, 0, nullptr, &context), static_cast<DWORD>(NO_ERROR));
    state_->stop_openvpn(state_->shutdown_grace());
    EXPECT_TRUE(state_->wait_until_idle(begun + 9s));
    const auto took = HelperState::Clock::now() - begun;
    EXPECT_GE(took, c.at_least);
    EXPECT_LT(took, c.below);
    EXPECT_FALSE(Watched(*started.pid).running());
    EXPECT_EQ(store_->last_exit().value_or(LastExit{}).code, std::nullopt) << "it ended by itself";
  }
}

}  // namespace
}  // namespace orvanta::test
