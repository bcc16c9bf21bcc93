// connect, status and disconnect with the stand-in playing OpenVPN: replies, launch failures, an
// OpenVPN that ends by itself, and letting go of the state.
#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "standin_world.hpp"
#include "support/this_process.hpp"

namespace orvanta::test {
namespace {

TEST_F(VpnTest, ConnectStatusReconnectDisconnect) {
  EXPECT_EQ(state_->query_status(), stopped_reply);

  const Planned first = plan("first");
  const HelperResponse started = connect(first);
  ASSERT_TRUE(started.pid) << started.message;
  EXPECT_EQ(started, (HelperResponse{true, "OpenVPN started", started.pid}));
  EXPECT_EQ(wait_for_pid(first.pid_out), *started.pid);
  Watched first_process(*started.pid);
  EXPECT_EQ(state_->query_status(), (HelperResponse{true, "running", started.pid}));

  const Planned second = plan("second");
  const HelperResponse restarted = connect(second);
  ASSERT_TRUE(restarted.pid) << restarted.message;
  EXPECT_EQ(restarted, (HelperResponse{true, "OpenVPN started", restarted.pid}));
  EXPECT_FALSE(first_process.running());
  EXPECT_EQ(wait_for_pid(second.pid_out), *restarted.pid);
  Watched second_process(*restarted.pid);
  EXPECT_EQ(state_->query_status(), (HelperResponse{true, "running", restarted.pid}));

  EXPECT_EQ(disconnect(), disconnected_reply);
  EXPECT_FALSE(second_process.running());
  EXPECT_EQ(state_->query_status(), stopped_reply);
  // Each ended through its exit event, leaving nothing for taskkill.
  EXPECT_TRUE(taskkill_runs().empty());
}

TEST_F(VpnTest, OpenVpnThatEndsByItselfIsClearedAndWhatItLeftEndsAtTheNextStop) {
  const Planned leftover = plan("leftover");
  const Planned openvpn = plan("openvpn", {{"grandchild_plan", leftover.plan}, {"exit_code", "3"}});
  const HelperResponse started = connect(openvpn);
  ASSERT_TRUE(started.pid) << started.message;
  Watched openvpn_process(*started.pid);
  Watched leftover_process(wait_for_pid(leftover.pid_out));
  ASSERT_TRUE(openvpn_process.ends_within(10000));

  EXPECT_EQ(state_->query_status(), stopped_reply);
  EXPECT_TRUE(leftover_process.running());
  EXPECT_EQ(disconnect(), disconnected_reply);
  EXPECT_TRUE(taskkill_runs().empty()) << "nothing was recorded any more";
  EXPECT_FALSE(leftover_process.running());
}

// The error text of a system error is the platform's, so the reply is checked against the code it names.
TEST_F(VpnTest, FailedLaunchStopsTheRunningOneAndReportsTheSystemError) {
  const HelperResponse started = connect(plan("running"));
  ASSERT_TRUE(started.pid) << started.message;
  Watched running(*started.pid);

  const std::string missing = utf8(root_ / "no such folder" / "openvpn.exe");
  const HelperResponse failed = state_->start_openvpn(missing, plan("unused").plan, "auth", "log");
  const std::string prefix = "Failed to start OpenVPN: ";
  const std::size_t code_at = failed.message.rfind("(os error ");
  ASSERT_NE(code_at, std::string::npos) << failed.message;
  const std::uint32_t code = static_cast<std::uint32_t>(std::stoul(failed.message.substr(code_at + 10)));
  EXPECT_TRUE(code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) << code;
  EXPECT_EQ(failed, (HelperResponse{false, prefix + error_text(Error::os(code)), std::nullopt}));

  EXPECT_FALSE(running.running());
  EXPECT_EQ(state_->query_status(), stopped_reply);
}

TEST_F(VpnTest, LaunchErrorsWithFixedTexts) {
  struct Case {
    std::string openvpn;
    std::string text;
  };
  const Case cases[] = {
      {"", "program path has no file name"},
      {"C:\\vpn\\", "program path has no file name"},
      {"orvanta-no-such-openvpn", "program not found"},
      // The program text is written between quotes unescaped: a quote in it would add arguments.
      {"C:\\OpenVPN\\bin\\x\" --up evil \"\\..\\openvpn.exe", "program path contains a quote"},
      {"\"", "program path contains a quote"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.openvpn);
    EXPECT_EQ(state_->start_openvpn(c.openvpn, "config", "auth", "log"),
              (HelperResponse{false, "Failed to start OpenVPN: " + c.text, std::nullopt}));
    EXPECT_EQ(state_->query_status(), stopped_reply);
  }
  EXPECT_TRUE(taskkill_runs().empty());
}

TEST_F(VpnTest, ReleasingTheLastReferenceClosesHandlesAndLeavesTheTreeRunning) {
  // A first connect and stop load whatever a launch needs once per process.
  ASSERT_TRUE(connect(plan("warm-up")).pid);
  state_->stop_openvpn(std::chrono::milliseconds(0));
  const std::size_t taskkills_before = taskkill_runs().size();
  // Both wait for a file that the test makes only after the release, then end by themselves with codes
  // of their own: so each ran on after the release, and nothing ended it.
  const std::filesystem::path released = root_ / "released";
  const Planned grandchild = plan("grandchild", {{"wait_for_file", utf8(released)}, {"exit_code", "21"}});
  const auto handles_before = open_handles();
  const HelperResponse started = connect(
      plan("openvpn",
           {{"grandchild_plan", grandchild.plan}, {"wait_for_file", utf8(released)}, {"exit_code", "20"}}));
  ASSERT_TRUE(started.pid) << started.message;
  const auto handles_while_recorded = open_handles();

  state_.reset();
  Watched openvpn_process(*started.pid);
  Watched grandchild_process(wait_for_pid(grandchild.pid_out));
  EXPECT_GT(handles_while_recorded.size(), handles_before.size()) << "the record holds no handle";
  ASSERT_TRUE(write_file(released, ""));
  EXPECT_TRUE(openvpn_process.ends_within(10000));
  EXPECT_TRUE(grandchild_process.ends_within(10000));
  // The reader of OpenVPN's output holds the pipe until the pipe ends with the tree, and no longer.
  std::vector<std::uintptr_t> left_open;
  EXPECT_TRUE(eventually([&] {
    left_open.clear();
    std::ranges::set_difference(open_handles(), handles_before, std::back_inserter(left_open));
    return left_open.empty();
  })) << left_open.size()
      << " handles of the record are still open";
  EXPECT_EQ(openvpn_process.exit_code(), 20u);
  EXPECT_EQ(grandchild_process.exit_code(), 21u);
  EXPECT_EQ(taskkill_runs().size(), taskkills_before) << "letting go of the state stopped OpenVPN";
}

}  // namespace
}  // namespace orvanta::test
